#include "SAMessageID.h"

#include <cstdint>

namespace SAMessageID {

namespace {

// The high 32 bits of the Windows file time (100 ns steps since 1601) of a Unix time.
constexpr std::uint32_t fileTimeHigh(std::int64_t unixSeconds) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>((unixSeconds + 11644473600LL) * 10000000LL) >> 32);
}
constexpr std::uint32_t kEarliestTime = fileTimeHigh(631152000);  // 1990-01-01
constexpr std::uint32_t kLatestTime = fileTimeHigh(4102444800);   // 2100-01-01

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool allHex(std::string_view s) {
    for (char c : s)
        if (hexValue(c) < 0)
            return false;
    return true;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view withoutBracket(std::string_view local) {
    if (!local.empty() && local.front() == '<')
        local.remove_prefix(1);
    return local;
}

std::string_view trimmed(std::string_view value) {
    while (!value.empty() && isSpace(value.front()))
        value.remove_prefix(1);
    while (!value.empty() && isSpace(value.back()))
        value.remove_suffix(1);
    return value;
}

// The host part of a trimmed value after the first "@", without the closing
// ">"; npos in *at when there is no "@".
std::string_view hostOf(std::string_view value, std::size_t* at) {
    *at = value.find('@');
    if (*at == std::string_view::npos)
        return {};
    std::string_view host = value.substr(*at + 1);
    if (!host.empty() && host.back() == '>')
        host.remove_suffix(1);
    return host;
}

bool isComputerName(std::string_view host) {
    if (host.empty())
        return false;
    for (char c : host) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && c != '-' && c != '_')
            return false;
    }
    return true;
}

}  // namespace

bool hasOutlookLayout(std::string_view local) {
    local = withoutBracket(local);
    return local.size() == 30 && local[12] == '$' && local[21] == '$' && allHex(local.substr(0, 12)) &&
           allHex(local.substr(13, 8)) && allHex(local.substr(22, 8));
}

bool isForgedOutlookLocalPart(std::string_view local) {
    if (!hasOutlookLayout(local))
        return false;
    local = withoutBracket(local);
    std::uint32_t time = 0;
    for (char c : local.substr(4, 8))
        time = time * 16 + static_cast<std::uint32_t>(hexValue(c));
    return time < kEarliestTime || time > kLatestTime;
}

bool isComputerNameID(std::string_view value) {
    value = trimmed(value);
    std::size_t at = 0;
    const std::string_view host = hostOf(value, &at);
    return isComputerName(host) && !isForgedOutlookLocalPart(value.substr(0, at));
}

bool isOutlookComputerNameID(std::string_view value) {
    value = trimmed(value);
    std::size_t at = 0;
    const std::string_view host = hostOf(value, &at);
    if (!isComputerName(host))
        return false;
    const std::string_view local = value.substr(0, at);
    return hasOutlookLayout(local) && !isForgedOutlookLocalPart(local);
}

}  // namespace SAMessageID
