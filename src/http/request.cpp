// HttpRequest_SYNC: one POST of a text body, the answer in the caller's
// record, an optional trace file; and its placeholder twin.
#include <cstdio>
#include <cstring>

#include "http/curl_global.h"
#include "http/curl_handles.h"
#include "http/response.h"
#include "platform/platform.h"
#include "zelmo.h"

namespace {

using namespace zelmo::http;

// Opens the trace file in text mode for appending and writes the entry's
// head: a line feed, the URL and another line feed. Null when it cannot be
// opened; the request then goes ahead without a trace.
std::FILE *OpenTrace(const char *path, const char *url)
{
    std::FILE *trace = zelmo::platform::OpenFile(path, "a+");
    if (trace != nullptr) {
        std::fputc('\n', trace);
        std::fwrite(url, 1, std::strlen(url), trace);
        std::fputc('\n', trace);
    }
    return trace;
}

}  // namespace

extern "C" int ZELMO_API HttpRequest_SYNC(const char *url, const char *postData, HttpResponseBuffer *response,
                                          int timeout, const char *proxy, const char *proxyUserPwd)
try {
    if (url == nullptr || postData == nullptr || response == nullptr)
        return 0;
    EnsureCurlGlobal();
    const Easy curl(curl_easy_init());
    if (!curl)
        return 0;

    response->length = 0;
    response->errorCode = 0;
    if (response->buffer != nullptr)
        std::memset(response->buffer, 0, response->capacity);
    // Only http and https: another scheme fails as a refused transfer, before
    // the trace file is opened or anything is sent.
    if (!IsWebUrl(url))
        return 0;
    if (response->filePath != nullptr)
        response->file = OpenTrace(response->filePath, url);

    CURL *const c = curl.get();
    curl_easy_setopt(c, CURLOPT_HEADER, 1L);
    curl_easy_setopt(c, CURLOPT_URL, url);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, postData);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, response);
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(postData)));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &ResponseWriteCallback);
    if (timeout != 0)
        curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(timeout));
    SetSharedOptions(c, proxy);
    if (proxy != nullptr && proxyUserPwd != nullptr) {
        curl_easy_setopt(c, CURLOPT_PROXYUSERPWD, proxyUserPwd);
        curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
    Slist headers = NoExpectHeader();
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    // The host's threads may run requests at once: no signals for time-outs.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    FinalResponse final(response);
    final.Watch(c);

    const CURLcode result = curl_easy_perform(c);
    headers.reset();
    if (response->file != nullptr) {
        std::fclose(response->file);
        response->file = nullptr;
    }
    if (response->buffer == nullptr)
        return result == CURLE_OK ? 1 : 0;
    if (!final.TakeOkBody())
        return 0;
    return result == CURLE_OK ? 1 : 0;
} catch (...) {
    return 0;  // nothing that follows the trace file's opening throws
}

extern "C" int ZELMO_API HttpRequest_NoSYNC(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)
{
    return 1;
}
