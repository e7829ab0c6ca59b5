#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

namespace zeq {
namespace testing {

namespace {
std::vector<std::string>& createdDirs() {
  static std::vector<std::string> dirs;
  return dirs;
}
void removeCreatedDirs() {
  std::error_code ec;
  for (const auto& d : createdDirs()) std::filesystem::remove_all(d, ec);
}
}  // namespace

std::string makeTempDir() {
  static std::once_flag once;
  // The list must exist before the exit handler is registered, so that it is
  // destroyed after the handler has run.
  std::call_once(once, [] {
    createdDirs();
    std::atexit(removeCreatedDirs);
  });
  std::string pattern = (std::filesystem::temp_directory_path() / "zeq-test-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return std::string();
  createdDirs().emplace_back(buf.data());
  return createdDirs().back();
}

std::vector<unsigned char> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string sourceDir() { return ZEQ_SOURCE_DIR; }

std::string sharedDataDir() {
  if (const char* env = std::getenv("ZEQ_SHARED_DATA")) {
    if (std::filesystem::is_directory(env)) return env;
  }
  const std::filesystem::path candidate = std::filesystem::path(ZEQ_SOURCE_DIR) / ".." / "shared" / "data";
  if (std::filesystem::is_directory(candidate)) return std::filesystem::weakly_canonical(candidate).string();
  return std::string();
}

}  // namespace testing
}  // namespace zeq
