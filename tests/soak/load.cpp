// Load: four sessions connected at once to four simulated boxes, each box streaming numbered console
// lines at the line rate, while one of them programs a firmware image. Every console line each box
// sent must arrive intact and in order; the programming run's efficiency is compared with the same
// run on an idle machine; the process's resident memory is sampled throughout.
//
//   load [--seconds S] [--baud B] [--sectors N]
//
// Efficiency is (image bytes x 10 / baud) / wall time from the programming command to the sender's end.
#include <sys/resource.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "integration/core_driver.h"
#include "integration/stbsim_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using dltest::CoreDriver;
using dltest::ScratchDir;
using dltest::StbsimProcess;

constexpr int kSessions = 4;
constexpr size_t kSector = 4096;
constexpr size_t kLineBytes = 66;  // "S%08u the quick brown fox jumps over the lazy dog 0123456789\r\n"

// Checks one session's console text line by line as the terminal is handed it.
struct StreamCheck {
    std::mutex m;
    std::string line;
    uint64_t next = 0;  // the line number due
    uint64_t intact = 0;
    uint64_t bad = 0;   // stream lines that arrived changed, out of order or run together
    uint64_t other = 0; // lines that are not the stream's (the programming run's, typed echo)

    void feed(const uint8_t* bytes, size_t n) {
        std::lock_guard lock(m);
        for (size_t i = 0; i < n; ++i) {
            // CR ends a line as LF does: the echo of a typed command ("\rm:prog_sum\r") is a line
            // of its own between two of the box's.
            const char c = static_cast<char>(bytes[i]);
            if (c != '\n' && c != '\r') {
                line += c;
                if (line.size() > 4096) line.erase(0, 2048);  // a line end lost for good
                continue;
            }
            if (!line.empty()) judge(line);
            line.clear();
        }
    }
    static constexpr const char* kTail = " the quick brown fox jumps over the lazy dog 0123456789";
    void debug(const std::string& l) const {
        if (bad <= 3 && std::getenv("LOAD_DEBUG"))
            std::fprintf(stderr, "bad line (due %llu): [%s]\n", static_cast<unsigned long long>(next), l.c_str());
    }
    void judge(const std::string& l) {
        const bool looksLikeStream = l.find("lazy dog") != std::string::npos || l.find("quick brown") != std::string::npos ||
                                     (l.size() > 1 && l[0] == 'S' && l[1] >= '0' && l[1] <= '9');
        if (!looksLikeStream) {
            ++other;
            return;
        }
        // A well-formed line of another number means lines were lost in between; anything else that
        // looks like the stream's is a line changed on the way.
        char number[9] = {};
        if (l.size() == kLineBytes - 2 && l[0] == 'S' && std::sscanf(l.c_str() + 1, "%8[0-9]", number) == 1 &&
            std::strlen(number) == 8 && l.compare(9, std::string::npos, kTail) == 0) {
            const uint64_t n = std::strtoull(number, nullptr, 10);
            if (n == next) {
                ++intact;
            } else {
                ++bad;
                debug(l);
            }
            next = n + 1;
            return;
        }
        ++bad;
        debug(l);
    }
};

long residentKiB() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        in.ignore(4096, '\n');
    }
    return -1;
}

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct ProgramResult {
    bool ok = false;
    double seconds = 0;
    double efficiency = 0;
};

// Programs `image` on the session of `window` and times it, pumping `pump` while it runs.
ProgramResult program(CoreDriver& driver, dl::WindowId window, const std::string& image, size_t bytes, unsigned baud,
                      const std::function<void()>& pump) {
    ProgramResult r;
    driver.chooseFile(image);
    const int before = driver.countHandled(dl::cmdSenderEnded);
    const auto start = Clock::now();
    if (dl::sessionCommand(window, dl::cmdUpdateSafe, 0) != 1) return r;
    const bool ended = driver.pumpUntil(
        [&] {
            pump();
            return driver.countHandled(dl::cmdSenderEnded) > before;
        },
        600s);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.ok = ended && driver.countHandled(dl::cmdSenderEnded, dl::senderFinished) > 0;
    r.efficiency = bytes * 10.0 / baud / r.seconds;
    return r;
}

bool imageVerified(StbsimProcess& sim) {
    auto e = sim.waitEvent("PROGRAM", 5s);
    return e && e->get("end") == "stop" && e->get("failed") == "0" && e->get("image") == "match";
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 600;
    unsigned baud = 3000000;
    size_t sectors = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--seconds") seconds = std::atoi(argv[i + 1]);
        else if (a == "--baud") baud = static_cast<unsigned>(std::atol(argv[i + 1]));
        else if (a == "--sectors") sectors = static_cast<size_t>(std::atol(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: load [--seconds S] [--baud B] [--sectors N]\n");
            return 2;
        }
    }
    ScratchDir dir;
    const size_t imageBytes = sectors * kSector;
    const std::string image = dir.write("image.bin", dltest::randomBytes(imageBytes, 7));
    const std::vector<std::string> paced = {"--no-banner", "--baud", std::to_string(baud), "--image", image};

    // Alone: the same box and image, nothing else on the machine's lines.
    ProgramResult alone;
    bool aloneVerified = false;
    {
        StbsimProcess sim(paced);
        CoreDriver driver;
        if (!driver.open(0x604, 4, sim.ptyPath())) return 1;
        driver.pumpUntil([] { return false; }, 200ms);
        alone = program(driver, 0x604, image, imageBytes, baud, [] {});
        aloneVerified = imageVerified(sim);
    }
    std::printf("programming alone: %zu bytes in %.2f s, efficiency %.4f, %s\n", imageBytes, alone.seconds,
                alone.efficiency, alone.ok && aloneVerified ? "verified by the box" : "FAILED");

    // Loaded: four boxes streaming for `seconds`; the fourth programs a third of the way in.
    const uint64_t lines = static_cast<uint64_t>(seconds) * (baud / 10) / kLineBytes;
    std::vector<std::unique_ptr<StbsimProcess>> boxes;
    for (int i = 0; i < kSessions; ++i) {
        auto args = paced;
        args.insert(args.end(), {"--stream-lines", std::to_string(lines)});
        boxes.push_back(std::make_unique<StbsimProcess>(args));
    }
    std::array<StreamCheck, kSessions> checks;
    CoreDriver driver;
    auto& h = dl::windowHost();
    h.textShown = [&checks](dl::WindowId w, const uint8_t* bytes, size_t n) {
        const int i = static_cast<int>(w - 0x601);
        if (i >= 0 && i < kSessions) checks[static_cast<size_t>(i)].feed(bytes, n);
    };
    for (int i = 0; i < kSessions; ++i)
        if (!driver.open(static_cast<dl::WindowId>(0x601 + i), i + 1, boxes[static_cast<size_t>(i)]->ptyPath())) return 1;
    // Drains the boxes' reports so that none of them waits on a full pipe.
    auto pumpBoxes = [&] {
        for (auto& b : boxes) b->waitEvent("-", 0ms);
    };
    std::vector<std::pair<int, long>> memory;  // (second, KiB)
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    auto sample = [&] {
        const int t = static_cast<int>(elapsed());
        if (memory.empty() || t >= memory.back().first + 10) memory.emplace_back(t, residentKiB());
    };
    driver.pumpUntil([&] { pumpBoxes(); sample(); return elapsed() >= seconds / 3.0; }, std::chrono::seconds(seconds));
    const ProgramResult loaded = program(driver, 0x604, image, imageBytes, baud, [&] { pumpBoxes(); sample(); });
    const bool loadedVerified = imageVerified(*boxes[3]);
    // The streams end on their own; then everything sent must have come.
    std::array<uint64_t, kSessions> sent{};
    for (int i = 0; i < kSessions; ++i) {
        auto& box = *boxes[static_cast<size_t>(i)];
        driver.pumpUntil([&] { pumpBoxes(); sample(); return false; }, 0ms);
        std::optional<dltest::SimEvent> done;
        driver.pumpUntil([&] {
            sample();
            done = box.waitEvent("STREAM", 10ms);
            return done.has_value();
        }, std::chrono::seconds(seconds + 120));
        sent[static_cast<size_t>(i)] = done ? done->number("lines") : 0;
    }
    driver.pumpUntil([&] {
        for (int i = 0; i < kSessions; ++i) {
            std::lock_guard lock(checks[static_cast<size_t>(i)].m);
            if (checks[static_cast<size_t>(i)].next < sent[static_cast<size_t>(i)]) return false;
        }
        return true;
    }, 10s);
    const double wall = elapsed();
    const double cpu = cpuSeconds() - cpuStart;
    memory.emplace_back(static_cast<int>(wall), residentKiB());

    bool clean = alone.ok && aloneVerified && loaded.ok && loadedVerified;
    std::printf("programming under load: %zu bytes in %.2f s, efficiency %.4f (%+.2f %% against alone), %s\n",
                imageBytes, loaded.seconds, loaded.efficiency, (loaded.efficiency / alone.efficiency - 1) * 100,
                loaded.ok && loadedVerified ? "verified by the box" : "FAILED");
    std::printf("\n| session | lines sent | lines intact | changed or lost | other lines |\n|---|---|---|---|---|\n");
    for (int i = 0; i < kSessions; ++i) {
        auto& c = checks[static_cast<size_t>(i)];
        std::lock_guard lock(c.m);
        std::printf("| Com%d | %llu | %llu | %llu | %llu |\n", i + 1, static_cast<unsigned long long>(sent[static_cast<size_t>(i)]),
                    static_cast<unsigned long long>(c.intact), static_cast<unsigned long long>(c.bad),
                    static_cast<unsigned long long>(c.other));
        clean = clean && c.bad == 0 && c.intact == sent[static_cast<size_t>(i)] && sent[static_cast<size_t>(i)] == lines;
    }
    // The programming run keeps within 2 % of its efficiency alone.
    clean = clean && loaded.efficiency >= alone.efficiency * 0.98;
    long low = memory.front().second, high = low;
    for (const auto& [t, kib] : memory) low = std::min(low, kib), high = std::max(high, kib);
    std::printf("\n%.0f s at %u baud on %d lines; this process used %.1f %% of a core\n", wall, baud, kSessions,
                cpu / wall * 100);
    std::printf("resident memory: %ld KiB at %d s, %ld KiB at %d s (low %ld, high %ld KiB over %zu samples)\n",
                memory.front().second, memory.front().first, memory.back().second, memory.back().first, low, high,
                memory.size());
    // Flat: no more than a MiB between the least and the most resident memory seen.
    clean = clean && high - low <= 1024;
    return clean ? 0 : 1;
}
