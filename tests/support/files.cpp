#include "support/files.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace zelmo::test {

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string &path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}


TempDir::TempDir()
{
    static std::atomic<unsigned> serial{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("zelmo-test-" + std::to_string(random()) + "-" +
                                 std::to_string(serial++));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string &name, std::string_view content) const
{
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    return file.string();
}

void RemoveEntryFiles(const std::string &body, const std::string &header)
{
    std::error_code ignored;
    for (const std::string &path : {body, header, body + ".tmp", header + ".tmp"})
        std::filesystem::remove(path, ignored);
}

void SetLastWriteYear(const std::filesystem::path &file, int year)
{
    using namespace std::chrono;
    const sys_days day = std::chrono::year{year} / July / 1;
    const auto when = file_clock::from_sys(sys_time<seconds>{day + hours{12}});
    std::filesystem::last_write_time(file, when);
}

bool LastWriteYearIs(const std::filesystem::path &file, int year)
{
    using namespace std::chrono;
    const auto when = file_clock::to_sys(std::filesystem::last_write_time(file));
    return year_month_day{floor<days>(when)}.year() == std::chrono::year{year};
}

}  // namespace zelmo::test
