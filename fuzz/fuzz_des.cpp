// Decode and DesDecode on arbitrary input under arbitrary passwords, into
// buffers of the size the caller names (the sanitizer catches any byte
// written past them); `in` must come back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zelmo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2 || size > 1 << 14)
        return 0;
    const std::size_t split = data[0] % size;
    std::string password(reinterpret_cast<const char *>(data) + 1, split > 0 ? split - 1 : 0);
    const std::size_t from = split > 0 ? split : 1;
    std::string in(reinterpret_cast<const char *>(data) + from, size - 1 - from);
    // Both are NUL-terminated strings: up to their first NUL.
    password = password.c_str();
    in = in.c_str();
    const unsigned outSize = data[size - 1];

    std::vector<char> out(outSize + 1);
    const int d = Decode(in.c_str(), password.c_str(), out.data(), outSize);
    if (d < 0 || (d > 0 && static_cast<unsigned>(d) >= outSize))
        std::abort();

    std::string copy = in;
    const int r = DesDecode(copy.data(), password.c_str(), out.data(), 0, outSize);
    if (r < 0 || (r > 0 && static_cast<unsigned>(r) >= outSize) || copy != in)
        std::abort();
    return 0;
}
