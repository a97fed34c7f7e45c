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
 * with a variable argument list. Elsewhere both macros are empty. A bool
 * result is one byte: only the low 8 bits of the return register are defined.
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
 * nine 32-bit fields on 32-bit hosts, in this order, without gaps. The caller
 * owns the record and every buffer it points to; the library uses them only
 * during a call. A chunk of the answer is appended to buffer (or rawBuffer)
 * only while length + chunk stays below capacity, so one byte after the data
 * is always free for the NUL; chunks that do not fit are left out whole.
 * rawBuffer is never cleared by the library: answers accumulate in it until
 * the caller resets rawLength.
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

/*
 * Base64 (RFC 4648 alphabet, "=" padding, no line breaks). Neither function
 * takes a capacity: the caller sizes out. len 0 means in is a NUL-terminated
 * string; a negative len (or an empty string) writes only the NUL and gives 0.
 *
 * Base64Encode: out needs 4 * ceil(len / 3) + 1 bytes; writes the text and a
 * NUL and returns the text's length.
 * Base64Decode: out needs 3 * ceil(len / 4) + 1 bytes; writes the bytes and a
 * NUL and returns their count. Decoded data may hold NUL bytes: use the count,
 * not the terminator.
 */
int ZELMO_API Base64Encode(char *out, const char *in, int len);
int ZELMO_API Base64Decode(char *out, const char *in, int len);

/*
 * MD5 digests as 32 lowercase hexadecimal characters and a NUL: outSize must
 * be at least 33. Both return 32 on success, 0 otherwise.
 *
 * MD5String: digests exactly len bytes of data (NUL bytes included). 0 when
 * data is null or len is 0 or negative (out untouched); when outSize < 33 the
 * first outSize bytes of out are zeroed and the result is 0.
 * MD5File: digests the content of the regular file at path. 0 when the file
 * is absent, not a regular file, unreadable, or outSize < 33; out is then
 * left as it was.
 */
int ZELMO_API MD5String(const char *data, int len, char *out, unsigned int outSize);
int ZELMO_API MD5File(const char *path, char *out, unsigned int outSize);

/*
 * Password-keyed DES text encryption: single DES in ECB mode, 8-byte blocks
 * and a trailer byte. It is kept so that existing messages can be read and
 * written; it is not a modern cipher and protects nothing against an
 * attacker. in and password are NUL-terminated; out is written only on
 * success, and never truncated. reserved arguments are ignored (pass 0).
 * A text of n bytes makes a message of 8 * ceil(n / 8) + 1 bytes at most.
 *
 * DesEncode: out receives the raw DES message as a NUL-terminated byte string
 * cut at the message's first zero byte; needs outSize >= length + 2. Returns
 * the length written; 0 when an argument is null or out is too small; -1 when
 * memory runs out.
 * DesDecode: its reserved argument comes before outSize, unlike DesEncode's:
 * that order is part of the exported interface and stays.
 * DesDecode: in is a raw DES message (as DesEncode writes it, never changed);
 * out receives the plaintext and a NUL; needs outSize >= length + 1. Returns
 * the plaintext's length; 0 on a null argument, a message that yields nothing,
 * too small an out, or no memory.
 * Encode: as DesEncode, but out receives the message as Base64 text; needs
 * outSize >= length + 1. Returns the text's length; 0 when an argument is null
 * or out is too small; -1 when memory runs out.
 * Decode: in is Encode's Base64 text; otherwise as DesDecode.
 */
int ZELMO_API DesEncode(const char *in, const char *password, char *out,
                        unsigned int outSize, uint32_t reserved);
int ZELMO_API DesDecode(char *in, const char *password, char *out,
                        uint32_t reserved, unsigned int outSize);
int ZELMO_API Encode(const char *in, const char *password, char *out, unsigned int outSize);
int ZELMO_API Decode(const char *in, const char *password, char *out, unsigned int outSize);

/*
 * HTTP through libcurl. Each call runs the whole transfer on the caller's
 * thread and follows redirects. timeout is the limit for the whole transfer
 * in seconds, 0 for none. proxy is in libcurl's proxy syntax (null: none);
 * proxyUserPwd ("user:password", null: none) is used only with a proxy and
 * travels as given, with Basic authentication: in clear text unless the
 * proxy is reached over TLS. The _NoSYNC exports are placeholders that do
 * nothing: HttpRequest_NoSYNC and HttpDownload_NoSYNC return 1,
 * HttpUpload_NoSYNC returns 0.
 *
 * HttpRequest_SYNC: POSTs the text postData (no Expect header). buffer (if
 * set) is zero-filled first; on success it holds the body only,
 * NUL-terminated, and length its size. Returns 1 when libcurl reported no
 * error and the status line is "HTTP/1.1 200" or "HTTP/1.0 200"; otherwise 0,
 * and a non-200 answer stays whole in buffer, header included. With filePath
 * set, each call appends a line feed, the URL, a line feed and the raw answer
 * to that trace file.
 */
int ZELMO_API HttpRequest_SYNC(const char *url, const char *postData,
                               HttpResponseBuffer *response, int timeout,
                               const char *proxy, const char *proxyUserPwd);
int ZELMO_API HttpRequest_NoSYNC(uint32_t, uint32_t, uint32_t, uint32_t,
                                 uint32_t, uint32_t, uint32_t);
/*
 * HttpDownload_SYNC: GETs url into the download cache (the body and header
 * files that GetCacheFilePath names). With useCache and a complete entry, the
 * stored Last-Modified is sent as If-Modified-Since and a 304 keeps the entry.
 * On success (true) buffer holds the body and length its size, or errorCode is
 * 8 and length 0 when the body exceeds capacity; the body file stays in the
 * cache. On failure (false) length is 0 and buffer, if set, is zero-filled.
 * Two downloads of the same URL must not overlap.
 */
bool ZELMO_API HttpDownload_SYNC(const char *url, HttpResponseBuffer *response,
                                 bool useCache, int timeout,
                                 const char *proxy, const char *proxyUserPwd);
int ZELMO_API HttpDownload_NoSYNC(uint32_t, uint32_t, uint32_t, uint32_t,
                                  uint32_t, uint32_t);
/*
 * HttpUpload_SYNC: POSTs the file at uploadPath as a multipart form (parts
 * "file1" and "submit"). connectTimeout limits connecting, in seconds (0: no
 * limit of its own). The upload does not clear the record: pass buffer
 * zero-filled and length 0. A 200 answer is reduced to its body and gives 1;
 * any other answer stays whole in buffer and gives 0. response may be null:
 * the answer then goes to standard output and the result follows libcurl's
 * result code only. 0 as well when the file is absent or a directory.
 */
int ZELMO_API HttpUpload_SYNC(const char *url, const char *uploadPath,
                              HttpResponseBuffer *response, int connectTimeout,
                              int timeout, uint32_t reserved1, uint32_t reserved2);
int ZELMO_API HttpUpload_NoSYNC(uint32_t, uint32_t, uint32_t, uint32_t,
                                uint32_t, uint32_t);

/*
 * Download cache. An entry of a URL is two files in the directory
 * "cache/file/cachedown/" (backslashes on Windows) beside the host's
 * executable, named by the MD5 digest of the URL: the body file and the header
 * file (the same name followed by "h").
 *
 * GetCacheFilePath: writes each path whose buffer and size pointer are both
 * set. *size carries the capacity in and the path's length out; a capacity
 * not greater than the length writes nothing and sets *size to 0. Returns
 * true (false only for a null url).
 * GetCacheFileSize: true when the entry is complete: both files present and
 * the Content-Length recorded in the header file equals the body file's
 * non-zero size. bodyPath, if set, is measured instead of the entry's body
 * file. reserved arguments are ignored (pass 0).
 * CheckAndCreateDircotry: spelt so (not "Directory") because that is the
 * exported name that hosts link and look up; it stays as it is.
 * CheckAndCreateDircotry: creates every missing directory of path up to its
 * last separator (what follows is a file name and is ignored). Returns 1 when
 * they all exist afterwards, 0 otherwise.
 * GetFileFullPath: the executable's directory followed by name, in a 260-byte
 * buffer that belongs to the library and is shared by all threads: do not
 * free it; the next call overwrites it, so copy the text before calling
 * again. Null when name is null or the path would exceed 259 bytes.
 */
bool ZELMO_API GetCacheFilePath(const char *url, char *bodyPath, unsigned int *bodyPathSize,
                                char *headerPath, unsigned int *headerPathSize);
bool ZELMO_API GetCacheFileSize(const char *url, const char *bodyPath,
                                uint32_t reserved1, uint32_t reserved2);
int ZELMO_API CheckAndCreateDircotry(const char *path);
const char *ZELMO_API GetFileFullPath(const char *name);

/*
 * Profile values in INI files: section and key names are case-insensitive; a
 * relative fileName is taken by the system's rules (the Windows directory on
 * Windows, the current directory on Linux).
 *
 * GetProfileValue: copies the value, or defaultValue (null: empty) when the
 * key is absent, with its NUL into out. Returns the value's length (0 for an
 * empty value); 0 without touching out when outSize < length + 1; -1 when out
 * is null or outSize is 0.
 * SetProfileValue: stores value (a null value deletes the key, a null key the
 * section); retries once after clearing a read-only attribute. Returns true
 * when written. reserved is ignored (pass 0).
 */
int ZELMO_API GetProfileValue(const char *section, const char *key, const char *fileName,
                              char *out, unsigned int outSize, const char *defaultValue);
bool ZELMO_API SetProfileValue(const char *section, const char *key, const char *fileName,
                               const char *value, uint32_t reserved);

/*
 * Host identity.
 *
 * GetMacAddr: writes exactly 6 bytes to out (no capacity: give 6): the
 * hardware address of adapter lanaNumber (low 8 bits; on Linux the n-th
 * interface, from 0, with a non-zero address), or, when there is no such
 * adapter, the system volume's serial number (least significant byte first)
 * and two zero bytes. Returns true (false only for a null out).
 * GetLocalHostName: the host name and a NUL into name (size bytes). Returns 1
 * on success, 0 when it fails (too small a buffer, say).
 * GetLocalIP: the first IPv4 address of the host name, in dotted-decimal form
 * with its NUL; out must hold 16 bytes (no capacity). Returns false, out
 * untouched, when the name cannot be had or resolved.
 */
bool ZELMO_API GetMacAddr(int lanaNumber, unsigned char *out);
int ZELMO_API GetLocalHostName(char *name, int size);
bool ZELMO_API GetLocalIP(char *out);

/*
 * Event log (cdecl, printf-style): one entry under the event source
 * sourceName, with the message formatted from format and what follows it;
 * the message is cut after 255 characters.
 * On Linux the entry goes to syslog with sourceName as its identity, at
 * LOG_ERR, LOG_WARNING or LOG_INFO. Returns 0 when the source cannot be
 * registered (nothing reported; on Linux: no syslog socket), otherwise non-zero;
 * the result does not tell whether the entry itself was written. Never pass
 * untrusted text as format: use "%s".
 */
int ZELMO_CDECL EventLogError(const char *sourceName, const char *format, ...);
int ZELMO_CDECL EventLogWarning(const char *sourceName, const char *format, ...);
int ZELMO_CDECL EventLogInformation(const char *sourceName, const char *format, ...);

/*
 * BSTR conversion in the code page codePage (0: the system's ANSI code page,
 * which is UTF-8 on Linux; 65001: UTF-8). Both return new memory that the
 * caller owns, or null when the argument is null or the text cannot be
 * converted or memory runs out.
 *
 * PszToBstr: a BSTR of the NUL-terminated text psz; release it with
 * SysFreeString. Its length (SysStringLen) counts the converted text and two
 * zero characters after it.
 * PszFromBstr: the multibyte form of the wide text bstr, read up to its first
 * zero character (the length prefix is not consulted); release it with
 * LocalFree.
 */
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
