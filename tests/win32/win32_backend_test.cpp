// The Windows build's own rules: the DCB the line settings become, and the settings file's place and
// its save by MoveFileEx.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/profile.h"
#include "integration/test_files.h"
#include "serial/win32_line.h"

namespace dl {
namespace {

namespace fs = std::filesystem;

struct LineCase {
    uint32_t baud;
    uint8_t byteSize, parity, stopBits, flow;
    // The DCB expected: parity, stop bits, CTS out flow, RTS control, DTR control, XON/XOFF.
    BYTE wantParity, wantStop;
    bool cts;
    DWORD rts, dtr;
    bool xonXoff;
};

TEST(Win32Dcb, MapsTheLineSettingsAndRefusesWhatNoDeviceTakes) {
    const LineCase cases[] = {
        {115200, 8, 0, 0, 0, NOPARITY, ONESTOPBIT, false, RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, false},
        {9600, 7, 1, 2, 0, ODDPARITY, TWOSTOPBITS, false, RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, false},
        {3000000, 8, 2, 0, 0x2, EVENPARITY, ONESTOPBIT, true, RTS_CONTROL_HANDSHAKE, DTR_CONTROL_DISABLE,
         false},
        {57600, 8, 3, 0, 0x4, MARKPARITY, ONESTOPBIT, false, RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, true},
        {50, 6, 4, 0, 0x1, SPACEPARITY, ONESTOPBIT, false, RTS_CONTROL_DISABLE, DTR_CONTROL_ENABLE, false},
        // 1.5 stop bits exist only for 5-bit words; others take two, as on POSIX.
        {1200, 5, 0, 1, 0, NOPARITY, ONE5STOPBITS, false, RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, false},
        {1200, 8, 0, 1, 0, NOPARITY, TWOSTOPBITS, false, RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, false},
    };
    for (const LineCase& c : cases) {
        PortSession s;
        s.baudRate = c.baud;
        s.byteSize = c.byteSize;
        s.parity = c.parity;
        s.stopBits = c.stopBits;
        s.flowControl = c.flow;
        DCB d{};
        d.fAbortOnError = TRUE;  // as a driver may leave it: it would stop every read after a line error
        d.fErrorChar = TRUE;
        ASSERT_TRUE(fillDcb(s, d)) << c.baud;
        EXPECT_EQ(d.BaudRate, c.baud);
        EXPECT_EQ(d.ByteSize, c.byteSize);
        EXPECT_EQ(d.Parity, c.wantParity) << c.baud;
        EXPECT_EQ(d.fParity, c.parity != 0) << c.baud;
        EXPECT_EQ(d.StopBits, c.wantStop) << c.baud;
        EXPECT_EQ(d.fOutxCtsFlow, c.cts) << c.baud;
        EXPECT_EQ(d.fRtsControl, c.rts) << c.baud;
        EXPECT_EQ(d.fDtrControl, c.dtr) << c.baud;
        EXPECT_EQ(d.fOutX, c.xonXoff) << c.baud;
        EXPECT_EQ(d.fInX, c.xonXoff) << c.baud;
        EXPECT_FALSE(d.fOutxDsrFlow);
        EXPECT_TRUE(d.fBinary);
        EXPECT_FALSE(d.fAbortOnError);
        EXPECT_FALSE(d.fErrorChar);
        EXPECT_FALSE(d.fNull);
        EXPECT_EQ(d.XonChar, 0x11);
        EXPECT_EQ(d.XoffChar, 0x13);
    }
    PortSession s;
    s.baudRate = 115200;
    s.byteSize = 8;
    DCB d{};
    s.baudRate = 12345;  // a speed the POSIX side has no name for either
    EXPECT_FALSE(fillDcb(s, d));
    s.baudRate = 115200;
    s.byteSize = 9;
    EXPECT_FALSE(fillDcb(s, d));
    s.byteSize = 8;
    s.parity = 5;
    EXPECT_FALSE(fillDcb(s, d));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Win32SettingsFile, LivesUnderAppDataAndIsReplacedWholeKeepingItsLineEnds) {
    dltest::ScratchDir dir;
    const std::wstring saved = _wgetenv(L"APPDATA") ? _wgetenv(L"APPDATA") : L"";
    ASSERT_EQ(_wputenv_s(L"APPDATA", dir.path().wstring().c_str()), 0);
    const std::string path = defaultSettingsPath();
    _wputenv_s(L"APPDATA", saved.c_str());
    EXPECT_EQ(fs::path(path), dir.path() / "downloader" / "corvane.ini");

    // An existing file (rename would fail over it on Windows) with CR LF line ends.
    fs::create_directories(dir.path() / "downloader");
    std::ofstream(path, std::ios::binary) << "; mine\r\n[Settings]\r\nBaud=9600\r\n";
    Profile p = Profile::load(path);
    ASSERT_TRUE(p.set("Settings", "Baud", "115200"));
    ASSERT_TRUE(p.set("Devices", "COM1", "COM7"));
    ASSERT_TRUE(p.save(path));
    EXPECT_EQ(readFile(path), "; mine\r\n[Settings]\r\nBaud=115200\r\n\r\n[Devices]\r\nCOM1=COM7\r\n");
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path() / "downloader")) ++files;
    EXPECT_EQ(files, 1u) << "the temporary file of the save is left behind";

    std::string why;
    Profile::load((dir.path() / "downloader").string(), &why);
    EXPECT_FALSE(why.empty()) << "a folder is no settings file";
    Profile::load((dir.path() / "none.ini").string(), &why);
    EXPECT_TRUE(why.empty()) << "an absent file is an empty one: " << why;
}

}  // namespace
}  // namespace dl
