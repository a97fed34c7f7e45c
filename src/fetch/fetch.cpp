// zelmo_fetch: a GET through a cache directory the host chooses. Each call
// looks at the entry, decides (a fresh hit without a request, a conditional
// GET with both validators, an unconditional one), transfers under the
// entry's lock, and commits body, metadata and header by rename, header last.
#include "zelmo_fetch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include "cache/cache.h"
#include "cache/metadata.h"
#include "cache/store.h"
#include "fetch/partial.h"
#include "fetch/rules.h"
#include "fetch/texts.h"
#include "fetch/store_api.h"
#include "http/curl_global.h"
#include "http/curl_handles.h"
#include "platform/platform.h"

namespace zelmo::fetch {
namespace {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

std::optional<std::int64_t> ParseLength(const std::optional<std::string> &value)
{
    if (!value || value->empty() || value->size() > 18)
        return std::nullopt;
    std::int64_t n = 0;
    for (const char c : *value) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

int StatusOf(std::string_view block)
{
    if (block.compare(0, 5, "HTTP/") != 0)
        return 0;
    const std::size_t space = block.find(' ');
    if (space == std::string_view::npos || space + 4 > block.size())
        return 0;
    int code = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (block[i] < '0' || block[i] > '9')
            return 0;
        code = code * 10 + (block[i] - '0');
    }
    return code;
}

cache::EntryMeta MetaFor(const std::string &url, std::string_view header, std::int64_t length, std::uint64_t digest,
                         std::int64_t requestTime, std::int64_t responseTime)
{
    cache::EntryMeta meta;
    meta.url = url;
    meta.length = length;
    meta.digest = digest;
    meta.requestTime = requestTime;
    meta.responseTime = responseTime;
    meta.lastUse = responseTime;
    meta.etag = FieldValue(header, "ETag").value_or("");
    meta.lastModified = FieldValue(header, "Last-Modified").value_or("");
    meta.complete = true;
    return meta;
}

std::optional<std::string> ReadFileText(const std::string &path, std::size_t limit)
{
    const File file(platform::OpenForReading(path.c_str()));
    if (!file)
        return std::nullopt;
    // Unbuffered reads straight into the text: a header or metadata file
    // most often arrives whole with the first read, and its end with the next.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::string text;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        text.append(chunk, got);
        if (text.size() > limit)
            return std::nullopt;
        if (got < sizeof chunk && std::feof(file.get()))
            break;
    }
    if (std::ferror(file.get()))
        return std::nullopt;
    return text;
}

// An entry's header or metadata file, which a hit reads every time: taken
// from what this process read before while the file's stamp is unchanged.
std::optional<std::string> ReadEntryText(const std::string &path, std::size_t limit)
{
    const platform::FileStamp stamp = platform::StampFile(path.c_str());
    if (!stamp.found)
        return std::nullopt;
    if (std::optional<std::string> kept = cache::KeptText(path, stamp))
        return kept;
    std::optional<std::string> text = ReadFileText(path, limit);
    // The stamp was taken first: a change during the read shows as another
    // stamp on the next look.
    if (text && text->size() == stamp.size)
        cache::KeepText(path, stamp, *text);
    return text;
}

bool WriteFileText(const std::string &path, std::string_view text)
{
    std::FILE *file = platform::OpenFile(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool wrote = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && wrote;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kKnownFlags =
    ZELMO_FETCH_ENVIRONMENT_PROXY | ZELMO_FETCH_STALE_IF_ERROR | ZELMO_FETCH_NO_RESUME | ZELMO_FETCH_CACHE_LIMIT;
constexpr long kReceiveBuffer = 512 * 1024;
constexpr std::size_t kFileBuffer = 1 << 20;
constexpr std::size_t kServeChunk = 256 * 1024;
// Why the write function stopped a range request whose answer does not
// continue the partial body (never a result's error: the body is fetched whole).
constexpr int kRangeRefused = -1;


// An error on its way to the result: a code and its text.
struct Error {
    int code = ZELMO_FETCH_OK;
    std::string text;
};

Error Fail(int code, std::string text)
{
    return Error{code, std::move(text)};
}

// What the options ask for, checked.
struct Settings {
    std::string cacheDir;  // ends in a separator
    int mode = ZELMO_CACHE_REVALIDATE;
    int timeoutMs = 0;
    int connectTimeoutMs = 0;
    const char *proxy = nullptr;
    const char *proxyUserPwd = nullptr;
    bool environmentProxy = false;
    bool noResume = false;
    bool staleIfError = false;
    std::vector<std::string> headers;
    const char *destination = nullptr;
    ZelmoFetchSink sink = nullptr;
    void *sinkData = nullptr;
    ZelmoFetchProgress progress = nullptr;
    void *progressData = nullptr;
    bool limited = false;         // ZELMO_FETCH_CACHE_LIMIT: maxCacheBytes is in force
    std::uint64_t maxCacheBytes = 0;
};

bool IsSeparator(char c)
{
    return c == platform::kPathSeparator || c == '/';
}

// A cache directory as the entry names follow it: with its trailing
// separator, and where the system's separator is the backslash, slashes
// written as backslashes (the directory walk looks for the system's one).
std::string DirectoryOf(const char *given)
{
    std::string dir = given != nullptr ? std::string(given) : cache::CacheDirectory();
    if (platform::kPathSeparator != '/')
        for (char &c : dir)
            if (c == '/')
                c = platform::kPathSeparator;
    if (!dir.empty() && !IsSeparator(dir.back()))
        dir += platform::kPathSeparator;
    return dir;
}

bool HoldsLineBreak(const char *text)
{
    for (const char *p = text; *p != '\0'; ++p)
        if (*p == '\r' || *p == '\n')
            return true;
    return false;
}

Error ReadOptions(const ZelmoFetchOptions *options, Settings &s)
{
    if (options == nullptr) {
        s.cacheDir = DirectoryOf(nullptr);
        return {};
    }
    if (options->size < sizeof(ZelmoFetchOptions))
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.size is " + std::to_string(options->size) +
                                               ", smaller than this library's ZelmoFetchOptions (" +
                                               std::to_string(sizeof(ZelmoFetchOptions)) + ")");
    // A later header's fields this library does not know must be unset.
    const auto *bytes = reinterpret_cast<const unsigned char *>(options);
    for (std::size_t i = sizeof(ZelmoFetchOptions); i < options->size; ++i)
        if (bytes[i] != 0)
            return Fail(ZELMO_FETCH_E_OPTIONS, "options set fields this library does not know (byte " +
                                                   std::to_string(i) + " of " + std::to_string(options->size) + ")");
    if ((options->flags & ~kKnownFlags) != 0)
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.flags holds flags this library does not support");
    if (options->cache_mode < ZELMO_CACHE_REVALIDATE || options->cache_mode > ZELMO_CACHE_ONLY)
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.cache_mode " + std::to_string(options->cache_mode) +
                                               " is not a ZelmoCacheMode");
    if (options->timeout_ms < 0 || options->connect_timeout_ms < 0)
        return Fail(ZELMO_FETCH_E_OPTIONS, "a negative time limit");
    if (options->max_cache_bytes != 0 && (options->flags & ZELMO_FETCH_CACHE_LIMIT) == 0)
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.max_cache_bytes is set without ZELMO_FETCH_CACHE_LIMIT");
    for (const std::uint64_t r : options->reserved)
        if (r != 0)
            return Fail(ZELMO_FETCH_E_OPTIONS, "options.reserved must be all zeros");
    if (options->cache_dir != nullptr && options->cache_dir[0] == '\0')
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.cache_dir is empty (null means the default cache)");
    if (options->headers != nullptr) {
        for (const char *const *h = options->headers; *h != nullptr; ++h) {
            if ((*h)[0] == '\0' || HoldsLineBreak(*h) || std::strchr(*h, ':') == nullptr)
                return Fail(ZELMO_FETCH_E_OPTIONS, std::string("options.headers: not a header line: \"") + *h + "\"");
            s.headers.emplace_back(*h);
        }
    }
    s.cacheDir = DirectoryOf(options->cache_dir);
    s.mode = options->cache_mode;
    s.timeoutMs = options->timeout_ms;
    s.connectTimeoutMs = options->connect_timeout_ms;
    s.proxy = options->proxy;
    s.proxyUserPwd = options->proxy_userpwd;
    s.environmentProxy = (options->flags & ZELMO_FETCH_ENVIRONMENT_PROXY) != 0;
    s.noResume = (options->flags & ZELMO_FETCH_NO_RESUME) != 0;
    s.staleIfError = (options->flags & ZELMO_FETCH_STALE_IF_ERROR) != 0;
    s.destination = options->destination;
    s.sink = options->sink;
    s.sinkData = options->sink_data;
    s.progress = options->progress;
    s.progressData = options->progress_data;
    s.limited = (options->flags & ZELMO_FETCH_CACHE_LIMIT) != 0;
    s.maxCacheBytes = options->max_cache_bytes;
    // A limit of 0 keeps no entry: nothing stored is looked at either.
    if (s.limited && s.maxCacheBytes == 0) {
        if (s.mode == ZELMO_CACHE_ONLY)
            return Fail(ZELMO_FETCH_E_OPTIONS, "cache only, with a cache limit of 0: nothing can be served");
        s.mode = ZELMO_CACHE_NETWORK_ONLY;
    }
    return {};
}

// The status line of a block, for error texts.
std::string StatusLineOf(std::string_view block)
{
    return std::string(block.substr(0, block.find_first_of("\r\n")));
}


// One look at an entry's files.
struct Look {
    std::string header;                   // the header file's text; empty when absent
    std::int64_t bodyLength = -1;         // -1: no body file
    platform::FileStamp bodyStamp;        // the body file as it was looked at
    std::optional<cache::EntryMeta> meta;  // only when it describes this header and body
    bool complete = false;                // a whole 200 answer, ready to serve or revalidate
    bool damaged = false;                 // the body's length is not the one stored with it
};

Look LookAt(const cache::EntryFiles &files, const std::string &url)
{
    Look look;
    // The header counts for the entry (it is renamed in last): read it first.
    std::optional<std::string> header = ReadEntryText(files.header, 1 << 20);
    if (!header)
        return look;
    look.header = std::move(*header);
    look.header.resize(std::strlen(look.header.c_str()));  // as HttpDownload_SYNC reads it
    look.bodyStamp = platform::StampFile(files.body.c_str());
    if (!look.bodyStamp.found)
        return look;
    look.bodyLength = static_cast<std::int64_t>(look.bodyStamp.size);
    if (StatusOf(look.header) != 200)
        return look;
    const std::optional<std::int64_t> contentLength = ParseLength(FieldValue(look.header, "Content-Length"));
    // The metadata file belongs to this header when it was written with it:
    // the same URL and validators, and the header's length if it tells one.
    if (const std::optional<std::string> text = ReadEntryText(files.meta, cache::kMetaMaxBytes)) {
        std::optional<cache::EntryMeta> meta = cache::ParseMeta(*text);
        if (meta && meta->url == url && meta->complete &&
            meta->etag == FieldValue(look.header, "ETag").value_or("") &&
            meta->lastModified == FieldValue(look.header, "Last-Modified").value_or("") &&
            (!contentLength || *contentLength == meta->length))
            look.meta = std::move(meta);
    }
    if (look.meta) {
        look.complete = look.meta->length == look.bodyLength;
        look.damaged = !look.complete;
    }
    else  // an entry of HttpDownload_SYNC's: judged as it judges its own
        look.complete = contentLength && *contentLength > 0 && *contentLength == look.bodyLength;
    return look;
}

// The body checked against the metadata: its length and checksum. An entry
// without metadata has only its length, already compared.
// Where the body will go to a sink, a body of at most kKeptBody bytes is
// read once, checked and kept for it, so that it is not read twice.
struct Checked {
    bool good = false;
    bool readable = false;
    std::uint64_t digest = 0;
    std::unique_ptr<char[]> bytes;  // the body as checked, when kept
    std::size_t size = 0;
};

constexpr std::int64_t kKeptBody = 16 << 20;

Checked Check(const Look &look, const std::string &bodyPath, bool keep)
{
    Checked checked;
    // A body this process checked and that has not changed since is not
    // read again. The stamp was taken before the read, so that a change
    // during it shows as a different stamp next time.
    const platform::FileStamp &stamp = look.bodyStamp;
    if (look.meta) {
        if (cache::CheckedBefore(bodyPath, stamp, look.meta->digest)) {
            checked.good = checked.readable = true;
            checked.digest = look.meta->digest;
            return checked;
        }
    }
    std::int64_t length = -1;
    std::optional<std::uint64_t> digest;
    if (keep && look.bodyLength >= 0 && look.bodyLength <= kKeptBody) {
        // One read of the expected length; one byte more shows a longer file.
        const File file(platform::OpenForReading(bodyPath.c_str()));
        if (!file)
            return checked;
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
        const std::size_t want = static_cast<std::size_t>(look.bodyLength);
        checked.bytes.reset(new char[want + 1]);
        checked.size = std::fread(checked.bytes.get(), 1, want + 1, file.get());
        if (std::ferror(file.get()))
            return checked;
        cache::BodyDigest d;
        d.Update(checked.bytes.get(), checked.size);
        digest = d.Value();
        length = static_cast<std::int64_t>(checked.size);
    } else {
        digest = cache::DigestOfFile(bodyPath, &length);
    }
    if (!digest)
        return checked;
    checked.readable = true;
    checked.digest = *digest;
    checked.good = length == look.bodyLength && (!look.meta || *digest == look.meta->digest);
    if (checked.good && look.meta)
        cache::KeepChecked(bodyPath, stamp, checked.digest);
    return checked;
}

bool IsFresh(const Look &look, std::int64_t now)
{
    // Without the times of the request and answer (an entry of the 28
    // exports) the age cannot be told: such an entry is revalidated.
    if (!look.meta)
        return false;
    return FreshnessOf(look.header, look.meta->requestTime, look.meta->responseTime, now).fresh;
}

// The header block kept with a body: the final answer's block as it came,
// up to its empty line; where it does not state the body's length (chunked,
// or no Content-Length), with a Content-Length of the stored body in place
// of its framing fields, so that both interfaces judge the entry alike.
std::string StoredHeaderOf(std::string_view block, std::int64_t length)
{
    std::size_t end = block.find("\r\n\r\n");
    end = end != std::string_view::npos ? end + 4 : block.size();
    block = block.substr(0, end);
    const std::optional<std::int64_t> stated = ParseLength(FieldValue(block, "Content-Length"));
    if (stated && *stated == length && !FieldValue(block, "Transfer-Encoding"))
        return std::string(block);
    std::string out;
    std::size_t at = 0;
    bool first = true;
    while (at < block.size()) {
        std::size_t eol = block.find('\n', at);
        eol = eol == std::string_view::npos ? block.size() : eol + 1;
        std::string_view line = block.substr(at, eol - at);
        at = eol;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        if (line.empty())
            break;
        if (first) {
            out.append(line).append("\r\n");
            out.append("Content-Length: ").append(std::to_string(length)).append("\r\n");
            first = false;
            continue;
        }
        if (cache::FindFieldName(line, "Content-Length:") == 0 || cache::FindFieldName(line, "Transfer-Encoding:") == 0)
            continue;
        out.append(line).append("\r\n");
    }
    out.append("\r\n");
    return out;
}

// A name beside `path` that no other call and no other process uses, and
// none of HttpDownload_SYNC's temporaries (".tmp").
std::string TemporaryFor(const std::string &path)
{
    static std::atomic<unsigned> counter{0};
    return path + "." + std::to_string(platform::ProcessId()) + "-" + std::to_string(counter.fetch_add(1)) + ".part";
}

// Deletes the temporaries it was given when it goes out of scope, unless
// they were renamed away.
struct Temporaries {
    std::vector<std::string> paths;
    ~Temporaries()
    {
        for (const std::string &p : paths)
            platform::DeleteFileAt(p.c_str());  // one that was renamed into place or never made is not there
    }
    std::string Add(std::string path)
    {
        paths.push_back(path);
        return path;
    }
    // One that is known never to have been made.
    void Forget(const std::string &path) { paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end()); }
};

struct Received;

// One call of zelmo_fetch.
class Fetch {
public:
    Fetch(const char *url, Settings s, ZelmoFetchResult *result)
        : url_(url), s_(std::move(s)), result_(result), files_(cache::EntryFilesIn(s_.cacheDir, url_))
    {
        if (s_.timeoutMs > 0)
            deadline_ = start_ + std::chrono::milliseconds(s_.timeoutMs);
    }

    Error Run();
    const std::string &BodyPath() const { return files_.body; }
    bool Stored() const { return (result_->flags & ZELMO_FETCH_RESULT_NOT_STORED) == 0; }
    // Why a stale entry was served instead of a new answer; empty otherwise.
    const std::string &StaleReason() const { return staleReason_; }

private:
    // Milliseconds left of the time limit; -1 without one.
    int LeftMs() const
    {
        if (!deadline_)
            return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }

    Error Lock(Look &before, bool looked);
    Error ServeStored(const Look &look, int outcome, const Checked *checked);
    Error ServeFile(const std::string &path, std::int64_t length);
    Error Deliver();
    Error DeliverFrom(const std::string &path);
    void RecordUse();
    void KeepUnderLimit();
    std::uint64_t OnDisk(const std::vector<std::string> &paths) const;
    Error Transfer(const Look &stored, const Checked &checked, bool conditional, Partial *partial = nullptr);
    std::optional<Error> AfterRange(const Look &stored, const Checked &checked, Received &r, CURLcode done,
                                    bool closed, std::int64_t requestTime, std::int64_t responseTime);
    Error ServeStale(const Error &failure, Look &stored, Checked &checked, std::int64_t now);
    Error WriteMeta(const std::string &path, std::string_view header, std::int64_t length, std::uint64_t digest,
                    std::int64_t requestTime, std::int64_t responseTime);

    std::string url_;
    Settings s_;
    ZelmoFetchResult *result_;
    cache::EntryFiles files_;
    Clock::time_point start_ = Clock::now();
    std::optional<Clock::time_point> deadline_;
    platform::FileLock lock_;
    platform::UseLock use_;  // shared while the entry is served (see RecordUse)
    bool sinkFed_ = false;  // the sink had bytes of the transfer's answer
    std::string staleReason_;
};

// Takes the entry's lock. Where another fetch holds it, `before` is the
// entry as it stood while that one ran (looked at now unless `looked`), so
// that what it stores can be told from what was there.
Error Fetch::Lock(Look &before, bool looked)
{
    std::string why;
    platform::FileLock::Result got = lock_.Acquire(files_.lock.c_str(), 0, why);
    if (got == platform::FileLock::Result::TimedOut) {
        result_->flags |= ZELMO_FETCH_RESULT_WAITED;
        if (!looked && s_.mode != ZELMO_CACHE_NETWORK_ONLY)
            before = LookAt(files_, url_);
        got = lock_.Acquire(files_.lock.c_str(), LeftMs(), why);
    }
    switch (got) {
    case platform::FileLock::Result::Held:
        return {};
    case platform::FileLock::Result::TimedOut:
        return Fail(ZELMO_FETCH_E_LOCKED, "another fetch of this URL held its cache entry past the time limit");
    case platform::FileLock::Result::Failed:
        break;
    }
    return Fail(ZELMO_FETCH_E_CACHE_IO, why);
}

// Streams a body file to the sink.
Error Fetch::ServeFile(const std::string &path, std::int64_t length)
{
    if (s_.sink == nullptr)
        return {};
    const File file(platform::OpenForReading(path.c_str()));
    if (!file)
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot open " + path);
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::unique_ptr<char[]> buffer(new char[kServeChunk]);
    std::int64_t served = 0;
    std::size_t got;
    while ((got = std::fread(buffer.get(), 1, kServeChunk, file.get())) > 0) {
        if (s_.sink(s_.sinkData, buffer.get(), got) != 0)
            return Fail(ZELMO_FETCH_E_SINK, "the body sink refused the body");
        served += static_cast<std::int64_t>(got);
    }
    if (std::ferror(file.get()) || served != length)
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot read " + path);
    return {};
}

// The copy for the destination, once the body is the entry's.
Error Fetch::Deliver()
{
    if (s_.destination == nullptr)
        return {};
    if (!platform::CopyFileOver(files_.body.c_str(), s_.destination))
        return Fail(ZELMO_FETCH_E_DESTINATION, std::string("cannot write the destination ") + s_.destination);
    return {};
}

Error Fetch::ServeStored(const Look &look, int outcome, const Checked *checked)
{
    if (checked != nullptr && checked->bytes) {
        if (s_.sink != nullptr && checked->size > 0 && s_.sink(s_.sinkData, checked->bytes.get(), checked->size) != 0)
            return Fail(ZELMO_FETCH_E_SINK, "the body sink refused the body");
    } else if (Error e = ServeFile(files_.body, look.bodyLength); e.code != 0) {
        return e;
    }
    if (Error e = Deliver(); e.code != 0)
        return e;
    RecordUse();
    result_->outcome = outcome;
    result_->bytes_served = look.bodyLength;
    return {};
}

Error Fetch::DeliverFrom(const std::string &path)
{
    if (s_.destination == nullptr)
        return {};
    if (!platform::CopyFileOver(path.c_str(), s_.destination))
        return Fail(ZELMO_FETCH_E_DESTINATION, std::string("cannot write the destination ") + s_.destination);
    return {};
}

// The entry's last use is its lock file's last-write time, set on every hit
// and 304: through the use lock where the entry was served under it, else by
// the lock file's name. An entry without a lock file (one of
// HttpDownload_SYNC's) gets one by taking the lock.
void Fetch::RecordUse()
{
    if (use_.Held()) {
        use_.Touch();
        return;
    }
    if (platform::TouchFile(files_.lock.c_str()))
        return;
    if (use_.TryAcquire(files_.lock.c_str(), false) == platform::UseLock::Result::Held)
        use_.Touch();
}

std::uint64_t Fetch::OnDisk(const std::vector<std::string> &paths) const
{
    std::uint64_t sum = 0;
    for (const std::string &p : paths)
        sum += platform::AllocatedBytes(p.c_str());
    return sum;
}

// After a commit under a limit: the other entries pruned to fit it (this
// one is held by its lock, and named, so it stays). A prune that cannot read
// the directory leaves the cache as it is; the fetch has served its body.
void Fetch::KeepUnderLimit()
{
    if (!s_.limited)
        return;
    cache::PruneCounts counts;
    cache::Prune(s_.cacheDir, s_.maxCacheBytes, files_.body.substr(s_.cacheDir.size()), counts);
}

Error Fetch::WriteMeta(const std::string &path, std::string_view header, std::int64_t length, std::uint64_t digest,
                       std::int64_t requestTime, std::int64_t responseTime)
{
    const cache::EntryMeta meta = MetaFor(url_, header, length, digest, requestTime, responseTime);
    if (!WriteFileText(path, cache::FormatMeta(meta)))
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot write " + path);
    return {};
}

// What the transfer has received so far.
struct Received {
    Fetch *fetch = nullptr;
    const Settings *s = nullptr;
    http::HeaderBlocks blocks;   // every header block, in order of arrival
    std::string bodyTemp;
    File body;
    std::unique_ptr<char[]> bodyBuffer;
    cache::BodyDigest digest;
    std::int64_t received = 0;
    std::int64_t total = -1;
    bool started = false;
    int refused = ZELMO_FETCH_OK;  // why the write function stopped the transfer
    std::string refusedText;
    Partial *partial = nullptr;    // the partial body a range request continues; null once a 200 replaced it
    bool resuming = false;         // a 206 that continues it came: its bytes go onto the partial body
    std::int64_t kept = 0;         // bytes of the partial body before this transfer

    std::string_view Final() const { return std::string_view(blocks.text).substr(blocks.finalStart); }
};

std::size_t OnHeader(char *data, std::size_t size, std::size_t count, void *userdata)
{
    auto *r = static_cast<Received *>(userdata);
    const std::size_t n = size * count;
    return r->blocks.Add(data, n) ? n : 0;
}

// The first bytes of a 206 to a range request: the answer judged against the
// partial body, which, when it is continued, is read from disk into the
// checksum and the sink (the sink gets the whole body in order) and opened
// for the rest. False, with the reason in `r`, when it is not.
bool StartRange(Received *r)
{
    const Partial &p = *r->partial;
    if (std::optional<std::string> why = RangeMismatch(p, r->Final())) {
        r->refused = kRangeRefused;
        r->refusedText = std::move(*why);
        return false;
    }
    {
        const File kept(platform::OpenForReading(p.files.body.c_str()));
        if (!kept) {
            r->refused = kRangeRefused;
            r->refusedText = "cannot open " + p.files.body;
            return false;
        }
        std::unique_ptr<char[]> buffer(new char[kServeChunk]);
        std::int64_t read = 0;
        std::size_t got;
        while (read < p.have &&
               (got = std::fread(buffer.get(), 1,
                                 static_cast<std::size_t>(std::min<std::int64_t>(kServeChunk, p.have - read)),
                                 kept.get())) > 0) {
            r->digest.Update(buffer.get(), got);
            read += static_cast<std::int64_t>(got);
            if (r->s->sink != nullptr && r->s->sink(r->s->sinkData, buffer.get(), got) != 0) {
                r->refused = ZELMO_FETCH_E_SINK;
                r->refusedText = "the body sink refused the body";
                return false;
            }
        }
        if (read != p.have) {
            r->refused = kRangeRefused;
            r->refusedText = "cannot read " + p.files.body;
            return false;
        }
    }
    r->body.reset(platform::OpenFile(p.files.body.c_str(), "ab"));
    if (!r->body) {
        r->refused = ZELMO_FETCH_E_CACHE_IO;
        r->refusedText = "cannot open " + p.files.body + ": " + std::strerror(errno);
        return false;
    }
    r->bodyBuffer.reset(new (std::nothrow) char[kFileBuffer]);
    if (r->bodyBuffer)
        std::setvbuf(r->body.get(), r->bodyBuffer.get(), _IOFBF, kFileBuffer);
    r->resuming = true;
    r->kept = p.have;
    r->total = p.meta.length;
    return true;
}

std::size_t OnBody(char *data, std::size_t size, std::size_t count, void *userdata)
{
    auto *r = static_cast<Received *>(userdata);
    const std::size_t n = size * count;
    try {
        if (!r->started && r->partial != nullptr && StatusOf(r->Final()) == 206) {
            r->started = true;
            if (!StartRange(r))
                return 0;
        }
        if (!r->started) {
            r->started = true;
            const std::string_view final = r->Final();
            // Only a 200's body is kept; any other answer is judged by its status.
            if (StatusOf(final) != 200) {
                r->refused = ZELMO_FETCH_E_HTTP;
                return 0;
            }
            if (r->partial != nullptr) {  // the partial's resource changed, or the server ignores ranges
                DropPartial(r->partial->files);
                r->partial = nullptr;
            }
            r->total = ParseLength(FieldValue(final, "Content-Length")).value_or(-1);
            r->body.reset(platform::OpenFile(r->bodyTemp.c_str(), "wb"));
            if (!r->body) {
                r->refused = ZELMO_FETCH_E_CACHE_IO;
                r->refusedText = "cannot create " + r->bodyTemp + ": " + std::strerror(errno);
                return 0;
            }
            r->bodyBuffer.reset(new (std::nothrow) char[kFileBuffer]);
            if (r->bodyBuffer)
                std::setvbuf(r->body.get(), r->bodyBuffer.get(), _IOFBF, kFileBuffer);
        }
        if (r->resuming && r->received + static_cast<std::int64_t>(n) > r->total - r->kept) {
            r->refused = kRangeRefused;
            r->refusedText = "the 206 answer holds more bytes than the rest of the body";
            return 0;
        }
        if (std::fwrite(data, 1, n, r->body.get()) != n) {
            r->refused = ZELMO_FETCH_E_CACHE_IO;
            r->refusedText = "cannot write " + r->bodyTemp + ": " + std::strerror(errno);
            return 0;
        }
        r->digest.Update(data, n);
        r->received += static_cast<std::int64_t>(n);
        if (r->s->sink != nullptr && r->s->sink(r->s->sinkData, data, n) != 0) {
            r->refused = ZELMO_FETCH_E_SINK;
            r->refusedText = "the body sink refused the body";
            return 0;
        }
        if (r->s->progress != nullptr && r->s->progress(r->s->progressData, r->kept + r->received, r->total) != 0) {
            r->refused = ZELMO_FETCH_E_CANCELLED;
            r->refusedText = "the progress callback cancelled the fetch";
            return 0;
        }
    } catch (...) {
        r->refused = ZELMO_FETCH_E_NO_MEMORY;
        r->refusedText = "out of memory";
        return 0;
    }
    return n;
}

Error Fetch::Transfer(const Look &stored, const Checked &checked, bool conditional, Partial *partial)
{
    http::EnsureCurlGlobal();
    const http::Easy easy(curl_easy_init());
    if (!easy)
        return Fail(ZELMO_FETCH_E_NO_MEMORY, "libcurl could not start a transfer");
    CURL *const c = easy.get();
    curl_easy_setopt(c, CURLOPT_URL, url_.c_str());
    http::SetSharedOptions(c, s_.proxy);
    if (s_.proxy == nullptr && s_.environmentProxy)
        curl_easy_setopt(c, CURLOPT_PROXY, static_cast<const char *>(nullptr));  // libcurl's default: the environment
    if (s_.proxyUserPwd != nullptr) {
        curl_easy_setopt(c, CURLOPT_PROXYUSERPWD, s_.proxyUserPwd);
        curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    const int left = LeftMs();
    if (left == 0)
        return Fail(ZELMO_FETCH_E_TRANSFER, "the time limit ran out before the request");
    if (left > 0)
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(left));
    if (s_.connectTimeoutMs > 0)
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s_.connectTimeoutMs));

    http::Slist lines;
    const auto append = [&](const std::string &line) {
        curl_slist *next = curl_slist_append(lines.get(), line.c_str());
        if (next == nullptr)
            throw std::bad_alloc();
        lines.release();
        lines.reset(next);
    };
    for (const std::string &h : s_.headers)
        append(h);
    const std::vector<std::string> validators =
        conditional && partial == nullptr ? ConditionalLines(ValidatorsOf(stored.header)) : std::vector<std::string>();
    for (const std::string &line : validators)
        append(line);
    conditional = !validators.empty();
    // The rest of a partial body, only while it is what the server has.
    if (partial != nullptr) {
        append("Range: bytes=" + std::to_string(partial->have) + "-");
        append("If-Range: " + partial->ifRange);
    }
    // A revalidation most likely ends in a 304 without a body: libcurl's
    // default receive buffer spares it the large one's allocation and page
    // faults, which cost more than the whole 304.
    if (!conditional)
        curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    if (lines)
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, lines.get());

    Temporaries temps;
    Received r;
    r.s = &s_;
    r.partial = partial;
    r.bodyTemp = temps.Add(TemporaryFor(files_.body));
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
    char curlError[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curlError);

    const std::int64_t requestTime = static_cast<std::int64_t>(std::time(nullptr));
    const CURLcode done = curl_easy_perform(c);
    const std::int64_t responseTime = static_cast<std::int64_t>(std::time(nullptr));
    const std::string_view final = r.Final();
    result_->http_status = StatusOf(final);
    result_->bytes_received = r.received;
    sinkFed_ = s_.sink != nullptr && r.received > 0;
    bool closed = !r.body || std::fclose(r.body.release()) == 0;

    if (partial != nullptr && r.partial != nullptr)  // no 200 replaced the partial
        if (std::optional<Error> e = AfterRange(stored, checked, r, done, closed, requestTime, responseTime))
            return *e;
    // A 200 cut short or cancelled keeps what came for a range request next
    // time, where its validator and length allow one.
    if (!s_.noResume && closed && r.started && !r.resuming && r.received > 0 && r.received < r.total &&
        (r.refused == ZELMO_FETCH_E_CANCELLED || (r.refused == ZELMO_FETCH_OK && done != CURLE_OK)) &&
        !ResumeValidatorOf(final).empty())
        KeepPartial(files_, url_, r.bodyTemp, final, requestTime, responseTime);

    if (r.refused == ZELMO_FETCH_E_HTTP)
        return Fail(ZELMO_FETCH_E_HTTP, "the server answered " + StatusLineOf(final));
    if (r.refused != ZELMO_FETCH_OK)
        return Fail(r.refused, r.refusedText);
    if (done != CURLE_OK)
        return Fail(ZELMO_FETCH_E_TRANSFER, curlError[0] != '\0' ? std::string(curlError) : curl_easy_strerror(done));
    if (!closed)
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot write " + r.bodyTemp);

    const int status = StatusOf(final);
    if (status == 304) {
        temps.Forget(r.bodyTemp);  // a body temporary is made for a 200's first byte only
        if (!conditional)
            return Fail(ZELMO_FETCH_E_HTTP, "the server answered " + StatusLineOf(final) + " to a request without validators");
        // The stored header takes the 304's fields; the body stays as it is.
        // A refresh that cannot be written leaves the old header, which still
        // describes the body: the entry is served all the same.
        // A refresh that would write the files as they are (the 304 within
        // the same second as the last one, with the same fields) is left out.
        const std::string refreshed = RefreshedHeader(stored.header, final);
        if (refreshed == stored.header && stored.meta &&
            MetaFor(url_, refreshed, stored.bodyLength, checked.digest, requestTime, responseTime) == *stored.meta)
            return ServeStored(stored, ZELMO_FETCH_REVALIDATED, &checked);
        const std::string metaTemp = temps.Add(TemporaryFor(files_.meta));
        const std::string headerTemp = temps.Add(TemporaryFor(files_.header));
        if (WriteMeta(metaTemp, refreshed, stored.bodyLength, checked.digest, requestTime, responseTime).code == 0 &&
            WriteFileText(headerTemp, refreshed))
            cache::RefreshEntry(metaTemp, files_.meta, headerTemp, files_.header);
        return ServeStored(stored, ZELMO_FETCH_REVALIDATED, &checked);
    }
    if (status != 200)
        return Fail(ZELMO_FETCH_E_HTTP, "the server answered " + (status ? StatusLineOf(final) : std::string("no status line")));

    // A 200 without a body is an empty one.
    if (!r.started && !WriteFileText(r.bodyTemp, ""))
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot create " + r.bodyTemp + ": " + std::strerror(errno));
    const std::string header = StoredHeaderOf(final, r.received);
    const std::string metaTemp = temps.Add(TemporaryFor(files_.meta));
    const std::string headerTemp = temps.Add(TemporaryFor(files_.header));
    if (Error e = WriteMeta(metaTemp, header, r.received, r.digest.Value(), requestTime, responseTime); e.code != 0)
        return e;
    if (!WriteFileText(headerTemp, header))
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot write " + headerTemp);
    if (s_.limited && OnDisk({r.bodyTemp, metaTemp, headerTemp, files_.lock}) > s_.maxCacheBytes) {
        // The entry alone would not fit: served from its temporary, not
        // kept, and the former entry, which this answer outdates, dropped.
        cache::DropEntry(files_);
        if (Error e = DeliverFrom(r.bodyTemp); e.code != 0)
            return e;
        result_->flags |= ZELMO_FETCH_RESULT_NOT_STORED;
        result_->outcome = ZELMO_FETCH_REPLACED;
        result_->bytes_served = r.received;
        KeepUnderLimit();
        return {};
    }
    switch (cache::CommitEntry(r.bodyTemp, files_.body, metaTemp, files_.meta, headerTemp, files_.header)) {
    case cache::Committed::Both:
        // Leftovers of a partial without its record, which a revalidation
        // leaves in place (LoadPartial), go with the entry they were left beside.
        if (partial == nullptr)
            DropPartial(PartialFilesOf(files_));
        break;
    case cache::Committed::HeaderKept:
        // The old header no longer describes the body in place: the entry
        // is dropped rather than left to be judged by it.
        cache::DropEntry(files_);
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot replace " + files_.header);
    case cache::Committed::Neither:
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot replace " + files_.body);
    }
    if (Error e = Deliver(); e.code != 0)
        return e;
    KeepUnderLimit();
    result_->outcome = ZELMO_FETCH_REPLACED;
    result_->bytes_served = r.received;
    return {};
}

// After a failed transfer: a network failure or a 5xx answer serves the
// stored entry instead, where the host's flag or the stored answer's
// stale-if-error (within its seconds past freshness; only in the modes that
// revalidate, as network-only asks for a new answer) allows it, and only when
// the sink has had nothing of the failed answer. The entry is whole and
// checked, as for any hit; the lock is still held, so it is the one that was
// there before. Any other case returns the failure as it was.
Error Fetch::ServeStale(const Error &failure, Look &stored, Checked &checked, std::int64_t now)
{
    const bool networkFailed = failure.code == ZELMO_FETCH_E_TRANSFER;
    const bool serverFailed = failure.code == ZELMO_FETCH_E_HTTP && result_->http_status >= 500 && result_->http_status <= 599;
    if ((!networkFailed && !serverFailed) || sinkFed_)
        return failure;
    if (!stored.complete) {  // network-only: not looked at yet
        stored = LookAt(files_, url_);
        if (!stored.complete && !stored.damaged)
            return failure;
        checked = stored.complete ? Check(stored, files_.body, s_.sink != nullptr) : Checked();
        if (!checked.good) {
            result_->flags |= ZELMO_FETCH_RESULT_DROPPED_CORRUPT;
            cache::DropEntry(files_);
            return failure;
        }
    }
    const bool allowed =
        s_.staleIfError || (s_.mode != ZELMO_CACHE_NETWORK_ONLY && stored.meta &&
                            StaleIfErrorAllows(stored.header, stored.meta->requestTime, stored.meta->responseTime, now));
    if (!allowed)
        return failure;
    if (Error e = ServeStored(stored, ZELMO_FETCH_SERVED_STALE, &checked); e.code != ZELMO_FETCH_OK)
        return e;
    if (networkFailed)
        result_->http_status = 0;  // a cut answer is no final answer
    staleReason_ = failure.text;
    return {};
}

Error Fetch::Run()
{
    if (files_.body.size() >= ZELMO_FETCH_PATH_MAX - 32)
        return Fail(ZELMO_FETCH_E_OPTIONS, "the cache directory's path is too long");
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));

    // A complete entry that may be served as it is needs no lock: it is read
    // as it stands, and a commit meanwhile replaces files by rename only.
    Look first;
    const bool servedUnlocked = s_.mode == ZELMO_CACHE_ONLY || s_.mode == ZELMO_CACHE_PREFER_FRESH;
    if (servedUnlocked) {
        first = LookAt(files_, url_);
        // A body read for the host (to its sink or destination) is read
        // under the entry's use lock, shared: a prune, which takes it alone,
        // skips the entry meanwhile. Where the prune holds it, the entry is
        // about to go: it is looked at again under the entry's lock. A cache
        // that cannot be written, where no lock file can be made, is served
        // as it stands. A host given only the path reads the body after the
        // call, which no lock of the call covers: that hit takes none.
        const bool readForHost = s_.sink != nullptr || s_.destination != nullptr;
        if (first.complete &&
            (s_.mode == ZELMO_CACHE_ONLY || (s_.mode == ZELMO_CACHE_PREFER_FRESH && IsFresh(first, now))) &&
            (!readForHost || use_.TryAcquire(files_.lock.c_str(), false) != platform::UseLock::Result::Busy)) {
            const Checked hit = Check(first, files_.body, s_.sink != nullptr);
            if (hit.good) {
                Error e = ServeStored(first, ZELMO_FETCH_FRESH_HIT, &hit);
                if (e.code != ZELMO_FETCH_E_CACHE_IO)  // else the entry changed under the read: look again locked
                    return e;
            }
        }
        if (s_.mode == ZELMO_CACHE_ONLY && !first.complete && !first.damaged)
            return Fail(ZELMO_FETCH_E_NOT_CACHED, "no complete entry of this URL in the cache");
    }

    // Everything else happens under the entry's lock. A cache directory
    // that is missing shows as a lock file that cannot be made: it is made,
    // and the lock taken again.
    Error locked = Lock(first, servedUnlocked);
    if (locked.code == ZELMO_FETCH_E_CACHE_IO && !platform::PathExists(s_.cacheDir.c_str())) {
        if (!cache::CreateDirectoriesOf(s_.cacheDir.c_str()))
            return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot create the cache directory " + s_.cacheDir);
        locked = Lock(first, servedUnlocked);
    }
    if (locked.code != 0)
        return locked;

    Look stored;
    Checked checked;
    if (s_.mode != ZELMO_CACHE_NETWORK_ONLY) {
        stored = LookAt(files_, url_);
        if (stored.complete || stored.damaged) {
            checked = stored.complete ? Check(stored, files_.body, s_.sink != nullptr) : Checked();
            if (!checked.good) {
                // A body that is not what was stored is never served.
                result_->flags |= ZELMO_FETCH_RESULT_DROPPED_CORRUPT;
                cache::DropEntry(files_);
                stored = Look();
            }
        }
        const bool changed = stored.header != first.header;
        if (stored.complete && (s_.mode == ZELMO_CACHE_ONLY ||
                                // stored by the fetch this one waited for
                                ((result_->flags & ZELMO_FETCH_RESULT_WAITED) != 0 && changed) ||
                                (s_.mode == ZELMO_CACHE_PREFER_FRESH && IsFresh(stored, now))))
            return ServeStored(stored, ZELMO_FETCH_FRESH_HIT, &checked);
        if (s_.mode == ZELMO_CACHE_ONLY) {
            if ((result_->flags & ZELMO_FETCH_RESULT_DROPPED_CORRUPT) != 0)
                return Fail(ZELMO_FETCH_E_CORRUPT, "the stored entry failed its check and was dropped");
            return Fail(ZELMO_FETCH_E_NOT_CACHED, "no complete entry of this URL in the cache");
        }
    }
    // A partial body left by a cut transfer is continued by a range request.
    std::optional<Partial> partial = LoadPartial(files_, url_, !stored.complete);
    if (partial && s_.noResume) {
        DropPartial(partial->files);
        partial.reset();
    }
    Error e = Transfer(stored, checked, stored.complete, partial ? &*partial : nullptr);
    if (e.code != ZELMO_FETCH_OK)
        return ServeStale(e, stored, checked, now);
    return e;
}

// The end of a range request that no 200 answered. A 206 that continued the
// partial body and brought the rest commits it as the entry; one cut short
// keeps the grown partial for the next try. A 206 that does not continue it,
// or a 416, drops it, and the body is fetched whole in one more request.
// Anything else (a 404, a failure before any answer) is judged as for any
// request, the partial kept: nullopt.
std::optional<Error> Fetch::AfterRange(const Look &stored, const Checked &checked, Received &r, CURLcode done,
                                       bool closed, std::int64_t requestTime, std::int64_t responseTime)
{
    Partial &p = *r.partial;
    const std::string_view final = r.Final();
    const int status = StatusOf(final);
    const auto whole = [&]() -> std::optional<Error> {
        DropPartial(p.files);
        // A sink that already had the kept part cannot be given the body
        // again from its start: the call fails, and the next one fetches it whole.
        if (r.resuming && s_.sink != nullptr)
            return Fail(ZELMO_FETCH_E_HTTP, (r.refused == kRangeRefused ? r.refusedText
                                                                        : "the 206 answer ended before the body's last byte") +
                                                "; the partial body was dropped");
        return Transfer(stored, checked, false, nullptr);
    };
    if (!r.resuming) {
        if (r.refused == kRangeRefused || status == 416 || (status == 206 && r.refused == ZELMO_FETCH_OK))
            return whole();
        if (r.refused == ZELMO_FETCH_E_SINK)
            DropPartial(p.files);
        return std::nullopt;
    }
    if (r.refused == kRangeRefused)
        return whole();
    if (r.refused == ZELMO_FETCH_E_CANCELLED || (r.refused == ZELMO_FETCH_OK && done != CURLE_OK && closed))
        return std::nullopt;  // the partial grew; the next try goes on from its new length
    if (r.refused != ZELMO_FETCH_OK || !closed) {
        DropPartial(p.files);
        if (r.refused != ZELMO_FETCH_OK)
            return Fail(r.refused, r.refusedText);
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot write " + p.files.body);
    }
    const platform::FileFacts body = platform::ProbeFile(p.files.body.c_str());
    if (r.kept + r.received != p.meta.length || !body.found || static_cast<std::int64_t>(body.size) != p.meta.length)
        return whole();

    Temporaries temps;
    const std::string header = StoredHeaderOf(RefreshedHeader(p.header, final), p.meta.length);
    const std::string metaTemp = temps.Add(TemporaryFor(files_.meta));
    const std::string headerTemp = temps.Add(TemporaryFor(files_.header));
    if (Error e = WriteMeta(metaTemp, header, p.meta.length, r.digest.Value(), requestTime, responseTime); e.code != 0)
        return e;
    if (!WriteFileText(headerTemp, header))
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot write " + headerTemp);
    switch (cache::CommitEntry(p.files.body, files_.body, metaTemp, files_.meta, headerTemp, files_.header)) {
    case cache::Committed::Both:
        break;
    case cache::Committed::HeaderKept:
        cache::DropEntry(files_);
        DropPartial(p.files);
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot replace " + files_.header);
    case cache::Committed::Neither:
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot replace " + files_.body);
    }
    DropPartial(p.files);
    if (Error e = Deliver(); e.code != 0)
        return e;
    result_->outcome = ZELMO_FETCH_RESUMED;
    result_->resumed_from = r.kept;
    result_->bytes_served = p.meta.length;
    return Error{};
}

void CopyText(char *to, std::size_t capacity, const std::string &text)
{
    const std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

// Every field of a v1 result, cleared.
void ClearResult(ZelmoFetchResult *result)
{
    const std::uint32_t size = result->size;
    std::memset(result, 0, sizeof *result);
    result->size = size;
}

int Finish(ZelmoFetchResult *result, const Error &error, const std::string &bodyPath, const std::string &note,
           Clock::time_point start)
{
    result->error = error.code;
    if (error.code != ZELMO_FETCH_OK) {
        result->outcome = ZELMO_FETCH_FAILED;
        result->bytes_served = 0;
        result->body_path[0] = '\0';
        CopyText(result->error_text, sizeof result->error_text, error.text);
    } else {
        CopyText(result->body_path, sizeof result->body_path, bodyPath);
        CopyText(result->error_text, sizeof result->error_text, note);
    }
    result->seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return error.code;
}

}  // namespace

std::string CacheDirectoryOf(const char *given)
{
    return DirectoryOf(given);
}

}  // namespace zelmo::fetch

// No exception leaves an export: a failure inside becomes an error code.
extern "C" int ZELMO_API zelmo_fetch(const char *url, const ZelmoFetchOptions *options, ZelmoFetchResult *result)
try {
    using namespace zelmo::fetch;
    const Clock::time_point start = Clock::now();
    if (result == nullptr || result->size < sizeof(ZelmoFetchResult))
        return ZELMO_FETCH_E_OPTIONS;  // nowhere to say more
    ClearResult(result);
    std::string bodyPath, note;
    Error error;
    try {
        Settings settings;
        if (url == nullptr || url[0] == '\0') {
            error = Fail(ZELMO_FETCH_E_OPTIONS, url == nullptr ? "url is null" : "url is empty");
        } else if (error = ReadOptions(options, settings); error.code == ZELMO_FETCH_OK) {
            Fetch fetch(url, std::move(settings), result);
            error = fetch.Run();
            if (fetch.Stored())
                bodyPath = fetch.BodyPath();
            note = fetch.StaleReason();
        }
    } catch (const std::bad_alloc &) {
        error = Fail(ZELMO_FETCH_E_NO_MEMORY, "out of memory");
    }
    return Finish(result, error, bodyPath, note, start);
} catch (...) {
    if (result != nullptr && result->size >= sizeof(ZelmoFetchResult)) {
        result->outcome = ZELMO_FETCH_FAILED;
        result->error = ZELMO_FETCH_E_NO_MEMORY;
        result->body_path[0] = '\0';
        std::strcpy(result->error_text, "out of memory");
    }
    return ZELMO_FETCH_E_NO_MEMORY;
}

extern "C" const char *ZELMO_API zelmo_fetch_strerror(int error)
{
    switch (error) {
    case ZELMO_FETCH_OK: return "no error";
    case ZELMO_FETCH_E_OPTIONS: return "bad arguments or options";
    case ZELMO_FETCH_E_TRANSFER: return "the transfer failed";
    case ZELMO_FETCH_E_HTTP: return "the server's answer cannot be served";
    case ZELMO_FETCH_E_LOCKED: return "another fetch of the URL held the cache entry past the time limit";
    case ZELMO_FETCH_E_CORRUPT: return "the cache entry failed its check";
    case ZELMO_FETCH_E_CACHE_IO: return "the cache directory could not be read or written";
    case ZELMO_FETCH_E_NOT_CACHED: return "no complete cache entry";
    case ZELMO_FETCH_E_CANCELLED: return "cancelled by the progress callback";
    case ZELMO_FETCH_E_SINK: return "the body sink refused the body";
    case ZELMO_FETCH_E_DESTINATION: return "the destination could not be written";
    case ZELMO_FETCH_E_TOO_LARGE: return "the body is too large for the cache";
    case ZELMO_FETCH_E_NO_MEMORY: return "out of memory";
    default: return "unknown error";
    }
}

extern "C" const char *ZELMO_API zelmo_fetch_outcome_name(int outcome)
{
    switch (outcome) {
    case ZELMO_FETCH_FAILED: return "failed";
    case ZELMO_FETCH_FRESH_HIT: return "fresh hit";
    case ZELMO_FETCH_REVALIDATED: return "revalidated";
    case ZELMO_FETCH_REPLACED: return "replaced";
    case ZELMO_FETCH_RESUMED: return "resumed";
    case ZELMO_FETCH_SERVED_STALE: return "served stale";
    default: return "unknown outcome";
    }
}

extern "C" int ZELMO_API zelmo_cache_remove(const char *cacheDir, const char *url)
try {
    using namespace zelmo;
    if (url == nullptr || (cacheDir != nullptr && cacheDir[0] == '\0'))
        return ZELMO_FETCH_E_OPTIONS;
    const cache::EntryFiles files = cache::EntryFilesIn(fetch::DirectoryOf(cacheDir), url);
    const fetch::PartialFiles partial = fetch::PartialFilesOf(files);
    if (!platform::PathExists(files.header.c_str()) && !platform::PathExists(files.body.c_str()) &&
        !platform::PathExists(files.meta.c_str()) && !platform::PathExists(partial.meta.c_str()) &&
        !platform::PathExists(partial.body.c_str()))
        return ZELMO_FETCH_OK;  // nothing stored; no lock file is made for that
    platform::FileLock lock;
    std::string why;
    if (lock.Acquire(files.lock.c_str(), -1, why) != platform::FileLock::Result::Held)
        return ZELMO_FETCH_E_CACHE_IO;
    const bool dropped = cache::DropEntry(files);
    return fetch::DropPartial(partial) && dropped ? ZELMO_FETCH_OK : ZELMO_FETCH_E_CACHE_IO;
} catch (...) {
    return ZELMO_FETCH_E_NO_MEMORY;
}
