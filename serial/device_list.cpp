#include "serial/device_list.h"

#ifdef _WIN32
#include <windows.h>

#include "base/win32.h"
#else
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "base/profile.h"
#include "base/unique_fd.h"
#include "session/session.h"

namespace dl {

namespace fs = std::filesystem;

#ifndef _WIN32
bool uartAnswers(const std::string& path) {
    // Non-blocking: an open that waits for carrier would stall the listing on a modem line.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return false;
    serial_struct info{};
    return ::ioctl(fd.get(), TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
}
#else
// A COM name the system lists is a port that is there; one another program holds answers too.
bool uartAnswers(const std::string& path) {
    HANDLE h = ::CreateFileW(widePath("\\\\.\\" + path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_ACCESS_DENIED;
    ::CloseHandle(h);
    return true;
}
#endif

namespace {

// The number after `prefix` when the whole rest is digits, else -1.
long numberAfter(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix) || name.size() == prefix.size() || name.size() - prefix.size() > 6)
        return -1;
    long n = 0;
    for (char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

#ifndef _WIN32
std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    return names;
}

void addByName(const std::string& devRoot, std::vector<SerialDevice>& out) {
    const fs::path folder = fs::path(devRoot) / "serial" / "by-id";
    std::vector<std::string> names = namesIn(folder);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const fs::path link = folder / name;
        std::error_code ec;
        fs::path target = fs::canonical(link, ec);
        out.push_back(
            {SerialDevice::Kind::usbByName, link.string(), name, ec ? std::string() : target.string()});
    }
}

void addNumbered(const std::string& devRoot, std::string_view prefix, SerialDevice::Kind kind,
                 UartProbe probe, std::vector<SerialDevice>& out) {
    std::vector<std::pair<long, std::string>> found;
    for (const std::string& name : namesIn(devRoot))
        if (const long n = numberAfter(name, prefix); n >= 0) found.emplace_back(n, name);
    std::sort(found.begin(), found.end());
    for (const auto& [n, name] : found) {
        const std::string path = (fs::path(devRoot) / name).string();
        if (probe && !probe(path)) continue;
        out.push_back({kind, path, name, path});
    }
}

#endif

}  // namespace

#ifdef _WIN32
// The COMn names the system's device namespace holds now (USB adapters among them while plugged in),
// in number order; `devRoot` has no meaning here.
std::vector<SerialDevice> listSerialDevices(const std::string&, UartProbe probe) {
    std::vector<wchar_t> names(1 << 16);
    DWORD n = 0;
    while ((n = ::QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()))) == 0 &&
           ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 22))
        names.resize(names.size() * 2);
    std::vector<std::pair<long, std::string>> found;
    for (size_t at = 0; at < n && names[at] != L'\0';) {
        const std::wstring name(names.data() + at);
        at += name.size() + 1;
        const std::string narrow = narrowPath(name);
        if (const long number = numberAfter(narrow, "COM"); number >= 0) found.emplace_back(number, narrow);
    }
    std::sort(found.begin(), found.end());
    std::vector<SerialDevice> out;
    for (const auto& [number, name] : found) {
        if (probe && !probe(name)) continue;
        out.push_back({SerialDevice::Kind::builtIn, name, name, name});
    }
    return out;
}
#else
std::vector<SerialDevice> listSerialDevices(const std::string& devRoot, UartProbe probe) {
    std::vector<SerialDevice> out;
    addByName(devRoot, out);
    addNumbered(devRoot, "ttyUSB", SerialDevice::Kind::usb, nullptr, out);
    addNumbered(devRoot, "ttyACM", SerialDevice::Kind::acm, nullptr, out);
    addNumbered(devRoot, "ttyS", SerialDevice::Kind::builtIn, probe, out);
    return out;
}
#endif

bool storeDeviceChoice(Profile& profile, int portNumber, const std::string& device) {
    if (portNumber < 1 || portNumber >= kSessionSlots) return false;
    const std::string key = "COM" + std::to_string(portNumber);
    if (device.empty()) {
        profile.remove("Devices", key);
        return true;
    }
    return profile.set("Devices", key, device);
}

}  // namespace dl
