// The connections kept between calls (see pool.h).
#include "fetch/pool.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "http/curl_global.h"
#include "platform/platform.h"
#include "zelmo_fetch.h"

namespace zelmo::fetch::pool {

// The pool of one process. A child made by fork() finds its parent's state
// and starts one of its own: the parent's sets stay as they are, neither
// used nor closed (closing them would end the parent's TLS sessions on
// sockets the two processes share), and its locks, which a thread of the
// parent may have held at the fork, are never touched again.
struct State {
    unsigned long process = platform::ProcessId();
    platform::Lock lock;
    std::vector<CURLM *> idle;  // the set returned last at the back
    int lent = 0;
    CURLSH *share = nullptr;  // created with the first set, dropped by CloseIdle when none is lent
    platform::Lock shareLocks[CURL_LOCK_DATA_LAST];
};

namespace {

std::atomic<State *> current{nullptr};

State &StateOfThisProcess()
{
    State *s = current.load(std::memory_order_acquire);
    if (s != nullptr && s->process == platform::ProcessId())
        return *s;
    auto fresh = std::make_unique<State>();
    fresh->idle.reserve(kIdleSets);
    if (current.compare_exchange_strong(s, fresh.get(), std::memory_order_acq_rel))
        return *fresh.release();  // the state replaced, if any, is the parent's: left as it is
    return *s;  // another thread of this process was first
}

void LockShare(CURL *, curl_lock_data data, curl_lock_access, void *state)
{
    static_cast<State *>(state)->shareLocks[data].lock();
}

void UnlockShare(CURL *, curl_lock_data data, void *state)
{
    static_cast<State *>(state)->shareLocks[data].unlock();
}

CURLSH *NewShare(State &s)
{
    CURLSH *share = curl_share_init();
    if (share == nullptr)
        throw std::bad_alloc();
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &LockShare);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &UnlockShare);
    curl_share_setopt(share, CURLSHOPT_USERDATA, &s);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    return share;
}

CURLM *NewSet()
{
    CURLM *multi = curl_multi_init();
    if (multi == nullptr)
        throw std::bad_alloc();
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, kIdlePerSet);
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
    return multi;
}

// Closes the sets of this process's pool that no call holds, at unload
// where the platform lets a library still use its sockets then.
struct AtUnload {
    ~AtUnload()
    {
        if (platform::SocketsUsableAtUnload())
            CloseIdle();
    }
} atUnload;

}  // namespace

Lease::Lease() : state_(&StateOfThisProcess()), multi_(nullptr)
{
    http::EnsureCurlGlobal();
    State &s = *state_;
    {
        const std::lock_guard<platform::Lock> hold(s.lock);
        if (s.share == nullptr)
            s.share = NewShare(s);
        if (!s.idle.empty()) {
            multi_ = s.idle.back();
            s.idle.pop_back();
        }
        ++s.lent;
    }
    if (multi_ == nullptr) {
        try {
            multi_ = NewSet();
        } catch (...) {
            const std::lock_guard<platform::Lock> hold(s.lock);
            --s.lent;
            throw;
        }
    }
}

Lease::~Lease()
{
    State &s = *state_;
    CURLM *closing = multi_;
    {
        const std::lock_guard<platform::Lock> hold(s.lock);
        --s.lent;
        if (s.process == platform::ProcessId() && s.idle.size() < static_cast<std::size_t>(kIdleSets)) {
            s.idle.push_back(multi_);  // the capacity was reserved: no allocation
            closing = nullptr;
        }
    }
    if (closing != nullptr)
        curl_multi_cleanup(closing);
}

void Lease::Join(CURL *easy) const
{
    curl_easy_setopt(easy, CURLOPT_SHARE, state_->share);
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, kIdleSeconds);
}

void CloseIdle()
{
    State *s = current.load(std::memory_order_acquire);
    if (s == nullptr || s->process != platform::ProcessId())
        return;  // nothing of this process's own
    std::vector<CURLM *> closing, empty;
    empty.reserve(kIdleSets);
    CURLSH *share = nullptr;
    {
        const std::lock_guard<platform::Lock> hold(s->lock);
        closing.swap(s->idle);
        s->idle.swap(empty);
        if (s->lent == 0) {
            share = s->share;
            s->share = nullptr;
        }
    }
    for (CURLM *multi : closing)
        curl_multi_cleanup(multi);
    if (share != nullptr)
        curl_share_cleanup(share);
}

}  // namespace zelmo::fetch::pool

extern "C" void ZELMO_API zelmo_fetch_close_idle(void)
try {
    zelmo::fetch::pool::CloseIdle();
} catch (...) {
    // the idle sets stay: there was no memory to take them over
}
