// Opening and closing the one session a downloader-cli run works on.
#pragma once

#include <csignal>
#include <string>

#include "cli_host.h"
#include "cli_options.h"
#include "protocol/wire.h"

namespace dl::cli {

// The pretend window of the tool's session.
inline constexpr WindowId kCliWindow = 0xC11;

// Creates the session in its COM slot and connects it at the requested speed. On failure prints
// "Connection failed." with the reason on stderr and returns false.
bool openSession(const Options& o);
void closeSession();

// SIGINT and SIGTERM arrive on a descriptor the main loop can poll (blocked before any thread starts,
// so no thread is interrupted by them).
int signalFd();

int runTerminal(const Options& o, CliHost& host);
int runProgram(const Options& o, CliHost& host, ProgrammingCommand kind, const std::string& image,
               bool assumeYes, int timeoutSeconds);
int runSend(const Options& o, CliHost& host, const std::string& file, int timeoutSeconds);
int runReceive(const Options& o, CliHost& host, const std::string& outFile, int timeoutSeconds);

}  // namespace dl::cli
