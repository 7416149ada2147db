#include "base/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace dl {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ProfileFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "profile-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

TEST_F(ProfileFile, RoundTripsThroughTheFileCreatingItsFolder) {
    const fs::path path = dir_ / "config" / "downloader" / "corvane.ini";
    EXPECT_EQ(Profile::load(path), Profile{});
    EXPECT_EQ(Profile::load(path).getInt("Settings", "iCountry", 1), 1);
    EXPECT_EQ(Profile::load(path).getString("Settings", "RecentFile1", "none"), "none");

    Profile p;
    EXPECT_TRUE(p.setInt("Settings", "iCountry", 82));
    EXPECT_TRUE(p.setInt("Settings", "WinLeft0", -100));
    EXPECT_TRUE(p.setUnsigned("Settings", "Baudrate", UINT32_MAX));
    EXPECT_TRUE(p.set("Settings", "RecentFile1", "/img/new box.bin"));
    EXPECT_TRUE(p.set("Devices", "COM1", "/dev/ttyUSB0"));
    ASSERT_TRUE(p.save(path));
    EXPECT_EQ(readFile(path),
              "[Settings]\niCountry=82\nWinLeft0=-100\nBaudrate=4294967295\nRecentFile1=/img/new box.bin\n"
              "\n[Devices]\nCOM1=/dev/ttyUSB0\n");

    Profile back = Profile::load(path);
    EXPECT_EQ(back, p);
    EXPECT_EQ(back.getInt("Settings", "iCountry", 1), 82);
    EXPECT_EQ(back.getInt("Settings", "WinLeft0", 0), -100);
    EXPECT_EQ(static_cast<uint32_t>(back.getInt("Settings", "Baudrate", 0)), UINT32_MAX);
    EXPECT_EQ(back.getString("Settings", "RecentFile1", ""), "/img/new box.bin");

    // Saving over an existing file replaces it, keeps its permissions and leaves no temporary file.
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    back.remove("Settings", "RecentFile1");
    ASSERT_TRUE(back.save(path));
    EXPECT_EQ(Profile::load(path).get("Settings", "RecentFile1"), std::nullopt);
    EXPECT_EQ(fs::status(path).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(entries(path.parent_path()), std::vector<std::string>{"corvane.ini"});
}

TEST(Profile, MatchesSectionAndKeyNamesIgnoringCase) {
    Profile p = Profile::parse("[SETTINGS]\nAlwaysOnTop=1\n");
    EXPECT_EQ(p.get("settings", "ALWAYSONTOP"), "1");
    EXPECT_EQ(p.get(" Settings ", " alwaysOnTop "), "1");
    EXPECT_EQ(p.get("Settings", "AlwaysOnTo"), std::nullopt);
    EXPECT_EQ(p.get("Setting", "AlwaysOnTop"), std::nullopt);

    ASSERT_TRUE(p.setInt("Settings", "alwaysontop", 0));
    EXPECT_EQ(p.text(), "[SETTINGS]\nAlwaysOnTop=0\n");
    p.remove("settings", "ALWAYSONTOP");
    EXPECT_EQ(p.text(), "[SETTINGS]\n");
}

TEST(Profile, ReadsIntegersAsThePlatformsIntegerRuleDoes) {
    struct Case {
        std::string_view line;
        int value;
    };
    const Case cases[] = {
        {"", 77},    // missing key: the default
        {"k=", 77},  // empty value: the default, as no text was found
        {"k=12", 12},
        {"k =  42  ", 42},
        {"k=-7", -7},
        {"k=+7", 7},
        {"k=007", 7},
        {"k=12abc", 12},
        {"k=abc", 0},
        {"k=- 5", 0},
        {"k=0x10", 0},
        {"k=4294967295", -1},  // the 32 bits of an unsigned value written with %u
        {"k=2147483648", INT_MIN},
    };
    for (const Case& c : cases) {
        Profile p = Profile::parse("[S]\n" + std::string(c.line) + "\n");
        EXPECT_EQ(p.getInt("S", "k", 77), c.value) << c.line;
    }
    Profile p = Profile::parse("[S]\nempty=\n");
    EXPECT_EQ(p.getString("S", "empty", "def"), "");
    EXPECT_EQ(p.getString("S", "missing", "def"), "def");
}

TEST(Profile, KeepsCommentsUnknownLinesAndOrderOnRewrite) {
    Profile p = Profile::parse(
        "; settings of the downloader\n"
        "orphan=1\n"
        "\n"
        "[Settings]\n"
        "; frame window\n"
        "  Port = 3  \n"
        "not a key line\n"
        "WinLeft0=10\n"
        "; end of settings\n"
        "\n"
        "[Other]\n"
        "Port=9\n"
        "[Settings\n"
        "[settings]\n"
        "RecentFile1=/img/x.bin ; not a comment\n");
    EXPECT_EQ(p.get("Settings", "orphan"), std::nullopt);
    EXPECT_EQ(p.get("Other", "Port"), "9");
    EXPECT_EQ(p.get("Settings", "Port"), "3");
    EXPECT_EQ(p.get("Settings", "RecentFile1"), "/img/x.bin ; not a comment");

    ASSERT_TRUE(p.setInt("Settings", "Port", 4));
    ASSERT_TRUE(p.setUnsigned("Settings", "Baudrate", 115200));
    ASSERT_TRUE(p.set("Devices", "COM1", "/dev/ttyS0"));
    p.remove("Settings", "WinLeft0");
    p.remove("Settings", "NoSuchKey");
    p.remove("Nowhere", "Port");
    EXPECT_EQ(p.text(),
              "; settings of the downloader\n"
              "orphan=1\n"
              "\n"
              "[Settings]\n"
              "; frame window\n"
              "Port=4\n"
              "not a key line\n"
              "Baudrate=115200\n"
              "; end of settings\n"
              "\n"
              "[Other]\n"
              "Port=9\n"
              "[Settings\n"
              "[settings]\n"
              "RecentFile1=/img/x.bin ; not a comment\n"
              "\n"
              "[Devices]\n"
              "COM1=/dev/ttyS0\n");

    // Every copy of a key goes, so a deleted key never comes back from a later duplicate.
    Profile dup = Profile::parse("[S]\nk=1\n[s]\nK=2\n");
    dup.remove("S", "k");
    EXPECT_EQ(dup.text(), "[S]\n[s]\n");
}

TEST_F(ProfileFile, ReadsAndKeepsCrlfLineEnds) {
    const fs::path path = dir_ / "corvane.ini";
    writeFile(path, "\xEF\xBB\xBF[Settings]\r\niCountry=82\r\nRecentFile1=C:\\a\\b.img\r\n");
    Profile p = Profile::load(path);
    EXPECT_EQ(p.get("Settings", "iCountry"), "82");
    EXPECT_EQ(p.getString("Settings", "RecentFile1", ""), "C:\\a\\b.img");

    ASSERT_TRUE(p.setInt("Settings", "AlwaysOnTop", 1));
    ASSERT_TRUE(p.save(path));
    EXPECT_EQ(readFile(path),
              "\xEF\xBB\xBF[Settings]\r\niCountry=82\r\nRecentFile1=C:\\a\\b.img\r\nAlwaysOnTop=1\r\n");

    // A last line without a line end is still read, and gets one on rewrite.
    Profile open = Profile::parse("[S]\nk=v");
    EXPECT_EQ(open.get("S", "k"), "v");
    EXPECT_EQ(open.text(), "[S]\nk=v\n");
}

TEST(Profile, RefusesKeysAndValuesTheFileCannotHold) {
    struct Case {
        std::string_view section, key, value;
    };
    const Case refused[] = {
        {"Settings", "a=b", "1"}, {"Settings", "k", "x\ny"},
        {"Settings", "k", "x\r"}, {"Set]tings", "k", "1"},
        {"", "k", "1"},           {"Se\nt", "k", "1"},
        {"Settings", "", "1"},    {"Settings", "  ", "1"},
        {"Settings", "[k", "1"},  {"Settings", ";k", "1"},
    };
    const std::string before = "[Settings]\nk=0\n";
    for (const Case& c : refused) {
        Profile p = Profile::parse(before);
        EXPECT_FALSE(p.set(c.section, c.key, c.value)) << c.section << "/" << c.key << "/" << c.value;
        EXPECT_EQ(p.text(), before) << c.section << "/" << c.key;
    }
    // '=' and ';' are ordinary characters inside a value.
    Profile p = Profile::parse(before);
    ASSERT_TRUE(p.set("Settings", "k", "a=b;c"));
    EXPECT_EQ(Profile::parse(p.text()).get("Settings", "k"), "a=b;c");
}

// Saves as a user who may not write the folder. Root may write anywhere, so as root the save runs in a
// child process that has given up root first. None when that cannot be arranged.
std::optional<bool> saveUnprivileged(const Profile& p, const fs::path& path) {
    if (::geteuid() != 0) return p.save(path);
    pid_t child = ::fork();
    if (child < 0) return std::nullopt;
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        ::_exit(p.save(path) ? 1 : 0);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 2)
        return std::nullopt;
    return WEXITSTATUS(status) == 1;
}

TEST_F(ProfileFile, AFailedSaveLeavesTheOldFileIntact) {
    const fs::path path = dir_ / "corvane.ini";
    const std::string old = "[Settings]\nPort=1\n";
    writeFile(path, old);
    // Writable by anyone, so only the folder stands in the way: writing the file in place would succeed.
    fs::permissions(
        path, fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
    Profile p = Profile::parse(old);
    ASSERT_TRUE(p.setInt("Settings", "Port", 2));

    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    std::optional<bool> saved = saveUnprivileged(p, path);
    fs::permissions(dir_, fs::perms::owner_all);
    if (!saved) GTEST_SKIP() << "cannot run a save without write permission here";
    EXPECT_FALSE(*saved);
    EXPECT_EQ(readFile(path), old);
    EXPECT_EQ(entries(dir_), std::vector<std::string>{"corvane.ini"});

    // A failure at the last step (the name is taken by a folder) removes the finished temporary file.
    const fs::path taken = dir_ / "taken.ini";
    fs::create_directory(taken);
    writeFile(taken / "inside", "x");
    EXPECT_FALSE(p.save(taken));
    EXPECT_EQ(entries(dir_), (std::vector<std::string>{"corvane.ini", "taken.ini"}));
    EXPECT_EQ(entries(taken), std::vector<std::string>{"inside"});
}

TEST_F(ProfileFile, WritesThroughALinkedSettingsFile) {
    const fs::path real = dir_ / "dotfiles.ini", link = dir_ / "corvane.ini";
    writeFile(real, "[Settings]\nPort=1\n");
    fs::create_symlink(real, link);
    Profile p = Profile::load(link);
    ASSERT_TRUE(p.setInt("Settings", "Port", 3));
    ASSERT_TRUE(p.save(link));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(real), "[Settings]\nPort=3\n");
}

TEST(Profile, DefaultPathFollowsXdgConfigHome) {
    struct Saved {
        const char* name;
        std::optional<std::string> value;
    };
    Saved saved[] = {{"XDG_CONFIG_HOME", {}}, {"HOME", {}}};
    for (Saved& s : saved) {
        if (const char* v = std::getenv(s.name)) s.value = v;
    }
    struct Case {
        const char* xdg;  // null: unset
        std::string_view path;
    };
    const Case cases[] = {
        {"/xdg/cfg", "/xdg/cfg/downloader/corvane.ini"},
        {nullptr, "/home/tech/.config/downloader/corvane.ini"},
        {"", "/home/tech/.config/downloader/corvane.ini"},
        {"relative/cfg", "/home/tech/.config/downloader/corvane.ini"},
    };
    ::setenv("HOME", "/home/tech", 1);
    for (const Case& c : cases) {
        if (c.xdg)
            ::setenv("XDG_CONFIG_HOME", c.xdg, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(defaultSettingsPath(), c.path) << (c.xdg ? c.xdg : "(unset)");
    }
    for (const Saved& s : saved) {
        if (s.value)
            ::setenv(s.name, s.value->c_str(), 1);
        else
            ::unsetenv(s.name);
    }
}

}  // namespace
}  // namespace dl
