#include "agent/run_agent.h"

namespace agent {

// The agent itself is not part of this build yet; say so instead of pretending.
Result<void> runAgent() { return fail(Error::NotImplemented); }

}  // namespace agent
