#pragma once

#include <string>
#include <string_view>

// Text that came from outside (the network, another process) on its way to
// the terminal or the agent log. A raw ESC or CR in it could rewrite what the
// user sees, or forge a line of the log.
namespace untrusted {

// `text` with every control byte (below 0x20, and 0x7F) written as "\xNN"
// (two upper-case hex digits); every other byte as it came. Throws
// std::bad_alloc like any string operation.
[[nodiscard]] std::string printable(std::string_view text);

}  // namespace untrusted
