// The system allocators behind the BSTR conversions, SysAllocStringLen and
// LocalAlloc, under the allocation failure hook. Calls to DLL functions go
// through their import slots (__imp_Name on x86_64, __imp__Name@8 on x86):
// the program is linked with those slots wrapped (--wrap=ZELMO_WRAP_*, given
// by the build), and the wrapping slots point here. The slots are named by
// their assembler names, which carry the target's label prefix.
#include <windows.h>
#include <oleauto.h>

#include "support/failing_allocation.h"

#define ZELMO_TEXT(x) #x
#define ZELMO_PREFIX(x) ZELMO_TEXT(x)
#define ZELMO_SLOT(kind, wrapped) ZELMO_PREFIX(__USER_LABEL_PREFIX__) kind wrapped

using SysAllocStringLenSlot = BSTR(WINAPI *)(const OLECHAR *, UINT);
using LocalAllocSlot = HLOCAL(WINAPI *)(UINT, SIZE_T);

extern "C" {

extern SysAllocStringLenSlot RealSysAllocStringLen __asm__(ZELMO_SLOT("__real_", ZELMO_WRAP_SYSALLOCSTRINGLEN));
extern LocalAllocSlot RealLocalAlloc __asm__(ZELMO_SLOT("__real_", ZELMO_WRAP_LOCALALLOC));

}  // extern "C"

namespace {

BSTR WINAPI FailingSysAllocStringLen(const OLECHAR *text, UINT length)
{
    return zelmo::test::RefuseThisAllocation() ? nullptr : RealSysAllocStringLen(text, length);
}

HLOCAL WINAPI FailingLocalAlloc(UINT flags, SIZE_T bytes)
{
    return zelmo::test::RefuseThisAllocation() ? nullptr : RealLocalAlloc(flags, bytes);
}

}  // namespace

extern "C" {

extern SysAllocStringLenSlot WrapSysAllocStringLen __asm__(ZELMO_SLOT("__wrap_", ZELMO_WRAP_SYSALLOCSTRINGLEN));
extern LocalAllocSlot WrapLocalAlloc __asm__(ZELMO_SLOT("__wrap_", ZELMO_WRAP_LOCALALLOC));
SysAllocStringLenSlot WrapSysAllocStringLen = FailingSysAllocStringLen;
LocalAllocSlot WrapLocalAlloc = FailingLocalAlloc;

}  // extern "C"
