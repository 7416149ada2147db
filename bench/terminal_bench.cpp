// How fast the terminal takes console-like text. At 3 Mbaud a line delivers 300 kB/s; the terminal must
// stay far above that, with a window host that does what the GUI's does per cell (record a rectangle).
#include <benchmark/benchmark.h>

#include <mutex>
#include <random>
#include <string>

#include "session/terminal.h"

namespace {

constexpr dl::WindowId kWin = 0xB0B;

std::string consoleText(size_t bytes) {
    static const char* lines[] = {"[boot] loader v2.31 (c) build 0419\r\n",
                                  "tuner0: lock ok freq=1175000 sr=27500\r\n",
                                  "demux: pid 0x0100 video, 0x0101 audio\r\n",
                                  "\tmem: 0x80000000-0x81ffffff ok\r\n",
                                  "s:prog_sector 00A1\r\n",
                                  "a line long enough to wrap around the right edge of the eighty column "
                                  "screen, as consoles do\r\n"};
    std::mt19937 rng(7);
    std::string out;
    while (out.size() < bytes) out += lines[rng() % std::size(lines)];
    out.resize(bytes);
    return out;
}

struct BoundingRect {
    std::mutex m;
    dl::Rect r;
    int n = 0;
};

void BM_TerminalWrite(benchmark::State& state) {
    BoundingRect dirty;
    dl::windowHost() = dl::WindowHost{};
    dl::windowHost().invalidate = [&](dl::WindowId, std::optional<dl::Rect> r, bool) {
        // What a GUI host does: merge into one pending region under a lock, no blocking.
        std::lock_guard lock(dirty.m);
        if (r) dirty.r.right = std::max(dirty.r.right, r->right);
        ++dirty.n;
    };
    dl::createSession(kWin, 1);
    dl::sessionTable[1].charWidth = 8;
    dl::sessionTable[1].charHeight = 16;
    const std::string text = consoleText(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        // The reader hands over pieces of at most 128 bytes.
        for (size_t i = 0; i < text.size(); i += 128) {
            size_t n = std::min<size_t>(128, text.size() - i);
            dl::terminalWrite(kWin, reinterpret_cast<const uint8_t*>(text.data() + i), n);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    dl::destroySession(kWin);
    dl::windowHost() = dl::WindowHost{};
}
BENCHMARK(BM_TerminalWrite)->Arg(64 * 1024);

}  // namespace

BENCHMARK_MAIN();
