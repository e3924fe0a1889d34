#include "tray_native.h"

namespace tray_native {

void setStatus(AgentState& state, TrayState& tray, std::string_view text) {
  {
    std::lock_guard guard(tray.status_lock);
    tray.status_text.assign(text);
  }
  // The menu entry's title follows once the menu bar exists.
  (void)state;
}

}  // namespace tray_native
