#include "cli_options.h"

#include <charconv>
#include <cstring>

namespace dl::cli {

const char* usageText() {
    return "usage: downloader-cli [--port COMn|DEVICE|COMn=DEVICE] [--baud N] COMMAND [ARGS]\n"
           "       downloader-cli --help | --version\n"
           "commands:\n"
           "  terminal [--reconnect]        type to the box and show what it prints (Ctrl-] quits);\n"
           "                                --reconnect waits for a lost device and connects again\n"
           "  program [--kind safe|all|cardless|m5] [--yes] [--timeout S] IMAGE\n"
           "                                program the box with IMAGE, sector by sector as it asks\n"
           "  send [--timeout S] FILE       send a data file (at least 32768 bytes) to the box\n"
           "  receive [--timeout S] [--request TEXT] OUTFILE\n"
           "                                receive the box's upload and save it to OUTFILE; TEXT is\n"
           "                                typed to the box first (its console command to upload)\n"
           "  demo                          program, send to and receive from a simulated box\n"
           "  ports                         list the serial devices present and the device of each COMn\n"
           "terminal, program, send and receive take --log FILE [--timestamps]: FILE gets what the box\n"
           "prints (appended), one line for each exchange's end; --timestamps starts each line with the\n"
           "local time (HH:MM:SS.mmm).\n"
           "exit: 0 done, 1 exchange abandoned or no answer, 2 usage, 3 port cannot be opened or lost\n"
           "COMn is /dev/ttyS<n-1> unless the settings file ($XDG_CONFIG_HOME/downloader/corvane.ini,\n"
           "section [Devices], keys COM1..COM4) names another device; ExternalTerminal there names a\n"
           "program run with 401 before a port is opened and 400 after one is closed. A port that\n"
           "cannot be opened for lack of permission needs membership of the dialout group.\n";
}

namespace {

bool parseUnsigned(const std::string& text, uint32_t& out) {
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && p == end && !text.empty();
}

// "COM3" -> 3; anything else -> 0.
int comNumber(const std::string& text) {
    if (text.size() != 4 || strncasecmp(text.c_str(), "COM", 3) != 0) return 0;
    char d = text[3];
    return d >= '1' && d <= '4' ? d - '0' : 0;
}

bool parsePort(const std::string& value, Options& o, std::string& error) {
    auto eq = value.find('=');
    std::string name = eq == std::string::npos ? value : value.substr(0, eq);
    if (int n = comNumber(name)) {
        o.portNumber = n;
        if (eq != std::string::npos) o.device = value.substr(eq + 1);
        if (eq != std::string::npos && o.device.empty()) {
            error = "--port " + value + ": no device after '='";
            return false;
        }
        return true;
    }
    if (eq == std::string::npos && !value.empty() && value[0] == '/') {
        o.portNumber = 1;
        o.device = value;
        return true;
    }
    error = "--port takes COM1..COM4, a device path, or COMn=DEVICE: " + value;
    return false;
}

}  // namespace

std::string takeLogOptions(Options& o) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < o.args.size(); ++i) {
        if (o.args[i] == "--log") {
            if (i + 1 >= o.args.size() || o.args[i + 1].empty()) return "--log takes a file name";
            o.logPath = o.args[++i];
        } else if (o.args[i] == "--timestamps") {
            o.logTimestamps = true;
        } else {
            rest.push_back(o.args[i]);
        }
    }
    if (o.logTimestamps && o.logPath.empty()) return "--timestamps goes with --log FILE";
    o.args = std::move(rest);
    return "";
}

std::optional<Options> parseOptions(int argc, char** argv, std::string& error) {
    Options o;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        std::string opt = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (opt == "--port") {
            auto v = value();
            if (!v) return error = "--port needs a value", std::nullopt;
            if (!parsePort(*v, o, error)) return std::nullopt;
        } else if (opt == "--baud") {
            auto v = value();
            if (!v || !parseUnsigned(*v, o.baud) || o.baud == 0)
                return error = "--baud needs a positive number", std::nullopt;
        } else if (opt == "--help") {
            return error = "", std::nullopt;
        } else if (opt == "--version") {
            return error = "version", std::nullopt;
        } else {
            return error = "unknown option " + opt, std::nullopt;
        }
    }
    if (i >= argc) return error = "no command given", std::nullopt;
    o.command = argv[i++];
    for (; i < argc; ++i) o.args.emplace_back(argv[i]);
    return o;
}

}  // namespace dl::cli
