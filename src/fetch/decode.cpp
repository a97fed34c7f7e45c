// Content codings undone as the body arrives (see decode.h): gzip and
// deflate with zlib in every build; br and zstd with libbrotlidec and
// libzstd where the build has them (ZELMO_HAVE_BROTLI, ZELMO_HAVE_ZSTD).
#include "fetch/decode.h"

#include <algorithm>
#include <new>

#include <zlib.h>
#ifndef ZELMO_HAVE_BROTLI
#define ZELMO_HAVE_BROTLI 0
#endif
#ifndef ZELMO_HAVE_ZSTD
#define ZELMO_HAVE_ZSTD 0
#endif
#if ZELMO_HAVE_BROTLI
#include <brotli/decode.h>
#endif
#if ZELMO_HAVE_ZSTD
#include <zstd.h>
#endif

namespace zelmo::fetch {

namespace {

constexpr std::size_t kOutput = 64 * 1024;
constexpr std::size_t kPiece = 1 << 20;  // what one inflate call is given at most (its counts are 32-bit)

const char *const kAfterEnd = "bytes follow the end of the coded body";

// RFC 1950's two header bytes: method 8 with a window of at most 32 KiB,
// and a check that makes them a multiple of 31. HTTP's "deflate" is this
// wrapping; a server that sends bare RFC 1951 blocks under that name (as
// some always have) is taken as well.
bool ZlibWrapped(unsigned char cmf, unsigned char flg)
{
    return (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0;
}

}  // namespace

// One coding's decoder. Write hands each decoded piece to `out` and returns
// false when `out` refused one (`why` left empty) or the bytes do not
// decode (`why` says so).
struct Decoder::Stage {
    Stage() : output(new char[kOutput]) {}
    virtual ~Stage() = default;
    virtual bool Write(const char *data, std::size_t n, const Out &out, std::string &why) = 0;

    bool input = false;  // any coded byte came
    bool ended = false;  // the coded stream's end came (and nothing after it yet)
    std::unique_ptr<char[]> output;
};

namespace {

// gzip (RFC 1952, any number of members one after another) and deflate.
struct ZlibStage final : Decoder::Stage {
    explicit ZlibStage(bool gzip) : gzip(gzip) {}
    ~ZlibStage() override
    {
        if (started)
            inflateEnd(&z);
    }

    bool Start(int windowBits, std::string &why)
    {
        const int init = inflateInit2(&z, windowBits);
        if (init == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (init != Z_OK) {
            why = "zlib did not start";
            return false;
        }
        started = true;
        return true;
    }

    bool Write(const char *data, std::size_t n, const Decoder::Out &out, std::string &why) override
    {
        if (!started) {
            if (gzip) {
                if (!Start(16 + MAX_WBITS, why))  // gzip's wrapping only
                    return false;
            } else {
                // deflate: the first two bytes tell the wrapping.
                const std::size_t take = std::min<std::size_t>(2 - head.size(), n);
                head.append(data, take);
                data += take;
                n -= take;
                if (head.size() < 2)
                    return true;
                const bool wrapped =
                    ZlibWrapped(static_cast<unsigned char>(head[0]), static_cast<unsigned char>(head[1]));
                if (!Start(wrapped ? MAX_WBITS : -MAX_WBITS, why))
                    return false;
                const std::string first = std::move(head);
                if (!Inflate(first.data(), first.size(), out, why))
                    return false;
            }
        }
        return Inflate(data, n, out, why);
    }

    bool Inflate(const char *data, std::size_t n, const Decoder::Out &out, std::string &why)
    {
        while (n > 0) {
            if (ended) {
                // A further gzip member starts with its magic byte; anything
                // else after the end is no part of the body.
                if (!gzip || static_cast<unsigned char>(*data) != 0x1f) {
                    why = kAfterEnd;
                    return false;
                }
                inflateReset(&z);
                ended = false;
            }
            const std::size_t piece = std::min(n, kPiece);
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
            z.avail_in = static_cast<uInt>(piece);
            do {
                z.next_out = reinterpret_cast<Bytef *>(output.get());
                z.avail_out = static_cast<uInt>(kOutput);
                const int rc = inflate(&z, Z_NO_FLUSH);
                const std::size_t produced = kOutput - z.avail_out;
                if (rc == Z_MEM_ERROR)
                    throw std::bad_alloc();
                if (rc == Z_NEED_DICT) {
                    why = "the stream needs a preset dictionary";
                    return false;
                }
                if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                    why = z.msg != nullptr ? z.msg : "a damaged coded stream";
                    return false;
                }
                ended = rc == Z_STREAM_END;
                if (produced > 0 && !out(output.get(), produced))
                    return false;
                if (rc == Z_BUF_ERROR && produced == 0)
                    break;  // nothing more to be had from these bytes
            } while (!ended && (z.avail_in > 0 || z.avail_out == 0));
            if (z.avail_in > 0 && !ended) {
                why = "a damaged coded stream";
                return false;
            }
            // What follows an end is looked at as the loop starts again.
            const std::size_t used = piece - z.avail_in;
            data += used;
            n -= used;
        }
        return true;
    }

    const bool gzip;
    z_stream z{};
    bool started = false;
    std::string head;  // deflate: its first bytes, until the wrapping is known
};

#if ZELMO_HAVE_BROTLI
// br (RFC 7932): one stream.
struct BrotliStage final : Decoder::Stage {
    BrotliStage() : state(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr))
    {
        if (state == nullptr)
            throw std::bad_alloc();
    }
    ~BrotliStage() override { BrotliDecoderDestroyInstance(state); }

    bool Write(const char *data, std::size_t n, const Decoder::Out &out, std::string &why) override
    {
        if (ended && n > 0) {
            why = kAfterEnd;
            return false;
        }
        const auto *next = reinterpret_cast<const uint8_t *>(data);
        std::size_t left = n;
        for (;;) {
            auto *to = reinterpret_cast<uint8_t *>(output.get());
            std::size_t room = kOutput;
            const BrotliDecoderResult rc = BrotliDecoderDecompressStream(state, &left, &next, &room, &to, nullptr);
            const std::size_t produced = kOutput - room;
            if (rc == BROTLI_DECODER_RESULT_ERROR) {
                why = BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state));
                return false;
            }
            if (produced > 0 && !out(output.get(), produced))
                return false;
            if (rc == BROTLI_DECODER_RESULT_SUCCESS) {
                ended = true;
                if (left > 0) {
                    why = kAfterEnd;
                    return false;
                }
                return true;
            }
            if (rc == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT)
                return true;  // every byte taken
        }
    }

    BrotliDecoderState *state;
};
#endif

#if ZELMO_HAVE_ZSTD
// zstd (RFC 8878): any number of frames one after another.
struct ZstdStage final : Decoder::Stage {
    ZstdStage() : stream(ZSTD_createDStream())
    {
        if (stream == nullptr)
            throw std::bad_alloc();
        ZSTD_initDStream(stream);
    }
    ~ZstdStage() override { ZSTD_freeDStream(stream); }

    bool Write(const char *data, std::size_t n, const Decoder::Out &out, std::string &why) override
    {
        ZSTD_inBuffer in{data, n, 0};
        for (;;) {
            ZSTD_outBuffer to{output.get(), kOutput, 0};
            const std::size_t before = in.pos;
            const std::size_t rc = ZSTD_decompressStream(stream, &to, &in);
            if (ZSTD_isError(rc)) {
                why = ZSTD_getErrorName(rc);
                return false;
            }
            // 0: a frame complete and flushed. A call that moved nothing (the
            // one after a full buffer) says nothing of it: it asks for the
            // next frame's header.
            if (in.pos != before || to.pos > 0)
                ended = rc == 0;
            if (to.pos > 0 && !out(output.get(), to.pos))
                return false;
            if (in.pos == in.size && to.pos < to.size)
                return true;
        }
    }

    ZSTD_DStream *stream;
};
#endif

}  // namespace

const char *Decoder::Accepted()
{
#if ZELMO_HAVE_BROTLI && ZELMO_HAVE_ZSTD
    return "gzip, deflate, br, zstd";
#elif ZELMO_HAVE_BROTLI
    return "gzip, deflate, br";
#elif ZELMO_HAVE_ZSTD
    return "gzip, deflate, zstd";
#else
    return "gzip, deflate";
#endif
}

bool Decoder::Knows(std::string_view coding)
{
    return coding == "identity" || coding == "gzip" || coding == "x-gzip" || coding == "deflate" ||
           (ZELMO_HAVE_BROTLI && coding == "br") || (ZELMO_HAVE_ZSTD && coding == "zstd");
}

Decoder::Decoder(const std::vector<std::string> &codings)
{
    for (auto c = codings.rbegin(); c != codings.rend(); ++c) {
        if (*c == "gzip" || *c == "x-gzip" || *c == "deflate")
            stages_.push_back(std::make_unique<ZlibStage>(*c != "deflate"));
#if ZELMO_HAVE_BROTLI
        else if (*c == "br")
            stages_.push_back(std::make_unique<BrotliStage>());
#endif
#if ZELMO_HAVE_ZSTD
        else if (*c == "zstd")
            stages_.push_back(std::make_unique<ZstdStage>());
#endif
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
    return s.Write(data, n, [&](const char *piece, std::size_t k) { return Feed(i + 1, piece, k, receiver, context); },
                   error_);
}

}  // namespace zelmo::fetch
