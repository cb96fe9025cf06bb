#include <csignal>

#include "FileHandling/FileSizeLimit.h"

namespace Zorvan {

void failWritesPastFileSizeLimit() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // Cannot fail for a valid signal that may be caught.
    (void)::sigaction(SIGXFSZ, &ignore, nullptr);
}

} // namespace Zorvan
