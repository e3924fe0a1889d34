#include "tavrine/agent/device_key_os.h"

namespace device_key_os {

Result<es256::PrivateKey> generate() noexcept { return es256::generate(); }

Result<std::string> sign(const es256::PrivateKey& key, std::string_view message) noexcept {
  return es256::sign(key, message);
}

}  // namespace device_key_os
