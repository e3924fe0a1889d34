#pragma once

#include <cstdint>
#include <span>

// The operating system's cryptographic random source: arc4random_buf on
// macOS (random_darwin.cpp), getrandom on Linux (random_linux.cpp).
namespace platform {

// Fills `out` with unpredictable bytes. Never fails: a system that cannot
// supply them ends the process, as arc4random_buf itself would.
void randomBytes(std::span<uint8_t> out) noexcept;

}  // namespace platform
