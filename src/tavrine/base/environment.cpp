#include "tavrine/base/environment.h"

#include <unistd.h>

#include <cstring>

extern char** environ;

namespace environment {

char* const* processBlock() noexcept { return environ; }

std::optional<std::string_view> find(char* const* block, std::string_view name) noexcept {
  // strncmp stops at a NUL: a name holding one could match a shorter entry.
  if (block == nullptr || name.find('\0') != std::string_view::npos) return std::nullopt;
  // Compared in place: measuring every entry first would read the whole
  // environment on each call.
  for (char* const* entry = block; *entry != nullptr; ++entry) {
    const char* text = *entry;
    if (std::strncmp(text, name.data(), name.size()) == 0 && text[name.size()] == '=') {
      return std::string_view(text + name.size() + 1);
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> find(std::string_view name) noexcept {
  return find(processBlock(), name);
}

bool isUsableHome(std::string_view home) noexcept { return home.empty() || home.starts_with('/'); }

}  // namespace environment
