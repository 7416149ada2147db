// downloader-cli run the way a script runs it, for integration tests.
//
//   dltest::CliRun r = dltest::runCli({"--port", sim.ptyPath(), "send", path}, dir);
//   EXPECT_EQ(r.exitCode, 0) << r.describe();
//
// The tool gets stdin from /dev/null, a session of its own (no controlling terminal to ask on) and its
// settings under the scratch directory, so no settings file of the user's applies. Its output goes to files
// there, read back when it has ended; the wait is one poll on a pidfd, and past the deadline the tool is
// killed. It is always reaped.
//
// The program is DL_CLI_PATH (defined by the test build when downloader-cli is built); `cliPath()` is empty
// otherwise, and tests skip.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "integration/test_files.h"

extern char** environ;

namespace dltest {

struct CliRun {
    int exitCode = -1;    // 128 + signal when killed
    bool killed = false;  // the deadline passed
    std::string out, err;

    std::string describe() const {
        return "exit " + std::to_string(exitCode) + (killed ? " (killed at the deadline)" : "") +
               "\nstdout:\n" + out + "\nstderr:\n" + err;
    }
};

inline std::string cliPath() {
#ifdef DL_CLI_PATH
    return DL_CLI_PATH;
#else
    return {};
#endif
}

// Runs `all` (the program, then its arguments) as runCli runs the tool.
inline CliRun runCommand(std::vector<std::string> all, const ScratchDir& dir,
                         std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    CliRun result;
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"XDG_CONFIG_HOME=" + dir.file("config")};
    for (char** e = environ; *e; ++e)
        if (!std::string_view(*e).starts_with("XDG_CONFIG_HOME=")) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string outPath = dir.file("cli.out"), errPath = dir.file("cli.err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
        return result;
    }

    const int exited = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (exited < 0) ADD_FAILURE() << "pidfd_open: " << std::strerror(errno);
    pollfd p{exited, POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (exited < 0 || left.count() <= 0) break;
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (ready > 0 || (ready < 0 && errno != EINTR)) break;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) {
        result.killed = true;
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (exited >= 0) close(exited);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = dir.read("cli.out").value_or("");
    result.err = dir.read("cli.err").value_or("");
    return result;
}

inline CliRun runCli(const std::vector<std::string>& args, const ScratchDir& dir,
                     std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    std::vector<std::string> all{cliPath()};
    all.insert(all.end(), args.begin(), args.end());
    return runCommand(std::move(all), dir, deadline);
}

}  // namespace dltest
