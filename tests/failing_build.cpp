// A program of this machine that fails, for the update suite: a build that
// passes every check on the download and still must not replace a working
// agent. By default it fails at every start, "help" included; with
// TAVRINE_TEST_FAILING_BUILD=later it answers "help" and, started otherwise,
// exits 1 on its third second without a sign of life.
#include <unistd.h>

#include <cstdlib>
#include <string_view>

int main(int argc, char** argv) {
  const char* mode = std::getenv("TAVRINE_TEST_FAILING_BUILD");
  if (mode == nullptr || std::string_view(mode) != "later") return 1;
  if (argc > 1 && std::string_view(argv[1]) == "help") return 0;
  ::sleep(3);
  return 1;
}
