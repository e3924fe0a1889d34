#include "tavrine.h"

#include <ctime>

std::string_view checkStatusName(CheckStatus status) noexcept {
  switch (status) {
    case CheckStatus::enabled:
      return "enabled";
    case CheckStatus::disabled:
      return "disabled";
    case CheckStatus::unknown:
      return "unknown";
    case CheckStatus::not_applicable:
      return "not_applicable";
  }
  return "unknown";
}

namespace tavrine {

// Placeholder until the collector lands: every check at its fallback.
Result<DeviceTavrine> collect() {
  DeviceTavrine record;
  record.timestamp = static_cast<int64_t>(std::time(nullptr));
  return record;
}

}  // namespace tavrine
