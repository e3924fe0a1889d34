#pragma once

#include <span>
#include <string>
#include <string_view>

// Answers of the backend are shown on the console and in the agent log for
// diagnosis; the credentials in them must never be.
namespace redaction {

// What stands in the shown text where a credential was.
inline constexpr std::string_view kMark = "[redacted]";

// Whether a member of that name holds a credential: its name contains
// "token", "secret" or "password", in any mix of upper and lower case.
[[nodiscard]] bool isSecretKey(std::string_view key) noexcept;

// `body` byte for byte as it came, except that kMark replaces
//  - the text between the quotes of every string value of a member whose
//    name isSecretKey, at any depth, and of every string anywhere inside the
//    array or object value of such a member, as far as `body` reads as JSON
//    from its start (a truncated answer is still searched up to its end);
//    where `body` stops being JSON while such a value is due, everything from
//    the next double quote to the end;
//  - every occurrence, anywhere, of each non-empty text in `known_secrets`
//    (the values the caller took from `body`): these are hidden even where
//    `body` is not JSON at all.
// Adjacent or overlapping hidden runs give one kMark. Throws std::bad_alloc
// like any string operation.
[[nodiscard]] std::string redactSecrets(std::string_view body,
                                        std::span<const std::string_view> known_secrets = {});

}  // namespace redaction
