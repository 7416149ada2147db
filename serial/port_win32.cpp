// The Win32 backend of serial/port.h: \\.\COMn opened with no sharing and overlapped, a DCB for the line
// settings, COMMTIMEOUTS, PurgeComm, manual-reset events as the session's wakes.
#include <windows.h>

#include <cstring>
#include <string>

#include "base/win32.h"
#include "serial/line_backend.h"
#include "serial/port.h"
#include "serial/port_write.h"
#include "serial/win32_line.h"

namespace dl {

namespace {

// The speeds the POSIX backend maps, so that a setting means the same line on both systems.
constexpr uint32_t kSpeeds[] = {50,     75,      110,     134,     150,     200,     300,     600,
                                1200,   1800,    2400,    4800,    9600,    19200,   38400,   57600,
                                115200, 230400,  460800,  500000,  576000,  921600,  1000000, 1152000,
                                1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

bool knownSpeed(uint32_t baud) {
    for (uint32_t b : kSpeeds)
        if (b == baud) return true;
    return false;
}

HANDLE portOf(const PortSession& s) {
    return static_cast<HANDLE>(s.port.handle());
}

// A bare name from [Devices] or --port (COM12) is reached through the device namespace, which is the
// only way to COM10 and above.
std::string deviceName(const std::string& path) {
    if (path.find_first_of("\\/:") != std::string::npos) return path;
    return "\\\\.\\" + path;
}

// The parts of the DCB that carry the session's line settings. DTR and RTS are left out: they are modem
// lines, which some devices do not have (wine's pseudo-terminals report both enabled whatever was set),
// as the POSIX side does not check its modem-line calls either.
bool sameLineSettings(const DCB& a, const DCB& b) {
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits && a.fOutxCtsFlow == b.fOutxCtsFlow && a.fOutX == b.fOutX &&
           a.fInX == b.fInX;
}

}  // namespace

bool fillDcb(const PortSession& s, DCB& d) {
    const uint32_t baud = s.baudRate.load();
    if (!knownSpeed(baud)) return false;
    if (s.byteSize < 5 || s.byteSize > 8 || s.parity > 4 || s.stopBits > 2) return false;
    d.DCBlength = sizeof(DCB);
    d.BaudRate = baud;
    d.fBinary = TRUE;
    d.ByteSize = s.byteSize;
    // The session numbers parity (none, odd, even, mark, space) and stop bits (one, one and a half, two)
    // as Win32 does.
    d.Parity = s.parity;
    d.fParity = s.parity != NOPARITY;
    // 1.5 stop bits exist only for 5-bit words: take two, as the POSIX side does.
    d.StopBits = s.stopBits == ONE5STOPBITS && s.byteSize != 5 ? TWOSTOPBITS : s.stopBits;
    // Without a handshake DTR and RTS are held off; with one, the driver (RTS) or we (DTR) raise them.
    d.fDtrControl = (s.flowControl & 0x1) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    d.fOutxDsrFlow = FALSE;
    d.fDsrSensitivity = FALSE;
    d.fOutxCtsFlow = (s.flowControl & 0x2) != 0;
    d.fRtsControl = (s.flowControl & 0x2) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    d.fOutX = d.fInX = (s.flowControl & 0x4) != 0;
    d.fTXContinueOnXoff = TRUE;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.XonLim = 2048;
    d.XoffLim = 512;
    // Every byte as it came: no replacement of bad bytes, no dropped NULs, and a line error must not
    // stop the reads until someone clears it (the errors are taken as marks instead).
    d.fErrorChar = FALSE;
    d.fNull = FALSE;
    d.fAbortOnError = FALSE;
    return true;
}

COMMTIMEOUTS portTimeouts() {
    return COMMTIMEOUTS{0, 0, 0, 0, 0};
}

std::string defaultDevicePath(int portNumber) {
    return "\\\\.\\COM" + std::to_string(portNumber);
}

bool linePresent(const std::string& path) {
    const HANDLE h = ::CreateFileW(widePath(deviceName(path)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return true;
    }
    const DWORD e = ::GetLastError();
    return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION;  // there, but held
}

bool openLine(PortSession& s, const std::string& path, std::string& error) {
    // No sharing: a second program (or window) that opens the line is refused by the system.
    HANDLE h = ::CreateFileW(widePath(deviceName(path)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = ::GetLastError();
        // A COM port that another program holds refuses the open as "access denied".
        if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION)
            error = path + ": in use by another program (" + win32ErrorText(e) + ")";
        else
            error = path + ": " + win32ErrorText(e);
        return false;
    }
    LineHandle port(reinterpret_cast<NativeHandle>(h));
    COMMTIMEOUTS timeouts = portTimeouts();
    if (::GetFileType(h) != FILE_TYPE_CHAR || !::SetCommTimeouts(h, &timeouts)) {
        error = path + ": not a serial port (" + win32ErrorText(::GetLastError()) + ")";
        return false;
    }
    s.port = std::move(port);
    return true;
}

void purgeLine(PortSession& s) {
    ::PurgeComm(portOf(s), PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
}

void closeLine(PortSession& s) {
    s.port.reset();
}

void clearWakes(PortSession& s) {
    if (s.readWake) ::ResetEvent(static_cast<HANDLE>(s.readWake.handle()));
    if (s.writeWake) ::ResetEvent(static_cast<HANDLE>(s.writeWake.handle()));
}

void wakeSession(PortSession& s) {
    if (s.readWake) ::SetEvent(static_cast<HANDLE>(s.readWake.handle()));
    if (s.writeWake) ::SetEvent(static_cast<HANDLE>(s.writeWake.handle()));
}

int applyLineSettings(WindowId window) {
    PortSession* s = sessionOf(window);
    if (!s || !s->port) return 0;
    const HANDLE h = portOf(*s);
    DCB d{};
    d.DCBlength = sizeof d;
    if (!::GetCommState(h, &d) || !fillDcb(*s, d)) return 0;
    // Only reading the settings back tells whether the device took them all.
    DCB got{};
    got.DCBlength = sizeof got;
    if (!::SetCommState(h, &d) || !::GetCommState(h, &got) || !sameLineSettings(d, got)) return 0;
    return 1;
}

void notifyExternalTerminal(bool afterDisconnect) {
    const std::string cmd = externalTerminalCommand();
    if (cmd.empty()) return;
    // Run without a shell, so nothing in the configured text is interpreted; waited for as the window
    // message this stands in for was sent synchronously, but never past 2 s (a process that outlives
    // the wait goes on by itself: Windows leaves nothing to reap).
    std::wstring line = L"\"" + widePath(cmd) + L"\" " + (afterDisconnect ? L"400" : L"401");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(widePath(cmd).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &si, &pi))
        return;
    ::WaitForSingleObject(pi.hProcess, 2000);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}

}  // namespace dl
