#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace plotr {

/// A path in the test's temporary folder that holds this process's id, so that
/// tests running side by side (ctest -j, two build folders) never share it.
inline std::string own_temp_path(const std::string& name) {
    return ::testing::TempDir() + "plotr-test-" + std::to_string(getpid()) + "-" + name;
}

}  // namespace plotr
