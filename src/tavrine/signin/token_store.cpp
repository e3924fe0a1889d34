#include "tavrine/signin/token_store.h"

#include "tavrine/base/console.h"
#include "tavrine/base/environment.h"
#include "tavrine/base/fs_util.h"
#include "tavrine/base/logger.h"
#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

namespace token_store {
namespace {

constexpr std::string_view kStorageSuffix = "/Library/Application Support/Tavrine";
constexpr std::string_view kFileSuffix = "/tokens.json";


// Quotes and backslashes are escaped so that every value reads back intact.
void appendEscaped(std::string& out, std::string_view value) {
  for (const char byte : value) {
    if (byte == '"' || byte == '\\') out += '\\';
    out += byte;
  }
}

Result<std::string> checkedTokenFilePath() {
  auto path = getTokenFilePath();
  if (!path) return path;
  if (path->size() >= kMaxPathLength) return fail(Error::NameTooLong);
  return path;
}

}  // namespace

Result<std::string> getStorageDir() {
  const auto home = environment::find("HOME");
  if (!home) return fail(Error::NoHomeDir);
  if (!environment::isUsableHome(*home)) return fail(Error::InvalidHomeDir);
  try {
    std::string dir(*home);
    dir += kStorageSuffix;
    return dir;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> getTokenFilePath() {
  auto dir = getStorageDir();
  if (!dir) return dir;
  try {
    return *dir + std::string(kFileSuffix);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::optional<std::string>> extractAndDupe(std::string_view text, std::string_view key) {
  try {
    std::string pattern;
    pattern.reserve(key.size() + 5);
    pattern += '"';
    pattern += key;
    pattern += "\": \"";
    const size_t found = text.find(pattern);
    if (found == std::string_view::npos) return std::optional<std::string>();
    size_t position = found + pattern.size();
    if (position >= text.size()) return std::optional<std::string>();
    std::string value;
    while (position < text.size()) {
      const char byte = text[position];
      if (byte == '"') return std::optional<std::string>(std::move(value));
      if (byte == '\\' && position + 1 < text.size() &&
          (text[position + 1] == '"' || text[position + 1] == '\\')) {
        value += text[position + 1];
        position += 2;
        continue;
      }
      value += byte;
      ++position;
    }
    return std::optional<std::string>();  // no closing quote
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

std::string formatFile(const StoredTokens& tokens) {
  std::string text = "{\n";
  bool first = true;
  for (const Field& field : kFields) {
    const auto& value = tokens.*field.member;
    if (!value) continue;
    if (!first) text += ",\n";
    first = false;
    text += "  \"";
    text += field.key;
    text += "\": \"";
    appendEscaped(text, *value);
    text += '"';
  }
  if (!first) text += '\n';
  text += "}\n";
  return text;
}

Result<StoredTokens> load() {
  auto path = checkedTokenFilePath();
  if (!path) return fail(path.error());
  auto text = fs_util::readWholeFile(*path, kMaxFileSize);
  if (!text) {
    if (text.error() == Error::FileNotFound) return StoredTokens{};
    // Something other than a file where the credentials belong is worth a
    // word: the user reads as signed out until it is removed.
    if (text.error() == Error::IsDir || text.error() == Error::NotRegularFile) {
      console::warning("Credentials file {} is not a regular file, ignored: error.{}", *path,
                       errorName(text.error()));
    }
    return fail(text.error());
  }
  StoredTokens tokens;
  for (const Field& field : kFields) {
    auto value = extractAndDupe(*text, field.key);
    if (!value) return fail(value.error());
    tokens.*field.member = std::move(*value);
  }
  logger::print("Tokens loaded from {}\n", *path);
  return tokens;
}

Result<void> save(const StoredTokens& tokens) {
  try {
    auto path = checkedTokenFilePath();
    if (!path) return fail(path.error());
    // Escaping can double a value's size: a file that load() would refuse
    // would read as signed out right after a successful sign-in.
    const std::string text = formatFile(tokens);
    if (text.size() > kMaxFileSize) return fail(Error::FileTooBig);
    const std::string directory = path->substr(0, path->size() - kFileSuffix.size());
    if (auto made = fs_util::makeDirectories(directory, 0700); !made) return made;
    if (auto written = fs_util::replaceFile(directory, *path, text); !written) {
      return written;
    }
    logger::print("Tokens saved to {}\n", *path);
    return {};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<void> clear() {
  auto path = checkedTokenFilePath();
  if (!path) return fail(path.error());
  if (::unlink(path->c_str()) != 0 && errno != ENOENT) return fail(errorFromErrno(errno));
  logger::print("Tokens cleared\n");
  return {};
}

bool isLoggedIn() {
  const auto tokens = load();
  return tokens && tokens->access_token.has_value();
}

}  // namespace token_store
