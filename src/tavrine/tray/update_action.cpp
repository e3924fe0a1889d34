// "Check for Updates...": fetch the manifest, offer a newer release,
// download it, stage the swap script, start it and quit. Runs wholly on the
// main thread inside the menu action; each outcome ends in one alert.
#include "tavrine/tray/update_action.h"

#include "tavrine/base/config.h"
#include "tavrine/base/console.h"
#include "tavrine/base/untrusted_text.h"
#include "tavrine/net/http.h"
#include "tavrine/objc/runtime.h"
#include "tavrine/platform/exe_path.h"
#include "tavrine/tray/bound_actions.h"
#include "tavrine/tray/macos.h"
#include "tavrine/update/update_install.h"
#include "tavrine/update/update_signature.h"
#include "tavrine/update/updater.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <string>
#include <vector>

namespace tray::macos {
namespace {

using objc::Id;
using objc::sel_registerName;
using objc::send;
using update_install::UpdateOutcome;

constexpr std::chrono::minutes kDownloadTimeLimit{10};

// A string object for an alert; an empty one when `text` cannot be made into
// one, so that the alert still shows.
Id alertString(const CocoaHandles& cocoa, std::string_view text) {
  const Id string = createNSString(cocoa, text);
  return string != nullptr ? string : createNSString(cocoa, "");
}

void alert(const CocoaHandles& cocoa, std::string_view title, std::string_view message) {
  showUpdateAlert(cocoa, title, message, false);
}

UpdateOutcome failure(std::string_view message) {
  UpdateOutcome outcome;
  outcome.message = message;
  return outcome;
}

// Fetches the manifest's signature file and checks it against `manifest`,
// the bytes exactly as served, before anything reads them.
Result<void> verifySignature(const Config& config, std::string_view manifest,
                             std::span<const update_signature::TrustedKey> keys) {
  const std::string url = fmt::format("{}.sig", config.update_manifest_url);
  const std::array headers{http::HttpHeader{"User-Agent", http::kUserAgent}};
  http::Limits limits;
  limits.max_get_response = update_signature::kSignatureFileLimit;
  limits.cut_at_limit = true;
  const auto response = http::get(url, headers, limits);
  // Whatever keeps the signature away, the manifest stands unsigned.
  if (!response || response->status != 200) return fail(Error::SignatureMissing);
  if (response->truncated) return fail(Error::StreamTooLong);
  return update_signature::verifyManifest(manifest, response->body, keys);
}

// Steps from the consent to the staged script.
UpdateOutcome downloadAndStage(const CocoaHandles& cocoa, const updater::UpdateManifest& manifest) {
  // Before a byte is fetched: an executable this process cannot replace (an
  // install that belongs to root) is its administrator's to update.
  const auto exe = platform::executablePath();
  if (!exe) return failure("Could not determine executable path");
  if (auto replaceable = update_install::checkReplaceable(*exe); !replaceable) {
    console::error("Cannot replace {}: error.{}", untrusted::printable(*exe),
                   errorName(replaceable.error()));
    return failure("Updates for this Mac are installed by your administrator");
  }
  if (cocoa.update_menu_item != nullptr) {
    send<void>(cocoa.update_menu_item, sel_registerName("setTitle:"),
               alertString(cocoa, "Downloading..."));
  }
  console::info("Downloading update from: {}", untrusted::printable(manifest.download_url));
  const std::array headers{http::HttpHeader{"User-Agent", http::kUserAgent}};
  // Room for the largest build over a slow line, but not for ever.
  http::Limits limits;
  limits.total_timeout = kDownloadTimeLimit;
  // A download longer than the manifest says is cut off at that length.
  if (manifest.size) {
    limits.max_get_response = std::min<uint64_t>(limits.max_get_response, *manifest.size);
    limits.cut_at_limit = true;
  }
  auto download = http::get(manifest.download_url, headers, limits);
  if (!download) {
    console::error("Download failed: error.{}", errorName(download.error()));
    return failure("Failed to download update");
  }
  if (download->status != 200) {
    console::error("Download returned status: {}", download->status);
    return failure("Download server returned an error");
  }
  if (manifest.size && (download->truncated || download->body.size() != *manifest.size)) {
    console::error("Download failed: error.{}", errorName(Error::SizeMismatch));
    return failure("Failed to download update");
  }
  // Before a byte is written: an error page or a tampered file never gets
  // near the executable.
  if (auto checked = update_install::checkDownload(download->body, manifest.sha256); !checked) {
    console::error("Download failed: error.{}", errorName(checked.error()));
    return failure("Failed to download update");
  }
  UpdateOutcome outcome = update_install::stage(download->body, *exe, update_install::thisAgent());
  if (outcome.success) console::info("Update downloaded successfully. Restart required.");
  return outcome;
}

void checkForUpdates(const CocoaHandles& cocoa, TrayState& tray) {
  const Config config = config::load();  // the mode is decided afresh, as at start-up
  console::info("Checking for updates at {}... Current version: {}", config.update_manifest_url,
                updater::kAgentVersion);
  // With no key trusted (a production build configured without one) the
  // manifest is taken on the word of the site, as it always was.
  const std::vector<update_signature::TrustedKey> keys = update_signature::trustedKeys(config.mode);
  const std::array headers{http::HttpHeader{"Accept", "application/json"},
                           http::HttpHeader{"User-Agent", http::kUserAgent}};
  Result<updater::UpdateManifest> manifest = fail(Error::Unexpected);
  {
    // A manifest is small: an answer past its bound is cut there and refused
    // as a manifest, not read whole into memory.
    http::Limits limits;
    limits.max_get_response = updater::kManifestLimit;
    limits.cut_at_limit = true;
    const auto response = http::get(config.update_manifest_url, headers, limits);
    if (!response) {
      console::error("Update check failed: error.{}", errorName(response.error()));
      alert(cocoa, "Update Check Failed", "Failed to connect to update server");
      return;
    }
    if (response->status != 200) {
      console::warning("Update check returned status: {}", response->status);
      alert(cocoa, "Update Check Failed", "Update server returned an error");
      return;
    }
    if (response->truncated) {
      manifest = fail(Error::StreamTooLong);
    } else if (auto verified = keys.empty() ? Result<void>{}
                                            : verifySignature(config, response->body, keys);
               !verified) {
      console::error("Update information could not be verified: error.{}",
                     errorName(verified.error()));
      alert(cocoa, "Update Check Failed", "The update information could not be verified.");
      return;
    } else {
      manifest = updater::parseManifest(response->body, config.update_base_url);
    }
  }
  http::releaseLargeAnswerMemory();  // a refused manifest may have been a megabyte
  if (!manifest) {
    console::error("Failed to parse update response: error.{}", errorName(manifest.error()));
    alert(cocoa, "Update Check Failed", "Failed to parse update information");
    return;
  }
  if (!keys.empty()) {
    if (auto rules = update_signature::checkSignedManifest(*manifest,
                                                           std::chrono::system_clock::now());
        !rules) {
      if (rules.error() == Error::ManifestExpired) {
        console::error("Update information has expired: error.{}", errorName(rules.error()));
        alert(cocoa, "Update Check Failed", "The update information has expired.");
      } else {
        console::error("Update information could not be verified: error.{}",
                       errorName(rules.error()));
        alert(cocoa, "Update Check Failed", "The update information could not be verified.");
      }
      return;
    }
  }
  if (!manifest->update_available) {
    alert(cocoa, "No Updates Available", "You are running the latest version.");
    return;
  }
  if (!showUpdateAlert(cocoa, "Update Available",
                       updater::offerMessage(untrusted::printable(manifest->latest_version),
                                             manifest->current_version),
                       true)) {
    return;
  }

  UpdateOutcome outcome = downloadAndStage(cocoa, *manifest);
  http::releaseLargeAnswerMemory();
  if (!outcome.success) {
    alert(cocoa, "Update Failed", outcome.message);
    return;
  }
  alert(cocoa, "Update Ready",
        "The update has been downloaded. The agent will restart to apply the update.");
  if (!update_install::startScript(outcome.staged.scriptPath())) {
    alert(cocoa, "Update Error", "Failed to start update process");
    return;  // the staged files go with `outcome`
  }
  outcome.staged.handOver();
  tray.running.store(false);
  const Id app = send<Id>(cocoa.app_class, sel_registerName("sharedApplication"));
  send<void>(app, sel_registerName("terminate:"), Id{});
}

}  // namespace

bool showUpdateAlert(const CocoaHandles& cocoa, std::string_view title, std::string_view message,
                     bool offer_update) {
  const objc::AutoreleasePool pool;
  const Id alert_object =
      send<Id>(send<Id>(cocoa.alert_class, sel_registerName("alloc")), sel_registerName("init"));
  send<void>(alert_object, sel_registerName("setMessageText:"), alertString(cocoa, title));
  send<void>(alert_object, sel_registerName("setInformativeText:"), alertString(cocoa, message));
  send<void>(alert_object, sel_registerName("setAlertStyle:"), 1UL);  // informational
  if (offer_update) {
    send<Id>(alert_object, sel_registerName("addButtonWithTitle:"),
             alertString(cocoa, "Update Now"));
    send<Id>(alert_object, sel_registerName("addButtonWithTitle:"), alertString(cocoa, "Later"));
  } else {
    send<Id>(alert_object, sel_registerName("addButtonWithTitle:"), alertString(cocoa, "OK"));
  }
  constexpr long kFirstButton = 1000;
  const long response = send<long>(alert_object, sel_registerName("runModal"));
  send<void>(alert_object, sel_registerName("release"));
  return offer_update && response == kFirstButton;
}

void onUpdateClicked() {
  const CocoaHandles* cocoa = detail::boundCocoa();
  TrayState* tray = detail::boundTray();
  if (cocoa == nullptr || tray == nullptr) return;
  const objc::AutoreleasePool pool;
  checkForUpdates(*cocoa, *tray);
}

}  // namespace tray::macos
