/*
 * zelmo_fetch.h — Zelmo's second C interface: an HTTP GET through an on-disk
 * cache that the host places where it wants, revalidated with both
 * validators, checked on every hit, safe across threads and processes, with
 * a result that says what happened. It lives in the same library as the
 * exports of zelmo.h and shares their cache: an entry that one writes, the
 * other serves.
 *
 * Calling conventions are those of zelmo.h: on 32-bit Windows every function
 * here and every callback the host passes is stdcall (ZELMO_API). Paths and
 * URLs are narrow, NUL-terminated text (the ANSI code page on Windows, bytes
 * on POSIX). Every function may be called from any number of threads at once.
 *
 * Versioned structs: each begins with its own size. Fill them with
 * zelmo_fetch_init(), which zeroes both and sets the sizes this header
 * knows; a library built from a later header accepts them as they are, and
 * one built from an earlier header refuses a struct whose unknown tail is
 * not all zeros (ZELMO_FETCH_E_OPTIONS) rather than ignore what the host
 * asked for.
 *
 *     ZelmoFetchOptions options;
 *     ZelmoFetchResult result;
 *     zelmo_fetch_init(&options, &result);
 *     options.cache_dir = "/var/cache/myhost";
 *     if (zelmo_fetch("http://example.org/data.bin", &options, &result) != 0)
 *         fprintf(stderr, "%s\n", result.error_text);
 *     else
 *         printf("%s: %s\n", zelmo_fetch_outcome_name(result.outcome), result.body_path);
 */
#ifndef ZELMO_FETCH_H
#define ZELMO_FETCH_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "zelmo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How the cache takes part in a fetch. */
typedef enum ZelmoCacheMode {
    /* A stored entry is revalidated: a conditional GET (If-None-Match with
     * its ETag, If-Modified-Since with its Last-Modified, whichever it has);
     * a 304 serves the entry, a 200 replaces it. The default. */
    ZELMO_CACHE_REVALIDATE = 0,
    /* A stored entry that is still fresh (by its answer's Cache-Control
     * max-age, Expires, or the heuristic freshness of RFC 9111 when it has
     * only Last-Modified; s-maxage is for shared caches and not read) is
     * served without a request; a stale one is revalidated. */
    ZELMO_CACHE_PREFER_FRESH = 1,
    /* An unconditional GET; its answer replaces the entry. */
    ZELMO_CACHE_NETWORK_ONLY = 2,
    /* No request: a complete entry is served, a missing one is
     * ZELMO_FETCH_E_NOT_CACHED. */
    ZELMO_CACHE_ONLY = 3
} ZelmoCacheMode;

/* What a fetch did (ZelmoFetchResult.outcome). */
typedef enum ZelmoFetchOutcome {
    ZELMO_FETCH_FAILED = 0,        /* nothing served; see error and error_text */
    ZELMO_FETCH_FRESH_HIT = 1,     /* served from the cache without a request */
    ZELMO_FETCH_REVALIDATED = 2,   /* the server answered 304; the entry served */
    ZELMO_FETCH_REPLACED = 3,      /* a 200 stored as the entry (a first fetch too) */
    ZELMO_FETCH_RESUMED = 4,       /* a partial body completed by a range request */
    ZELMO_FETCH_SERVED_STALE = 5   /* the server or network failed; the entry served */
} ZelmoFetchOutcome;

/* Error codes (ZelmoFetchResult.error and zelmo_fetch's result). */
typedef enum ZelmoFetchError {
    ZELMO_FETCH_OK = 0,
    ZELMO_FETCH_E_OPTIONS = 1,     /* a null url or result, a wrong size field, a bad option */
    ZELMO_FETCH_E_TRANSFER = 2,    /* the transfer failed; error_text gives libcurl's reason */
    ZELMO_FETCH_E_HTTP = 3,        /* the answer's status is not 2xx (see "Answers"), or a
                                      status the fetch cannot serve */
    ZELMO_FETCH_E_LOCKED = 4,      /* another fetch of the URL held the entry past the time limit */
    ZELMO_FETCH_E_CORRUPT = 5,     /* the stored entry failed its check and could not be fetched again */
    ZELMO_FETCH_E_CACHE_IO = 6,    /* the cache directory could not be read or written */
    ZELMO_FETCH_E_NOT_CACHED = 7,  /* cache only (or the request's only-if-cached), and no entry to serve */
    ZELMO_FETCH_E_CANCELLED = 8,   /* the progress callback asked to stop */
    ZELMO_FETCH_E_SINK = 9,        /* the body sink refused bytes */
    ZELMO_FETCH_E_DESTINATION = 10, /* the destination path could not be written */
    /* 11 is not used: an answer too large for the cache's size limit is
     * served but not stored (ZELMO_FETCH_RESULT_NOT_STORED). */
    ZELMO_FETCH_E_NO_MEMORY = 12
} ZelmoFetchError;

/* Flags (ZelmoFetchOptions.flags). */
#define ZELMO_FETCH_ENVIRONMENT_PROXY 0x1u /* take a proxy from http_proxy and the like */
/* When the network fails (no connection, a name not resolved, the time
 * limit, a cut transfer) or the server answers 5xx, serve the complete,
 * checked stored entry instead: outcome ZELMO_FETCH_SERVED_STALE. Without the
 * flag a stored answer's Cache-Control stale-if-error (RFC 5861) does the
 * same within its seconds past freshness (but in ZELMO_CACHE_NETWORK_ONLY).
 * A 4xx is never served stale; nor is an entry once the sink has had bytes
 * of the failed answer. */
#define ZELMO_FETCH_STALE_IF_ERROR 0x2u
#define ZELMO_FETCH_NO_RESUME 0x4u         /* drop a partial body and keep none: never resume */
/* max_cache_bytes is in force: after a fetch stores an entry, entries are
 * removed, least recently used first, until the cache directory occupies at
 * most that many bytes on disk (see zelmo_cache_prune). An answer whose
 * entry alone would not fit is served but not stored
 * (ZELMO_FETCH_RESULT_NOT_STORED); 0 means no caching at all: no entry is
 * looked at or kept, every fetch is an unconditional GET. */
#define ZELMO_FETCH_CACHE_LIMIT 0x8u
/* The cache directory is shared with other users: the files a fetch creates
 * (entry, metadata, lock and partial files) are readable by everyone (0666
 * less the umask on POSIX) instead of by their owner only (0600), so that
 * other users' fetches can lock and serve them. Whatever a stored answer
 * holds (a body fetched with Authorization, say) is then readable by every
 * user who can reach the directory. Without it, on POSIX, another user's
 * fetch of the same entry fails with ZELMO_FETCH_E_CACHE_IO. On Windows the
 * files take the directory's inherited ACL either way. */
#define ZELMO_FETCH_SHARED_CACHE 0x10u
/* A new connection for this call instead of an idle one from the pool (see
 * "Connections" below); it joins the pool afterwards like any other. */
#define ZELMO_FETCH_FRESH_CONNECT 0x20u
/* http:// URLs are spoken in HTTP/2 from the first byte (prior knowledge,
 * "h2c"), for a server known to speak it; without the flag they use
 * HTTP/1.1. https:// URLs offer HTTP/2 through ALPN either way. */
#define ZELMO_FETCH_HTTP2_PRIOR_KNOWLEDGE 0x40u
/* Compressed transfer: the request asks for the content codings the
 * library decodes itself (Accept-Encoding: gzip, deflate in every build,
 * with br and zstd where the build has their libraries: the Linux build
 * does, the Windows builds do not), and the answer is decoded as it
 * arrives; each coded stream is checked to its end, so a body cut short
 * inside complete HTTP framing is a body that did not decode, not a shorter
 * one.
 * The sink, the destination and the entry get the decoded body; the
 * entry's length and checksum, bytes_received and bytes_served are those
 * of the decoded body, and progress reports decoded bytes against a total
 * of -1. The stored header is that of the decoded body: without
 * Content-Encoding, with Content-Length its decoded length, and with the
 * answer's other fields (ETag and Last-Modified, which revalidate it, as
 * sent). A stored header with Content-Encoding therefore always holds a
 * body still so coded.
 *   A coding the library does not decode ("x-foo"; "br" on Windows) fails the call
 * with ZELMO_FETCH_E_TRANSFER and a text that names it (http_status as
 * received); a body that does not decode as its coding says (damaged, cut
 * short, or with bytes after its end) fails with ZELMO_FETCH_E_TRANSFER and
 * a text saying so. Neither is stored: the entry stays as it was.
 * "identity" alone is no coding; it is left out of the stored header.
 *   A decoded transfer that is cut keeps no partial body (a range of the
 * coded body cannot continue a decoded one); a partial kept by a call
 * without the flag is continued as it was sent, without Accept-Encoding.
 *   Without the flag no Accept-Encoding is sent but the host's own, and an
 * answer coded all the same (asked by the host's line, or unasked) is
 * stored and served as it came, still coded, its stored header keeping
 * Content-Encoding. */
#define ZELMO_FETCH_COMPRESSION 0x80u
/* A final answer whose status is not 2xx (a 404, a 500) counts as served:
 * the call returns 0 with its outcome, instead of ZELMO_FETCH_E_HTTP. Its
 * body reaches the sink and the destination either way (see "Answers"). */
#define ZELMO_FETCH_ANY_STATUS 0x100u

/*
 * The body sink: called with each run of body bytes as they arrive (or, for
 * a hit or a 304, as they are read from the entry), in order, with no limit
 * on the total. Return 0 to go on; anything else stops the fetch with
 * ZELMO_FETCH_E_SINK and leaves the cache as it was before. A fetch that
 * fails after the sink had bytes (a cut transfer) stores nothing: what the
 * sink received belongs to no answer.
 */
typedef int(ZELMO_API *ZelmoFetchSink)(void *data, const void *bytes, size_t length);

/*
 * Progress: called as body bytes arrive, with the bytes received so far and
 * the total expected (-1 when the answer does not tell). Return 0 to go on;
 * anything else cancels the fetch (ZELMO_FETCH_E_CANCELLED), the cache left
 * as it was before.
 */
typedef int(ZELMO_API *ZelmoFetchProgress)(void *data, int64_t received, int64_t total);

/*
 * Answers. Every answer a fetch serves (a fresh hit, a revalidated, replaced,
 * resumed or stale entry) and every final answer whose status is not 2xx
 * (a 404's error page, a 500's) is handed to the host as a browser would
 * see it, through options.answer when set: once per call at most, before the
 * first byte of its body reaches the sink (before the destination is
 * written, before the call returns), with
 *   status   the status served: 200 for a hit of a stored 200, the stored
 *            status for a hit of another stored answer (a 404 kept for its
 *            max-age), 200 after a 304 revalidated a stored 200;
 *   header   the status line and the header fields, each line ending in
 *            CRLF, then an empty line, NUL-terminated: a stored answer's
 *            fields merged with a 304's, the fields that belong to a
 *            connection removed (Connection and those it names, Keep-Alive,
 *            Transfer-Encoding, ...), and "Age: <age>";
 *   age      the answer's current age in seconds (RFC 9111 4.2.3: from its
 *            Age and Date fields, the time of its request and answer, and
 *            its time in the cache); 0 for an answer just received from
 *            a server that says nothing of its age;
 *   index    in zelmo_fetch_many, the item's index; 0 in zelmo_fetch.
 * The struct and its texts are valid during the call only. Return 0 to go
 * on; anything else stops the fetch with ZELMO_FETCH_E_CANCELLED before any
 * of the body is served, the cache left as it was. A fetch that fails
 * (a cut transfer, say) after the callback had its answer serves nothing.
 *
 * A status that is not 2xx makes the call return ZELMO_FETCH_E_HTTP, with
 * http_status, outcome, bytes_served and body_path filled as for a success
 * (outcome ZELMO_FETCH_FAILED when no answer was served: a 304 to a request
 * without validators, say), unless the host set ZELMO_FETCH_ANY_STATUS. Its
 * body reaches the sink only once the fetch knows it will not serve a stored
 * entry in its place (stale-if-error, for a 5xx).
 *
 * Stored statuses: a 200 is kept as before; a 203, 204, 300, 301, 308, 404,
 * 405, 410, 414 or 501 is kept when it has explicit freshness (max-age,
 * Expires), a Last-Modified for heuristic freshness, or says public or
 * private; any other status (a 500, say) only with explicit freshness or
 * public/private; a 206 never. Such an entry is served and revalidated like
 * a 200's, and replaced by the next answer stored. The 28 exports of
 * zelmo.h never take it for one of their own: HttpDownload_SYNC fetches the
 * URL anew, GetCacheFileSize finds no complete entry.
 *
 * A request line "Range: ..." among options.headers asks for part of the
 * body: such a call serves nothing stored and stores nothing; the server's
 * 206 (or 200) is delivered as it came.
 */
typedef struct ZelmoFetchAnswer {
    uint32_t size;                 /* sizeof(ZelmoFetchAnswer) of the library */
    int32_t status;
    int64_t age;
    const char *header;
    size_t header_length;          /* strlen(header) */
    size_t index;
} ZelmoFetchAnswer;
typedef int(ZELMO_API *ZelmoFetchAnswerCallback)(void *data, const ZelmoFetchAnswer *answer);

/*
 * The value of field `name` (any letter case) in an answer's header, NUL-
 * terminated, repeated fields joined with ", ", into value[capacity].
 * Returns the value's length (without the NUL), or -1 when the field is
 * absent or any argument is null; a value that does not fit is cut at
 * capacity - 1 bytes (the length returned is the whole value's).
 */
int64_t ZELMO_API zelmo_fetch_answer_field(const ZelmoFetchAnswer *answer, const char *name, char *value,
                                           size_t capacity);

typedef struct ZelmoFetchOptions {
    uint32_t size;                 /* sizeof(ZelmoFetchOptions), set by zelmo_fetch_init */
    uint32_t flags;                /* ZELMO_FETCH_* flags */
    const char *cache_dir;         /* null: the cache of HttpDownload_SYNC, beside the executable */
    int32_t cache_mode;            /* a ZelmoCacheMode */
    int32_t timeout_ms;            /* whole fetch, lock wait included; 0: no limit */
    int32_t connect_timeout_ms;    /* 0: libcurl's own */
    const char *proxy;             /* "host:port"; null: no proxy */
    const char *proxy_userpwd;     /* "user:password" for the proxy; may be null */
    /* Extra request lines "Name: value", null-ended; may be null. They go
     * to the server as they are, and the cache honours their Cache-Control
     * (RFC 9111 5.2.1; every Cache-Control line, in any letter case, read as
     * one list; without one, "Pragma: no-cache" counts as no-cache):
     *   no-cache, max-age=0  a stored entry is revalidated, never a fresh hit;
     *   max-age=N            an entry older than N seconds is not fresh;
     *   min-fresh=N          an entry must stay fresh N seconds more;
     *   max-stale[=N]        a stale entry (by at most N seconds; any, without
     *                        N) is a fresh hit, unless it says must-revalidate
     *                        or no-cache;
     *   no-store             the answer is served and not stored, a 304 does
     *                        not refresh the entry, and nothing stored is
     *                        dropped (nor a partial body continued);
     *   only-if-cached       no request is sent: an entry the mode and the
     *                        other directives let be served without one is
     *                        served, else ZELMO_FETCH_E_NOT_CACHED.
     * The first four count in ZELMO_CACHE_PREFER_FRESH, the mode that serves
     * fresh entries without a request; ZELMO_CACHE_REVALIDATE and
     * ZELMO_CACHE_NETWORK_ONLY serve nothing stored without one (so
     * only-if-cached fails there), and ZELMO_CACHE_ONLY serves any complete
     * entry whatever the lines say. */
    const char *const *headers;
    const char *destination;       /* null, or a file that receives a copy of the body */
    ZelmoFetchSink sink;           /* null, or where the body is streamed */
    void *sink_data;
    ZelmoFetchProgress progress;   /* may be null */
    void *progress_data;
    uint64_t max_cache_bytes;      /* with ZELMO_FETCH_CACHE_LIMIT: the cache's size on disk; else 0 */
    /* https: a PEM file of the certificate authorities to trust instead of
     * the system's (a company CA, say); null: the system's. Verification of
     * the server's certificate and name is never turned off. */
    const char *ca_bundle;
    /* zelmo_fetch_many: connections a batch opens to one host at most;
     * 0: ZELMO_FETCH_MANY_HOST_CONNECTIONS. HTTP/2 carries the batch's
     * requests to a host on one connection whatever this says. */
    int32_t max_host_connections;
    uint32_t reserved32;           /* 0 */
    uint64_t reserved[2];          /* 0 */
    /* Added after the first release; a host built before sets neither. */
    ZelmoFetchAnswerCallback answer; /* may be null: see "Answers" */
    void *answer_data;
} ZelmoFetchOptions;

/* Flags (ZelmoFetchResult.flags): what else happened on the way. */
/* The stored entry failed its check (its body no longer has the length and
 * checksum recorded when it was stored): it was dropped, never served, and
 * fetched again (outcome ZELMO_FETCH_REPLACED), or, where that could not be
 * done, the call failed (ZELMO_FETCH_E_CORRUPT in cache-only mode). */
#define ZELMO_FETCH_RESULT_DROPPED_CORRUPT 0x1u
/* Another fetch of the URL held the entry and this one waited for it; when
 * that fetch stored the entry meanwhile, it is served as a fresh hit. */
#define ZELMO_FETCH_RESULT_WAITED 0x2u
/* Under ZELMO_FETCH_CACHE_LIMIT, the 200 was served (to the sink and the
 * destination; outcome ZELMO_FETCH_REPLACED) but not stored: its entry would
 * not fit the limit. body_path is empty, and the URL's former entry, which
 * the answer outdated, was removed. The same for a 200 that says no-store;
 * for one to a request whose Cache-Control says no-store, the former entry
 * stays as it was. */
#define ZELMO_FETCH_RESULT_NOT_STORED 0x4u

/* Longest path and error text a result holds, NUL included. */
#define ZELMO_FETCH_PATH_MAX 4096
#define ZELMO_FETCH_TEXT_MAX 256

typedef struct ZelmoFetchResult {
    uint32_t size;                 /* sizeof(ZelmoFetchResult), set by zelmo_fetch_init */
    int32_t outcome;               /* a ZelmoFetchOutcome */
    int32_t error;                 /* a ZelmoFetchError, 0 on success */
    int32_t http_status;           /* of the final answer; 0 when none came (served
                                      stale: the 5xx, 0 when the network failed);
                                      with ZELMO_FETCH_E_HTTP for a stored answer
                                      served, its status */
    int64_t bytes_received;        /* body bytes that came over the wire */
    int64_t bytes_served;          /* body bytes served (the entry's length) */
    int64_t resumed_from;          /* where a resumed transfer began; 0 otherwise */
    double seconds;                /* time the call took */
    uint32_t flags;                /* ZELMO_FETCH_RESULT_* flags */
    char body_path[ZELMO_FETCH_PATH_MAX];   /* the entry's body file; empty on failure */
    char error_text[ZELMO_FETCH_TEXT_MAX];  /* the error in words; empty on success but
                                               for a served stale entry: why the new
                                               answer could not be had */
} ZelmoFetchResult;

/* Zeroes both structs (either may be null) and sets their sizes. */
static inline void zelmo_fetch_init(ZelmoFetchOptions *options, ZelmoFetchResult *result)
{
    if (options != NULL) {
        memset(options, 0, sizeof *options);
        options->size = (uint32_t)sizeof *options;
    }
    if (result != NULL) {
        memset(result, 0, sizeof *result);
        result->size = (uint32_t)sizeof *result;
    }
}

/*
 * Fetches url through the cache. options may be null (all defaults); result
 * must not be, and is filled in whatever happens (but for a result whose
 * size field is below this header's, which is left untouched). Returns
 * result->error: 0 when the body was served (result->outcome says how).
 */
int ZELMO_API zelmo_fetch(const char *url, const ZelmoFetchOptions *options, ZelmoFetchResult *result);

/*
 * Connections. Every call of zelmo_fetch and zelmo_fetch_many takes its
 * connections from one pool of the process and leaves them there when it
 * is done: a later call to the same server, from any thread, goes on an
 * open connection (HTTP/1.1 keep-alive, or HTTP/2), and DNS answers and TLS
 * sessions are kept as well. A connection is reused only by a call with the
 * same proxy and TLS settings (ca_bundle). An idle connection is closed
 * after 118 seconds, and the pool keeps at most 64 idle connections in all
 * (16 per set of connections, one set per thread that fetched at the same
 * time); a connection the server closed meanwhile is found closed and
 * replaced by a new one, never reported as the call's failure. A child
 * process made by fork() never uses its parent's connections: its first
 * fetch starts a pool of its own.
 *
 * The 28 exports of zelmo.h keep a connection of their own per call.
 */

/*
 * Closes every idle connection of the pool and forgets its DNS answers and
 * TLS sessions; connections in use by calls in other threads are left to
 * them. For a host about to sleep, fork or unload the library. The library
 * closes them by itself when it is unloaded on POSIX systems; on Windows,
 * where its DllMain may not call the socket library, a host that unloads it
 * while the process goes on calls this first (at process exit the system
 * closes them).
 */
void ZELMO_API zelmo_fetch_close_idle(void);

/* One URL of a batch (zelmo_fetch_many): what it asks beyond the batch's
 * options, and its result. */
typedef struct ZelmoFetchItem {
    uint32_t size;                 /* sizeof(ZelmoFetchItem), set by zelmo_fetch_items_init */
    uint32_t reserved;             /* 0 */
    const char *url;
    const char *destination;       /* null, or a file that receives a copy of this URL's body */
    ZelmoFetchSink sink;           /* null, or where this URL's body is streamed */
    void *sink_data;
    ZelmoFetchResult result;       /* filled by zelmo_fetch_many as zelmo_fetch fills its own */
} ZelmoFetchItem;

/* Connections a batch opens to one host at most, by default: one per URL
 * in progress, since small answers over a distant network cost round trips,
 * not bandwidth. A server that minds sets options.max_host_connections. */
#define ZELMO_FETCH_MANY_HOST_CONNECTIONS 128
/* URLs of a batch in progress at once (each holds its entry's lock and,
 * while it transfers, a file); the others start as those finish. */
#define ZELMO_FETCH_MANY_ACTIVE 128

/* Zeroes count items and sets their sizes and their results' sizes. */
static inline void zelmo_fetch_items_init(ZelmoFetchItem *items, size_t count)
{
    size_t i;
    for (i = 0; i < count; ++i) {
        memset(&items[i], 0, sizeof items[i]);
        items[i].size = (uint32_t)sizeof items[i];
        items[i].result.size = (uint32_t)sizeof items[i].result;
    }
}

/*
 * Fetches count URLs at once, on the calling thread: each item exactly as
 * zelmo_fetch would fetch its URL with options (cache mode, entry lock,
 * check, validators, resume, stale-if-error, size limit), but with the
 * item's own destination and sink. options.destination and options.sink
 * must be null; options.progress, when set, is called for the batch as a
 * whole: the body bytes received by all its URLs so far and the sum of
 * their totals (-1 while any is unknown); a non-zero return cancels every
 * URL not yet done (ZELMO_FETCH_E_CANCELLED, its cache as before).
 * options.timeout_ms limits each URL, not the batch.
 *
 * Fresh hits and cache-only answers are served before any request is
 * sent. The transfers run together through one set of the pool's
 * connections: multiplexed on one connection per host where the server
 * speaks HTTP/2, else on up to max_host_connections per host at once. A
 * URL whose entry another fetch holds waits for it without holding up the
 * others. The same URL twice in a batch is fetched twice, one after the
 * other, like two calls. The library starts no thread.
 *
 * Every item needs size and result.size set (zelmo_fetch_items_init);
 * items with a null or bad url fail on their own (ZELMO_FETCH_E_OPTIONS).
 * Returns 0 when every URL was served (count 0 included), the error of the
 * first item that failed otherwise, or ZELMO_FETCH_E_OPTIONS, with no item
 * touched, when items is null while count is not 0 or an item's size is
 * not this header's; options that are refused fail every item.
 */
int ZELMO_API zelmo_fetch_many(ZelmoFetchItem *items, size_t count, const ZelmoFetchOptions *options);

/* The text of an error code; never null. */
const char *ZELMO_API zelmo_fetch_strerror(int error);

/* The name of an outcome ("fresh hit", "revalidated", ...); never null. */
const char *ZELMO_API zelmo_fetch_outcome_name(int outcome);

/*
 * Removes the entry of url from the cache at cache_dir (null: the default
 * cache), and a partial body kept for a resume, waiting for a fetch of it
 * that holds the entry. Returns 0 (also
 * when there was no entry), or an error code.
 */
int ZELMO_API zelmo_cache_remove(const char *cache_dir, const char *url);

/* One entry of a cache directory, as zelmo_cache_list reports it. The texts
 * are valid during the callback only. */
typedef struct ZelmoCacheEntry {
    uint32_t size;                 /* sizeof(ZelmoCacheEntry) of the library */
    uint32_t flags;                /* ZELMO_CACHE_ENTRY_* */
    const char *name;              /* the entry's file name: the MD5 digits of its URL */
    const char *url;               /* from its metadata; "" for an entry without (one of HttpDownload_SYNC's) */
    const char *etag;              /* the stored answer's validators; "" when it has none */
    const char *last_modified;
    int64_t body_bytes;            /* the body file's length; -1 when there is none */
    uint64_t disk_bytes;           /* what all its files occupy on disk */
    int64_t last_use;              /* seconds since 1970 (UTC): the last fetch that stored or served it */
} ZelmoCacheEntry;

#define ZELMO_CACHE_ENTRY_COMPLETE 0x1u /* a whole answer that a fetch would serve or revalidate */
#define ZELMO_CACHE_ENTRY_PARTIAL 0x2u  /* holds a partial body, kept for a resume */

/* Called once per entry; return 0 to go on, anything else stops the listing. */
typedef int(ZELMO_API *ZelmoCacheListCallback)(void *data, const ZelmoCacheEntry *entry);

/*
 * Lists the entries of the cache at cache_dir (null: the default cache), in
 * order of last use, the least recent first. Returns 0 (also for a missing
 * directory: no entries), ZELMO_FETCH_E_CANCELLED when the callback stopped
 * it, or another error code.
 */
int ZELMO_API zelmo_cache_list(const char *cache_dir, ZelmoCacheListCallback callback, void *data);

/* What zelmo_cache_prune is asked, and what it did. */
typedef struct ZelmoCachePrune {
    uint32_t size;                 /* sizeof(ZelmoCachePrune), set by zelmo_cache_prune_init */
    uint32_t flags;                /* 0 */
    uint64_t max_bytes;            /* in: the size on disk to bring the cache under */
    uint64_t bytes_before;         /* out: what the cache occupied before, and after */
    uint64_t bytes_after;
    uint32_t removed;              /* out: entries removed */
    uint32_t kept;                 /* out: entries left, busy ones included */
    uint32_t busy;                 /* out: entries that would have gone but were being written or served */
    uint32_t reserved;             /* 0 */
} ZelmoCachePrune;

static inline void zelmo_cache_prune_init(ZelmoCachePrune *prune, uint64_t max_bytes)
{
    memset(prune, 0, sizeof *prune);
    prune->size = (uint32_t)sizeof *prune;
    prune->max_bytes = max_bytes;
}

/*
 * Removes entries of the cache at cache_dir (null: the default cache), least
 * recently used first, until all entry files (bodies, headers, metadata,
 * locks, partial bodies and temporaries, counted by what they occupy on
 * disk) take at most prune->max_bytes. An entry that another fetch is
 * writing or serving is skipped, never waited for. Returns 0 when the cache
 * fits, ZELMO_FETCH_E_LOCKED when busy entries kept it above the size, or
 * another error code.
 */
int ZELMO_API zelmo_cache_prune(const char *cache_dir, ZelmoCachePrune *prune);

#ifdef __cplusplus
}
#endif

#endif /* ZELMO_FETCH_H */
