#include "support/temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test_support {

TempDir::TempDir() {
  std::string pattern = "/tmp/tavrine-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; open them up first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored)) ::chmod(it->path().c_str(), 0700);
  }
  std::filesystem::remove_all(path_, ignored);
}

ScopedHome::ScopedHome() {
  if (const char* old = ::getenv("HOME")) {
    had_home_ = true;
    old_home_ = old;
  }
  ::setenv("HOME", dir_.path().c_str(), 1);
}

ScopedHome::~ScopedHome() {
  if (had_home_) {
    ::setenv("HOME", old_home_.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
}

std::string ScopedHome::tokenFile() const {
  return dir_.path() + "/Library/Application Support/Tavrine/tokens.json";
}

std::string ScopedHome::logFile() const { return dir_.path() + "/Library/Logs/Tavrine/agent.log"; }

void writeFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace test_support
