// Base64Decode on arbitrary text and Base64Encode on arbitrary bytes, each
// into a buffer of exactly the documented size (the sanitizer catches any
// byte written past it), with an encode/decode round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zelmo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0 || size > 1 << 16)
        return 0;
    const int len = static_cast<int>(size);
    const char *in = reinterpret_cast<const char *>(data);

    std::vector<char> decoded(3 * ((size + 3) / 4) + 1);
    const int d = Base64Decode(decoded.data(), in, len);
    if (d < 0 || static_cast<std::size_t>(d) >= decoded.size() || decoded[static_cast<std::size_t>(d)] != '\0')
        std::abort();

    std::vector<char> encoded(4 * ((size + 2) / 3) + 1);
    const int e = Base64Encode(encoded.data(), in, len);
    if (static_cast<std::size_t>(e) + 1 != encoded.size())
        std::abort();
    std::vector<char> back(3 * ((static_cast<std::size_t>(e) + 3) / 4) + 1);
    if (Base64Decode(back.data(), encoded.data(), e) != len || std::memcmp(back.data(), in, size) != 0)
        std::abort();
    return 0;
}
