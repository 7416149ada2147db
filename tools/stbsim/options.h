// Command line of stbsim. Every option is optional; main.cpp's header lists them with their meaning.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <variant>

namespace stbsim {

enum class Order { seq, random, repeat };

// Faults to inject. Except for noise, split writes and hang-ups, which apply wherever they can, each fault
// fires once: at the first point where it applies.
struct FaultPlan {
    bool noise = false;
    bool badSum = false;
    bool oversize = false;
    bool split = false;
    std::optional<uint32_t> splitSeed;  // nullopt: the --seed value
    bool lateSizeCr = false;
    std::set<std::string> wrongToken;  // steps; "first" = the box's first token of the first take or upload
    std::set<std::string> hangup;      // phases
    uint64_t dropByte = 0;             // the Nth byte the box sends (from 1) is lost on the line; 0: none
    uint64_t flipByte = 0;             // the Nth byte the box sends arrives with its low bit flipped
};

struct Options {
    unsigned baud = 0;
    unsigned turnaroundMs = 1;
    std::optional<std::string> banner;  // escapes already resolved; nullopt = the default banner
    bool noBanner = false;
    unsigned bannerDelayMs = 100;
    unsigned chatterMs = 0;
    uint64_t streamLines = 0;  // while idle, this many numbered console lines back to back
    bool echo = false;
    std::optional<unsigned> sectors;
    std::string imagePath;
    Order order = Order::seq;
    uint32_t seed = 1;
    std::string savePath;
    std::string uploadPath;
    size_t uploadSize = 40000;
    std::string uploadOn = "m:upload";
    std::optional<unsigned> uploadAfterMs;
    unsigned leadGapMs = 20;
    FaultPlan faults;
    bool exitAfterProgram = false;
    bool exitAfterTake = false;
    bool exitAfterUpload = false;
    unsigned timeoutMs = 5000;
    bool keepOpen = false;
    bool help = false;
    bool version = false;
};

// Returns the options, or a message saying what is wrong with the command line.
std::variant<Options, std::string> parseOptions(int argc, char** argv);

const char* usageText();

}  // namespace stbsim
