// One fetch of a URL through the cache, as a sequence of steps that its
// driver runs: zelmo_fetch runs one fetch from start to end, the batch
// (zelmo_fetch_many) many at once, each step returning when the fetch
// waits for something — its entry's lock, or a transfer.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "cache/editor.h"
#include "cache/entry.h"
#include "cache/metadata.h"
#include "fetch/answer.h"
#include "fetch/options.h"
#include "fetch/partial.h"
#include "fetch/plan.h"
#include "fetch/pool.h"
#include "fetch/result.h"
#include "fetch/transfer.h"
#include "platform/platform.h"

namespace zelmo::fetch {

// What a fetch waits for when a step returns.
enum class Step {
    Done,      // nothing: the error and the outcome are final
    Lock,      // its entry's lock, which another fetch holds: TryLock again
    Transfer,  // a transfer: Begin it, run it to its end, then Answered
};

// A call of zelmo_fetch, or one URL of a batch.
class Fetch {
public:
    using Clock = std::chrono::steady_clock;

    Fetch(const char *url, Settings s);

    // The first step: a fresh hit that needs no lock is served; otherwise
    // the entry's lock is taken — waited for within the time limit when
    // `wait`, else tried once.
    Step Start(bool wait);
    // Step::Lock: the lock tried once more; past the time limit the fetch
    // fails with ZELMO_FETCH_E_LOCKED.
    Step TryLock();
    // Step::Transfer: the transfer set up, on the lease's connections.
    // Throws std::bad_alloc.
    Transfer &Begin(const pool::Lease &lease);
    // The transfer begun last has finished (Transfer::Finish).
    Step Answered();
    // Ends a fetch that waits for its lock or has not started.
    void Abandon(Error error);

    const Error &Failed() const { return error_; }
    const Outcome &Done() const { return done_; }
    const std::string &BodyPath() const { return files_.body; }
    // Milliseconds left of the time limit; -1 without one.
    int LeftMs() const;

private:
    Step Finished(Error e)
    {
        error_ = std::move(e);
        transfer_.reset();
        editor_.reset();
        use_.Release();
        lock_.Release();
        return Step::Done;
    }
    Step Locked();
    Step Proceed(plan::Next next);
    plan::Entry LookUnderLock(const cache::Look &before);
    Error Lock(bool looked);
    plan::Answer AnswerOf(plan::Request sent) const;
    void Partial(plan::PartialBody what);
    Error Serve(int outcome, const std::string *header = nullptr);
    bool Announce(std::string_view header, std::int64_t requestTime, std::int64_t responseTime);
    Error ReleaseHeld();
    Error StatusServed(Error e, int status);
    cache::EntryMeta MetaOf(const std::string &header, std::int64_t length, std::uint64_t digest) const;
    Error Store();
    Error Pass(bool dropEntry);
    Error Refresh();
    Error CommitResumed();
    Error Failure(const plan::Next &next) const;
    void KeepUnderLimit();

    std::string url_;
    Settings s_;
    cache::EntryFiles files_;
    plan::Call call_;
    Clock::time_point start_ = Clock::now();
    std::optional<Clock::time_point> deadline_;
    std::int64_t now_;
    bool looked_ = false;     // the entry was looked at without the lock
    cache::Look before_;      // the entry as it stood while another fetch held it
    platform::FileLock lock_;
    platform::UseLock use_;   // shared while the entry is served (see cache::RecordUse)
    cache::Look stored_;      // the entry as looked at
    cache::Checked checked_;  // its body's check
    plan::Entry entry_;       // the plan's view of it
    std::optional<fetch::Partial> partial_;
    plan::Request sent_ = plan::Request::None;
    std::unique_ptr<cache::Editor> editor_;  // the last request's temporaries
    std::unique_ptr<Transfer> transfer_;
    Received r_;                             // the last request's answer
    Announcer announcer_;                    // the host's answer callback
    Outcome done_;
    Error error_;
};

}  // namespace zelmo::fetch
