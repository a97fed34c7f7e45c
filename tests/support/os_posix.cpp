#include <dlfcn.h>

#include "support/os.h"

namespace zelmo::test::os {

void *LoadZelmo()
{
    return dlopen(ZELMO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
}

void *FindExport(void *library, const char *name)
{
    return dlsym(library, name);
}

bool UnloadZelmo(void *library)
{
    return dlclose(library) == 0;
}

Sockets SocketState()
{
    return Sockets::NothingToStart;
}

VersionInfo ReadZelmoVersion()
{
    return {};  // shared objects carry no version resource
}

std::filesystem::path ExecutablePath()
{
    return std::filesystem::read_symlink("/proc/self/exe");
}

}  // namespace zelmo::test::os
