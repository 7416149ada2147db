#include "paint_latency.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace dl::gui::paint_latency {

namespace {

// Paints happen on the GUI thread only, so the samples need no lock.
std::vector<int64_t>& samples() {
    static std::vector<int64_t> v;
    return v;
}
std::vector<int64_t>& shownSamples() {
    static std::vector<int64_t> v;
    return v;
}

const char* target() {
    static const char* path = std::getenv("DL_PAINT_LATENCY");
    return path && *path ? path : nullptr;
}

}  // namespace

int64_t now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool enabled() {
    return target() != nullptr;
}

void record(int64_t since, int64_t shown) {
    if (!enabled()) return;
    const int64_t t = now();
    samples().push_back((t - since) / 1000);
    if (shown) shownSamples().push_back((t - shown) / 1000);
}

void write() {
    if (!enabled()) return;
    FILE* f = std::fopen(target(), "w");
    if (!f) return;
    auto figures = [&](std::vector<int64_t> v, const char* prefix) {
        std::sort(v.begin(), v.end());
        auto at = [&](double q) {
            return static_cast<long long>(
                v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]);
        };
        std::fprintf(f, "%sp50_us %lld %sp99_us %lld %smax_us %lld", prefix, at(0.5), prefix, at(0.99),
                     prefix, static_cast<long long>(v.empty() ? 0 : v.back()));
    };
    std::fprintf(f, "paints %zu ", samples().size());
    figures(samples(), "");
    std::fputc(' ', f);
    figures(shownSamples(), "shown_");
    std::fputc('\n', f);
    std::fclose(f);
}

}  // namespace dl::gui::paint_latency
