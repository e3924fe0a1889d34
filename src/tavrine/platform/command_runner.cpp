#include "tavrine/platform/command_runner.h"

#include "tavrine/base/environment.h"
#include "tavrine/base/immortal.h"
#include "tavrine/platform/child_process.h"
#include "tavrine/platform/stop_request.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

namespace platform::macos {

namespace {

// What a command printed and how it ended.
struct Captured {
  std::string output;
  ExitStatus status;
};

// Reads the child's output to end of file, keeping at most kOutputLimit
// bytes. Ends early, with what it has, when the child is stopped: a stopped
// child neither writes nor closes the pipe. Gives up with Canceled when the
// process is asked to stop.
Result<std::string> readOutput(const ChildProcess& child, Deadline deadline) {
  std::string output;
  char chunk[16384];
  pollfd entries[2] = {{child.output(), POLLIN, 0}, {stopWakeFd(), POLLIN, 0}};
  pollfd& entry = entries[0];
  // A tool that prints nothing for a while is looked at less and less often.
  StopCheckPace pace;
  for (;;) {
    if (stopRequested()) return fail(Error::Canceled);
    const int ready = ::poll(entries, 2, pace.timeoutMs(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail(errorFromErrno(errno));
    }
    if (entry.revents == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return fail(Error::Timeout);
      if (ready == 0) pace.lengthen();
      if (child.stopped()) return output;
      continue;
    }
    // Hung up with nothing left to read: the end, without a read to say so.
    if ((entry.revents & (POLLIN | POLLHUP)) == POLLHUP) return output;
    // One byte beyond the limit is enough to know it was exceeded.
    const std::size_t room = kOutputLimit + 1 - output.size();
    const ssize_t got = ::read(entry.fd, chunk, std::min(room, sizeof chunk));
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return fail(errorFromErrno(errno));
    }
    if (got == 0) return output;
    output.append(chunk, static_cast<std::size_t>(got));
    if (output.size() > kOutputLimit) return fail(Error::StreamTooLong);
  }
}

// Where each program was found, for the search list it was found along. The
// collector runs the same tools every cycle, and a lookup costs a stat() and
// an access() for each directory tried. A name that is not found is looked up
// again the next time, and the whole record is dropped when PATH changes.
// Each thread keeps a copy of what it took from the record, read without the
// lock for as long as the environment's PATH entry and the record's
// generation (moved on by every change but an addition) are the ones the
// copy was taken at.
class ProgramPaths {
 public:
  // Shared, so that a path costs no copy and stays valid whatever another
  // thread does to the record meanwhile.
  using Path = std::shared_ptr<const std::string>;

  // The path `name` runs from, and whether it came from the record.
  Result<std::pair<Path, bool>> find(std::string_view name) {
    ThreadCopy& copy = threadCopy();
    char* const* block = environment::processBlock();
    if (block != nullptr && block == copy.block && block[copy.slot] == copy.entry &&
        copy.generation == generation_.load(std::memory_order_acquire)) {
      for (const auto& [known, path] : copy.found) {
        if (known == name) return std::pair{path, true};
      }
    }
    std::string_view search_path;
    Snapshot seen;
    {
      std::lock_guard guard(lock_);
      search_path = searchPath();
      if (search_path != search_path_) {
        found_.clear();
        search_path_.assign(search_path);
        generation_.fetch_add(1, std::memory_order_release);
      } else {
        for (const auto& [known, path] : found_) {
          if (known == name) {
            copy.keep(snapshot(), name, path);
            return std::pair{path, true};
          }
        }
      }
      seen = snapshot();
    }
    auto found = findProgram(name, search_path);
    if (!found) return fail(found.error());
    auto path = std::make_shared<const std::string>(std::move(*found));
    std::lock_guard guard(lock_);
    // Only when PATH is still what the lookup went along.
    if (generation_.load(std::memory_order_relaxed) == seen.generation) {
      found_.emplace_back(std::string(name), path);
      copy.keep(seen, name, path);
    }
    return std::pair{std::move(path), false};
  }

  // Drops what is recorded for `name`: the program it named failed to start.
  void forget(std::string_view name) {
    std::lock_guard guard(lock_);
    std::erase_if(found_, [&](const auto& entry) { return entry.first == name; });
    generation_.fetch_add(1, std::memory_order_release);
  }

 private:
  // The environment and the record as a copy was taken from them.
  struct Snapshot {
    char* const* block = nullptr;
    size_t slot = 0;
    const char* entry = nullptr;
    uint64_t generation = 0;
  };

  struct ThreadCopy : Snapshot {
    std::vector<std::pair<std::string, Path>> found;

    void keep(const Snapshot& now, std::string_view name, const Path& path) {
      if (now.generation != generation || now.block != block || now.entry != entry) {
        found.clear();
        static_cast<Snapshot&>(*this) = now;
      }
      found.emplace_back(std::string(name), path);
    }
  };

  static ThreadCopy& threadCopy() {
    thread_local ThreadCopy copy;
    return copy;
  }

  // The caller holds lock_.
  Snapshot snapshot() const {
    return {block_, slot_, entry_, generation_.load(std::memory_order_relaxed)};
  }

  // PATH as the environment has it. The environment is searched only when
  // its block or the slot of its PATH entry holds another pointer than at
  // the last search: setenv and unsetenv replace one or the other (a value
  // is never changed in place), and a scan of every entry for each command
  // would cost more than the rest of starting it. The caller holds lock_.
  std::string_view searchPath() {
    char* const* block = environment::processBlock();
    if (block == nullptr) return kDefaultSearchPath;
    if (block != block_ || block[slot_] != entry_) {
      constexpr std::string_view kPrefix = "PATH=";
      block_ = block;
      entry_ = nullptr;
      for (slot_ = 0; block[slot_] != nullptr; ++slot_) {
        if (std::string_view(block[slot_]).starts_with(kPrefix)) {
          entry_ = block[slot_];
          break;
        }
      }
      // Without PATH the slot is the terminator: an entry added there is seen.
      value_ =
          entry_ != nullptr ? std::string_view(entry_).substr(kPrefix.size()) : kDefaultSearchPath;
    }
    return value_;
  }

  std::mutex lock_;
  char* const* block_ = nullptr;
  size_t slot_ = 0;
  const char* entry_ = nullptr;
  std::string_view value_;
  std::string search_path_;
  std::atomic<uint64_t> generation_{0};
  // A handful of tools: a list is as quick as any map.
  std::vector<std::pair<std::string, Path>> found_;
};

ProgramPaths& programPaths() { return immortal<ProgramPaths>(); }

// Starts `argv`, its program found along PATH through the record; a program
// that fails to start from a recorded path (moved or removed since) is looked
// up once more.
Result<ChildProcess> start(Arguments argv, ChildProcess::Streams streams) {
  const std::string_view name = argv.front();
  if (name.find('/') != std::string_view::npos) {
    return ChildProcess::spawn(std::string(name), argv, streams);
  }
  auto path = programPaths().find(name);
  if (!path) return fail(path.error());
  auto child = ChildProcess::spawn(*path->first, argv, streams);
  if (child || !path->second) return child;
  programPaths().forget(name);
  path = programPaths().find(name);
  if (!path) return fail(path.error());
  return ChildProcess::spawn(*path->first, argv, streams);
}

// Now plus `limit`, without overflowing for a limit of "practically never".
Deadline deadlineAfter(std::chrono::milliseconds limit) noexcept {
  const Deadline now = std::chrono::steady_clock::now();
  if (limit <= std::chrono::milliseconds::zero()) return now;
  if (limit >= std::chrono::duration_cast<std::chrono::milliseconds>(Deadline::max() - now)) {
    return Deadline::max();
  }
  return now + limit;
}

// Starts, reads and reaps one command. On every failure the child (and its
// group) is killed and reaped by the ChildProcess on the way out. Once the
// process is asked to stop, nothing more is started.
Result<Captured> run(Arguments argv, std::chrono::milliseconds time_limit,
                     ChildProcess::Streams streams = ChildProcess::Streams::capture_output) {
  if (argv.empty()) return fail(Error::InvalidArgument);
  if (stopRequested()) return fail(Error::Canceled);
  const Deadline deadline = deadlineAfter(time_limit);
  auto child = start(argv, streams);
  if (!child) return fail(child.error());
  auto output = readOutput(*child, deadline);
  if (!output) return fail(output.error());
  auto status = child->wait(deadline);
  if (!status) return fail(status.error());
  return Captured{std::move(*output), *status};
}

// The trimmed text, trimmed in place; the room is given back only when the
// trimmed text would use less than half of it.
std::string takeTrimmed(std::string&& capture) {
  const std::string_view trimmed = trimWhitespace(capture);
  if (trimmed.size() == capture.size()) return std::move(capture);
  const std::size_t first = static_cast<std::size_t>(trimmed.data() - capture.data());
  capture.resize(first + trimmed.size());
  capture.erase(0, first);
  if (capture.capacity() > 2 * capture.size()) capture.shrink_to_fit();
  return std::move(capture);
}

bool isRegularFile(const std::string& path) noexcept {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string_view trimWhitespace(std::string_view text) noexcept {
  constexpr std::string_view kWhitespace = " \t\n\r\v\f";
  const std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) return text.substr(text.size());
  const std::size_t last = text.find_last_not_of(kWhitespace);
  return text.substr(first, last - first + 1);
}

Result<std::string> findProgram(std::string_view name, std::string_view search_path) {
  if (name.find('/') != std::string_view::npos) return std::string(name);
  if (name.empty()) return fail(Error::FileNotFound);
  bool found_unusable = false;
  while (true) {
    const std::size_t colon = search_path.find(':');
    std::string_view directory = search_path.substr(0, colon);
    if (!directory.empty()) {
      std::string candidate(directory);
      if (candidate.back() != '/') candidate.push_back('/');
      candidate.append(name);
      if (isRegularFile(candidate)) {
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        found_unusable = true;
      }
    }
    if (colon == std::string_view::npos) break;
    search_path.remove_prefix(colon + 1);
  }
  return fail(found_unusable ? Error::AccessDenied : Error::FileNotFound);
}

Result<std::string> findProgram(std::string_view name) {
  return findProgram(name, environment::find("PATH").value_or(kDefaultSearchPath));
}

Result<std::string> execCommand(Arguments argv, std::chrono::milliseconds time_limit) {
  try {
    auto captured = run(argv, time_limit);
    if (!captured) return fail(captured.error());
    if (!captured->status.succeeded()) return fail(Error::CommandFailed);
    return takeTrimmed(std::move(captured->output));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<void> runAttached(Arguments argv, std::chrono::milliseconds wait_limit) {
  try {
    if (argv.empty()) return fail(Error::InvalidArgument);
    if (stopRequested()) return fail(Error::Canceled);
    auto path = findProgram(argv.front());
    if (!path) return fail(path.error());
    auto child = ChildProcess::spawn(*path, argv, ChildProcess::Streams::inherit);
    if (!child) return fail(child.error());
    auto ended = child->waitAtMost(deadlineAfter(wait_limit));
    if (!ended) return fail(ended.error());
    if (!*ended) reapInBackground(std::move(*child));
    return {};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

namespace {

std::optional<std::string> runTolerant(Arguments argv, std::chrono::milliseconds time_limit,
                                       ChildProcess::Streams streams) {
  try {
    auto captured = run(argv, time_limit, streams);
    if (!captured) return std::nullopt;
    std::string text = takeTrimmed(std::move(captured->output));
    if (text.empty()) return std::nullopt;
    return text;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> execCommandAllowFail(Arguments argv,
                                                std::chrono::milliseconds time_limit) {
  return runTolerant(argv, time_limit, ChildProcess::Streams::capture_output);
}

std::optional<std::string> execCommandAllowFailWithErrors(Arguments argv,
                                                          std::chrono::milliseconds time_limit) {
  return runTolerant(argv, time_limit, ChildProcess::Streams::capture_output_and_error);
}

}  // namespace platform::macos
