// GetProfileValue and SetProfileValue: one value of a private profile file,
// read into the caller's buffer or written with a second attempt after
// clearing the file's read-only attribute.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "zelmo.h"

namespace {

// The working buffer of a read: the longest value the platform delivers is
// one character shorter. It lives on the heap, not on the host's stack.
constexpr unsigned kReadBufferSize = 0x20000;

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};

// Clears the read-only attribute of `fileName` if it is set.
void ClearReadOnly(const char *fileName)
{
    using namespace zelmo::platform;
    const std::uint32_t attributes = ReadFileAttributes(fileName);
    if (attributes != kInvalidFileAttributes && (attributes & kReadOnlyAttribute))
        WriteFileAttributes(fileName, attributes & ~kReadOnlyAttribute);
}

}  // namespace

// Out of memory (the POSIX profile reader works in strings), the exports give
// their failure results: no exception leaves them.
extern "C" int ZELMO_API GetProfileValue(const char *section, const char *key, const char *fileName,
                                         char *out, unsigned int outSize, const char *defaultValue)
try {
    if (out == nullptr || outSize == 0)
        return -1;
    std::unique_ptr<char, FreeDeleter> value(static_cast<char *>(std::calloc(kReadBufferSize, 1)));
    if (!value)
        return 0;
    zelmo::platform::ReadProfileValue(section, key, defaultValue, value.get(), kReadBufferSize, fileName);
    const std::size_t length = std::strlen(value.get());
    if (outSize < length + 1)
        return 0;
    std::memcpy(out, value.get(), length + 1);
    return static_cast<int>(length);
} catch (...) {
    return 0;
}

extern "C" bool ZELMO_API SetProfileValue(const char *section, const char *key, const char *fileName,
                                          const char *value, uint32_t /*reserved*/)
try {
    using zelmo::platform::WriteProfileValue;
    if (WriteProfileValue(section, key, value, fileName))
        return true;
    // A read-only file refuses the write: clear the attribute (a second time
    // if it is still set) and try once more. The attribute is not restored.
    ClearReadOnly(fileName);
    ClearReadOnly(fileName);
    return WriteProfileValue(section, key, value, fileName);
} catch (...) {
    return false;
}
