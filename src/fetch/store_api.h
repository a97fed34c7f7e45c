// The cache directory of the fetch interface, as zelmo_fetch names it, for
// the exports that act on the cache as a whole (store_api.cpp).
#pragma once

#include <string>

namespace zelmo::fetch {

// `given` (null: the default cache) with its trailing separator, slashes
// written as the system's separator.
std::string CacheDirectoryOf(const char *given);

}  // namespace zelmo::fetch
