// zelmo_fetch_many: many fetches at once on the caller's thread. Each URL
// is a Fetch of its own (fetch.h), run step by step: all start at once (a
// fresh hit is served then and there), those waiting for their entry's lock
// try it again on every turn of the loop, and their transfers run together
// on one multi handle of the pool, which multiplexes them over HTTP/2 or
// spreads them over connections of their own.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "fetch/fetch.h"
#include "fetch/options.h"
#include "fetch/pool.h"
#include "fetch/result.h"
#include "fetch/transfer.h"
#include "zelmo_fetch.h"

namespace zelmo::fetch {
namespace {

using Clock = std::chrono::steady_clock;

// How long the loop sleeps at most while a URL waits for its entry's lock:
// the lock is tried again on every turn.
constexpr int kLockRetryMs = 10;
// How long it sleeps at most while transfers run.
constexpr int kLongestWaitMs = 20;

class Batch;

// One URL of the batch.
struct Item {
    Batch *batch = nullptr;
    ZelmoFetchItem *host = nullptr;
    std::unique_ptr<Fetch> fetch;
    Transfer *transfer = nullptr;  // the one in the multi handle
    Clock::time_point start;
    std::int64_t received = 0;     // body bytes so far, for the batch's progress
    std::int64_t total = -1;       // its total, once told
    bool done = false;
};

class Batch {
public:
    Batch(ZelmoFetchItem *items, std::size_t count, const ZelmoFetchOptions *options)
        : items_(count), options_(options), unknown_(static_cast<std::int64_t>(count))
    {
        for (std::size_t i = 0; i < count; ++i) {
            items_[i].batch = this;
            items_[i].host = &items[i];
        }
        waiting_.reserve(count);
        spare_.reserve(count);
        if (options != nullptr && options->size >= sizeof(ZelmoFetchOptions)) {
            progress_ = options->progress;
            progressData_ = options->progress_data;
            if (options->max_host_connections > 0)
                hostConnections_ = options->max_host_connections;
        }
    }
    // Transfers still running (memory ran out on the way) leave the multi
    // handle before it goes back to the pool.
    ~Batch()
    {
        for (Item &item : items_)
            if (item.transfer != nullptr)
                curl_multi_remove_handle(lease_->Multi(), item.transfer->Easy());
        if (lease_)
            curl_multi_setopt(lease_->Multi(), CURLMOPT_MAX_HOST_CONNECTIONS, 0L);
    }

    int Run();

private:
    static int ZELMO_API OnProgress(void *data, std::int64_t received, std::int64_t total);
    void StartNext();
    void Take(Item &item, Step step);
    void Ended(Item &item, CURLcode code);
    void Complete(Item &item, const Error &error);
    void CancelAll();
    bool Busy() const { return active_ > 0 || next_ < items_.size(); }

    std::vector<Item> items_;
    const ZelmoFetchOptions *options_;
    std::unique_ptr<pool::Lease> lease_;
    std::size_t next_ = 0;        // the next item to start
    std::size_t active_ = 0;      // started and not done
    std::vector<Item *> waiting_;  // for their entry's lock
    std::vector<Item *> spare_;    // waiting_'s other half while the locks are tried again
    int hostConnections_ = ZELMO_FETCH_MANY_HOST_CONNECTIONS;
    bool cancelled_ = false;
    ZelmoFetchProgress progress_ = nullptr;
    void *progressData_ = nullptr;
    std::int64_t received_ = 0, totals_ = 0, unknown_;  // unknown_: items whose total is not known yet
};

// The batch's progress: each URL's transfer reports its own; the host hears
// the sums.
int ZELMO_API Batch::OnProgress(void *data, std::int64_t received, std::int64_t total)
{
    Item &item = *static_cast<Item *>(data);
    Batch &b = *item.batch;
    b.received_ += received - item.received;
    item.received = received;
    if (total >= 0) {
        if (item.total < 0)
            --b.unknown_;
        else
            b.totals_ -= item.total;
        b.totals_ += total;
        item.total = total;
    }
    if (b.progress_(b.progressData_, b.received_, b.unknown_ > 0 ? -1 : b.totals_) != 0)
        b.cancelled_ = true;
    return b.cancelled_ ? 1 : 0;
}

void Batch::Complete(Item &item, const Error &error)
{
    if (item.done)
        return;
    item.done = true;
    --active_;
    if (item.total < 0)
        --unknown_;
    const double seconds = std::chrono::duration<double>(Clock::now() - item.start).count();
    // Read in place: filling the result allocates nothing.
    static const Outcome none;
    static const std::string noPath;
    Finish(&item.host->result, error, item.fetch ? item.fetch->Done() : none, item.fetch ? item.fetch->BodyPath() : noPath,
           seconds);
    item.fetch.reset();  // its lock is released already; its memory goes now
}

// What a step of a URL's fetch asks for.
void Batch::Take(Item &item, Step step)
{
    for (;;) {
        switch (step) {
        case Step::Done:
            Complete(item, item.fetch->Failed());
            return;
        case Step::Lock:
            if (cancelled_) {
                item.fetch->Abandon(Fail(ZELMO_FETCH_E_CANCELLED, "the batch was cancelled"));
                step = Step::Done;
                continue;
            }
            waiting_.push_back(&item);  // the capacity was reserved: no allocation
            return;
        case Step::Transfer:
            try {
                if (cancelled_) {
                    item.fetch->Abandon(Fail(ZELMO_FETCH_E_CANCELLED, "the batch was cancelled"));
                    step = Step::Done;
                    continue;
                }
                if (!lease_) {
                    lease_ = std::make_unique<pool::Lease>();
                    curl_multi_setopt(lease_->Multi(), CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(hostConnections_));
                }
                Transfer &t = item.fetch->Begin(*lease_);
                curl_easy_setopt(t.Easy(), CURLOPT_PRIVATE, &item);
                if (!t.Next()) {
                    t.Finish();
                    step = item.fetch->Answered();
                    continue;
                }
                if (curl_multi_add_handle(lease_->Multi(), t.Easy()) != CURLM_OK)
                    throw std::bad_alloc();
                item.transfer = &t;
            } catch (const std::bad_alloc &) {
                item.fetch->Abandon(Fail(ZELMO_FETCH_E_NO_MEMORY, "out of memory"));
                step = Step::Done;
                continue;
            }
            return;
        }
    }
}

void Batch::StartNext()
{
    while (next_ < items_.size() && active_ < ZELMO_FETCH_MANY_ACTIVE) {
        Item &item = items_[next_++];
        item.start = Clock::now();
        ++active_;
        const char *url = item.host->url;
        Settings s;
        Error bad;
        if (url == nullptr || url[0] == '\0')
            bad = Fail(ZELMO_FETCH_E_OPTIONS, url == nullptr ? "url is null" : "url is empty");
        else if (!IsHttpUrl(url))
            bad = Fail(ZELMO_FETCH_E_OPTIONS, "url is not an http:// or https:// URL");
        else if (item.host->reserved != 0)
            bad = Fail(ZELMO_FETCH_E_OPTIONS, "item.reserved must be 0");
        else
            bad = ReadOptions(options_, s);
        if (bad.code != ZELMO_FETCH_OK) {
            Complete(item, bad);
            continue;
        }
        try {
            s.destination = item.host->destination;
            s.sink = item.host->sink;
            s.sinkData = item.host->sink_data;
            s.index = next_ - 1;
            if (progress_ != nullptr) {
                s.progress = &OnProgress;
                s.progressData = &item;
            }
            item.fetch = std::make_unique<Fetch>(url, std::move(s));
            Take(item, item.fetch->Start(false));
        } catch (const std::bad_alloc &) {
            if (item.fetch)
                item.fetch->Abandon(Fail(ZELMO_FETCH_E_NO_MEMORY, "out of memory"));
            Complete(item, Fail(ZELMO_FETCH_E_NO_MEMORY, "out of memory"));
        }
    }
}

// libcurl ended the request of an item's transfer: a redirect goes on,
// anything else is the fetch's to judge.
void Batch::Ended(Item &item, CURLcode code)
{
    Transfer &t = *item.transfer;
    curl_multi_remove_handle(lease_->Multi(), t.Easy());
    if (t.Ended(code) && t.Next() && curl_multi_add_handle(lease_->Multi(), t.Easy()) == CURLM_OK)
        return;
    t.Finish();
    item.transfer = nullptr;
    try {
        Take(item, item.fetch->Answered());
    } catch (const std::bad_alloc &) {
        item.fetch->Abandon(Fail(ZELMO_FETCH_E_NO_MEMORY, "out of memory"));
        Complete(item, item.fetch->Failed());
    }
}

// The host's progress asked to stop: every URL not done fails as cancelled,
// its cache as its fetch leaves it when cancelled.
void Batch::CancelAll()
{
    for (Item &item : items_) {
        if (item.done || !item.fetch)
            continue;
        if (item.transfer != nullptr) {
            item.transfer->Stop(ZELMO_FETCH_E_CANCELLED, "the progress callback cancelled the batch");
            Ended(item, CURLE_ABORTED_BY_CALLBACK);
        }
    }
    for (Item *item : waiting_)
        if (!item->done) {
            item->fetch->Abandon(Fail(ZELMO_FETCH_E_CANCELLED, "the batch was cancelled"));
            Complete(*item, item->fetch->Failed());
        }
    waiting_.clear();
    for (; next_ < items_.size(); ++next_) {
        Item &item = items_[next_];
        item.start = Clock::now();
        ++active_;
        Complete(item, Fail(ZELMO_FETCH_E_CANCELLED, "the batch was cancelled"));
    }
}

int Batch::Run()
{
    // Fresh hits are served here, before anything goes to the network.
    StartNext();
    while (Busy()) {
        if (cancelled_) {
            CancelAll();
            break;
        }
        CURLM *multi = lease_ ? lease_->Multi() : nullptr;
        bool ended = false;
        if (multi != nullptr) {
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg *msg = curl_multi_info_read(multi, &left)) {
                Item *item = nullptr;
                if (msg->msg == CURLMSG_DONE && curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &item) == CURLE_OK &&
                    item != nullptr) {
                    Ended(*item, msg->data.result);
                    ended = true;
                }
            }
        }
        // Locks held by other fetches, tried again.
        spare_.clear();
        spare_.swap(waiting_);
        for (Item *item : spare_) {
            try {
                Take(*item, item->fetch->TryLock());
            } catch (const std::bad_alloc &) {
                item->fetch->Abandon(Fail(ZELMO_FETCH_E_NO_MEMORY, "out of memory"));
                Complete(*item, item->fetch->Failed());
            }
        }
        StartNext();
        if (!Busy() || cancelled_)
            continue;
        // Storing what ended took time in which more may have come: libcurl
        // is asked again at once. It can also hold HTTP/2 frames it read
        // for one transfer without waking its poll for them (7.88 does):
        // the loop never waits long.
        if (ended)
            continue;
        const int sleepMs = waiting_.empty() ? kLongestWaitMs : kLockRetryMs;
        if (multi != nullptr)
            curl_multi_poll(multi, nullptr, 0, sleepMs, nullptr);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    }
    for (const Item &item : items_)
        if (item.host->result.error != ZELMO_FETCH_OK)
            return item.host->result.error;
    return ZELMO_FETCH_OK;
}

}  // namespace
}  // namespace zelmo::fetch

extern "C" int ZELMO_API zelmo_fetch_many(ZelmoFetchItem *items, size_t count, const ZelmoFetchOptions *options)
try {
    using namespace zelmo::fetch;
    if (count == 0)
        return ZELMO_FETCH_OK;
    if (items == nullptr)
        return ZELMO_FETCH_E_OPTIONS;
    for (size_t i = 0; i < count; ++i)
        if (items[i].size != sizeof(ZelmoFetchItem) || items[i].result.size != sizeof(ZelmoFetchResult))
            return ZELMO_FETCH_E_OPTIONS;
    if (options != nullptr && options->size >= sizeof(ZelmoFetchOptions) &&
        (options->destination != nullptr || options->sink != nullptr)) {
        for (size_t i = 0; i < count; ++i) {
            ZelmoFetchResult &r = items[i].result;
            Finish(&r, Fail(ZELMO_FETCH_E_OPTIONS, "a batch takes each URL's destination and sink from its item: "
                                                   "options.destination and options.sink must be null"),
                   Outcome(), "", 0);
        }
        return ZELMO_FETCH_E_OPTIONS;
    }
    // Until its fetch finishes, each URL reads as failed for want of
    // memory: where memory runs out for the batch as a whole, that is what
    // every unfinished URL gets.
    for (size_t i = 0; i < count; ++i)
        FinishOutOfMemory(&items[i].result);
    return std::make_unique<Batch>(items, count, options)->Run();
} catch (...) {
    return ZELMO_FETCH_E_NO_MEMORY;
}
