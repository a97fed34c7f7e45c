// The content codings zelmo_fetch undoes itself: gzip and deflate with
// zlib, br and zstd where the build has their libraries; decoded as the
// body arrives, each coded stream checked to its end — a stream cut short
// is a body that did not decode, even where the HTTP framing around it was
// complete.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zelmo::fetch {

class Decoder {
public:
    // What a request that wants coded answers asks for: the codings this
    // build decodes ("gzip, deflate", with br and zstd where it has them).
    static const char *Accepted();

    // Whether a coding (in lower case) can be undone: identity, gzip,
    // x-gzip, deflate, and br and zstd where the build has them.
    static bool Knows(std::string_view coding);

    // For an answer whose Content-Encoding names `codings` in the order they
    // were applied, every one of them known.
    explicit Decoder(const std::vector<std::string> &codings);
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    // Where the decoded bytes go: false stops the decoding (the reason is
    // the receiver's own).
    using Receiver = bool (*)(void *context, const char *data, std::size_t n);

    // Decodes `n` more coded bytes. False when the receiver refused a piece,
    // or the bytes do not decode (then Error() tells why).
    bool Write(const char *data, std::size_t n, Receiver receiver, void *context);

    // Whether the body is complete: every coded stream reached its end, or
    // no coded byte came at all (an empty body).
    bool Ended() const;

    // Why the bytes did not decode; empty while they did.
    const std::string &Error() const { return error_; }

    // One coding's decoder, and where it hands its decoded pieces.
    using Out = std::function<bool(const char *data, std::size_t n)>;
    struct Stage;

private:
    bool Feed(std::size_t stage, const char *data, std::size_t n, Receiver receiver, void *context);

    std::vector<std::unique_ptr<Stage>> stages_;  // the last coding applied first
    std::string error_;
};

}  // namespace zelmo::fetch
