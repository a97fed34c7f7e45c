// The profile reader and writer on arbitrary text: lists and values are
// read into small buffers of exact size (the sanitizer catches any byte
// written past them), and a written value reads back, also from the text
// the write produced read again (lines end in CR LF, LF or a CR alone),
// while every line the write did not concern keeps its bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/ini.h"

namespace {

void ReadInto(const zelmo::ini::Profile &profile, const char *section, const char *key, unsigned size)
{
    std::vector<char> buffer(size);
    const unsigned n = profile.Read(section, key, "def", buffer.data(), size);
    if (n >= size)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2 || size > 1 << 16)
        return 0;
    const unsigned small = data[0] % 16 + 1;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    zelmo::ini::Profile profile(text);
    if (profile.Text() != text)
        std::abort();
    for (unsigned n : {small, 64u}) {
        ReadInto(profile, nullptr, nullptr, n);
        ReadInto(profile, "s", nullptr, n);
        ReadInto(profile, "s", "k", n);
    }
    // A key named after the start of the text's first line.
    const std::string line = text.substr(0, std::min(text.find('\n'), std::size_t(12)));
    const std::string name = line.c_str();
    zelmo::ini::Profile edited(text);
    edited.Write("s", name.c_str(), "value");
    const std::size_t start = name.find_first_not_of(" \t\v\f\r\x1a");
    const bool plainKey = start != std::string::npos && name[start] != ';' && name[start] != '[' &&
                          name.find_first_of("\r\n=") == std::string::npos;
    char out[8];
    if (plainKey && (edited.Read("s", name.c_str(), "", out, sizeof out) != 5 || std::strcmp(out, "value") != 0))
        std::abort();
    zelmo::ini::Profile reread(edited.Text());
    if (plainKey && (reread.Read("s", name.c_str(), "", out, sizeof out) != 5 || std::strcmp(out, "value") != 0))
        std::abort();
    edited.Write("s", nullptr, nullptr);
    edited.Write(name.c_str(), nullptr, nullptr);
    return 0;
}
