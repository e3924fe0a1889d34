#include "tavrine/update/code_signature.h"

namespace code_signature {

// Code signatures are a macOS matter; a Linux build is the test stand-in.
Result<void> checkTeam(const std::string&, std::string_view) { return {}; }

}  // namespace code_signature
