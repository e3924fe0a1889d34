// The update manifest's signature file: any bytes give a parsed file or an
// error (never an exception or a fault); what is accepted is a compact JWS
// with a detached payload whose parts come from the text; the verifier
// refuses whatever it has no key for, and the DER and Base64 codecs under it
// read any bytes within their bounds and round-trip what they accept.
#include "tavrine/base/crypto.h"
#include "tavrine/base/es256.h"
#include "tavrine/update/update_signature.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto file = update_signature::parseSignatureFile(text);
  if (file) {
    require(size <= update_signature::kSignatureFileLimit);
    require(text.starts_with(file->encoded_header + ".."));
    require(file->signature.size() == es256::kSignatureSize);
    // The signature part is the signature, encoded the one way there is.
    const std::string encoded = crypto::base64UrlNoPad(
        reinterpret_cast<const uint8_t*>(file->signature.data()), file->signature.size());
    require(text.find(".." + encoded) == file->encoded_header.size());
  } else {
    const Error error = file.error();
    require(error == Error::SignatureInvalid || error == Error::StreamTooLong ||
            error == Error::OutOfMemory);
    require((error == Error::StreamTooLong) == (size > update_signature::kSignatureFileLimit));
  }
  // With no key trusted nothing verifies.
  require(!update_signature::verifyManifest("{}", text, {}));

  if (const auto raw = es256::rawFromDer(text)) {
    require(raw->size() == es256::kSignatureSize);
    require(es256::rawFromDer(es256::derFromRaw(*raw).value()) == raw);
  }
  for (const bool url_safe : {true, false}) {
    if (const auto bytes = es256::base64Decode(text, url_safe); bytes && url_safe) {
      require(crypto::base64UrlNoPad(reinterpret_cast<const uint8_t*>(bytes->data()),
                                     bytes->size()) == text);
    }
  }
  return 0;
}
