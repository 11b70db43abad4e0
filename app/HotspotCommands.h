// The netsh command lines that configure, start and stop the hosted network.
#pragma once

#include <string>
#include <string_view>

namespace app {

inline constexpr char kStartCommand[] = "netsh wlan start hostednetwork";
inline constexpr char kStopCommand[] = "netsh wlan stop hostednetwork";

// A value with a double quote cannot reach netsh whole: netsh would take the quote as syntax.
bool CanPassToNetsh(std::string_view value);

// "netsh wlan set hostednetwork mode=allow ssid=<name> key=<key>"; a name or key holding a space
// or tab is put in double quotes so that netsh receives it as one word.
std::string ConfigureCommand(std::string_view name, std::string_view key);

}  // namespace app
