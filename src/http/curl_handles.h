// Owners for the libcurl objects a call creates, so each is released on
// every path.
#pragma once

#include <cstring>
#include <memory>
#include <string>

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

// Redirects a transfer follows at most; one more ends it with an error.
inline constexpr long kMaxRedirects = 50;

// The only schemes a transfer speaks, for its URL and every redirect.
inline constexpr const char *kWebSchemes = "http,https";

// Options every transfer shares. HTTP/1.1 whatever libcurl could negotiate
// (its status lines are what the exports judge); http and https only, so
// that no URL or redirect reaches a file, an FTP or gopher server or any
// other protocol libcurl knows; a bounded chain of redirects; and the
// caller's proxy or none at all: an empty proxy keeps libcurl from taking
// one from http_proxy, HTTPS_PROXY or all_proxy.
inline void SetSharedOptions(CURL *curl, const char *proxy)
{
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kWebSchemes);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kWebSchemes);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy != nullptr ? proxy : "");
}

struct UrlCleanup {
    void operator()(CURLU *url) const { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlCleanup>;

// Whether libcurl takes `url` as an http or https URL: by the scheme it
// names, or, for a URL without one, by the scheme libcurl guesses from the
// host name ("ftp.example.org/x" is an FTP URL to it). The URL is read with
// the flags libcurl's own transfer reads it with. False for a URL libcurl
// cannot read, and when memory runs out: the exports refuse it before they
// open or send anything.
inline bool IsWebUrl(const char *url)
{
    const Url parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url, CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return false;
    char *scheme = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK)
        return false;
    const bool web = curl_strequal(scheme, "http") != 0 || curl_strequal(scheme, "https") != 0;
    curl_free(scheme);
    return web;
}

// The header blocks of a transfer as libcurl hands over their lines: each
// status line begins a new block (interim answers, followed redirects and
// proxy tunnel answers come before the final one), `finalStart` is where the
// last one begins. False when memory runs out.
struct HeaderBlocks {
    std::string text;
    std::size_t finalStart = 0;

    bool Add(const char *data, std::size_t n) noexcept
    {
        try {
            if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0)
                finalStart = text.size();
            text.append(data, n);
            return true;
        } catch (...) {
            return false;
        }
    }
};

}  // namespace zelmo::http
