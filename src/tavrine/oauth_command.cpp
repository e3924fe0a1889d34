#include "tavrine/oauth_command.h"

namespace oauth {

// Browser sign-in is not part of this build yet; say so instead of pretending.
Result<void> loginCommand() { return fail(Error::NotImplemented); }

}  // namespace oauth
