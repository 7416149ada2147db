// The settings of a start and an exit, on a settings file that also holds what others wrote there.
#include "app/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "app/dispatch.h"
#include "base/language.h"
#include "base/recent_files.h"
#include "integration/test_files.h"
#include "session/session.h"

namespace dl {
namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedCountry = systemCountryCode;
        clearRecentFiles();
        lastPort = 0;
        lastBaud = kDefaultBaud;
    }
    void TearDown() override {
        systemCountryCode = savedCountry;
        koreanUi = false;
        clearRecentFiles();
    }
    // The key names of the file's lines, in order, and no other lines.
    static std::vector<std::string> keys(const Profile& p) {
        std::vector<std::string> out;
        for (const auto& line : p.lines)
            if (auto eq = line.find('='); eq != std::string::npos) out.push_back(line.substr(0, eq));
        return out;
    }
    int (*savedCountry)() = nullptr;
};

TEST_F(SettingsTest, AFirstStartAndExitWriteTheTwentyFourKeysInOrder) {
    loadStartupSettings(Profile{});
    EXPECT_FALSE(koreanUi.load());
    EXPECT_EQ(alwaysOnTop, 0);
    EXPECT_EQ(sessionTable[0].windowRect, (Rect{100, 100, 200, 100}));
    EXPECT_EQ(sessionTable[3].windowRect, (Rect{36, 46, 236, 146}));
    Profile p;
    storeExitSettings(p, Rect{10, 20, 810, 620});
    std::vector<std::string> expected = {"iCountry", "Port", "Baudrate", "AlwaysOnTop"};
    for (int slot = 0; slot < 5; ++slot)
        for (const char* base : {"WinLeft", "WinTop", "WinRight", "WinBottom"})
            expected.push_back(base + std::to_string(slot));
    EXPECT_EQ(keys(p), expected);
    EXPECT_EQ(p.get("Settings", "iCountry"), "1");
    EXPECT_EQ(p.get("Settings", "Baudrate"), "115200");
    EXPECT_EQ(p.get("Settings", "WinRight0"), "810");
    EXPECT_EQ(p.get("Settings", "WinBottom4"), "166");
}

TEST_F(SettingsTest, TheLanguageFollowsICountryAndTheSystemWhenItIsZero) {
    struct Case {
        const char* country;
        int system;
        bool korean;
    };
    for (Case c : {Case{"82", 1, true}, Case{"1", 82, false}, Case{"49", 82, false}, Case{"0", 82, true},
                   Case{"0", 1, false}}) {
        SCOPED_TRACE(testing::Message() << "iCountry=" << c.country << " system=" << c.system);
        static int system;
        system = c.system;
        systemCountryCode = [] { return system; };
        loadStartupSettings(Profile::parse(std::string("[Settings]\niCountry=") + c.country + "\n"));
        EXPECT_EQ(koreanUi.load(), c.korean);
        Profile out;
        storeExitSettings(out, {});
        EXPECT_EQ(out.get("Settings", "iCountry"), c.country) << "written back as read";
    }
}

TEST_F(SettingsTest, ShortRecentValuesAreSkippedAndKeysPastTheListDeleted) {
    Profile p = Profile::parse(
        "; kept\n[Devices]\nCOM1=/dev/ttyUSB0\n[Settings]\nRecentFile1=/img/b.img\nRecentFile2=x.i\n"
        "RecentFile3=/img/c.img\nRecentFile7=/img/old.img\nPort=3\nBaudrate=57600\n");
    loadStartupSettings(p);
    ASSERT_EQ(recentCount, 3);
    EXPECT_EQ(recentFiles[0], "/img/b.img");
    EXPECT_EQ(recentFiles[1], "/img/c.img");
    EXPECT_EQ(recentFiles[2], "/img/old.img");
    EXPECT_EQ(lastBaud.load(), kDefaultBaud) << "Port and Baudrate are written, never read";
    removeRecentFile("/img/old.img");
    storeExitSettings(p, {});
    EXPECT_EQ(p.get("Settings", "RecentFile1"), "/img/b.img");
    EXPECT_EQ(p.get("Settings", "RecentFile2"), "/img/c.img");
    EXPECT_FALSE(p.get("Settings", "RecentFile3"));
    EXPECT_FALSE(p.get("Settings", "RecentFile7"));
    EXPECT_EQ(p.get("Devices", "COM1"), "/dev/ttyUSB0");
    EXPECT_EQ(p.lines.front(), "; kept");
}

TEST(LocaleCountry, KoreaOrNoTerritoryIsEightyTwo) {
    const char* saved[3];
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (int i = 0; i < 3; ++i) {
        const char* v = std::getenv(names[i]);
        saved[i] = v ? strdup(v) : nullptr;
        unsetenv(names[i]);
    }
    EXPECT_EQ(localeCountryCode(), 82);
    setenv("LANG", "ko_KR.UTF-8", 1);
    EXPECT_EQ(localeCountryCode(), 82);
    setenv("LANG", "C.UTF-8", 1);
    EXPECT_EQ(localeCountryCode(), 82);
    setenv("LC_ALL", "en_GB.UTF-8", 1);
    EXPECT_NE(localeCountryCode(), 82) << "LC_ALL comes first";
    for (int i = 0; i < 3; ++i) {
        if (saved[i]) {
            setenv(names[i], saved[i], 1);
            free(const_cast<char*>(saved[i]));
        } else {
            unsetenv(names[i]);
        }
    }
}

// A settings file that is there but cannot be read is never written over, and nothing stalls on one
// (a FIFO) or reads without end (a device). A missing one is a first start, not a refusal.
TEST_F(SettingsTest, AFileThatCannotBeReadIsRefusedAndLeftAlone) {
    dltest::ScratchDir dir;
    const std::string fifo = dir.file("fifo.ini"), big = dir.file("big.ini"), locked = dir.file("locked.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(big) << "[Devices]\nCOM1=/dev/ttyUSB0\n";
    ASSERT_EQ(::truncate(big.c_str(), Profile::kMaxSize + 1), 0);
    std::vector<std::string> refused = {fifo, big};
    if (::geteuid() != 0) {  // root reads it anyway
        std::ofstream(locked) << "[Settings]\nWinLeft0=5\n";
        ::chmod(locked.c_str(), 0);
        refused.push_back(locked);
    }
    for (const std::string& path : refused) {
        std::string why, error;
        EXPECT_TRUE(Profile::load(path, &why).lines.empty()) << path;
        EXPECT_FALSE(why.empty()) << path;
        EXPECT_FALSE(saveExitSettings(path, Rect{1, 2, 3, 4}, &error)) << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
    }
    for (const std::string& path : {dir.path().string(), std::string("/dev/zero")}) {
        std::string why;
        EXPECT_TRUE(Profile::load(path, &why).lines.empty()) << path;
        EXPECT_FALSE(why.empty()) << path;
    }
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced by a file";
    ASSERT_EQ(::stat(big.c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), Profile::kMaxSize + 1);

    std::string why = "stale";
    Profile::load(dir.file("none.ini"), &why);
    EXPECT_TRUE(why.empty());
}

}  // namespace
}  // namespace dl
