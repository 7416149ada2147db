#include "idle.h"

#include <algorithm>
#include <cstdio>

#include "behaviours.h"
#include "console.h"
#include "report.h"
#include "wire.h"

namespace stbsim {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kDefaultBanner =
    "\r\nSTB boot loader 2.31\r\nflash 8192 KiB, sdram 65536 KiB\r\nmain image ok, console ready\r\n";

constexpr const char* kChatter[] = {"tuner0: lock ok, snr 31 dB", "demux: 12 pids active",
                                    "epg: 4 events updated", "fan: 38 C"};

class Idle {
public:
    explicit Idle(Box& box) : box_(box) {}
    // Serves one client until an exit-after option is met (returns the exit reason); ClientGone when it
    // leaves.
    std::string serve();

private:
    TimePoint nextTimer() const;
    std::optional<std::string> fireTimers();
    std::optional<std::string> onByte(uint8_t byte);
    std::optional<std::string> onLine(const std::string& text);
    std::optional<std::string> upload();
    void chatter();
    void streamLine();

    Box& box_;
    Console console_;
    std::optional<TimePoint> bannerAt_, chatterAt_, uploadAt_;
    bool bannerShown_ = false;       // the banner is shown once per process, also across reconnects
    bool uploadTimerArmed_ = false;  // the timed upload happens once, measured from the first connection
    TimePoint connectedAt_;
    unsigned chatterCount_ = 0;
    uint64_t streamed_ = 0;  // lines of --stream-lines sent, across clients
    TimePoint streamFrom_;   // the stream starts with the greeting, after the PC's purge
};

std::string Idle::serve() {
    const Options& options = box_.options();
    connectedAt_ = Clock::now();
    console_.reset();
    // The PC purges its queues right after opening the port, so the box greets it only a little later.
    TimePoint greeting = connectedAt_ + milliseconds(options.bannerDelayMs);
    if (!options.noBanner && !bannerShown_) bannerAt_ = greeting;
    if (options.chatterMs) chatterAt_ = greeting + milliseconds(options.chatterMs);
    streamFrom_ = greeting;
    if (options.uploadAfterMs && !uploadTimerArmed_)
        uploadAt_ = connectedAt_ + milliseconds(*options.uploadAfterMs);
    uploadTimerArmed_ = true;
    for (;;) {
        auto byte = box_.line().readByte(nextTimer());
        auto exit = byte ? onByte(*byte) : fireTimers();
        if (exit) return *exit;
    }
}

TimePoint Idle::nextTimer() const {
    // A stream goes on while nothing arrives: the line is the only pace.
    if (streamed_ < box_.options().streamLines) return std::max(Clock::now(), streamFrom_);
    TimePoint next = kForever;
    for (const auto& timer : {bannerAt_, chatterAt_, uploadAt_})
        if (timer && *timer < next) next = *timer;
    return next;
}

std::optional<std::string> Idle::fireTimers() {
    TimePoint now = Clock::now();
    if (bannerAt_ && *bannerAt_ <= now) {
        bannerAt_.reset();
        bannerShown_ = true;
        box_.line().send(box_.options().banner.value_or(std::string(kDefaultBanner)));
    }
    if (chatterAt_ && *chatterAt_ <= now) chatter();
    if (!bannerAt_ && now >= streamFrom_ && streamed_ < box_.options().streamLines) streamLine();
    if (uploadAt_ && *uploadAt_ <= now) {
        uploadAt_.reset();
        return upload();
    }
    return std::nullopt;
}

void Idle::chatter() {
    auto uptime = std::chrono::duration_cast<milliseconds>(Clock::now() - connectedAt_).count();
    char text[96];
    std::snprintf(text, sizeof text, "[%5lld.%03lld] %s\r\n", static_cast<long long>(uptime / 1000),
                  static_cast<long long>(uptime % 1000), kChatter[chatterCount_++ % std::size(kChatter)]);
    box_.line().send(text);
    chatterAt_ = Clock::now() + milliseconds(box_.options().chatterMs);
}

void Idle::streamLine() {
    char text[96];
    std::snprintf(text, sizeof text, "S%08llu the quick brown fox jumps over the lazy dog 0123456789\r\n",
                  static_cast<unsigned long long>(streamed_));
    box_.line().send(text);
    if (++streamed_ == box_.options().streamLines) Event("STREAM").num("lines", streamed_).emit();
}

std::optional<std::string> Idle::onByte(uint8_t byte) {
    Console::Result result = console_.feed(byte, box_.options().echo);
    if (!result.echo.empty()) box_.line().send(result.echo);
    if (result.kind == Console::Kind::line) return onLine(result.line);
    if (result.kind != Console::Kind::transferRequest) return std::nullopt;
    runTake(box_);
    console_.reset();
    if (box_.options().exitAfterTake) return "exit-after-take";
    return std::nullopt;
}

std::optional<std::string> Idle::onLine(const std::string& text) {
    Event("LINE").text("text", text).emit();
    if (text == box_.options().uploadOn) return upload();
    if (!wire::isProgrammingCommand(text)) return std::nullopt;
    runProgramming(box_, text);
    console_.reset();
    if (box_.options().exitAfterProgram) return "exit-after-program";
    return std::nullopt;
}

std::optional<std::string> Idle::upload() {
    runUpload(box_);
    console_.reset();
    if (box_.options().exitAfterUpload) return "exit-after-upload";
    return std::nullopt;
}

}  // namespace

int runBox(const Options& options, const Inputs& inputs, Line& line) {
    Box box(options, inputs, line);
    Idle idle(box);
    try {
        for (;;) {
            line.awaitClient();
            Event("CONNECTED").emit();
            try {
                std::string reason = idle.serve();
                line.drain(Clock::now() + std::chrono::seconds(1));
                Event("EXIT").text("reason", reason).emit();
                return 0;
            } catch (const ClientGone&) {
                Event("DISCONNECTED").emit();
                if (!options.keepOpen) break;
                line.resetForNewClient();
            }
        }
        Event("EXIT").text("reason", "client-closed").emit();
    } catch (const StopRequested&) {
        Event("EXIT").text("reason", "signal").emit();
    } catch (const HungUp&) {
        Event("EXIT").text("reason", "hangup").emit();
    }
    return 0;
}

}  // namespace stbsim
