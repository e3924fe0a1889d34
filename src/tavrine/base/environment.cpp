#include "tavrine/base/environment.h"

#include <unistd.h>

extern char** environ;

namespace environment {

char* const* processBlock() noexcept { return environ; }

std::optional<std::string_view> find(char* const* block, std::string_view name) noexcept {
  if (block == nullptr) return std::nullopt;
  for (char* const* entry = block; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (text.size() > name.size() && text.starts_with(name) && text[name.size()] == '=') {
      return text.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> find(std::string_view name) noexcept {
  return find(processBlock(), name);
}

bool isUsableHome(std::string_view home) noexcept { return home.empty() || home.starts_with('/'); }

}  // namespace environment
