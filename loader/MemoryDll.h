// The in-memory DLL loader as the rest of the program uses it: a MemoryDll maps a DLL image of
// the process's own format from a byte array, and CallAddress calls into it.
//
//   loader::MemoryDll dll;
//   if (dll.Load(bytes, size)) {
//       uintptr_t attach = dll.GetProc("SkinAttachBytes");
//       if (attach != 0) loader::CallAddress(attach, a1, a2, a3, a4, a5, a6);
//   }
//   dll.Destroy();
#pragma once

#include "BasicMemoryDll.h"
#include "CallAddress.h"
#include "ImageRecords.h"
#include "Win32Platform.h"

#include <type_traits>

namespace loader {

using NativeFormat = std::conditional_t<sizeof(void*) == 8, Pe32Plus, Pe32>;

using MemoryDll = BasicMemoryDll<NativeFormat, Win32Platform>;

extern template class BasicMemoryDll<NativeFormat, Win32Platform>;

}  // namespace loader
