// Enumeration and error texts of the host build.
#include "os.h"

namespace xrusb::os {

std::vector<std::u16string> InterfacePaths(const Guid &guid, std::error_code &ec) {
  GUID g = SystemGuid(guid);
  ec.clear();
  return simwin::DeviceInterfacePaths(g);
}

std::string Win32ErrorText(uint32_t error) {
  switch (error) {
    case 1:
      return "incorrect function";
    case 2:
      return "the system cannot find the file specified";
    case 3:
      return "the system cannot find the path specified";
    case 5:
      return "access is denied";
    case 6:
      return "the handle is invalid";
    case 8:
      return "not enough memory";
    case 31:
      return "a device attached to the system is not functioning";
    case 32:
      return "the file is in use by another process";
    case 50:
      return "the request is not supported";
    case 87:
      return "the parameter is incorrect";
    case 122:
      return "the data area passed is too small";
    case 170:
      return "the requested resource is in use";
    case 258:
      return "the wait operation timed out";
    case 995:
      return "the I/O operation has been aborted";
    case 996:
      return "overlapped I/O event is not in a signaled state";
    case 997:
      return "overlapped I/O operation is in progress";
    case 998:
      return "invalid access to memory location";
    case 1167:
      return "the device is not connected";
    case 1168:
      return "element not found";
    case 1450:
      return "insufficient system resources";
    case 1617:
      return "the device has been removed";
    default:
      return "";
  }
}

}  // namespace xrusb::os
