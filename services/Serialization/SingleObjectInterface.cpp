#include "Serialization/SingleObjectInterface.h"

namespace Zorvan {

template class SingleObjectInterface<SerializationTransferObject>;

} // namespace Zorvan
