// The three transfers of downloader-cli on the same core as the desktop program: the tool stands in
// for the windows, answering the file choice from the command line and handling the commands the
// core posts, and says how the exchange ended through its exit code.
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "base/win32.h"
#else
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

#include "app/demo_box.h"
#include "app/dispatch.h"
#include "base/commands.h"
#include "base/texts.h"
#include "cli_session.h"
#include "exchange/data_stream.h"
#include "exchange/exchange_watch.h"
#include "exchange/handlers.h"
#include "exchange/sector_sender.h"
#include "protocol/outcome.h"
#include "protocol/programming.h"
#include "protocol/transfer.h"
#include "serial/port.h"
#include "serial/port_write.h"
#include "session/protocol_state.h"
#include "session/session.h"

namespace dl::cli {

namespace {

using Clock = std::chrono::steady_clock;

PortSession& session() {
    return *sessionOf(kCliWindow);
}

std::string elapsedText(Clock::time_point start) {
    auto s = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    char text[16];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60),
                  static_cast<long long>(s % 60));
    return text;
}

// Progress on stderr: a redrawn bar on a terminal, one line per change otherwise.
class Progress {
public:
#ifdef _WIN32
    explicit Progress(const char* what) : what_(what), tty_(::_isatty(2)) {}
#else
    explicit Progress(const char* what) : what_(what), tty_(::isatty(STDERR_FILENO)) {}
#endif
    void show(uint32_t percent, uint32_t bytes) {
        if (percent == last_) return;
        last_ = percent;
        if (!started_) start_ = Clock::now(), started_ = true;
        if (tty_) {
            const int width = 40, filled = static_cast<int>(std::min<uint32_t>(percent, 100) * width / 100);
            std::fprintf(stderr, "\r%s [%.*s%*s] %3u%%  %s  %u bytes", what_, filled,
                         "########################################", width - filled, "", percent,
                         elapsedText(start_).c_str(), bytes);
        } else {
            std::fprintf(stderr, "%s %u%% %s %u bytes\n", what_, percent, elapsedText(start_).c_str(), bytes);
        }
    }
    void finish() {
        if (tty_ && started_) std::fputc('\n', stderr);
    }

private:
    const char* what_;
    bool tty_;
    bool started_ = false;
    Clock::time_point start_;
    uint32_t last_ = ~0u;
};

// Hands posted commands to the dispatcher and then to the run's own observer, until the observer
// says the run is over (an exit code >= 0) or a signal arrives. The core's exchange watch runs on each
// turn: a box that goes quiet ends the exchange with cmdExchangeEnded, as in the desktop program.
// What one turn of the loop found set: a posted command, a signal, a stopped log.
struct Ready {
    bool posted = false, signal = false, logFailed = false, failed = false;
};

#ifdef _WIN32
bool isSet(NativeHandle event) {
    return ::WaitForSingleObject(reinterpret_cast<HANDLE>(event), 0) == WAIT_OBJECT_0;
}

Ready waitTurn(CliHost& host, int timeoutMs) {
    const HANDLE events[3] = {reinterpret_cast<HANDLE>(host.wakeFd()), reinterpret_cast<HANDLE>(signalFd()),
                              reinterpret_cast<HANDLE>(logFailureFd())};
    Ready r;
    if (::WaitForMultipleObjects(3, events, FALSE, static_cast<DWORD>(timeoutMs)) == WAIT_FAILED) {
        r.failed = true;
        return r;
    }
    r.posted = isSet(host.wakeFd());
    r.signal = isSet(signalFd());
    r.logFailed = isSet(logFailureFd());
    return r;
}
#else
Ready waitTurn(CliHost& host, int timeoutMs) {
    pollfd fds[3] = {{host.wakeFd(), POLLIN, 0}, {signalFd(), POLLIN, 0}, {logFailureFd(), POLLIN, 0}};
    Ready r;
    if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR) {
        r.failed = true;
        return r;
    }
    r.posted = fds[0].revents & POLLIN;
    r.signal = fds[1].revents & POLLIN;
    r.logFailed = fds[2].revents & POLLIN;
    return r;
}
#endif

// Posts and signals wake the loop at once; the tick moves the progress line once a second and wakes
// the watch when its timeout could be up (at ten ticks a second, the ticks were most of what a send
// cost the tool).
constexpr std::chrono::milliseconds kTick{1000};

int runLoop(CliHost& host, std::function<int(const Posted&)> onPosted, std::function<void()> onTick) {
    for (;;) {
        const auto due = std::clamp(exchangeWatchDue(), std::chrono::milliseconds(10), kTick);
        const Ready ready = waitTurn(host, static_cast<int>(due.count()));
        if (ready.failed) return kExitAbandoned;
        if (ready.signal) {
            std::fprintf(stderr, "\n%s\n", formatText(Text::cliInterrupted).c_str());
            return kExitAbandoned;
        }
        if (ready.logFailed) reportLogFailure();
        if (ready.posted) {
            while (auto p = host.nextPosted()) {
                dispatch(*p);
                if (p->command == cmdLineLost) {
                    // The box may hang up right after its last word: let what it said before count.
                    while (auto q = host.nextPosted()) {
                        dispatch(*q);
                        if (int code = onPosted(*q); code >= 0) return code;
                    }
                    return kExitPort;
                }
                if (int code = onPosted(*p); code >= 0) return code;
            }
        }
        exchangeTick();
        onTick();
    }
}

// The watch gave the exchange up: its line on stderr, and the tool's exit code for it.
int stalled(Text line, int seconds = 0) {
    std::fprintf(stderr, "%s\n", formatText(line, seconds).c_str());
    return kExitAbandoned;
}

bool isStall(const Posted& p) {
    return p.command == cmdExchangeEnded && lastOutcome().kind == OutcomeKind::noAnswer;
}

// The exit code of an exchange that ended without its result.
int exitFor(const ExchangeOutcome& o) {
    if (o.kind == OutcomeKind::completed) return kExitOk;
    return o.kind == OutcomeKind::lineLost ? kExitPort : kExitAbandoned;
}

uint16_t commandFor(ProgrammingCommand kind) {
    switch (kind) {
        case ProgrammingCommand::all:
            return cmdUpdateAll;
        case ProgrammingCommand::cardless:
            return cmdUpdateCardless;
        case ProgrammingCommand::m5:
            return cmdUpdateM5;
        default:
            return cmdUpdateSafe;
    }
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int runProgram(const Options& o, CliHost& host, ProgrammingCommand kind, const std::string& image,
               bool assumeYes, int timeoutSeconds) {
    if (!fileExists(image)) {
        std::fprintf(stderr, "%s\n", formatText(Text::cliNoImage, image.c_str()).c_str());
        return kExitUsage;
    }
    host.setAssumeYes(assumeYes);
    host.setChosenFile(image);
    installProtocolHandlers();  // before the reader starts: it reads them
    if (!openSession(o, host)) return kExitPort;
    host.setEcho(false);
    setExchangeTimeout(std::chrono::seconds(timeoutSeconds));
    Progress progress("programming");
    int result = kExitAbandoned;
    if (sessionCommand(kCliWindow, commandFor(kind), 0) == 0) {
        std::fprintf(stderr, "%s\n", formatText(Text::cliCommandNotSent).c_str());
    } else {
        bool started = false;
        result = runLoop(
            host,
            [&](const Posted& p) -> int {
                if (isStall(p)) {
                    progress.finish();
                    return stalled(lastOutcome().begun ? Text::cliStoppedAsking : Text::cliNoAnswer);
                }
                if (p.command == cmdUpload) {
                    started = session().transferActive.load();
                    if (!started) {
                        std::fprintf(stderr, "%s\n", formatText(Text::cliImageNotTaken).c_str());
                        return kExitAbandoned;
                    }
                }
                if (p.command == cmdSenderEnded) {
                    progress.finish();
                    if (p.param == senderStopped) return -1;  // the line went first; reported as such
                    if (p.param == senderImageShort) return kExitAbandoned;  // the box said which sector
                    std::printf("%s\n",
                                formatText(Text::cliSectorsSent, unsigned(session().sectorsSent.load()),
                                           unsigned(session().bytesSent.load()))
                                    .c_str());
                    return kExitOk;
                }
                return -1;
            },
            [&] {
                if (started) progress.show(session().percent.load(), session().bytesSent.load());
            });
    }
    closeSession();
    return result;
}

int runSend(const Options& o, CliHost& host, const std::string& file, int timeoutSeconds) {
    if (!fileExists(file)) {
        std::fprintf(stderr, "%s\n", formatText(Text::cliNoFile, file.c_str()).c_str());
        return kExitUsage;
    }
    host.setChosenFile(file);
    installProtocolHandlers();  // before the reader starts: it reads them
    if (!openSession(o, host)) return kExitPort;
    host.setEcho(false);
    setExchangeTimeout(std::chrono::seconds(timeoutSeconds));
    Progress progress("sending");
    if (sessionCommand(kCliWindow, cmdUpdateChannelData, 0) == 0) {
        std::fprintf(stderr, "%s\n", formatText(Text::cliNotOffered).c_str());
        closeSession();
        return kExitAbandoned;
    }
    int result = runLoop(
        host,
        [&](const Posted& p) -> int {
            if (p.command == cmdSendNotify && p.param == 0) progress.finish();
            if (isStall(p)) {
                progress.finish();
                return stalled(Text::cliNoAnswer);
            }
            if (p.command == cmdExchangeEnded) return exitFor(lastOutcome());
            return -1;
        },
        [&] {
            if (session().transferActive.load())
                progress.show(session().percent.load(), session().bytesSent.load());
        });
    closeSession();
    return result;
}

int runReceive(const Options& o, CliHost& host, const std::string& outFile, int timeoutSeconds,
               const std::string& request) {
    installProtocolHandlers();  // before the reader starts: it reads them
    // The upload is saved to OUTFILE; a save that fails is said and not tried again.
    host.setChosenFile(outFile);
    host.setAnswer("Data Receiving Done", MessageAnswer::yes);
    host.setAnswer("Data Saving Failed", MessageAnswer::no);
    if (!openSession(o, host)) return kExitPort;
    host.setEcho(false);
    setExchangeTimeout(std::chrono::seconds(timeoutSeconds));
    // The tool is there to take an upload: a box that never starts one is given up as one that stops.
    expectExchange(kCliWindow, ExchangeKind::dataReceive);
    for (char c : request + "\r") {
        if (request.empty()) break;
        typeChar(kCliWindow, static_cast<uint8_t>(c));
    }
    Progress progress("receiving");
    int result = runLoop(
        host,
        [&](const Posted& p) -> int {
            if (p.command == cmdReceiveNotify && p.param != 0) progress.finish();
            if (isStall(p)) {
                progress.finish();
                return stalled(Text::cliNoData, timeoutSeconds);
            }
            if (p.command == cmdExchangeEnded) {
                const ExchangeOutcome outcome = lastOutcome();
                if (outcome.kind == OutcomeKind::completed && host.shown("Data Saving Failed"))
                    return kExitAbandoned;
                return exitFor(outcome);
            }
            return -1;
        },
        [&] {
            if (session().transferActive.load())
                progress.show(session().percent.load(), transfer.receivedCount);
        });
    closeSession();
    return result;
}

// The path of this program.
static std::string selfPath() {
#ifdef _WIN32
    wchar_t self[32768];
    const DWORD n = ::GetModuleFileNameW(nullptr, self, 32768);
    std::string exe = n > 0 ? narrowPath(std::wstring(self, n)) : std::string();
    for (char& c : exe)
        if (c == '\\') c = '/';
    return exe;
#else
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
#endif
}

int runDemo(const Options& given) {
    const std::string exe = selfPath();
    std::string error;
    auto box = startDemoBox(findStbsim(exe.substr(0, exe.rfind('/'))), &error);
    if (!box) {
        std::fprintf(stderr, "downloader-cli: %s\n", error.c_str());
        return kExitPort;
    }
    Options o = given;
    o.portNumber = 1;
    o.device = box->pty;
    const std::string saved = box->directory + "/received.dat";
    int worst = kExitOk;
    auto step = [&](const char* what, int code) {
        std::printf("== %s: %s\n", what, code == kExitOk ? "done" : "failed");
        std::fflush(stdout);
        worst = std::max(worst, code);
    };
    std::printf("== demonstration box on %s\n", box->pty.c_str());
    {
        CliHost host;
        step("programming the sample image",
             runProgram(o, host, ProgrammingCommand::safe, box->image, true, 60));
    }
    {
        CliHost host;
        step("sending the sample data file", runSend(o, host, box->dataFile, 60));
    }
    {
        CliHost host;
        step("receiving the box's upload", runReceive(o, host, saved, 60, box->uploadHint));
    }
    std::remove(saved.c_str());
    stopDemoBox(*box);
    return worst;
}

}  // namespace dl::cli
