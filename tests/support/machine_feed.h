// Feeding the protocol machines in tests: the same stream handed over at once, byte by byte and cut at
// random points must give the same outcome, and the outcome is compared as text so a failure shows
// what differed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/effects.h"

namespace dl::test {

inline std::span<const uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

inline std::vector<std::string> writesOf(const Effects& e) {
    std::vector<std::string> texts;
    for (const auto& w : e.writes) texts.emplace_back(w.begin(), w.end());
    return texts;
}

// Everything the effects ask for. The progress flag is left out unless asked for: how often the
// percentage changes depends on how the blocks were cut.
inline std::string describe(const Effects& e, bool withProgress = false) {
    std::ostringstream o;
    o << "writes=" << testing::PrintToString(writesOf(e)) << " posts=[";
    for (const auto& p : e.posts) o << "{" << p.window << "," << p.command << "," << p.param << "}";
    o << "] screen=" << testing::PrintToString(e.screenText) << " releases=" << e.semaphoreReleases;
    if (withProgress) o << " progress=" << e.progressChanged;
    return o.str();
}

// How a stream is cut into the blocks a reader would hand over.
struct Feed {
    std::string name;
    std::function<std::vector<size_t>(size_t total)> sizes;
};

// At once, byte by byte, and `seeds` random cuttings into pieces of 1..maxPiece bytes. With
// fullReads, now and then a piece is a full read of 128 bytes.
inline std::vector<Feed> everyFeed(size_t maxPiece, unsigned seeds = 12, bool fullReads = false) {
    std::vector<Feed> feeds;
    feeds.push_back({"at once", [](size_t total) { return std::vector<size_t>{total}; }});
    feeds.push_back({"per byte", [](size_t total) { return std::vector<size_t>(total, 1); }});
    for (unsigned seed = 1; seed <= seeds; ++seed) {
        feeds.push_back({"random seed " + std::to_string(seed), [=](size_t total) {
                             std::mt19937 rng(seed);
                             std::uniform_int_distribution<size_t> piece(1, fullReads ? 160 : maxPiece);
                             std::vector<size_t> sizes;
                             for (size_t left = total; left > 0;) {
                                 size_t n = piece(rng);
                                 if (fullReads) n = n > 128 ? 128 : (n % maxPiece) + 1;
                                 sizes.push_back(std::min(left, n));
                                 left -= sizes.back();
                             }
                             return sizes;
                         }});
    }
    return feeds;
}

}  // namespace dl::test
