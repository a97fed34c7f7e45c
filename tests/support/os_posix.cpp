#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

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

}  // namespace zelmo::test::os
