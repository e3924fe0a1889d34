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

PendingUpdates softwareUpdates(std::optional<std::string_view> output) {
  if (!output) return {};
  uint32_t count = 0;
  std::string_view rest = *output;
  while (true) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = trimBlanks(rest.substr(0, end));
    if (line.size() >= 8 && line.starts_with("* Label:")) ++count;
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
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

CheckStatus secureBoot(std::optional<std::string_view> output) noexcept {
  // Only full security is recognised; a weaker policy is not proof of "off".
  static constexpr Phrase kPhrases[] = {{"%02", CheckStatus::enabled}};
  return firstPhrase(output, kPhrases);
}

CheckStatus screenLockPassword(std::optional<std::string_view> output) noexcept {
  if (output == "1") return CheckStatus::enabled;
  if (output == "0") return CheckStatus::disabled;
  return CheckStatus::unknown;
}

CheckStatus systemIntegrityProtection(std::optional<std::string_view> output) noexcept {
  if (!output) return CheckStatus::unknown;
  // A custom configuration lists its sub-items below the first line, some of
  // them "enabled" even when others are off: only the first line counts, and
  // a custom configuration is not a verdict.
  const std::string_view first_line = output->substr(0, output->find('\n'));
  if (contains(first_line, "Custom Configuration")) return CheckStatus::unknown;
  static constexpr Phrase kPhrases[] = {{"enabled", CheckStatus::enabled},
                                        {"disabled", CheckStatus::disabled}};
  return firstPhrase(first_line, kPhrases);
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
