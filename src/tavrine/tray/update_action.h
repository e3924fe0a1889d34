#pragma once

#include "tavrine/tray/handles.h"

#include <string_view>

namespace tray::macos {

// Shows a modal, informational alert titled `title` with `message`, and
// returns whether the user chose "Update Now". With `offer_update` the
// buttons are "Update Now" and "Later", otherwise the single "OK" (and the
// result is false). Main thread, once setupMenu has found the classes.
bool showUpdateAlert(const CocoaHandles& cocoa, std::string_view title, std::string_view message,
                     bool offer_update);

}  // namespace tray::macos
