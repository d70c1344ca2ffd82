// A scratch file path of the test's own: CTest runs the tests of one binary in parallel
// processes, so fixed names would collide.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

inline std::string unique_temp_path(const char* stem)
{
    return testing::TempDir() + stem + "." + std::to_string(getpid());
}
