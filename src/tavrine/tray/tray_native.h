#pragma once

#include "tavrine/agent/agent_state.h"

#include <string_view>

// The status line: the first entry of the menu.
namespace tray_native {

// Records `text` as the tray's status_text, then shows it as the title of the
// status entry when the menu exists. Changes nothing else in the menu.
void setStatus(AgentState& state, TrayState& tray, std::string_view text);

}  // namespace tray_native
