#pragma once

#include <expected>
#include <string_view>

// Every failure the system can report. The enumerator names are the names
// printed to the user ("error: NoHomeDir", "error.CommandFailed").
enum class Error {
  // Agent and commands.
  NoHomeDir,
  InvalidHomeDir,
  NotImplemented,
  OutOfMemory,
  Unexpected,
  // Sign-in.
  BrowserOpenFailed,
  ServerStartFailed,
  CallbackTimeout,
  TokenExchangeFailed,
  InvalidResponse,
  MissingField,
  // Collection.
  CommandFailed,
  StreamTooLong,
  Timeout,
  // HTTP.
  RequestFailed,
  ConnectionRefused,
  ConnectionResetByPeer,
  NameResolutionFailed,
  TlsInitializationFailed,
  CertificateVerificationFailed,
  UnsupportedUriScheme,
  TooManyRedirects,
  ResponseTooLarge,
  TransferStalled,
  NetworkUnreachable,
  HostUnreachable,
  InvalidUrl,
  SendFailed,
  ReceiveFailed,
  EmptyResponse,
  MalformedResponse,
  TruncatedResponse,
  DecompressionFailed,
  ConnectionFailed,
  // Menu bar.
  ClassNotFound,
  // Update manifest.
  UnexpectedEndOfInput,
  SyntaxError,
  InvalidVersion,
  // Files, processes and the rest of the operating system (see errorFromErrno).
  FileNotFound,
  AccessDenied,
  IsDir,
  NotDir,
  FileTooBig,
  FileBusy,
  NameTooLong,
  PathAlreadyExists,
  NoSpaceLeft,
  DiskQuota,
  ReadOnlyFileSystem,
  InputOutput,
  SymLinkLoop,
  BrokenPipe,
  WouldBlock,
  InvalidArgument,
  ProcessFdQuotaExceeded,
  SystemFdQuotaExceeded,
  SystemResources,
  NoDevice,
};

// The printed name of an error, for example "NoHomeDir".
[[nodiscard]] std::string_view errorName(Error error) noexcept;

// Maps a C library errno value onto the system's error names; anything
// without a name of its own is Unexpected.
[[nodiscard]] Error errorFromErrno(int errno_value) noexcept;

// The value of an operation that can fail with a named error.
template <class T>
using Result = std::expected<T, Error>;

// Shorthand for returning a failure: `return fail(Error::NoHomeDir);`
[[nodiscard]] inline std::unexpected<Error> fail(Error error) noexcept {
  return std::unexpected<Error>(error);
}
