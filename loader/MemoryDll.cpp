#include "MemoryDll.h"

namespace loader {

template class BasicMemoryDll<NativeFormat, Win32Platform>;

}  // namespace loader
