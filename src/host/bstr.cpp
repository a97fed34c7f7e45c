// PszToBstr and PszFromBstr: multibyte text to a new BSTR and wide text to a
// new multibyte string, in the caller's code page. The caller owns and
// releases the results (SysFreeString, LocalFree).
#include <algorithm>

#include "platform/platform.h"
#include "zelmo.h"

extern "C" ZelmoBstr ZELMO_API PszToBstr(const char *psz, unsigned int codePage)
{
    using namespace zelmo::platform;
    if (psz == nullptr)
        return nullptr;
    // n counts the terminator; the BSTR holds n + 1 characters: the text,
    // its terminator and one more zero.
    const int n = MultiByteToWide(codePage, psz, nullptr, 0);
    if (n <= 0)
        return nullptr;
    ZelmoOleChar *bstr = AllocateBstr(static_cast<unsigned>(n) + 1);
    if (bstr == nullptr)
        return nullptr;
    std::fill_n(bstr, n + 1, ZelmoOleChar(0));
    // With the measured capacity the conversion cannot fail for want of room;
    // where it runs out of memory (the POSIX conversion takes some), the
    // zeros would pass for text: give nothing rather than that.
    if (MultiByteToWide(codePage, psz, bstr, n) <= 0) {
        ReleaseBstr(bstr);
        return nullptr;
    }
    return bstr;
}

extern "C" char *ZELMO_API PszFromBstr(const ZelmoOleChar *bstr, unsigned int codePage)
{
    using namespace zelmo::platform;
    if (bstr == nullptr)
        return nullptr;
    // b counts the terminator; the block has one spare byte after it.
    const int b = WideToMultiByte(codePage, bstr, nullptr, 0);
    if (b <= 0)
        return nullptr;
    char *text = static_cast<char *>(AllocateLocal(static_cast<std::size_t>(b) + 1));
    if (text == nullptr)
        return nullptr;
    if (WideToMultiByte(codePage, bstr, text, b + 1) <= 0) {  // as above
        ReleaseLocal(text);
        return nullptr;
    }
    return text;
}
