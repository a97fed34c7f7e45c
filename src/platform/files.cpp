// Small file helpers (see files.h).
#include "platform/files.h"

#include <cstdint>

#include "platform/platform.h"

namespace zelmo::platform {

std::optional<std::string> ReadFileHead(const std::string &path, std::size_t most)
{
    const File file(OpenForReading(path.c_str()));
    if (!file)
        return std::nullopt;
    // Unbuffered reads straight into the text: a short file most often
    // arrives whole with the first read, and its end with the next.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::string text;
    char chunk[4096];
    while (text.size() < most) {
        const std::size_t want = most - text.size() < sizeof chunk ? most - text.size() : sizeof chunk;
        const std::size_t got = std::fread(chunk, 1, want, file.get());
        text.append(chunk, got);
        if (got < want)
            break;
    }
    if (std::ferror(file.get()))
        return std::nullopt;
    return text;
}

std::optional<std::string> ReadSmallFile(const std::string &path, std::size_t limit)
{
    // One byte more than the limit tells a longer file.
    std::optional<std::string> text = ReadFileHead(path, limit < SIZE_MAX ? limit + 1 : limit);
    if (text && text->size() > limit)
        return std::nullopt;
    return text;
}

bool WriteAndClose(File file, std::string_view text)
{
    if (!file)
        return false;
    const bool wrote = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    return std::fclose(file.release()) == 0 && wrote;
}

}  // namespace zelmo::platform
