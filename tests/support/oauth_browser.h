#pragma once

// The user's side of a browser login, played by a test: the stand-in opener
// (tests/fixtures/xdg-open, first on PATH) records the URL it is handed, and
// the test then sends the browser's requests to the callback listener on
// 127.0.0.1:9876.

#include "support/scoped_variable.h"
#include "support/temp_dir.h"
#include "tavrine/base/unique_fd.h"

#include <string>
#include <vector>

namespace test_support {

class Browser {
 public:
  Browser();

  // The next URL handed to the opener (waits up to 10 s; empty, with a test
  // failure, when none comes).
  std::string awaitOpenedUrl();
  // Every argument the opener has been given so far, in order.
  std::vector<std::string> openedArguments() const;

  // A connection to the listener, retried while the port refuses (up to 10 s).
  UniqueFd connect() const;
  // Sends "GET {target} HTTP/1.1" and returns the whole answer, up to the
  // listener's close.
  std::string get(const std::string& target) const;

  // The value of `name` in a URL's query (up to the next "&").
  static std::string parameter(const std::string& url, const std::string& name);

 private:
  TempDir dir_;
  std::string record_ = dir_.file("opened");
  ScopedVariable record_variable_{"TAVRINE_TEST_OPENED_URLS", record_};
  ScopedVariable path_;
  size_t consumed_ = 0;
};

}  // namespace test_support
