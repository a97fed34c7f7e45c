// HttpDownload_SYNC: a GET into the download cache, revalidated with
// If-Modified-Since, the body handed to the caller from the entry's body
// file; and its placeholder twin.
#include "http/download.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>

#include "cache/cache.h"
#include "frame/diagnostic_log.h"
#include "frame/frame.h"
#include "http/curl_global.h"
#include "http/curl_handles.h"
#include "http/response.h"
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

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool IsPresent(const std::string &path)
{
    return IsFilePresent(path.c_str()) == 1;
}

void DeleteIfPresent(const std::string &path)
{
    if (IsPresent(path))
        platform::DeleteFileAt(path.c_str());
}

// The header temporary, fed line by line by libcurl's header function. Every
// status line begins a new header block: interim answers, followed redirects
// and proxy tunnel answers come before the final response's block.
struct HeaderSink {
    std::FILE *file = nullptr;
    std::uint64_t written = 0;
    std::uint64_t finalStart = 0;  // where the last block begins in the file
};

std::size_t HeaderCallback(char *data, std::size_t size, std::size_t count, void *userdata)
{
    auto *sink = static_cast<HeaderSink *>(userdata);
    const std::size_t n = size * count;
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0)
        sink->finalStart = sink->written;
    const std::size_t items = FileWriteCallback(data, size, count, sink->file);
    sink->written += items * size;
    // A complete header block goes to the disk at once: whoever watches the
    // temporary (a progress display) learns the length while the body arrives.
    if (n == 2 && std::memcmp(data, "\r\n", 2) == 0)
        std::fflush(sink->file);
    return items * size;
}

// Leaves only the bytes from `start` on in the file `path`.
bool KeepFrom(const std::string &path, std::uint64_t start)
{
    std::string whole;
    {
        const File in(platform::OpenFile(path.c_str(), "rb"));
        if (!in)
            return false;
        char chunk[8192];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, in.get())) > 0)
            whole.append(chunk, got);
        if (std::ferror(in.get()) || start > whole.size())
            return false;
    }
    File out(platform::OpenFile(path.c_str(), "wb"));
    if (!out)
        return false;
    const std::size_t rest = whole.size() - static_cast<std::size_t>(start);
    const bool written = std::fwrite(whole.data() + start, 1, rest, out.get()) == rest;
    return std::fclose(out.release()) == 0 && written;
}

// Hands the body file to the caller's buffer. `buffer` is still all zeros
// from the start of the call, so bytes after the data read as a NUL.
void ServeBody(const std::string &bodyPath, HttpResponseBuffer *response)
{
    if (!IsPresent(bodyPath) || response->buffer == nullptr || response->capacity == 0)
        return;
    std::ifstream body(bodyPath, std::ios::binary);
    if (!body.is_open())
        return;
    body.seekg(0, std::ios::end);
    const std::streamoff length = body.tellg();
    if (!body || length < 0)
        return;
    if (static_cast<std::int32_t>(response->capacity) < length) {
        response->errorCode = kBodyTooLong;
        WriteDiagnosticLog(kLogLevel, "memory len not enough\n");
        return;
    }
    body.seekg(0, std::ios::beg);
    body.read(response->buffer, static_cast<std::streamsize>(length));
    if (body.gcount() == length)
        response->length = static_cast<unsigned int>(length);
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
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &FileWriteCallback);
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
    cache::CreateDirectoriesOf(entry.header.c_str());

    Slist conditional;
    if (t.useCache && IsPresent(entry.header) && IsPresent(body) && cache::IsEntryComplete(t.url, body.c_str())) {
        std::string stored;
        if (ReadWholeFile(entry.header.c_str(), stored)) {
            const std::string line = ConditionalLine(stored);
            if (!line.empty()) {
                conditional.reset(curl_slist_append(nullptr, line.c_str()));
                curl_easy_setopt(c, CURLOPT_HTTPHEADER, conditional.get());
            }
        }
    }
    cache::CreateDirectoriesOf(body.c_str());

    const std::string headerTemp = entry.header + ".tmp";
    const std::string bodyTemp = body + ".tmp";
    File headerFile(platform::OpenFile(headerTemp.c_str(), "wb"));
    File bodyFile(platform::OpenFile(bodyTemp.c_str(), "wb"));
    if (!headerFile || !bodyFile) {
        WriteDiagnosticLog(kLogLevel, "create file fail\n");
        return kFileNotFound;
    }
    HeaderSink sink;
    sink.file = headerFile.get();
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &HeaderCallback);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, bodyFile.get());

    const CURLcode result = curl_easy_perform(c);
    conditional.reset();
    WriteDiagnosticLog(kLogLevel, "Perform result is %d %d\n", static_cast<int>(result),
                       static_cast<int>(reinterpret_cast<std::intptr_t>(c)));
    // A stream that cannot be flushed lost bytes: the transfer did not land.
    const bool bodyClosed = std::fclose(bodyFile.release()) == 0;
    const bool headerClosed = std::fclose(headerFile.release()) == 0;
    if (result != CURLE_OK || !bodyClosed || !headerClosed) {
        WriteDiagnosticLog(kLogLevel, "Perform fail\n");
        return kNotConnected;
    }

    // Only the final response's header block belongs with the body.
    std::string header;
    if ((sink.finalStart > 0 && !KeepFrom(headerTemp, sink.finalStart)) ||
        !ReadWholeFile(headerTemp.c_str(), header)) {
        WriteDiagnosticLog(kLogLevel, "not read the header\n");
        return kFileNotFound;
    }

    bool served = false;
    if (HasOkStatusLine(header.c_str())) {
        const cache::Committed committed = cache::CommitEntry(bodyTemp, body, headerTemp, entry.header);
        served = committed == cache::Committed::Both;
        if (committed == cache::Committed::Neither)
            platform::DeleteFileAt(bodyTemp.c_str());
        if (!served)
            platform::DeleteFileAt(headerTemp.c_str());
    } else if (header.compare(0, 12, "HTTP/1.1 304") == 0 || header.compare(0, 12, "HTTP/1.0 304") == 0) {
        DeleteIfPresent(bodyTemp);
        DeleteIfPresent(headerTemp);
        // Not modified serves the entry; without a complete entry there is
        // nothing to serve, and the call fails with the entry left as it is.
        served = cache::IsEntryComplete(t.url, body.c_str());
        if (served)
            SetFileTimeToNow(body.c_str());
    } else {
        if (platform::ReplaceFileByRename(headerTemp.c_str(), entry.header.c_str()) != platform::Replaced::Done)
            platform::DeleteFileAt(headerTemp.c_str());
    }
    if (!served) {
        DeleteIfPresent(bodyTemp);
        DeleteIfPresent(headerTemp);
        WriteDiagnosticLog(kLogLevel, "DownLoad Fail\n");
        return kFileNotFound;
    }
    ServeBody(body, response);
    return kServed;
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
        const File file(platform::OpenFile(path, "rb"));
        if (!file)
            return false;
        std::string whole;
        char chunk[8192];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
            whole.append(chunk, got);
        if (std::ferror(file.get()) || whole.empty())
            return false;
        whole.resize(std::strlen(whole.c_str()));
        text = std::move(whole);
        return true;
    } catch (...) {
        return false;
    }
}

bool SetFileTimeToNow(const char *path)
{
    return platform::SetLastWriteTimeToNow(path);
}

std::string ConditionalLine(const std::string &header)
{
    const std::size_t field = cache::FindFieldName(header, "Last-Modified:");
    if (field == std::string::npos)
        return {};
    const std::size_t colon = header.find(':', field);
    const std::size_t end = header.find_first_of("\r\n", colon);
    if (end == std::string::npos)
        return {};
    const std::string value = header.substr(colon + 1, end - colon - 1);
    // A value that is not plain text would make the line something else.
    for (const char c : value)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
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
        if (response->buffer != nullptr) {
            WriteDiagnosticLog(kLogLevel, "http data len is %d\n", static_cast<int>(response->capacity));
            std::memset(response->buffer, 0, response->capacity);
        }
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
