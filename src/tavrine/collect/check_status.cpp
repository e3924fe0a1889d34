#include "tavrine/collect/check_status.h"

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
