// The plan of a zelmo_fetch call as one table: mode x entry state x
// freshness x waited x stale rule x the answer to a request, each row the
// next step it must choose. The clock is passed in: T is when the stored
// answer came, and each row looks at it some seconds later.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "fetch/plan.h"
#include "fetch/rules.h"
#include "zelmo_fetch.h"

namespace zelmo::fetch::plan {

// Steps in words, for a failing row.
void PrintTo(const Next &n, std::ostream *out)
{
    *out << "act " << static_cast<int>(n.act) << ", request " << static_cast<int>(n.request) << ", error "
               << n.error << ", partial " << static_cast<int>(n.partial) << ", why " << static_cast<int>(n.why);
}

}  // namespace zelmo::fetch::plan

namespace {

using namespace zelmo::fetch::plan;
using State = Entry::State;

constexpr std::int64_t T = 1'700'000'000;

// Stored header blocks.
const std::string kFresh100 = "HTTP/1.1 200 OK\r\nCache-Control: max-age=100\r\nETag: \"v1\"\r\nContent-Length: 3\r\n\r\n";
const std::string kStaleIfError = "HTTP/1.1 200 OK\r\nCache-Control: max-age=100, stale-if-error=100\r\n"
                                  "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: 3\r\n\r\n";
const std::string kNoValidators = "HTTP/1.1 200 OK\r\nCache-Control: max-age=100\r\nContent-Length: 3\r\n\r\n";
const std::string kTabInEtag = "HTTP/1.1 200 OK\r\nETag: \"a\tb\"\r\nContent-Length: 3\r\n\r\n";
// A 200 that can be resumed, cut after 10 of its 100 bytes.
const std::string kResumable = "HTTP/1.1 200 OK\r\nETag: \"r1\"\r\nContent-Length: 100\r\n\r\n";
const std::string kNotResumable = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";

Entry Stored(State state, const std::string &header = kFresh100, bool times = true)
{
    Entry e;
    e.state = state;
    e.header = header;
    e.hasTimes = times;
    e.requestTime = e.responseTime = T;
    return e;
}

Entry Waited(Entry e)
{
    e.changedWhileWaiting = true;
    return e;
}

Entry OtherVariant(Entry e)
{
    e.varyMatches = false;
    return e;
}

Entry WithPartial(Entry e)
{
    e.partial = true;
    return e;
}

Call Mode(int mode, bool staleIfError = false, bool noResume = false, bool sink = false)
{
    return Call{mode, staleIfError, noResume, sink, {}};
}

// A call whose request lines carry the Cache-Control `directives`.
Call Asking(int mode, const char *directives)
{
    Call call = Mode(mode);
    call.request = zelmo::fetch::ParseCacheControl(directives);
    return call;
}

Next Send(Request r, PartialBody p = PartialBody::Leave)
{
    return Next{Act::Send, r, 0, p, Why::None};
}

Next Fail(int error, Why why, PartialBody p = PartialBody::Leave)
{
    return Next{Act::Fail, Request::None, error, p, why};
}

Next Do(Act act, PartialBody p = PartialBody::Leave)
{
    return Next{act, Request::None, 0, p, Why::None};
}

// The stored entry served around a failure, which stays known for the note.
Next Stale(int error, Why why)
{
    return Next{Act::ServeStale, Request::None, error, PartialBody::Leave, why};
}

// Answers.
Answer Whole(Request sent, int status)
{
    Answer a;
    a.sent = sent;
    a.status = status;
    a.performed = true;
    a.started = status == 200;
    return a;
}

Answer Stopped(Request sent, int status, int stopped)
{
    Answer a = Whole(sent, status);
    a.performed = false;
    a.stopped = stopped;
    return a;
}

Answer Cut(Request sent, const std::string &block, bool sinkFed = false)
{
    Answer a;
    a.sent = sent;
    a.status = 200;
    a.block = block;
    a.started = true;
    a.received = 10;
    a.total = 100;
    a.sinkFed = sinkFed;
    return a;
}

Answer Cancelled(const std::string &block)
{
    Answer a = Cut(Request::Unconditional, block);
    a.stopped = ZELMO_FETCH_E_CANCELLED;
    return a;
}

Answer NoStore(Answer a)
{
    a.noStore = true;
    return a;
}

Answer NoConnection(Request sent)
{
    Answer a;
    a.sent = sent;
    return a;
}

Answer Unwritten(Request sent)
{
    Answer a = Whole(sent, 200);
    a.closed = false;
    return a;
}

// A 206 to a range request.
Answer Range206(bool continued, bool performed, bool complete, bool refused = false)
{
    Answer a;
    a.sent = Request::Range;
    a.status = 206;
    a.performed = performed;
    a.started = true;
    a.continued = continued;
    a.rangeComplete = complete;
    a.rangeRefused = refused;
    a.sinkFed = continued;
    return a;
}

Answer Range206Unwritten()
{
    Answer a = Range206(true, true, false);
    a.closed = false;
    return a;
}

struct Row {
    const char *what;
    Call call;
    Entry entry;
    std::int64_t age;               // seconds since the stored answer came
    std::optional<Answer> answer;   // none: the step before any request
    Next next;
};

TEST(FetchPlan, EveryStepOfACall)
{
    constexpr int REVALIDATE = ZELMO_CACHE_REVALIDATE, PREFER_FRESH = ZELMO_CACHE_PREFER_FRESH,
                  NETWORK_ONLY = ZELMO_CACHE_NETWORK_ONLY, ONLY = ZELMO_CACHE_ONLY;
    using R = Request;
    const Row rows[] = {
        // Before any request: mode x entry x freshness x waited.
        {"revalidate, nothing stored", Mode(REVALIDATE), Stored(State::None), 0, {}, Send(R::Unconditional)},
        {"revalidate, a fresh entry is still revalidated", Mode(REVALIDATE), Stored(State::Whole), 50, {}, Send(R::Conditional)},
        {"prefer fresh, fresh", Mode(PREFER_FRESH), Stored(State::Whole), 99, {}, Do(Act::ServeStored)},
        {"prefer fresh, stale at its lifetime", Mode(PREFER_FRESH), Stored(State::Whole), 100, {}, Send(R::Conditional)},
        {"prefer fresh, an entry without times (HttpDownload_SYNC's)", Mode(PREFER_FRESH),
         Stored(State::Whole, kFresh100, false), 0, {}, Send(R::Conditional)},
        {"prefer fresh, a header whose body is gone", Mode(PREFER_FRESH), Stored(State::None), 0, {}, Send(R::Unconditional)},
        {"revalidate, a header whose body is gone: no validators sent", Mode(REVALIDATE), Stored(State::None), 0, {},
         Send(R::Unconditional)},
        {"cache only, stale", Mode(ONLY), Stored(State::Whole), 1000, {}, Do(Act::ServeStored)},
        {"cache only, nothing", Mode(ONLY), Stored(State::None), 0, {}, Fail(ZELMO_FETCH_E_NOT_CACHED, Why::NotCached)},
        {"cache only, corrupt", Mode(ONLY), Stored(State::Corrupt), 0, {}, Fail(ZELMO_FETCH_E_CORRUPT, Why::Corrupt)},
        {"revalidate, corrupt: fetched whole", Mode(REVALIDATE), Stored(State::Corrupt), 0, {}, Send(R::Unconditional)},
        {"network only, not looked at", Mode(NETWORK_ONLY), Stored(State::NotLookedAt), 0, {}, Send(R::Unconditional)},
        {"waited, the other stored it: served", Mode(REVALIDATE), Waited(Stored(State::Whole)), 1000, {}, Do(Act::ServeStored)},
        {"waited, the other stored nothing: a stale entry revalidated", Mode(PREFER_FRESH), Stored(State::Whole), 1000, {},
         Send(R::Conditional)},
        {"another variant, fresh: revalidated", Mode(PREFER_FRESH), OtherVariant(Stored(State::Whole)), 0, {},
         Send(R::Conditional)},
        {"another variant, cache only: none", Mode(ONLY), OtherVariant(Stored(State::Whole)), 0, {},
         Fail(ZELMO_FETCH_E_NOT_CACHED, Why::NotCached)},
        {"another variant stored by the fetch waited for", Mode(REVALIDATE), Waited(OtherVariant(Stored(State::Whole))), 0,
         {}, Send(R::Conditional)},
        {"no validators: unconditional", Mode(REVALIDATE), Stored(State::Whole, kNoValidators), 0, {}, Send(R::Unconditional)},
        {"a tab in the only validator: unconditional", Mode(REVALIDATE), Stored(State::Whole, kTabInEtag), 0, {},
         Send(R::Unconditional)},
        {"a partial: range", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0, {}, Send(R::Range)},
        {"a partial beside a whole entry: range", Mode(REVALIDATE), WithPartial(Stored(State::Whole)), 0, {}, Send(R::Range)},
        {"a partial, no resume, whole entry", Mode(REVALIDATE, false, true), WithPartial(Stored(State::Whole)), 0, {},
         Send(R::Conditional, PartialBody::Drop)},
        {"a partial, no resume, nothing else", Mode(REVALIDATE, false, true), WithPartial(Stored(State::None)), 0, {},
         Send(R::Unconditional, PartialBody::Drop)},

        // The request's Cache-Control.
        {"prefer fresh, no-cache: a fresh entry revalidated", Asking(PREFER_FRESH, "no-cache"), Stored(State::Whole), 50,
         {}, Send(R::Conditional)},
        {"prefer fresh, max-stale: a stale entry served", Asking(PREFER_FRESH, "max-stale=10"), Stored(State::Whole), 110,
         {}, Do(Act::ServeStored)},
        {"prefer fresh, max-stale: too stale", Asking(PREFER_FRESH, "max-stale=10"), Stored(State::Whole), 111, {},
         Send(R::Conditional)},
        {"prefer fresh, max-stale: not for an entry without times", Asking(PREFER_FRESH, "max-stale"),
         Stored(State::Whole, kFresh100, false), 0, {}, Send(R::Conditional)},
        {"revalidate, max-stale changes nothing", Asking(REVALIDATE, "max-stale"), Stored(State::Whole), 110, {},
         Send(R::Conditional)},
        {"cache only, no-cache changes nothing", Asking(ONLY, "no-cache"), Stored(State::Whole), 0, {},
         Do(Act::ServeStored)},
        {"only-if-cached, fresh: served", Asking(PREFER_FRESH, "only-if-cached"), Stored(State::Whole), 50, {},
         Do(Act::ServeStored)},
        {"only-if-cached, stale: nothing sent", Asking(PREFER_FRESH, "only-if-cached"), Stored(State::Whole), 100, {},
         Fail(ZELMO_FETCH_E_NOT_CACHED, Why::OnlyIfCached)},
        {"only-if-cached, nothing stored, a partial left alone", Asking(PREFER_FRESH, "only-if-cached"),
         WithPartial(Stored(State::None)), 0, {}, Fail(ZELMO_FETCH_E_NOT_CACHED, Why::OnlyIfCached)},
        {"only-if-cached, corrupt", Asking(PREFER_FRESH, "only-if-cached"), Stored(State::Corrupt), 0, {},
         Fail(ZELMO_FETCH_E_CORRUPT, Why::Corrupt)},
        {"only-if-cached in revalidation: nothing sent", Asking(REVALIDATE, "only-if-cached"), Stored(State::Whole), 0, {},
         Fail(ZELMO_FETCH_E_NOT_CACHED, Why::OnlyIfCached)},
        {"only-if-cached, network only: nothing sent", Asking(NETWORK_ONLY, "only-if-cached"),
         Stored(State::NotLookedAt), 0, {}, Fail(ZELMO_FETCH_E_NOT_CACHED, Why::OnlyIfCached)},
        {"only-if-cached, the entry another fetch stored", Asking(REVALIDATE, "only-if-cached"),
         Waited(Stored(State::Whole)), 1000, {}, Do(Act::ServeStored)},
        {"no-store, a partial: neither continued nor dropped", Asking(REVALIDATE, "no-store"),
         WithPartial(Stored(State::Whole)), 0, {}, Send(R::Conditional)},
        {"no-store and no resume, a partial: not dropped", Call{REVALIDATE, false, true, false, zelmo::fetch::ParseCacheControl("no-store")},
         WithPartial(Stored(State::None)), 0, {}, Send(R::Unconditional)},
        {"no-store, a 200: passed on, the entry kept", Asking(REVALIDATE, "no-store"), Stored(State::Whole), 0,
         Whole(R::Conditional, 200), Do(Act::PassOn)},
        {"no-store, a 200 that says no-store too: the entry dropped", Asking(REVALIDATE, "no-store"),
         Stored(State::Whole), 0, NoStore(Whole(R::Conditional, 200)), Do(Act::Pass, PartialBody::Drop)},
        {"no-store, a 304: served as stored", Asking(REVALIDATE, "no-store"), Stored(State::Whole), 0,
         Whole(R::Conditional, 304), Do(Act::ServeAsStored)},
        {"no-store, a resumable 200 cut short keeps nothing", Asking(REVALIDATE, "no-store"), Stored(State::None), 0,
         Cut(R::Unconditional, kResumable), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},

        // After a request: the answer.
        {"304 to a conditional", Mode(REVALIDATE), Stored(State::Whole), 0, Whole(R::Conditional, 304), Do(Act::Refresh)},
        {"304 to an unconditional", Mode(REVALIDATE), Stored(State::None), 0, Whole(R::Unconditional, 304),
         Fail(ZELMO_FETCH_E_HTTP, Why::NotModifiedUnasked)},
        {"200", Mode(REVALIDATE), Stored(State::Whole), 0, Whole(R::Conditional, 200), Do(Act::Store)},
        {"a 404 stops at its first body byte", Mode(REVALIDATE), Stored(State::Whole), 0,
         Stopped(R::Conditional, 404, ZELMO_FETCH_E_HTTP), Fail(ZELMO_FETCH_E_HTTP, Why::Status)},
        {"a 404 without a body: served as it came, not stored, a failure for the host", Mode(REVALIDATE),
         Stored(State::Whole), 0, Whole(R::Conditional, 404),
         Next{Act::PassOn, R::None, ZELMO_FETCH_E_HTTP, PartialBody::Leave, Why::Status}},
        {"a body that lost bytes on disk", Mode(REVALIDATE), Stored(State::None), 0, Unwritten(R::Unconditional),
         Fail(ZELMO_FETCH_E_CACHE_IO, Why::Unwritten)},
        {"the sink refused", Mode(REVALIDATE), Stored(State::None), 0,
         Stopped(R::Unconditional, 200, ZELMO_FETCH_E_SINK), Fail(ZELMO_FETCH_E_SINK, Why::Stopped)},
        {"a resumable 200 cut short keeps a partial", Mode(REVALIDATE), Stored(State::None), 0,
         Cut(R::Unconditional, kResumable), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network, PartialBody::Keep)},
        {"a resumable 200 cancelled keeps a partial", Mode(REVALIDATE), Stored(State::None), 0, Cancelled(kResumable),
         Fail(ZELMO_FETCH_E_CANCELLED, Why::Stopped, PartialBody::Keep)},
        {"a cut 200 without a validator keeps nothing", Mode(REVALIDATE), Stored(State::None), 0,
         Cut(R::Unconditional, kNotResumable), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"no resume: a cut 200 keeps nothing", Mode(REVALIDATE, false, true), Stored(State::None), 0,
         Cut(R::Unconditional, kResumable), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"a 200 that says no-store is passed on, the former entry and partial dropped", Mode(REVALIDATE),
         WithPartial(Stored(State::Whole)), 0, NoStore(Whole(R::Conditional, 200)), Do(Act::Pass, PartialBody::Drop)},
        {"a cut no-store 200 keeps nothing", Mode(REVALIDATE), Stored(State::None), 0,
         NoStore(Cut(R::Unconditional, kResumable)), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},

        // Served stale: the flag, the stored stale-if-error, and their limits.
        {"no connection, the flag: stale", Mode(REVALIDATE, true), Stored(State::Whole), 1000, NoConnection(R::Conditional),
         Stale(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"no connection, no flag, no directive", Mode(REVALIDATE), Stored(State::Whole), 1000, NoConnection(R::Conditional),
         Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"a 503, stale-if-error within its seconds", Mode(PREFER_FRESH), Stored(State::Whole, kStaleIfError), 200,
         Stopped(R::Conditional, 503, ZELMO_FETCH_E_HTTP), Stale(ZELMO_FETCH_E_HTTP, Why::Status)},
        {"a 503, stale-if-error past its seconds", Mode(PREFER_FRESH), Stored(State::Whole, kStaleIfError), 201,
         Stopped(R::Conditional, 503, ZELMO_FETCH_E_HTTP), Fail(ZELMO_FETCH_E_HTTP, Why::Status)},
        {"a 404 is never served around", Mode(REVALIDATE, true), Stored(State::Whole), 0,
         Stopped(R::Conditional, 404, ZELMO_FETCH_E_HTTP), Fail(ZELMO_FETCH_E_HTTP, Why::Status)},
        {"a cut answer the sink had bytes of", Mode(REVALIDATE, true, false, true), Stored(State::Whole), 0,
         Cut(R::Conditional, kNotResumable, true), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"another variant is never served around a failure", Mode(REVALIDATE, true), OtherVariant(Stored(State::Whole)), 0,
         NoConnection(R::Conditional), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"nothing stored to serve around", Mode(REVALIDATE, true), Stored(State::None), 0, NoConnection(R::Unconditional),
         Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"network only, the flag: looked at first", Mode(NETWORK_ONLY, true), Stored(State::NotLookedAt), 0,
         NoConnection(R::Unconditional), Stale(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"network only, the directive does not count", Mode(NETWORK_ONLY), Stored(State::Whole, kStaleIfError), 150,
         NoConnection(R::Unconditional), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"network only, looked at: corrupt", Mode(NETWORK_ONLY, true), Stored(State::Corrupt), 0,
         NoConnection(R::Unconditional), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},

        // After a range request.
        {"206 continued to the end", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0, Range206(true, true, true),
         Do(Act::CommitResumed)},
        {"206 that does not continue it: fetched whole", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0,
         Range206(false, false, false, true), Send(R::Unconditional, PartialBody::Drop)},
        {"416: fetched whole", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0, Whole(R::Range, 416),
         Send(R::Unconditional, PartialBody::Drop)},
        {"206 with more bytes than the rest, no sink: fetched whole", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0,
         Range206(true, false, false, true), Send(R::Unconditional, PartialBody::Drop)},
        {"206 with more bytes than the rest, the sink had the kept part", Mode(REVALIDATE, false, false, true),
         WithPartial(Stored(State::None)), 0, Range206(true, false, false, true),
         Fail(ZELMO_FETCH_E_HTTP, Why::RangeLost, PartialBody::Drop)},
        {"206 ended before the last byte: fetched whole", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0,
         Range206(true, true, false), Send(R::Unconditional, PartialBody::Drop)},
        {"206 cut short: the grown partial stays", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0,
         Range206(true, false, false), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},
        {"206 whose bytes could not be written", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0, Range206Unwritten(),
         Fail(ZELMO_FETCH_E_CACHE_IO, Why::Unwritten, PartialBody::Drop)},
        {"a 200 to a range request replaces the partial", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0,
         Whole(R::Range, 200), Do(Act::Store, PartialBody::Drop)},
        {"the sink refused a 200 to a range request", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0,
         Stopped(R::Range, 200, ZELMO_FETCH_E_SINK), Fail(ZELMO_FETCH_E_SINK, Why::Stopped, PartialBody::Drop)},
        {"a 404 to a range request keeps the partial", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0,
         Stopped(R::Range, 404, ZELMO_FETCH_E_HTTP), Fail(ZELMO_FETCH_E_HTTP, Why::Status)},
        {"no connection for a range request keeps the partial", Mode(REVALIDATE), WithPartial(Stored(State::None)), 0,
         NoConnection(R::Range), Fail(ZELMO_FETCH_E_TRANSFER, Why::Network)},
    };
    for (const Row &row : rows) {
        const std::int64_t now = T + row.age;
        const Next got = row.answer ? After(row.call, row.entry, *row.answer, now) : Before(row.call, row.entry, now);
        EXPECT_EQ(got, row.next) << row.what;
    }
}

// A range request whose 206 does not continue the partial is followed by
// exactly one unconditional request, whose answer is judged like any other:
// no second retry, whatever it brings.
TEST(FetchPlan, TheRetryAfterARangeRequestIsAPlainRequest)
{
    const Call call{ZELMO_CACHE_REVALIDATE, false, false, false, {}};
    const Entry entry = WithPartial(Stored(State::None));
    Next next = Before(call, entry, T);
    ASSERT_EQ(next, Send(Request::Range));
    next = After(call, entry, Range206(false, false, false, true), T);
    ASSERT_EQ(next, Send(Request::Unconditional, PartialBody::Drop));
    for (const Answer &a : {Whole(Request::Unconditional, 200), Range206(false, false, false, true),
                            Whole(Request::Unconditional, 416)}) {
        Answer again = a;
        again.sent = next.request;
        const Next after = After(call, entry, again, T);
        EXPECT_NE(after.act, Act::Send) << "status " << a.status;
    }
}

}  // namespace
