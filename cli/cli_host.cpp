#include "cli_host.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>

#include "app/dispatch.h"
#include "serial/port.h"
#include "session/session.h"

namespace dl::cli {

namespace {

#ifdef _WIN32
// Asks on the console; without one (a script) the answer is no.
bool askYesNo() {
    FILE* in = std::fopen("CONIN$", "r");
    FILE* out = std::fopen("CONOUT$", "w");
    bool yes = false;
    if (in && out) {
        std::fputs("Yes or No? [y/N] ", out);
        std::fflush(out);
        char line[16] = {};
        yes = std::fgets(line, sizeof line, in) && (line[0] == 'y' || line[0] == 'Y');
    }
    if (in) std::fclose(in);
    if (out) std::fclose(out);
    return yes;
}

NativeHandle makeWake() {
    // The box's bytes go to stdout as they came: no LF to CR LF on the way.
    ::_setmode(1, _O_BINARY);
    return reinterpret_cast<NativeHandle>(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

void setWake(const LineHandle& wake) {
    ::SetEvent(static_cast<HANDLE>(wake.handle()));
}

void clearWake(const LineHandle& wake) {
    ::ResetEvent(static_cast<HANDLE>(wake.handle()));
}

long writeOut(const uint8_t* bytes, size_t n) {
    return ::_write(1, bytes, static_cast<unsigned>(n));
}
#else
// Asks on the controlling terminal; without one (a script) the answer is no.
bool askYesNo() {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty) return false;
    std::fputs("Yes or No? [y/N] ", tty);
    std::fflush(tty);
    char line[16] = {};
    bool yes = std::fgets(line, sizeof line, tty) && (line[0] == 'y' || line[0] == 'Y');
    std::fclose(tty);
    return yes;
}

NativeHandle makeWake() {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void setWake(const LineHandle& wake) {
    const uint64_t one = 1;
    (void)!::write(wake.get(), &one, sizeof one);
}

void clearWake(const LineHandle& wake) {
    uint64_t v;
    (void)!::read(wake.get(), &v, sizeof v);
}

long writeOut(const uint8_t* bytes, size_t n) {
    return ::write(STDOUT_FILENO, bytes, n);
}
#endif

}  // namespace

void dispatch(const Posted& p) {
    if (p.window == 0)
        frameCommand(p.command, p.param);
    else
        sessionCommand(p.window, p.command, p.param);
}

CliHost::CliHost() : wake_(makeWake()) {
    auto& h = windowHost();
    h = WindowHost{};
    h.postCommand = [this](WindowId w, uint16_t c, intptr_t p) { post({w, c, p}); };
    h.textShown = [this](WindowId, const uint8_t* b, size_t n) { show(b, n); };
    h.setTitle = [](WindowId, const std::string&) {};
    h.chooseFile = [this](FileChoice& choice) {
        std::lock_guard lock(m_);
        if (chosenFile_.empty()) return false;
        choice.path = chosenFile_;
        return true;
    };
    h.messageBox = [this](WindowId owner, const std::string& text, const std::string& title, MessageIcon,
                          MessageButtons buttons, const std::string& detail) {
        FILE* out = owner == 0 ? stdout : stderr;
        std::fprintf(out, "\n[%s] %s\n", title.c_str(), text.c_str());
        if (!detail.empty()) std::fprintf(out, "%s\n", detail.c_str());
        std::fflush(out);
        return answer(title, buttons);
    };
    // The tool's one session window: it exists from its opening to the end of the run.
    h.openSessionWindow = [this](const std::string&, int slot) -> WindowId {
        if (createSession(kCliWindow, slot) != 1) return 0;
        sessionTable[static_cast<size_t>(slot)].baudRate = baud_;
        return kCliWindow;
    };
    h.activeSessionWindow = [] { return sessionOf(kCliWindow) ? kCliWindow : WindowId{0}; };
    h.sessionWindows = [] {
        return sessionOf(kCliWindow) ? std::vector<WindowId>{kCliWindow} : std::vector<WindowId>{};
    };
    h.closeWindow = [](WindowId w) {
        if (!sessionMayClose(w)) return false;
        if (PortSession* s = sessionOf(w); s && s->connected.load()) {
            disconnectPort(w);
            notifyExternalTerminal(true);
        }
        destroySession(w);
        return true;
    };
}

void CliHost::setChosenFile(const std::string& path) {
    std::lock_guard lock(m_);
    chosenFile_ = path;
}

void CliHost::setAnswer(const std::string& title, MessageAnswer a) {
    std::lock_guard lock(m_);
    answers_.emplace_back(title, a);
}

bool CliHost::shown(const std::string& title) {
    std::lock_guard lock(m_);
    return std::find(titlesShown_.begin(), titlesShown_.end(), title) != titlesShown_.end();
}

MessageAnswer CliHost::answer(const std::string& title, MessageButtons buttons) {
    {
        std::lock_guard lock(m_);
        titlesShown_.push_back(title);
        for (const auto& [t, a] : answers_) {
            if (t == title) return a;
        }
    }
    if (!asksYesNo(buttons)) return MessageAnswer::ok;
    if (assumeYes_) return MessageAnswer::yes;
    return askYesNo() ? MessageAnswer::yes : MessageAnswer::no;
}

CliHost::~CliHost() {
    windowHost() = WindowHost{};
}

void CliHost::setEcho(bool on) {
    std::lock_guard lock(m_);
    echo_ = on;
}

void CliHost::post(const Posted& p) {
    {
        std::lock_guard lock(m_);
        queue_.push_back(p);
    }
    setWake(wake_);
}

std::optional<Posted> CliHost::nextPosted() {
    clearWake(wake_);
    std::lock_guard lock(m_);
    if (queue_.empty()) return std::nullopt;
    Posted p = queue_.front();
    queue_.pop_front();
    if (!queue_.empty()) setWake(wake_);
    return p;
}

void CliHost::show(const uint8_t* bytes, size_t n) {
    {
        std::lock_guard lock(m_);
        if (!echo_) return;
    }
    // Unbuffered: what the box prints must appear as it arrives.
    size_t done = 0;
    while (done < n) {
        const long k = writeOut(bytes + done, n - done);
        if (k <= 0) return;
        done += static_cast<size_t>(k);
    }
}

}  // namespace dl::cli
