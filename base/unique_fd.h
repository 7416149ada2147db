// A move-only owner of a POSIX descriptor, closed exactly once. Port, wake-up and file descriptors all
// live in these so that no path can close a descriptor twice or leak one. On Windows it owns a C
// runtime descriptor of a file (the port and its events are HANDLEs there: base/unique_handle.h).
#pragma once

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <utility>

namespace dl {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
#ifdef _WIN32
        if (fd_ >= 0) ::_close(fd_);
#else
        if (fd_ >= 0) ::close(fd_);
#endif
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace dl
