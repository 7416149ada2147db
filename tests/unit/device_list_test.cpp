#include "serial/device_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/profile.h"
#include "integration/test_files.h"

namespace dl {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> paths(const std::vector<SerialDevice>& devices) {
    std::vector<std::string> out;
    for (const auto& d : devices) out.push_back(d.path);
    return out;
}

bool onlyTtyS1Answers(const std::string& path) {
    return path.ends_with("/ttyS1");
}

// A /dev of regular files and links: the names decide what is listed and in which order, and a ttyS is
// listed only when it answers.
TEST(DeviceList, AdaptersByNameThenKernelDevicesInNumberOrderAndOnlyTtySThatAnswer) {
    dltest::ScratchDir dev;
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "ttyS10", "ttyprintk",
                             "ttyUSBx", "tty0", "null"})
        dev.write(name, "");
    fs::create_directories(dev.path() / "serial" / "by-id");
    const fs::path byId = dev.path() / "serial" / "by-id";
    fs::create_symlink("../../ttyUSB2", byId / "usb-FTDI_FT232R_A50285BI-if00-port0");
    fs::create_symlink("../../ttyUSB10", byId / "usb-1a86_USB_Serial-if00-port0");
    fs::create_symlink("../../ttyUSB9", byId / "usb-Prolific_gone-if00-port0");  // points nowhere

    const auto devices = listSerialDevices(dev.path().string(), onlyTtyS1Answers);
    const std::string root = dev.path().string();
    EXPECT_EQ(paths(devices),
              (std::vector<std::string>{(byId / "usb-1a86_USB_Serial-if00-port0").string(),
                                        (byId / "usb-FTDI_FT232R_A50285BI-if00-port0").string(),
                                        (byId / "usb-Prolific_gone-if00-port0").string(), root + "/ttyUSB2",
                                        root + "/ttyUSB10", root + "/ttyACM0", root + "/ttyS1"}));
    ASSERT_GE(devices.size(), 3u);
    EXPECT_EQ(devices[1].name, "usb-FTDI_FT232R_A50285BI-if00-port0");
    EXPECT_EQ(devices[1].target, root + "/ttyUSB2") << "the device the adapter's name stands for now";
    EXPECT_EQ(devices[2].target, "") << "a link to a device that is gone";

    // The real check: a regular file has no UART behind it.
    EXPECT_EQ(paths(listSerialDevices(root)),
              (std::vector<std::string>{devices[0].path, devices[1].path, devices[2].path, root + "/ttyUSB2",
                                        root + "/ttyUSB10", root + "/ttyACM0"}));
    EXPECT_TRUE(listSerialDevices(dev.file("missing")).empty());
}

TEST(DeviceList, AChoiceIsStoredInDevicesAndNothingElseChanges) {
    Profile p = Profile::parse(
        "; kept\n[Settings]\nCOM1=not a "
        "device\niCountry=82\n[Devices]\nCOM1=/dev/ttyS0\nExternalTerminal=t\n");
    ASSERT_TRUE(storeDeviceChoice(p, 1, "/dev/serial/by-id/usb-FTDI-if00-port0"));
    ASSERT_TRUE(storeDeviceChoice(p, 3, "/dev/ttyUSB0"));
    EXPECT_EQ(p.text(),
              "; kept\n[Settings]\nCOM1=not a device\niCountry=82\n[Devices]\n"
              "COM1=/dev/serial/by-id/usb-FTDI-if00-port0\nExternalTerminal=t\nCOM3=/dev/ttyUSB0\n");
    ASSERT_TRUE(storeDeviceChoice(p, 1, ""));
    EXPECT_EQ(p.get("Devices", "COM1"), std::nullopt) << "an empty choice gives the default back";
    EXPECT_EQ(p.get("Settings", "COM1"), "not a device");
    const Profile before = p;
    EXPECT_FALSE(storeDeviceChoice(p, 5, "/dev/ttyUSB0"));
    EXPECT_FALSE(storeDeviceChoice(p, 2, "/dev/tty\nUSB0"));
    EXPECT_EQ(p, before);
}

}  // namespace
}  // namespace dl
