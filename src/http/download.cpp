// HttpDownload_SYNC: a GET into the download cache, revalidated with
// If-Modified-Since, the body handed to the caller from the entry's body
// file; and its placeholder twin.
#include "http/download.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "cache/cache.h"
#include "cache/editor.h"
#include "frame/diagnostic_log.h"
#include "frame/frame.h"
#include "http/curl_global.h"
#include "http/curl_handles.h"
#include "header/fields.h"
#include "http/response.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "zelmo.h"

namespace zelmo::http {
namespace {

// The status of a call: 0, or the system error codes ERROR_FILE_NOT_FOUND
// and ERROR_NOT_CONNECTED.
constexpr int kServed = 0;
constexpr int kFileNotFound = 2;
constexpr int kNotConnected = 2250;
// ERROR_NOT_ENOUGH_MEMORY in `errorCode`: the body did not fit in `buffer`.
constexpr int kBodyTooLong = 8;
// The entry's paths and their ".tmp" names share 260-byte name areas.
constexpr std::size_t kLongestEntryPath = cache::kPathArea - 1 - 4;
// Messages of the download go to the log at a level it does not record.
constexpr int kLogLevel = 0;

using platform::File;
using Part = cache::Editor::Part;

// libcurl's receive buffer and the body temporary's write buffer: large, so
// that a long body arrives in few reads and lands in few writes.
constexpr long kReceiveBuffer = 512 * 1024;
constexpr std::size_t kBodyWriteBuffer = 1 << 20;

// What the transfer has received. The header blocks are kept in memory; they
// reach the header temporary when the first body byte arrives (a progress
// display watching the temporaries then learns the length) or when the call
// ends in a way that keeps or commits the temporary. The body temporary is
// created on the first body byte; the header temporary before the transfer,
// except for a revalidation, where it waits for the first body byte or the
// end of an answer that is not a 304: a 304 touches no temporary at all.
struct Sink {
    HeaderBlocks blocks;          // every header block, in order of arrival
    cache::Editor *editor = nullptr;  // the entry's temporaries
    File headerFile;
    bool headerWritten = false;   // `header` is in the header temporary
    File bodyFile;
    bool bodyOpened = false;
    std::unique_ptr<char[]> bodyBuffer;
    bool bodyRefused = false;     // a temporary could not be created
    bool writeFailed = false;
};

bool WriteHeader(Sink &sink, std::string_view bytes)
{
    if (std::fwrite(bytes.data(), 1, bytes.size(), sink.headerFile.get()) != bytes.size()) {
        sink.writeFailed = true;
        return false;
    }
    return true;
}

// Creates a temporary; when its directory is missing, the directory chain
// is made and the creation tried once more.
File Create(cache::Editor &editor, Part part)
{
    File file = editor.Create(part);
    if (!file && frame::CreateDirectoriesOf(editor.Temporary(part).c_str()))
        file = editor.Create(part);
    return file;
}

// Creates the header temporary unless it is open already.
bool OpenHeader(Sink &sink)
{
    if (!sink.headerFile)
        sink.headerFile = Create(*sink.editor, Part::Header);
    return static_cast<bool>(sink.headerFile);
}

// Puts the headers so far into their temporary, once.
bool FlushHeader(Sink &sink)
{
    if (sink.headerWritten)
        return !sink.writeFailed;
    if (!OpenHeader(sink))
        return false;
    sink.headerWritten = true;
    return WriteHeader(sink, sink.blocks.text) && std::fflush(sink.headerFile.get()) == 0;
}

bool OpenBody(Sink &sink)
{
    if (!OpenHeader(sink)) {
        sink.bodyRefused = true;
        return false;
    }
    sink.bodyFile = Create(*sink.editor, Part::Body);
    if (!sink.bodyFile) {
        sink.bodyRefused = true;
        return false;
    }
    sink.bodyOpened = true;
    sink.bodyBuffer.reset(new (std::nothrow) char[kBodyWriteBuffer]);
    if (sink.bodyBuffer)
        std::setvbuf(sink.bodyFile.get(), sink.bodyBuffer.get(), _IOFBF, kBodyWriteBuffer);
    return FlushHeader(sink);
}

std::size_t HeaderCallback(char *data, std::size_t size, std::size_t count, void *userdata)
{
    auto *sink = static_cast<Sink *>(userdata);
    const std::size_t n = size * count;
    if (!sink->blocks.Add(data, n))
        return 0;
    // Lines after the body (trailers) follow the block into the file.
    if (sink->headerWritten && !WriteHeader(*sink, std::string_view(data, n)))
        return 0;
    return n;
}

std::size_t BodyCallback(char *data, std::size_t size, std::size_t count, void *userdata)
{
    auto *sink = static_cast<Sink *>(userdata);
    if (!sink->bodyFile && !OpenBody(*sink))
        return 0;
    return FileWriteCallback(data, size, count, sink->bodyFile.get());
}

// Hands the body file to the caller's buffer in one read, the rest of the
// buffer zero-filled, so that bytes after the data read as a NUL; where the
// body cannot be handed over, the whole buffer is zero-filled. Zeroing only
// what the body leaves free (rather than all of it first) is what the caller
// sees either way, without writing each byte twice.
void ServeBody(const std::string &bodyPath, HttpResponseBuffer *response)
{
    if (response->buffer == nullptr || response->capacity == 0)
        return;
    std::size_t held = 0;
    if (const File body{platform::OpenForReading(bodyPath.c_str())}) {
        std::setvbuf(body.get(), nullptr, _IONBF, 0);  // straight into the caller's buffer
        const long length = std::fseek(body.get(), 0, SEEK_END) == 0 ? std::ftell(body.get()) : -1;
        if (length >= 0 && static_cast<std::int32_t>(response->capacity) < length) {
            response->errorCode = kBodyTooLong;
            WriteDiagnosticLog(kLogLevel, "memory len not enough\n");
        } else if (length >= 0) {
            std::rewind(body.get());
            const std::size_t want = static_cast<std::size_t>(length);
            if (std::fread(response->buffer, 1, want, body.get()) == want) {
                response->length = static_cast<unsigned int>(length);
                held = want;
            }
        }
    }
    std::memset(response->buffer + held, 0, response->capacity - held);
}

struct Transfer {
    const char *url;
    HttpResponseBuffer *response;
    bool useCache;
    int timeout;
    const char *proxy;
    const char *proxyUserPwd;
};

// Steps after the easy handle exists; returns the status of the call.
int Download(CURL *c, const Transfer &t)
{
    HttpResponseBuffer *const response = t.response;
    // Only http and https: another scheme fails before the entry's files are
    // looked at or a temporary is made.
    if (!IsWebUrl(t.url)) {
        WriteDiagnosticLog(kLogLevel, "DownLoad Fail\n");
        return kFileNotFound;
    }
    curl_easy_setopt(c, CURLOPT_URL, t.url);
    if (t.timeout != 0)
        curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(t.timeout));
    SetSharedOptions(c, t.proxy);
    if (t.proxy != nullptr && t.proxyUserPwd != nullptr) {
        curl_easy_setopt(c, CURLOPT_PROXYUSERPWD, t.proxyUserPwd);
        curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
    curl_easy_setopt(c, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &BodyCallback);
    // The host's threads may download at once: no signals for time-outs.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);

    // The entry's files. The caller's `filePath` names the body file; it is
    // only read here, so the record keeps whatever the caller set.
    const cache::EntryPaths entry = cache::EntryPathsOf(t.url);
    const std::string body = response->filePath != nullptr ? std::string(response->filePath) : entry.body;
    if (entry.header.size() > kLongestEntryPath || body.size() > kLongestEntryPath) {
        WriteDiagnosticLog(kLogLevel, "create file fail\n");
        return kFileNotFound;  // refused: the names would not fit their areas
    }

    // The entry is looked at once; a 304 relies on what was seen here.
    bool lookedAt = false;
    cache::StoredEntry stored;
    Slist conditional;
    if (t.useCache) {
        stored = cache::LookAtEntry(entry.header, body);
        lookedAt = true;
        const std::string line = stored.complete ? ConditionalLine(stored.header) : std::string();
        if (!line.empty()) {
            conditional.reset(curl_slist_append(nullptr, line.c_str()));
            curl_easy_setopt(c, CURLOPT_HTTPHEADER, conditional.get());
        }
    }

    // A revalidation most likely ends in a 304 without a body: libcurl's
    // default receive buffer spares it the large one's allocation and page
    // faults, which cost more than the whole 304.
    if (!conditional)
        curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBuffer);

    // Created new, never through a link; readable by others as they always
    // were (0666 less the umask): the download cache beside the executable
    // is the host's, and its hosts may rely on that.
    cache::Editor editor(cache::DownloadEntryFiles(body, entry.header), cache::Editor::Names::Download, true);
    Sink sink;
    sink.editor = &editor;
    if (!conditional && !OpenHeader(sink)) {
        WriteDiagnosticLog(kLogLevel, "create file fail\n");
        return kFileNotFound;
    }
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &HeaderCallback);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);

    const CURLcode result = curl_easy_perform(c);
    conditional.reset();
    WriteDiagnosticLog(kLogLevel, "Perform result is %d %d\n", static_cast<int>(result),
                       static_cast<int>(reinterpret_cast<std::intptr_t>(c)));
    const std::string_view final = std::string_view(sink.blocks.text).substr(sink.blocks.finalStart);

    if (result == CURLE_OK && header::StartsWithNotModified(final)) {
        // Nothing of a 304 goes to the disk; the temporaries that an
        // earlier call left behind are deleted.
        sink.headerFile.reset();
        sink.bodyFile.reset();
        editor.Abort();
        // Not modified serves the entry; without a complete entry there is
        // nothing to serve, and the call fails with the entry left as it is.
        if (!lookedAt)
            stored = cache::LookAtEntry(entry.header, body);
        if (!stored.complete) {
            WriteDiagnosticLog(kLogLevel, "DownLoad Fail\n");
            return kFileNotFound;
        }
        SetFileTimeToNow(body.c_str());
        ServeBody(body, response);
        return kServed;
    }

    // A stream that cannot be flushed lost bytes: the transfer did not land.
    bool closed = !sink.bodyFile || std::fclose(sink.bodyFile.release()) == 0;
    if (sink.bodyRefused) {
        sink.headerFile.reset();
        WriteDiagnosticLog(kLogLevel, "create file fail\n");
        return kFileNotFound;
    }
    if (result != CURLE_OK) {
        // What arrived stays in the temporaries, every header block included.
        FlushHeader(sink);
        sink.headerFile.reset();
        if (!sink.bodyOpened)
            editor.Create(Part::Body);
        WriteDiagnosticLog(kLogLevel, "Perform fail\n");
        return kNotConnected;
    }
    if (!OpenHeader(sink)) {
        WriteDiagnosticLog(kLogLevel, "create file fail\n");
        return kFileNotFound;
    }
    // Only the final response's header block belongs with the body.
    if (sink.headerWritten && sink.blocks.finalStart > 0) {
        closed = std::fclose(sink.headerFile.release()) == 0 && closed;
        sink.headerFile = editor.Create(Part::Header);
        sink.headerWritten = false;
    }
    if (sink.headerFile && !sink.headerWritten) {
        sink.headerWritten = true;
        WriteHeader(sink, final);
    }
    closed = sink.headerFile && std::fclose(sink.headerFile.release()) == 0 && !sink.writeFailed && closed;
    if (!closed) {
        WriteDiagnosticLog(kLogLevel, "Perform fail\n");
        return kNotConnected;
    }

    std::string written;
    if (!ReadWholeFile(editor.Temporary(Part::Header).c_str(), written)) {
        if (!sink.bodyOpened)
            editor.Create(Part::Body);
        WriteDiagnosticLog(kLogLevel, "not read the header\n");
        return kFileNotFound;
    }

    if (header::StartsWithOkStatus(written)) {
        // A body that never came is an empty one.
        if (!sink.bodyOpened && !editor.Create(Part::Body)) {
            editor.Abort();
            WriteDiagnosticLog(kLogLevel, "DownLoad Fail\n");
            return kFileNotFound;
        }
        if (editor.Commit() == cache::Committed::Both) {
            ServeBody(body, response);
            return kServed;
        }
    } else {
        // Any other answer: its header becomes the header file.
        editor.CommitHeader();
    }
    editor.Abort();  // what did not become the entry's
    WriteDiagnosticLog(kLogLevel, "DownLoad Fail\n");
    return kFileNotFound;
}

// The record after a failed call.
void ClearRecord(HttpResponseBuffer *response)
{
    response->length = 0;
    if (response->buffer != nullptr) {
        std::memset(response->buffer, 0, response->capacity);
        response->rawLength = 0;
    }
}

}  // namespace

std::size_t FileWriteCallback(char *data, std::size_t size, std::size_t count, void *userdata)
{
    return std::fwrite(data, size, count, static_cast<std::FILE *>(userdata));
}

bool ReadWholeFile(const char *path, std::string &text)
{
    try {
        std::optional<std::string> whole = platform::ReadSmallFile(path, SIZE_MAX);
        if (!whole || whole->empty())
            return false;
        whole->resize(std::strlen(whole->c_str()));
        text = std::move(*whole);
        return true;
    } catch (...) {
        return false;
    }
}

bool SetFileTimeToNow(const char *path)
{
    return platform::SetLastWriteTimeToNow(path);
}

std::string ConditionalLine(const std::string &stored)
{
    const std::size_t field = header::FindFieldName(stored, "Last-Modified:");
    if (field == std::string::npos)
        return {};
    const std::size_t colon = stored.find(':', field);
    const std::size_t end = stored.find_first_of("\r\n", colon);
    if (end == std::string::npos)
        return {};
    const std::string value = stored.substr(colon + 1, end - colon - 1);
    // A value that is not plain text would make the line something else.
    if (header::HasControl(value, header::Tab::Text))
        return {};
    return "If-Modified-Since: " + value;
}

}  // namespace zelmo::http

extern "C" bool ZELMO_API HttpDownload_SYNC(const char *url, HttpResponseBuffer *response, bool useCache,
                                            int timeout, const char *proxy, const char *proxyUserPwd)
{
    using namespace zelmo;
    using namespace zelmo::http;
    if (url == nullptr || response == nullptr)
        return false;
    int status = kFileNotFound;
    try {
        WriteDiagnosticLog(kLogLevel, "%s\n", url);
        EnsureCurlGlobal();
        const Easy curl(curl_easy_init());
        if (!curl) {
            WriteDiagnosticLog(kLogLevel, "Perform complete %d\n", 0);
            return false;
        }
        response->length = 0;
        response->errorCode = 0;
        // The buffer is zero-filled where the call ends: around the body it
        // hands over, or wholly on failure.
        if (response->buffer != nullptr)
            WriteDiagnosticLog(kLogLevel, "http data len is %d\n", static_cast<int>(response->capacity));
        status = Download(curl.get(), {url, response, useCache, timeout, proxy, proxyUserPwd});
    } catch (...) {
        status = kFileNotFound;  // any failure inside ends the call with 0
    }
    WriteDiagnosticLog(kLogLevel, "Perform complete %d\n", status);
    if (status != kServed)
        ClearRecord(response);
    return status == kServed;
}

extern "C" int ZELMO_API HttpDownload_NoSYNC(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)
{
    return 1;
}
