/*
 * zelmo.h — the C interface of Zelmo (Zelmo.dll on Windows, libzelmo.so on
 * Linux). Every export runs entirely on the caller's thread and reports only
 * through its result. Text is narrow and NUL-terminated; buffers belong to the
 * caller. Usable from C and C++.
 */
#ifndef ZELMO_H
#define ZELMO_H

#include <stdio.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

/*
 * Calling conventions. On 32-bit Windows every export is stdcall (the callee
 * removes its arguments) except the three event-log exports, which are cdecl
 * with a variable argument list. Elsewhere both macros are empty.
 */
#if defined(_WIN32)
#define ZELMO_API __stdcall
#define ZELMO_CDECL __cdecl
#else
#define ZELMO_API
#define ZELMO_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* BSTR: length-prefixed UTF-16 text (wchar_t on Windows, char16_t elsewhere). */
#if defined(_WIN32)
typedef wchar_t ZelmoOleChar;
#elif defined(__cplusplus)
typedef char16_t ZelmoOleChar;
#else
typedef uint_least16_t ZelmoOleChar;
#endif
typedef ZelmoOleChar *ZelmoBstr;

/*
 * The caller's record through which the HTTP exports hand back answers:
 * nine 32-bit fields on 32-bit hosts, in this order, without gaps.
 */
typedef struct HttpResponseBuffer {
    char *buffer;              /* receives the response body; may be null */
    unsigned int capacity;     /* size of buffer in bytes */
    unsigned int length;       /* bytes held in buffer, terminator excluded */
    int errorCode;             /* 0, or 8 when a downloaded body did not fit */
    char *filePath;            /* trace file (request) or cached body path (download) */
    FILE *file;                /* stream receiving a copy of every byte; may be null */
    char *rawBuffer;           /* receives the response as it arrives; may be null */
    unsigned int rawCapacity;  /* size of rawBuffer in bytes */
    unsigned int rawLength;    /* bytes held in rawBuffer */
} HttpResponseBuffer;

#if UINTPTR_MAX == 0xFFFFFFFFu
#ifdef __cplusplus
static_assert(sizeof(HttpResponseBuffer) == 36, "HttpResponseBuffer is nine 32-bit fields");
#else
_Static_assert(sizeof(HttpResponseBuffer) == 36, "HttpResponseBuffer is nine 32-bit fields");
#endif
#endif

/* Base64 (RFC 4648 alphabet, "=" padding, no line breaks). */
int ZELMO_API Base64Encode(char *out, const char *in, int len);
int ZELMO_API Base64Decode(char *out, const char *in, int len);

/* MD5 digests as 32 lowercase hexadecimal characters. */
int ZELMO_API MD5String(const char *data, int len, char *out, unsigned int outSize);
int ZELMO_API MD5File(const char *path, char *out, unsigned int outSize);

/* Password-keyed DES text encryption, raw message or Base64 text. */
int ZELMO_API DesEncode(const char *in, const char *password, char *out,
                        unsigned int outSize, uint32_t reserved);
int ZELMO_API DesDecode(char *in, const char *password, char *out,
                        uint32_t reserved, unsigned int outSize);
int ZELMO_API Encode(const char *in, const char *password, char *out, unsigned int outSize);
int ZELMO_API Decode(const char *in, const char *password, char *out, unsigned int outSize);

/* HTTP through libcurl. */
int ZELMO_API HttpRequest_SYNC(const char *url, const char *postData,
                               HttpResponseBuffer *response, int timeout,
                               const char *proxy, const char *proxyUserPwd);
int ZELMO_API HttpRequest_NoSYNC(uint32_t, uint32_t, uint32_t, uint32_t,
                                 uint32_t, uint32_t, uint32_t);
bool ZELMO_API HttpDownload_SYNC(const char *url, HttpResponseBuffer *response,
                                 bool useCache, int timeout,
                                 const char *proxy, const char *proxyUserPwd);
int ZELMO_API HttpDownload_NoSYNC(uint32_t, uint32_t, uint32_t, uint32_t,
                                  uint32_t, uint32_t);
int ZELMO_API HttpUpload_SYNC(const char *url, const char *uploadPath,
                              HttpResponseBuffer *response, int connectTimeout,
                              int timeout, uint32_t reserved1, uint32_t reserved2);
int ZELMO_API HttpUpload_NoSYNC(uint32_t, uint32_t, uint32_t, uint32_t,
                                uint32_t, uint32_t);

/* Download cache. */
bool ZELMO_API GetCacheFilePath(const char *url, char *bodyPath, unsigned int *bodyPathSize,
                                char *headerPath, unsigned int *headerPathSize);
bool ZELMO_API GetCacheFileSize(const char *url, const char *bodyPath,
                                uint32_t reserved1, uint32_t reserved2);
int ZELMO_API CheckAndCreateDircotry(const char *path);
const char *ZELMO_API GetFileFullPath(const char *name);

/* Profile values. */
int ZELMO_API GetProfileValue(const char *section, const char *key, const char *fileName,
                              char *out, unsigned int outSize, const char *defaultValue);
bool ZELMO_API SetProfileValue(const char *section, const char *key, const char *fileName,
                               const char *value, uint32_t reserved);

/* Host identity. */
bool ZELMO_API GetMacAddr(int lanaNumber, unsigned char *out);
int ZELMO_API GetLocalHostName(char *name, int size);
bool ZELMO_API GetLocalIP(char *out);

/* Event log (cdecl, printf-style). */
int ZELMO_CDECL EventLogError(const char *sourceName, const char *format, ...);
int ZELMO_CDECL EventLogWarning(const char *sourceName, const char *format, ...);
int ZELMO_CDECL EventLogInformation(const char *sourceName, const char *format, ...);

/* BSTR conversion; the caller releases the results (SysFreeString, LocalFree). */
ZelmoBstr ZELMO_API PszToBstr(const char *psz, unsigned int codePage);
char *ZELMO_API PszFromBstr(const ZelmoOleChar *bstr, unsigned int codePage);

#if !defined(_WIN32)
/*
 * Elsewhere than on Windows the library itself provides the OLE Automation
 * string and local memory functions that release those results. A BSTR
 * points just past a 32-bit count of its bytes and ends with a zero
 * character that the count leaves out.
 */
ZelmoBstr SysAllocStringLen(const ZelmoOleChar *text, unsigned int length);
void SysFreeString(ZelmoBstr bstr);
unsigned int SysStringLen(ZelmoBstr bstr);
void *LocalFree(void *memory);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZELMO_H */
