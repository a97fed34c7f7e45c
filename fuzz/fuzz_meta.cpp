// The entry metadata reader on arbitrary bytes: whatever it accepts, written
// again and read back, is the same metadata.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cache/metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto meta = zelmo::cache::ParseMeta(std::string_view(reinterpret_cast<const char *>(data), size));
    if (!meta)
        return 0;
    const auto again = zelmo::cache::ParseMeta(zelmo::cache::FormatMeta(*meta));
    if (!again || !(*again == *meta))
        std::abort();
    return 0;
}
