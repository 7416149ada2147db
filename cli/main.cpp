// downloader-cli: the headless front end. It drives the same core as the desktop program, with a plain
// terminal standing in for the windows, for scripts, production lines and tests.
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "base/texts.h"
#include "cli_host.h"
#include "cli_options.h"
#include "cli_session.h"

namespace {

using namespace dl::cli;

struct SubOptions {
    dl::ProgrammingCommand kind = dl::ProgrammingCommand::safe;
    bool yes = false;
    int timeout = 60;
    std::string request;  // receive: typed to the box once connected
    std::string file;
};

int usage(const std::string& error) {
    std::fprintf(stderr, "downloader-cli: %s\n%s", error.c_str(), usageText());
    return kExitUsage;
}

bool parseKind(const std::string& text, dl::ProgrammingCommand& kind) {
    static const std::pair<const char*, dl::ProgrammingCommand> kinds[] = {
        {"safe", dl::ProgrammingCommand::safe},
        {"all", dl::ProgrammingCommand::all},
        {"cardless", dl::ProgrammingCommand::cardless},
        {"m5", dl::ProgrammingCommand::m5}};
    for (auto& [name, k] : kinds) {
        if (text == name) return kind = k, true;
    }
    return false;
}

// Parses a subcommand's own options and its one file argument; "" on success, else the error.
std::string parseSub(const std::vector<std::string>& args, bool program, bool receive, SubOptions& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto next = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
        if (program && a == "--kind") {
            const std::string* v = next();
            if (!v || !parseKind(*v, o.kind)) return "--kind takes safe, all, cardless or m5";
        } else if (program && a == "--yes") {
            o.yes = true;
        } else if (receive && a == "--request") {
            const std::string* v = next();
            if (!v || v->empty()) return "--request takes the console command that makes the box upload";
            o.request = *v;
        } else if (a == "--timeout") {
            const std::string* v = next();
            int t = 0;
            // The whole value must be the number: "2min" or "1e3" would otherwise read as 2 or 1.
            const char* end = v ? v->data() + v->size() : nullptr;
            if (!v || std::from_chars(v->data(), end, t).ptr != end || t <= 0)
                return "--timeout takes a whole number of seconds";
            o.timeout = t;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            return "unknown option " + a;
        } else if (o.file.empty()) {
            o.file = a;
        } else {
            return "too many arguments";
        }
    }
    return o.file.empty() ? "a file name is needed" : "";
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto options = parseOptions(argc, argv, error);
    if (!options) {
        if (error.empty()) return std::fputs(usageText(), stdout), kExitOk;
        if (error == "version")
            return std::printf("downloader-cli, Downloader %s\n", dl::text(dl::Text::aboutVersion).data()),
                   kExitOk;
        return usage(error);
    }
    const std::string& cmd = options->command;
    if (cmd == "demo") {
        if (!options->args.empty()) return usage("demo takes no arguments");
        // The box's guardian is forked before any thread exists and before signals are blocked.
#ifdef SIGPIPE
        std::signal(SIGPIPE, SIG_IGN);
#endif
        signalFd();
        return runDemo(*options);
    }
    if (cmd == "ports") {
        if (!options->args.empty()) return usage("ports takes no arguments");
        return runPorts(*options);
    }
    signalFd();                     // before any thread exists
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);  // a closed stdout must end a write, not the program
#endif
    if (cmd == "terminal" || cmd == "program" || cmd == "send" || cmd == "receive") {
        if (auto e = takeLogOptions(*options); !e.empty()) return usage(cmd + ": " + e);
    }
    SubOptions sub;
    if (cmd == "terminal") {
        options->reconnect = std::erase(options->args, std::string("--reconnect")) > 0;
        if (!options->args.empty()) return usage("terminal takes no arguments");
        CliHost host;
        return runTerminal(*options, host);
    }
    if (cmd == "program" || cmd == "send" || cmd == "receive") {
        if (auto e = parseSub(options->args, cmd == "program", cmd == "receive", sub); !e.empty())
            return usage(cmd + ": " + e);
        CliHost host;
        if (cmd == "program") return runProgram(*options, host, sub.kind, sub.file, sub.yes, sub.timeout);
        if (cmd == "send") return runSend(*options, host, sub.file, sub.timeout);
        return runReceive(*options, host, sub.file, sub.timeout, sub.request);
    }
    return usage("unknown command " + cmd);
}
