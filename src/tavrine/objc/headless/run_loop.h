#pragma once

// The stand-in's main thread: its work queue, the application loop, alerts
// waiting for an answer, and the headless console that feeds them. Internal
// to src/objc/headless.

#include "tavrine/objc/types.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace objc::headless::detail {

// Queues `work` for the main thread behind everything queued before it. Any
// thread.
void postToMainThread(std::function<void()> work);

// NSObject's performSelectorOnMainThread:withObject:waitUntilDone:. Receiver
// and argument stay retained until the message has been sent.
void performSelectorOnMainThread(Id self, Sel cmd, Sel selector, Id argument, bool wait);

// NSApplication's run: serves the main thread until terminate:.
void runApplicationLoop();

// NSApplication's terminate:.
void terminateApplication();

// Blocks the main thread, still serving its queue, until the alert whose
// buttons are `buttons` (never empty) is answered; returns the button's index.
[[nodiscard]] size_t waitForAlertAnswer(const std::vector<std::string>& buttons);

// Whether `receiver` has a method for `selector` (no failure when not).
[[nodiscard]] bool responds(Id receiver, Sel selector);

// The headless console's reader thread, started and stopped by the loop.
// It reads `fd` line by line and queues each command for the main thread;
// at end of input it queues `onInputEnded`.
void startConsole(int fd, std::function<void()> on_input_ended);
void stopConsole();

// Executes one console command line (on the reader thread).
void handleConsoleLine(std::string line);

}  // namespace objc::headless::detail
