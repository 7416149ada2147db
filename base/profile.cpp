#include "base/profile.h"

#ifdef _WIN32
#include <windows.h>

#include "base/win32.h"
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/text_case.h"

namespace dl {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t\v\f\r";

std::string_view trim(std::string_view s) {
    size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool sameName(std::string_view a, std::string_view b) {
    return asciiEqualNoCase(a, b);
}

// What one line of the file is. Names and values point into the line.
struct LineView {
    enum Kind { other, header, entry } kind = other;
    std::string_view name, value;
};

LineView classify(std::string_view line) {
    std::string_view body = trim(line);
    if (body.empty() || body.front() == ';') return {};
    if (body.front() == '[') {
        size_t close = body.find(']');
        if (close == std::string_view::npos) return {};
        return {LineView::header, trim(body.substr(1, close - 1)), {}};
    }
    size_t eq = body.find('=');
    if (eq == std::string_view::npos || eq == 0) return {};
    return {LineView::entry, trim(body.substr(0, eq)), trim(body.substr(eq + 1))};
}

// Walks the lines and calls visit(index, view, inSection) for each, where inSection tells whether the
// line lies in a section named `section`. visit returns false to stop.
template <typename Visit>
void walk(const std::vector<std::string>& lines, std::string_view section, Visit visit) {
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        LineView v = classify(lines[i]);
        if (v.kind == LineView::header) inSection = sameName(v.name, section);
        if (!visit(i, v, inSection)) return;
    }
}

std::optional<size_t> findEntry(const std::vector<std::string>& lines, std::string_view section,
                                std::string_view key) {
    std::optional<size_t> found;
    walk(lines, section, [&](size_t i, const LineView& v, bool inSection) {
        if (inSection && v.kind == LineView::entry && sameName(v.name, key)) found = i;
        return !found;
    });
    return found;
}

// Where a new key of `section` goes: after the last key (or the header) of the first section of that
// name; none when the file has no such section.
std::optional<size_t> insertionPoint(const std::vector<std::string>& lines, std::string_view section) {
    std::optional<size_t> at;
    bool seen = false;
    walk(lines, section, [&](size_t i, const LineView& v, bool inSection) {
        if (seen && !inSection) return false;  // the first such section has ended
        if (inSection && (v.kind != LineView::other || !seen)) at = i + 1;
        seen = seen || inSection;
        return true;
    });
    return at;
}

bool holdable(std::string_view section, std::string_view key, std::string_view value) {
    auto hasBreak = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
    if (hasBreak(section) || hasBreak(key) || hasBreak(value)) return false;
    if (section.empty() || section.find(']') != std::string_view::npos) return false;
    return !key.empty() && key.find('=') == std::string_view::npos && key.front() != '[' &&
           key.front() != ';';
}

// The leading decimal number of a value, read as the platform's profile functions read it: an optional
// sign, then digits accumulated modulo 2^32.
int leadingInt(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    uint32_t total = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        total = total * 10u + static_cast<uint32_t>(text[i] - '0');
    return static_cast<int>(negative ? 0u - total : total);
}

#ifdef _WIN32
// Writes `data` to a new file beside `target` and moves it over `target` (MoveFileEx replaces an existing
// file in one step, as rename does on POSIX). Each step must succeed before the old file is touched; on
// any failure the temporary file is removed.
bool replaceFile(const fs::path& target, std::string_view data) {
    static std::atomic<unsigned> serial{0};
    fs::path temp = target;
    temp += ".tmp-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(serial++);
    HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    while (ok && !data.empty()) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 20));
        ok = ::WriteFile(h, data.data(), chunk, &n, nullptr) && n > 0;
        data.remove_prefix(n);
    }
    ok = ok && ::FlushFileBuffers(h);
    ok = ::CloseHandle(h) && ok;
    ok = ok && ::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) ::DeleteFileW(temp.c_str());
    return ok;
}

// The whole of a settings file, or why it is refused; an absent file is an empty one.
std::optional<std::string> readSettingsFile(const std::string& path, std::string& why) {
    HANDLE h = ::CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return std::string();
        why = win32ErrorText(e);
        return std::nullopt;
    }
    struct Closer {
        HANDLE h;
        ~Closer() { ::CloseHandle(h); }
    } closer{h};
    LARGE_INTEGER size{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileSizeEx(h, &size)) {
        why = "not a regular file";
        return std::nullopt;
    }
    if (static_cast<uint64_t>(size.QuadPart) > Profile::kMaxSize) {
        why = "larger than " + std::to_string(Profile::kMaxSize / 1024) + " KiB";
        return std::nullopt;
    }
    std::string content(static_cast<size_t>(size.QuadPart), '\0');
    DWORD n = 0;
    if (!content.empty() && !::ReadFile(h, content.data(), static_cast<DWORD>(content.size()), &n, nullptr)) {
        why = win32ErrorText(::GetLastError());
        return std::nullopt;
    }
    content.resize(n);
    return content;
}
#else
bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Writes `data` to a new file beside `target` and renames it over `target`. Each step must succeed
// before the old file is touched; on any failure the temporary file is removed.
bool replaceFile(const fs::path& target, std::string_view data) {
    static std::atomic<unsigned> serial{0};
    fs::path temp = target;
    temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct stat old {};
    bool ok = true;
    if (::stat(target.c_str(), &old) == 0) ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    ok = ok && writeAll(fd, data) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; the new file is already complete, so a failure here is not one.
    int dir = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

#endif

}  // namespace

Profile Profile::parse(std::string_view text) {
    Profile p;
    if (text.starts_with(kBom)) {
        p.byteOrderMark = true;
        text.remove_prefix(kBom.size());
    }
    size_t firstBreak = text.find('\n');
    p.crlf = firstBreak != std::string_view::npos && firstBreak > 0 && text[firstBreak - 1] == '\r';
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        p.lines.emplace_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return p;
}

Profile Profile::load(const std::string& path, std::string* refusal) {
#ifdef _WIN32
    if (refusal) refusal->clear();
    std::string why;
    std::optional<std::string> content = readSettingsFile(path, why);
    if (!content) {
        if (refusal) *refusal = std::move(why);
        return Profile{};
    }
    return parse(*content);
#else
    auto refuse = [&](std::string why) {
        if (refusal) *refusal = std::move(why);
        return Profile{};
    };
    if (refusal) refusal->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? Profile{} : refuse(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refuse(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return refuse("not a regular file");
    if (static_cast<uint64_t>(st.st_size) > kMaxSize)
        return refuse("larger than " + std::to_string(kMaxSize / 1024) + " KiB");
    std::string content;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refuse(std::strerror(errno));
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
        if (content.size() > kMaxSize)
            return refuse("larger than " + std::to_string(kMaxSize / 1024) + " KiB");
    }
    return parse(content);
#endif
}

std::string Profile::text() const {
    std::string out = byteOrderMark ? std::string(kBom) : std::string();
    for (const std::string& line : lines) {
        out += line;
        out += crlf ? "\r\n" : "\n";
    }
    return out;
}

std::optional<std::string> Profile::get(std::string_view section, std::string_view key) const {
    std::optional<size_t> at = findEntry(lines, trim(section), trim(key));
    if (!at) return std::nullopt;
    return std::string(classify(lines[*at]).value);
}

int Profile::getInt(std::string_view section, std::string_view key, int def) const {
    std::optional<std::string> value = get(section, key);
    if (!value || value->empty()) return def;
    return leadingInt(*value);
}

std::string Profile::getString(std::string_view section, std::string_view key, std::string_view def) const {
    return get(section, key).value_or(std::string(def));
}

bool Profile::set(std::string_view section, std::string_view key, std::string_view value) {
    section = trim(section);
    key = trim(key);
    if (!holdable(section, key, value)) return false;
    if (std::optional<size_t> at = findEntry(lines, section, key)) {
        // Rewritten in the spelling the file already uses for the key.
        lines[*at] = std::string(classify(lines[*at]).name) + "=" + std::string(value);
        return true;
    }
    std::string entry = std::string(key) + "=" + std::string(value);
    if (std::optional<size_t> at = insertionPoint(lines, section)) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*at), std::move(entry));
        return true;
    }
    if (!lines.empty() && !trim(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + std::string(section) + "]");
    lines.push_back(std::move(entry));
    return true;
}

bool Profile::setInt(std::string_view section, std::string_view key, int value) {
    return set(section, key, std::to_string(value));
}

bool Profile::setUnsigned(std::string_view section, std::string_view key, uint32_t value) {
    return set(section, key, std::to_string(value));
}

void Profile::remove(std::string_view section, std::string_view key) {
    while (std::optional<size_t> at = findEntry(lines, trim(section), trim(key)))
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*at));
}

bool Profile::save(const std::string& path) const {
    if (path.empty()) return false;
    std::error_code ec;
#ifdef _WIN32
    fs::path target = widePath(path);
#else
    fs::path target = path;
#endif
    // A settings file that is a link (kept with other dotfiles, say) is written where the link points,
    // so that the rename does not replace the link by a plain file.
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        fs::path resolved = fs::canonical(target, ec);
        if (!ec) target = resolved;
    }
    target = fs::absolute(target, ec);
    if (ec) return false;
    fs::create_directories(target.parent_path(), ec);
    return replaceFile(target, text());
}

std::string defaultSettingsPath() {
#ifdef _WIN32
    // The roaming application data folder, as Windows programs keep their settings.
    const wchar_t* appData = ::_wgetenv(L"APPDATA");
    fs::path base = appData && appData[0] ? fs::path(appData) : fs::path(L".");
    return narrowPath((base / L"downloader" / L"corvane.ini").wstring());
#else
    const char* config = std::getenv("XDG_CONFIG_HOME");
    fs::path base;
    if (config && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !home[0]) {
            const passwd* pw = ::getpwuid(::getuid());
            home = pw ? pw->pw_dir : "";
        }
        base = fs::path(home) / ".config";
    }
    return (base / "downloader" / "corvane.ini").string();
#endif
}

}  // namespace dl
