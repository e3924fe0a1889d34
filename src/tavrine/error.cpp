#include "tavrine/error.h"

#include <cerrno>

std::string_view errorName(Error error) noexcept {
  switch (error) {
#define TAVRINE_ERROR_NAME(name) \
  case Error::name:              \
    return #name;
    TAVRINE_ERROR_NAME(NoHomeDir)
    TAVRINE_ERROR_NAME(InvalidHomeDir)
    TAVRINE_ERROR_NAME(NotImplemented)
    TAVRINE_ERROR_NAME(OutOfMemory)
    TAVRINE_ERROR_NAME(Unexpected)
    TAVRINE_ERROR_NAME(BrowserOpenFailed)
    TAVRINE_ERROR_NAME(ServerStartFailed)
    TAVRINE_ERROR_NAME(CallbackTimeout)
    TAVRINE_ERROR_NAME(TokenExchangeFailed)
    TAVRINE_ERROR_NAME(InvalidResponse)
    TAVRINE_ERROR_NAME(MissingField)
    TAVRINE_ERROR_NAME(CommandFailed)
    TAVRINE_ERROR_NAME(StreamTooLong)
    TAVRINE_ERROR_NAME(Timeout)
    TAVRINE_ERROR_NAME(RequestFailed)
    TAVRINE_ERROR_NAME(ConnectionRefused)
    TAVRINE_ERROR_NAME(ConnectionResetByPeer)
    TAVRINE_ERROR_NAME(NameResolutionFailed)
    TAVRINE_ERROR_NAME(TlsInitializationFailed)
    TAVRINE_ERROR_NAME(CertificateVerificationFailed)
    TAVRINE_ERROR_NAME(UnsupportedUriScheme)
    TAVRINE_ERROR_NAME(TooManyRedirects)
    TAVRINE_ERROR_NAME(ResponseTooLarge)
    TAVRINE_ERROR_NAME(TransferStalled)
    TAVRINE_ERROR_NAME(NetworkUnreachable)
    TAVRINE_ERROR_NAME(HostUnreachable)
    TAVRINE_ERROR_NAME(InvalidUrl)
    TAVRINE_ERROR_NAME(SendFailed)
    TAVRINE_ERROR_NAME(ReceiveFailed)
    TAVRINE_ERROR_NAME(EmptyResponse)
    TAVRINE_ERROR_NAME(MalformedResponse)
    TAVRINE_ERROR_NAME(TruncatedResponse)
    TAVRINE_ERROR_NAME(DecompressionFailed)
    TAVRINE_ERROR_NAME(ConnectionFailed)
    TAVRINE_ERROR_NAME(ClassNotFound)
    TAVRINE_ERROR_NAME(UnexpectedEndOfInput)
    TAVRINE_ERROR_NAME(SyntaxError)
    TAVRINE_ERROR_NAME(InvalidVersion)
    TAVRINE_ERROR_NAME(FileNotFound)
    TAVRINE_ERROR_NAME(AccessDenied)
    TAVRINE_ERROR_NAME(IsDir)
    TAVRINE_ERROR_NAME(NotDir)
    TAVRINE_ERROR_NAME(FileTooBig)
    TAVRINE_ERROR_NAME(FileBusy)
    TAVRINE_ERROR_NAME(NameTooLong)
    TAVRINE_ERROR_NAME(PathAlreadyExists)
    TAVRINE_ERROR_NAME(NoSpaceLeft)
    TAVRINE_ERROR_NAME(DiskQuota)
    TAVRINE_ERROR_NAME(ReadOnlyFileSystem)
    TAVRINE_ERROR_NAME(InputOutput)
    TAVRINE_ERROR_NAME(SymLinkLoop)
    TAVRINE_ERROR_NAME(BrokenPipe)
    TAVRINE_ERROR_NAME(WouldBlock)
    TAVRINE_ERROR_NAME(InvalidArgument)
    TAVRINE_ERROR_NAME(ProcessFdQuotaExceeded)
    TAVRINE_ERROR_NAME(SystemFdQuotaExceeded)
    TAVRINE_ERROR_NAME(SystemResources)
    TAVRINE_ERROR_NAME(NoDevice)
#undef TAVRINE_ERROR_NAME
  }
  return "Unexpected";
}

Error errorFromErrno(int errno_value) noexcept {
  switch (errno_value) {
    case ENOENT:
      return Error::FileNotFound;
    case EACCES:
    case EPERM:
      return Error::AccessDenied;
    case EISDIR:
      return Error::IsDir;
    case ENOTDIR:
      return Error::NotDir;
    case EFBIG:
      return Error::FileTooBig;
    case EBUSY:
    case ETXTBSY:
      return Error::FileBusy;
    case ENAMETOOLONG:
      return Error::NameTooLong;
    case EEXIST:
      return Error::PathAlreadyExists;
    case ENOSPC:
      return Error::NoSpaceLeft;
    case EDQUOT:
      return Error::DiskQuota;
    case EROFS:
      return Error::ReadOnlyFileSystem;
    case EIO:
      return Error::InputOutput;
    case ELOOP:
      return Error::SymLinkLoop;
    case EPIPE:
      return Error::BrokenPipe;
    case EAGAIN:
      return Error::WouldBlock;
    case EINVAL:
      return Error::InvalidArgument;
    case EMFILE:
      return Error::ProcessFdQuotaExceeded;
    case ENFILE:
      return Error::SystemFdQuotaExceeded;
    case ENOMEM:
    case ENOBUFS:
      return Error::SystemResources;
    case ENODEV:
    case ENXIO:
      return Error::NoDevice;
    case ECONNREFUSED:
      return Error::ConnectionRefused;
    case ECONNRESET:
      return Error::ConnectionResetByPeer;
    case ENETUNREACH:
      return Error::NetworkUnreachable;
    case EHOSTUNREACH:
      return Error::HostUnreachable;
    case ETIMEDOUT:
      return Error::Timeout;
    default:
      return Error::Unexpected;
  }
}
