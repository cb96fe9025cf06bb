#include "FileHandling/FileSizeLimit.h"

namespace Zorvan {

// Windows has no file-size limit that ends a process.
void failWritesPastFileSizeLimit() {}

} // namespace Zorvan
