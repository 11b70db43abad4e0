// Text conversions of the host.
#pragma once

#include "host/Host.h"

namespace host {

// Console programs such as netsh write in the OEM code page; the program's texts are ANSI (GBK).
Text OemToAnsi(const std::string& oemBytes);

}  // namespace host
