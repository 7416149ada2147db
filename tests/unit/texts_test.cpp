#include "base/texts.h"

#include <gtest/gtest.h>

#include "base/language.h"

namespace dl {
namespace {

TEST(Texts, KoreanVariantOrEnglishFallback) {
    EXPECT_EQ(text(Text::sessionConnect, true), "직렬 연결               Home");
    EXPECT_EQ(text(Text::sessionUpdateM5, true), "업데이트 M5\t\t\tF6");
    // Message texts and the clean-list item have no Korean variant: the English bytes in both languages.
    EXPECT_EQ(text(Text::connectionFailed, true), "Connection failed.");
    EXPECT_EQ(text(Text::cleanRecentFiles, true), "Clean Recent Files List");
    // The frame's menu bar keeps its English texts in Korean mode.
    EXPECT_EQ(text(Text::frameOpenCom2, true), "Open Com&2");
    EXPECT_EQ(text(Text::saveDataTitle, true), "업로드할 파일 ");
}

TEST(Texts, RunLanguageFollowsTheFlagAndAgreesWithTheTitle) {
    for (bool korean : {false, true}) {
        koreanUi = korean;
        EXPECT_EQ(text(Text::appTitle), appTitle());
        EXPECT_EQ(text(Text::stopDownloadTitle),
                  "Warning:If you break downloading the STB may not revive !!!");
    }
    koreanUi = false;
}

}  // namespace
}  // namespace dl
