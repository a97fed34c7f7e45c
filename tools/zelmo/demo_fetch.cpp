// The demo's fetch: one URL of a loopback server of the demo's own, fetched
// twice by `zelmo get -v` (zelmo_fetch_many) into a cache directory of its
// own: the first answer a 200 that is stored, the second a 304 to the
// stored entry's ETag.
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "cli.h"
#include "support/http_server.h"

namespace cli {

bool DemoFetch()
{
    const std::string body = "Zelmo keeps your cache.\n";
    const std::string etag = "\"demo-1\"";
    zelmo::test::ScriptedServer server([&](const zelmo::test::RecordedRequest &request) {
        if (request.Header("If-None-Match") == etag)
            return zelmo::test::Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: " + etag + "\r\n\r\n");
        return zelmo::test::Answer::Full("HTTP/1.1 200 OK", body, "ETag: " + etag + "\r\n");
    });
    const std::string url = server.Url("/fetch.txt");

    // A fresh directory beside the system's temporary files, removed at the end.
    namespace fs = std::filesystem;
    std::error_code failed;
    const fs::path base = fs::temp_directory_path(failed);
    fs::path cacheDir;
    std::random_device random;
    for (int attempt = 0; !failed && attempt < 100 && cacheDir.empty(); ++attempt) {
        const fs::path candidate = base / ("zelmo-demo-" + std::to_string(random() % 1000000));
        if (fs::create_directory(candidate, failed))
            cacheDir = candidate;
    }
    if (cacheDir.empty()) {
        std::fprintf(stderr, "zelmo demo: cannot create a cache directory in %s\n",
                     Printable(base.string()).c_str());
        return false;
    }
    const std::string dir = cacheDir.string();

    std::printf("\nzelmo_fetch, cache directory %s (removed afterwards):\n", Printable(dir).c_str());
    bool ok = true;
    for (int call = 1; call <= 2; ++call) {
        const Args args = {"-v", "--cache-dir", dir, url};
        std::printf("$ zelmo get -v --cache-dir %s %s\n", Printable(dir).c_str(), url.c_str());
        // The body goes to standard output and the -v line to standard error:
        // each flushed before the next is written, so that a terminal shows
        // them in order.
        std::fflush(stdout);
        const int status = kGetCommand.run(args);
        std::fflush(stdout);
        std::fflush(stderr);
        const auto requests = server.Requests();
        const std::string condition = requests.empty() ? "" : requests.back().Header("If-None-Match");
        std::printf("  server saw: GET /fetch.txt %s\n",
                    condition.empty() ? "(no If-None-Match), answered 200"
                                      : ("If-None-Match: " + condition + ", answered 304").c_str());
        // The first call is unconditional, the second asks with the stored ETag.
        ok = ok && status == kOk && requests.size() == static_cast<std::size_t>(call) &&
             condition == (call == 1 ? "" : etag);
    }
    std::fflush(stdout);
    fs::remove_all(cacheDir, failed);
    return ok;
}

}  // namespace cli
