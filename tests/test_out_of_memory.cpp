// Allocation failures inside the DES exports and the BSTR conversions: each
// allocation of a call is refused in turn; the call then gives its failure
// result and releases whatever it had taken (the leak checker of the
// sanitizer build sees to the latter).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "support/failing_allocation.h"
#include "support/os.h"
#include "zelmo.h"

namespace {

using zelmo::test::AllocationFailure;

// Runs `call` with its first, second, ... allocation refused until a run
// refuses none; `check` judges the result of each refused run. Returns how
// many allocations a call makes.
long RefuseEachAllocation(const std::function<void()> &call, const std::function<void()> &check)
{
    for (long n = 1;; ++n) {
        bool refused;
        {
            AllocationFailure failure(n);
            call();
            refused = failure.Refused();
        }
        if (!refused)
            return n - 1;
        SCOPED_TRACE("allocation " + std::to_string(n) + " refused");
        check();
    }
}

TEST(OutOfMemory, DesExportsGiveTheirFailureResult)
{
    const std::string plain = "out of memory, in turn";
    char message[256], text[256];
    ASSERT_GT(DesEncode(plain.c_str(), "pw", message, sizeof message, 0), 0);
    ASSERT_GT(Encode(plain.c_str(), "pw", text, sizeof text), 0);

    struct Case {
        const char *name;
        std::function<int(char *, unsigned)> call;
        int failure;
        long allocations;  // as the export promises
    };
    const Case cases[] = {
        {"DesEncode", [&](char *out, unsigned n) { return DesEncode(plain.c_str(), "pw", out, n, 0); }, -1, 1},
        {"DesDecode", [&](char *out, unsigned n) { return DesDecode(message, "pw", out, 0, n); }, 0, 1},
        {"Encode", [&](char *out, unsigned n) { return Encode(plain.c_str(), "pw", out, n); }, -1, 2},
        {"Decode", [&](char *out, unsigned n) { return Decode(text, "pw", out, n); }, 0, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char out[256];
        int result = 0;
        const long allocations = RefuseEachAllocation(
            [&] {
                std::memset(out, 'x', sizeof out);
                result = c.call(out, sizeof out);
            },
            [&] {
                EXPECT_EQ(result, c.failure);
                EXPECT_EQ(out[0], 'x') << "nothing written";
            });
        EXPECT_EQ(allocations, c.allocations);
        EXPECT_GT(result, 0) << "the call succeeds once nothing is refused";
    }
}

TEST(OutOfMemory, ConversionsGiveNull)
{
    // Long enough that the POSIX conversion's strings leave their inline
    // storage and allocate.
    std::string text;
    std::basic_string<ZelmoOleChar> wide;
    for (int i = 0; i < 8; ++i) {
        text += "caf\xC3\xA9 \xE2\x82\xAC ";  // UTF-8
        wide += {'c', 'a', 'f', 0xE9, ' ', 0x20AC, ' '};
    }
    for (unsigned codePage : {65001u, 1252u}) {
        SCOPED_TRACE(codePage);
        ZelmoBstr bstr = nullptr;
        const long toBstr = RefuseEachAllocation(
            [&] { bstr = PszToBstr(text.c_str(), codePage); }, [&] { EXPECT_EQ(bstr, nullptr); });
        ASSERT_NE(bstr, nullptr);
        zelmo::test::os::FreeBstr(bstr);

        char *narrow = nullptr;
        const long fromBstr = RefuseEachAllocation(
            [&] { narrow = PszFromBstr(wide.c_str(), codePage); }, [&] { EXPECT_EQ(narrow, nullptr); });
        ASSERT_NE(narrow, nullptr);
        zelmo::test::os::FreeLocal(narrow);
        // At least the result's own allocation (on Windows SysAllocStringLen
        // and LocalAlloc, reached through their wrapped import slots).
        EXPECT_GT(toBstr, 0);
        EXPECT_GT(fromBstr, 0);
    }
}

}  // namespace
