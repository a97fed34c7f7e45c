// zelmo bstr to|from: text to the UTF-16 code units of a BSTR and back
// (PszToBstr, PszFromBstr).
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "terminal.h"
#include "zelmo.h"

namespace cli {
namespace {

// The number of --codepage N (0 without it); false when N is not a number.
bool TakeCodePage(const Parsed &parsed, unsigned &codePage)
{
    codePage = 0;
    if (!parsed.Has("--codepage"))
        return true;
    const std::string &value = parsed.Value("--codepage");
    char *end = nullptr;
    const unsigned long number = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || value[0] == '-' || *end != '\0' || number > 0xffffffffUL)
        return false;
    codePage = static_cast<unsigned>(number);
    return true;
}

int ToBstr(const std::string &text, unsigned codePage)
{
    if (text.find('\0') != std::string::npos) {
        std::fprintf(stderr, "zelmo bstr: the text holds a NUL byte (it would be cut short there)\n");
        return kFailed;
    }
    const ZelmoBstr bstr = PszToBstr(text.c_str(), codePage);
    if (bstr == nullptr) {
        std::fprintf(stderr, "zelmo bstr: the text cannot be converted from code page %u\n", codePage);
        return kFailed;
    }
    // The length counts two zero characters after the text.
    const unsigned length = BstrLength(bstr);
    std::string line;
    for (unsigned i = 0; i < length && bstr[i] != 0; ++i) {
        char unit[8];
        std::snprintf(unit, sizeof unit, "%s%04x", i == 0 ? "" : " ", static_cast<unsigned>(bstr[i]));
        line += unit;
    }
    ReleaseBstr(bstr);
    std::printf("%s\n", line.c_str());
    return kOk;
}

int FromBstr(const std::string &units, unsigned codePage)
{
    std::vector<ZelmoOleChar> wide;
    std::istringstream words(units);
    std::string word;
    while (words >> word) {
        char *end = nullptr;
        const unsigned long unit = std::strtoul(word.c_str(), &end, 16);
        if (word[0] == '-' || *end != '\0' || unit > 0xffff)
            return UsageError(kBstrCommand, "'" + word + "' is not a UTF-16 code unit in hexadecimal");
        wide.push_back(static_cast<ZelmoOleChar>(unit));
    }
    wide.push_back(0);
    char *text = PszFromBstr(wide.data(), codePage);
    if (text == nullptr) {
        std::fprintf(stderr, "zelmo bstr: the text cannot be converted to code page %u\n", codePage);
        return kFailed;
    }
    WriteBytes(std::string(text) + "\n");
    ReleaseText(text);
    return kOk;
}

int RunBstr(const Args &given)
{
    Parsed parsed;
    const std::string error = ParseOptions(given, {{"--codepage", nullptr, true}}, parsed);
    if (!error.empty())
        return UsageError(kBstrCommand, error);
    const Args &args = parsed.operands;
    unsigned codePage = 0;
    if (!TakeCodePage(parsed, codePage))
        return UsageError(kBstrCommand, "--codepage takes a number (0: the system's, 65001: UTF-8)");
    if (args.empty() || (args[0] != "to" && args[0] != "from"))
        return UsageError(kBstrCommand, "expected to or from");
    const std::string input = TextInput(args, 1);
    return args[0] == "to" ? ToBstr(input, codePage) : FromBstr(input, codePage);
}

}  // namespace

const Command kBstrCommand = {
    "bstr", "text to the UTF-16 code units of a BSTR, and back (PszToBstr, PszFromBstr)",
    "usage: zelmo bstr to [--codepage N] [TEXT...]\n"
    "       zelmo bstr from [--codepage N] [UNIT...]\n"
    "to converts TEXT (the arguments joined by spaces, or standard input) from\n"
    "code page N to a BSTR and prints its UTF-16 code units as hexadecimal\n"
    "numbers, separated by spaces. from takes such numbers (arguments or\n"
    "standard input; a zero unit ends the text) and prints their text in code\n"
    "page N. N is 0 for the system's code page (UTF-8 on Linux) or 65001 for\n"
    "UTF-8. Exit status 1 when the text cannot be converted.\n",
    RunBstr};

}  // namespace cli
