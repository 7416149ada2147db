#include "app/menus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/commands.h"

namespace dl {
namespace {

const std::vector<uint16_t> kUpdates{cmdVerifySystem, cmdUpdateChannelData, cmdUpdateSafe,
                                     cmdUpdateAll,    cmdUpdateCardless,    cmdUpdateM5};

struct Row {
    const char* name;
    bool active, connected, programming;
    const char* connectText;
    bool connectEnabled, updatesEnabled, uploadEnabled;
};

// One row per state of the frame's menu: what the connect item reads and what is greyed.
TEST(FrameMenu, StateTable) {
    const Row rows[] = {
        {"no window", false, false, false, "Connect                    Home", false, false, false},
        {"disconnected", true, false, false, "Connect                    Home", true, false, false},
        {"connected", true, true, false, "Disconnect                Home", true, true, false},
        {"programming", true, true, true, "Disconnect                Home", true, false, true},
        // Stale flags of a session that is not the active one must not leak into the menu.
        {"no window, flags set", false, true, true, "Connect                    Home", false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        FrameMenuInput in;
        in.hasActiveSession = r.active;
        in.connected = r.connected;
        in.programming = r.programming;
        const auto menu = frameMenu(in);
        ASSERT_EQ(menu.size(), 5u);
        EXPECT_EQ(findMenuItem(menu, cmdConnect)->text, r.connectText);
        EXPECT_EQ(findMenuItem(menu, cmdConnect)->enabled, r.connectEnabled);
        for (uint16_t id : kUpdates) EXPECT_EQ(findMenuItem(menu, id)->enabled, r.updatesEnabled) << id;
        EXPECT_EQ(findMenuItem(menu, cmdUpload)->enabled, r.uploadEnabled);
        for (uint16_t id : {cmdClose, cmdArrangeIcons, cmdCascade, cmdTileHorizontal, cmdTileVertical})
            EXPECT_EQ(findMenuItem(menu, id)->enabled, r.active) << id;
        for (uint16_t id : {cmdOpenCom1, cmdOpenCom4, cmdContents, cmdReleaseNote, cmdAbout, cmdExit})
            EXPECT_TRUE(findMenuItem(menu, id)->enabled) << id;
    }
}

TEST(FrameMenu, KoreanChangesOnlyTheConnectItem) {
    FrameMenuInput en, ko;
    ko.korean = true;
    en.hasActiveSession = ko.hasActiveSession = true;
    auto menuEn = frameMenu(en);
    auto menuKo = frameMenu(ko);
    EXPECT_EQ(findMenuItem(menuKo, cmdConnect)->text, "직렬 연결               Home");
    en.connected = ko.connected = true;
    menuEn = frameMenu(en);
    menuKo = frameMenu(ko);
    EXPECT_EQ(findMenuItem(menuKo, cmdConnect)->text, "연결 해제               Home");
    for (size_t p = 0; p < menuEn.size(); ++p) {
        if (menuEn[p].title == "Tools") {  // our own menu speaks the run's language
            EXPECT_EQ(menuKo[p].title, "도구");
            continue;
        }
        EXPECT_EQ(menuEn[p].title, menuKo[p].title);
        for (size_t i = 0; i < menuEn[p].items.size(); ++i)
            if (menuEn[p].items[i].id != cmdConnect) {
                EXPECT_EQ(menuEn[p].items[i], menuKo[p].items[i]);
            }
    }
}

TEST(FrameMenu, OpenItemsCheckedPerPortAndWindowList) {
    FrameMenuInput in;
    in.portWindowOpen = {false, true, false, true};
    in.windowTitles = {"Com2", "Com4"};
    in.activeWindowIndex = 1;
    const auto menu = frameMenu(in);
    EXPECT_FALSE(findMenuItem(menu, cmdOpenCom1)->checked);
    EXPECT_TRUE(findMenuItem(menu, cmdOpenCom2)->checked);
    EXPECT_FALSE(findMenuItem(menu, cmdOpenCom3)->checked);
    EXPECT_TRUE(findMenuItem(menu, cmdOpenCom4)->checked);
    const auto& window = menu[2].items;
    ASSERT_EQ(window.size(), 7u);  // four arrangement items, a separator, two windows
    EXPECT_TRUE(window[4].isSeparator());
    EXPECT_EQ(window[5], (MenuItem{cmdWindowMenuFirst, "&1 Com2", true, false}));
    EXPECT_EQ(window[6], (MenuItem{cmdWindowMenuFirst + 1, "&2 Com4", true, true}));
    // No window: no trailing separator under the arrangement items.
    EXPECT_EQ(frameMenu(FrameMenuInput{})[2].items.size(), 4u);
}

std::vector<uint16_t> ids(const std::vector<MenuItem>& rows) {
    std::vector<uint16_t> out;
    for (const auto& r : rows) out.push_back(r.id);
    return out;
}

TEST(ContextMenu, DisconnectedAndConnectedOrders) {
    EXPECT_EQ(ids(sessionContextMenu({false, false, false, {"/a.img"}})),
              (std::vector<uint16_t>{cmdConnect, cmdSettings, 0, cmdClose}));
    const auto rows = sessionContextMenu({true, false, false, {}});
    EXPECT_EQ(ids(rows), (std::vector<uint16_t>{cmdConnect, 0, cmdVerifySystem, cmdUpdateChannelData,
                                                cmdUpdateSafe, cmdUpdateAll, cmdUpdateCardless, cmdUpdateM5,
                                                0, cmdUpload, 0, cmdClose}));
    EXPECT_EQ(rows[0].text, "Disconnect                Home");
    EXPECT_FALSE(rows[9].enabled);  // upload outside a programming run
}

TEST(ContextMenu, RecentRowsWhileProgramming) {
    const auto rows = sessionContextMenu({true, true, true, {"/img/a.img", "b.img", "/c d.img"}});
    EXPECT_EQ(ids(rows),
              (std::vector<uint16_t>{cmdConnect, 0, cmdVerifySystem, cmdUpdateChannelData, 0, cmdUpdateSafe,
                                     1101, 1102, 1103, 0, cmdCleanRecentFiles, 0, cmdUpdateAll,
                                     cmdUpdateCardless, cmdUpdateM5, 0, cmdUpload, 0, cmdClose}));
    EXPECT_EQ(rows[6].text, " &1 /img/a.img");
    EXPECT_EQ(rows[8].text, " &3 /c d.img");
    EXPECT_EQ(rows[10].text, "Clean Recent Files List");  // English in Korean mode
    EXPECT_EQ(rows[14].text, "업데이트 M5\t\t\tF6");
    std::vector<uint16_t> usable;
    for (const auto& r : rows)
        if (!r.isSeparator() && r.enabled) usable.push_back(r.id);
    EXPECT_EQ(usable, (std::vector<uint16_t>{cmdConnect, cmdCleanRecentFiles, cmdUpload, cmdClose}));
}

TEST(MenuKeys, EveryNamedKeyReachesItsCommand) {
    EXPECT_EQ(menuKeyCommand(MenuKey::home), cmdConnect);
    EXPECT_EQ(menuKeyCommand(MenuKey::pageUp), cmdUpload);
    EXPECT_EQ(menuKeyCommand(MenuKey::f1), cmdVerifySystem);
    EXPECT_EQ(menuKeyCommand(MenuKey::f2), cmdUpdateChannelData);
    EXPECT_EQ(menuKeyCommand(MenuKey::f3), cmdUpdateSafe);
    EXPECT_EQ(menuKeyCommand(MenuKey::f4), cmdUpdateAll);
    EXPECT_EQ(menuKeyCommand(MenuKey::f5), cmdUpdateCardless);
    EXPECT_EQ(menuKeyCommand(MenuKey::f6), cmdUpdateM5);
}

// A key acts only where the menu offers its item: PgUp only while the box has a programming run
// going, the update keys only on an idle connected line, Home always.
TEST(MenuKeys, TheKeyOfAGreyedItemIsInert) {
    EXPECT_FALSE(menuKeyEnabled(MenuKey::pageUp, true, false));
    EXPECT_FALSE(menuKeyEnabled(MenuKey::pageUp, false, true));
    EXPECT_TRUE(menuKeyEnabled(MenuKey::pageUp, true, true));
    for (MenuKey k : {MenuKey::f2, MenuKey::f3, MenuKey::f4, MenuKey::f5, MenuKey::f6}) {
        EXPECT_TRUE(menuKeyEnabled(k, true, false));
        EXPECT_FALSE(menuKeyEnabled(k, true, true));
        EXPECT_FALSE(menuKeyEnabled(k, false, false));
    }
    for (bool connected : {false, true}) EXPECT_TRUE(menuKeyEnabled(MenuKey::home, connected, connected));
}

}  // namespace
}  // namespace dl
