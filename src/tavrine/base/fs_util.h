#pragma once

#include "tavrine/base/error.h"
#include "tavrine/base/unique_fd.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

// Small file-system helpers shared by the log and the credential store.
namespace fs_util {

// Creates `path` and every missing parent with `mode`; an existing directory
// is success. Fails with the errno-derived name of the first failing step.
[[nodiscard]] Result<void> makeDirectories(const std::string& path, mode_t mode);

// Opens `path` with `flags` (O_CLOEXEC is added; `mode` applies with
// O_CREAT) when it names a regular file, directly or through symbolic links.
// Never waits: a directory is IsDir, a FIFO, device or socket NotRegularFile
// (a FIFO opened for writing without a reader fails at once with NoDevice);
// nothing stays open then.
[[nodiscard]] Result<UniqueFd> openRegularFile(const std::string& path, int flags, mode_t mode = 0);

// The same for `name` in the folder open at `folder` (openat). With `info`,
// the file's status as it was checked is kept there.
[[nodiscard]] Result<UniqueFd> openRegularFileAt(int folder, const char* name, int flags,
                                                 mode_t mode = 0, struct stat* info = nullptr);

// Reads a whole regular file (see openRegularFile) of at most `limit` bytes.
// A longer file is FileTooBig.
[[nodiscard]] Result<std::string> readWholeFile(const std::string& path, size_t limit);

// Replaces the file at `path` in `directory` with `data`: written to a new
// temporary file (mode 0600) beside it, flushed to disk, then renamed over
// it, so a failure never leaves half a file. A link at `path` is replaced
// itself, never followed. The temporary file never outlives a failure.
[[nodiscard]] Result<void> replaceFile(const std::string& directory, const std::string& path,
                                       std::string_view data);

// Writes all of `data` to `fd`, retrying short writes and EINTR.
[[nodiscard]] Result<void> writeAll(int fd, std::string_view data);

}  // namespace fs_util
