#pragma once

#include "tavrine/base/error.h"

#include <string>
#include <string_view>

// The code signature a staged build must carry before it replaces the
// agent: when this build names an Apple team (TAVRINE_TEAM_ID), a valid
// signature by that team's Developer ID, checked by the Security framework.
// Nothing is checked elsewhere, or without a team.
namespace code_signature {

// Success when `team` is empty; otherwise CodeSignatureInvalid for a build
// at `path` that is unsigned, signed by anyone but `team`, or altered since
// it was signed.
[[nodiscard]] Result<void> checkTeam(const std::string& path, std::string_view team);

}  // namespace code_signature
