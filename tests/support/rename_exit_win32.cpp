// MoveFileExA under the ExitAtRename hook. The library calls it through its
// import slot (__imp_MoveFileExA on x86_64, __imp__MoveFileExA@12 on x86),
// which the program is linked with wrapped (--wrap=ZELMO_WRAP_MOVEFILEEXA,
// given by the build); the wrapping slot points here.
#include <windows.h>

#include "support/rename_exit.h"

#define ZELMO_TEXT(x) #x
#define ZELMO_PREFIX(x) ZELMO_TEXT(x)
#define ZELMO_SLOT(kind, wrapped) ZELMO_PREFIX(__USER_LABEL_PREFIX__) kind wrapped

using MoveFileExASlot = BOOL(WINAPI *)(LPCSTR, LPCSTR, DWORD);

extern "C" {
extern MoveFileExASlot RealMoveFileExA __asm__(ZELMO_SLOT("__real_", ZELMO_WRAP_MOVEFILEEXA));
}

namespace {

BOOL WINAPI CountedMoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    zelmo::test::CountRename(false);
    const BOOL result = RealMoveFileExA(from, to, flags);
    zelmo::test::CountRename(true);
    return result;
}

}  // namespace

extern "C" {
extern MoveFileExASlot WrapMoveFileExA __asm__(ZELMO_SLOT("__wrap_", ZELMO_WRAP_MOVEFILEEXA));
MoveFileExASlot WrapMoveFileExA = CountedMoveFileExA;
}
