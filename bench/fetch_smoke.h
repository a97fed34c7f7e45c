// zelmo_fetch's pool and zelmo_fetch_many against the nginx of the download
// smoke run (fetch_smoke.cpp).
#pragma once

#include "download_sides.h"

namespace bench::download {

// Runs the pool and batch checks with a cache in `cacheDir` (made and
// removed here), printing each step's time; false, with what failed
// printed, when any result or logged request is not as expected.
bool SmokeFetchPoolAndBatch(const Served &served, const fs::path &cacheDir);

}  // namespace bench::download
