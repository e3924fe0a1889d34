#pragma once

#include "tavrine/tray/handles.h"

// What bindActions recorded, for the menu actions' own files.
namespace tray::macos::detail {

// The bound handles, or nullptr before bindActions.
[[nodiscard]] const CocoaHandles* boundCocoa() noexcept;
// The TrayState in the bound slot now, or nullptr (none bound, or none set).
[[nodiscard]] TrayState* boundTray() noexcept;

}  // namespace tray::macos::detail
