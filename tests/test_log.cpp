// The diagnostic log: what a recorded message leaves in the log file beside
// the program and on the debugger output, and what other levels leave (nothing).
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame/diagnostic_log.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/os.h"

namespace {

namespace fs = std::filesystem;
using zelmo::WriteDiagnosticLog;

constexpr wchar_t kOpenError[] = L"Open log file error! Do not write log information.";

std::mutex capturedLock;
std::vector<std::wstring> captured;  // what reached the debugger output

void Capture(const wchar_t *text)
{
    std::lock_guard<std::mutex> hold(capturedLock);
    captured.emplace_back(text);
}

// Runs each test with a closed log, no log file and the debugger output
// captured; puts things back afterwards.
class DiagnosticLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        zelmo::frame::CloseDiagnosticLog();
        exe_ = zelmo::test::os::ExecutablePath();
        logDir_ = exe_.parent_path() / "Log";
        logFile_ = logDir_ / (exe_.stem().string() + ".Assert.log");
        logDirExisted_ = fs::exists(logDir_);
        std::error_code ignored;
        fs::remove(logFile_, ignored);
        previous_ = zelmo::frame::SetDebugOutput(Capture);
        captured.clear();
    }

    void TearDown() override
    {
        zelmo::frame::CloseDiagnosticLog();
        zelmo::frame::SetDebugOutput(previous_);
        std::error_code ignored;
        fs::remove(logFile_, ignored);
        if (!logDirExisted_)
            fs::remove_all(logDir_, ignored);
    }

    // The log file as text (CR LF read as a line feed).
    std::string Content() const
    {
        std::ifstream in(logFile_);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The file's content after its header line's "Sec".
    std::string AfterHeader() const
    {
        const std::string text = Content();
        static const std::regex header(R"(^\d+ \d+ Year \d+ Month \d+ Day \d+ Hour \d+ Min \d+ Sec)");
        std::smatch match;
        if (!std::regex_search(text, match, header))
            return "<no header in: " + text + ">";
        return match.suffix();
    }

    fs::path exe_, logDir_, logFile_;
    bool logDirExisted_ = false;
    zelmo::frame::DebugOutputFn previous_ = nullptr;
};

// Whether `after` is exactly one line per text: a tick count, a blank, the text.
bool HasLines(const std::string &after, const std::vector<std::string> &texts)
{
    std::size_t at = 0;
    for (const std::string &text : texts) {
        const std::size_t digits = at;
        while (at < after.size() && after[at] >= '0' && after[at] <= '9') ++at;
        if (at == digits || at >= after.size() || after[at++] != ' ')
            return false;
        if (after.compare(at, text.size(), text) != 0)
            return false;
        at += text.size();
    }
    return at == after.size();
}

TEST_F(DiagnosticLog, OnlyLevelTenIsRecorded)
{
    for (int level : {0, 1, 9, 11, -10})
        WriteDiagnosticLog(level, "dropped %d", level);
    EXPECT_FALSE(fs::exists(logFile_));
    EXPECT_EQ(fs::exists(logDir_), logDirExisted_) << "no directory made either";
    EXPECT_TRUE(captured.empty()) << "nothing reaches the debugger";
}

TEST_F(DiagnosticLog, FirstMessageOpensTheFileAfterItsHeader)
{
    const std::string localeBefore = std::setlocale(LC_ALL, nullptr);
    WriteDiagnosticLog(10, "abc");
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), localeBefore) << "the host's locale is left alone";
    ASSERT_TRUE(fs::is_regular_file(logFile_));
    const std::string text = Content();
    static const std::regex line(
        R"(^(\d+) (\d+) Year (\d+) Month (\d+) Day (\d+) Hour (\d+) Min (\d+) Sec(\d+) abc\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    EXPECT_GE(std::stoi(m[2]), 1970);
    EXPECT_TRUE(std::stoi(m[3]) >= 1 && std::stoi(m[3]) <= 12) << m[3];
    EXPECT_TRUE(std::stoi(m[4]) >= 1 && std::stoi(m[4]) <= 31) << m[4];
    EXPECT_LE(std::stoi(m[5]), 23);
    EXPECT_LE(std::stoi(m[6]), 59);
    EXPECT_LE(std::stoi(m[7]), 60);
    for (int field : {3, 4, 5, 6, 7})
        EXPECT_TRUE(m[field].length() == 1 || m[field].str()[0] != '0') << "no padding: " << m[field];

    // A text-mode file: the line feed is the system's line end.
    std::ifstream raw(logFile_, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(raw), std::istreambuf_iterator<char>()};
    const std::string lineEnd = zelmo::platform::kPathSeparator == '\\' ? "\r\n" : "\n";
    EXPECT_EQ(bytes.substr(bytes.size() - 3 - lineEnd.size()), "abc" + lineEnd);

    // The debugger sees the executable, the log path, then the message.
    const std::vector<std::wstring> expected = {exe_.wstring(), logFile_.wstring(), L"abc\n"};
    EXPECT_EQ(captured, expected);
}

TEST_F(DiagnosticLog, MessagesKeepTheirOwnLineFeeds)
{
    WriteDiagnosticLog(10, "abc");
    WriteDiagnosticLog(10, "a\nb");        // a line feed inside: nothing appended
    WriteDiagnosticLog(10, "ends here\n");
    WriteDiagnosticLog(10, "%s=%d, %05.1f", "key", 42, 2.5);
    WriteDiagnosticLog(10, "%s", "");
    WriteDiagnosticLog(10, "ab%cc", '\0');    // a NUL ends the text, as in a C string,
    WriteDiagnosticLog(10, "x%c\ny", '\0');  // before its line feed is looked for
    EXPECT_TRUE(HasLines(AfterHeader(), {"abc\n", "a\nb", "ends here\n", "key=42, 002.5\n", "\n", "ab\n", "x\n"}))
        << AfterHeader();
    ASSERT_EQ(captured.size(), 9u);
    EXPECT_EQ(captured[3], L"a\nb");
    EXPECT_EQ(captured[6], L"\n");
    EXPECT_EQ(captured[7], L"ab\n");
}

TEST_F(DiagnosticLog, LongMessagesAreCutToTheBuffer)
{
    const std::string huge(5000, 'x');
    WriteDiagnosticLog(10, "%s", huge.c_str());
    const std::string withBreak = std::string(3000, 'y') + "\n" + std::string(2000, 'z');
    WriteDiagnosticLog(10, "%s", withBreak.c_str());
    // 4095 bytes fit; a message without a line feed gives up its last byte to one.
    EXPECT_TRUE(HasLines(AfterHeader(), {std::string(4094, 'x') + "\n", withBreak.substr(0, 4095)}));
    ASSERT_EQ(captured.size(), 4u);
    EXPECT_EQ(captured[2].size(), 4095u);
    EXPECT_EQ(captured[3].size(), 4095u);
}

TEST_F(DiagnosticLog, UnloadClosesTheFileAndTheNextLoadEmptiesIt)
{
    for (bool processEnding : {false, true}) {
        WriteDiagnosticLog(10, "one");
        WriteDiagnosticLog(10, "two");
        zelmo::platform::OnProcessDetach(processEnding);
        EXPECT_TRUE(HasLines(AfterHeader(), {"one\n", "two\n"})) << processEnding;
        WriteDiagnosticLog(10, "three");  // opens (and empties) the file again
        EXPECT_TRUE(HasLines(AfterHeader(), {"three\n"})) << AfterHeader();
        zelmo::frame::CloseDiagnosticLog();
    }
}

TEST_F(DiagnosticLog, UncreatableDirectoryLeavesTheDebuggerOnly)
{
    if (logDirExisted_)
        GTEST_SKIP() << "a Log directory is already beside the program";
    std::ofstream(logDir_) << "a file where the directory should be";
    WriteDiagnosticLog(10, "first");
    WriteDiagnosticLog(10, "second");
    EXPECT_TRUE(fs::is_regular_file(logDir_));
    EXPECT_FALSE(fs::exists(logFile_));
    // Each message tries to open the file again.
    const std::vector<std::wstring> expected = {
        exe_.wstring(), logFile_.wstring(), kOpenError, L"first\n",
        exe_.wstring(), logFile_.wstring(), kOpenError, L"second\n"};
    EXPECT_EQ(captured, expected);

    // Once the directory can be made, the file is opened.
    std::error_code ignored;
    fs::remove(logDir_, ignored);
    WriteDiagnosticLog(10, "third");
    EXPECT_TRUE(HasLines(AfterHeader(), {"third\n"}));
}

TEST_F(DiagnosticLog, LinesOfThreadsNeverInterleave)
{
    constexpr int kThreads = 4, kLines = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                WriteDiagnosticLog(10, "thread %d line %d", t, i);
        });
    for (std::thread &thread : threads) thread.join();

    std::istringstream lines(AfterHeader());
    std::string line;
    static const std::regex pattern(R"(\d+ thread (\d) line (\d+))");
    std::vector<int> next(kThreads, 0);
    int count = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, pattern)) << line;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++) << "each thread's lines in order";
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
    const std::size_t opens = static_cast<std::size_t>(
        std::count(captured.begin(), captured.end(), logFile_.wstring()));
    EXPECT_EQ(opens, 1u) << "the file is opened once";
}

TEST_F(DiagnosticLog, MessageTextDoesNotDependOnTheLocale)
{
    // This program never calls setlocale: it runs in the "C" locale. POSIX
    // reads the text as UTF-8 all the same and keeps each byte of no valid
    // sequence as it is; Windows converts with the runtime locale, where a
    // byte it does not know becomes '?' and the rest of the message stays.
    const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xFF\xFE ok";
    WriteDiagnosticLog(10, "%s", text.c_str());
    const std::string after = AfterHeader();
    if (zelmo::platform::kPathSeparator == '/') {
        EXPECT_TRUE(HasLines(after, {text + "\n"})) << after;
        ASSERT_FALSE(captured.empty());
        EXPECT_EQ(captured.back(), std::wstring(L"caf\u00E9 \u20AC ") + wchar_t(0xDCFF) + wchar_t(0xDCFE) + L" ok\n");
    } else {
        EXPECT_TRUE(std::regex_match(after, std::regex(R"(\d+ caf[^\n]* ok\n)"))) << after;
    }
}

// This program run again as a child under a name that is not UTF-8 (a file
// name is bytes on POSIX), in another current directory, and where it can
// be had in a time namespace whose boot clock is 10^5 s ahead of the
// monotonic one. The child records its boot clock before and after a message.
TEST(DiagnosticLogChild, UsesTheExecutablesBytesAndTheBootClock)
{
    if (std::getenv("ZELMO_LOG_CHILD") != nullptr) {  // the child's part
        const std::uint32_t before = zelmo::test::os::BootClockMs();
        WriteDiagnosticLog(10, "%u", static_cast<unsigned>(before));
        WriteDiagnosticLog(10, "%u", static_cast<unsigned>(zelmo::test::os::BootClockMs()));
        zelmo::frame::CloseDiagnosticLog();
        return;
    }
    if (zelmo::platform::kPathSeparator != '/')
        GTEST_SKIP() << "Windows file names are UTF-16 text, never arbitrary bytes";
    zelmo::test::TempDir dir;
    const fs::path exe = dir.path() / "zelmo\xFF", cwd = dir.path() / "cwd";
    std::error_code linked;
    fs::create_hard_link(zelmo::test::os::ExecutablePath(), exe, linked);
    if (linked)
        fs::copy_file(zelmo::test::os::ExecutablePath(), exe);
    fs::create_directory(cwd);
    const std::string run = "cd '" + cwd.string() + "' && ZELMO_LOG_CHILD=1 ";
    std::string child = "'";  // (appended, not "'" + string: see support/gcc_warnings.h)
    child += exe.string() + "' --gtest_filter=DiagnosticLogChild.* >/dev/null 2>&1";
    bool timeNamespace = std::system((run + "unshare --time --boottime 100000 --fork " + child).c_str()) == 0;
    if (!timeNamespace) {
        ASSERT_EQ(std::system((run + child).c_str()), 0);
    }

    EXPECT_FALSE(fs::exists(cwd / "Log")) << "nothing beside the current directory";
    std::ifstream in(dir.path() / "Log" / "zelmo\xFF.Assert.log");
    std::string line;
    std::vector<std::uint32_t> ticks, readings;
    while (std::getline(in, line)) {
        static const std::regex pattern(R"((?:.* Sec)?(\d+) (\d+))");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, pattern)) << line;
        ticks.push_back(static_cast<std::uint32_t>(std::stoul(m[1])));
        readings.push_back(static_cast<std::uint32_t>(std::stoul(m[2])));
    }
    ASSERT_EQ(ticks.size(), 2u) << "the log beside the executable holds both messages";
    if (timeNamespace) {  // the first line's tick lies between the two readings, wrapping included
        EXPECT_LE(ticks[0] - readings[0], readings[1] - readings[0]) << ticks[0] << " " << readings[0];
    }
}

}  // namespace
