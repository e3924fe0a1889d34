#pragma once

#include "tavrine/base/error.h"
#include "tavrine/base/es256.h"

#include <optional>
#include <string>
#include <string_view>

// The device key: a P-256 key pair made on this Mac and kept in
// $HOME/Library/Application Support/Tavrine/device-key.json (directory 0700,
// file 0600, replaced through a temporary file and a rename). Each report
// carries its signature beside the shared HMAC one, so a backend that pinned
// the key at enrolment can tell this Mac's reports from anyone else's.
//
// The file holds the algorithm, the key in X9.63 form (the 65-byte public
// point, then the 32-byte private scalar; standard Base64), and the API base
// of the backend that confirmed the key, once one has:
//   {
//     "algorithm": "ES256",
//     "key": "BKx...",
//     "pinned_by": "https://api.tavrine.example/api/v1/agent"
//   }
namespace device_key {

// A larger key file is refused: a real one takes about 200 bytes.
inline constexpr size_t kMaxFileSize = 4096;

// Made through the platform's own library (es256: the Security framework on
// macOS, OpenSSL on Linux). A key held in the Secure Enclave would plug in at
// signing_key, with no scalar in the file.
struct DeviceKey {
  es256::PrivateKey key;
  // `key` decoded once for the process, so that each report only signs.
  es256::SigningKey signing_key;
  std::string kid;             // the RFC 7638 thumbprint of its public half
  std::string encoded_header;  // the JWS header of its signatures, made once
  // The API base whose backend confirmed (pinned) the key; absent until one
  // has.
  std::optional<std::string> pinned_by;
};

// The storage directory followed by "/device-key.json"; NoHomeDir,
// InvalidHomeDir, NameTooLong.
[[nodiscard]] Result<std::string> getKeyFilePath();

// A DeviceKey for `key`, its kid, header and signing key filled in. Errors of
// es256::SigningKey::decode.
[[nodiscard]] Result<DeviceKey> fromKey(es256::PrivateKey key);

// The standard Base64 of the public key's SubjectPublicKeyInfo DER.
[[nodiscard]] std::string publicKeyBase64(const DeviceKey& key);

// The exact text save() writes.
[[nodiscard]] std::string formatFile(const DeviceKey& key);

// The key a file's text holds: InvalidKey for anything but a JSON object with
// "algorithm" ES256 and a "key" whose 97 bytes are a P-256 point and the
// scalar that belongs to it.
[[nodiscard]] Result<DeviceKey> parseFile(std::string_view text);

// Reads the key file without changing anything (for `tavrine status`): no
// key when there is no file; SymLinkLoop for a link, IsDir, NotRegularFile,
// AccessDenied for another user's file, FileTooBig, InvalidKey.
[[nodiscard]] Result<std::optional<DeviceKey>> read();

// Writes the key file, replacing it only once every byte is on disk.
[[nodiscard]] Result<void> save(const DeviceKey& key);

// The key this run signs with: the one in the key file, or else a new one,
// saved. A key file that cannot be used is never read further and ends in one
// "warning: " line, printed and logged: a link, a FIFO, a directory or another
// user's file is refused and left alone; a corrupt one, or one over
// kMaxFileSize, is set aside as device-key.json.bad. When the new key cannot
// be saved it serves this run only. Fails only when no key can be made.
[[nodiscard]] Result<DeviceKey> loadOrCreate();

// The X-Device-Signature value for `payload`: a compact JWS with a detached
// payload, header {"alg":"ES256","kid":KID}.
[[nodiscard]] Result<std::string> signDetached(const DeviceKey& key, std::string_view payload);

}  // namespace device_key
