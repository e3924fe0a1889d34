#include "tavrine/base/error.h"

#include <cerrno>

std::string_view errorName(Error error) noexcept {
  switch (error) {
#define TAVRINE_ERROR_NAME(name) \
  case Error::name:              \
    return #name;
    TAVRINE_ERRORS(TAVRINE_ERROR_NAME)
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
