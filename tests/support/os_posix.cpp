#include <dlfcn.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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

bool UnderWine()
{
    return false;
}

namespace {

// Gives up the capabilities that let root ignore file permissions.
bool DropFileOverride()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        const unsigned bit = 1u << (cap % 32);
        data[cap / 32].effective &= ~bit;
        data[cap / 32].permitted &= ~bit;
        data[cap / 32].inheritable &= ~bit;
    }
    return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

int RunWithFilePermissions(int (*body)(const std::string &), const std::string &arg)
{
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (!DropFileOverride())
            _exit(255);
        _exit(body(arg) & 0x7F);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

bool MakeReadOnly(const std::string &path)
{
    return chmod(path.c_str(), 0444) == 0;
}

bool IsReadOnly(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
}

bool LockDirectory(const std::string &path, bool locked)
{
    return chmod(path.c_str(), locked ? 0555 : 0755) == 0;
}

unsigned AnsiCodePage()
{
    return 65001;
}

unsigned BstrLength(ZelmoBstr bstr)
{
    return SysStringLen(bstr);
}

void FreeBstr(ZelmoBstr bstr)
{
    SysFreeString(bstr);
}

void FreeLocal(void *memory)
{
    LocalFree(memory);
}

}  // namespace zelmo::test::os
