#include "tavrine/update/updater.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <charconv>
#include <new>

namespace updater {
namespace {

using nlohmann::json;

// Reads one part as an unsigned 32-bit decimal number; anything else is 0.
uint32_t readNumber(std::string_view part) noexcept {
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
  if (part.empty() || ec != std::errc() || end != part.data() + part.size()) return 0;
  return value;
}

// The next "."-separated part of `rest`, which loses it and its dot.
std::optional<std::string_view> nextPart(std::optional<std::string_view>& rest) noexcept {
  if (!rest) return std::nullopt;
  const std::string_view text = *rest;
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos) {
    rest.reset();
    return text;
  }
  rest = text.substr(dot + 1);
  return text.substr(0, dot);
}

// The member `key` of `object`, or nullptr when it is absent.
const json* member(const json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

bool isHexDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The error for text the reader refused: running out of text is told apart
// from text that is wrong, since a truncated download is the common case.
Error readerError(const json::parse_error& error) {
  const std::string_view what = error.what();
  return what.find("unexpected end of input") != std::string_view::npos
             ? Error::UnexpectedEndOfInput
             : Error::SyntaxError;
}

// Thrown by the reader's callback to stop at the first level too deep,
// before the tree below it is built.
struct TooDeep {};

Result<UpdateManifest> readManifest(std::string_view text, std::string_view base_url) {
  if (text.size() > kManifestLimit) return fail(Error::StreamTooLong);
  json document;
  try {
    document =
        json::parse(text.begin(), text.end(), [](int depth, json::parse_event_t event, json&) {
          if ((event == json::parse_event_t::object_start ||
               event == json::parse_event_t::array_start) &&
              depth >= kManifestDepthLimit) {
            throw TooDeep{};
          }
          return true;
        });
  } catch (const json::parse_error& error) {
    return fail(readerError(error));
  } catch (const TooDeep&) {
    return fail(Error::NestingTooDeep);
  }
  if (!document.is_object()) return fail(Error::InvalidResponse);
  const json* platforms = member(document, "platforms");
  if (platforms == nullptr) return fail(Error::MissingField);
  if (!platforms->is_object()) return fail(Error::InvalidResponse);
  const json* macos = member(*platforms, "macos");
  if (macos == nullptr) return fail(Error::MissingField);
  if (!macos->is_object()) return fail(Error::InvalidResponse);
  const json* version = member(*macos, "version");
  if (version == nullptr) return fail(Error::MissingField);
  if (!version->is_string()) return fail(Error::InvalidResponse);
  if (const json* notes = member(*macos, "releaseNotes"); notes != nullptr && !notes->is_string()) {
    return fail(Error::InvalidResponse);
  }

  UpdateManifest manifest;
  if (const json* expires = member(document, "expires"); expires != nullptr) {
    if (!expires->is_string()) return fail(Error::InvalidResponse);
    manifest.expires = expires->get<std::string>();
  }
  manifest.latest_version = version->get<std::string>();
  manifest.update_available = parseVersion(manifest.latest_version) > parseVersion(kAgentVersion);

  const json* artifacts = member(*macos, "artifacts");
  if (artifacts == nullptr) return manifest;
  if (!artifacts->is_object()) return fail(Error::InvalidResponse);
  // The first architecture present is the one, whether or not it has a URL:
  // a universal build stands for all of them.
  const json* chosen = nullptr;
  for (const char* architecture : {"universal", "arm64", "x86_64"}) {
    chosen = member(*artifacts, architecture);
    if (chosen != nullptr) break;
  }
  if (chosen == nullptr) return manifest;
  if (!chosen->is_object()) return fail(Error::InvalidResponse);

  if (const json* url = member(*chosen, "url"); url != nullptr) {
    if (!url->is_string()) return fail(Error::InvalidResponse);
    const auto& location = url->get_ref<const std::string&>();
    if (location.starts_with('/')) {
      manifest.download_url = fmt::format("{}{}", base_url, location);
    } else {
      manifest.download_url = location;
    }
  }
  if (const json* sha256 = member(*chosen, "sha256"); sha256 != nullptr) {
    if (!sha256->is_string() || !isHexDigest(sha256->get_ref<const std::string&>())) {
      return fail(Error::InvalidResponse);
    }
    std::string digest = sha256->get<std::string>();
    for (char& c : digest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    manifest.sha256 = std::move(digest);
  }
  if (const json* size = member(*chosen, "size"); size != nullptr) {
    if (!size->is_number_unsigned()) return fail(Error::InvalidResponse);
    manifest.size = size->get<uint64_t>();
  }
  return manifest;
}

}  // namespace

Version parseVersion(std::string_view text) noexcept {
  std::optional<std::string_view> rest = text;
  Version version;
  if (const auto part = nextPart(rest)) version.major = readNumber(*part);
  if (const auto part = nextPart(rest)) version.minor = readNumber(*part);
  if (const auto part = nextPart(rest))
    version.patch = readNumber(part->substr(0, part->find('-')));
  return version;
}

Result<UpdateManifest> parseManifest(std::string_view text, std::string_view base_url) noexcept {
  // Everything the reader can throw is caught here; wrong types are checked
  // above before any access that could throw, so the last handler is only a
  // guard against a reader that changes its mind.
  try {
    return readManifest(text, base_url);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  } catch (...) {
    return fail(Error::InvalidResponse);
  }
}

std::string offerMessage(std::string_view latest_version, std::string_view current_version) {
  // The offer is made in a buffer of 256 bytes.
  constexpr size_t kOfferLimit = 256;
  std::string message = fmt::format("Version {} is available.\nYou are running version {}.",
                                    latest_version, current_version);
  if (message.size() > kOfferLimit) return "A new version is available!";
  return message;
}

}  // namespace updater
