// Command-line options shared by every subcommand of downloader-cli.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dl::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitAbandoned = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPort = 3;

struct Options {
    int portNumber = 1;  // the session slot (COM number)
    std::string device;  // explicit device path; empty: the COM number's configured device
    uint32_t baud = 115200;
    std::string command;            // subcommand
    std::vector<std::string> args;  // the subcommand's own arguments
    std::string logPath;            // --log: the session log's file; empty: no log
    bool logTimestamps = false;     // --timestamps: each log line starts with the local time
    bool reconnect = false;         // terminal --reconnect: a lost device is waited for, then used again
};

// Parses argv; on a usage error returns nullopt and sets `error`.
std::optional<Options> parseOptions(int argc, char** argv, std::string& error);

const char* usageText();

// Takes --log FILE and --timestamps out of a subcommand's arguments into `o`; "" or the error.
std::string takeLogOptions(Options& o);

}  // namespace dl::cli
