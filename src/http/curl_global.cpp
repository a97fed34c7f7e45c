#include "http/curl_global.h"

#include <curl/curl.h>

#include <mutex>

namespace zelmo::http {

void EnsureCurlGlobal()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

}  // namespace zelmo::http
