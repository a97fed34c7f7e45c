// The stored-header reading of the download's revalidation on arbitrary
// file bytes: ReadWholeFile keeps the bytes up to the first NUL, and the
// If-Modified-Since line is the text between the first "Last-Modified:" (any
// letter case) and the first CR or LF after it, and none when that text holds
// a control character other than tab; both against a byte-by-byte reference.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <utility>

#include <unistd.h>

#include "http/download.h"

namespace {

// Where the field name first occurs in `text`, letters of either case; -1
// when nowhere.
long FindName(const std::string &text)
{
    static const char name[] = "last-modified:";
    const std::size_t n = sizeof name - 1;
    for (std::size_t i = 0; i + n <= text.size(); ++i)
        if (strncasecmp(text.data() + i, name, n) == 0)
            return static_cast<long>(i);
    return -1;
}

std::string ExpectedLine(const std::string &header)
{
    const long field = FindName(header);
    if (field < 0)
        return {};
    const std::size_t value = static_cast<std::size_t>(field) + 14;
    std::size_t end = value;
    while (end < header.size() && header[end] != '\r' && header[end] != '\n') ++end;
    if (end == header.size())
        return {};
    for (std::size_t i = value; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(header[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return {};
    }
    return "If-Modified-Since: " + header.substr(value, end - value);
}

const std::string &FilePath()
{
    static const std::string path = "/tmp/fuzz_download_header." + std::to_string(getpid());
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using zelmo::http::ConditionalLine;
    using zelmo::http::ReadWholeFile;
    const std::string bytes(reinterpret_cast<const char *>(data), size);

    // The stored file, read as the revalidation reads it.
    std::FILE *file = std::fopen(FilePath().c_str(), "wb");
    if (file == nullptr)
        std::abort();
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0)
        std::abort();
    std::string text = "untouched";
    const bool read = ReadWholeFile(FilePath().c_str(), text);
    std::remove(FilePath().c_str());
    if (read != (size > 0))
        std::abort();
    if (!read) {
        if (text != "untouched")
            std::abort();
        return 0;
    }
    const std::size_t nul = bytes.find('\0');
    if (text != bytes.substr(0, nul))
        std::abort();

    // The conditional line of the text read, and of the raw bytes too (a
    // header with NULs, as a caller could hand it over).
    for (const std::string *header : {&std::as_const(text), &bytes}) {
        const std::string line = ConditionalLine(*header);
        if (line != ExpectedLine(*header))
            std::abort();
        if (line.find_first_of("\r\n") != std::string::npos)
            std::abort();
    }
    return 0;
}
