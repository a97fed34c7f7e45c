// The pure HTTP caching rules of zelmo_fetch (see rules.h).
#include "fetch/rules.h"

#include <algorithm>
#include <array>
#include <deque>
#include <cstdio>
#include <limits>

#include "codec/md5.h"
#include "header/fields.h"

namespace zelmo::fetch {

using header::Block;
using header::EqualNoCase;
using header::Field;
using header::HasControl;
using header::Split;
using header::StartsNoCase;
using header::Tab;
using header::Trim;
using header::ValueIn;

namespace {

constexpr std::int64_t kMaxDelta = std::int64_t{1} << 31;  // delta-seconds beyond this count as this
constexpr std::int64_t kHeuristicCap = 86400;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Digits only, at least one; larger values saturate at `cap`.
std::optional<std::int64_t> Digits(std::string_view s, std::int64_t cap)
{
    if (s.empty())
        return std::nullopt;
    std::int64_t value = 0;
    for (const char c : s) {
        if (!IsDigit(c))
            return std::nullopt;
        const int d = c - '0';
        value = value > (cap - d) / 10 ? cap : value * 10 + d;
    }
    return value;
}

// ---- dates ---------------------------------------------------------------

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> kLongDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    std::int64_t year;
    int month, day;
};

Civil CivilFromDays(std::int64_t z)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2), m, d};
}

int DaysInMonth(std::int64_t year, int month)
{
    static constexpr int kDaysIn[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDaysIn[month - 1];
}

// Exactly `n` digits at `at`.
std::optional<int> Fixed(std::string_view s, std::size_t at, std::size_t n)
{
    if (at + n > s.size())
        return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (!IsDigit(s[i]))
            return std::nullopt;
        value = value * 10 + (s[i] - '0');
    }
    return value;
}

// Month and day names, and "GMT", are read in any letter case: servers and
// proxies send "sun, 06 nov 1994 08:49:37 gmt" too, and readers of dates
// take it.
int MonthOf(std::string_view s)
{
    for (std::size_t i = 0; i < kMonths.size(); ++i)
        if (EqualNoCase(s, kMonths[i]))
            return static_cast<int>(i) + 1;
    return 0;
}

// "HH:MM:SS" at `at`, as seconds into the day.
std::optional<std::int64_t> TimeOfDay(std::string_view s, std::size_t at)
{
    const auto h = Fixed(s, at, 2), m = Fixed(s, at + 3, 2), sec = Fixed(s, at + 6, 2);
    if (!h || !m || !sec || s[at + 2] != ':' || s[at + 5] != ':' || *h > 23 || *m > 59 || *sec > 60)
        return std::nullopt;
    return *h * 3600 + *m * 60 + *sec;
}

std::optional<std::int64_t> Compose(std::int64_t year, int month, int day, std::optional<std::int64_t> time)
{
    if (!time || month == 0 || year < 1970 || year > 9999 || day < 1 || day > DaysInMonth(year, month))
        return std::nullopt;
    return DaysFromCivil(year, month, day) * 86400 + *time;
}

bool IsOneOf(std::string_view s, const auto &names)
{
    return std::any_of(names.begin(), names.end(), [&](std::string_view name) { return EqualNoCase(s, name); });
}

// RFC 9110 15.1: the status codes that are heuristically cacheable.
bool HeuristicallyCacheable(int status)
{
    static constexpr int kCodes[] = {200, 203, 204, 206, 300, 301, 308, 404, 405, 410, 414, 501};
    return std::find(std::begin(kCodes), std::end(kCodes), status) != std::end(kCodes);
}

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b)
{
    if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b)
        return std::numeric_limits<std::int64_t>::max();
    if (b < 0 && a < std::numeric_limits<std::int64_t>::min() - b)
        return std::numeric_limits<std::int64_t>::min();
    return a + b;
}

std::int64_t SaturatingSub(std::int64_t a, std::int64_t b)
{
    if (b == std::numeric_limits<std::int64_t>::min())
        return a >= 0 ? std::numeric_limits<std::int64_t>::max() : a - b;
    return SaturatingAdd(a, -b);
}

// The field names a block's Connection fields list.
std::vector<std::string> ConnectionNamed(const Block &block)
{
    std::vector<std::string> named;
    for (const Field &f : block.fields) {
        if (!EqualNoCase(f.name, "Connection"))
            continue;
        std::string_view rest = f.value;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            const std::string_view one = Trim(rest.substr(0, comma));
            if (!one.empty())
                named.emplace_back(one);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
    }
    return named;
}

// RFC 9110 7.6.1 and RFC 9111 3.1: the fields that describe one connection,
// not the answer, and are never stored: Connection and the fields it names,
// the connection-specific fields, and the proxy's authentication fields.
// Content-Length is never counted among them: it frames the stored body
// (see cache::StoredHeaderOf), whatever a Connection says.
bool IsHopByHop(std::string_view name, const std::vector<std::string> &connectionNamed)
{
    static constexpr std::string_view kNames[] = {
        "Connection", "Proxy-Connection", "Keep-Alive",          "TE",
        "Transfer-Encoding", "Upgrade",   "Trailer",             "Proxy-Authenticate",
        "Proxy-Authentication-Info",      "Proxy-Authorization",
    };
    if (EqualNoCase(name, "Content-Length"))
        return false;
    for (const std::string_view k : kNames)
        if (EqualNoCase(name, k))
            return true;
    for (const std::string &named : connectionNamed)
        if (EqualNoCase(name, named))
            return true;
    return false;
}

// Fields a 304 never changes in the stored answer (RFC 9111 3.2): the
// framing of the stored body and the hop-by-hop fields.
bool KeptFromStore(std::string_view name, const std::vector<std::string> &connectionNamed)
{
    static constexpr std::string_view kNames[] = {"Content-Length", "Content-Range", "Content-Encoding"};
    for (const std::string_view k : kNames)
        if (EqualNoCase(name, k))
            return true;
    return StartsNoCase(name, "Proxy-") || IsHopByHop(name, connectionNamed);
}

// Whether `text` holds "content-length:" in any letter case.
bool MentionsContentLength(std::string_view text)
{
    constexpr std::string_view kName = "content-length:";
    for (std::size_t i = 0; i + kName.size() <= text.size(); ++i)
        if (EqualNoCase(text.substr(i, kName.size()), kName))
            return true;
    return false;
}

}  // namespace

std::optional<std::int64_t> ParseHttpDate(std::string_view text)
{
    const std::string_view s = Trim(text);
    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    if (s.size() == 29 && s[3] == ',') {
        if (!IsOneOf(s.substr(0, 3), kDays) || s[4] != ' ' || s[7] != ' ' || s[11] != ' ' || s[16] != ' ' ||
            s[25] != ' ' || !EqualNoCase(s.substr(26), "GMT"))
            return std::nullopt;
        const auto day = Fixed(s, 5, 2), year = Fixed(s, 12, 4);
        if (!day || !year)
            return std::nullopt;
        return Compose(*year, MonthOf(s.substr(8, 3)), *day, TimeOfDay(s, 17));
    }
    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
    const std::size_t comma = s.find(',');
    if (comma != std::string_view::npos) {
        const std::string_view rest = s.substr(comma + 1);
        if (!IsOneOf(s.substr(0, comma), kLongDays) || rest.size() != 23 || rest[0] != ' ' || rest[3] != '-' ||
            rest[7] != '-' || rest[10] != ' ' || !EqualNoCase(rest.substr(20), "GMT") || rest[19] != ' ')
            return std::nullopt;
        const auto day = Fixed(rest, 1, 2), yy = Fixed(rest, 8, 2);
        if (!day || !yy)
            return std::nullopt;
        // Two-digit years: 70..99 are 1970..1999, 00..69 are 2000..2069.
        const int year = *yy >= 70 ? 1900 + *yy : 2000 + *yy;
        return Compose(year, MonthOf(rest.substr(4, 3)), *day, TimeOfDay(rest, 11));
    }
    // asctime: "Sun Nov  6 08:49:37 1994"
    if (s.size() == 24) {
        if (!IsOneOf(s.substr(0, 3), kDays) || s[3] != ' ' || s[7] != ' ' || s[10] != ' ' || s[19] != ' ')
            return std::nullopt;
        std::optional<int> day = s[8] == ' ' ? Fixed(s, 9, 1) : Fixed(s, 8, 2);
        const auto year = Fixed(s, 20, 4);
        if (!day || !year)
            return std::nullopt;
        return Compose(*year, MonthOf(s.substr(4, 3)), *day, TimeOfDay(s, 11));
    }
    return std::nullopt;
}

std::string FormatHttpDate(std::int64_t seconds)
{
    constexpr std::int64_t kFirst = 0;
    const std::int64_t kLast = DaysFromCivil(9999, 12, 31) * 86400 + 86399;
    seconds = std::clamp(seconds, kFirst, kLast);
    const std::int64_t days = seconds / 86400, inDay = seconds % 86400;
    const Civil c = CivilFromDays(days);
    const std::size_t weekday = static_cast<std::size_t>((days + 4) % 7);  // 1970-01-01 was a Thursday
    char out[64];
    std::snprintf(out, sizeof out, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[weekday].data(), c.day,
                  kMonths[static_cast<std::size_t>(c.month - 1)].data(), static_cast<int>(c.year),
                  static_cast<int>(inDay / 3600), static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60));
    return out;
}

CacheControl ParseCacheControl(std::string_view value)
{
    CacheControl cc;
    std::size_t at = 0;
    while (at < value.size()) {
        // One directive: name [ "=" ( token / quoted-string ) ], up to a comma
        // outside quotes.
        std::size_t end = at;
        bool quoted = false;
        for (; end < value.size(); ++end) {
            const char c = value[end];
            if (quoted && c == '\\' && end + 1 < value.size())
                ++end;
            else if (c == '"')
                quoted = !quoted;
            else if (c == ',' && !quoted)
                break;
        }
        const std::string_view directive = Trim(value.substr(at, end - at));
        at = end + 1;
        const std::size_t eq = directive.find('=');
        const std::string_view name = Trim(directive.substr(0, eq));
        std::optional<std::string_view> argument;
        if (eq != std::string_view::npos) {
            std::string_view a = Trim(directive.substr(eq + 1));
            if (a.size() >= 2 && a.front() == '"' && a.back() == '"')
                a = a.substr(1, a.size() - 2);
            argument = a;
        }
        const auto seconds = [&] {
            // A missing or malformed argument counts as 0: the answer is stale.
            return argument ? Digits(*argument, kMaxDelta).value_or(0) : 0;
        };
        if (EqualNoCase(name, "max-age")) {
            if (!cc.maxAge)
                cc.maxAge = seconds();
        } else if (EqualNoCase(name, "stale-if-error")) {
            if (!cc.staleIfError)
                cc.staleIfError = seconds();
        } else if (EqualNoCase(name, "min-fresh")) {
            if (!cc.minFresh)
                cc.minFresh = seconds();
        } else if (EqualNoCase(name, "max-stale")) {
            if (!argument)
                cc.maxStaleAny = true;
            else if (!cc.maxStale)
                cc.maxStale = Digits(*argument, kMaxDelta);
        } else if (EqualNoCase(name, "only-if-cached")) {
            cc.onlyIfCached = true;
        } else if (EqualNoCase(name, "no-cache")) {
            std::string_view listed = argument ? Trim(*argument) : std::string_view();
            if (listed.empty())
                cc.noCache = true;
            while (!listed.empty()) {
                const std::size_t comma = listed.find(',');
                if (const std::string_view field = Trim(listed.substr(0, comma)); !field.empty())
                    cc.noCacheFields.emplace_back(field);
                listed = comma == std::string_view::npos ? std::string_view() : listed.substr(comma + 1);
            }
        } else if (EqualNoCase(name, "no-store")) {
            cc.noStore = true;
        } else if (EqualNoCase(name, "must-revalidate")) {
            cc.mustRevalidate = true;
        } else if (EqualNoCase(name, "private")) {
            cc.isPrivate = true;
        } else if (EqualNoCase(name, "public")) {
            cc.isPublic = true;
        }
    }
    return cc;
}

CacheControl RequestCacheControl(const std::vector<std::string> &requestLines)
{
    std::string request;
    for (const std::string &line : requestLines)
        request.append(line).append("\r\n");
    const Block block = Split(request);
    if (const std::optional<std::string> value = ValueIn(block, "Cache-Control")) {
        // A request has no qualified no-cache: any no-cache is the whole one.
        CacheControl cc = ParseCacheControl(*value);
        cc.noCache = cc.noCache || !cc.noCacheFields.empty();
        return cc;
    }
    CacheControl cc;
    const std::string pragma = ValueIn(block, "Pragma").value_or("");
    std::string_view rest = pragma;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        if (EqualNoCase(Trim(rest.substr(0, comma)), "no-cache"))
            cc.noCache = true;
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return cc;
}

std::string VaryKey(std::string_view answerBlock, const std::vector<std::string> &requestLines)
{
    const std::optional<std::string> vary = header::FieldValue(answerBlock, "Vary");
    if (!vary)
        return {};
    std::vector<std::string> names;
    std::string_view rest = *vary;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view one = Trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (one == "*")
            return "*";
        if (one.empty())
            continue;
        std::string name(one);
        for (char &c : name)
            c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        names.push_back(std::move(name));
    }
    if (names.empty())
        return {};
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::string request;
    for (const std::string &line : requestLines)
        request.append(line).append("\r\n");
    const Block block = Split(request);
    MD5Context md5;
    for (const std::string &name : names) {
        const std::optional<std::string> value = ValueIn(block, name);
        md5.Update(name);
        md5.Update(value ? std::string_view("=") : std::string_view("!"));  // present, or absent
        md5.Update(value.value_or(""));
        md5.Update(std::string_view("\n", 1));
    }
    return md5.ToString();
}

bool SaysNoStore(std::string_view block)
{
    return ParseCacheControl(header::FieldValue(block, "Cache-Control").value_or("")).noStore;
}

Freshness FreshnessOf(std::string_view storedBlock, std::int64_t requestTime, std::int64_t responseTime,
                      std::int64_t now)
{
    const Block block = Split(storedBlock);
    const CacheControl cc = ParseCacheControl(ValueIn(block, "Cache-Control").value_or(""));
    // An answer without a valid Date is dated when it was received.
    const std::int64_t date = ParseHttpDate(ValueIn(block, "Date").value_or("")).value_or(responseTime);

    Freshness f;
    if (cc.maxAge) {
        f.lifetime = *cc.maxAge;
    } else if (const auto expires = ValueIn(block, "Expires")) {
        // An invalid Expires (two of them included) means already expired.
        const auto at = ParseHttpDate(*expires);
        f.lifetime = at ? std::max<std::int64_t>(0, SaturatingSub(*at, date)) : 0;
    } else if (HeuristicallyCacheable(header::StatusOf(block.status)) || cc.isPublic) {
        const auto lastModified = ParseHttpDate(ValueIn(block, "Last-Modified").value_or(""));
        if (lastModified && *lastModified < date) {
            f.lifetime = std::min(kHeuristicCap, (date - *lastModified) / 10);
            f.heuristic = true;
        }
    }

    // RFC 9111 4.2.3.
    // An Age that is not one non-negative integer ("7200.0", "-5", "1 2",
    // two Age fields) is ignored, as if absent (RFC 9111 5.1); a huge one
    // counts as 2^31 (1.2.2).
    const std::int64_t ageValue = Digits(ValueIn(block, "Age").value_or(""), kMaxDelta).value_or(0);
    const std::int64_t apparentAge = std::max<std::int64_t>(0, SaturatingSub(responseTime, date));
    const std::int64_t responseDelay = std::max<std::int64_t>(0, SaturatingSub(responseTime, requestTime));
    const std::int64_t correctedAgeValue = SaturatingAdd(ageValue, responseDelay);
    const std::int64_t correctedInitialAge = std::max(apparentAge, correctedAgeValue);
    const std::int64_t residentTime = std::max<std::int64_t>(0, SaturatingSub(now, responseTime));
    f.age = SaturatingAdd(correctedInitialAge, residentTime);

    f.fresh = !cc.noCache && !cc.noStore && f.lifetime > f.age;
    return f;
}

bool ServableWithoutRequest(std::string_view storedBlock, std::int64_t requestTime, std::int64_t responseTime,
                            std::int64_t now, const CacheControl &request)
{
    if (request.noCache || request.maxAge == 0)
        return false;
    const CacheControl stored = ParseCacheControl(ValueIn(Split(storedBlock), "Cache-Control").value_or(""));
    if (stored.noCache || stored.noStore)
        return false;
    const Freshness f = FreshnessOf(storedBlock, requestTime, responseTime, now);
    if (request.maxAge && f.age > *request.maxAge)
        return false;
    if (f.lifetime > SaturatingAdd(f.age, request.minFresh.value_or(0)))
        return true;
    if (stored.mustRevalidate)
        return false;
    return request.maxStaleAny || (request.maxStale && SaturatingSub(f.age, f.lifetime) <= *request.maxStale);
}

bool StaleIfErrorAllows(std::string_view storedBlock, std::int64_t requestTime, std::int64_t responseTime,
                        std::int64_t now)
{
    const CacheControl cc = ParseCacheControl(ValueIn(Split(storedBlock), "Cache-Control").value_or(""));
    if (!cc.staleIfError)
        return false;
    const Freshness f = FreshnessOf(storedBlock, requestTime, responseTime, now);
    return f.age <= SaturatingAdd(f.lifetime, *cc.staleIfError);
}

Validators ValidatorsOf(std::string_view block)
{
    const Block b = Split(block);
    Validators v;
    v.etag = ValueIn(b, "ETag").value_or("");
    if (v.etag.size() >= 2 && v.etag[0] == 'W' && v.etag[1] == '/') {
        v.weak = true;
        v.etag.erase(0, 2);
    }
    v.lastModified = ValueIn(b, "Last-Modified").value_or("");
    return v;
}

std::vector<std::string> ConditionalLines(const Validators &v)
{
    std::vector<std::string> lines;
    if (!v.etag.empty() && !HasControl(v.etag))
        lines.push_back((v.weak ? "If-None-Match: W/" : "If-None-Match: ") + v.etag);
    if (!v.lastModified.empty() && !HasControl(v.lastModified))
        lines.push_back("If-Modified-Since: " + v.lastModified);
    return lines;
}

std::string RefreshedHeader(std::string_view storedBlock, std::string_view notModifiedBlock)
{
    const Block stored = Split(storedBlock);
    const Block update = Split(notModifiedBlock);

    // The fields the 304's Connection names are hop-by-hop as well; so are
    // those the stored answer's own Connection named, where an entry kept
    // them (one of HttpDownload_SYNC's): they leave it now.
    const std::vector<std::string> connectionNamed = ConnectionNamed(update);
    const std::vector<std::string> storedConnectionNamed = ConnectionNamed(stored);
    // The 304's fields that go into the stored answer. A line with a control
    // character is left out, and so is one that mentions Content-Length: the
    // 28 exports find that field by its name anywhere in the header file.
    std::vector<const Field *> taken;
    for (const Field &f : update.fields)
        if (!KeptFromStore(f.name, connectionNamed) && !HasControl(f.line, Tab::Text) && !MentionsContentLength(f.line))
            taken.push_back(&f);
    const auto updated = [&](std::string_view name) {
        return std::any_of(taken.begin(), taken.end(), [&](const Field *f) { return EqualNoCase(f->name, name); });
    };

    std::string out(stored.status);
    out += "\r\n";
    std::vector<std::string_view> written;  // names whose 304 lines are out
    const auto writeUpdates = [&](std::string_view name) {
        for (const Field *f : taken)
            if (EqualNoCase(f->name, name)) {
                out += f->line;
                out += "\r\n";
            }
        written.push_back(name);
    };
    const auto isWritten = [&](std::string_view name) {
        return std::any_of(written.begin(), written.end(), [&](std::string_view w) { return EqualNoCase(w, name); });
    };
    // Stored fields in their order; a field the 304 sends is replaced where it
    // first stood.
    for (const Field &f : stored.fields) {
        if (!updated(f.name)) {
            if (IsHopByHop(f.name, storedConnectionNamed))
                continue;
            out += f.line;
            out += "\r\n";
        } else if (!isWritten(f.name)) {
            writeUpdates(f.name);
        }
    }
    // Then the 304's fields the stored answer did not have, in their order.
    for (const Field *f : taken)
        if (!isWritten(f->name))
            writeUpdates(f->name);
    out += "\r\n";
    return out;
}

namespace {

// `block` without the fields `drop` names, each with its folded lines. The
// block unchanged, byte for byte, when it holds none of them; else cut at
// its empty line.
template <typename Drop>
std::string WithoutFields(std::string_view block, const Block &b, Drop drop)
{
    if (std::none_of(b.fields.begin(), b.fields.end(), [&](const Field &f) { return drop(f.name); }))
        return std::string(block);
    // Line by line, so that every other line stays exactly as it came; a
    // folded line goes with the field it continues.
    std::string out;
    std::size_t at = 0;
    bool statusLine = !b.status.empty(), dropping = false;
    while (at < block.size()) {
        std::size_t eol = block.find('\n', at);
        eol = eol == std::string_view::npos ? block.size() : eol + 1;
        const std::string_view line = block.substr(at, eol - at);
        at = eol;
        std::string_view bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r'))
            bare.remove_suffix(1);
        if (bare.empty()) {
            out += line;
            break;
        }
        if (statusLine) {
            statusLine = false;
            out += line;
            continue;
        }
        if (bare[0] != ' ' && bare[0] != '\t') {
            const std::size_t colon = bare.find(':');
            dropping = colon != std::string_view::npos && drop(Trim(bare.substr(0, colon)));
        }
        if (!dropping)
            out += line;
    }
    return out;
}

}  // namespace

std::string WithoutHopByHop(std::string_view block)
{
    const Block b = Split(block);
    const std::vector<std::string> named = ConnectionNamed(b);
    return WithoutFields(block, b, [&](std::string_view name) { return IsHopByHop(name, named); });
}

std::string StoredBlock(std::string_view block)
{
    const Block b = Split(block);
    const std::vector<std::string> named = ConnectionNamed(b);
    const CacheControl cc = ParseCacheControl(ValueIn(b, "Cache-Control").value_or(""));
    return WithoutFields(block, b, [&](std::string_view name) {
        // Content-Length stays: the body's framing, which both interfaces read.
        return IsHopByHop(name, named) ||
               (!EqualNoCase(name, "Content-Length") &&
                std::any_of(cc.noCacheFields.begin(), cc.noCacheFields.end(),
                            [&](const std::string &listed) { return EqualNoCase(name, listed); }));
    });
}

std::vector<std::string> ContentCodings(std::string_view block)
{
    std::vector<std::string> codings;
    const Block b = Split(block);
    for (const Field &f : b.fields) {
        if (!EqualNoCase(f.name, "Content-Encoding"))
            continue;
        std::string_view rest = f.value;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            const std::string_view one = Trim(rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            if (one.empty())
                continue;
            std::string coding(one);
            for (char &c : coding)
                c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            codings.push_back(std::move(coding));
        }
    }
    return codings;
}

std::string WithoutContentCoding(std::string_view block, bool lengthToo)
{
    return WithoutFields(block, Split(block), [&](std::string_view name) {
        return EqualNoCase(name, "Content-Encoding") || (lengthToo && EqualNoCase(name, "Content-Length"));
    });
}

bool Storable(std::string_view block)
{
    const Block b = Split(block);
    const int status = header::StatusOf(b.status);
    const CacheControl cc = ParseCacheControl(ValueIn(b, "Cache-Control").value_or(""));
    if (cc.noStore || status < 200 || status == 206 || status == 304)
        return false;
    if (status == 200 || cc.maxAge || ValueIn(b, "Expires") || cc.isPublic || cc.isPrivate)
        return true;
    return HeuristicallyCacheable(status) && ValueIn(b, "Last-Modified").has_value();
}

std::string AnswerHeader(std::string_view block, std::int64_t age)
{
    const Block b = Split(block);
    const std::vector<std::string> named = ConnectionNamed(b);
    std::string out(b.status);
    out += "\r\n";
    for (const Field &f : b.fields) {
        if (IsHopByHop(f.name, named) || EqualNoCase(f.name, "Age"))
            continue;
        out += f.line;
        out += "\r\n";
    }
    out += "Age: " + std::to_string(std::max<std::int64_t>(0, age)) + "\r\n\r\n";
    return out;
}

std::string ResumeValidatorOf(std::string_view block)
{
    if (header::StatusOf(block) != 200)
        return {};
    const std::optional<std::int64_t> length = header::ParseLength(header::FieldValue(block, "Content-Length"));
    if (!length || *length <= 0)
        return {};
    const Validators v = ValidatorsOf(block);
    std::string chosen = !v.etag.empty() && !v.weak ? v.etag : v.lastModified;
    return header::HasControl(chosen) ? std::string() : chosen;
}

std::optional<ContentRange> ParseContentRange(std::string_view value)
{
    std::string_view s = Trim(value);
    if (!StartsNoCase(s, "bytes "))
        return std::nullopt;
    s = s.substr(6);
    const std::size_t dash = s.find('-'), slash = s.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash)
        return std::nullopt;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const auto first = Digits(s.substr(0, dash), kMax), last = Digits(s.substr(dash + 1, slash - dash - 1), kMax);
    const std::string_view totalText = s.substr(slash + 1);
    // Values that saturated are beyond any file; refuse them.
    if (!first || !last || *first == kMax || *last == kMax || *first > *last)
        return std::nullopt;
    ContentRange range{*first, *last, std::nullopt};
    if (totalText != "*") {
        const auto total = Digits(totalText, kMax);
        if (!total || *total == kMax || *last >= *total)
            return std::nullopt;
        range.total = *total;
    }
    return range;
}

}  // namespace zelmo::fetch
