#include "app/LaunchResult.h"

#include <cerrno>

namespace bw::app {

int LaunchResultOf(int error) {
  switch (error) {
    case 0:
      return kLaunchStarted;
    case ENOENT:
      return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return 3;
    case EACCES:
    case EPERM:
      return 5;
    case ENOMEM:
    case E2BIG:
    case EAGAIN:
      return 8;
    case ENOEXEC:
    case ELIBBAD:
      return 11;
    case ETXTBSY:
      return 26;
    default:
      return 0;
  }
}

const char* LaunchFailureReason(int result) {
  switch (result) {
    case 2:
      return "The specified file was not found.";
    case 3:
      return "The specified path was not found.";
    case 5:
      return "The operating system denied access to the specified file.";
    case 8:
      return "There was not enough memory to complete the operation.";
    case 11:
      return "The .exe file is invalid (non-Win32 .exe or error in .exe image).";
    case 26:
      return "A sharing violation occurred.";
    case 27:
      return "The file name association is incomplete or invalid.";
    case 28:
      return "The DDE transaction could not be completed because the request timed out.";
    case 29:
      return "The DDE transaction failed.";
    case 30:
      return "The DDE transaction could not be completed because other DDE transactions were being processed.";
    case 31:
      return "There is no application associated with the given file name extension. This error will also be "
             "returned if you attempt to print a file that is not printable.";
    case 32:
      return "The specified DLL was not found.";
    default:
      return "Unknown open failed";
  }
}

}  // namespace bw::app
