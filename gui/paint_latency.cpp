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

const char* target() {
    static const char* path = std::getenv("DL_PAINT_LATENCY");
    return path && *path ? path : nullptr;
}

}  // namespace

int64_t now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool enabled() {
    return target() != nullptr;
}

void record(int64_t since) {
    if (enabled()) samples().push_back((now() - since) / 1000);
}

void write() {
    if (!enabled()) return;
    std::vector<int64_t> v = samples();
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
    if (FILE* f = std::fopen(target(), "w")) {
        std::fprintf(f, "paints %zu p50_us %lld p99_us %lld max_us %lld\n", v.size(), static_cast<long long>(at(0.5)),
                     static_cast<long long>(at(0.99)), static_cast<long long>(v.empty() ? 0 : v.back()));
        std::fclose(f);
    }
}

}  // namespace dl::gui::paint_latency
