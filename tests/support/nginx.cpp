#include "support/nginx.h"

#include "support/files.h"
#include "support/os.h"

namespace zelmo::test {

std::filesystem::path NginxDirectory()
{
    return os::ExecutablePath().parent_path().parent_path() / "nginx";
}

std::string NginxSkipReason(const char *portFile)
{
    if (Exists((NginxDirectory() / "skip").string()))
        return ReadFile((NginxDirectory() / "skip").string());
    // "https-port" has its reason in "https-skip", and so on.
    std::string why = portFile;
    if (why.size() > 5 && why.compare(why.size() - 5, 5, "-port") == 0) {
        why.replace(why.size() - 5, 5, "-skip");
        if (Exists((NginxDirectory() / why).string()))
            return ReadFile((NginxDirectory() / why).string());
    }
    if (!Exists((NginxDirectory() / portFile).string()))
        return std::string("no nginx serves ") + portFile + " for this test: ctest starts it (fixture nginx)";
    return {};
}

std::string NginxPort(const char *portFile)
{
    return std::to_string(std::stoi(ReadFile((NginxDirectory() / portFile).string())));
}

std::string NginxBase(const char *portFile)
{
    return "http://127.0.0.1:" + NginxPort(portFile) + "/";
}

}  // namespace zelmo::test
