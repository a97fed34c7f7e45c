// Real files in a fresh temporary directory for each test.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zelmo::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    // Writes `content` to a file in the directory; returns its path as text.
    std::string Write(const std::string &name, std::string_view content) const;

private:
    std::filesystem::path path_;
};

// A whole file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string &path);
// Whether anything exists at `path`.
bool Exists(const std::string &path);

// Removes a cache entry's body and header files and their ".tmp"
// temporaries, whichever exist.
void RemoveEntryFiles(const std::string &body, const std::string &header);

// Sets a file's last-write time to noon (UTC) of 1 July of `year`.
void SetLastWriteYear(const std::filesystem::path &file, int year);
// Whether the file's last-write time lies in `year` (UTC): false where the
// system could not store the time SetLastWriteYear asked for.
bool LastWriteYearIs(const std::filesystem::path &file, int year);

}  // namespace zelmo::test
