// Code-page conversion, BSTRs and local memory through the Win32 services.
#include <windows.h>
#include <oleauto.h>

#include "platform/platform.h"

namespace zelmo::platform {

int MultiByteToWide(unsigned codePage, const char *text, ZelmoOleChar *out, int capacity)
{
    return MultiByteToWideChar(codePage, 0, text, -1, out, capacity);
}

int WideToMultiByte(unsigned codePage, const ZelmoOleChar *text, char *out, int capacity)
{
    return WideCharToMultiByte(codePage, 0, text, -1, out, capacity, nullptr, nullptr);
}

ZelmoOleChar *AllocateBstr(unsigned length)
{
    return SysAllocStringLen(nullptr, length);
}

void *AllocateLocal(std::size_t size)
{
    return LocalAlloc(LMEM_FIXED, size);
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
