// gzip and deflate bodies undone with zlib (see decode.h).
#include "fetch/decode.h"

#include <algorithm>
#include <new>

#include <zlib.h>

namespace zelmo::fetch {

namespace {

constexpr std::size_t kOutput = 64 * 1024;
constexpr std::size_t kPiece = 1 << 20;  // what one inflate call is given at most

// RFC 1950's two header bytes: method 8 with a window of at most 32 KiB,
// and a check that makes them a multiple of 31. HTTP's "deflate" is this
// wrapping; a server that sends bare RFC 1951 blocks under that name (as
// some always have) is taken as well.
bool ZlibWrapped(unsigned char cmf, unsigned char flg)
{
    return (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0;
}

}  // namespace

struct Decoder::Stage {
    enum class Kind { Gzip, Deflate };
    explicit Stage(Kind k) : kind(k), output(new char[kOutput]) {}
    ~Stage()
    {
        if (started)
            inflateEnd(&z);
    }

    Kind kind;
    z_stream z{};
    bool started = false;  // inflate initialised
    bool ended = false;    // the coded stream's last byte came
    bool input = false;    // any coded byte came
    std::string head;      // deflate: its first bytes, until the wrapping is known
    std::unique_ptr<char[]> output;
};

bool Decoder::Knows(std::string_view coding)
{
    return coding == "identity" || coding == "gzip" || coding == "x-gzip" || coding == "deflate";
}

Decoder::Decoder(const std::vector<std::string> &codings)
{
    for (auto c = codings.rbegin(); c != codings.rend(); ++c) {
        if (*c == "gzip" || *c == "x-gzip")
            stages_.push_back(std::make_unique<Stage>(Stage::Kind::Gzip));
        else if (*c == "deflate")
            stages_.push_back(std::make_unique<Stage>(Stage::Kind::Deflate));
    }
}

Decoder::~Decoder() = default;

bool Decoder::Write(const char *data, std::size_t n, Receiver receiver, void *context)
{
    return error_.empty() && Feed(0, data, n, receiver, context);
}

bool Decoder::Ended() const
{
    return error_.empty() &&
           std::all_of(stages_.begin(), stages_.end(), [](const auto &s) { return !s->input || s->ended; });
}

bool Decoder::Feed(std::size_t i, const char *data, std::size_t n, Receiver receiver, void *context)
{
    if (i == stages_.size())
        return receiver(context, data, n);
    if (n == 0)
        return true;
    Stage &s = *stages_[i];
    s.input = true;
    const auto fail = [&](std::string why) {
        error_ = std::move(why);
        return false;
    };
    if (!s.started) {
        int windowBits = 16 + MAX_WBITS;  // gzip's wrapping only
        std::string head;
        if (s.kind == Stage::Kind::Deflate) {
            const std::size_t take = std::min<std::size_t>(2 - s.head.size(), n);
            s.head.append(data, take);
            data += take;
            n -= take;
            if (s.head.size() < 2)
                return true;
            head = std::move(s.head);
            const bool wrapped = ZlibWrapped(static_cast<unsigned char>(head[0]), static_cast<unsigned char>(head[1]));
            windowBits = wrapped ? MAX_WBITS : -MAX_WBITS;
        }
        const int init = inflateInit2(&s.z, windowBits);
        if (init == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (init != Z_OK)
            return fail("zlib did not start");
        s.started = true;
        if (!head.empty() && !Feed(i, head.data(), head.size(), receiver, context))
            return false;
        if (n == 0)
            return true;
    }
    while (n > 0) {
        if (s.ended) {
            // gzip bodies may hold several members (RFC 1952 2.2), each
            // starting with its magic byte; anything else after the end is
            // no part of the body.
            if (s.kind != Stage::Kind::Gzip || static_cast<unsigned char>(*data) != 0x1f)
                return fail("bytes follow the end of the coded body");
            inflateReset(&s.z);
            s.ended = false;
        }
        const std::size_t piece = std::min(n, kPiece);
        s.z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        s.z.avail_in = static_cast<uInt>(piece);
        do {
            s.z.next_out = reinterpret_cast<Bytef *>(s.output.get());
            s.z.avail_out = static_cast<uInt>(kOutput);
            const int rc = inflate(&s.z, Z_NO_FLUSH);
            const std::size_t produced = kOutput - s.z.avail_out;
            if (rc == Z_MEM_ERROR)
                throw std::bad_alloc();
            if (rc == Z_NEED_DICT)
                return fail("the stream needs a preset dictionary");
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                return fail(s.z.msg != nullptr ? s.z.msg : "a damaged coded stream");
            s.ended = rc == Z_STREAM_END;
            if (produced > 0 && !Feed(i + 1, s.output.get(), produced, receiver, context))
                return false;
            if (rc == Z_BUF_ERROR && produced == 0)
                break;  // nothing more to be had from these bytes
        } while (!s.ended && (s.z.avail_in > 0 || s.z.avail_out == 0));
        if (s.z.avail_in > 0 && !s.ended)
            return fail("a damaged coded stream");
        // What the end left over is looked at as the loop starts again.
        const std::size_t used = piece - s.z.avail_in;
        data += used;
        n -= used;
    }
    return true;
}

}  // namespace zelmo::fetch
