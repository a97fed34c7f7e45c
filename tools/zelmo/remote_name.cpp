#include "remote_name.h"

#include <cctype>

namespace cli {
namespace {

// CON, NUL, COM1 ...: names Windows takes for a device whatever the
// extension ("nul.txt" is the null device too).
bool IsDeviceName(std::string_view name)
{
    const std::string_view base = name.substr(0, name.find('.'));
    std::string upper;
    for (const char c : base) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // Trailing spaces are dropped by Windows before the name is looked at.
    while (!upper.empty() && upper.back() == ' ') upper.pop_back();
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL")
        return true;
    return upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
           upper[3] >= '1' && upper[3] <= '9';
}

}  // namespace

std::string RemoteName(std::string_view url, std::string &why)
{
    url = url.substr(0, url.find_first_of("?#"));
    const std::size_t scheme = url.find("://");
    const std::size_t authority = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::size_t path = url.find('/', authority);
    if (path == std::string_view::npos) {
        why = "it has no path";
        return {};
    }
    const std::string_view name = url.substr(url.rfind('/') + 1);
    if (name.empty()) {
        why = "its path ends in /";
        return {};
    }
    if (name.find_first_not_of(". ") == std::string_view::npos) {
        why = "its last segment is made of dots and spaces";
        return {};
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            why = "its last segment holds a control byte";
            return {};
        }
        if (c == '\\' || c == ':') {
            why = std::string("its last segment holds '") + c + "'";
            return {};
        }
    }
    if (IsDeviceName(name)) {
        why = "its last segment is a device name on Windows";
        return {};
    }
    return std::string(name);
}

std::string InDirectory(const std::string &directory, const std::string &name)
{
    if (directory.empty())
        return name;
    const char last = directory.back();
    return last == '/' || last == '\\' ? directory + name : directory + "/" + name;
}

}  // namespace cli
