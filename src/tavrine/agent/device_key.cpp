#include "tavrine/agent/device_key.h"

#include "tavrine/base/crypto.h"
#include "tavrine/base/fs_util.h"
#include "tavrine/base/jws.h"
#include "tavrine/base/logger.h"
#include "tavrine/signin/token_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <new>

namespace device_key {
namespace {

constexpr std::string_view kFileName = "/device-key.json";
constexpr std::string_view kSetAsideSuffix = ".bad";

// Standard Base64 with padding, as the file keeps the key.
std::string base64(std::string_view bytes) {
  std::string text = jws::base64Url(bytes);
  for (char& c : text) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  while (text.size() % 4 != 0) text += '=';
  return text;
}

// The file's text, read without following a link, waiting on a FIFO or
// trusting another user's file.
Result<std::optional<std::string>> readKeyFile(const std::string& path) {
  auto fd = fs_util::openRegularFile(path, O_RDONLY | O_NOFOLLOW);
  if (!fd) {
    if (fd.error() == Error::FileNotFound) return std::optional<std::string>();
    return fail(fd.error());
  }
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0) return fail(errorFromErrno(errno));
  // Whoever else could write the key could sign as this Mac.
  if (info.st_uid != ::geteuid()) return fail(Error::AccessDenied);
  if (info.st_size > static_cast<off_t>(kMaxFileSize)) return fail(Error::FileTooBig);
  std::string text(kMaxFileSize + 1, '\0');
  size_t length = 0;
  while (length < text.size()) {
    const ssize_t got = ::read(fd->get(), text.data() + length, text.size() - length);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(errorFromErrno(errno));
    }
    if (got == 0) break;
    length += static_cast<size_t>(got);
  }
  if (length > kMaxFileSize) return fail(Error::FileTooBig);  // it grew meanwhile
  text.resize(length);
  return std::optional<std::string>(std::move(text));
}

// What stands at the key file's path, for the refusal line.
std::string_view refusalReason(Error error) {
  switch (error) {
    case Error::SymLinkLoop:
      return "is a symbolic link";
    case Error::IsDir:
      return "is a directory";
    case Error::NotRegularFile:
      return "is not a regular file";
    case Error::AccessDenied:
      return "belongs to another user or cannot be read";
    default:
      return "cannot be read";
  }
}

// A file of this user's whose content is unusable; kept aside for a look.
bool isCorrupt(Error error) { return error == Error::InvalidKey || error == Error::FileTooBig; }

// Saves a key made to replace an unusable file, and the one warning line.
void saveReplacement(const DeviceKey& key, const std::string& path, std::string_view problem) {
  const auto saved = save(key);
  if (saved) {
    logger::print("warning: Device key file {} {}; a new key was made\n", path, problem);
  } else {
    logger::print(
        "warning: Device key file {} {}; a new key was made for this run only (error.{})\n", path,
        problem, errorName(saved.error()));
  }
}

}  // namespace

Result<std::string> getKeyFilePath() {
  auto dir = token_store::getStorageDir();
  if (!dir) return dir;
  try {
    std::string path = *dir + std::string(kFileName);
    if (path.size() + kSetAsideSuffix.size() >= token_store::kMaxPathLength) {
      return fail(Error::NameTooLong);
    }
    return path;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<DeviceKey> fromKey(es256::PrivateKey key) {
  try {
    auto signing_key = es256::SigningKey::decode(key);
    if (!signing_key) return fail(signing_key.error());
    DeviceKey device;
    device.kid = es256::thumbprint(key.point);
    device.encoded_header = jws::encodedHeader(device.kid);
    device.key = std::move(key);
    device.signing_key = std::move(*signing_key);
    return device;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

std::string publicKeyBase64(const DeviceKey& key) {
  return base64(es256::publicKeyDer(key.key.point));
}

std::string formatFile(const DeviceKey& key) {
  // Base64, the API base (an origin and a path) and the fixed words need no
  // escaping.
  std::string text = "{\n  \"algorithm\": \"ES256\",\n  \"key\": \"";
  text += base64(key.key.point + key.key.scalar);
  text += '"';
  if (key.pinned_by) {
    text += ",\n  \"pinned_by\": \"";
    text += *key.pinned_by;
    text += '"';
  }
  text += "\n}\n";
  return text;
}

Result<DeviceKey> parseFile(std::string_view text) {
  try {
    const nlohmann::json file = nlohmann::json::parse(text, nullptr, false);
    if (!file.is_object()) return fail(Error::InvalidKey);
    const auto algorithm = file.find("algorithm");
    const auto encoded = file.find("key");
    if (algorithm == file.end() || *algorithm != "ES256" || encoded == file.end() ||
        !encoded->is_string()) {
      return fail(Error::InvalidKey);
    }
    const auto bytes = es256::base64Decode(encoded->get<std::string>(), false);
    if (!bytes || bytes->size() != es256::kPointSize + es256::kScalarSize) {
      return fail(Error::InvalidKey);
    }
    auto device = fromKey({bytes->substr(0, es256::kPointSize), bytes->substr(es256::kPointSize)});
    if (!device) return fail(Error::InvalidKey);
    // A point off the curve, or a scalar that is not its own, shows here
    // rather than in every report the backend would refuse.
    const auto probe = device->signing_key.sign("device key probe");
    if (!probe || !es256::verify(device->key.point, "device key probe", *probe)) {
      return fail(Error::InvalidKey);
    }
    const auto pinned = file.find("pinned_by");
    if (pinned != file.end() && pinned->is_string()) device->pinned_by = pinned->get<std::string>();
    return device;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  } catch (const nlohmann::json::exception&) {
    return fail(Error::InvalidKey);
  }
}

Result<std::optional<DeviceKey>> read() {
  auto path = getKeyFilePath();
  if (!path) return fail(path.error());
  auto text = readKeyFile(*path);
  if (!text) return fail(text.error());
  if (!*text) return std::optional<DeviceKey>();
  auto key = parseFile(**text);
  if (!key) return fail(key.error());
  return std::optional<DeviceKey>(std::move(*key));
}

Result<void> save(const DeviceKey& key) {
  try {
    auto path = getKeyFilePath();
    if (!path) return fail(path.error());
    const std::string directory = path->substr(0, path->size() - kFileName.size());
    if (auto made = fs_util::makeDirectories(directory, 0700); !made) return made;
    return fs_util::replaceFile(directory, *path, formatFile(key));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<DeviceKey> loadOrCreate() {
  try {
    auto path = getKeyFilePath();
    if (!path) return fail(path.error());
    auto existing = read();
    if (existing && *existing) return std::move(**existing);

    auto made = es256::generate();
    if (!made) return fail(made.error());
    auto created = fromKey(std::move(*made));
    if (!created) return fail(created.error());
    DeviceKey key = std::move(*created);
    if (existing) {  // no key file yet
      if (auto saved = save(key); !saved) {
        logger::print(
            "warning: Device key could not be saved to {}: error.{}; it serves this run only\n",
            *path, errorName(saved.error()));
      } else {
        logger::print("Device key created: {}\n", key.kid);
      }
      return key;
    }
    if (isCorrupt(existing.error())) {
      const std::string aside = *path + std::string(kSetAsideSuffix);
      const bool set_aside = ::rename(path->c_str(), aside.c_str()) == 0;
      saveReplacement(key, *path,
                      fmt::format("is unusable (error.{}){}", errorName(existing.error()),
                                  set_aside ? ", set aside as device-key.json.bad" : ""));
    } else {
      saveReplacement(key, *path,
                      fmt::format("{}, refused (error.{})", refusalReason(existing.error()),
                                  errorName(existing.error())));
    }
    return key;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> signDetached(const DeviceKey& key, std::string_view payload) {
  return jws::signDetached(key.encoded_header, payload, key.signing_key);
}

}  // namespace device_key
