#include "http/curl_global.h"

#include <curl/curl.h>

#include "platform/platform.h"

namespace zelmo::http {

void EnsureCurlGlobal()
{
    static constinit platform::OnceFlag once;
    platform::RunOnce(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

}  // namespace zelmo::http
