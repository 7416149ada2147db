// A line that one run of downloader-cli has closed must open for the next. The tool opens its port
// exclusively; an exclusive flag left on the device makes every later open by an ordinary user fail with
// "Device or resource busy". Root is exempt from that flag, so the test only tells a released line from a
// held one when the suite runs as an ordinary user (the CI runs it so as well).
#include <gtest/gtest.h>

#include <string>

#include "integration/cli_process.h"
#include "integration/core_driver.h"
#include "integration/stbsim_process.h"

namespace {

using dltest::kStep;
using dltest::randomBytes;
using dltest::ScratchDir;
using dltest::StbsimProcess;

TEST(Reconnect, ASecondRunOfTheToolOpensTheLineTheFirstClosed) {
    if (dltest::cliPath().empty()) GTEST_SKIP() << "downloader-cli is not built";
    ScratchDir dir;
    StbsimProcess sim({"--no-banner", "--keep-open", "--save", dir.file("taken.bin")});
    for (unsigned run = 1; run <= 2; ++run) {
        const std::string data = randomBytes(32768, 90 + run);
        auto r = dltest::runCli(
            {"--port", sim.ptyPath(), "send", "--timeout", "5", dir.write("data.bin", data)}, dir);
        ASSERT_EQ(r.exitCode, 0) << "run " << run << " as uid " << getuid() << ": " << r.describe()
                                 << sim.log();
        auto take = sim.waitEvent("TAKE", kStep);
        ASSERT_TRUE(take) << sim.log();
        EXPECT_EQ(take->get("ok"), "1") << take->raw;
        EXPECT_TRUE(dir.read("taken.bin") == data) << "run " << run << ": the box saved other data";
        ASSERT_TRUE(sim.waitEvent("DISCONNECTED", kStep)) << sim.log();
    }
}

}  // namespace
