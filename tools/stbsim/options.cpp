#include "options.h"

#include <charconv>
#include <functional>
#include <map>
#include <string_view>

namespace stbsim {
namespace {

struct BadOption {
    std::string message;
};

template <typename T>
T number(std::string_view option, std::string_view text, T max) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > max)
        throw BadOption{std::string(option) + ": not a number up to " + std::to_string(max) + ": " +
                        std::string(text)};
    return value;
}

unsigned ms(std::string_view option, std::string_view text) {
    return number<unsigned>(option, text, 86'400'000u);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Banner text may carry \r, \n, \t, \\ and \xNN so that a shell command line can hold CR LF.
std::string unescapeText(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
                 hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else
            out += c;
    }
    return out;
}

bool knownHangupPhase(std::string_view phase) {
    static const std::set<std::string_view> kPhases = {
        "program-start", "program-stop",   "take-answer", "take-size",   "take-data",   "take-sum",
        "take-done",     "upload-request", "upload-id",   "upload-size", "upload-data", "upload-sum"};
    if (kPhases.count(phase)) return true;
    if (!phase.starts_with("sector:")) return false;
    number<unsigned>("hangup@sector", phase.substr(7), 65535u);
    return true;
}

void splitWithSeed(FaultPlan& plan, std::string_view seed) {
    plan.split = true;
    plan.splitSeed = number<uint32_t>("--fault split@", seed, 0xFFFFFFFFu);
}

void addFault(FaultPlan& plan, std::string_view kind) {
    static const std::set<std::string_view> kWrongTokenSteps = {"answer", "size", "data",
                                                                "sum",    "done", "id"};
    if (kind == "noise")
        plan.noise = true;
    else if (kind == "bad-sum")
        plan.badSum = true;
    else if (kind == "oversize")
        plan.oversize = true;
    else if (kind == "split")
        plan.split = true;
    else if (kind.starts_with("split@"))
        splitWithSeed(plan, kind.substr(6));
    else if (kind == "late-cr@size")
        plan.lateSizeCr = true;
    else if (kind == "wrong-token")
        plan.wrongToken.insert("first");
    else if (kind.starts_with("wrong-token@") && kWrongTokenSteps.count(kind.substr(12)))
        plan.wrongToken.insert(std::string(kind.substr(12)));
    else if (kind.starts_with("drop@"))
        plan.dropByte = number<uint64_t>("--fault drop@", kind.substr(5), UINT64_MAX);
    else if (kind.starts_with("flip@"))
        plan.flipByte = number<uint64_t>("--fault flip@", kind.substr(5), UINT64_MAX);
    else if (kind.starts_with("hangup@") && knownHangupPhase(kind.substr(7)))
        plan.hangup.insert(std::string(kind.substr(7)));
    else
        throw BadOption{"--fault: unknown fault: " + std::string(kind)};
}

Order order(std::string_view text) {
    if (text == "seq") return Order::seq;
    if (text == "random") return Order::random;
    if (text == "repeat") return Order::repeat;
    throw BadOption{"--order: expected seq, random or repeat: " + std::string(text)};
}

using WithValue = std::function<void(Options&, std::string_view option, std::string_view value)>;
using Switch = std::function<void(Options&)>;

const std::map<std::string_view, WithValue>& valueOptions() {
    static const std::map<std::string_view, WithValue> table = {
        {"--baud", [](Options& o, auto n, auto v) { o.baud = number<unsigned>(n, v, 4'000'000u); }},
        {"--turnaround-ms", [](Options& o, auto n, auto v) { o.turnaroundMs = ms(n, v); }},
        {"--banner", [](Options& o, auto, auto v) { o.banner = unescapeText(v); }},
        {"--banner-delay-ms", [](Options& o, auto n, auto v) { o.bannerDelayMs = ms(n, v); }},
        {"--chatter-ms", [](Options& o, auto n, auto v) { o.chatterMs = ms(n, v); }},
        {"--stream-lines", [](Options& o, auto n, auto v) { o.streamLines = number<uint64_t>(n, v, UINT64_MAX); }},
        {"--sectors", [](Options& o, auto n, auto v) { o.sectors = number<unsigned>(n, v, 0xFFFFu); }},
        {"--image", [](Options& o, auto, auto v) { o.imagePath = v; }},
        {"--order", [](Options& o, auto, auto v) { o.order = order(v); }},
        {"--seed", [](Options& o, auto n, auto v) { o.seed = number<uint32_t>(n, v, 0xFFFFFFFFu); }},
        {"--save", [](Options& o, auto, auto v) { o.savePath = v; }},
        {"--upload", [](Options& o, auto, auto v) { o.uploadPath = v; }},
        {"--upload-size", [](Options& o, auto n, auto v) { o.uploadSize = number<size_t>(n, v, 64u << 20); }},
        {"--upload-on", [](Options& o, auto, auto v) { o.uploadOn = v; }},
        {"--upload-after-ms", [](Options& o, auto n, auto v) { o.uploadAfterMs = ms(n, v); }},
        {"--lead-gap-ms", [](Options& o, auto n, auto v) { o.leadGapMs = ms(n, v); }},
        {"--fault", [](Options& o, auto, auto v) { addFault(o.faults, v); }},
        {"--timeout-ms", [](Options& o, auto n, auto v) { o.timeoutMs = ms(n, v); }},
    };
    return table;
}

const std::map<std::string_view, Switch>& switchOptions() {
    static const std::map<std::string_view, Switch> table = {
        {"--no-banner", [](Options& o) { o.noBanner = true; }},
        {"--echo", [](Options& o) { o.echo = true; }},
        {"--exit-after-program", [](Options& o) { o.exitAfterProgram = true; }},
        {"--exit-after-take", [](Options& o) { o.exitAfterTake = true; }},
        {"--exit-after-upload", [](Options& o) { o.exitAfterUpload = true; }},
        {"--keep-open", [](Options& o) { o.keepOpen = true; }},
        {"--help", [](Options& o) { o.help = true; }},
        {"--version", [](Options& o) { o.version = true; }},
    };
    return table;
}

}  // namespace

std::variant<Options, std::string> parseOptions(int argc, char** argv) {
    Options options;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string_view arg = argv[i];
            if (auto s = switchOptions().find(arg); s != switchOptions().end()) {
                s->second(options);
            } else if (auto v = valueOptions().find(arg); v != valueOptions().end()) {
                if (i + 1 == argc) throw BadOption{std::string(arg) + ": missing value"};
                v->second(options, arg, argv[++i]);
            } else {
                throw BadOption{"unknown option: " + std::string(arg)};
            }
        }
    } catch (const BadOption& bad) {
        return bad.message;
    }
    return options;
}

const char* usageText() {
    return "usage: stbsim [--baud N] [--turnaround-ms N] [--banner TEXT | --no-banner] [--banner-delay-ms "
           "N]\n"
           "              [--chatter-ms N] [--stream-lines N] [--echo] [--sectors N] [--image FILE] [--order "
           "seq|random|repeat]\n"
           "              [--seed N] [--save FILE] [--upload FILE | --upload-size N] [--upload-on TEXT]\n"
           "              [--upload-after-ms N] [--lead-gap-ms N] [--fault KIND]... [--timeout-ms N]\n"
           "              [--exit-after-program] [--exit-after-take] [--exit-after-upload] [--keep-open]\n"
           "       stbsim --help | --version\n"
           "faults: noise, bad-sum, oversize, wrong-token[@answer|size|data|sum|done|id], hangup@PHASE,\n"
           "        split[@SEED], late-cr@size, drop@N, flip@N (the Nth byte the box sends)\n"
           "phases: program-start, sector:N, program-stop, take-answer, take-size, take-data, take-sum,\n"
           "        take-done, upload-request, upload-id, upload-size, upload-data, upload-sum\n"
           "See tools/stbsim/README.md for the events printed on stdout.\n";
}

}  // namespace stbsim
