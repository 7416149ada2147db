// The image and data file choice: the dialog's cancel path, the description line, the sector title.
#include "exchange/file_choice.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "base/recent_files.h"
#include "exchange/sector_sender.h"
#include "session/protocol_state.h"
#include "support/recording_host.h"

namespace dl {
namespace {

TEST(FileChoice, ThousandsSeparatorsStandOnlyBetweenGroups) {
    EXPECT_EQ(formatThousands(0), "0");
    EXPECT_EQ(formatThousands(999), "999");
    EXPECT_EQ(formatThousands(1000), "1,000");
    EXPECT_EQ(formatThousands(262144), "262,144");
    EXPECT_EQ(formatThousands(999999), "999,999");
    EXPECT_EQ(formatThousands(1048576), "1,048,576");
    EXPECT_EQ(formatThousands(4294967295u), "4,294,967,295");
}

TEST(FileChoice, DescriptionLineHasNameLocalTimeAndSize) {
    const char* savedTz = std::getenv("TZ");
    const std::string keep = savedTz ? savedTz : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    struct stat st {};
    std::tm when{};
    when.tm_year = 2004 - 1900;
    when.tm_mon = 3;
    when.tm_mday = 16;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 7;
    st.st_mtime = timegm(&when);
    EXPECT_EQ(describeFile("/srv/images/image.img", st, 1048576), "image.img  2004-4-16  9:05:07  1,048,576");
    EXPECT_EQ(describeFile("plain.bin", st, 5), "plain.bin  2004-4-16  9:05:07  5");
    EXPECT_EQ(directoryOf("/srv/images/image.img"), "/srv/images");
    EXPECT_EQ(directoryOf("image.img"), "");
    if (savedTz)
        setenv("TZ", keep.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(FileChoice, SectorTitleIsUpperCaseHex) {
    EXPECT_EQ(sectorTitle(1, 5, 0), "Com1 sector 05 chk=0");
    EXPECT_EQ(sectorTitle(2, 291, 65535), "Com2 sector 123 chk=FFFF");
    EXPECT_EQ(sectorTitle(4, 0xA1, 0x000FF000), "Com4 sector A1 chk=FF000");
}

class ImageChoice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(createSession(kWin, 1), 1);
        windowHost().messageBox = [this](WindowId owner, const std::string& text, const std::string& title,
                                         MessageIcon icon, MessageButtons, const std::string&) {
            boxes.push_back({owner, text, title, icon});
            return MessageAnswer::ok;
        };
        windowHost().chooseFile = [this](FileChoice& c) {
            choices.push_back(c);
            return false;  // the user cancels
        };
        clearRecentFiles();
        pendingRecentFile.reset();
        lastImageDirectory = "/srv/images";
    }
    void TearDown() override {
        clearRecentFiles();
        pendingRecentFile.reset();
        lastImageDirectory.clear();
        protocolMode = modeIdle;
    }
    struct Box {
        WindowId owner;
        std::string text, title;
        MessageIcon icon;
    };
    static constexpr WindowId kWin = 0x1A6E;
    test::RecordingHost host;
    std::vector<Box> boxes;
    std::vector<FileChoice> choices;
};

TEST_F(ImageChoice, CancelledDialogSaysSoAndEndsTheRun) {
    PortSession& s = sessionTable[1];
    s.lastImage = "/srv/images/last.img";
    s.filePath = "/srv/data/channels.dat";  // the data file sent last is no image to offer
    s.programming = 1;
    protocolMode = modeProgramming;
    EXPECT_EQ(startImageUpload(kWin), 0);
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_EQ(choices[0].initialDir, "/srv/images");
    EXPECT_EQ(choices[0].path, "/srv/images/last.img");
    EXPECT_EQ(choices[0].title, "File to upload");
    EXPECT_TRUE(choices[0].mustExist);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, 0u);
    EXPECT_EQ(boxes[0].text, "/srv/images/last.img");
    EXPECT_EQ(boxes[0].title, "Zentu Error!");
    EXPECT_EQ(boxes[0].icon, MessageIcon::warning);
    EXPECT_EQ(s.programming.load(), 0);
    EXPECT_EQ(s.transferActive.load(), 0);
    EXPECT_EQ(protocolMode.load(), modeIdle) << "the line goes back to the frame detector";
    EXPECT_FALSE(s.sectorThread.joinable());
}

TEST_F(ImageChoice, AVanishedRecentFileLeavesTheListAndTheDialogAsks) {
    addRecentFile("/srv/images/other.img");
    addRecentFile("/nonexistent/gone.img");
    pendingRecentFile = "/nonexistent/gone.img";
    EXPECT_EQ(startImageUpload(kWin), 0);
    EXPECT_EQ(recentCount, 1);
    EXPECT_EQ(recentFileAt(0), "/srv/images/other.img");
    EXPECT_FALSE(pendingRecentFile.has_value());
    EXPECT_EQ(choices.size(), 1u) << "the dialog asks instead";

    // A directory is no image either.
    choices.clear();
    addRecentFile("/tmp");
    pendingRecentFile = "/tmp";
    EXPECT_EQ(startImageUpload(kWin), 0);
    EXPECT_EQ(recentFileAt(0), "/srv/images/other.img");
    EXPECT_EQ(choices.size(), 1u);
}

TEST_F(ImageChoice, APathLongerThanTheCallerCanHoldIsNotTaken) {
    windowHost().chooseFile = [](FileChoice& c) {
        c.path = std::string(c.capacity, 'x');
        return true;
    };
    std::string path = "kept";
    EXPECT_EQ(chooseOpenFile("", kWin, path, 160, "t", false), 0);
    EXPECT_EQ(path, "kept");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "kept");
}

}  // namespace
}  // namespace dl
