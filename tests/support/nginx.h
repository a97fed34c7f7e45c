// The nginx that CTest's fixture (scripts/nginx-fixture) runs for the test
// program: its directory beside the build's bin/, and how to reach it.
#pragma once

#include <filesystem>
#include <string>

namespace zelmo::test {

std::filesystem::path NginxDirectory();
// Why the server whose port `portFile` holds cannot be used; empty when it can.
std::string NginxSkipReason(const char *portFile = "port");
// That server's port, as text.
std::string NginxPort(const char *portFile = "port");
// "http://127.0.0.1:PORT/" of that server.
std::string NginxBase(const char *portFile = "port");

}  // namespace zelmo::test
