/*
 * A host linked against Zelmo (CMake: find_package(Zelmo) and Zelmo::zelmo;
 * or pkg-config --cflags --libs zelmo). It encodes, digests and encrypts a
 * text, keeps a value in a profile file, converts the text to a BSTR and
 * back, and exits 1 if any result is not the expected one.
 */
#include <stdio.h>
#include <string.h>

#include <zelmo.h>
#ifdef _WIN32
#include <windows.h> /* LocalFree */
#include <oleauto.h> /* SysFreeString (link oleaut32) */
#endif

static int failures;

static void Expect(int ok, const char *what)
{
    printf("%-40s %s\n", what, ok ? "ok" : "FAILED");
    if (!ok)
        failures++;
}

int main(void)
{
    const char text[] = "Hello, Zelmo";

    /* Base64: the caller sizes out as 4 * ceil(len / 3) + 1 bytes. */
    char encoded[4 * ((sizeof text - 1 + 2) / 3) + 1];
    int n = Base64Encode(encoded, text, 0);
    Expect(n == 16 && strcmp(encoded, "SGVsbG8sIFplbG1v") == 0, "Base64Encode");
    char decoded[sizeof encoded];
    n = Base64Decode(decoded, encoded, 0);
    Expect(n == (int)strlen(text) && memcmp(decoded, text, (size_t)n) == 0, "Base64Decode");

    /* MD5: 32 hexadecimal characters and a NUL need 33 bytes. */
    char digest[33];
    n = MD5String("abc", 3, digest, sizeof digest);
    Expect(n == 32 && strcmp(digest, "900150983cd24fb0d6963f7d28e17f72") == 0, "MD5String");

    /* DES text encryption in its Base64 form, and back. */
    char cipher[128], plain[128];
    n = Encode(text, "secret", cipher, sizeof cipher);
    Expect(n > 0, "Encode");
    n = Decode(cipher, "secret", plain, sizeof plain);
    Expect(n == (int)strlen(text) && strcmp(plain, text) == 0, "Decode");

    /* A profile value in a file of our own (relative to the current directory). */
    const char *profile = "zelmo-example.ini";
    Expect(SetProfileValue("example", "greeting", profile, text, 0), "SetProfileValue");
    char value[64];
    n = GetProfileValue("example", "greeting", profile, value, sizeof value, "");
    Expect(n == (int)strlen(text) && strcmp(value, text) == 0, "GetProfileValue");
    remove(profile);

    /* The library allocates BSTR results; the host releases them. */
    ZelmoBstr wide = PszToBstr(text, 65001);
    char *narrow = wide ? PszFromBstr(wide, 65001) : NULL;
    Expect(narrow != NULL && strcmp(narrow, text) == 0, "PszToBstr/PszFromBstr");
    if (narrow)
        LocalFree(narrow);
    if (wide)
        SysFreeString(wide);

    return failures == 0 ? 0 : 1;
}
