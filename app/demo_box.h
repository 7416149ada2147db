// The simulated box of a demonstration run: stbsim on a pseudo-terminal, with a sample firmware image
// and a sample data file in a private temporary folder, for the length of the program's run.
//
// Nothing outlives the program, also when it is killed: a small guardian process, forked before any
// thread exists, starts stbsim and then waits on a pipe whose other end only the program holds. When
// the program ends in any way, the pipe closes; the guardian stops stbsim and removes the folder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace dl {

struct DemoBox {
    pid_t guardian = -1;
    int lifeline = -1;       // the program's end of the guardian's pipe
    std::string pty;         // the device the box answers on, for COM1
    std::string directory;   // the private folder
    std::string image;       // sample firmware image (offered as the first recent image)
    std::string dataFile;    // sample data file for Update Channel Data
    std::string settings;    // a settings file of the run's own, so the user's stays as it was
    std::string uploadHint;  // what to type in the terminal to have the box upload
};

// The stbsim beside the program, else the installed one (../bin/stbsim from the program's folder, or
// on the PATH). "" when none is found.
std::string findStbsim(const std::string& programDirectory);

// Starts the demonstration box, answering at the pace of a line of `baud` (0: as fast as it can).
// Call before any thread is started. nullopt (with the reason) when it could not be started; nothing
// is left behind then.
std::optional<DemoBox> startDemoBox(const std::string& stbsimPath, std::string* error,
                                    uint32_t baud = 115200);

// Ends the box and removes its folder; waits at most two seconds for it.
void stopDemoBox(DemoBox& box);

}  // namespace dl
