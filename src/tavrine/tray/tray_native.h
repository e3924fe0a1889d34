#pragma once

#include "tavrine/tray/handles.h"

#include <string_view>

// The status line: the first entry of the menu.
namespace tray_native {

// Records `text` as the tray's status_text, then shows it as the title of the
// status entry (cocoa.status_menu_item) when the menu exists. Changes nothing
// else in the menu.
void setStatus(const CocoaHandles& cocoa, TrayState& tray, std::string_view text);

}  // namespace tray_native
