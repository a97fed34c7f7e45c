// DesEncode, DesDecode, Encode and Decode: text under a password, as the raw
// DES message or as its Base64 text.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/base64.h"
#include "des/des.h"
#include "zelmo.h"

namespace {

using zelmo::DesContext;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Scratch = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// A zero-filled heap buffer of `size` bytes, or null.
Scratch Allocate(std::size_t size)
{
    return Scratch(static_cast<std::uint8_t *>(std::calloc(size, 1)));
}

// A heap buffer of `size` bytes left as the heap gives it, or null: for
// buffers whose every byte read is written first.
Scratch Reserve(std::size_t size)
{
    return Scratch(static_cast<std::uint8_t *>(std::malloc(size)));
}

// Plaintext and message lengths travel as int; longer texts are refused.
bool Measure(const char *text, std::size_t &len)
{
    len = std::strlen(text);
    return len <= INT_MAX / 4;
}

// Copies the NUL-terminated `text` (length `len`) when `outSize` holds
// `len + need` bytes; returns `len`, or 0 when it does not fit.
int CopyOut(const std::uint8_t *text, std::size_t len, char *out, unsigned int outSize, std::size_t need)
{
    if (outSize < len + need)
        return 0;
    std::memcpy(out, text, len + 1);
    return static_cast<int>(len);
}

// The DES message of the `len`-byte text `in` in a scratch buffer of
// max(2 x len, 64) bytes, followed by a zero byte so that it reads as a
// string; null when the buffer cannot be had. The message takes at most
// len + 9 bytes, so the zero always fits, and nothing past it is read: the
// rest of the buffer is left uncleared.
Scratch EncryptMessage(const char *in, std::size_t len, const char *password, int &messageLen)
{
    const std::size_t size = std::max<std::size_t>(2 * len, 64);
    Scratch message = Reserve(size);
    if (message) {
        DesContext().EncryptBytes(zelmo::DesKeyFromPassword(password), reinterpret_cast<const std::uint8_t *>(in),
                                  static_cast<int>(len), message.get(), messageLen);
        message[static_cast<std::size_t>(messageLen)] = 0;
    }
    return message;
}

}  // namespace

extern "C" int ZELMO_API DesEncode(const char *in, const char *password, char *out, unsigned int outSize,
                                   uint32_t /*reserved*/)
{
    std::size_t len;
    if (in == nullptr || password == nullptr || out == nullptr || !Measure(in, len))
        return 0;
    int messageLen = 0;
    const Scratch message = EncryptMessage(in, len, password, messageLen);
    if (!message)
        return -1;
    if (messageLen == 0)
        return 0;
    // The message reaches the caller as a string: up to its first zero byte.
    const std::size_t cut = std::strlen(reinterpret_cast<const char *>(message.get()));
    return CopyOut(message.get(), cut, out, outSize, 2);
}

extern "C" int ZELMO_API DesDecode(char *in, const char *password, char *out, uint32_t /*reserved*/,
                                   unsigned int outSize)
{
    std::size_t len;
    if (in == nullptr || password == nullptr || out == nullptr || !Measure(in, len))
        return 0;
    const std::size_t size = std::max<std::size_t>(2 * len + 1, 64);
    Scratch plain = Allocate(size + 128);
    if (!plain)
        return 0;
    DesContext des;
    if (des.DecryptText(password, reinterpret_cast<const std::uint8_t *>(in), static_cast<int>(len),
                        plain.get(), size) == 0)
        return 0;
    const std::size_t plainLen = std::strlen(reinterpret_cast<const char *>(plain.get()));
    return CopyOut(plain.get(), plainLen, out, outSize, 1);
}

extern "C" int ZELMO_API Encode(const char *in, const char *password, char *out, unsigned int outSize)
{
    std::size_t len;
    if (in == nullptr || password == nullptr || out == nullptr || !Measure(in, len))
        return 0;
    int messageLen = 0;
    const Scratch message = EncryptMessage(in, len, password, messageLen);
    if (!message)
        return -1;
    // Base64 writes every character and the NUL: nothing to clear first.
    Scratch text = Reserve(std::max<std::size_t>(2 * static_cast<std::size_t>(messageLen), 64));
    if (!text)
        return -1;
    const std::size_t textLen = zelmo::base64::Encode(reinterpret_cast<char *>(text.get()), message.get(),
                                                      static_cast<std::size_t>(messageLen));
    return CopyOut(text.get(), textLen, out, outSize, 1);
}

extern "C" int ZELMO_API Decode(const char *in, const char *password, char *out, unsigned int outSize)
{
    std::size_t len;
    if (in == nullptr || password == nullptr || out == nullptr || !Measure(in, len))
        return 0;
    Scratch message = Allocate(len + 128);
    if (!message)
        return 0;
    const std::size_t messageLen = len > 0 ? zelmo::base64::Decode(message.get(), in, len) : 0;
    const std::size_t size = std::max<std::size_t>(2 * messageLen + 1, 64);
    Scratch plain = Allocate(size + 128);
    if (!plain)
        return 0;
    DesContext des;
    des.DecryptText(password, message.get(), static_cast<int>(messageLen), plain.get(), size);
    message.reset();
    const std::size_t plainLen = std::strlen(reinterpret_cast<const char *>(plain.get()));
    return CopyOut(plain.get(), plainLen, out, outSize, 1);
}
