// The demonstration box: the core programs its sample image into it, and nothing of it outlives the
// program, also when the program is killed.
#include "app/demo_box.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "integration/core_driver.h"

namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Whether a running process has `text` in its command line.
bool processNames(const std::string& text) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (cmdline.find(text) != std::string::npos) return true;
    }
    return false;
}

bool eventually(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(DemoBox, TakesTheSampleImageAndLeavesNothingBehind) {
    std::string error;
    auto box = dl::startDemoBox(DL_STBSIM_PATH, &error);
    ASSERT_TRUE(box) << error;
    const std::string folder = box->directory;
    {
        dltest::CoreDriver driver;
        dl::PortSession* s = driver.open(0xD3, 1, box->pty);
        ASSERT_NE(s, nullptr);
        driver.chooseFile(box->image);
        ASSERT_EQ(dl::sessionCommand(0xD3, dl::cmdUpdateSafe, 0), 1);
        auto ended = driver.next(dl::cmdSenderEnded, 30s);
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->param, dl::senderFinished);
        EXPECT_EQ(s->sectorsSent.load(), 64u) << "every sector of the sample image was asked for";
    }
    dl::stopDemoBox(*box);
    EXPECT_FALSE(exists(folder));
}

TEST(DemoBox, AKilledProgramLeavesNoBoxAndNoFolder) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t program = ::fork();
    if (program == 0) {
        auto box = dl::startDemoBox(DL_STBSIM_PATH, nullptr);
        const std::string line = box ? box->directory + "\n" : "\n";
        (void)!::write(report[1], line.data(), line.size());
        ::pause();
        ::_exit(0);
    }
    ::close(report[1]);
    std::string folder;
    char c;
    while (::read(report[0], &c, 1) == 1 && c != '\n') folder += c;
    ::close(report[0]);
    ASSERT_FALSE(folder.empty()) << "the box did not start";
    EXPECT_TRUE(exists(folder));
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
    EXPECT_TRUE(eventually([&] { return !exists(folder); })) << folder << " was left behind";
    // stbsim wrote its log into the folder, so with the folder gone the guardian has stopped it; no
    // process of the box may remain either.
    EXPECT_TRUE(eventually([&] { return !processNames(folder); }));
}

}  // namespace
