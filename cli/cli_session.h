// Opening and closing the one session a downloader-cli run works on.
#pragma once

#include <csignal>
#include <string>

#include "cli_host.h"
#include "cli_options.h"
#include "protocol/wire.h"

namespace dl::cli {

// Opens the session's window in its COM slot, which connects it at the requested speed, as the File
// menu's Open does. On failure "Connection failed." with the reason is on stderr; false.
bool openSession(const Options& o, CliHost& host);
void closeSession();

// SIGINT and SIGTERM arrive on a descriptor the main loop can poll (blocked before any thread starts,
// so no thread is interrupted by them). On Windows: an event that Ctrl-C, Ctrl-Break and closing the
// console set.
NativeHandle signalFd();

int runTerminal(const Options& o, CliHost& host);
// The terminal loop's steps that do not depend on the platform. `slot` is the session's.
// While the device is away: looks whether it is back, connects again and says so.
void lookForLostDevice(int slot, int port);
// Handles what the core posted; false when the line was lost and is not waited for (the run ends).
bool dispatchTerminalPosts(CliHost& host, int slot, int port);
int runProgram(const Options& o, CliHost& host, ProgrammingCommand kind, const std::string& image,
               bool assumeYes, int timeoutSeconds);
int runSend(const Options& o, CliHost& host, const std::string& file, int timeoutSeconds);
// `request`, when not empty, is typed to the box (with Enter) once connected: the console command
// that makes it upload.
int runReceive(const Options& o, CliHost& host, const std::string& outFile, int timeoutSeconds,
               const std::string& request = {});
// Lists the serial devices present and the device each COMn names.
int runPorts(const Options& o);
// Says on stderr, once, why the session log stopped, if it did.
void reportLogFailure();
// Readable (set, on Windows) when the session log has stopped by itself.
NativeHandle logFailureFd();
// Programs, sends to and receives from the demonstration box, each with its result.
int runDemo(const Options& o);

}  // namespace dl::cli
