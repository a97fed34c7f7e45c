/*
 * The 32-bit DLL's calling conventions, at run time: every export listed in
 * table.txt is looked up by its plain name with GetProcAddress and called
 * through CallMeasured (call_measure.S), which pushes the arguments itself
 * and measures how many argument bytes the export took off the stack: a
 * stdcall export must remove exactly 4 bytes per argument, a cdecl one none.
 * Each call's result is checked as well, and each bool export twice, with
 * EAX holding different upper bytes before the call: only its low byte is
 * defined, and it must be exactly 0 or 1.
 *
 *   call_conventions TABLE DLL WORKDIR [NGINX_DIR]
 *
 * The table lists the 28 exports of zelmo.h (ordinals 1..28) and after them
 * those of zelmo_fetch.h; both sets are called and counted.
 *
 * WORKDIR is an empty directory for the files the calls use. NGINX_DIR, when
 * it holds a port file, is the nginx fixture: the download then fetches a
 * file from it (a 200, then a 304), else it fails against a closed port.
 */
#include <windows.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zelmo.h"
#include "zelmo_fetch.h"

uint32_t CallMeasured(const void *fn, const uint32_t *args, int count, uint32_t eaxBefore,
                      int *bytesRemoved);

static int failures;

static void Fail(const char *name, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    printf("FAIL: %s: ", name);
    vprintf(format, ap);
    printf("\n");
    va_end(ap);
    failures++;
}

#define P(x) ((uint32_t)(uintptr_t)(x))

enum Result { R_INT, R_TRUE, R_FALSE, R_NONZERO, R_POINTER };

/* One call of an export: its arguments and what it must return. */
struct Call {
    const char *name;
    int count;
    uint32_t args[8];
    enum Result kind;
    int32_t expected;  /* for R_INT */
};

/* The export table: name -> argument count, -1 for cdecl ("var"). */
struct Row {
    char name[64];
    int args;
    int seen;
};
static struct Row rows[64];
static int rowCount;

static void ReadTable(const char *path)
{
    FILE *f = fopen(path, "r");
    char line[256];
    if (!f) {
        Fail("table", "cannot open %s", path);
        return;
    }
    while (fgets(line, sizeof line, f)) {
        char name[64], args[16], convention[16];
        int ordinal;
        if (line[0] == '#' || sscanf(line, "%d %63s %15s %15s", &ordinal, name, args, convention) != 4)
            continue;
        strcpy(rows[rowCount].name, name);
        rows[rowCount].args = strcmp(convention, "cdecl") == 0 ? -1 : atoi(args);
        rowCount++;
    }
    fclose(f);
}

static struct Row *Find(const char *name)
{
    for (int i = 0; i < rowCount; i++)
        if (strcmp(rows[i].name, name) == 0)
            return &rows[i];
    return NULL;
}

static uint32_t Run(HMODULE dll, const struct Call *call, uint32_t eaxBefore)
{
    struct Row *row = Find(call->name);
    FARPROC fn = GetProcAddress(dll, call->name);
    int removed = -1;
    uint32_t result;
    if (!row) {
        Fail(call->name, "not in the export table");
        return 0;
    }
    row->seen = 1;
    if (!fn) {
        Fail(call->name, "GetProcAddress finds no export of that name");
        return 0;
    }
    result = CallMeasured((const void *)fn, call->args, call->count, eaxBefore, &removed);
    if (row->args >= 0 && removed != 4 * row->args)
        Fail(call->name, "removed %d argument bytes, stdcall with %d arguments removes %d", removed,
             row->args, 4 * row->args);
    if (row->args < 0 && removed != 0)
        Fail(call->name, "removed %d argument bytes, a cdecl export removes none", removed);
    switch (call->kind) {
    case R_INT:
        if ((int32_t)result != call->expected)
            Fail(call->name, "returned %d, expected %d", (int32_t)result, call->expected);
        break;
    case R_NONZERO:
        if (result == 0)
            Fail(call->name, "returned 0");
        break;
    case R_POINTER:
        break;
    case R_TRUE:
    case R_FALSE: {
        unsigned low = result & 0xFF, want = call->kind == R_TRUE;
        if (low != want)
            Fail(call->name, "low byte 0x%02x (EAX 0x%08x before the call), expected %u", low,
                 eaxBefore, want);
        break;
    }
    }
    return result;
}

/* A bool export is called with two register fillings that differ in every
 * upper byte; an int export once. */
/* The listing's callback, stdcall as every callback of the library. */
static int ZELMO_API CountEntry(void *data, const ZelmoCacheEntry *entry)
{
    *(int *)data += entry->size == sizeof *entry && entry->name[0] != 0;
    return 0;
}

static uint32_t Check(HMODULE dll, const struct Call *call)
{
    uint32_t result = Run(dll, call, 0xA5A5A5A5u);
    if (call->kind == R_TRUE || call->kind == R_FALSE)
        result = Run(dll, call, 0x5A5A5A00u | (call->kind == R_TRUE ? 0 : 1));
    return result;
}

static int WriteFileText(const char *path, const char *text)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    fputs(text, f);
    return fclose(f) == 0;
}

int main(int argc, char **argv)
{
    char work[MAX_PATH], file[MAX_PATH], ini[MAX_PATH], dirs[MAX_PATH], text[512], out[512];
    char body[MAX_PATH], header[MAX_PATH], url[128], nginxPort[32] = "";
    unsigned int bodySize = sizeof body, headerSize = sizeof header, tinySize = 4;
    unsigned char mac[6];
    HttpResponseBuffer response;
    HMODULE dll;
    uint32_t r;

    if (argc < 4) {
        fprintf(stderr, "usage: %s TABLE DLL WORKDIR [NGINX_DIR]\n", argv[0]);
        return 2;
    }
    ReadTable(argv[1]);
    dll = LoadLibraryA(argv[2]);
    if (!dll) {
        printf("FAIL: LoadLibrary %s: error %lu\n", argv[2], GetLastError());
        return 1;
    }
    GetFullPathNameA(argv[3], sizeof work, work, NULL);
    CreateDirectoryA(work, NULL);
    snprintf(file, sizeof file, "%s\\data.txt", work);
    snprintf(ini, sizeof ini, "%s\\values.ini", work);
    snprintf(dirs, sizeof dirs, "%s\\a\\b\\name", work);
    WriteFileText(file, "abc");
    if (argc > 4) {
        char path[MAX_PATH];
        FILE *f;
        snprintf(path, sizeof path, "%s/port", argv[4]);
        f = fopen(path, "r");
        if (f) {
            if (!fgets(nginxPort, sizeof nginxPort, f))
                nginxPort[0] = 0;
            nginxPort[strcspn(nginxPort, "\r\n")] = 0;
            fclose(f);
        }
        snprintf(path, sizeof path, "%s/root/call-conventions.txt", argv[4]);
        if (nginxPort[0] && !WriteFileText(path, "0123456789"))
            nginxPort[0] = 0;
    }
    if (nginxPort[0])
        snprintf(url, sizeof url, "http://127.0.0.1:%s/call-conventions.txt", nginxPort);
    else
        snprintf(url, sizeof url, "http://127.0.0.1:1/call-conventions.txt");
    memset(&response, 0, sizeof response);
    response.buffer = out;
    response.capacity = sizeof out;

    /* Codecs and DES: exact results. */
    {
        struct Call c = {"Base64Encode", 3, {P(text), P("abcd"), 4}, R_INT, 8};
        Check(dll, &c);
        if (strcmp(text, "YWJjZA==") != 0)
            Fail("Base64Encode", "wrote \"%s\"", text);
    }
    {
        struct Call c = {"Base64Decode", 3, {P(out), P("YWJjZA=="), 8}, R_INT, 4};
        Check(dll, &c);
        if (memcmp(out, "abcd", 5) != 0)
            Fail("Base64Decode", "wrote \"%s\"", out);
    }
    {
        struct Call c = {"MD5String", 4, {P("abc"), 3, P(out), sizeof out}, R_INT, 32};
        Check(dll, &c);
        if (strcmp(out, "900150983cd24fb0d6963f7d28e17f72") != 0)
            Fail("MD5String", "wrote \"%s\"", out);
    }
    {
        struct Call c = {"MD5File", 3, {P(file), P(out), sizeof out}, R_INT, 32};
        Check(dll, &c);
        if (strcmp(out, "900150983cd24fb0d6963f7d28e17f72") != 0)
            Fail("MD5File", "wrote \"%s\"", out);
    }
    {
        struct Call c = {"Encode", 4, {P("attack at dawn"), P("secret"), P(text), sizeof text}, R_POINTER, 0};
        struct Call d = {"Decode", 4, {P(text), P("secret"), P(out), sizeof out}, R_INT, 14};
        r = Check(dll, &c);
        if ((int32_t)r <= 0 || strlen(text) != r)
            Fail("Encode", "returned %d for \"%s\"", (int32_t)r, text);
        Check(dll, &d);
        if (strcmp(out, "attack at dawn") != 0)
            Fail("Decode", "wrote \"%s\"", out);
    }
    {
        struct Call c = {"DesEncode", 5, {P("attack at dawn"), P("secret"), P(text), sizeof text, 0xDEADBEEF}, R_POINTER, 0};
        struct Call d = {"DesDecode", 5, {P(text), P("secret"), P(out), 0xDEADBEEF, sizeof out}, R_INT, 14};
        r = Check(dll, &c);
        if ((int32_t)r <= 0)
            Fail("DesEncode", "returned %d", (int32_t)r);
        Check(dll, &d);
        if (strcmp(out, "attack at dawn") != 0)
            Fail("DesDecode", "wrote \"%s\"", out);
    }

    /* Cache paths and the entry probe. */
    {
        struct Call c = {"GetCacheFilePath", 5, {P(url), P(body), P(&bodySize), P(header), P(&headerSize)}, R_TRUE, 0};
        struct Call n = {"GetCacheFilePath", 5, {0, P(body), P(&tinySize), 0, 0}, R_FALSE, 0};
        struct Call f = {"GetCacheFileSize", 4, {P(url), 0, 0xDEADBEEF, 0xDEADBEEF}, R_FALSE, 0};
        struct Call t = {"GetCacheFileSize", 4, {P("http://127.0.0.1:1/other"), P(file), 0, 0}, R_TRUE, 0};
        char probeHeader[MAX_PATH], probeBody[MAX_PATH];
        unsigned int hs = sizeof probeHeader, bs = sizeof probeBody;
        /* Each call changes the sizes (capacity in, length out): the two
         * register fillings get a call each with the capacities set again. */
        for (int i = 0; i < 2; i++) {
            bodySize = sizeof body;
            headerSize = sizeof header;
            Run(dll, &c, i ? 0x5A5A5A00u : 0xA5A5A500u);
            if (bodySize == 0 || headerSize != bodySize + 1 || strcmp(header + bodySize, "h") != 0)
                Fail("GetCacheFilePath", "paths \"%s\" (%u), \"%s\" (%u)", body, bodySize, header,
                     headerSize);
        }
        Check(dll, &n);
        /* A complete entry of its own for the probe: a header whose
         * Content-Length is the size of the body measured (data.txt). */
        struct Call p = {"GetCacheFilePath", 5, {P(t.args[0]), P(probeBody), P(&bs), P(probeHeader), P(&hs)}, R_TRUE, 0};
        Run(dll, &p, 0xA5A5A500u);
        struct Call mk = {"CheckAndCreateDircotry", 1, {P(probeHeader)}, R_INT, 1};
        Check(dll, &mk);
        WriteFileText(probeHeader, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n");
        Check(dll, &t);
        DeleteFileA(probeHeader);
        Check(dll, &f);
    }
    {
        struct Call c = {"CheckAndCreateDircotry", 1, {P(dirs)}, R_INT, 1};
        char made[MAX_PATH];
        Check(dll, &c);
        snprintf(made, sizeof made, "%s\\a\\b", work);
        if (GetFileAttributesA(made) == INVALID_FILE_ATTRIBUTES)
            Fail("CheckAndCreateDircotry", "%s was not created", made);
    }
    {
        struct Call c = {"GetFileFullPath", 1, {P("name.txt")}, R_POINTER, 0};
        const char *path = (const char *)(uintptr_t)Check(dll, &c);
        size_t n = path ? strlen(path) : 0;
        if (!path || n < 9 || strcmp(path + n - 9, "\\name.txt") != 0)
            Fail("GetFileFullPath", "returned \"%s\"", path ? path : "(null)");
    }

    /* Profile values. */
    {
        struct Call s = {"SetProfileValue", 5, {P("Section"), P("Key"), P(ini), P("value"), 0xDEADBEEF}, R_TRUE, 0};
        struct Call g = {"GetProfileValue", 6, {P("section"), P("KEY"), P(ini), P(out), sizeof out, P("default")}, R_INT, 5};
        struct Call d = {"GetProfileValue", 6, {P("section"), P("absent"), P(ini), P(out), sizeof out, P("default")}, R_INT, 7};
        struct Call n = {"GetProfileValue", 6, {P("section"), P("KEY"), P(ini), 0, sizeof out, 0}, R_INT, -1};
        char missing[MAX_PATH];
        snprintf(missing, sizeof missing, "%s\\no such directory\\values.ini", work);
        struct Call f = {"SetProfileValue", 5, {P("Section"), P("Key"), P(missing), P("value"), 0}, R_FALSE, 0};
        Check(dll, &s);
        Check(dll, &g);
        if (strcmp(out, "value") != 0)
            Fail("GetProfileValue", "read \"%s\"", out);
        Check(dll, &d);
        Check(dll, &n);
        Check(dll, &f);
    }

    /* Host identity. */
    {
        struct Call m = {"GetMacAddr", 2, {0, P(mac)}, R_TRUE, 0};
        struct Call mn = {"GetMacAddr", 2, {0, 0}, R_FALSE, 0};
        struct Call h = {"GetLocalHostName", 2, {P(text), sizeof text}, R_INT, 1};
        struct Call hs = {"GetLocalHostName", 2, {P(text), 1}, R_INT, 0};
        struct Call ip = {"GetLocalIP", 1, {P(out)}, R_TRUE, 0};
        Check(dll, &m);
        Check(dll, &mn);
        Check(dll, &h);
        Check(dll, &hs);
        Check(dll, &ip);
        unsigned a, b, c2, d;
        if (sscanf(out, "%u.%u.%u.%u", &a, &b, &c2, &d) != 4)
            Fail("GetLocalIP", "wrote \"%s\"", out);
    }

    /* Event log: cdecl with a variable argument list. */
    {
        const char *names[] = {"EventLogError", "EventLogWarning", "EventLogInformation"};
        for (int i = 0; i < 3; i++) {
            struct Call c = {names[i], 4, {P("ZelmoCallConventions"), P("%s %d"), P("call"), 42}, R_NONZERO, 0};
            Check(dll, &c);
        }
    }

    /* BSTR conversion. */
    {
        struct Call c = {"PszToBstr", 2, {P("h\xc3\xa9llo"), 65001}, R_POINTER, 0};
        const wchar_t *bstr = (const wchar_t *)(uintptr_t)Check(dll, &c);
        if (!bstr || wcscmp(bstr, L"h\u00e9llo") != 0) {
            Fail("PszToBstr", "wrong BSTR");
        } else {
            struct Call f = {"PszFromBstr", 2, {P(bstr), 65001}, R_POINTER, 0};
            char *back = (char *)(uintptr_t)Check(dll, &f);
            if (!back || strcmp(back, "h\xc3\xa9llo") != 0)
                Fail("PszFromBstr", "wrong text");
            LocalFree(back);
            SysFreeString((BSTR)bstr);
        }
    }

    /* HTTP: placeholders, a download (a 200 and a 304 from nginx, or a
     * refused connection), a POST and an upload that nginx refuses (405)
     * or that find no server. */
    {
        struct Call rn = {"HttpRequest_NoSYNC", 7, {1, 2, 3, 4, 5, 6, 7}, R_INT, 1};
        struct Call dn = {"HttpDownload_NoSYNC", 6, {1, 2, 3, 4, 5, 6}, R_INT, 1};
        struct Call un = {"HttpUpload_NoSYNC", 6, {1, 2, 3, 4, 5, 6}, R_INT, 0};
        struct Call d = {"HttpDownload_SYNC", 6, {P(url), P(&response), 1, 20, 0, 0},
                         nginxPort[0] ? R_TRUE : R_FALSE, 0};
        struct Call q = {"HttpRequest_SYNC", 6, {P(url), P("a=1"), P(&response), 20, 0, 0}, R_INT, 0};
        struct Call u = {"HttpUpload_SYNC", 7, {P(url), P(file), P(&response), 10, 20, 0xDEADBEEF, 0xDEADBEEF}, R_INT, 0};
        Check(dll, &rn);
        Check(dll, &dn);
        Check(dll, &un);
        Check(dll, &d);
        if (nginxPort[0] && (response.length != 10 || memcmp(out, "0123456789", 10) != 0))
            Fail("HttpDownload_SYNC", "body \"%.*s\"", (int)response.length, out);
        memset(out, 0, sizeof out);
        response.length = 0;
        Check(dll, &q);
        memset(out, 0, sizeof out);
        response.length = 0;
        Check(dll, &u);
    }

    /* The second interface: texts, argument checks, a fetch into a cache
     * directory of the call's own (from nginx, or refused by a closed port)
     * and the removal of its entry. */
    {
        ZelmoFetchOptions options;
        ZelmoFetchResult result;
        char fetchCache[MAX_PATH];
        struct Call se = {"zelmo_fetch_strerror", 1, {ZELMO_FETCH_E_LOCKED}, R_POINTER, 0};
        struct Call on = {"zelmo_fetch_outcome_name", 1, {ZELMO_FETCH_FRESH_HIT}, R_POINTER, 0};
        struct Call bad = {"zelmo_fetch", 3, {0, 0, P(&result)}, R_INT, ZELMO_FETCH_E_OPTIONS};
        struct Call get = {"zelmo_fetch", 3, {P(url), P(&options), P(&result)}, R_INT,
                           nginxPort[0] ? ZELMO_FETCH_OK : ZELMO_FETCH_E_TRANSFER};
        struct Call rm = {"zelmo_cache_remove", 2, {P(fetchCache), P(url)}, R_INT, ZELMO_FETCH_OK};
        ZelmoCachePrune prune;
        int listed = 0;
        struct Call ls = {"zelmo_cache_list", 3, {P(fetchCache), P(&CountEntry), P(&listed)}, R_INT, ZELMO_FETCH_OK};
        struct Call pr = {"zelmo_cache_prune", 2, {P(fetchCache), P(&prune)}, R_INT, ZELMO_FETCH_OK};
        /* A batch of no URLs, the pool closed, a field read from an answer. */
        static const char answerHeader[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAge: 0\r\n\r\n";
        ZelmoFetchAnswer answer;
        char value[16];
        struct Call mn = {"zelmo_fetch_many", 3, {0, 0, P(&options)}, R_INT, ZELMO_FETCH_OK};
        struct Call ci = {"zelmo_fetch_close_idle", 0, {0}, R_POINTER, 0};
        struct Call af = {"zelmo_fetch_answer_field", 4, {P(&answer), P("content-type"), P(value), sizeof value},
                          R_INT, 10};
        const char *text = (const char *)(uintptr_t)Check(dll, &se);
        if (!text || strstr(text, "time limit") == NULL)
            Fail("zelmo_fetch_strerror", "returned \"%s\"", text ? text : "(null)");
        text = (const char *)(uintptr_t)Check(dll, &on);
        if (!text || strcmp(text, "fresh hit") != 0)
            Fail("zelmo_fetch_outcome_name", "returned \"%s\"", text ? text : "(null)");
        zelmo_fetch_init(&options, &result);
        Check(dll, &bad);
        if (result.error != ZELMO_FETCH_E_OPTIONS || result.error_text[0] == 0)
            Fail("zelmo_fetch", "a null url gave error %d \"%s\"", result.error, result.error_text);
        snprintf(fetchCache, sizeof fetchCache, "%s\\fetch-cache", work);
        options.cache_dir = fetchCache;
        options.timeout_ms = 20000;
        zelmo_fetch_init(NULL, &result);
        Check(dll, &get);
        if (nginxPort[0] && (result.outcome != ZELMO_FETCH_REPLACED || result.bytes_served != 10))
            Fail("zelmo_fetch", "outcome %d, %d bytes served", result.outcome, (int)result.bytes_served);
        Check(dll, &ls);
        if (listed != (nginxPort[0] ? 1 : 0))
            Fail("zelmo_cache_list", "listed %d entries", listed);
        zelmo_cache_prune_init(&prune, 0);
        Check(dll, &pr);
        if (prune.removed != (nginxPort[0] ? 1u : 0u) || prune.bytes_after != 0)
            Fail("zelmo_cache_prune", "removed %u, %u bytes left", prune.removed, (unsigned)prune.bytes_after);
        Check(dll, &rm);
        Check(dll, &mn);
        Check(dll, &ci);
        memset(&answer, 0, sizeof answer);
        answer.size = sizeof answer;
        answer.status = 200;
        answer.header = answerHeader;
        answer.header_length = sizeof answerHeader - 1;
        Check(dll, &af);
        if (strcmp(value, "text/plain") != 0)
            Fail("zelmo_fetch_answer_field", "read \"%s\"", value);
    }

    int fetchRows = 0;
    for (int i = 0; i < rowCount; i++) {
        if (!rows[i].seen)
            Fail(rows[i].name, "never called");
        fetchRows += strncmp(rows[i].name, "zelmo_", 6) == 0;
    }
    if (rowCount - fetchRows != 28)
        Fail("table", "%d exports of zelmo.h, expected 28", rowCount - fetchRows);
    if (fetchRows != 9)
        Fail("table", "%d exports of zelmo_fetch.h, expected 9", fetchRows);
    printf("%d exports called, %d failures\n", rowCount, failures);
    return failures ? 1 : 0;
}
