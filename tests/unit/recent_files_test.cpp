#include "base/recent_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dl {
namespace {

using Paths = std::vector<std::string>;

class RecentFiles : public ::testing::Test {
protected:
    void SetUp() override {
        savedMode_ = pathCompareMode();
        clearRecentFiles();
        pendingRecentFile.reset();
    }
    void TearDown() override {
        setPathCompareMode(savedMode_);
        clearRecentFiles();
    }

    // Builds a list whose entry 0 is paths[0].
    static void fill(const Paths& paths) {
        clearRecentFiles();
        for (auto it = paths.rbegin(); it != paths.rend(); ++it) ASSERT_EQ(addRecentFile(*it), 0) << *it;
    }
    static Paths listed() {
        Paths out;
        for (int i = 0; i < recentCount; ++i) out.push_back(*recentFileAt(i));
        return out;
    }

private:
    PathCompare savedMode_ = PathCompare::exact;
};

TEST_F(RecentFiles, LinuxComparesPathsExactlyByDefault) {
#ifdef _WIN32
    EXPECT_EQ(pathCompareMode(), PathCompare::ansiNoCase);
#else
    EXPECT_EQ(pathCompareMode(), PathCompare::exact);
#endif
}

TEST_F(RecentFiles, AddMovesAListedPathToTheFrontKeepingItsSpelling) {
    const Paths start{"c:\\p0.img", "c:\\p1.img", "c:\\p2.img", "c:\\img\\a.img", "c:\\p4.img"};
    struct Case {
        PathCompare mode;
        std::string added;
        int result;
        Paths after;
    };
    const Case cases[] = {
        {PathCompare::ansiNoCase,
         "C:\\IMG\\A.IMG",
         -1,
         {"c:\\img\\a.img", "c:\\p0.img", "c:\\p1.img", "c:\\p2.img", "c:\\p4.img"}},
        {PathCompare::exact,
         "C:\\IMG\\A.IMG",
         0,
         {"C:\\IMG\\A.IMG", "c:\\p0.img", "c:\\p1.img", "c:\\p2.img", "c:\\img\\a.img", "c:\\p4.img"}},
        {PathCompare::exact,
         "c:\\img\\a.img",
         -1,
         {"c:\\img\\a.img", "c:\\p0.img", "c:\\p1.img", "c:\\p2.img", "c:\\p4.img"}},
        {PathCompare::exact, "c:\\p0.img", -1, start},
        {PathCompare::ansiNoCase, "C:\\P0.IMG", -1, start},
        {PathCompare::exact,
         "c:\\p4.img",
         -1,
         {"c:\\p4.img", "c:\\p0.img", "c:\\p1.img", "c:\\p2.img", "c:\\img\\a.img"}},
    };
    for (const Case& c : cases) {
        setPathCompareMode(c.mode);
        fill(start);
        EXPECT_EQ(addRecentFile(c.added), c.result) << c.added;
        EXPECT_EQ(listed(), c.after) << c.added;
    }

    clearRecentFiles();
    EXPECT_EQ(addRecentFile("/img/first.bin"), 0);
    EXPECT_EQ(listed(), Paths{"/img/first.bin"});
}

TEST_F(RecentFiles, AFullListDropsItsOldestEntryForANewPath) {
    Paths nine;
    for (int i = 0; i < kRecentMax; ++i) nine.push_back("/img/" + std::to_string(i) + ".bin");
    fill(nine);

    // Moving the oldest entry to the front drops nothing.
    EXPECT_EQ(addRecentFile(nine[8]), -1);
    Paths moved{nine[8]};
    moved.insert(moved.end(), nine.begin(), nine.begin() + 8);
    EXPECT_EQ(listed(), moved);

    EXPECT_EQ(addRecentFile("/img/new.bin"), 0);
    Paths dropped{"/img/new.bin"};
    dropped.insert(dropped.end(), moved.begin(), moved.begin() + 8);
    EXPECT_EQ(listed(), dropped);
    EXPECT_EQ(recentCount, kRecentMax);
}

TEST_F(RecentFiles, RemoveTakesOutTheFirstEqualEntry) {
    setPathCompareMode(PathCompare::exact);  // Windows' default ignores case; "/B" must stay apart here
    fill({"/a", "/b", "/c"});
    EXPECT_EQ(removeRecentFile("/x"), -1);
    EXPECT_EQ(removeRecentFile("/B"), -1);
    EXPECT_EQ(listed(), (Paths{"/a", "/b", "/c"}));

    EXPECT_EQ(removeRecentFile("/b"), 2);
    EXPECT_EQ(listed(), (Paths{"/a", "/c"}));
    EXPECT_EQ(removeRecentFile("/c"), 1);
    EXPECT_EQ(removeRecentFile("/a"), 0);
    EXPECT_EQ(listed(), Paths{});
    EXPECT_EQ(removeRecentFile("/a"), -1);

    // Two spellings listed while names were exact; under the case-blind rule the first one goes.
    setPathCompareMode(PathCompare::exact);
    fill({"/x/a", "/x/A"});
    setPathCompareMode(PathCompare::ansiNoCase);
    EXPECT_EQ(removeRecentFile("/X/A"), 1);
    EXPECT_EQ(listed(), Paths{"/x/A"});
}

TEST_F(RecentFiles, LooksUpEntriesAndBuildsMenuRows) {
    EXPECT_EQ(recentFileAt(0), std::nullopt);
    EXPECT_EQ(recentMenuText(0), "");

    Paths nine;
    for (int i = 0; i < kRecentMax; ++i) nine.push_back("/img/" + std::to_string(i) + ".bin");
    fill(nine);
    EXPECT_EQ(recentFileAt(-1), std::nullopt);
    EXPECT_EQ(recentFileAt(kRecentMax), std::nullopt);
    EXPECT_EQ(recentFileAt(8), "/img/8.bin");
    EXPECT_EQ(recentMenuText(0), " &1 /img/0.bin");
    EXPECT_EQ(recentMenuText(8), " &9 /img/8.bin");
    EXPECT_EQ(recentMenuText(9), "");

    removeRecentFile("/img/8.bin");
    EXPECT_EQ(recentFileAt(8), std::nullopt);
    clearRecentFiles();
    EXPECT_EQ(recentCount, 0);
    EXPECT_EQ(recentFileAt(0), std::nullopt);
}

TEST_F(RecentFiles, RefusesAPathTooLongToStoreInsteadOfCuttingIt) {
    const std::string longest(kRecentPathMax, 'p');
    const std::string tooLong = longest + "q";
    fill({"/a"});
    EXPECT_EQ(addRecentFile(tooLong), 0);
    EXPECT_EQ(listed(), Paths{"/a"});
    EXPECT_EQ(addRecentFile(longest), 0);
    EXPECT_EQ(listed(), (Paths{longest, "/a"}));
    // The cut spelling of the long path is a different file and must not match it either.
    EXPECT_EQ(removeRecentFile(tooLong), -1);
}

TEST(RecentPathCompare, FollowsTheFileSystemsNameRules) {
    struct Case {
        std::string a, b;
        bool exact, noCase;
    };
    const Case cases[] = {
        {"C:\\IMG\\A.IMG", "c:\\img\\a.img", false, true},
        {"/img/a.bin", "/img/a.bin", true, true},
        {"abc", "abcd", false, false},
        {"[", "{", false, false},  // differ by the case bit but are not letters
        {"@", "`", false, false},
        {"\x81\x61", "\x81\x41", false, false},  // trail bytes that look like letters
        {"a\x81\x61", "A\x81\x41", false, false},
        {"\xB0\xA1"
         "a",
         "\xB0\xA1"
         "A",
         false, true},  // a letter after a double-byte character
        {"\x81\x81"
         "a",
         "\x81\x81"
         "A",
         false, true},                    // a trail byte that is also a lead byte
        {"a\x81", "A\x81", false, true},  // a lead byte with no trail byte
        {"\xC1", "\xE1", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(samePath(c.a, c.b, PathCompare::exact), c.exact) << c.a << " / " << c.b;
        EXPECT_EQ(samePath(c.a, c.b, PathCompare::ansiNoCase), c.noCase) << c.a << " / " << c.b;
        EXPECT_EQ(samePath(c.b, c.a, PathCompare::ansiNoCase), c.noCase) << c.b << " / " << c.a;
    }
    // In a single-byte code page the same bytes are two letters and do fold.
    auto noLeadBytes = [](uint8_t) { return false; };
    EXPECT_TRUE(samePath("\x81\x61", "\x81\x41", PathCompare::ansiNoCase, noLeadBytes));
    EXPECT_FALSE(samePath("\x81\x61", "\x81\x41", PathCompare::exact, noLeadBytes));
}

TEST_F(RecentFiles, DoubleByteTrailLettersKeepTwoImagesApart) {
    setPathCompareMode(PathCompare::ansiNoCase);
    fill({"/img/\x81\x61.bin"});
    EXPECT_EQ(addRecentFile("/IMG/\x81\x41.BIN"), 0);
    EXPECT_EQ(addRecentFile("/IMG/\x81\x61.BIN"), -1);
    EXPECT_EQ(listed(), (Paths{"/img/\x81\x61.bin", "/IMG/\x81\x41.BIN"}));
}

}  // namespace
}  // namespace dl
