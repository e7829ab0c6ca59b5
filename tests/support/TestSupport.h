#pragma once
#include <string>
#include <vector>

namespace zeq {
namespace testing {

// A fresh, empty directory under the system's temporary directory; removed at exit.
std::string makeTempDir();

// Whole file as bytes (empty when it cannot be read).
std::vector<unsigned char> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// The project's data shipped with the repository (tests/data, models).
std::string sourceDir();

// The shared data folder beside the checkout (../shared/data), or "" when absent.
// Tests that need it call GTEST_SKIP() with a clear message when this is empty.
std::string sharedDataDir();

}  // namespace testing
}  // namespace zeq
