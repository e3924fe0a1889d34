#pragma once

#include <string>

namespace test_support {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Sets HOME to a fresh temporary directory for the life of the object and
// puts the previous value back afterwards.
class ScopedHome {
 public:
  ScopedHome();
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;
  ~ScopedHome();
  const std::string& path() const { return dir_.path(); }
  std::string tokenFile() const;
  std::string logFile() const;

 private:
  TempDir dir_;
  bool had_home_ = false;
  std::string old_home_;
};

// Writes `content` to `path`, creating missing parent directories.
void writeFile(const std::string& path, const std::string& content);
// The whole content of `path` (empty when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace test_support
