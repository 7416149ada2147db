// The serial devices present, for a port setting to offer: USB adapters first by the stable names udev
// gives them under /dev/serial/by-id (a name that stays when the adapter moves to another socket or
// the order of plugging changes, unlike ttyUSB0), then the kernel's ttyUSB, ttyACM and ttyS devices,
// each kind in number order (ttyUSB2 before ttyUSB10).
//
// Every ttyS name exists whether or not a UART is behind it, so a ttyS is listed only when it answers:
// it opens (without blocking and without becoming the controlling terminal, and is closed at once) and
// TIOCGSERIAL reports a UART type. A ttyS that cannot be opened (no permission) is left out too, since
// nothing tells it from an empty one. ttyUSB and ttyACM exist only while their adapter does.
//
// And the other way: which device each COMn names now (serial/port.h devicePath), and storing a COMn's
// choice in the settings file's [Devices] section.
#pragma once

#include <string>
#include <vector>

namespace dl {

struct Profile;

struct SerialDevice {
    enum class Kind { usbByName, usb, acm, builtIn };
    Kind kind = Kind::builtIn;
    std::string path;    // what [Devices] and --port take
    std::string name;    // the adapter's name (the by-id link's name), or the kernel's (ttyUSB0)
    std::string target;  // a by-id link: the device it points to now ("" when it points nowhere); else path
};

// Whether a ttyS device has a UART behind it.
bool uartAnswers(const std::string& path);
using UartProbe = bool (*)(const std::string& path);

// `devRoot` stands for /dev (tests pass a folder of their own), `probe` for the ttyS check.
std::vector<SerialDevice> listSerialDevices(const std::string& devRoot = "/dev",
                                            UartProbe probe = uartAnswers);

// Stores `device` as COM`portNumber`'s choice in [Devices] (an empty one removes the key, which restores
// the default), leaving every other section, key, comment and line as it was. False, with nothing
// changed, for a port outside 1..4 or a name the file cannot hold. The caller saves the profile and
// calls setDevicePath for the running program.
bool storeDeviceChoice(Profile& profile, int portNumber, const std::string& device);

}  // namespace dl
