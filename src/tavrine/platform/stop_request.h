#pragma once

// The process-wide request to stop: set once by a termination signal (or by
// whoever else decides the process must end), never cleared. Waits that could
// last long (a child under way, for one) watch it and give up when it is set.

namespace platform {

// Asks the whole process to stop. Async-signal-safe: only an atomic store and
// one write to a pipe.
void requestStop() noexcept;

// Whether a stop has been requested.
[[nodiscard]] bool stopRequested() noexcept;

// A descriptor that becomes readable once a stop has been requested and stays
// so for the rest of the process, for poll() and kqueue beside a wait's own
// descriptors; -1 when it could not be made (then only the flag tells). It is
// made on the first call; the commands that run for long make it before they
// start threads or signal handlers, so that it never appears half-way
// through their run, and the one-shot commands never pay for it.
[[nodiscard]] int stopWakeFd() noexcept;

}  // namespace platform
