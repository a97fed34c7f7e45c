// The system allocators behind the BSTR conversions, SysAllocStringLen and
// LocalAlloc, under the allocation failure hook. Calls to DLL functions go
// through their import slots (__imp_Name): the program is linked with those
// slots wrapped, and the wrapping slots point here.
#include <windows.h>
#include <oleauto.h>

#include "support/failing_allocation.h"

extern "C" {

extern BSTR(WINAPI *__real___imp_SysAllocStringLen)(const OLECHAR *, UINT);
extern HLOCAL(WINAPI *__real___imp_LocalAlloc)(UINT, SIZE_T);

}  // extern "C"

namespace {

BSTR WINAPI FailingSysAllocStringLen(const OLECHAR *text, UINT length)
{
    return zelmo::test::RefuseThisAllocation() ? nullptr : __real___imp_SysAllocStringLen(text, length);
}

HLOCAL WINAPI FailingLocalAlloc(UINT flags, SIZE_T bytes)
{
    return zelmo::test::RefuseThisAllocation() ? nullptr : __real___imp_LocalAlloc(flags, bytes);
}

}  // namespace

extern "C" {

BSTR(WINAPI *__wrap___imp_SysAllocStringLen)(const OLECHAR *, UINT) = FailingSysAllocStringLen;
HLOCAL(WINAPI *__wrap___imp_LocalAlloc)(UINT, SIZE_T) = FailingLocalAlloc;

}  // extern "C"
