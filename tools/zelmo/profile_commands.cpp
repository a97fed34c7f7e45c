// zelmo profile get|set: one value of a private profile file.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "cli.h"
#include "zelmo.h"

namespace cli {
namespace {

// Large enough for any value the library reads (131071 characters).
constexpr unsigned kValueCapacity = 0x20000;

// Reads KEY of [SECTION] in FILE with `defaultValue` for an absent key;
// -1 when the value cannot be read.
int Read(const Args &where, const char *defaultValue, std::vector<char> &value)
{
    return GetProfileValue(where[0].c_str(), where[1].c_str(), where[2].c_str(), value.data(), kValueCapacity,
                           defaultValue);
}

int RunProfile(const Args &given)
{
    Parsed parsed;
    const std::string error = ParseOptions(given, {{"--default", nullptr, true}}, parsed);
    if (!error.empty())
        return UsageError(kProfileCommand, error);
    const Args &args = parsed.operands;
    if (args.empty() || (args[0] != "get" && args[0] != "set"))
        return UsageError(kProfileCommand, "expected get or set");
    if (args[0] == "set") {
        if (parsed.Has("--default"))
            return UsageError(kProfileCommand, "--default is for get");
        if (args.size() != 5)
            return UsageError(kProfileCommand, "set takes SECTION KEY FILE VALUE");
        if (!SetProfileValue(args[1].c_str(), args[2].c_str(), args[3].c_str(), args[4].c_str(), 0)) {
            std::fprintf(stderr, "zelmo profile: cannot write %s\n", Printable(args[3]).c_str());
            return kFailed;
        }
        return kOk;
    }
    if (args.size() != 4)
        return UsageError(kProfileCommand, "get takes SECTION KEY FILE");
    const Args where(args.begin() + 1, args.end());
    std::vector<char> value(kValueCapacity);
    if (parsed.Has("--default")) {
        if (Read(where, parsed.Value("--default").c_str(), value) < 0) {
            std::fprintf(stderr, "zelmo profile: the value cannot be read\n");
            return kFailed;
        }
        std::printf("%s\n", value.data());
        return kOk;
    }
    // The export answers an absent key with the default: a key is absent when
    // two different defaults both come back.
    const char *const defaults[] = {"\x01", "\x02"};
    bool absent = true;
    for (const char *defaultValue : defaults) {
        if (Read(where, defaultValue, value) < 0) {
            std::fprintf(stderr, "zelmo profile: the value cannot be read\n");
            return kFailed;
        }
        absent = absent && std::strcmp(value.data(), defaultValue) == 0;
        if (!absent)
            break;
    }
    if (absent) {
        std::error_code ignored;
        if (!std::filesystem::exists(where[2], ignored))
            std::fprintf(stderr, "zelmo profile: %s: no such file\n", Printable(where[2]).c_str());
        else
            std::fprintf(stderr, "zelmo profile: no key %s in [%s] of %s\n", Printable(where[1]).c_str(),
                         Printable(where[0]).c_str(), Printable(where[2]).c_str());
        return kFailed;
    }
    std::printf("%s\n", value.data());
    return kOk;
}

}  // namespace

const Command kProfileCommand = {
    "profile", "read or write a profile (INI) value (GetProfileValue, SetProfileValue)",
    "usage: zelmo profile get SECTION KEY FILE [--default TEXT]\n"
    "       zelmo profile set SECTION KEY FILE VALUE\n"
    "get prints the value of KEY in [SECTION] of FILE; when the key or the\n"
    "file is absent it prints TEXT if --default is given, and otherwise\n"
    "nothing, with exit status 1. set stores VALUE, creating the file, the\n"
    "section and the key as needed; a read-only FILE is made writable first.\n"
    "Names ignore letter case. Exit status 1 when the value cannot be written.\n",
    RunProfile};

}  // namespace cli
