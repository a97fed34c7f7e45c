// Where the library's files live: the module directory, the cache directory,
// the names of a URL's cache entry; CheckAndCreateDircotry over the frame's
// directory walk.
#include <atomic>
#include <cstring>
#include <mutex>

#include "cache/cache.h"
#include "frame/frame.h"
#include "codec/md5.h"
#include "platform/platform.h"
#include "zelmo.h"

namespace zelmo::cache {
namespace {

constexpr char kSep = platform::kPathSeparator;

// The module directory: empty until the first lookup that finds it, then
// fixed until unload. `filled` lets readers skip the lock once it is set.
constinit platform::Lock moduleDirectoryLock;
std::atomic<bool> moduleDirectoryFilled{false};
std::string moduleDirectory;

// GetFileFullPath's result, owned by the library and overwritten by each call.
char fullPathResult[kPathArea];

std::string DigestOf(std::string_view url)
{
    MD5Context md5;
    md5.Update(url);
    return md5.ToString();
}

// Copies `path` with its NUL into a caller buffer whose capacity `size`
// points to, and stores the length written there; 0 when it does not fit.
void HandOut(const std::string &path, char *buffer, unsigned int *size)
{
    if (buffer == nullptr || size == nullptr)
        return;
    if (*size > path.size()) {
        std::memcpy(buffer, path.c_str(), path.size() + 1);
        *size = static_cast<unsigned int>(path.size());
    } else {
        *size = 0;
    }
}

// GetCacheFilePath's failure: each requested path (buffer and size both
// given) reports that nothing was written.
bool NothingNamed(char *bodyPath, unsigned int *bodyPathSize, char *headerPath, unsigned int *headerPathSize)
{
    if (bodyPath != nullptr && bodyPathSize != nullptr)
        *bodyPathSize = 0;
    if (headerPath != nullptr && headerPathSize != nullptr)
        *headerPathSize = 0;
    return false;
}

}  // namespace

std::string ModuleDirectory()
{
    if (moduleDirectoryFilled.load(std::memory_order_acquire))
        return moduleDirectory;
    std::lock_guard<platform::Lock> hold(moduleDirectoryLock);
    if (!moduleDirectoryFilled.load(std::memory_order_relaxed)) {
        moduleDirectory = platform::ExecutableDirectory();
        if (!moduleDirectory.empty())
            moduleDirectoryFilled.store(true, std::memory_order_release);
    }
    return moduleDirectory;
}

std::string CacheDirectory()
{
    return ModuleDirectory() + "cache" + kSep + "file" + kSep + "cachedown" + kSep;
}

EntryPaths EntryPathsOf(std::string_view url)
{
    EntryPaths paths;
    paths.body = CacheDirectory() + DigestOf(url);
    paths.header = paths.body + 'h';
    return paths;
}

EntryFiles EntryFilesIn(const std::string &directory, std::string_view url)
{
    EntryFiles files;
    files.body = directory + DigestOf(url);
    files.header = files.body + 'h';
    files.statusHeader = files.body + 's';
    files.meta = files.body + 'm';
    files.lock = files.body + 'l';
    files.partialBody = files.body + 'p';
    files.partialHeader = files.body + "ph";
    files.partialMeta = files.body + "pm";
    return files;
}

std::string CacheDirectoryOf(const char *given)
{
    std::string dir = given != nullptr ? std::string(given) : CacheDirectory();
    if (kSep != '/')
        for (char &c : dir)
            if (c == '/')
                c = kSep;
    if (!dir.empty() && dir.back() != kSep && dir.back() != '/')
        dir += kSep;
    return dir;
}

}  // namespace zelmo::cache

// No exception leaves an export: where memory runs out for a path string,
// the export gives its failure result instead.
extern "C" bool ZELMO_API GetCacheFilePath(const char *url, char *bodyPath, unsigned int *bodyPathSize,
                                           char *headerPath, unsigned int *headerPathSize)
try {
    using namespace zelmo::cache;
    if (url == nullptr)
        return NothingNamed(bodyPath, bodyPathSize, headerPath, headerPathSize);
    const EntryPaths paths = EntryPathsOf(url);  // the only step that allocates
    HandOut(paths.header, headerPath, headerPathSize);
    HandOut(paths.body, bodyPath, bodyPathSize);
    return true;
} catch (...) {
    return zelmo::cache::NothingNamed(bodyPath, bodyPathSize, headerPath, headerPathSize);
}

extern "C" int ZELMO_API CheckAndCreateDircotry(const char *path)
{
    return zelmo::frame::CreateDirectoriesOf(path) ? 1 : 0;
}

extern "C" const char *ZELMO_API GetFileFullPath(const char *name)
try {
    using namespace zelmo::cache;
    std::memset(fullPathResult, 0, sizeof fullPathResult);
    if (name == nullptr)
        return nullptr;
    const std::string directory = ModuleDirectory();
    const std::size_t nameLength = std::strlen(name);
    if (directory.size() + nameLength >= kPathArea)
        return nullptr;  // refused rather than cut
    std::memcpy(fullPathResult, directory.data(), directory.size());
    std::memcpy(fullPathResult + directory.size(), name, nameLength);
    return fullPathResult;
} catch (...) {
    return nullptr;  // the result buffer was cleared before anything allocated
}
