#include "app/HotspotCommands.h"

#include "app/TextRoutines.h"

namespace app {
namespace {

// GBK trail bytes are 0x40 and above, so a byte search cannot mistake part of a double-byte
// character for a space, tab or quote.
std::string QuotedIfSpaced(std::string_view value) {
    if (value.find_first_of(" \t") == std::string_view::npos) return std::string(value);
    return JoinTexts({"\"", value, "\""});
}

}  // namespace

bool CanPassToNetsh(std::string_view value) { return value.find('"') == std::string_view::npos; }

std::string ConfigureCommand(std::string_view name, std::string_view key) {
    return JoinTexts({"netsh wlan set hostednetwork mode=allow ssid=", QuotedIfSpaced(name), " key=", QuotedIfSpaced(key)});
}

}  // namespace app
