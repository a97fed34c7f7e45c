#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <psapi.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/os.h"

namespace zelmo::test::os {

void *LoadZelmo()
{
    return reinterpret_cast<void *>(LoadLibraryA(ZELMO_LIBRARY_FILE));
}

void *FindExport(void *library, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool UnloadZelmo(void *library)
{
    return FreeLibrary(static_cast<HMODULE>(library)) != 0;
}

Sockets SocketState()
{
    const SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe != INVALID_SOCKET) {
        closesocket(probe);
        return Sockets::Ready;
    }
    return WSAGetLastError() == WSANOTINITIALISED ? Sockets::NotStarted : Sockets::Ready;
}

VersionInfo ReadZelmoVersion()
{
    VersionInfo info;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(ZELMO_LIBRARY_FILE, &ignored);
    if (size == 0)
        return info;
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(ZELMO_LIBRARY_FILE, 0, size, data.data()))
        return info;
    void *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return info;
    const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
    info.available = true;
    info.fileVersionMS = fixed->dwFileVersionMS;
    info.fileVersionLS = fixed->dwFileVersionLS;
    info.productVersionMS = fixed->dwProductVersionMS;
    info.productVersionLS = fixed->dwProductVersionLS;
    info.flagsMask = fixed->dwFileFlagsMask;
    info.flags = fixed->dwFileFlags;
    info.fileOS = fixed->dwFileOS;
    info.fileType = fixed->dwFileType;
    info.fileSubtype = fixed->dwFileSubtype;
    if (VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &value, &length)) {
        const auto *pairs = static_cast<const WORD *>(value);
        for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2)
            info.translations.emplace_back(pairs[i], pairs[i + 1]);
    }
    for (const char *field : {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                              "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion"}) {
        const std::string query = std::string("\\StringFileInfo\\080404B0\\") + field;
        if (VerQueryValueA(data.data(), query.c_str(), &value, &length))
            info.strings[field] = length > 0 ? std::string(static_cast<const char *>(value)) : "";
    }
    return info;
}

const char *TextModeNewline()
{
    return "\r\n";
}

TlsServer::TlsServer(const std::filesystem::path &)
{
    // Schannel under wine accepts any certificate, so a refusal cannot be
    // shown there; Windows itself refuses it, as libcurl's defaults ask.
    skipReason = UnderWine() ? "Schannel under wine does not verify certificates"
                      : "no TLS test server for this platform";
}

TlsServer::~TlsServer() = default;

std::filesystem::path ExecutablePath()
{
    std::vector<wchar_t> path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return std::filesystem::path(std::wstring(path.data(), n));
}

bool UnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine starts a Unix program named by its drive path as it would a Windows
// one, but hands out no handle of its process; its kernel32 maps the paths
// both ways.
bool StartHostProgram(const std::vector<std::string> &argv)
{
    using ToDos = WCHAR *(CDECL *)(const char *);
    const auto toDos = reinterpret_cast<ToDos>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
    if (!UnderWine() || toDos == nullptr || argv.empty())
        return false;
    WCHAR *dos = toDos(argv[0].c_str());
    if (dos == nullptr)
        return false;
    std::wstring command = L"\"" + std::wstring(dos) + L"\"";
    HeapFree(GetProcessHeap(), 0, dos);
    for (std::size_t i = 1; i < argv.size(); ++i)
        command += L" \"" + std::filesystem::path(argv[i]).wstring() + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    if (process.hThread != nullptr)
        CloseHandle(process.hThread);
    if (process.hProcess != nullptr)
        CloseHandle(process.hProcess);
    return true;
}

std::string HostPath(const std::filesystem::path &path)
{
    using ToUnix = char *(CDECL *)(const WCHAR *);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!UnderWine() || toUnix == nullptr)
        return path.string();
    char *unixPath = toUnix(path.wstring().c_str());
    if (unixPath == nullptr)
        return path.string();
    std::string out = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return out;
}

unsigned long CurrentThreadId()
{
    return GetCurrentThreadId();
}

std::uint32_t BootClockMs()
{
    return GetTickCount();
}

int RunWithFilePermissions(int (*body)(const std::string &), const std::string &arg)
{
    return body(arg);
}

int RunWithFileSizeLimit(int (*)(const std::string &), const std::string &, long)
{
    return -2;
}

int RunBesideChild(int (*)(const std::string &), const std::string &, const std::string &, int *)
{
    return -2;
}

// The child's argument travels in this variable of its environment.
constexpr const char *kChildArgument = "ZELMO_TEST_CHILD_ARGUMENT";

std::intptr_t StartChild(int (*)(const std::string &), const std::string &arg)
{
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr)
        return -1;
    std::string command = "\"";
    command += ExecutablePath().string();
    command += "\" --gtest_filter=";
    command += info->test_suite_name();
    command += ".";
    command += info->name();
    // The child inherits the environment as it is at its creation.
    SetEnvironmentVariableA(kChildArgument, arg.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &process);
    SetEnvironmentVariableA(kChildArgument, nullptr);
    if (!started)
        return -1;
    CloseHandle(process.hThread);
    return reinterpret_cast<std::intptr_t>(process.hProcess);
}

void ChildTurn(int (*body)(const std::string &))
{
    char arg[8192];
    const DWORD n = GetEnvironmentVariableA(kChildArgument, arg, sizeof arg);
    if (n == 0 || n >= sizeof arg)
        return;
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(body(std::string(arg, n)) & 0x7F));
}

bool KillChild(std::intptr_t child)
{
    const HANDLE process = reinterpret_cast<HANDLE>(child);
    const bool ok = TerminateProcess(process, 137) != 0 && WaitForSingleObject(process, 30000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ok;
}

int WaitChild(std::intptr_t child)
{
    const HANDLE process = reinterpret_cast<HANDLE>(child);
    DWORD code = 0;
    const bool ok = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return ok ? static_cast<int>(code) : -1;
}

FileIdentity IdentityOf(const std::string &)
{
    return {};
}

bool SetOwnerAndMode(const std::string &, unsigned, unsigned, unsigned)
{
    return false;
}

bool MakeReadOnly(const std::string &path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           SetFileAttributesA(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

bool IsReadOnly(const std::string &path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool LockDirectory(const std::string &, bool)
{
    return false;
}

unsigned AnsiCodePage()
{
    return GetACP();
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

std::size_t OpenHandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0)
        return count;
    // wine answers 0: count the handle values that name an open object
    // instead (handle values are multiples of 4, small ones first).
    std::size_t open = 0;
    DWORD flags;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++open;
    return open;
}

std::size_t MemoryInUse()
{
    // The commit charge: the process's private bytes (wine leaves the
    // extended record's PrivateUsage at 0 but fills this one).
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.PagefileUsage : 0;
}

void SetEnvironment(const char *name, const char *value)
{
    SetEnvironmentVariableA(name, value);
    _putenv_s(name, value != nullptr ? value : "");
}

int CloseOnExecState(const std::filesystem::path &)
{
    return -2;
}

int RerunTrustingOnly(const std::string &, const std::string &, std::string &, std::string &skipReason)
{
    skipReason = "Windows has no mount namespaces";
    return -1;
}

bool InPrivateTrust()
{
    return false;
}

Umask::Umask(unsigned) {}

Umask::~Umask() = default;

std::optional<int> RunInChildProcess(const std::function<int()> &)
{
    return std::nullopt;  // Windows makes no process by fork()
}

}  // namespace zelmo::test::os
