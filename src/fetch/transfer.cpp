// One HTTP transfer of zelmo_fetch (see transfer.h).
#include "fetch/transfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "fetch/decode.h"
#include "fetch/rules.h"
#include "header/fields.h"
#include "http/curl_global.h"
#include "http/curl_handles.h"
#include "platform/files.h"
#include "platform/platform.h"

namespace zelmo::fetch {

// The state of a transfer between libcurl's callbacks.
struct Transferring {
    http::Easy easy;
    TransferRequest request;
    BodySteps steps;
    Received *r;
    http::Slist home, away;  // the lines for the URL's origin, and for any other
    http::HeaderBlocks blocks;
    platform::File body;
    std::unique_ptr<char[]> bodyBuffer;
    std::string bodyPath;
    std::string url;  // of the request readied last
    long followed = -1;
    bool decoding = false;  // coded answers are asked for and decoded (never for a range request)
    std::unique_ptr<Decoder> decoder;  // the final answer's, where its body is coded
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    char curlError[CURL_ERROR_SIZE] = {};

    bool Stop(int code, std::string text)
    {
        r->stopped = code;
        r->stoppedText = std::move(text);
        return false;
    }
};

namespace {

constexpr long kReceiveBuffer = 512 * 1024;
constexpr std::size_t kFileBuffer = 1 << 20;
constexpr std::size_t kReadChunk = 256 * 1024;

std::string_view FinalOf(const Transferring &t)
{
    return std::string_view(t.blocks.text).substr(t.blocks.finalStart);
}

// ---- content codings -------------------------------------------------------

// Whether `codings` code the body at all: any of them but identity.
bool Coded(const std::vector<std::string> &codings)
{
    return std::any_of(codings.begin(), codings.end(), [](const std::string &c) { return c != "identity"; });
}

// A coding as an error text shows it: at most 64 bytes, control bytes and
// others outside ASCII as '?'.
std::string Shown(std::string_view coding)
{
    std::string out(coding.substr(0, 64));
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            c = '?';
    return out;
}

// Whether the answer just received is a redirect: a 3xx but 304 with a
// Location. A 304 answers a conditional request and is never a redirect,
// Location or not.
bool IsRedirect(const Transferring &t)
{
    const std::string_view block = FinalOf(t);
    const int status = header::StatusOf(block);
    if (status < 300 || status > 399 || status == 304)
        return false;
    const std::optional<std::string> location = header::FieldValue(block, "Location");
    return location && !location->empty();
}

// The whole header block of an answer with a body has come: where the
// transfer decodes, every coding it names must be one the fetch decodes.
// False, the transfer stopped, when one is not.
bool CheckCodings(Transferring &t)
{
    const std::string_view block = FinalOf(t);
    const int status = header::StatusOf(block);
    if (!t.decoding || status < 200 || status == 204 || status == 304 || IsRedirect(t))
        return true;  // no body, or one the fetch skips
    for (const std::string &coding : ContentCodings(block))
        if (!Decoder::Knows(coding))
            return t.Stop(ZELMO_FETCH_E_TRANSFER, "the answer's Content-Encoding \"" + Shown(coding) +
                                                      "\" is not a coding the fetch decodes (it asks for " +
                                                      Decoder::Accepted() + ")");
    return true;
}

std::size_t OnHeader(char *data, std::size_t size, std::size_t count, void *userdata)
{
    auto *t = static_cast<Transferring *>(userdata);
    const std::size_t n = size * count;
    if (!t->blocks.Add(data, n))
        return 0;
    const bool blockEnd = (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
    try {
        if (blockEnd && !CheckCodings(*t))
            return 0;
    } catch (...) {
        t->Stop(ZELMO_FETCH_E_NO_MEMORY, "out of memory");
        return 0;
    }
    return n;
}

// Where a redirect sends the request next, as libcurl resolves its
// Location against the URL (an absolute URL); null when libcurl cannot:
// a scheme other than http and https, or no URL at all.
const char *TargetOf(const Transferring &t)
{
    const char *next = nullptr;
    if (curl_easy_getinfo(t.easy.get(), CURLINFO_REDIRECT_URL, &next) != CURLE_OK)
        return nullptr;
    return next;
}

void BufferBody(Transferring &t)
{
    t.bodyBuffer.reset(new (std::nothrow) char[kFileBuffer]);
    if (t.bodyBuffer)
        std::setvbuf(t.body.get(), t.bodyBuffer.get(), _IOFBF, kFileBuffer);
}

// ---- the body's steps ------------------------------------------------------

bool ToSink(Transferring &t, const char *data, std::size_t n)
{
    if (t.steps.sink == nullptr)
        return true;
    t.r->sinkFed = true;
    if (t.steps.sink(t.steps.sinkData, data, n) != 0)
        return t.Stop(ZELMO_FETCH_E_SINK, "the body sink refused the body");
    return true;
}

bool ToFile(Transferring &t, const char *data, std::size_t n)
{
    if (!t.body)  // a no-store body without a destination
        return true;
    if (std::fwrite(data, 1, n, t.body.get()) != n)
        return t.Stop(ZELMO_FETCH_E_CACHE_IO, "cannot write " + t.bodyPath + ": " + std::strerror(errno));
    return true;
}

// Hands the host the answer `block` (once), dated as just received.
bool Announce(Transferring &t, std::string_view block)
{
    if (t.steps.announcer == nullptr || t.steps.announcer->Announced())
        return true;
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    if (!t.steps.announcer->Announce(block, FreshnessOf(block, t.r->requestTime, now, now).age))
        return t.Stop(ZELMO_FETCH_E_CANCELLED, "the answer callback cancelled the fetch");
    return true;
}

// The body's bytes for the sink: held while the answer is a 5xx's, until
// too many came to hold.
bool ToSinkOrHeld(Transferring &t, const char *data, std::size_t n)
{
    Received &r = *t.r;
    if (!r.holding)
        return ToSink(t, data, n);
    if (t.steps.sink == nullptr)  // nothing to hold for; the answer is told once judged
        return true;
    r.held.append(data, n);
    if (r.held.size() <= kHeldMax)
        return true;
    if (header::StatusOf(FinalOf(t)) == 206)  // never served: no need to read it all
        return t.Stop(ZELMO_FETCH_E_HTTP, "");
    r.holding = false;
    std::string held = std::move(r.held);
    r.held.clear();
    return Announce(t, FinalOf(t)) && ToSink(t, held.data(), held.size());
}

bool ToProgress(Transferring &t)
{
    const BodySteps &s = t.steps;
    if (s.progress != nullptr && s.progress(s.progressData, t.r->kept + t.r->received, t.r->total) != 0)
        return t.Stop(ZELMO_FETCH_E_CANCELLED, "the progress callback cancelled the fetch");
    return true;
}

// The first bytes of a 206 to a range request: the answer judged against the
// partial body, which, when it is continued, is read from disk into the
// checksum and the sink (the sink gets the whole body in order) and opened
// for the rest.
bool StartRange(Transferring &t)
{
    const Partial &p = *t.request.partial;
    Received &r = *t.r;
    const auto refuse = [&](std::string why) {
        r.rangeRefused = true;
        return t.Stop(ZELMO_FETCH_OK, std::move(why));
    };
    if (std::optional<std::string> why = RangeMismatch(p, FinalOf(t)))
        return refuse(std::move(*why));
    if (!Announce(t, RefreshedHeader(p.header, FinalOf(t))))
        return false;
    const std::string &path = t.steps.editor->Files().partialBody;
    // Opened for the rest before the sink has any of it.
    t.body = t.steps.editor->AppendToPartial();
    t.bodyPath = path;
    if (!t.body)
        return t.Stop(ZELMO_FETCH_E_CACHE_IO, "cannot open " + path + ": " + std::strerror(errno));
    {
        const platform::File kept(platform::OpenForReading(path.c_str()));
        if (!kept)
            return refuse("cannot open " + path);
        std::unique_ptr<char[]> buffer(new char[kReadChunk]);
        std::int64_t read = 0;
        std::size_t got;
        while (read < p.have &&
               (got = std::fread(buffer.get(), 1, static_cast<std::size_t>(std::min<std::int64_t>(kReadChunk, p.have - read)),
                                 kept.get())) > 0) {
            r.digest.Update(buffer.get(), got);
            read += static_cast<std::int64_t>(got);
            if (!ToSink(t, buffer.get(), got))
                return false;
        }
        if (read != p.have)
            return refuse("cannot read " + path);
    }
    BufferBody(t);
    r.continued = true;
    r.kept = p.have;
    r.total = p.meta.length;
    return true;
}

// The first body byte: where the body goes, by the final answer's status.
bool StartBody(Transferring &t)
{
    Received &r = *t.r;
    r.started = true;
    const int status = header::StatusOf(FinalOf(t));
    if (t.request.partial != nullptr && status == 206)
        return StartRange(t);
    // A decoded body's length is not told: Content-Length is the coded one's.
    const bool decoded = t.decoding && Coded(ContentCodings(FinalOf(t)));
    r.total = decoded ? -1 : header::ParseLength(header::FieldValue(FinalOf(t), "Content-Length")).value_or(-1);
    if (decoded)
        t.decoder = std::make_unique<Decoder>(ContentCodings(FinalOf(t)));
    r.holding = status >= 500 || (status == 206 && !t.request.rangeAsked);
    if (!r.holding && !Announce(t, decoded ? WithoutContentCoding(FinalOf(t), true) : std::string(FinalOf(t))))
        return false;
    if ((r.noStore = t.request.keepNothing || !Storable(FinalOf(t)))) {
        if (t.steps.destination == nullptr)
            return true;
        t.steps.editor->BodyAside(t.steps.destination);
    }
    t.body = t.steps.editor->Create(cache::Editor::Part::Body);
    t.bodyPath = t.steps.editor->Temporary(cache::Editor::Part::Body);
    if (!t.body)
        return t.Stop(ZELMO_FETCH_E_CACHE_IO, "cannot create " + t.bodyPath + ": " + std::strerror(errno));
    BufferBody(t);
    return true;
}

// The body's bytes (decoded, where it was coded) through its steps.
bool Take(void *transferring, const char *data, std::size_t n)
{
    Transferring &t = *static_cast<Transferring *>(transferring);
    Received &r = *t.r;
    if (r.continued && r.received + static_cast<std::int64_t>(n) > r.total - r.kept) {
        r.rangeRefused = true;
        return t.Stop(ZELMO_FETCH_OK, "the 206 answer holds more bytes than the rest of the body");
    }
    if (!ToFile(t, data, n))
        return false;
    r.digest.Update(data, n);
    r.received += static_cast<std::int64_t>(n);
    return ToSinkOrHeld(t, data, n) && ToProgress(t);
}

std::string NotDecoded(const Transferring &t, const std::string &why)
{
    const std::string codings = header::FieldValue(FinalOf(t), "Content-Encoding").value_or("");
    return "the body did not decode as its Content-Encoding \"" + Shown(codings) + "\" says: " + why;
}

std::size_t OnBody(char *data, std::size_t size, std::size_t count, void *userdata)
{
    auto *t = static_cast<Transferring *>(userdata);
    Received &r = *t->r;
    const std::size_t n = size * count;
    try {
        // A redirect's body belongs to no answer the fetch keeps.
        if (!r.started && IsRedirect(*t))
            return n;
        if (!r.started && !StartBody(*t))
            return 0;
        if (t->decoder == nullptr)
            return Take(t, data, n) ? n : 0;
        if (!t->decoder->Write(data, n, &Take, t)) {
            if (!t->decoder->Error().empty())
                t->Stop(ZELMO_FETCH_E_TRANSFER, NotDecoded(*t, t->decoder->Error()));
            return 0;
        }
    } catch (...) {
        t->Stop(ZELMO_FETCH_E_NO_MEMORY, "out of memory");
        return 0;
    }
    return n;
}

void Append(http::Slist &lines, const std::string &line)
{
    curl_slist *next = curl_slist_append(lines.get(), line.c_str());
    if (next == nullptr)
        throw std::bad_alloc();
    lines.release();
    lines.reset(next);
}

// A URL's origin: scheme and host in lower case, the port as digits (the
// scheme's default when the URL names none). Empty when it cannot be read.
struct Origin {
    std::string scheme, host, port;
    bool Known() const { return !scheme.empty(); }
};

std::string PartOf(CURLU *url, CURLUPart part, unsigned flags)
{
    char *text = nullptr;
    const CURLUcode got = curl_url_get(url, part, &text, flags);
    if (got == CURLUE_OUT_OF_MEMORY)
        throw std::bad_alloc();
    if (got != CURLUE_OK)
        return {};
    std::string value(text);
    curl_free(text);
    for (char &ch : value)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    return value;
}

Origin OriginOf(const std::string &url)
{
    const http::Url parsed(curl_url());
    if (!parsed)
        throw std::bad_alloc();
    const CURLUcode set = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME);
    if (set == CURLUE_OUT_OF_MEMORY)
        throw std::bad_alloc();
    Origin o;
    if (set != CURLUE_OK)
        return o;
    o.host = PartOf(parsed.get(), CURLUPART_HOST, 0);
    o.port = PartOf(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!o.host.empty() && !o.port.empty())
        o.scheme = PartOf(parsed.get(), CURLUPART_SCHEME, 0);
    return o;
}

// The time a request may still take, in ms: -1 without a limit, 0 when it
// has run out.
long TimeLeftMs(const TransferRequest &request, std::chrono::steady_clock::time_point start)
{
    if (request.timeLeftMs < 0)
        return -1;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return std::max<long>(0, static_cast<long>(request.timeLeftMs - spent.count()));
}

// libcurl before 8.0.0 breaks a prior-knowledge connection when it reuses
// it: every later request on it fails with an HTTP/2 framing error.
bool PriorKnowledgeConnectionsReusable()
{
    static const bool reusable = curl_version_info(CURLVERSION_NOW)->version_num >= 0x080000;
    return reusable;
}

void SetRoute(CURL *c, const struct Route &route, const std::string &url)
{
    http::SetSharedOptions(c, route.proxy);
    if (route.proxy == nullptr && route.environmentProxy)
        curl_easy_setopt(c, CURLOPT_PROXY, static_cast<const char *>(nullptr));  // libcurl's default: the environment
    if (route.proxyUserPwd != nullptr) {
        curl_easy_setopt(c, CURLOPT_PROXYUSERPWD, route.proxyUserPwd);
        curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
    if (route.connectTimeoutMs > 0)
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(route.connectTimeoutMs));
    if (route.caBundle != nullptr)
        curl_easy_setopt(c, CURLOPT_CAINFO, route.caBundle);
    // HTTP/2 where the server offers it by ALPN (https), or where the host
    // knows it speaks it (http); HTTP/1.1 otherwise. A transfer that finds
    // its host's connection still being opened waits to learn whether it
    // can share it rather than open one more; over cleartext HTTP/1.1,
    // which never shares one, it opens its own at once.
    // Where libcurl cannot reuse a prior-knowledge connection, each such
    // transfer has one of its own, closed after it.
    const bool ownConnection = route.priorKnowledge && !PriorKnowledgeConnectionsReusable();
    const bool multiplexable = (route.priorKnowledge && !ownConnection) || OriginOf(url).scheme == "https";
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION,
                     static_cast<long>(route.priorKnowledge ? CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE : CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(c, CURLOPT_PIPEWAIT, multiplexable ? 1L : 0L);
    if (route.freshConnect || ownConnection)
        curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
    if (ownConnection)
        curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
}

}  // namespace

bool SameOrigin(const std::string &a, const std::string &b)
{
    const Origin x = OriginOf(a), y = OriginOf(b);
    return x.Known() && y.Known() && x.scheme == y.scheme && x.host == y.host && x.port == y.port;
}

Transfer::Transfer(TransferRequest request, BodySteps steps, Received &r, const pool::Lease &lease)
    : t_(std::make_unique<Transferring>())
{
    Transferring &t = *t_;
    t.request = std::move(request);
    t.steps = steps;
    t.r = &r;
    t.easy.reset(curl_easy_init());
    if (!t.easy)
        throw std::bad_alloc();
    CURL *const c = t.easy.get();
    lease.Join(c);
    SetRoute(c, t.request.route, t.request.url);
    // Redirects are followed here, one request at a time, each with the
    // lines meant for where it goes.
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    for (const std::string &line : t.request.hostLines)
        Append(t.home, line);
    for (const std::string &line : t.request.lines) {
        Append(t.home, line);
        Append(t.away, line);
    }
    // A revalidation most likely ends in a 304 without a body: libcurl's
    // default receive buffer spares it the large one's allocation and page
    // faults, which cost more than the whole 304.
    if (t.request.expectBody)
        curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, t.curlError);
    // Coded answers are asked for, and decoded here, only where the host
    // wants it; any other answer's body is taken as it comes, coded or not.
    // A range request continues a body as it was sent: no coding asked
    // for, none undone. libcurl decodes nothing: it would take a coded
    // stream cut short for a whole one.
    t.decoding = t.request.route.compression && t.request.partial == nullptr;
    if (t.decoding)
        curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, Decoder::Accepted());
    curl_easy_setopt(c, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    t.url = t.request.url;
    r.requestTime = static_cast<std::int64_t>(std::time(nullptr));
}

Transfer::~Transfer() = default;

CURL *Transfer::Easy() const
{
    return t_->easy.get();
}

bool Transfer::Next()
{
    Transferring &t = *t_;
    Received &r = *t.r;
    if (r.stopped != ZELMO_FETCH_OK || !r.failure.empty())
        return false;
    ++t.followed;
    const long left = TimeLeftMs(t.request, t.start);
    if (left == 0) {
        r.failure = t.followed == 0 ? "the time limit ran out before the request"
                                    : "the time limit ran out while following redirects";
        return false;
    }
    CURL *const c = t.easy.get();
    if (left > 0)
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, left);
    curl_easy_setopt(c, CURLOPT_URL, t.url.c_str());
    const bool atHome = t.followed == 0 || SameOrigin(t.request.url, t.url);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, atHome ? t.home.get() : t.away.get());
    t.curlError[0] = '\0';
    return true;
}

bool Transfer::Ended(CURLcode done)
{
    Transferring &t = *t_;
    Received &r = *t.r;
    if (done != CURLE_OK) {
        r.failure = t.curlError[0] != '\0' ? std::string(t.curlError) : curl_easy_strerror(done);
        return false;
    }
    if (!IsRedirect(t)) {
        r.performed = true;
        if (t.decoder != nullptr && !t.decoder->Ended())
            t.Stop(ZELMO_FETCH_E_TRANSFER, NotDecoded(t, "it ends before its coded stream does"));
        return false;
    }
    const char *next = TargetOf(t);
    if (next == nullptr) {
        const std::string location = header::FieldValue(FinalOf(t), "Location").value_or("");
        r.failure = "the redirect to \"" + location.substr(0, 96) + "\" is not followed: only http and https URLs are";
        return false;
    }
    if (t.followed == http::kMaxRedirects) {
        r.failure = "Maximum (" + std::to_string(http::kMaxRedirects) + ") redirects followed";
        return false;
    }
    t.url = next;
    return true;
}

void Transfer::Stop(int code, std::string text)
{
    t_->Stop(code, std::move(text));
}

void Transfer::Finish()
{
    Transferring &t = *t_;
    Received &r = *t.r;
    r.responseTime = static_cast<std::int64_t>(std::time(nullptr));
    r.blocks = std::move(t.blocks.text);
    r.finalStart = t.blocks.finalStart;
    r.status = header::StatusOf(r.Final());
    // A decoded answer is told as the answer of its decoded body.
    if (t.decoding && r.status != 304) {
        const std::vector<std::string> codings = ContentCodings(r.Final());
        if (!codings.empty() && std::all_of(codings.begin(), codings.end(), [](const std::string &c) { return Decoder::Knows(c); })) {
            r.decoded = Coded(codings);
            r.blocks.replace(r.finalStart, std::string::npos, WithoutContentCoding(r.Final(), r.decoded));
        }
    }
    r.closed = !t.body || std::fclose(t.body.release()) == 0;
    if (r.continued && r.closed && r.kept + r.received == r.total) {
        const platform::FileFacts body = platform::ProbeFile(t.steps.editor->Files().partialBody.c_str());
        r.rangeComplete = body.found && static_cast<std::int64_t>(body.size) == r.total;
    }
}

void Perform(Transfer &transfer, CURLM *multi)
{
    CURL *const easy = transfer.Easy();
    while (transfer.Next()) {
        CURLcode done = CURLE_OK;
        if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
            done = CURLE_OUT_OF_MEMORY;
        } else {
            for (bool ended = false; !ended;) {
                int running = 0;
                CURLMcode m = curl_multi_perform(multi, &running);
                int left = 0;
                while (CURLMsg *msg = curl_multi_info_read(multi, &left))
                    if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
                        done = msg->data.result;
                        ended = true;
                    }
                if (!ended && m == CURLM_OK)
                    m = curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
                if (!ended && m != CURLM_OK) {
                    done = m == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
                    ended = true;
                }
            }
            curl_multi_remove_handle(multi, easy);
        }
        if (!transfer.Ended(done))
            break;
    }
    transfer.Finish();
}

}  // namespace zelmo::fetch
