// Why a transfer failed, in plain words. The exports answer a failed
// transfer with 0 and no reason, so the tool asks libcurl itself: it only
// connects (a POST must not be sent twice) and reports libcurl's reason for
// the failure. (`zelmo get` has zelmo_fetch's own error text.)
#include <curl/curl.h>

#include <cstdlib>
#include <string>

#include "cli.h"
#include "terminal.h"

namespace cli {
namespace {

// Ends the transfer at the first body bytes: the status is known by then.
size_t StopAtBody(char *, size_t, size_t, void *)
{
    return 0;
}

std::string StatusText(long status, long redirects)
{
    std::string text = "the server answered HTTP " + std::to_string(status);
    if (redirects > 0)
        text += " after " + std::to_string(redirects) + " redirect" + (redirects == 1 ? "" : "s");
    return text;
}

// What a libcurl failure means, in the words a user knows.
std::string PlainWords(CURLcode code, long systemError)
{
    switch (code) {
    case CURLE_COULDNT_CONNECT:
        return systemError != 0 ? "cannot connect: " + SystemErrorText(systemError) : "cannot connect";
    case CURLE_COULDNT_RESOLVE_HOST:
        return "the host name was not resolved";
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "the proxy's name was not resolved";
    case CURLE_OPERATION_TIMEDOUT:
        return "timed out";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
        return "TLS refused";
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return "not a URL the library can fetch";
    case CURLE_GOT_NOTHING:
        return "the server closed the connection without an answer";
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        return "the connection broke off";
    default:
        return "the transfer failed";
    }
}

std::string Ask(const std::string &url, int timeout, bool connectOnly)
{
    static const bool started = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    CURL *curl = started ? curl_easy_init() : nullptr;
    if (curl == nullptr)
        return "libcurl cannot be started";
    char reason[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, reason);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, StopAtBody);
    if (timeout > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout));
    if (connectOnly)
        curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0, redirects = 0, systemError = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &systemError);
    curl_easy_cleanup(curl);
    if (status != 0)
        return StatusText(status, redirects);
    if (code == CURLE_OK)
        return {};
    const std::string detail = reason[0] != '\0' ? reason : curl_easy_strerror(code);
    return PlainWords(code, systemError) + " (" + detail + ")";
}

}  // namespace

std::string ConnectFailureReason(const std::string &url, int timeout)
{
    const std::string reason = Ask(url, timeout, true);
    return reason.empty() ? "the server closed the connection without an answer" : reason;
}

std::string AnswerStatus(const std::string &answer)
{
    // Header blocks of 1xx and redirect answers come first; the final
    // answer's block is the first of any other status.
    std::size_t at = 0;
    long status = 0, redirects = 0;
    while (answer.compare(at, 5, "HTTP/") == 0) {
        const std::size_t blank = answer.find(' ', at);
        if (blank == std::string::npos)
            break;
        status = std::strtol(answer.c_str() + blank + 1, nullptr, 10);
        const std::size_t end = answer.find("\r\n\r\n", at);
        if ((status / 100 != 1 && status / 100 != 3) || end == std::string::npos)
            break;
        redirects += status / 100 == 3;
        at = end + 4;
    }
    return status == 0 ? "the answer has no status line" : StatusText(status, redirects);
}

}  // namespace cli
