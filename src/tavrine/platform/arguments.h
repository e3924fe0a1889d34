#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A command line as the caller has it, read in place: either a braced list
// of views (the collector's commands, built on the stack every cycle
// without a single allocation) or a vector of strings. It refers to the
// caller's storage, so it lives no longer than the call it is passed to.
class Arguments {
 public:
  // Implicit, both: a braced list or a vector is passed where a command
  // line is expected.
  Arguments(std::initializer_list<std::string_view> views) noexcept
      : views_(views), size_(views.size()) {}
  Arguments(const std::vector<std::string>& strings) noexcept
      : strings_(strings.data()), size_(strings.size()) {}

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] std::string_view operator[](std::size_t index) const noexcept {
    return strings_ == nullptr ? views_.begin()[index] : std::string_view(strings_[index]);
  }
  [[nodiscard]] std::string_view front() const noexcept { return (*this)[0]; }

 private:
  std::initializer_list<std::string_view> views_;
  const std::string* strings_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace platform
