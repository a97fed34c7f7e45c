// rename(2) under the ExitAtRename hook (the program is linked with
// --wrap=rename).
#include "support/rename_exit.h"

extern "C" int __real_rename(const char *from, const char *to);

extern "C" int __wrap_rename(const char *from, const char *to)
{
    zelmo::test::CountRename(false);
    const int result = __real_rename(from, to);
    zelmo::test::CountRename(true);
    return result;
}
