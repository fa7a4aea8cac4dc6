// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace pointrelay::test {

/// A fresh folder named after the running test, removed again when the object goes.
struct TempDir {
    TempDir() {
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::filesystem::path& path() const { return m_path; }

    std::filesystem::path m_path =
        std::filesystem::temp_directory_path() /
        ("pointrelay-" + std::to_string(::getpid()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

} // namespace pointrelay::test
