#pragma once

// The parts of the process helpers that differ between the operating
// systems; each has its own process_<os>.cpp.

#include "tavrine/base/unique_fd.h"

namespace test_support {

// A TCP socket that no child process inherits.
UniqueFd openTcpSocket();

// A connection accepted on `listen_fd` that no child process inherits and
// whose writes never raise SIGPIPE; -1 (errno set) when there is none.
int acceptConnection(int listen_fd);

// Writes to a socket from openTcpSocket or acceptConnection; -1 with EPIPE,
// not SIGPIPE, once the peer is gone.
long sendWithoutSignal(int fd, const char* data, size_t size);

}  // namespace test_support
