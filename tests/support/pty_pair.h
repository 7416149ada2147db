// A pseudo-terminal pair for tests: the master stands for the box's end of the cable, the slave's path
// is what the session opens as its port.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace dl::test {

class PtyPair {
public:
    PtyPair() {
        master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
        if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) return;
        char name[128];
        if (::ptsname_r(master_.get(), name, sizeof name) != 0) return;
        slavePath_ = name;
        // Keep one slave descriptor open in raw mode, so the line stays 8-bit clean and the master does
        // not see a hang-up between the test's opens and closes.
        keeper_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios t{};
        if (keeper_ && ::tcgetattr(keeper_.get(), &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(keeper_.get(), TCSANOW, &t);
        }
    }
    bool ok() const { return master_.valid() && keeper_.valid(); }
    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_.get(); }

    // Lets the far side vanish: the master goes, so the slave reads EIO and polls POLLHUP.
    void hangUp() {
        keeper_.reset();
        master_.reset();
    }
    void dropKeeper() { keeper_.reset(); }

    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                waitFor(POLLOUT, 1000);
        }
    }

    // Reads what arrives from the session until `count` bytes came or the timeout passed.
    std::string receive(size_t count, int timeoutMs = 2000) {
        std::string out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !waitFor(POLLIN, static_cast<int>(left.count()))) break;
            char buf[4096];
            ssize_t n = ::read(master_.get(), buf, std::min(sizeof buf, count - out.size()));
            if (n > 0) out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

private:
    bool waitFor(short events, int timeoutMs) {
        pollfd p{master_.get(), events, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }

    UniqueFd master_;
    UniqueFd keeper_;
    std::string slavePath_;
};

}  // namespace dl::test
