#include "exchange/file_choice.h"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>

#include <filesystem>

#include "base/win32.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/texts.h"
#include "exchange/exchange_watch.h"

namespace dl {

std::string lastImageDirectory;

int chooseOpenFile(const std::string& initialDir, WindowId owner, std::string& path, size_t capacity,
                   const std::string& title, bool mustExist, bool forSaving) {
    FileChoice choice;
    choice.owner = owner;
    choice.initialDir = initialDir;
    choice.path = path;
    choice.capacity = capacity;
    choice.title = title;
    choice.mustExist = mustExist;
    choice.forSaving = forSaving;
    bool chosen;
    {
        const ExchangeWatchPause pause;  // a box that asked for the image waits for the user
        chosen = hostChooseFile(choice);
    }
    if (chosen && !choice.path.empty() && choice.path.size() < capacity) {
        path = choice.path;
        return 1;
    }
    hostMessageBox(0, path, std::string(text(Text::zentuErrorTitle)), MessageIcon::warning,
                   MessageButtons::ok);
    if (PortSession* s = sessionOf(owner)) s->programming = 0;
    return 0;
}

#ifdef _WIN32
int openForReading(const std::string& path, UniqueFd& fd, struct stat& st) {
    std::error_code ec;
    if (std::filesystem::is_directory(widePath(path), ec)) return EISDIR;
    // Binary: the C runtime would otherwise turn CR LF into LF and stop at the first Ctrl-Z.
    UniqueFd opened(::_wopen(widePath(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT | _O_SEQUENTIAL));
    if (!opened || ::fstat(opened.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return kNotARegularFile;
    fd = std::move(opened);
    return 0;
}
#else
int openForReading(const std::string& path, UniqueFd& fd, struct stat& st) {
    // Opened without blocking: a FIFO chosen by mistake would otherwise hold the open until some
    // program writes into it. The reads of a regular file never block anyway.
    UniqueFd opened(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened || ::fstat(opened.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : kNotARegularFile;
    ::fcntl(opened.get(), F_SETFL, ::fcntl(opened.get(), F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(opened.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    fd = std::move(opened);
    return 0;
}
#endif

int64_t readAt(int fd, void* buffer, size_t count, int64_t offset) {
#ifdef _WIN32
    if (::_lseeki64(fd, offset, SEEK_SET) != offset) return -1;
    return ::_read(fd, buffer, static_cast<unsigned>(std::min<size_t>(count, 1u << 30)));
#else
    return ::pread(fd, buffer, count, static_cast<off_t>(offset));
#endif
}

std::string openFailureText(int error) {
    if (error == kNotARegularFile) return "not a regular file (a device, a FIFO or a socket)";
    return std::strerror(error);
}

std::string formatThousands(uint32_t value) {
    std::string digits = std::to_string(value);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

std::string directoryOf(const std::string& path) {
    auto slash = path.find_last_of(kSeparators);
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string describeFile(const std::string& path, const struct stat& st, uint32_t size) {
    auto slash = path.find_last_of(kSeparators);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::tm local{};
    time_t when = st.st_mtime;
#ifdef _WIN32
    // The drive goes before the name (C:image.img).
    if (path.size() > 1 && path[1] == ':' && slash != std::string::npos) name = path.substr(0, 2) + name;
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    char line[160];
    std::snprintf(line, sizeof line, "%s  %u-%u-%u  %u:%02u:%02u  %s", name.c_str(),
                  static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
                  static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
                  static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec),
                  formatThousands(size).c_str());
    return line;
}

}  // namespace dl
