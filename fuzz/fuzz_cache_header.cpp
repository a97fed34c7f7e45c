// The Content-Length reading of the cache entry probe on arbitrary header
// bytes, against the same reading done with the C string functions on a
// zero-filled 300-byte sample (the field name in any letter case; the values
// atoi defines: at most 9 digits).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string.h>
#include <string_view>

#include "header/fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using zelmo::header::kHeaderSample;
    const std::size_t used = size < kHeaderSample ? size : kHeaderSample;
    char sample[kHeaderSample + 1] = {};
    std::memcpy(sample, data, used);

    const std::optional<int> got =
        zelmo::header::SampleContentLength(std::string_view(sample, used));

    const char *field = strcasestr(sample, "Content-Length:");
    const char *end = field != nullptr ? std::strchr(field, '\r') : nullptr;
    if (end == nullptr) {
        if (got)
            std::abort();
        return 0;
    }
    if (!got)
        std::abort();
    char value[kHeaderSample + 1] = {};
    std::memcpy(value, field + 15, static_cast<std::size_t>(end - field - 15));
    const char *digits = value + std::strspn(value, " \t\n\v\f\r");
    digits += (*digits == '+' || *digits == '-');
    if (std::strspn(digits, "0123456789") <= 9 && *got != std::atoi(value))
        std::abort();
    return 0;
}
