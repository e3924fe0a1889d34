#include "tavrine/tray/login_action.h"

#include "tavrine/base/config.h"
#include "tavrine/objc/runtime.h"
#include "tavrine/platform/thread.h"
#include "tavrine/signin/token_store.h"
#include "tavrine/tray/bound_actions.h"
#include "tavrine/tray/macos.h"

#include <new>
#include <string_view>

namespace tray::macos {
namespace {

// Read and written on the main thread only; each login thread gets a copy.
LoginSettings& settings() {
  static LoginSettings current;
  return current;
}

// AppKit is touched on the main thread only. Title changes and notifications
// are both queued there, from whichever thread, so they show in the order
// they were made: a sign-out on the main thread cannot be overtaken by an
// older "Logout" still in the queue.
void setLoginTitle(const CocoaHandles& cocoa, std::string_view text) {
  const objc::Id item = cocoa.login_menu_item;
  if (item == nullptr) return;
  objc::AutoreleasePool pool;
  const objc::Id title = createNSString(cocoa, text);
  if (title == nullptr) return;
  objc::send<void>(item,
                   objc::sel_registerName("performSelectorOnMainThread:withObject:waitUntilDone:"),
                   objc::sel_registerName("setTitle:"), title, false);
}

// `text` is one of the constant notification texts.
void notify(const CocoaHandles& cocoa, std::string_view text) {
  objc::runOnMainThread([&cocoa, text] { showNotification(cocoa, text); });
}

// The sign-in thread: the whole browser login, then the tokens stored. The
// handles outlive it (they live as long as the process).
void runLogin(const CocoaHandles& cocoa, const LoginSettings& chosen) {
  try {
    const Config config = config::load();
    const std::string token_url = chosen.token_url.value_or(std::string(config.oauth_token_url));
    auto result = oauth::login(oauth::standardConfig(config.oauth_authorize_url, token_url),
                               chosen.deadline);
    if (!result) {
      notify(cocoa, result.error() == Error::CallbackTimeout ? "Login timed out" : "Login failed");
      return;
    }
    StoredTokens tokens;
    tokens.access_token = std::move(result->access_token);
    tokens.refresh_token = std::move(result->refresh_token);
    // A failed save has printed its reason; the sign-in itself succeeded.
    (void)token_store::save(tokens);
    setLoginTitle(cocoa, "Logout");
    notify(cocoa, "Login successful!");
  } catch (const std::bad_alloc&) {
    notify(cocoa, "Login failed");
  }
}

}  // namespace

void setLoginSettings(LoginSettings chosen) { settings() = std::move(chosen); }

void onLoginClicked() {
  const CocoaHandles* cocoa = detail::boundCocoa();
  if (cocoa == nullptr || detail::boundTray() == nullptr) return;
  if (token_store::isLoggedIn()) {
    // Deleting may fail (the file is then still there); the user asked to be
    // signed out, and the entry follows the request.
    (void)token_store::clear();
    setLoginTitle(*cocoa, "Login...");
    notify(*cocoa, "You have been logged out");
    return;
  }
  // The menu never waits on the network: the login runs on a thread of its
  // own, which nobody joins. A thread that cannot be started leaves
  // everything as it was.
  try {
    (void)platform::startDetachedThread(
        [cocoa, chosen = settings()] { runLogin(*cocoa, chosen); });
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace tray::macos
