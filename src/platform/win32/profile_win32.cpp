// Private profile files and file attributes through the Win32 services.
#include <windows.h>

#include "platform/platform.h"

namespace zelmo::platform {

unsigned ReadProfileValue(const char *section, const char *key, const char *defaultValue,
                           char *buffer, unsigned size, const char *fileName)
{
    return GetPrivateProfileStringA(section, key, defaultValue, buffer, size, fileName);
}

bool WriteProfileValue(const char *section, const char *key, const char *value, const char *fileName)
{
    return WritePrivateProfileStringA(section, key, value, fileName) != FALSE;
}

std::uint32_t ReadFileAttributes(const char *path)
{
    return GetFileAttributesA(path);
}

bool WriteFileAttributes(const char *path, std::uint32_t attributes)
{
    return SetFileAttributesA(path, attributes) != FALSE;
}

}  // namespace zelmo::platform
