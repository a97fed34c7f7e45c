// PszToBstr and PszFromBstr on arbitrary bytes and arbitrary UTF-16 units in
// a code page chosen by the input. Each BSTR must be its converted text, the
// converted terminator and one more zero; each multibyte result must be a
// string within its block. In UTF-8 a second round trip changes nothing, and
// wide text with unpaired surrogates comes back with each one replaced.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zelmo.h"

namespace {

constexpr unsigned kCodePages[] = {0, 1, 3, 65001, 1252, 1250, 1251, 437, 850, 932, 936, 949, 950,
                                   20127, 28591, 20866, 50220, 54936, 65000, 1200, 42, 12345};

bool IsUtf8(unsigned codePage)
{
    return codePage == 0 || codePage == 1 || codePage == 3 || codePage == 65001;
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// The BSTR of `text` checked for its shape, measured by its length prefix:
// the converted text (which may itself hold zero units, as UTF-7's "+AAA-"
// does), its converted terminator, one more zero and the allocator's
// terminator. Its text, or nothing when the conversion failed.
bool ToBstr(const char *text, unsigned codePage, std::u16string &wide)
{
    const ZelmoBstr bstr = PszToBstr(text, codePage);
    if (bstr == nullptr)
        return false;
    const unsigned length = SysStringLen(bstr);
    Check(length >= 2 && bstr[length - 2] == 0 && bstr[length - 1] == 0 && bstr[length] == 0);
    wide.assign(bstr, length - 2);
    SysFreeString(bstr);
    return true;
}

bool FromBstr(const std::u16string &wide, unsigned codePage, std::string &text)
{
    char *block = PszFromBstr(wide.c_str(), codePage);
    if (block == nullptr)
        return false;
    text = block;
    LocalFree(block);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 1 << 12)
        return 0;
    const unsigned codePage = kCodePages[data[0] % std::size(kCodePages)];
    const std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);

    // The input as multibyte text, up to its first NUL.
    std::u16string wide;
    if (ToBstr(bytes.c_str(), codePage, wide)) {
        std::string back;
        Check(FromBstr(wide, codePage, back) || !IsUtf8(codePage));
        std::u16string again;
        if (IsUtf8(codePage))
            Check(ToBstr(back.c_str(), codePage, again) && again == wide);
    }

    // The input as UTF-16 units, up to the first zero unit.
    std::u16string units;
    for (std::size_t i = 1; i + 1 < size; i += 2) {
        const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (unit == 0)
            break;
        units.push_back(unit);
    }
    std::string text;
    const bool converted = FromBstr(units, codePage, text);
    if (IsUtf8(codePage)) {
        Check(converted);
        std::u16string expected = units;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const bool high = expected[i] >= 0xD800 && expected[i] <= 0xDBFF;
            const bool low = expected[i] >= 0xDC00 && expected[i] <= 0xDFFF;
            if (high && i + 1 < expected.size() && expected[i + 1] >= 0xDC00 && expected[i + 1] <= 0xDFFF)
                ++i;
            else if (high || low)
                expected[i] = 0xFFFD;
        }
        Check(ToBstr(text.c_str(), codePage, wide) && wide == expected);
    }
    return 0;
}
