// Code-page conversion, BSTRs and local memory on POSIX.
//
// Code pages are Windows code page numbers: 0 (the ANSI code page), 1 (OEM),
// 3 (the thread's code page) and 65001 are UTF-8, converted here; the others
// go through iconv under their usual names ("CP" followed by the number
// unless the table below says otherwise). Invalid input is replaced, never
// refused, as the Windows functions do without flags: U+FFFD for each
// maximal ill-formed UTF-8 subsequence, '?' for a character that the target
// code page lacks.
//
// A BSTR is UTF-16 text after a 4-byte length prefix counting its bytes and
// before a 2-byte terminator, the layout OLE Automation uses. The library
// exports SysAllocStringLen, SysFreeString, SysStringLen and LocalFree so that
// hosts release what it hands out as they would on Windows.
#include <iconv.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"

namespace zelmo::platform {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsUtf8(unsigned codePage)
{
    return codePage == 0 || codePage == 1 || codePage == 3 || codePage == 65001;
}

// The iconv name of a Windows code page, or null when Windows offers no
// conversion for it (the UTF-16 and UTF-32 code pages, symbol).
std::string IconvName(unsigned codePage)
{
    struct Name {
        unsigned codePage;
        const char *name;
    };
    static constexpr Name kNames[] = {
        {2, "MACINTOSH"},     {936, "GBK"},          {10000, "MACINTOSH"},  {20127, "ASCII"},
        {20866, "KOI8-R"},    {20932, "EUC-JP"},     {21866, "KOI8-U"},     {28591, "ISO-8859-1"},
        {28592, "ISO-8859-2"}, {28593, "ISO-8859-3"}, {28594, "ISO-8859-4"}, {28595, "ISO-8859-5"},
        {28596, "ISO-8859-6"}, {28597, "ISO-8859-7"}, {28598, "ISO-8859-8"}, {28599, "ISO-8859-9"},
        {28603, "ISO-8859-13"}, {28605, "ISO-8859-15"}, {50220, "ISO-2022-JP"}, {51932, "EUC-JP"},
        {51936, "EUC-CN"},    {51949, "EUC-KR"},     {54936, "GB18030"},    {65000, "UTF-7"},
    };
    for (const Name &entry : kNames)
        if (entry.codePage == codePage)
            return entry.name;
    if (codePage == 42 || codePage == 1200 || codePage == 1201 || codePage == 12000 || codePage == 12001)
        return {};
    return "CP" + std::to_string(codePage);
}

const char *NativeUtf16()
{
    return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
}

class Converter {
public:
    Converter(const std::string &to, const std::string &from)
        : cd_(to.empty() || from.empty() ? iconv_t(-1) : iconv_open(to.c_str(), from.c_str()))
    {
    }
    ~Converter()
    {
        if (ok())
            iconv_close(cd_);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;
    bool ok() const { return cd_ != iconv_t(-1); }

    // Converts `in` whole; at each byte (or character) that cannot be
    // converted, `onError` appends a replacement to `out` and returns how
    // many input bytes to skip.
    template <typename OnError>
    void Run(const char *in, std::size_t inLeft, std::string &out, OnError onError)
    {
        char *src = const_cast<char *>(in);
        char chunk[4096];
        while (true) {
            char *dst = chunk;
            std::size_t dstLeft = sizeof chunk;
            const std::size_t r = iconv(cd_, inLeft > 0 ? &src : nullptr, &inLeft, &dst, &dstLeft);
            out.append(chunk, static_cast<std::size_t>(dst - chunk));
            if (r != std::size_t(-1)) {
                if (inLeft == 0) {  // flushed the shift state too
                    dst = chunk;
                    dstLeft = sizeof chunk;
                    iconv(cd_, nullptr, nullptr, &dst, &dstLeft);
                    out.append(chunk, static_cast<std::size_t>(dst - chunk));
                    return;
                }
                continue;
            }
            if (errno == E2BIG)
                continue;
            if (inLeft == 0)
                return;
            const std::size_t skip = std::min(onError(src, inLeft, out), inLeft);
            src += skip;
            inLeft -= skip;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
    }

private:
    iconv_t cd_;
};

void AppendUnit(std::u16string &out, char32_t c)
{
    if (c >= 0x10000) {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(c));
    }
}

// UTF-8 to UTF-16; each maximal ill-formed subsequence becomes one U+FFFD.
std::u16string DecodeUtf8(const unsigned char *s, std::size_t n)
{
    std::u16string out;
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = s[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        int need = 0;
        char32_t c = 0;
        unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1, c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2, c = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3, c = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        ++i;
        int got = 0;
        while (got < need && i < n) {
            const unsigned char b = s[i];
            const bool fits = got == 0 ? b >= low && b <= high : b >= 0x80 && b <= 0xBF;
            if (!fits)
                break;
            c = (c << 6) | (b & 0x3F);
            ++i, ++got;
        }
        if (need > 0 && got == need)
            AppendUnit(out, c);
        else
            out.push_back(kReplacement);
    }
    return out;
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string EncodeUtf8(const char16_t *s, std::size_t n)
{
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// The character that an undecodable byte of a code page becomes: the
// katakana middle dot in the East Asian double-byte code pages, the byte's
// own value in the others (as for the unassigned bytes of code page 1252).
char16_t UndecodableByte(unsigned codePage, unsigned char byte)
{
    if (codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950)
        return 0x30FB;
    return byte < 0x80 ? kReplacement : byte;
}

bool Decode(unsigned codePage, const char *text, std::u16string &out)
{
    const std::size_t n = std::strlen(text);
    if (IsUtf8(codePage)) {
        out = DecodeUtf8(reinterpret_cast<const unsigned char *>(text), n);
        return true;
    }
    Converter converter(NativeUtf16(), IconvName(codePage));
    if (!converter.ok())
        return false;
    std::string bytes;
    converter.Run(text, n, bytes, [codePage](const char *at, std::size_t, std::string &sink) {
        const char16_t c = UndecodableByte(codePage, static_cast<unsigned char>(*at));
        sink.append(reinterpret_cast<const char *>(&c), sizeof c);
        return std::size_t(1);
    });
    out.assign(reinterpret_cast<const char16_t *>(bytes.data()), bytes.size() / sizeof(char16_t));
    return true;
}

bool Encode(unsigned codePage, const char16_t *text, std::string &out)
{
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    if (IsUtf8(codePage)) {
        out = EncodeUtf8(text, n);
        return true;
    }
    Converter converter(IconvName(codePage), NativeUtf16());
    if (!converter.ok())
        return false;
    converter.Run(reinterpret_cast<const char *>(text), n * sizeof(char16_t), out,
                  [](const char *at, std::size_t left, std::string &sink) {
                      char16_t unit[2] = {};
                      std::memcpy(unit, at, std::min(left, sizeof unit));
                      sink.push_back('?');
                      const bool pair = left >= 4 && unit[0] >= 0xD800 && unit[0] <= 0xDBFF &&
                                        unit[1] >= 0xDC00 && unit[1] <= 0xDFFF;
                      return std::size_t(pair ? 4 : 2);
                  });
    return true;
}

// Copies `count` units and a terminator into `out` of `capacity` units, or
// measures when `capacity` is 0; returns the count with the terminator.
template <typename Unit>
int Deliver(const Unit *units, std::size_t count, Unit *out, int capacity)
{
    if (count >= static_cast<std::size_t>(INT_MAX))
        return 0;
    const int needed = static_cast<int>(count) + 1;
    if (capacity == 0)
        return needed;
    if (out == nullptr || capacity < needed)
        return 0;
    std::memcpy(out, units, count * sizeof(Unit));
    out[count] = 0;
    return needed;
}

// The allocation behind a BSTR: the length prefix sits just before it.
char *BstrBlock(const ZelmoOleChar *bstr)
{
    return reinterpret_cast<char *>(const_cast<ZelmoOleChar *>(bstr)) - sizeof(std::uint32_t);
}

}  // namespace

// The conversions work in growing strings; when memory runs out they fail
// with 0, as the Windows functions do, rather than throw into C callers.
int MultiByteToWide(unsigned codePage, const char *text, ZelmoOleChar *out, int capacity)
try {
    std::u16string wide;
    if (text == nullptr || capacity < 0 || !Decode(codePage, text, wide))
        return 0;
    return Deliver(wide.data(), wide.size(), out, capacity);
} catch (...) {
    return 0;
}

int WideToMultiByte(unsigned codePage, const ZelmoOleChar *text, char *out, int capacity)
try {
    std::string bytes;
    if (text == nullptr || capacity < 0 || !Encode(codePage, text, bytes))
        return 0;
    return Deliver(bytes.data(), bytes.size(), out, capacity);
} catch (...) {
    return 0;
}

ZelmoOleChar *AllocateBstr(unsigned length)
{
    return SysAllocStringLen(nullptr, length);
}

void *AllocateLocal(std::size_t size)
{
    return std::malloc(size > 0 ? size : 1);
}

void ReleaseBstr(ZelmoOleChar *bstr)
{
    SysFreeString(bstr);
}

void ReleaseLocal(void *memory)
{
    LocalFree(memory);
}

}  // namespace zelmo::platform

extern "C" {

ZelmoBstr SysAllocStringLen(const ZelmoOleChar *text, unsigned int length)
{
    using zelmo::platform::BstrBlock;
    const std::size_t bytes = std::size_t(length) * sizeof(ZelmoOleChar);
    if (bytes > UINT32_MAX - sizeof(std::uint32_t) - sizeof(ZelmoOleChar))
        return nullptr;
    char *block = static_cast<char *>(std::malloc(sizeof(std::uint32_t) + bytes + sizeof(ZelmoOleChar)));
    if (block == nullptr)
        return nullptr;
    const std::uint32_t prefix = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &prefix, sizeof prefix);
    auto *bstr = reinterpret_cast<ZelmoOleChar *>(block + sizeof prefix);
    if (text != nullptr)
        std::memcpy(bstr, text, bytes);
    bstr[length] = 0;
    return bstr;
}

void SysFreeString(ZelmoBstr bstr)
{
    if (bstr != nullptr)
        std::free(zelmo::platform::BstrBlock(bstr));
}

unsigned int SysStringLen(ZelmoBstr bstr)
{
    if (bstr == nullptr)
        return 0;
    std::uint32_t prefix;
    std::memcpy(&prefix, zelmo::platform::BstrBlock(bstr), sizeof prefix);
    return prefix / sizeof(ZelmoOleChar);
}

void *LocalFree(void *memory)
{
    std::free(memory);
    return nullptr;
}

}  // extern "C"
