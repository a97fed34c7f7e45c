// The body decoders on arbitrary bytes: the first byte picks the codings
// and a piece size, the rest is the coded body. Given whole or in pieces,
// the decoder must give the same bytes, the same end and the same verdict.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fetch/decode.h"

namespace {

struct Run {
    std::string out;
    bool ok = true, ended = false;
};

bool Collect(void *out, const char *data, std::size_t n)
{
    static_cast<std::string *>(out)->append(data, n);
    return true;
}

Run Decode(const std::vector<std::string> &codings, const char *data, std::size_t size, std::size_t piece)
{
    zelmo::fetch::Decoder decoder(codings);
    Run run;
    for (std::size_t at = 0; run.ok && at < size; at += piece)
        run.ok = decoder.Write(data + at, std::min(piece, size - at), &Collect, &run.out);
    run.ended = run.ok && decoder.Ended();
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    static const std::vector<std::vector<std::string>> choices = {
        {"gzip"}, {"deflate"}, {"br"}, {"zstd"}, {"deflate", "gzip"}, {"identity", "gzip"}, {"gzip", "zstd"}, {"br", "gzip"},
    };
    const std::vector<std::string> &codings = choices[data[0] % choices.size()];
    for (const std::string &c : codings)
        if (!zelmo::fetch::Decoder::Knows(c))
            return 0;
    const std::size_t piece = 1 + (data[0] >> 3);  // 1 to 32 bytes
    const char *body = reinterpret_cast<const char *>(data + 1);
    const Run whole = Decode(codings, body, size - 1, size), pieces = Decode(codings, body, size - 1, piece);
    // The verdict is the same either way; where both succeed, so are the
    // bytes and the end. (Where both fail, each may have handed on a
    // different part of the body before the error.)
    if (whole.ok != pieces.ok || (whole.ok && (whole.out != pieces.out || whole.ended != pieces.ended)))
        std::abort();
    return 0;
}
