#pragma once

#include <expected>
#include <string_view>

// Every failure the system can report, listed once: the list makes both the
// enumerators and their printed names ("error: NoHomeDir",
// "error.CommandFailed"), so the two can never drift apart.
#define TAVRINE_ERRORS(X)                                                           \
  /* Agent and commands. */                                                         \
  X(NoHomeDir)                                                                      \
  X(InvalidHomeDir)                                                                 \
  X(NotImplemented)                                                                 \
  X(OutOfMemory)                                                                    \
  X(Unexpected)                                                                     \
  /* Sign-in. */                                                                    \
  X(BrowserOpenFailed)                                                              \
  X(ServerStartFailed)                                                              \
  X(CallbackTimeout)                                                                \
  X(TokenExchangeFailed)                                                            \
  X(InvalidResponse)                                                                \
  X(MissingField)                                                                   \
  /* Collection. */                                                                 \
  X(CommandFailed)                                                                  \
  X(StreamTooLong)                                                                  \
  X(Timeout)                                                                        \
  X(Canceled)                                                                       \
  /* HTTP. */                                                                       \
  X(RequestFailed)                                                                  \
  X(ConnectionRefused)                                                              \
  X(ConnectionResetByPeer)                                                          \
  X(NameResolutionFailed)                                                           \
  X(TlsInitializationFailed)                                                        \
  X(CertificateVerificationFailed)                                                  \
  X(UnsupportedUriScheme)                                                           \
  X(TooManyRedirects)                                                               \
  X(ResponseTooLarge)                                                               \
  X(TransferStalled)                                                                \
  X(NetworkUnreachable)                                                             \
  X(HostUnreachable)                                                                \
  X(InvalidUrl)                                                                     \
  X(SendFailed)                                                                     \
  X(ReceiveFailed)                                                                  \
  X(EmptyResponse)                                                                  \
  X(MalformedResponse)                                                              \
  X(TruncatedResponse)                                                              \
  X(DecompressionFailed)                                                            \
  X(ConnectionFailed)                                                               \
  X(TransferTimedOut)                                                               \
  X(InsecureRedirect)                                                               \
  /* Menu bar. */                                                                   \
  X(ClassNotFound)                                                                  \
  /* Update manifest. */                                                            \
  X(UnexpectedEndOfInput)                                                           \
  X(SyntaxError)                                                                    \
  X(InvalidVersion)                                                                 \
  X(NestingTooDeep)                                                                 \
  /* Update download. */                                                            \
  X(InvalidExecutable)                                                              \
  X(ChecksumMismatch)                                                               \
  X(SizeMismatch)                                                                   \
  /* Update signature. */                                                           \
  X(SignatureMissing)                                                               \
  X(SignatureInvalid)                                                               \
  X(UnknownSigningKey)                                                              \
  X(ManifestExpired)                                                                \
  X(InvalidKey)                                                                     \
  X(CodeSignatureInvalid)                                                           \
  /* Files, processes and the rest of the operating system (see errorFromErrno). */ \
  X(FileNotFound)                                                                   \
  X(AccessDenied)                                                                   \
  X(IsDir)                                                                          \
  X(NotDir)                                                                         \
  X(NotRegularFile)                                                                 \
  X(FileTooBig)                                                                     \
  X(FileBusy)                                                                       \
  X(NameTooLong)                                                                    \
  X(PathAlreadyExists)                                                              \
  X(NoSpaceLeft)                                                                    \
  X(DiskQuota)                                                                      \
  X(ReadOnlyFileSystem)                                                             \
  X(InputOutput)                                                                    \
  X(SymLinkLoop)                                                                    \
  X(BrokenPipe)                                                                     \
  X(WouldBlock)                                                                     \
  X(InvalidArgument)                                                                \
  X(ProcessFdQuotaExceeded)                                                         \
  X(SystemFdQuotaExceeded)                                                          \
  X(SystemResources)                                                                \
  X(NoDevice)

enum class Error {
#define TAVRINE_ERROR_ENUMERATOR(name) name,
  TAVRINE_ERRORS(TAVRINE_ERROR_ENUMERATOR)
#undef TAVRINE_ERROR_ENUMERATOR
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
