#pragma once

namespace zelmo::http {

// Initialises libcurl for the whole process (curl_global_init with
// CURL_GLOBAL_ALL) on the first call; later and concurrent calls wait for
// that first one and return. libcurl is never cleaned up again: hosts may
// unload and reload the library, and a second curl_global_init after a
// cleanup is not safe while other threads of the host use libcurl.
void EnsureCurlGlobal();

}  // namespace zelmo::http
