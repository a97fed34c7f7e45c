// zelmo profile get|set: one value of a private profile file.
#include <cstdio>
#include <vector>

#include "cli.h"
#include "zelmo.h"

namespace cli {
namespace {

// Large enough for any value the library reads (131071 characters).
constexpr unsigned kValueCapacity = 0x20000;

int RunProfile(const Args &args)
{
    if (args.empty() || (args[0] != "get" && args[0] != "set"))
        return UsageError(kProfileCommand, "expected get or set");
    if (args[0] == "set") {
        if (args.size() != 5)
            return UsageError(kProfileCommand, "set takes SECTION KEY FILE VALUE");
        if (!SetProfileValue(args[1].c_str(), args[2].c_str(), args[3].c_str(), args[4].c_str(), 0)) {
            std::fprintf(stderr, "zelmo profile: cannot write %s\n", args[3].c_str());
            return kFailed;
        }
        return kOk;
    }
    const char *defaultValue = nullptr;
    Args positional;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--default") {
            if (++i == args.size())
                return UsageError(kProfileCommand, "--default needs a TEXT");
            defaultValue = args[i].c_str();
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 3)
        return UsageError(kProfileCommand, "get takes SECTION KEY FILE");
    std::vector<char> value(kValueCapacity);
    const int n = GetProfileValue(positional[0].c_str(), positional[1].c_str(), positional[2].c_str(),
                                  value.data(), kValueCapacity, defaultValue);
    if (n < 0) {
        std::fprintf(stderr, "zelmo profile: the value cannot be read\n");
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
    "get prints the value of KEY in [SECTION] of FILE, or TEXT (empty when not\n"
    "given) when the key is absent. set stores VALUE, creating the file, the\n"
    "section and the key as needed; a read-only FILE is made writable first.\n"
    "Names ignore letter case. Exit status 1 when the value cannot be written.\n",
    RunProfile};

}  // namespace cli
