// The failure names of an exchange: every libcurl code and OS error maps onto
// a name the agent can print.
#include "tavrine/net/http.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int code = 0;
  long os_errno = 0;
  if (size < sizeof code + sizeof os_errno + 1) return 0;
  std::memcpy(&code, data, sizeof code);
  std::memcpy(&os_errno, data + sizeof code, sizeof os_errno);
  const bool connected = (data[sizeof code + sizeof os_errno] & 1) != 0;
  if (errorName(http::failureFromCurl(code, os_errno, connected)).empty()) std::abort();
  return 0;
}
