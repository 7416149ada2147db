#include "exit_signals.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace dl::gui {

// Windows sends a desktop program no SIGTERM or SIGINT (closing it comes as a window's close), so there
// the object does nothing.
#ifndef _WIN32
namespace {

int wakePipe[2] = {-1, -1};
std::atomic<int> signalsSeen{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "the handler's counter must be safe in a signal handler");

constexpr int kSignals[] = {SIGTERM, SIGINT};

extern "C" void onExitSignal(int sig) {
    if (signalsSeen.fetch_add(1) > 0) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
    errno = saved;
}

}  // namespace
#endif

ExitSignals::ExitSignals(std::function<void()> exitRequested, QObject* parent)
    : QObject(parent), exitRequested_(std::move(exitRequested)) {
#ifndef _WIN32
    if (wakePipe[0] < 0 && ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    signalsSeen = 0;
    notifier_ = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ExitSignals::received);
    waitForDialogs_ = new QTimer(this);
    waitForDialogs_->setInterval(100);
    connect(waitForDialogs_, &QTimer::timeout, this, [this] {
        if (QApplication::activeModalWidget() || QApplication::activePopupWidget()) return;
        waitForDialogs_->stop();
        if (exitRequested_) exitRequested_();
    });
    struct sigaction action {};
    action.sa_handler = onExitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : kSignals) ::sigaction(sig, &action, nullptr);
#endif
}

ExitSignals::~ExitSignals() {
#ifndef _WIN32
    for (int sig : kSignals) std::signal(sig, SIG_DFL);
#endif
}

void ExitSignals::received() {
#ifndef _WIN32
    char drain[16];
    while (::read(wakePipe[0], drain, sizeof drain) > 0) {
    }
    waitForDialogs_->start();
#endif
}

}  // namespace dl::gui
