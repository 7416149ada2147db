#include "app/demo_box.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace dl {

namespace {

constexpr const char* kImageName = "sample.img";
constexpr const char* kDataName = "sample.dat";
constexpr const char* kLogName = "box.log";
constexpr const char* kSettingsName = "corvane.ini";
constexpr const char* kUploadTrigger = "m:upload";
constexpr unsigned kImageSectors = 64;

bool isExecutable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

// Bytes that look like an image and not like silence: a header line, then a pattern that changes
// from sector to sector, so a sector sent in the wrong place shows in the box's check.
std::string sampleImage() {
    std::string image(kImageSectors * 4096, '\0');
    const std::string header = "DOWNLOADER DEMO IMAGE\n";
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>((i * 131 + (i >> 12) * 7 + 17) & 0xFF);
    image.replace(0, header.size(), header);
    return image;
}

std::string sampleData() {
    std::string data;
    for (int line = 0; data.size() < 40000; ++line)
        data += "channel " + std::to_string(line) + " freq " + std::to_string(474000 + line * 8000) + "\n";
    data.resize(40000);
    return data;
}

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out.flush());
}

void removeFolder(const DemoBox& b) {
    for (const char* name : {kImageName, kDataName, kLogName, kSettingsName})
        ::unlink((b.directory + "/" + name).c_str());
    ::rmdir(b.directory.c_str());
}

// The guardian's whole life, with only calls that are safe in a child of a threaded process: it
// starts stbsim, waits for the program's end, then stops stbsim and removes the folder.
[[noreturn]] void guard(int lifeline, char* const argv[], const char* log, const char* const files[],
                        const char* folder) {
    const pid_t box = ::fork();
    if (box == 0) {
        // The program may have blocked or ignored signals for itself; the box must die of SIGTERM.
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGHUP, SIGTERM, SIGPIPE}) ::signal(sig, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int out = ::open(log, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out >= 0) ::dup2(out, STDOUT_FILENO);
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    // Its own name, so that killing the program by name (pkill, killall) does not take it along.
    ::prctl(PR_SET_NAME, "dl-demo-guard");
    // A Ctrl-C or a hang-up for the program must not skip the clean-up.
    for (int sig : {SIGINT, SIGHUP, SIGTERM}) ::signal(sig, SIG_IGN);
    for (char byte;;) {
        const ssize_t r = ::read(lifeline, &byte, 1);
        if (r == 0 || (r < 0 && errno != EINTR)) break;  // the program is gone
    }
    if (box > 0) {
        ::kill(box, SIGKILL);
        ::waitpid(box, nullptr, 0);
    }
    for (int i = 0; files[i]; ++i) ::unlink(files[i]);
    ::rmdir(folder);
    ::_exit(0);
}

// Waits for stbsim's "PTY /dev/pts/N" line in its log.
std::string waitForPty(const std::string& log, pid_t guardian) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        std::ifstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("PTY ", 0) == 0) return line.substr(4);
        }
        if (::waitpid(guardian, nullptr, WNOHANG) == guardian) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

}  // namespace

std::string findStbsim(const std::string& programDirectory) {
    for (const std::string& candidate :
         {programDirectory + "/stbsim", programDirectory + "/../tools/stbsim/stbsim",
          programDirectory + "/../bin/stbsim"}) {
        if (isExecutable(candidate)) return candidate;
    }
    if (const char* path = std::getenv("PATH")) {
        std::string list = path;
        for (size_t at = 0; at <= list.size();) {
            const size_t end = std::min(list.find(':', at), list.size());
            const std::string candidate = list.substr(at, end - at) + "/stbsim";
            if (end > at && isExecutable(candidate)) return candidate;
            at = end + 1;
        }
    }
    return {};
}

std::optional<DemoBox> startDemoBox(const std::string& stbsimPath, std::string* error, uint32_t baud) {
    auto fail = [&](const std::string& why) -> std::optional<DemoBox> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (!isExecutable(stbsimPath)) return fail("the simulated box (stbsim) was not found");
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/downloader-demo-XXXXXX";
    if (!::mkdtemp(pattern.data())) return fail(pattern + ": " + std::strerror(errno));
    DemoBox b;
    b.directory = pattern;
    b.image = b.directory + "/" + kImageName;
    b.dataFile = b.directory + "/" + kDataName;
    b.settings = b.directory + "/" + kSettingsName;
    b.uploadHint = kUploadTrigger;
    if (!writeFile(b.image, sampleImage()) || !writeFile(b.dataFile, sampleData())) {
        removeFolder(b);
        return fail(b.directory + ": the sample files could not be written");
    }

    // Everything the guardian needs is made before the fork: after it, it allocates nothing.
    const std::string log = b.directory + "/" + kLogName;
    // A terminal that turns CR into a new line (the default) shows CR LF as a blank line between.
    const std::string banner = std::string(
                                   "Demo box ready.\\r"
                                   "  Right button, 1: program the sample image (F3 asks for one).\\r"
                                   "  F2: send a data file (") +
                               kDataName + ").\\r" + "  Type " + kUploadTrigger +
                               " and Enter: the box uploads data to you.\\r";
    // No --echo: the terminal echoes what is typed itself, and a box echoing too doubles every key.
    std::vector<std::string> args = {stbsimPath, "--keep-open", "--image",      b.image,
                                     "--banner", banner,        "--chatter-ms", "0"};
    if (baud != 0) {
        args.push_back("--baud");
        args.push_back(std::to_string(baud));
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string files[] = {b.image, b.dataFile, log, b.settings};
    const char* fileList[] = {files[0].c_str(), files[1].c_str(), files[2].c_str(), files[3].c_str(),
                              nullptr};

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        removeFolder(b);
        return fail(std::string("pipe: ") + std::strerror(errno));
    }
    const pid_t guardian = ::fork();
    if (guardian < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        removeFolder(b);
        return fail(std::string("fork: ") + std::strerror(errno));
    }
    if (guardian == 0) {
        ::close(pipeFds[1]);
        guard(pipeFds[0], argv.data(), log.c_str(), fileList, b.directory.c_str());
    }
    ::close(pipeFds[0]);
    b.guardian = guardian;
    b.lifeline = pipeFds[1];
    b.pty = waitForPty(log, guardian);
    if (b.pty.empty()) {
        stopDemoBox(b);
        return fail("the simulated box did not start");
    }
    return b;
}

void stopDemoBox(DemoBox& b) {
    if (b.lifeline >= 0) ::close(b.lifeline);
    b.lifeline = -1;
    if (b.guardian > 0) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (::waitpid(b.guardian, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    b.guardian = -1;
}

}  // namespace dl
