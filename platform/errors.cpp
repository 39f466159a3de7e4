#include "platform/errors.h"

#include <cerrno>

namespace platform {

Error FromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case EBUSY:
    case EAGAIN:
      return kErrorSharingViolation;
    case ENOTTY:
      return kErrorInvalidFunction;
    case EINVAL:
      return kErrorInvalidParameter;
    case EIO:
      return kErrorIoDevice;
    case ETIMEDOUT:
      return kErrorTimeout;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace platform
