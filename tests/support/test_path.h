// A URL path of the running test's own ("/Suite-Name"), so that tests that
// share a server or a cache never share an entry; and the clock in seconds.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>

namespace zelmo::test {

inline std::string TestPath()
{
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("/") + info->test_suite_name() + "-" + info->name();
    return name;
}

inline std::int64_t Now()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace zelmo::test
