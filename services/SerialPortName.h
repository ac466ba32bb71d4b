#pragma once
// Which device a port name stands for. A name starting with "/" is a device
// path used as it is; "COMn" (n >= 1, any letter case) is the device in the
// environment variable NORVIK_COMn when set, else /dev/ttyS(n-1); any other
// name is looked up under /dev.
#include <string>

namespace norvik {

std::string SerialDevicePath(const std::string &portName);

} // namespace norvik
