/*
 * A host that loads Zelmo at run time and resolves its exports by their
 * plain names: dlopen/dlsym on Linux, LoadLibraryA/GetProcAddress on
 * Windows. Only the header's types are used; nothing is linked.
 *
 *   load_host [LIBRARY]    default: libzelmo.so.1, or Zelmo.dll on Windows
 *
 * Exits 0 when every result is the expected one, 1 when one is not, 2 when
 * the library or one of its exports cannot be found.
 */
#include <stdio.h>
#include <string.h>

#include <zelmo.h>

#ifdef _WIN32
#include <windows.h>
#define DEFAULT_LIBRARY "Zelmo.dll"
typedef HMODULE Library;
static Library OpenLibrary(const char *path) { return LoadLibraryA(path); }
static void *Symbol(Library lib, const char *name) { return (void *)GetProcAddress(lib, name); }
/* The loader's reason for the last failure, as the system words it. */
static const char *LoadError(void)
{
    static char text[512];
    const DWORD code = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text,
                             sizeof text, NULL);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
    if (n == 0)
        snprintf(text, sizeof text, "error %lu", (unsigned long)code);
    return text;
}
#else
#include <dlfcn.h>
#define DEFAULT_LIBRARY "libzelmo.so.1"
typedef void *Library;
static Library OpenLibrary(const char *path) { return dlopen(path, RTLD_NOW); }
static void *Symbol(Library lib, const char *name) { return dlsym(lib, name); }
static const char *LoadError(void)
{
    const char *text = dlerror();
    return text ? text : "no reason given";
}
#endif

typedef int(ZELMO_API *Base64EncodeFn)(char *, const char *, int);
typedef int(ZELMO_API *MD5StringFn)(const char *, int, char *, unsigned int);
typedef int(ZELMO_API *EncodeFn)(const char *, const char *, char *, unsigned int);
typedef const char *(ZELMO_API *GetFileFullPathFn)(const char *);
typedef int(ZELMO_API *GetLocalHostNameFn)(char *, int);
typedef int(ZELMO_API *NoSyncFn)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                 uint32_t);

static int failures;

static void Expect(int ok, const char *what)
{
    printf("%-32s %s\n", what, ok ? "ok" : "FAILED");
    if (!ok)
        failures++;
}

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : DEFAULT_LIBRARY;
    Library lib = OpenLibrary(path);
    if (!lib) {
        fprintf(stderr, "load_host: cannot load %s: %s\n", path, LoadError());
        return 2;
    }
    Base64EncodeFn base64Encode = (Base64EncodeFn)Symbol(lib, "Base64Encode");
    MD5StringFn md5String = (MD5StringFn)Symbol(lib, "MD5String");
    EncodeFn encode = (EncodeFn)Symbol(lib, "Encode");
    EncodeFn decode = (EncodeFn)Symbol(lib, "Decode");
    GetFileFullPathFn getFileFullPath = (GetFileFullPathFn)Symbol(lib, "GetFileFullPath");
    GetLocalHostNameFn getLocalHostName = (GetLocalHostNameFn)Symbol(lib, "GetLocalHostName");
    NoSyncFn requestPlaceholder = (NoSyncFn)Symbol(lib, "HttpRequest_NoSYNC");
    if (!base64Encode || !md5String || !encode || !decode || !getFileFullPath ||
        !getLocalHostName || !requestPlaceholder) {
        fprintf(stderr, "load_host: %s lacks an export\n", path);
        return 2;
    }
    printf("loaded %s\n", path);

    char encoded[16];
    Expect(base64Encode(encoded, "abc", 3) == 4 && strcmp(encoded, "YWJj") == 0, "Base64Encode");

    char digest[33];
    Expect(md5String("abc", 3, digest, sizeof digest) == 32 &&
               strcmp(digest, "900150983cd24fb0d6963f7d28e17f72") == 0,
           "MD5String");
    Expect(md5String("abc", 3, digest, 32) == 0, "MD5String refuses 32 bytes");

    char cipher[64], plain[64];
    Expect(encode("run time", "key", cipher, sizeof cipher) > 0 &&
               decode(cipher, "key", plain, sizeof plain) == 8 && strcmp(plain, "run time") == 0,
           "Encode/Decode");

    /* The result lives in the library's own buffer: read it, never free it. */
    const char *full = getFileFullPath("zelmo.ini");
    const size_t fullLength = full ? strlen(full) : 0;
    Expect(fullLength > 9 && strcmp(full + fullLength - 9, "zelmo.ini") == 0, "GetFileFullPath");
    printf("  %s\n", full ? full : "(null)");

    char host[256];
    Expect(getLocalHostName(host, sizeof host) == 1 && host[0] != '\0', "GetLocalHostName");

    Expect(requestPlaceholder(0, 0, 0, 0, 0, 0, 0) == 1, "HttpRequest_NoSYNC");

    return failures == 0 ? 0 : 1;
}
