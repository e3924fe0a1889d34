#include "tavrine/collect/collector_checks.h"

#include <charconv>

namespace tavrine::checks {

namespace {

bool contains(std::string_view text, std::string_view phrase) noexcept {
  return text.find(phrase) != std::string_view::npos;
}

std::string_view trimBlanks(std::string_view line) noexcept {
  const std::size_t first = line.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

// The phrase checks all have the same shape: the first phrase found decides;
// no phrase gives `otherwise`; no output gives unknown.
struct Phrase {
  std::string_view text;
  CheckStatus status;
};

template <std::size_t N>
CheckStatus firstPhrase(std::optional<std::string_view> output, const Phrase (&phrases)[N],
                        CheckStatus otherwise = CheckStatus::unknown) noexcept {
  if (!output) return CheckStatus::unknown;
  for (const Phrase& phrase : phrases) {
    if (contains(*output, phrase.text)) return phrase.status;
  }
  return otherwise;
}

// The value of `name` in a listing's detail line
// ("Title: macOS Sonoma 14.0, Version: 14.0, Size: 4404034KiB, ..."): the text
// after "NAME: " up to the next ", " or the end.
std::string_view detailValue(std::string_view details, std::string_view name) noexcept {
  std::size_t at = 0;
  while (true) {
    at = details.find(name, at);
    if (at == std::string_view::npos) return {};
    const bool starts_field = at == 0 || details.substr(0, at).ends_with(", ");
    if (starts_field && details.substr(at + name.size()).starts_with(": ")) break;
    at += name.size();
  }
  const std::string_view value = details.substr(at + name.size() + 2);
  return value.substr(0, value.find(", "));
}

// The major release of a version: its first number, or its first two for
// the 10.x releases, each of which was a major release of its own.
std::string_view majorRelease(std::string_view version) noexcept {
  std::size_t end = version.find('.');
  if (version.substr(0, end) == "10" && end != std::string_view::npos) {
    end = version.find('.', end + 1);
  }
  return version.substr(0, end);
}

// Whether a listed entry leaves the running macOS as patched as it is: an
// upgrade to another major release, offered to fully patched Macs as well,
// or developer tools. An entry without details counts as pending, as does
// any entry while the running version is unknown.
bool updatesSomethingElse(std::optional<std::string_view> details,
                          std::string_view running_version) noexcept {
  if (!details) return false;
  const std::string_view title = detailValue(*details, "Title");
  if (title.starts_with("Command Line Tools")) return true;
  if (!title.starts_with("macOS")) return false;
  const std::string_view version = detailValue(*details, "Version");
  const std::string_view running_major = majorRelease(running_version);
  if (version.empty() || running_major.empty() || running_version == "unknown") return false;
  return majorRelease(version) != running_major;
}

bool isDigits(std::string_view text) noexcept {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

ScreenLock screenSaverIdleTime(std::optional<std::string_view> output) {
  if (!output || output->empty()) return {};
  for (const char c : *output) {
    if (c < '0' || c > '9') return {};
  }
  uint32_t seconds = 0;
  const auto [end, error] = std::from_chars(output->data(), output->data() + output->size(), seconds);
  if (error != std::errc() || end != output->data() + output->size()) return {};
  return {seconds > 0 ? CheckStatus::enabled : CheckStatus::disabled, seconds};
}

PendingUpdates softwareUpdates(std::optional<std::string_view> output,
                               std::string_view running_version) {
  // A listing that could not be made says nothing about the Mac; calling it
  // up to date would hide an unpatched one. Offline, the tool prints its
  // usual header and says why only on standard error, so the answer must be
  // there in words: the no-update line, or a list of entries.
  if (!output) return {0, CheckStatus::unknown};
  if (!contains(*output, "No new software available") &&
      !contains(*output, "Software Update found the following") && !contains(*output, "* Label:")) {
    return {0, CheckStatus::unknown};
  }
  uint32_t count = 0;
  std::optional<std::string_view> entry_details;  // of the entry being read
  bool in_entry = false;
  auto book = [&] {
    if (in_entry && !updatesSomethingElse(entry_details, running_version)) ++count;
  };
  std::string_view rest = *output;
  while (true) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = trimBlanks(rest.substr(0, end));
    if (line.size() >= 8 && line.starts_with("* Label:")) {
      book();
      in_entry = true;
      entry_details.reset();
    } else if (in_entry && !entry_details && line.starts_with("Title:")) {
      entry_details = line;
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  book();
  return {count, count == 0 ? CheckStatus::enabled : CheckStatus::disabled};
}

std::optional<std::string_view> quotedValueAfter(std::string_view text,
                                                 std::string_view key) noexcept {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view rest = text.substr(at + key.size());
  const std::size_t close = rest.find('"');
  if (close == std::string_view::npos) return std::nullopt;
  return rest.substr(0, close);
}

std::string deviceId(std::optional<std::string_view> output) {
  if (output) {
    if (auto value = quotedValueAfter(*output, "\"IOPlatformUUID\" = \"")) return std::string(*value);
  }
  return "unknown-device-id";
}

std::optional<std::string> serialNumber(std::optional<std::string_view> output) {
  if (!output) return std::nullopt;
  auto value = quotedValueAfter(*output, "\"IOPlatformSerialNumber\" = \"");
  if (!value) return std::nullopt;
  return std::string(*value);
}

CheckStatus diskEncryption(std::optional<std::string_view> output) noexcept {
  static constexpr Phrase kPhrases[] = {{"FileVault is On", CheckStatus::enabled},
                                        {"FileVault is Off", CheckStatus::disabled}};
  return firstPhrase(output, kPhrases);
}

CheckStatus firewall(std::optional<std::string_view> output) noexcept {
  // Block-all mode is the strictest setting, and says neither word.
  static constexpr Phrase kPhrases[] = {{"enabled", CheckStatus::enabled},
                                        {"disabled", CheckStatus::disabled},
                                        {"blocking all", CheckStatus::enabled}};
  return firstPhrase(output, kPhrases);
}

std::optional<CheckStatus> secureBootPolicy(std::optional<std::string_view> output) noexcept {
  if (!output) return std::nullopt;
  // "NAME<TAB>VALUE": the value is what follows the last blank or tab.
  const std::size_t blank = output->find_last_of(" \t");
  if (blank == std::string_view::npos) return std::nullopt;
  const std::string_view policy = output->substr(blank + 1);
  // Compliance baselines ask for Full Security; Medium Security (%01) lets
  // older or unsigned systems start, and No Security (%00) anything.
  if (policy == "%02") return CheckStatus::enabled;
  if (policy == "%01" || policy == "%00") return CheckStatus::disabled;
  return std::nullopt;
}

CheckStatus secureBootMode(std::optional<std::string_view> output) noexcept {
  if (!output) return CheckStatus::unknown;
  constexpr std::string_view kLabel = "Secure Boot:";
  const std::size_t at = output->find(kLabel);
  if (at == std::string_view::npos) return CheckStatus::not_applicable;
  std::string_view mode = output->substr(at + kLabel.size());
  mode = trimBlanks(mode.substr(0, mode.find('\n')));
  if (mode == "Full Security") return CheckStatus::enabled;
  // Reduced and Permissive (Apple silicon), Medium and No Security (T2).
  for (const std::string_view weaker :
       {"Reduced Security", "Permissive Security", "Medium Security", "No Security"}) {
    if (mode == weaker) return CheckStatus::disabled;
  }
  return CheckStatus::unknown;
}

CheckStatus screenLockPassword(std::optional<std::string_view> output) noexcept {
  if (output == "1") return CheckStatus::enabled;
  if (output == "0") return CheckStatus::disabled;
  return CheckStatus::unknown;
}

CheckStatus screenLockDelay(std::optional<std::string_view> output) noexcept {
  if (!output) return CheckStatus::unknown;
  // The answer follows a log prefix ("2026-09-23 13:27:31.636
  // sysadminctl[69987:3026189] "), so it is looked for, not compared.
  if (contains(*output, "screenLock is off")) return CheckStatus::disabled;
  if (contains(*output, "screenLock delay is immediate")) return CheckStatus::enabled;
  // "screenLock delay is 300 seconds", also written "300.000000 seconds";
  // a negative delay ("-1.000000 seconds") means the lock is off.
  constexpr std::string_view kDelay = "screenLock delay is ";
  for (std::size_t at = output->find(kDelay); at != std::string_view::npos;
       at = output->find(kDelay, at + 1)) {
    std::string_view number = output->substr(at + kDelay.size());
    const std::size_t blank = number.find(' ');
    if (blank == std::string_view::npos || !number.substr(blank).starts_with(" seconds")) continue;
    number = number.substr(0, blank);
    const bool negative = number.starts_with('-');
    if (negative) number.remove_prefix(1);
    const std::size_t point = number.find('.');
    const bool whole_ok = isDigits(number.substr(0, point));
    const bool fraction_ok = point == std::string_view::npos || isDigits(number.substr(point + 1));
    if (whole_ok && fraction_ok) return negative ? CheckStatus::disabled : CheckStatus::enabled;
  }
  return CheckStatus::unknown;
}

CheckStatus systemIntegrityProtection(std::optional<std::string_view> output) noexcept {
  if (!output) return CheckStatus::unknown;
  // Only the first line is the verdict: a custom configuration lists its
  // protections below it, some "enabled" even when others are off, and such
  // a configuration means protection is not fully in force.
  const std::string_view first_line = output->substr(0, output->find('\n'));
  if (contains(first_line, "disabled") || contains(first_line, "Custom Configuration")) {
    return CheckStatus::disabled;
  }
  if (first_line == "System Integrity Protection status: enabled.") return CheckStatus::enabled;
  return CheckStatus::unknown;
}

CheckStatus gatekeeper(std::optional<std::string_view> output) noexcept {
  static constexpr Phrase kPhrases[] = {{"assessments enabled", CheckStatus::enabled},
                                        {"assessments disabled", CheckStatus::disabled}};
  return firstPhrase(output, kPhrases);
}

CheckStatus mdmEnrollment(std::optional<std::string_view> output) noexcept {
  static constexpr Phrase kPhrases[] = {{"MDM enrollment: Yes", CheckStatus::enabled},
                                        {"Enrolled via DEP: Yes", CheckStatus::enabled},
                                        {"MDM enrollment: No", CheckStatus::disabled}};
  return firstPhrase(output, kPhrases);
}

CheckStatus vpn(std::optional<std::string_view> output) noexcept {
  static constexpr Phrase kPhrases[] = {{"(Connected)", CheckStatus::enabled},
                                        {"(Disconnected)", CheckStatus::disabled}};
  return firstPhrase(output, kPhrases, CheckStatus::not_applicable);
}

CheckStatus autoLoginDisabled(std::optional<std::string_view> output) noexcept {
  return output ? CheckStatus::disabled : CheckStatus::enabled;
}

CheckStatus remoteLogin(std::optional<std::string_view> job_list) noexcept {
  static constexpr Phrase kPhrases[] = {{"com.openssh.sshd", CheckStatus::enabled}};
  return firstPhrase(job_list, kPhrases, CheckStatus::disabled);
}

CheckStatus remoteLoginFromSystemJob(bool job_printed) noexcept {
  return job_printed ? CheckStatus::enabled : CheckStatus::disabled;
}

}  // namespace tavrine::checks
