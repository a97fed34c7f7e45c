// The connections zelmo_fetch keeps between calls: a pool of libcurl multi
// handles, each a set of connections that one call (or one batch) at a time
// borrows, and one share of DNS answers and TLS sessions for all of them.
//
// A multi handle rather than one connection cache shared by every thread:
// libcurl's share interface may hold connections, but does not support
// using them from several threads at once, while a multi handle's own cache
// needs no lock at all while its borrower runs. A call borrows the set
// returned last, so a host fetching from one thread always finds the
// connection its previous call left; threads fetching at the same time each
// get a set of their own. libcurl itself reuses a connection only for a
// transfer with the same proxy and TLS settings, and finds a connection the
// server closed dead before it reuses it, or retries once on a new one.
#pragma once

#include <curl/curl.h>

namespace zelmo::fetch::pool {

// Idle sets kept; one more returned is closed.
inline constexpr int kIdleSets = 4;
// Idle connections each set keeps (CURLMOPT_MAXCONNECTS).
inline constexpr long kIdlePerSet = 16;
// Seconds an idle connection may wait for reuse (CURLOPT_MAXAGE_CONN).
inline constexpr long kIdleSeconds = 118;

// A set of connections lent to its owner until it is destroyed.
class Lease {
public:
    // Borrows the set returned last, or a new one. Throws std::bad_alloc.
    Lease();
    ~Lease();
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;

    CURLM *Multi() const { return multi_; }
    // Sets `easy` up to take part: the shared DNS answers and TLS
    // sessions, and the idle connections' age limit.
    void Join(CURL *easy) const;

private:
    struct State *state_;
    CURLM *multi_;
};

// Closes every idle set's connections; when no set is lent, forgets the
// shared DNS answers and TLS sessions as well.
void CloseIdle();

}  // namespace zelmo::fetch::pool
