/*
 * A host as Microsoft's tools build it: compiled for the *-pc-windows-msvc
 * target and linked by lld-link against Zelmo.lib alone, with no C runtime
 * (its entry point is start). It references stdcall exports of several
 * argument sizes and a cdecl one, and its exit status is 0 when the calls
 * it makes give the expected results.
 */
#include <zelmo.h>
#include <zelmo_fetch.h>

static int Same(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

int __stdcall start(void)
{
    char digest[33];
    char encoded[8];
    unsigned char identifier[6];
    /* Referenced only: the cdecl decoration must resolve too. */
    int(ZELMO_CDECL *volatile report)(const char *, const char *, ...) = EventLogInformation;
    int failures = 0;
    failures += MD5String("abc", 3, digest, sizeof digest) != 32 ||
                !Same(digest, "900150983cd24fb0d6963f7d28e17f72");
    failures += Base64Encode(encoded, "abc", 3) != 4 || !Same(encoded, "YWJj");
    failures += !GetMacAddr(255, identifier);
    failures += report == 0;
    failures += !Same(zelmo_fetch_outcome_name(ZELMO_FETCH_REVALIDATED), "revalidated");
    failures += zelmo_cache_prune(NULL, NULL) != ZELMO_FETCH_E_OPTIONS;
    return failures;
}
