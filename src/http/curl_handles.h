// Owners for the libcurl objects a call creates, so each is released on
// every path.
#pragma once

#include <memory>

#include <curl/curl.h>

namespace zelmo::http {

struct EasyCleanup {
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct SlistCleanup {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;
using Slist = std::unique_ptr<curl_slist, SlistCleanup>;

// A header list holding only "Expect:": an entry without a value removes the
// header, so libcurl never announces a body and waits for 100 Continue.
inline Slist NoExpectHeader()
{
    return Slist(curl_slist_append(nullptr, "Expect:"));
}

}  // namespace zelmo::http
