#include <dlfcn.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/os.h"
#include "support/sockets.h"

extern char **environ;

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

const char *TextModeNewline()
{
    return "\n";
}

// openssl(1) makes the certificate and runs the server.
TlsServer::TlsServer(const std::filesystem::path &workDir)
{
    const std::string cert = (workDir / "cert.pem").string(), key = (workDir / "key.pem").string();
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
                             key + "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
        skipReason = "openssl cannot make a certificate here";
        return;
    }
    net::Socket probe = net::ListenLoopback(port);  // a free port, released for the server
    net::Close(probe);
    const std::string accept = "127.0.0.1:" + std::to_string(port);
    const char *argv[] = {"openssl", "s_server", "-quiet", "-www", "-accept", accept.c_str(),
                          "-cert",   cert.c_str(), "-key", key.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "openssl", &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        skipReason = "openssl cannot be started";
        return;
    }
    process_ = pid;
    for (int attempt = 0; attempt < 100; ++attempt) {  // until it listens
        const net::Socket s = net::ConnectLoopback(port);
        if (s != net::kNoSocket) {
            net::Close(s);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    skipReason = "the openssl TLS server did not start listening";
}

TlsServer::~TlsServer()
{
    if (process_ > 0) {
        kill(static_cast<pid_t>(process_), SIGTERM);
        waitpid(static_cast<pid_t>(process_), nullptr, 0);
    }
}

std::filesystem::path ExecutablePath()
{
    return std::filesystem::read_symlink("/proc/self/exe");
}

bool UnderWine()
{
    return false;
}

bool StartHostProgram(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (args.size() < 2 || posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

std::string HostPath(const std::filesystem::path &path)
{
    return path.string();
}

unsigned long CurrentThreadId()
{
    return static_cast<unsigned long>(syscall(SYS_gettid));
}

std::uint32_t BootClockMs()
{
    struct timespec now {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u + now.tv_nsec / 1000000);
}

namespace {

// Gives up the capabilities that let root ignore file permissions.
bool DropFileOverride()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_CHOWN, CAP_FOWNER}) {
        const unsigned bit = 1u << (cap % 32);
        data[cap / 32].effective &= ~bit;
        data[cap / 32].permitted &= ~bit;
        data[cap / 32].inheritable &= ~bit;
    }
    return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

namespace {

// Waits for `child` at most `limit`; false (the child killed) past it.
bool WaitBounded(pid_t child, int &status, std::chrono::seconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const pid_t got = waitpid(child, &status, WNOHANG);
        if (got == child)
            return true;
        if (got < 0 || std::chrono::steady_clock::now() > end)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return false;
}

// Runs `body(arg)` in a child process after `prepare` succeeded there;
// what it returned (0..127), or -1 when the child could not be run. A child
// forked from this threaded program can, rarely, inherit a lock another
// thread held at the fork (the sanitizers' allocators do not all guard
// against it) and never finish: past 30 s it is killed and run once more,
// so a call that really hangs still fails the test.
template <typename Prepare>
int RunInChild(Prepare prepare, int (*body)(const std::string &), const std::string &arg)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child < 0)
            return -1;
        if (child == 0) {
            if (!prepare())
                _exit(255);
            _exit(body(arg) & 0x7F);
        }
        int status = 0;
        if (!WaitBounded(child, status, std::chrono::seconds(30)))
            continue;
        if (!WIFEXITED(status) || WEXITSTATUS(status) == 255)
            return -1;
        return WEXITSTATUS(status);
    }
    return -1;
}

}  // namespace

int RunWithFilePermissions(int (*body)(const std::string &), const std::string &arg)
{
    return RunInChild(DropFileOverride, body, arg);
}

int RunWithFileSizeLimit(int (*body)(const std::string &), const std::string &arg, long maxBytes)
{
    return RunInChild(
        [maxBytes] {
            signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
            const struct rlimit limit{static_cast<rlim_t>(maxBytes), static_cast<rlim_t>(maxBytes)};
            return setrlimit(RLIMIT_FSIZE, &limit) == 0;
        },
        body, arg);
}

int RunBesideChild(int (*body)(const std::string &), const std::string &childArg,
                   const std::string &parentArg, int *parentResult)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0)
        _exit(body(childArg) & 0x7F);
    *parentResult = body(parentArg);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::intptr_t StartChild(int (*body)(const std::string &), const std::string &arg)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0)
        _exit(body(arg) & 0x7F);
    return child;
}

void ChildTurn(int (*)(const std::string &))
{
    // A forked child runs its body straight away.
}

int WaitChild(std::intptr_t child)
{
    int status = 0;
    if (waitpid(static_cast<pid_t>(child), &status, 0) != static_cast<pid_t>(child) || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

bool KillChild(std::intptr_t child)
{
    const pid_t pid = static_cast<pid_t>(child);
    if (kill(pid, SIGKILL) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid;
}

FileIdentity IdentityOf(const std::string &path)
{
    FileIdentity identity;
    struct stat st, link;
    if (stat(path.c_str(), &st) != 0 || lstat(path.c_str(), &link) != 0)
        return identity;
    identity.available = true;
    identity.inode = st.st_ino;
    identity.links = st.st_nlink;
    identity.owner = st.st_uid;
    identity.group = st.st_gid;
    identity.mode = st.st_mode & 07777;
    identity.symlink = S_ISLNK(link.st_mode);
    return identity;
}

bool SetOwnerAndMode(const std::string &path, unsigned owner, unsigned group, unsigned mode)
{
    return chown(path.c_str(), owner, group) == 0 && chmod(path.c_str(), mode) == 0;
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

std::size_t OpenHandleCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::size_t MemoryInUse()
{
    std::FILE *statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr)
        return 0;
    unsigned long size = 0, resident = 0;
    const int read = std::fscanf(statm, "%lu %lu", &size, &resident);
    std::fclose(statm);
    return read == 2 ? resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

void SetEnvironment(const char *name, const char *value)
{
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

int CloseOnExecState(const std::filesystem::path &path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path target = fs::weakly_canonical(path, error);
    int state = -1;
    for (const fs::directory_entry &entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code ignored;
        if (fs::read_symlink(entry.path(), ignored) != target)
            continue;
        const int flags = fcntl(std::atoi(entry.path().filename().c_str()), F_GETFD);
        if (flags < 0)
            continue;  // closed meanwhile
        state = (flags & FD_CLOEXEC) != 0 && state != 0 ? 1 : 0;
    }
    return state;
}

namespace {

std::string Quoted(const std::string &text)
{
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

int RerunTrustingOnly(const std::string &caFile, const std::string &test, std::string &output,
                      std::string &skipReason)
{
    const char *bundle = "/etc/ssl/certs/ca-certificates.crt";
    if (access(bundle, F_OK) != 0) {
        skipReason = std::string("no system CA bundle at ") + bundle;
        return -1;
    }
    // The namespace is tried first with a program that does nothing.
    const std::string mount = "unshare -m sh -c 'mount --bind \"$1\" " + std::string(bundle) + " && shift && exec \"$@\"' sh " +
                              Quoted(caFile) + " ";
    if (std::system((mount + "true >/dev/null 2>&1").c_str()) != 0) {
        skipReason = "unshare -m with a bind mount is not permitted here";
        return -1;
    }
    const std::string log = caFile + ".rerun.log";
    const std::string command = "ZELMO_TEST_PRIVATE_TRUST=1 " + mount + Quoted(ExecutablePath().string()) +
                                " " + Quoted("--gtest_filter=" + test) + " >" + Quoted(log) + " 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(log, std::ios::binary);
    output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(log.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool InPrivateTrust()
{
    const char *marker = std::getenv("ZELMO_TEST_PRIVATE_TRUST");
    return marker != nullptr && std::string(marker) == "1";
}

Umask::Umask(unsigned mask) : previous_(umask(static_cast<mode_t>(mask))) {}

Umask::~Umask()
{
    umask(static_cast<mode_t>(previous_));
}

std::optional<int> RunInChildProcess(const std::function<int()> &body)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(body());
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace zelmo::test::os
