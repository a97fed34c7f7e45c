// zelmo_fetch: a GET through a cache directory the host chooses. A call
// reads top to bottom: look at the entry, take its lock, ask the plan what
// to do (plan.h), act — serve, send a request through the transfer
// (transfer.h), store through the entry's editor (cache/editor.h) — and ask
// again, until the plan serves or fails; the result is filled once, at the
// end.
#include "zelmo_fetch.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "cache/cache.h"
#include "cache/editor.h"
#include "cache/entry.h"
#include "cache/metadata.h"
#include "cache/store.h"
#include "fetch/deliver.h"
#include "fetch/fetch.h"
#include "fetch/options.h"
#include "fetch/partial.h"
#include "fetch/plan.h"
#include "fetch/result.h"
#include "fetch/rules.h"
#include "fetch/transfer.h"
#include "frame/frame.h"
#include "header/fields.h"
#include "platform/platform.h"

namespace zelmo::fetch {
namespace {

using Clock = std::chrono::steady_clock;
using cache::Editor;
using Part = cache::Editor::Part;
using plan::Act;
using State = plan::Entry::State;

// The plan's view of an entry as looked at, for a request with the header
// lines `request`. An entry without metadata (one of HttpDownload_SYNC's)
// has no record of what its Vary selected, and is judged without.
plan::Entry EntryOf(const cache::Look &look, State state, const std::vector<std::string> &request)
{
    plan::Entry entry;
    entry.state = state;
    entry.header = look.header;
    entry.hasTimes = look.meta.has_value();
    if (look.meta) {
        entry.requestTime = look.meta->requestTime;
        entry.responseTime = look.meta->responseTime;
        // Most answers vary on nothing: no key stored, no Vary in the header.
        if (!look.meta->vary.empty() || header::FindFieldName(look.header, "Vary:") != std::string::npos)
            entry.varyMatches = VaryMatches(look.meta->vary, VaryKey(look.header, request));
    }
    return entry;
}

// The file a commit that stopped half-way could not replace.
const std::string &Unplaced(const cache::EntryFiles &files, cache::Committed committed)
{
    return committed == cache::Committed::MetaKept ? files.meta : files.header;
}

}  // namespace

Fetch::Fetch(const char *url, Settings s)
    : url_(url), s_(std::move(s)), files_(cache::EntryFilesIn(s_.cacheDir, url_)),
      call_{s_.mode,     s_.staleIfError, s_.noResume, s_.sink != nullptr, RequestCacheControl(s_.headers),
            s_.anyStatus, s_.ownRange},
      now_(static_cast<std::int64_t>(std::time(nullptr))), announcer_(s_.answer, s_.answerData, s_.index)
{
    if (s_.timeoutMs > 0)
        deadline_ = start_ + std::chrono::milliseconds(s_.timeoutMs);
}

int Fetch::LeftMs() const
{
    if (!deadline_)
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

Step Fetch::Start(bool wait)
{
    if (files_.body.size() >= ZELMO_FETCH_PATH_MAX - 32)
        return Finished(Fail(ZELMO_FETCH_E_OPTIONS, "the cache directory's path is too long"));

    // A complete entry that may be served as it is needs no lock: it is read
    // as it stands, and a commit meanwhile replaces files by rename only. A
    // body read for the host (to its sink or destination) is read under the
    // entry's use lock, shared: a prune, which takes it alone, skips the
    // entry meanwhile; where the prune holds it, the entry is about to go and
    // is looked at again under the entry's lock. A cache that cannot be
    // written, where no lock file can be made, is served as it stands. A host
    // given only the path reads the body after the call, which no lock of the
    // call covers: that hit takes none.
    looked_ = s_.mode == ZELMO_CACHE_ONLY || s_.mode == ZELMO_CACHE_PREFER_FRESH;
    if (looked_) {
        stored_ = before_ = cache::LookAt(files_, url_);
        const plan::Entry entry =
            EntryOf(before_, before_.complete ? State::Whole : before_.damaged ? State::Corrupt : State::None, s_.headers);
        const plan::Next next = plan::Before(call_, entry, now_);
        const bool readForHost = s_.sink != nullptr || s_.destination != nullptr;
        if (next.act == Act::ServeStored &&
            (!readForHost || use_.TryAcquire(files_.lock.c_str(), false, s_.shared) != platform::UseLock::Result::Busy)) {
            checked_ = cache::Check(before_, files_.body, s_.sink != nullptr);
            if (checked_.good) {
                Error e = Serve(ZELMO_FETCH_FRESH_HIT);
                if (e.code != ZELMO_FETCH_E_CACHE_IO)  // else the entry changed under the read: look again locked
                    return Finished(StatusServed(std::move(e), stored_.status));
            }
        }
        if (next.act == Act::Fail && entry.state == State::None)
            return Finished(Failure(next));
    }

    // Everything else happens under the entry's lock.
    if (!wait)
        return TryLock();
    Error locked = Lock(true);
    if (locked.code != ZELMO_FETCH_OK)
        return Finished(std::move(locked));
    return Locked();
}

Step Fetch::TryLock()
{
    Error locked = Lock(false);
    if (locked.code == ZELMO_FETCH_E_LOCKED && LeftMs() != 0)
        return Step::Lock;
    if (locked.code != ZELMO_FETCH_OK)
        return Finished(std::move(locked));
    return Locked();
}

Step Fetch::Locked()
{
    entry_ = plan::Entry();
    entry_.state = State::NotLookedAt;
    if (s_.mode != ZELMO_CACHE_NETWORK_ONLY)
        entry_ = LookUnderLock(before_);
    partial_ = LoadPartial(files_, url_, !stored_.complete);
    entry_.partial = partial_.has_value();
    return Proceed(plan::Before(call_, entry_, now_));
}

// Acts on what the plan says until the fetch is done or has a request to
// send.
Step Fetch::Proceed(plan::Next next)
{
    for (;;) {
        Partial(next.partial);
        switch (next.act) {
        case Act::ServeStored:
            return Finished(StatusServed(Serve(ZELMO_FETCH_FRESH_HIT), stored_.status));
        case Act::Send:
            sent_ = next.request;
            return Step::Transfer;
        case Act::Store:
        case Act::PassOn: {
            Error e = next.act == Act::Store ? Store() : Pass(false);
            if (e.code == ZELMO_FETCH_OK && next.error != ZELMO_FETCH_OK)
                e = Failure(next);
            return Finished(std::move(e));
        }
        case Act::Pass:
            return Finished(Pass(true));
        case Act::ServeAsStored:
            return Finished(StatusServed(Serve(ZELMO_FETCH_REVALIDATED), stored_.status));
        case Act::Refresh:
            return Finished(StatusServed(Refresh(), stored_.status));
        case Act::CommitResumed:
            return Finished(CommitResumed());
        case Act::ServeStale:
            if (entry_.state == State::NotLookedAt) {  // network-only: looked at now, the same answer judged again
                entry_ = LookUnderLock(stored_);
                next = plan::After(call_, entry_, AnswerOf(sent_), now_);
                next.partial = plan::PartialBody::Leave;  // done with the answer's first judgement
                continue;
            }
            if (Error e = Serve(ZELMO_FETCH_SERVED_STALE); e.code != ZELMO_FETCH_OK)
                return Finished(std::move(e));
            if (next.error == ZELMO_FETCH_E_TRANSFER)
                done_.httpStatus = 0;  // a cut answer is no final answer
            done_.note = Failure(next).text;
            return Finished(StatusServed({}, stored_.status));
        case Act::Fail:
            return Finished(Failure(next));
        }
    }
}

// One request: the host's lines, then the stored entry's validators or the
// partial's range.
Transfer &Fetch::Begin(const pool::Lease &lease)
{
    TransferRequest t;
    t.url = url_;
    t.route = s_.route;
    t.hostLines = s_.headers;
    t.timeLeftMs = LeftMs();
    t.keepNothing = call_.request.noStore || call_.ownRange;
    t.rangeAsked = call_.ownRange;
    if (sent_ == plan::Request::Conditional) {
        for (std::string &line : ConditionalLines(ValidatorsOf(stored_.header)))
            t.lines.push_back(std::move(line));
        t.expectBody = false;
    } else if (sent_ == plan::Request::Range) {
        t.lines.push_back("Range: bytes=" + std::to_string(partial_->have) + "-");
        t.lines.push_back("If-Range: " + partial_->ifRange);
        t.partial = &*partial_;
    }
    transfer_.reset();
    editor_ = std::make_unique<Editor>(files_, Editor::Names::PerCall, s_.shared);
    BodySteps steps{editor_.get(), s_.destination, s_.sink,       s_.sinkData,
                    s_.progress,   s_.progressData, &announcer_};
    r_ = Received();
    transfer_ = std::make_unique<Transfer>(std::move(t), steps, r_, lease);
    return *transfer_;
}

Step Fetch::Answered()
{
    transfer_.reset();
    done_.httpStatus = r_.status;
    done_.received = r_.received;
    return Proceed(plan::After(call_, entry_, AnswerOf(sent_), now_));
}

void Fetch::Abandon(Error error)
{
    Finished(std::move(error));
}

cache::EntryMeta Fetch::MetaOf(const std::string &header, std::int64_t length, std::uint64_t digest) const
{
    cache::EntryMeta meta = cache::MetaFor(url_, header, length, digest, r_.requestTime, r_.responseTime);
    meta.vary = VaryKey(header, s_.headers);
    return meta;
}

Error Fetch::Failure(const plan::Next &next) const
{
    return FailureOf(next, r_, r_.continued ? files_.partialBody : editor_ ? editor_->Temporary(Part::Body) : "");
}

// The entry under its lock, its body checked: one that fails its check is
// dropped, never served.
plan::Entry Fetch::LookUnderLock(const cache::Look &before)
{
    stored_ = cache::LookAt(files_, url_);
    if (stored_.complete || stored_.damaged) {
        checked_ = stored_.complete ? cache::Check(stored_, files_.body, s_.sink != nullptr) : cache::Checked();
        if (!checked_.good) {
            done_.flags |= ZELMO_FETCH_RESULT_DROPPED_CORRUPT;
            cache::DropEntry(files_);
            stored_ = cache::Look();
            return EntryOf(stored_, State::Corrupt, s_.headers);
        }
    }
    plan::Entry entry = EntryOf(stored_, stored_.complete ? State::Whole : State::None, s_.headers);
    // Stored by the fetch this one waited for.
    entry.changedWhileWaiting = (done_.flags & ZELMO_FETCH_RESULT_WAITED) != 0 && stored_.header != before.header;
    return entry;
}

// Takes the entry's lock: waits for it within the time limit when `wait`,
// else tries once. Where another fetch holds it, `before_` is the entry as
// it stood while that one ran (looked at now unless it was already), so
// that what it stores can be told from what was there. A cache directory
// that is missing shows as a lock file that cannot be made: it is made,
// and the lock taken again.
Error Fetch::Lock(bool wait)
{
    std::string why;
    platform::FileLock::Result got = lock_.Acquire(files_.lock.c_str(), 0, why, s_.shared);
    if (got == platform::FileLock::Result::Failed && !platform::PathExists(s_.cacheDir.c_str())) {
        if (!frame::CreateDirectoriesOf(s_.cacheDir.c_str()))
            return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot create the cache directory " + s_.cacheDir);
        got = lock_.Acquire(files_.lock.c_str(), 0, why, s_.shared);
    }
    if (got == platform::FileLock::Result::TimedOut && (done_.flags & ZELMO_FETCH_RESULT_WAITED) == 0) {
        done_.flags |= ZELMO_FETCH_RESULT_WAITED;
        if (!looked_ && s_.mode != ZELMO_CACHE_NETWORK_ONLY)
            before_ = cache::LookAt(files_, url_);
    }
    if (got == platform::FileLock::Result::TimedOut && wait)
        got = lock_.Acquire(files_.lock.c_str(), LeftMs(), why, s_.shared);
    switch (got) {
    case platform::FileLock::Result::Held:
        return {};
    case platform::FileLock::Result::TimedOut:
        return Fail(ZELMO_FETCH_E_LOCKED, "another fetch of this URL held its cache entry past the time limit");
    case platform::FileLock::Result::Failed:
        break;
    }
    return Fail(ZELMO_FETCH_E_CACHE_IO, why);
}

plan::Answer Fetch::AnswerOf(plan::Request sent) const
{
    plan::Answer a;
    a.sent = sent;
    a.status = r_.status;
    a.block = r_.Final();
    a.performed = r_.performed;
    a.stopped = r_.stopped;
    a.closed = r_.closed;
    a.started = r_.started;
    a.continued = r_.continued;
    a.rangeRefused = r_.rangeRefused;
    a.rangeComplete = r_.rangeComplete;
    a.received = r_.received;
    a.total = r_.total;
    a.sinkFed = r_.sinkFed;
    a.noStore = r_.status == 200 && SaysNoStore(r_.Final());
    a.storable = Storable(r_.Final());
    return a;
}

void Fetch::Partial(plan::PartialBody what)
{
    if (what == plan::PartialBody::Drop) {
        cache::DropPartial(files_);
        partial_.reset();
    } else if (what == plan::PartialBody::Keep) {
        KeepPartial(*editor_, url_, StoredBlock(r_.Final()), r_.requestTime, r_.responseTime);
    }
}

// Serves the entry as looked at and checked: to the sink, from the checked
// bytes where the check kept them; to the destination.
Error Fetch::Serve(int outcome, const std::string *header)
{
    // Entries of HttpDownload_SYNC's keep no times: their age is told from their Date alone.
    const std::int64_t requestTime = stored_.meta ? stored_.meta->requestTime : now_;
    const std::int64_t responseTime = stored_.meta ? stored_.meta->responseTime : now_;
    if (!Announce(header != nullptr ? *header : stored_.header, requestTime, responseTime))
        return Fail(ZELMO_FETCH_E_CANCELLED, "the answer callback cancelled the fetch");
    if (checked_.bytes) {
        if (s_.sink != nullptr && checked_.size > 0 && s_.sink(s_.sinkData, checked_.bytes.get(), checked_.size) != 0)
            return Fail(ZELMO_FETCH_E_SINK, "the body sink refused the body");
    } else if (Error e = StreamFile(files_.body, stored_.bodyLength, s_.sink, s_.sinkData); e.code != ZELMO_FETCH_OK) {
        return e;
    }
    if (Error e = Deliver(files_.body, s_.destination); e.code != ZELMO_FETCH_OK)
        return e;
    cache::RecordUse(files_, use_, s_.shared);
    done_.outcome = outcome;
    done_.served = stored_.bodyLength;
    return {};
}

// Hands the host the answer served (once a call): `header` dated by the
// times of its request and answer. False when the host asked to stop.
bool Fetch::Announce(std::string_view header, std::int64_t requestTime, std::int64_t responseTime)
{
    return announcer_.Announce(header, FreshnessOf(header, requestTime, responseTime, now_).age);
}

// The body bytes of a 5xx, held while the fetch judged it, to the sink now
// that the answer is served.
Error Fetch::ReleaseHeld()
{
    if (!Announce(WithoutHopByHop(r_.Final()), r_.requestTime, r_.responseTime))
        return Fail(ZELMO_FETCH_E_CANCELLED, "the answer callback cancelled the fetch");
    if (!r_.held.empty() && s_.sink != nullptr) {
        std::string held = std::move(r_.held);
        r_.held.clear();
        if (s_.sink(s_.sinkData, held.data(), held.size()) != 0)
            return Fail(ZELMO_FETCH_E_SINK, "the body sink refused the body");
    }
    return {};
}

// A stored answer served: a failure for the host when its status is not
// 2xx, unless the call takes any status.
Error Fetch::StatusServed(Error e, int status)
{
    if (e.code != ZELMO_FETCH_OK || s_.anyStatus || (status >= 200 && status <= 299))
        return e;
    done_.httpStatus = status;
    const std::string_view line = header::StatusLineOf(stored_.header);
    return Fail(ZELMO_FETCH_E_HTTP, "the stored answer served is " + std::string(line));
}

// An answer becomes the entry: body, header and metadata committed in that
// order. Under a limit, an entry that alone would not fit is served from its
// temporary and not kept, and the former entry, which the answer outdates,
// is dropped.
Error Fetch::Store()
{
    Editor &e = *editor_;
    if (Error held = ReleaseHeld(); held.code != ZELMO_FETCH_OK)
        return held;
    if (!r_.started && !e.Write(Part::Body, ""))  // an answer without a body has an empty one
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot create " + e.Temporary(Part::Body) + ": " + std::strerror(errno));
    const std::string header = cache::StoredHeaderOf(StoredBlock(r_.Final()), r_.received);
    // Another status than 200 has its header where the 28 exports never
    // look; their header file goes first, so that no state on the way
    // pairs it with the new body.
    const bool statusEntry = r_.status != 200;
    if (statusEntry) {
        e.ToStatusHeader();
        if (platform::PathExists(files_.header.c_str()) && !platform::DeleteFileAt(files_.header.c_str()))
            return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot remove " + files_.header);
    }
    const std::string meta = cache::FormatMeta(MetaOf(header, r_.received, r_.digest.Value()));
    done_.outcome = ZELMO_FETCH_REPLACED;
    done_.served = r_.received;
    // Metadata longer than a look reads back (a huge ETag or URL) would
    // leave the body unchecked: such an answer is served, not kept.
    bool keep = meta.size() <= cache::kMetaMaxBytes;
    if (keep && !e.Write(Part::Meta, meta))
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot write " + e.Temporary(Part::Meta));
    if (keep && !e.Write(Part::Header, header))
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot write " + e.Temporary(Part::Header));
    if (keep && s_.limited) {
        std::uint64_t size = platform::AllocatedBytes(files_.lock.c_str());
        for (const Part part : {Part::Body, Part::Meta, Part::Header})
            size += platform::AllocatedBytes(e.Temporary(part).c_str());
        keep = size <= s_.maxCacheBytes;
    }
    if (!keep) {
        cache::DropEntry(files_);
        if (Error d = Deliver(e.Temporary(Part::Body), s_.destination); d.code != ZELMO_FETCH_OK)
            return d;
        done_.flags |= ZELMO_FETCH_RESULT_NOT_STORED;
        KeepUnderLimit();
        return {};
    }
    switch (const cache::Committed committed = e.Commit()) {
    case cache::Committed::Both:
        // Leftovers of a partial without its record, which a revalidation
        // leaves in place (LoadPartial), go with the entry they were left beside;
        // so does the header of another status that a 200 replaced.
        cache::DropPartial(files_);
        if (!statusEntry && platform::PathExists(files_.statusHeader.c_str()))
            platform::DeleteFileAt(files_.statusHeader.c_str());
        break;
    case cache::Committed::HeaderKept:
    case cache::Committed::MetaKept:
        // The files in place no longer belong together: the entry is
        // dropped rather than left to be judged by them.
        cache::DropEntry(files_);
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot replace " + Unplaced(e.Files(), committed));
    case cache::Committed::Neither:
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot replace " + files_.body);
    }
    if (Error d = Deliver(files_.body, s_.destination); d.code != ZELMO_FETCH_OK)
        return d;
    KeepUnderLimit();
    return {};
}

// A 200 that says no-store, or one to a request that says it: served to the
// sink as it came and to the destination from its temporary beside it;
// nothing of it is kept in the cache. The URL's former entry, which the
// answer outdates, is dropped where `dropEntry` (the answer's no-store);
// the request's no-store leaves the cache as it was.
Error Fetch::Pass(bool dropEntry)
{
    if (Error held = ReleaseHeld(); held.code != ZELMO_FETCH_OK)
        return held;
    if (dropEntry)
        cache::DropEntry(files_);
    if (s_.destination != nullptr) {
        Editor &e = *editor_;
        if (!r_.started) {  // no body came: an empty one
            e.BodyAside(s_.destination);
            e.Write(Part::Body, "");
        }
        if (!e.PlaceAside())
            return Fail(ZELMO_FETCH_E_DESTINATION, std::string("cannot write the destination ") + s_.destination);
    }
    done_.flags |= ZELMO_FETCH_RESULT_NOT_STORED;
    done_.outcome = ZELMO_FETCH_REPLACED;
    done_.served = r_.received;
    return {};
}

// A 304: the stored header takes its fields; the body stays as it is. A
// refresh that cannot be written leaves the old header, which still
// describes the body: the entry is served all the same. One that would
// write the files as they are (the same fields, within the same second as
// the last one) is left out.
Error Fetch::Refresh()
{
    const std::string refreshed = StoredBlock(RefreshedHeader(stored_.header, r_.Final()));
    const cache::EntryMeta meta = MetaOf(refreshed, stored_.bodyLength, checked_.digest);
    if (refreshed != stored_.header || !stored_.meta || meta != *stored_.meta) {
        Editor &e = *editor_;
        if (stored_.statusEntry)
            e.ToStatusHeader();
        if (e.Write(Part::Meta, cache::FormatMeta(meta)) && e.Write(Part::Header, refreshed))
            e.Refresh();
    }
    if (!Announce(refreshed, r_.requestTime, r_.responseTime))
        return Fail(ZELMO_FETCH_E_CANCELLED, "the answer callback cancelled the fetch");
    return Serve(ZELMO_FETCH_REVALIDATED);
}

// The partial body, completed by a 206, becomes the entry with the header
// of its 200 refreshed by the 206's fields.
Error Fetch::CommitResumed()
{
    Editor &e = *editor_;
    const std::int64_t length = partial_->meta.length;
    const std::string header = cache::StoredHeaderOf(StoredBlock(RefreshedHeader(partial_->header, r_.Final())), length);
    const cache::EntryMeta meta = MetaOf(header, length, r_.digest.Value());
    if (!e.Write(Part::Meta, cache::FormatMeta(meta)))
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot write " + e.Temporary(Part::Meta));
    if (!e.Write(Part::Header, header))
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot write " + e.Temporary(Part::Header));
    switch (const cache::Committed committed = e.Commit(true)) {
    case cache::Committed::Both:
        break;
    case cache::Committed::HeaderKept:
    case cache::Committed::MetaKept:
        cache::DropEntry(files_);
        cache::DropPartial(files_);
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot replace " + Unplaced(files_, committed));
    case cache::Committed::Neither:
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot replace " + files_.body);
    }
    cache::DropPartial(files_);
    if (!Announce(header, r_.requestTime, r_.responseTime))
        return Fail(ZELMO_FETCH_E_CANCELLED, "the answer callback cancelled the fetch");
    if (Error d = Deliver(files_.body, s_.destination); d.code != ZELMO_FETCH_OK)
        return d;
    done_.outcome = ZELMO_FETCH_RESUMED;
    done_.resumedFrom = r_.kept;
    done_.served = length;
    return {};
}

// After a commit under a limit: the other entries pruned to fit it (this
// one is held by its lock, and named, so it stays). A prune that cannot read
// the directory leaves the cache as it is; the fetch has served its body.
void Fetch::KeepUnderLimit()
{
    if (!s_.limited)
        return;
    cache::PruneCounts counts;
    cache::Prune(s_.cacheDir, s_.maxCacheBytes, files_.body.substr(s_.cacheDir.size()), counts);
}

}  // namespace zelmo::fetch

// No exception leaves an export: a failure inside becomes an error code.
extern "C" int ZELMO_API zelmo_fetch(const char *url, const ZelmoFetchOptions *options, ZelmoFetchResult *result)
try {
    using namespace zelmo::fetch;
    const Clock::time_point start = Clock::now();
    if (result == nullptr || result->size < sizeof(ZelmoFetchResult))
        return ZELMO_FETCH_E_OPTIONS;  // nowhere to say more
    Error error;
    Outcome done;
    std::string bodyPath;
    try {
        Settings settings;
        if (url == nullptr || url[0] == '\0') {
            error = Fail(ZELMO_FETCH_E_OPTIONS, url == nullptr ? "url is null" : "url is empty");
        } else if (!IsHttpUrl(url)) {
            error = Fail(ZELMO_FETCH_E_OPTIONS, "url is not an http:// or https:// URL");
        } else if (error = ReadOptions(options, settings); error.code == ZELMO_FETCH_OK) {
            Fetch fetch(url, std::move(settings));
            Step step = fetch.Start(true);
            if (step == Step::Transfer) {
                const pool::Lease lease;
                do {
                    Perform(fetch.Begin(lease), lease.Multi());
                    step = fetch.Answered();
                } while (step == Step::Transfer);
            }
            error = fetch.Failed();
            done = fetch.Done();
            bodyPath = fetch.BodyPath();
        }
    } catch (const std::bad_alloc &) {
        error = Fail(ZELMO_FETCH_E_NO_MEMORY, "out of memory");
    }
    return Finish(result, error, done, bodyPath, std::chrono::duration<double>(Clock::now() - start).count());
} catch (...) {
    if (result != nullptr && result->size >= sizeof(ZelmoFetchResult))
        zelmo::fetch::FinishOutOfMemory(result);
    return ZELMO_FETCH_E_NO_MEMORY;
}
