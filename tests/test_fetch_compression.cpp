// Content codings through zelmo_fetch: ZELMO_FETCH_COMPRESSION asks for
// them and stores the decoded body; without it a coded answer is stored as
// it came. Against the scripted server (coded bodies made here, in stored
// deflate blocks, so that no compressor is needed on either side), and
// against nginx's own gzip.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "fetch/decode.h"
#if ZELMO_HAVE_BROTLI
#include <brotli/encode.h>
#endif
#if ZELMO_HAVE_ZSTD
#include <zstd.h>
#endif
#include "support/fetch.h"
#include "support/files.h"
#include "support/http_server.h"
#include "support/nginx.h"
#include "zelmo_fetch.h"

namespace {

namespace fs = std::filesystem;
using zelmo::test::Answer;
using zelmo::test::Fetched;
using zelmo::test::NginxBase;
using zelmo::test::NginxDirectory;
using zelmo::test::NginxSkipReason;
using zelmo::test::ReadFile;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::TempDir;

// ---- coded bodies ----------------------------------------------------------

std::uint32_t Crc32(const std::string &bytes)
{
    std::uint32_t crc = 0xffffffffu;
    for (const unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::uint32_t Adler32(const std::string &bytes)
{
    std::uint32_t a = 1, b = 0;
    for (const unsigned char c : bytes) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

void Little32(std::string &out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
}

void Big32(std::string &out, std::uint32_t v)
{
    for (int i = 3; i >= 0; --i)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
}

// RFC 1951 stored blocks: the bytes as they are, in blocks of at most 65535.
std::string StoredBlocks(const std::string &body)
{
    std::string out;
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(65535, body.size() - at);
        const bool last = at + n == body.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(n & 0xff);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(~n & 0xff);
        out += static_cast<char>((~n >> 8) & 0xff);
        out.append(body, at, n);
        at += n;
    } while (at < body.size());
    return out;
}

// RFC 1952.
std::string Gzip(const std::string &body)
{
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    out += StoredBlocks(body);
    Little32(out, Crc32(body));
    Little32(out, static_cast<std::uint32_t>(body.size()));
    return out;
}

// HTTP's "deflate": the zlib format of RFC 1950.
std::string Deflate(const std::string &body)
{
    std::string out("\x78\x01", 2);
    out += StoredBlocks(body);
    Big32(out, Adler32(body));
    return out;
}

// br and zstd, where the build decodes them (made by their encoders);
// elsewhere bytes that no decoder is asked to read.
std::string Brotli(const std::string &body)
{
#if ZELMO_HAVE_BROTLI
    std::string out(BrotliEncoderMaxCompressedSize(body.size()), '\0');
    std::size_t n = out.size();
    if (!BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT, body.size(),
                               reinterpret_cast<const uint8_t *>(body.data()), &n, reinterpret_cast<uint8_t *>(&out[0])))
        return {};
    out.resize(n);
    return out;
#else
    return "opaque br bytes of " + std::to_string(body.size());
#endif
}

std::string Zstd(const std::string &body)
{
#if ZELMO_HAVE_ZSTD
    std::string out(ZSTD_compressBound(body.size()), '\0');
    const std::size_t n = ZSTD_compress(&out[0], out.size(), body.data(), body.size(), 3);
    if (ZSTD_isError(n))
        return {};
    out.resize(n);
    return out;
#else
    return "opaque zstd bytes of " + std::to_string(body.size());
#endif
}

// What the flag asks for: gzip and deflate always, br and zstd where decoded.
std::string AcceptedCodings()
{
    std::string accepted = "gzip, deflate";
    for (const char *coding : {"br", "zstd"})
        if (zelmo::fetch::Decoder::Knows(coding))
            accepted = accepted + ", " + coding;
    return accepted;
}

// RFC 1951 alone: the "deflate" some servers send without its wrapping.
std::string RawDeflate(const std::string &body)
{
    return StoredBlocks(body);
}

zelmo::cache::EntryFiles FilesOf(const std::string &cache, const std::string &url)
{
    std::string dir = cache;
    if (dir.back() != '/' && dir.back() != '\\')
        dir += '/';
    return zelmo::cache::EntryFilesIn(dir, url);
}

// The value of `name` in a stored header file; "-" when absent.
std::string Stored(const std::string &header, const std::string &name)
{
    const std::string key = "\n" + name + ": ";
    const std::size_t at = header.find(key);
    if (at == std::string::npos)
        return "-";
    const std::size_t start = at + key.size();
    return header.substr(start, header.find('\r', start) - start);
}

Fetched Fetch(const std::string &url, const std::string &cache, bool compression, int mode = ZELMO_CACHE_REVALIDATE,
              uint32_t flags = 0)
{
    return zelmo::test::Fetch(url, cache, mode, [&](ZelmoFetchOptions &o) {
        o.flags |= flags | (compression ? ZELMO_FETCH_COMPRESSION : 0u);
    });
}

const std::string kText = [] {
    std::string s;
    for (int i = 0; s.size() < 70000; ++i)  // two stored blocks
        s += "line " + std::to_string(i) + " of a text that codes well\n";
    return s;
}();

// ---- the flag against each coding --------------------------------------------

struct Coding {
    const char *name;     // the Content-Encoding sent; null: none
    std::string body;     // the body as sent
    bool decodes;         // the fetch decodes it
    bool coded;           // it changes the bytes
};

std::vector<Coding> Codings()
{
    return {
        {nullptr, kText, true, false},
        {"gzip", Gzip(kText), true, true},
        {"x-gzip", Gzip(kText), true, true},
        {"GZip", Gzip(kText), true, true},
        {"gzip", Gzip(kText.substr(0, 1000)) + Gzip(kText.substr(1000)), true, true},  // two members
        {"deflate", Deflate(kText), true, true},
        {"deflate", RawDeflate(kText), true, true},
        {"deflate, gzip", Gzip(Deflate(kText)), true, true},
        {"identity, gzip", Gzip(kText), true, true},
        {"identity", kText, true, false},
        {"x-foo", "opaque x-foo bytes", false, true},
        {"gzip, x-foo", "opaque x-foo bytes", false, true},
        {"br", Brotli(kText), zelmo::fetch::Decoder::Knows("br"), true},
        {"zstd", Zstd(kText), zelmo::fetch::Decoder::Knows("zstd"), true},
        {"zstd", Zstd(kText.substr(0, 5000)) + Zstd(kText.substr(5000)), zelmo::fetch::Decoder::Knows("zstd"), true},
        {"br, gzip", Gzip(Brotli(kText)), zelmo::fetch::Decoder::Knows("br"), true},
    };
}

TEST(FetchCompression, FlagAgainstEachCodingDecidesWhatIsStored)
{
    for (const bool flag : {false, true}) {
        for (const Coding &c : Codings()) {
            SCOPED_TRACE(std::string(flag ? "flag, " : "no flag, ") + (c.name ? c.name : "no coding"));
            const std::string extra = std::string("ETag: \"e1\"\r\n") +
                                      (c.name ? std::string("Content-Encoding: ") + c.name + "\r\n" : "");
            ScriptedServer server([&](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", c.body, extra); });
            TempDir dir;
            const std::string cache = dir.path().string(), url = server.Url("/page");
            const Fetched f = Fetch(url, cache, flag);

            // Accept-Encoding only with the flag, and only the codings the fetch decodes.
            const RecordedRequest sent = server.Requests().at(0);
            EXPECT_EQ(sent.HasHeader("Accept-Encoding"), flag);
            EXPECT_EQ(sent.Header("Accept-Encoding"), flag ? AcceptedCodings() : "");

            const zelmo::cache::EntryFiles files = FilesOf(cache, url);
            if (flag && !c.decodes) {
                // A coding the flag cannot undo fails, named, and nothing is stored.
                EXPECT_EQ(f.rc, ZELMO_FETCH_E_TRANSFER);
                EXPECT_EQ(f.r.http_status, 200);
                // The text names the first coding the build does not decode.
                std::string named, rest = c.name;
                while (named.empty() && !rest.empty()) {
                    const std::size_t comma = rest.find(", ");
                    const std::string one = rest.substr(0, comma);
                    rest = comma == std::string::npos ? "" : rest.substr(comma + 2);
                    if (!zelmo::fetch::Decoder::Knows(one))
                        named = one;
                }
                EXPECT_NE(std::string(f.r.error_text).find("\"" + named + "\""), std::string::npos) << f.r.error_text;
                EXPECT_FALSE(zelmo::test::Exists(files.header));
                EXPECT_FALSE(zelmo::test::Exists(files.body));
                continue;
            }
            ASSERT_EQ(f.rc, 0) << f.r.error_text;
            EXPECT_EQ(f.r.outcome, ZELMO_FETCH_REPLACED);
            // With the flag the decoded body; without it the bytes as sent.
            const std::string expected = flag ? kText : c.body;
            EXPECT_TRUE(f.body == expected) << f.body.size();
            EXPECT_EQ(f.r.bytes_served, static_cast<int64_t>(expected.size()));
            EXPECT_EQ(f.r.bytes_received, static_cast<int64_t>(expected.size()));
            EXPECT_TRUE(ReadFile(files.body) == expected);
            const std::string header = ReadFile(files.header);
            EXPECT_EQ(Stored(header, "Content-Length"), std::to_string(expected.size())) << header;
            EXPECT_EQ(Stored(header, "Content-Encoding"), flag || !c.name ? "-" : c.name) << header;
            EXPECT_EQ(Stored(header, "ETag"), "\"e1\"") << header;

            // The entry's length and checksum are those of what it holds:
            // served again from the cache alone, checked.
            const Fetched again = Fetch(url, cache, flag, ZELMO_CACHE_ONLY);
            ASSERT_EQ(again.rc, 0) << again.r.error_text;
            EXPECT_EQ(again.r.flags & ZELMO_FETCH_RESULT_DROPPED_CORRUPT, 0u);
            EXPECT_TRUE(again.body == expected);
        }
    }
}

// The host's own Accept-Encoding, without the flag: the coded answer it
// asked for is kept coded, and says so.
TEST(FetchCompression, HostsOwnAcceptEncodingIsStoredCodedWithoutTheFlag)
{
    const std::string gz = Gzip(kText);
    ScriptedServer server([&](const RecordedRequest &r) {
        if (r.Header("Accept-Encoding") == "gzip")
            return Answer::Full("HTTP/1.1 200 OK", gz, "Content-Encoding: gzip\r\n");
        return Answer::Full("HTTP/1.1 200 OK", kText);
    });
    TempDir dir;
    const std::string cache = dir.path().string(), url = server.Url("/own");
    const char *lines[] = {"Accept-Encoding: gzip", nullptr};
    const Fetched f = zelmo::test::Fetch(url, cache, [&](ZelmoFetchOptions &o) { o.headers = lines; });
    ASSERT_EQ(f.rc, 0) << f.r.error_text;
    EXPECT_TRUE(f.body == gz);
    EXPECT_EQ(Stored(ReadFile(FilesOf(cache, url).header), "Content-Encoding"), "gzip");
}

// A redirect's body is skipped, so its coding is no concern of the flag's:
// only the final answer's coding counts.
TEST(FetchCompression, ARedirectsCodingIsNotJudged)
{
    const std::string gz = Gzip(kText);
    for (const char *coding : {"br", "x-foo", "gzip"}) {
        SCOPED_TRACE(coding);
        ScriptedServer server([&](const RecordedRequest &r) {
            if (r.target == "/moved")
                return Answer::Full("HTTP/1.1 301 Moved Permanently", "opaque bytes",
                                    std::string("Location: /here\r\nContent-Encoding: ") + coding + "\r\n");
            return Answer::Full("HTTP/1.1 200 OK", gz, "Content-Encoding: gzip\r\n");
        });
        TempDir dir;
        const Fetched f = Fetch(server.Url("/moved"), dir.path().string(), true);
        ASSERT_EQ(f.rc, 0) << f.r.error_text;
        EXPECT_TRUE(f.body == kText);
    }
}

// ---- bodies that do not decode ---------------------------------------------

// Bodies that do not decode, whole or cut short inside complete HTTP
// framing (a Content-Length of the bytes sent, or a last chunk): the call
// fails, nothing is stored, the old entry stays served.
TEST(FetchCompression, ABodyThatDoesNotDecodeKeepsTheOldEntry)
{
    std::string badCrc = Gzip(kText);
    badCrc[badCrc.size() - 8] ^= 0x55;
    std::string badBlock = Gzip(kText);
    badBlock[10] = '\x07';  // block type 3, which does not exist
    std::string badAdler = Deflate(kText);
    badAdler[badAdler.size() - 1] ^= 0x55;
    const std::string gz = Gzip(kText), zl = Deflate(kText);
    struct Case {
        const char *name;
        const char *coding;
        std::string body;
        bool chunked;       // sent in chunks, a last chunk after them; else with its Content-Length
        const char *why;    // in the error text
    };
    std::vector<Case> cases = {
        {"gzip, a block type that does not exist", "gzip", badBlock, false, "invalid block type"},
        {"gzip, a wrong CRC", "gzip", badCrc, false, "incorrect data check"},
        {"gzip, not gzip at all", "gzip", "plain text, not gzip", false, "incorrect header check"},
        {"deflate, a wrong Adler-32", "deflate", badAdler, false, "incorrect data check"},
        {"gzip, cut in the middle", "gzip", gz.substr(0, gz.size() / 2), false, "ends before"},
        {"gzip, cut in the middle, chunked", "gzip", gz.substr(0, gz.size() / 2), true, "ends before"},
        {"gzip, its last byte missing", "gzip", gz.substr(0, gz.size() - 1), false, "ends before"},
        {"gzip, its header only", "gzip", gz.substr(0, 10), true, "ends before"},
        {"gzip, one byte", "gzip", gz.substr(0, 1), false, "ends before"},
        {"deflate, its last byte missing", "deflate", zl.substr(0, zl.size() - 1), false, "ends before"},
        {"deflate, one byte", "deflate", zl.substr(0, 1), false, "ends before"},
        {"raw deflate, cut", "deflate", RawDeflate(kText).substr(0, 40000), true, "ends before"},
        {"deflate, gzip: the inner stream cut", "deflate, gzip", Gzip(zl.substr(0, zl.size() - 4)), false, "ends before"},
        {"gzip, bytes after its end", "gzip", gz + "trailing", false, "bytes follow the end"},
        {"gzip, bytes after its end in the next chunk", "gzip", gz + std::string(5000, '\0'), true, "bytes follow the end"},
        {"deflate, bytes after its end", "deflate", zl + "x", false, "bytes follow the end"},
        {"gzip, a second member cut", "gzip", gz + gz.substr(0, 30), true, "ends before"},
    };
    if (zelmo::fetch::Decoder::Knows("br")) {
        const std::string br = Brotli(kText);
        cases.push_back({"br, cut in the middle", "br", br.substr(0, br.size() / 2), false, "ends before"});
        cases.push_back({"br, its last byte missing", "br", br.substr(0, br.size() - 1), true, "ends before"});
        cases.push_back({"br, bytes after its end", "br", br + "x", false, "bytes follow the end"});
        cases.push_back({"br, not br at all", "br", std::string(64, '\xff'), false, ""});
    }
    if (zelmo::fetch::Decoder::Knows("zstd")) {
        const std::string zs = Zstd(kText);
        cases.push_back({"zstd, cut in the middle", "zstd", zs.substr(0, zs.size() / 2), false, "ends before"});
        cases.push_back({"zstd, its last byte missing", "zstd", zs.substr(0, zs.size() - 1), true, "ends before"});
        cases.push_back({"zstd, a second frame cut", "zstd", zs + zs.substr(0, 20), false, "ends before"});
        cases.push_back({"zstd, not zstd at all", "zstd", "plain text, not zstd", false, "nknown frame"});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int served = 0;
        ScriptedServer server([&](const RecordedRequest &) {
            if (served++ == 0)
                return Answer::Full("HTTP/1.1 200 OK", "the old body", "ETag: \"old\"\r\n");
            const std::string fields = std::string("ETag: \"new\"\r\nContent-Encoding: ") + c.coding + "\r\n";
            if (c.chunked)
                return Answer::Raw("HTTP/1.1 200 OK\r\n" + fields + "Transfer-Encoding: chunked\r\n\r\n" +
                                   zelmo::test::Chunked(c.body, 4096));
            return Answer::Full("HTTP/1.1 200 OK", c.body, fields);
        });
        TempDir dir;
        const std::string cache = dir.path().string(), url = server.Url("/bad");
        const Fetched first = Fetch(url, cache, true);
        ASSERT_EQ(first.rc, 0) << first.r.error_text;
        const zelmo::cache::EntryFiles files = FilesOf(cache, url);
        const std::string header = ReadFile(files.header), meta = ReadFile(files.meta);

        const Fetched bad = Fetch(url, cache, true, ZELMO_CACHE_NETWORK_ONLY);
        EXPECT_EQ(bad.rc, ZELMO_FETCH_E_TRANSFER);
        EXPECT_NE(std::string(bad.r.error_text).find("did not decode as its Content-Encoding \"" + std::string(c.coding)),
                  std::string::npos)
            << bad.r.error_text;
        EXPECT_NE(std::string(bad.r.error_text).find(c.why), std::string::npos) << bad.r.error_text;
        EXPECT_EQ(ReadFile(files.header), header);
        EXPECT_EQ(ReadFile(files.meta), meta);
        EXPECT_FALSE(zelmo::test::Exists(files.partialMeta));

        const Fetched kept = Fetch(url, cache, true, ZELMO_CACHE_ONLY);
        ASSERT_EQ(kept.rc, 0) << kept.r.error_text;
        EXPECT_EQ(kept.body, "the old body");
    }
}

// The decoder itself, given the coded body in pieces of every size from
// one byte up, among them bodies that end exactly at the edge of its 64 KiB
// output buffer: the same decoded bytes, and an end only where the stream
// has one.
bool Collect(void *out, const char *data, std::size_t n)
{
    static_cast<std::string *>(out)->append(data, n);
    return true;
}

TEST(FetchCompression, DecoderTakesTheBodyInPiecesOfAnySize)
{
    const std::string edge(65536, 'e'), twoEdges = kText.substr(0, 65536) + kText.substr(0, 65536);
    struct Case {
        const char *name;
        std::vector<std::string> codings;
        std::string coded, decoded;
        std::size_t firstEnd;  // the coded bytes up to the first point the body may end
    };
    const std::string first = Gzip("first ");
    std::vector<Case> cases = {
        {"gzip", {"gzip"}, Gzip(kText), kText, 0},
        {"gzip, 64 KiB exactly", {"gzip"}, Gzip(edge), edge, 0},
        {"gzip, 128 KiB exactly", {"gzip"}, Gzip(twoEdges), twoEdges, 0},
        {"gzip, an empty body coded", {"gzip"}, Gzip(""), "", 0},
        {"gzip, two members", {"gzip"}, first + Gzip("second"), "first second", first.size()},
        {"deflate", {"deflate"}, Deflate(kText), kText, 0},
        {"deflate, bare blocks", {"deflate"}, RawDeflate(kText), kText, 0},
        {"deflate, then gzip", {"deflate", "gzip"}, Gzip(Deflate(kText)), kText, 0},
        {"identity, then gzip", {"identity", "gzip"}, Gzip(kText), kText, 0},
    };
    if (zelmo::fetch::Decoder::Knows("br")) {
        cases.push_back({"br", {"br"}, Brotli(kText), kText, 0});
        cases.push_back({"br, 128 KiB exactly", {"br"}, Brotli(twoEdges), twoEdges, 0});
    }
    if (zelmo::fetch::Decoder::Knows("zstd")) {
        const std::string firstFrame = Zstd("first ");
        cases.push_back({"zstd", {"zstd"}, Zstd(kText), kText, 0});
        cases.push_back({"zstd, 128 KiB exactly", {"zstd"}, Zstd(twoEdges), twoEdges, 0});
        cases.push_back({"zstd, two frames", {"zstd"}, firstFrame + Zstd("second"), "first second", firstFrame.size()});
    }
    for (const Case &c : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4096},
                                        std::size_t{65536}, c.coded.size() + 1}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            zelmo::fetch::Decoder decoder(c.codings);
            std::string out;
            bool ok = true;
            for (std::size_t at = 0; ok && at < c.coded.size(); at += piece) {
                ok = decoder.Write(c.coded.data() + at, std::min(piece, c.coded.size() - at), &Collect, &out);
                // Before the stream's end (the first member's, for two) no end.
                const std::size_t end = c.firstEnd != 0 ? c.firstEnd : c.coded.size();
                if (ok && at + piece < end) {
                    EXPECT_FALSE(decoder.Ended());
                }
            }
            ASSERT_TRUE(ok) << decoder.Error();
            EXPECT_TRUE(decoder.Ended());
            EXPECT_TRUE(out == c.decoded) << out.size() << " bytes decoded";
        }
    }
    // No coded byte at all is an empty body, complete.
    zelmo::fetch::Decoder none(std::vector<std::string>{"gzip"});
    EXPECT_TRUE(none.Ended());
}

// A receiver that refuses stops the decoding without a decoding error.
bool Refuse(void *, const char *, std::size_t)
{
    return false;
}

TEST(FetchCompression, DecoderStopsWhereTheReceiverRefuses)
{
    zelmo::fetch::Decoder decoder(std::vector<std::string>{"gzip"});
    const std::string gz = Gzip(kText);
    EXPECT_FALSE(decoder.Write(gz.data(), gz.size(), &Refuse, nullptr));
    EXPECT_EQ(decoder.Error(), "");
}

// ---- 304s ------------------------------------------------------------------

// A 304 may not change how the stored body is framed or coded (RFC 9111
// 3.2): its Content-Length and Content-Encoding are ignored, its other
// fields taken; the entry stays served and checked as it was.
TEST(FetchCompression, NotModifiedCannotChangeLengthOrCoding)
{
    struct Case {
        const char *name;
        bool flag;
        const char *notModified;  // the 304's fields
        std::string storedCoding; // the stored header's Content-Encoding after both
    };
    const Case cases[] = {
        {"decoded entry, 304 says gzip and a length", true, "Content-Encoding: gzip\r\nContent-Length: 17\r\n", "-"},
        {"decoded entry, 304 says br", true, "Content-Encoding: br\r\n", "-"},
        {"coded entry, 304 says identity and a length", false, "Content-Encoding: identity\r\nContent-Length: 3\r\n",
         "gzip"},
    };
    const std::string gz = Gzip(kText);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([&](const RecordedRequest &r) {
            if (r.HasHeader("If-None-Match"))
                return Answer::Raw(std::string("HTTP/1.1 304 Not Modified\r\nETag: \"g\"\r\nX-Seen: again\r\n") +
                                   c.notModified + "\r\n");
            return Answer::Full("HTTP/1.1 200 OK", gz, "ETag: \"g\"\r\nContent-Encoding: gzip\r\n");
        });
        TempDir dir;
        const std::string cache = dir.path().string(), url = server.Url("/304");
        const std::string expected = c.flag ? kText : gz;
        const Fetched first = Fetch(url, cache, c.flag);
        ASSERT_EQ(first.rc, 0) << first.r.error_text;
        const Fetched second = Fetch(url, cache, c.flag);
        ASSERT_EQ(second.rc, 0) << second.r.error_text;
        EXPECT_EQ(second.r.outcome, ZELMO_FETCH_REVALIDATED);
        EXPECT_TRUE(second.body == expected);
        const std::string header = ReadFile(FilesOf(cache, url).header);
        EXPECT_EQ(Stored(header, "X-Seen"), "again") << header;
        EXPECT_EQ(Stored(header, "Content-Length"), std::to_string(expected.size())) << header;
        EXPECT_EQ(Stored(header, "Content-Encoding"), c.storedCoding) << header;
        const Fetched third = Fetch(url, cache, c.flag, ZELMO_CACHE_ONLY);
        ASSERT_EQ(third.rc, 0) << third.r.error_text;
        EXPECT_TRUE(third.body == expected);
    }
}

// ---- cut transfers ----------------------------------------------------------

// A cut coded answer: decoded, its bytes are no prefix of the coded body a
// range would continue, so nothing is kept and the next call asks for the
// whole; kept coded (without the flag), a range continues it — sent
// without Accept-Encoding even by a call with the flag, so that the rest
// comes in the coding of what is kept.
TEST(FetchCompression, ACutDecodedTransferKeepsNoPartial)
{
    const std::string gz = Gzip(kText);
    const std::size_t cut = gz.size() / 2;
    const std::string head = "HTTP/1.1 200 OK\r\nETag: \"z\"\r\nContent-Encoding: gzip\r\nContent-Length: " +
                             std::to_string(gz.size()) + "\r\n\r\n";
    struct Case {
        const char *name;
        bool flagFirst;      // the flag on the call that is cut
        bool keepsPartial;   // a partial is left
    };
    for (const Case &c : {Case{"decoded", true, false}, Case{"kept coded", false, true}}) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        ScriptedServer server([&](const RecordedRequest &r) {
            if (calls++ == 0)
                return Answer::Raw(head + gz.substr(0, cut), true);
            if (r.HasHeader("Range"))
                return Answer::Full("HTTP/1.1 206 Partial Content", gz.substr(cut),
                                    "ETag: \"z\"\r\nContent-Encoding: gzip\r\nContent-Range: bytes " +
                                        std::to_string(cut) + "-" + std::to_string(gz.size() - 1) + "/" +
                                        std::to_string(gz.size()) + "\r\n");
            return Answer::Full("HTTP/1.1 200 OK", gz, "ETag: \"z\"\r\nContent-Encoding: gzip\r\n");
        });
        TempDir dir;
        const std::string cache = dir.path().string(), url = server.Url("/cut");
        const Fetched first = Fetch(url, cache, c.flagFirst);
        EXPECT_EQ(first.rc, ZELMO_FETCH_E_TRANSFER);
        const zelmo::cache::EntryFiles files = FilesOf(cache, url);
        EXPECT_EQ(zelmo::test::Exists(files.partialMeta), c.keepsPartial);

        // The next call has the flag either way.
        const Fetched second = Fetch(url, cache, true);
        ASSERT_EQ(second.rc, 0) << second.r.error_text;
        const std::vector<RecordedRequest> sent = server.Requests();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[1].HasHeader("Range"), c.keepsPartial);
        EXPECT_EQ(sent[1].HasHeader("Accept-Encoding"), !c.keepsPartial);
        if (c.keepsPartial) {
            // Continued as it was sent: coded, and its header says so.
            EXPECT_EQ(second.r.outcome, ZELMO_FETCH_RESUMED);
            EXPECT_TRUE(second.body == gz);
            EXPECT_EQ(Stored(ReadFile(files.header), "Content-Encoding"), "gzip");
        } else {
            EXPECT_EQ(second.r.outcome, ZELMO_FETCH_REPLACED);
            EXPECT_TRUE(second.body == kText);
            EXPECT_EQ(Stored(ReadFile(files.header), "Content-Encoding"), "-");
        }
    }
}

struct Seen {
    int64_t received = 0, total = 0;
};

int ZELMO_API Note(void *data, int64_t received, int64_t total)
{
    auto *s = static_cast<Seen *>(data);
    s->received = received;
    s->total = total;
    return 0;
}

// Progress of a decoded body: decoded bytes, against no total (the
// Content-Length is the coded body's).
TEST(FetchCompression, ProgressOfADecodedBodyHasNoTotal)
{
    const std::string gz = Gzip(kText);
    ScriptedServer server(
        [&](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", gz, "Content-Encoding: gzip\r\n"); });
    TempDir dir;
    Seen seen;
    const Fetched f = zelmo::test::Fetch(server.Url("/p"), dir.path().string(), [&](ZelmoFetchOptions &o) {
        o.flags |= ZELMO_FETCH_COMPRESSION;
        o.progress = &Note;
        o.progress_data = &seen;
    });
    ASSERT_EQ(f.rc, 0) << f.r.error_text;
    EXPECT_EQ(seen.received, static_cast<int64_t>(kText.size()));
    EXPECT_EQ(seen.total, -1);
}

// ---- nginx -------------------------------------------------------------------

// nginx gzips /text/ for a client that asks: the flag asks, the entry holds
// the page decoded; without the flag nothing is asked and the page comes
// as it is.
TEST(FetchCompressionNginx, GzipIsNegotiatedAndTheEntryDecoded)
{
    if (const std::string reason = NginxSkipReason(); !reason.empty())
        GTEST_SKIP() << reason;
    const fs::path page = NginxDirectory() / "root" / "text" / "compression.txt";
    fs::create_directories(page.parent_path());
    std::ofstream(page, std::ios::binary | std::ios::trunc) << kText;
    const std::string url = NginxBase() + "text/compression.txt";
    const fs::path log = NginxDirectory() / "access.log";
    // The body bytes nginx logged for the last request of the page.
    const auto sentBytes = [&] {
        std::ifstream in(log);
        std::string line, last;
        while (std::getline(in, line))
            if (line.find("/text/compression.txt") != std::string::npos)
                last = line;
        // ... "GET /text/compression.txt HTTP/1.1" 200 BYTES HTTP/1.1
        std::size_t end = last.rfind(' ');
        std::size_t start = end == std::string::npos ? std::string::npos : last.rfind(' ', end - 1);
        return start == std::string::npos ? std::int64_t{-1} : std::stoll(last.substr(start + 1, end - start - 1));
    };
    for (const bool flag : {true, false}) {
        SCOPED_TRACE(flag ? "flag" : "no flag");
        TempDir dir;
        const std::string cache = dir.path().string();
        const Fetched f = Fetch(url, cache, flag);
        ASSERT_EQ(f.rc, 0) << f.r.error_text;
        EXPECT_TRUE(f.body == kText);
        const std::string header = ReadFile(FilesOf(cache, url).header);
        EXPECT_EQ(Stored(header, "Content-Encoding"), "-") << header;
        EXPECT_EQ(Stored(header, "Content-Length"), std::to_string(kText.size())) << header;
        // nginx logs the bytes it sent: gzip, well under the text's size.
        bool logged = false;
        for (int i = 0; i < 50 && !logged; ++i) {
            const std::int64_t sent = sentBytes();
            logged = flag ? sent > 0 && sent < static_cast<std::int64_t>(kText.size()) / 4
                          : sent == static_cast<std::int64_t>(kText.size());
            if (!logged)
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        EXPECT_TRUE(logged) << sentBytes();
        // Revalidated with the validator of the coded answer: a 304.
        const Fetched again = Fetch(url, cache, flag);
        ASSERT_EQ(again.rc, 0) << again.r.error_text;
        EXPECT_EQ(again.r.outcome, ZELMO_FETCH_REVALIDATED);
        EXPECT_TRUE(again.body == kText);
    }
    fs::remove(page);
}

}  // namespace
