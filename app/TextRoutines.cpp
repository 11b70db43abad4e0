#include "app/TextRoutines.h"

#include <cmath>
#include <limits>

namespace app {
namespace {

std::string_view UpToZero(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

int CompareText(std::string_view a, std::string_view b) {
    a = UpToZero(a);
    b = UpToZero(b);
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        int difference = static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
        if (difference != 0) return difference;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool IsEmptyText(std::string_view text) { return CompareText(text, "") == 0; }

std::string JoinTexts(std::initializer_list<std::string_view> parts) {
    std::size_t length = 0;
    for (std::string_view part : parts) length += UpToZero(part).size();
    std::string joined;
    joined.reserve(length);
    for (std::string_view part : parts) joined.append(UpToZero(part));
    return joined;
}

std::int64_t TruncateToInt64(double value) {
    using Limits = std::numeric_limits<std::int64_t>;
    if (std::isnan(value)) return 0;
    if (value <= static_cast<double>(Limits::min())) return Limits::min();
    if (value >= static_cast<double>(Limits::max())) return Limits::max();
    return static_cast<std::int64_t>(value);
}

}  // namespace app
