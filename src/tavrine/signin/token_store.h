#pragma once

#include "tavrine/base/error.h"

#include <optional>
#include <string>
#include <string_view>

// The sign-in state kept between runs. Absent and empty are different: a
// present empty access_token still means signed in.
struct StoredTokens {
  std::optional<std::string> access_token;
  std::optional<std::string> refresh_token;
  std::optional<std::string> device_token;
  std::optional<std::string> user_email;

  friend bool operator==(const StoredTokens&, const StoredTokens&) = default;
};

// The credentials file, $HOME/Library/Application Support/Tavrine/tokens.json.
// It is private to the user (directory 0700, file 0600) and replaced
// atomically, so a failed save never leaves half a file.
namespace token_store {

// The file's keys, in the order they are written, and the fields they hold.
struct Field {
  std::string_view key;
  std::optional<std::string> StoredTokens::*member;
};
inline constexpr Field kFields[] = {
    {"access_token", &StoredTokens::access_token},
    {"refresh_token", &StoredTokens::refresh_token},
    {"device_token", &StoredTokens::device_token},
    {"user_email", &StoredTokens::user_email},
};

// Largest credentials file that is read back.
inline constexpr size_t kMaxFileSize = 1024 * 1024;
// Paths of this many bytes or more are refused.
inline constexpr size_t kMaxPathLength = 1024;

// HOME followed by "/Library/Application Support/Tavrine". NoHomeDir without
// HOME; InvalidHomeDir for a relative HOME.
[[nodiscard]] Result<std::string> getStorageDir();

// The storage directory followed by "/tokens.json".
[[nodiscard]] Result<std::string> getTokenFilePath();

// Reads the file. A missing file is a record with every field absent and
// prints nothing; otherwise prints "Tokens loaded from {path}". Anything but a
// regular file (directly or behind links) is never waited on or read: it
// fails (IsDir, NotRegularFile) after a one-line warning.
[[nodiscard]] Result<StoredTokens> load();

// Writes the whole record, replacing the file only once every byte is on
// disk; prints "Tokens saved to {path}" after success. A record whose file
// would be larger than kMaxFileSize, which load() refuses, is FileTooBig and
// the file stays as it was.
[[nodiscard]] Result<void> save(const StoredTokens& tokens);

// Deletes the file (a missing file counts as deleted) and prints
// "Tokens cleared". A symbolic link is removed itself; its target stays.
[[nodiscard]] Result<void> clear();

// Whether the stored record holds an access token. Never fails: any failure
// answers false.
[[nodiscard]] bool isLoggedIn();

// The exact text save() writes for a record.
[[nodiscard]] std::string formatFile(const StoredTokens& tokens);

// Finds `"key": "` in `text` and returns the value up to the first double
// quote that is not escaped, with \" and \\ undone. Absent when the pattern or
// the closing quote is missing.
[[nodiscard]] Result<std::optional<std::string>> extractAndDupe(std::string_view text,
                                                                std::string_view key);

}  // namespace token_store
