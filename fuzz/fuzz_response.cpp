// The response record on arbitrary chunk sequences, as libcurl delivers them:
// header lines go to the write function and then to the header function,
// body chunks to the write function alone. `buffer` and `rawBuffer` are small
// heap blocks of exactly their capacity (the sanitizer catches any byte
// written outside them). What they hold must be the chunks stored whole while
// they fit, lengths stay below the capacities, and the header removal must
// leave exactly what follows the first blank line, or change nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "http/response.h"

namespace {

using zelmo::http::FinalResponse;
using zelmo::http::ResponseWriteCallback;

struct Reader {
    const std::uint8_t *data;
    std::size_t size;

    std::uint8_t Byte() { return size > 0 ? (--size, *data++) : 0; }
    std::string_view Take(std::size_t n)
    {
        n = n < size ? n : size;
        const std::string_view piece(reinterpret_cast<const char *>(data), n);
        data += n, size -= n;
        return piece;
    }
};

// What the strict append of the write function keeps of `chunk`.
void Model(std::string &stored, unsigned capacity, std::string_view chunk)
{
    if (stored.size() < capacity && chunk.size() < capacity - stored.size())
        stored.append(chunk);
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 1 << 12)
        return 0;
    Reader in{data, size};
    const unsigned capacity = in.Byte() % 64;
    const unsigned rawCapacity = in.Byte() % 64;
    const std::uint8_t mode = in.Byte();

    const auto buffer = std::make_unique<char[]>(capacity);
    const auto raw = std::make_unique<char[]>(rawCapacity);
    HttpResponseBuffer response{};
    response.buffer = capacity > 0 ? buffer.get() : nullptr;
    response.capacity = capacity;
    response.rawBuffer = rawCapacity > 0 ? raw.get() : nullptr;
    response.rawCapacity = rawCapacity;

    FinalResponse final(&response);
    std::string stored, rawStored;
    while (in.size > 0) {
        const std::uint8_t control = in.Byte();
        std::string piece(in.Take(control & 0x3F));
        const bool headerLine = (control & 0x80) != 0;
        if (headerLine && (control & 0x40) != 0)
            piece.insert(0, "HTTP/1.1 200 ");
        Check(ResponseWriteCallback(piece.data(), 1, piece.size(), &response) == piece.size());
        if (response.buffer != nullptr)
            Model(stored, capacity, piece);
        if (response.rawBuffer != nullptr)
            Model(rawStored, rawCapacity, piece);
        if (headerLine)
            Check(FinalResponse::OnHeader(piece.data(), 1, piece.size(), &final) == piece.size());
    }
    Check(response.length == stored.size() && (capacity == 0 || response.length < capacity));
    Check(response.rawLength == rawStored.size() && (rawCapacity == 0 || response.rawLength < rawCapacity));
    Check(std::string_view(buffer.get(), response.length) == stored);
    Check(std::string_view(raw.get(), response.rawLength) == rawStored);

    if (capacity == 0)
        return 0;
    const std::string before(buffer.get(), response.length);
    bool stripped;
    if (mode & 1) {
        stripped = zelmo::http::StripResponseHeader(&response);
        const std::size_t end = before.find("\r\n\r\n");
        Check(stripped == (end != std::string::npos));
        if (stripped)
            Check(std::string_view(buffer.get(), response.length) == std::string_view(before).substr(end + 4));
    } else {
        stripped = final.TakeOkBody();
        if (stripped)
            Check(response.length + 4 <= before.size() &&
                  before.compare(before.size() - response.length, response.length,
                                 buffer.get(), response.length) == 0);
    }
    if (stripped)
        Check(response.length < capacity && buffer[response.length] == '\0');
    else
        Check(response.length == before.size() && before.compare(0, before.size(), buffer.get(), before.size()) == 0);
    return 0;
}
