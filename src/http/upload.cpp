// HttpUpload_SYNC: one file posted as a two-part multipart form; and its
// placeholder twin.
#define CURL_DISABLE_DEPRECATION  // the form interface is the one this upload is defined with
#include <memory>

#include "frame/frame.h"
#include "http/curl_global.h"
#include "http/curl_handles.h"
#include "http/response.h"
#include "zelmo.h"

namespace {

using namespace zelmo::http;

struct FormCleanup {
    void operator()(curl_httppost *form) const { curl_formfree(form); }
};
using Form = std::unique_ptr<curl_httppost, FormCleanup>;

// The form: "file1" carrying the file (libcurl reads it during the
// transfer), then "submit" carrying the text "send".
Form BuildForm(const char *uploadPath)
{
    curl_httppost *first = nullptr;
    curl_httppost *last = nullptr;
    curl_formadd(&first, &last, CURLFORM_COPYNAME, "file1", CURLFORM_FILE, uploadPath, CURLFORM_END);
    curl_formadd(&first, &last, CURLFORM_COPYNAME, "submit", CURLFORM_COPYCONTENTS, "send", CURLFORM_END);
    return Form(first);
}

}  // namespace

extern "C" int ZELMO_API HttpUpload_SYNC(const char *url, const char *uploadPath, HttpResponseBuffer *response,
                                         int connectTimeout, int timeout, uint32_t, uint32_t)
try {
    if (url == nullptr || uploadPath == nullptr)
        return 0;
    // Only http and https, the record untouched as on any refused call.
    if (!IsWebUrl(url))
        return 0;
    if (zelmo::IsFilePresent(uploadPath) == -1)
        return 0;
    EnsureCurlGlobal();
    const Form form = BuildForm(uploadPath);
    const Easy curl(curl_easy_init());
    const Slist headers = NoExpectHeader();
    if (!curl)
        return 0;

    CURL *const c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_HTTPPOST, form.get());
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    SetSharedOptions(c, nullptr);
    if (timeout != 0)
        curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(timeout));
    if (connectTimeout != 0)
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout));
    if (response != nullptr) {
        curl_easy_setopt(c, CURLOPT_WRITEDATA, response);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &ResponseWriteCallback);
    }
    curl_easy_setopt(c, CURLOPT_HEADER, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    FinalResponse final(response);
    if (response != nullptr)
        final.Watch(c);

    const CURLcode result = curl_easy_perform(c);
    // A 200 answer counts even when the transfer broke off after it.
    if (response != nullptr && response->buffer != nullptr)
        return final.TakeOkBody() ? 1 : 0;
    return result == CURLE_OK ? 1 : 0;
} catch (...) {
    return 0;  // no exception leaves an export
}

extern "C" int ZELMO_API HttpUpload_NoSYNC(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)
{
    return 0;
}
