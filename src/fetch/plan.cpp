// What a call of zelmo_fetch does next (see plan.h).
#include "fetch/plan.h"

#include <optional>

#include "fetch/rules.h"
#include "zelmo_fetch.h"

namespace zelmo::fetch::plan {
namespace {

using State = Entry::State;

Next Serve()
{
    return Next{Act::ServeStored};
}

Next Send(Request request, PartialBody partial = PartialBody::Leave)
{
    return Next{Act::Send, request, 0, partial};
}

Next Fail(int error, Why why, PartialBody partial = PartialBody::Leave)
{
    return Next{Act::Fail, Request::None, error, partial, why};
}

bool IsFresh(const Call &call, const Entry &entry, std::int64_t now)
{
    // Without the times of the request and answer (an entry of the 28
    // exports) the age cannot be told: such an entry is revalidated.
    return entry.hasTimes &&
           ServableWithoutRequest(entry.header, entry.requestTime, entry.responseTime, now, call.request);
}

// A failure that a stored entry may be served around: the network's, or a
// 5xx, before the sink had any of the failed answer.
Next ServeAround(const Call &call, const Entry &entry, const Answer &answer, Next failure, std::int64_t now)
{
    const bool network = failure.error == ZELMO_FETCH_E_TRANSFER;
    const bool server = failure.error == ZELMO_FETCH_E_HTTP && answer.status >= 500 && answer.status <= 599;
    if ((!network && !server) || answer.sinkFed || !entry.varyMatches || call.ownRange)
        return failure;
    const bool allowed = call.staleIfError || (call.mode != ZELMO_CACHE_NETWORK_ONLY && entry.hasTimes &&
                                               StaleIfErrorAllows(entry.header, entry.requestTime,
                                                                  entry.responseTime, now));
    if (!allowed || (entry.state != State::Whole && entry.state != State::NotLookedAt))
        return failure;
    failure.act = Act::ServeStale;
    return failure;
}

// A range request that no 200 answered. The partial is dropped and the body
// fetched whole where the answer does not continue it (but where the sink
// had its kept bytes already: it cannot be given the body again from its
// start). A continued partial cut short keeps its new length for the next
// try. nullopt: judged as any answer.
std::optional<Next> AfterRange(const Call &call, const Answer &a)
{
    const Next whole = a.continued && call.hasSink ? Fail(ZELMO_FETCH_E_HTTP, Why::RangeLost, PartialBody::Drop)
                                                   : Send(Request::Unconditional, PartialBody::Drop);
    if (!a.continued) {
        if (a.rangeRefused || a.status == 416 || (a.status == 206 && a.stopped == ZELMO_FETCH_OK))
            return whole;
        return std::nullopt;
    }
    if (a.rangeRefused)
        return whole;
    if (a.stopped == ZELMO_FETCH_E_CANCELLED || (a.stopped == ZELMO_FETCH_OK && !a.performed && a.closed))
        return std::nullopt;
    if (a.stopped != ZELMO_FETCH_OK)
        return Fail(a.stopped, Why::Stopped, PartialBody::Drop);
    if (!a.closed)
        return Fail(ZELMO_FETCH_E_CACHE_IO, Why::Unwritten, PartialBody::Drop);
    if (!a.rangeComplete)
        return whole;
    return Next{Act::CommitResumed};
}

// The judgement of any answer.
Next Judge(const Call &call, const Answer &a)
{
    // A 200 cut short or cancelled keeps what came for a range request next
    // time, where its validator and length allow one; a 200 to a range
    // request replaced the partial.
    PartialBody partial = a.sent == Request::Range && a.status == 200 ? PartialBody::Drop : PartialBody::Leave;
    if (!call.noResume && !a.noStore && !call.request.noStore && a.closed && a.started && !a.continued && a.received > 0 && a.received < a.total &&
        (a.stopped == ZELMO_FETCH_E_CANCELLED || (a.stopped == ZELMO_FETCH_OK && !a.performed)) &&
        !ResumeValidatorOf(a.block).empty())
        partial = PartialBody::Keep;
    // A sink that refused a body the partial was to continue leaves it nothing to continue.
    if (a.sent == Request::Range && !a.continued && a.stopped == ZELMO_FETCH_E_SINK)
        partial = PartialBody::Drop;

    if (a.stopped == ZELMO_FETCH_E_HTTP)
        return Fail(ZELMO_FETCH_E_HTTP, Why::Status, partial);
    if (a.stopped != ZELMO_FETCH_OK)
        return Fail(a.stopped, Why::Stopped, partial);
    if (!a.performed)
        return Fail(ZELMO_FETCH_E_TRANSFER, Why::Network, partial);
    if (!a.closed)
        return Fail(ZELMO_FETCH_E_CACHE_IO, Why::Unwritten, partial);
    if (a.status == 304) {
        if (a.sent != Request::Conditional)
            return Fail(ZELMO_FETCH_E_HTTP, Why::NotModifiedUnasked, partial);
        return Next{call.request.noStore ? Act::ServeAsStored : Act::Refresh};
    }
    if (a.status == 200 || (a.status == 206 && call.ownRange)) {
        if (a.noStore)  // kept nowhere; what the cache held of the URL is outdated by it
            return Next{Act::Pass, Request::None, 0, PartialBody::Drop};
        if (call.request.noStore || call.ownRange)  // kept nowhere, and what the cache holds is left to it
            return Next{Act::PassOn, Request::None, 0, partial};
        return Next{Act::Store, Request::None, 0, partial};
    }
    if (a.status < 200 || a.status == 206)
        return Fail(ZELMO_FETCH_E_HTTP, Why::Status, partial);
    // Any other final status is served like a 200, and stored where it may be.
    const bool keep = a.storable && !call.request.noStore && !call.ownRange;
    const bool success = call.anyStatus || (a.status >= 200 && a.status <= 299);
    return Next{keep ? Act::Store : Act::PassOn, Request::None, success ? 0 : ZELMO_FETCH_E_HTTP, partial,
                success ? Why::None : Why::Status};
}

}  // namespace

Next Before(const Call &call, const Entry &entry, std::int64_t now)
{
    // An answer stored for a request its Vary tells apart from this one is
    // not served without validation.
    if (entry.state == State::Whole && entry.varyMatches && !call.ownRange &&
        (call.mode == ZELMO_CACHE_ONLY || entry.changedWhileWaiting ||
         (call.mode == ZELMO_CACHE_PREFER_FRESH && IsFresh(call, entry, now))))
        return Serve();
    if (call.ownRange && call.mode != ZELMO_CACHE_ONLY && !call.request.onlyIfCached)
        return Send(Request::Unconditional);
    if (call.mode == ZELMO_CACHE_ONLY || call.request.onlyIfCached)
        return entry.state == State::Corrupt ? Fail(ZELMO_FETCH_E_CORRUPT, Why::Corrupt)
               : call.mode == ZELMO_CACHE_ONLY ? Fail(ZELMO_FETCH_E_NOT_CACHED, Why::NotCached)
                                               : Fail(ZELMO_FETCH_E_NOT_CACHED, Why::OnlyIfCached);
    // A partial body left by a cut transfer is continued by a range request;
    // under the request's no-store it is neither continued nor dropped.
    const bool keepNothing = call.request.noStore;
    if (entry.partial && !call.noResume && !keepNothing)
        return Send(Request::Range);
    const PartialBody partial = entry.partial && !keepNothing ? PartialBody::Drop : PartialBody::Leave;
    if (entry.state == State::Whole && !ConditionalLines(ValidatorsOf(entry.header)).empty())
        return Send(Request::Conditional, partial);
    return Send(Request::Unconditional, partial);
}

Next After(const Call &call, const Entry &entry, const Answer &answer, std::int64_t now)
{
    if (answer.sent == Request::Range && answer.status != 200)
        if (const std::optional<Next> next = AfterRange(call, answer)) {
            if (next->act == Act::Fail)
                return ServeAround(call, entry, answer, *next, now);
            return *next;
        }
    const Next next = Judge(call, answer);
    if (next.act == Act::Fail)
        return ServeAround(call, entry, answer, next, now);
    // A 5xx is served only where no stored entry may be served around it.
    if (answer.status >= 500 && answer.status <= 599) {
        const Next around = ServeAround(call, entry, answer, Fail(ZELMO_FETCH_E_HTTP, Why::Status), now);
        if (around.act == Act::ServeStale)
            return around;
    }
    return next;
}

}  // namespace zelmo::fetch::plan
