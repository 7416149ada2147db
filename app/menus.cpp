#include "app/menus.h"

#include <cstdio>

#include "app/dispatch.h"
#include "app/reconnect.h"
#include "base/commands.h"
#include "base/texts.h"
#include "serial/session_log.h"
#include "session/session.h"

namespace dl {

namespace {

std::string str(Text id, bool korean = false) {
    return std::string(text(id, korean));
}

MenuItem item(uint16_t id, Text t, bool korean = false) {
    return MenuItem{id, str(t, korean)};
}

MenuItem separator() {
    return MenuItem{};
}

std::string numbered(Text format, int number, const std::string& what) {
    const std::string f = str(format);
    // Room for the number; the rest is the format's own length plus the path.
    std::string out(f.size() + what.size() + 16, '\0');
    const int n = std::snprintf(out.data(), out.size(), f.c_str(), number, what.c_str());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

bool isUpdateCommand(uint16_t id) {
    switch (id) {
        case cmdVerifySystem:
        case cmdUpdateChannelData:
        case cmdUpdateSafe:
        case cmdUpdateAll:
        case cmdUpdateCardless:
        case cmdUpdateM5:
            return true;
        default:
            return false;
    }
}

}  // namespace

void applySessionMenuRule(std::vector<MenuItem>& items, bool connected, bool programming, bool korean) {
    for (MenuItem& m : items) {
        if (m.id == cmdConnect) {
            m.text = str(connected ? Text::sessionDisconnect : Text::sessionConnect, korean);
        } else if (m.id == cmdUpload) {
            m.enabled = connected && programming;
        } else if (m.id == cmdSettings) {
            m.enabled = !connected;
        } else if (isUpdateCommand(m.id)) {
            m.enabled = connected && !programming;
        }
    }
}

std::vector<MenuPopup> frameMenu(const FrameMenuInput& in) {
    MenuPopup file{str(Text::popupFile),
                   {item(cmdOpenCom1, Text::frameOpenCom1), item(cmdOpenCom2, Text::frameOpenCom2),
                    item(cmdOpenCom3, Text::frameOpenCom3), item(cmdOpenCom4, Text::frameOpenCom4),
                    separator(), item(cmdExit, Text::frameExit)}};
    for (int n = 0; n < 4; ++n) file.items[n].checked = in.portWindowOpen[n];

    MenuPopup dstb{
        str(Text::popupDstb),
        {item(cmdConnect, Text::sessionConnect), separator(), item(cmdVerifySystem, Text::frameVerify),
         item(cmdUpdateChannelData, Text::frameUpdateChannel), item(cmdUpdateSafe, Text::frameUpdateSafe),
         item(cmdUpdateAll, Text::frameUpdateAll), item(cmdUpdateCardless, Text::frameUpdateCardless),
         item(cmdUpdateM5, Text::frameUpdateM5), separator(), item(cmdUpload, Text::frameUpload), separator(),
         item(cmdClose, Text::frameClose)}};

    MenuPopup window{
        str(Text::popupWindow),
        {item(cmdArrangeIcons, Text::frameArrangeIcons), item(cmdCascade, Text::frameCascade),
         item(cmdTileHorizontal, Text::frameTileHorizontal), item(cmdTileVertical, Text::frameTileVertical)}};
    if (!in.windowTitles.empty()) window.items.push_back(separator());
    for (size_t i = 0; i < in.windowTitles.size(); ++i) {
        MenuItem row{static_cast<uint16_t>(cmdWindowMenuFirst + i),
                     numbered(Text::windowMenuRow, static_cast<int>(i + 1), in.windowTitles[i])};
        row.checked = static_cast<int>(i) == in.activeWindowIndex;
        window.items.push_back(row);
    }

    // Our own menu, in the language of the run: what a terminal user expects beyond the box's commands.
    const bool k = in.korean;
    MenuPopup tools{
        str(Text::popupTools, k),
        {item(cmdCopy, Text::toolsCopy, k), item(cmdPaste, Text::toolsPaste, k),
         item(cmdSelectAll, Text::toolsSelectAll, k), separator(),
         item(cmdLogToFile, Text::toolsLogToFile, k), item(cmdLogTimestamps, Text::toolsTimestamps, k), separator(),
         item(cmdReconnect, Text::toolsReconnect, k)}};
    for (MenuItem& m : tools.items) {
        if (m.id == cmdLogTimestamps || m.id == cmdReconnect) {
            m.checked = m.id == cmdLogTimestamps ? in.logTimestamps : in.reconnect;
            continue;
        }
        m.enabled = in.hasActiveSession && (m.id != cmdPaste || in.connected);
        m.checked = m.id == cmdLogToFile && in.logging;
    }

    MenuPopup help{str(Text::popupHelp),
                   {item(cmdContents, Text::frameContents), item(cmdReleaseNote, Text::frameReleaseNote),
                    separator(), item(cmdAbout, Text::frameAbout)}};

    const bool active = in.hasActiveSession;
    for (MenuItem& m : dstb.items) {
        if (m.id == cmdClose) m.enabled = active;
    }
    for (MenuItem& m : window.items) {
        if (m.id >= cmdArrangeIcons && m.id <= cmdTileVertical) m.enabled = active;
    }
    applySessionMenuRule(dstb.items, active && in.connected, active && in.programming, in.korean);
    if (!active) dstb.items.front().enabled = false;
    return {file, dstb, window, tools, help};
}

FrameMenuInput frameMenuInput(WindowId activeWindow, bool korean) {
    FrameMenuInput in;
    in.korean = korean;
    for (int n = 1; n <= 4; ++n) {
        const PortSession& s = sessionTable[n];
        in.portWindowOpen[n - 1] = s.inUse.load() == 1 && s.window.load() != 0;
    }
    const int slot = activeWindow ? lookupSession(activeWindow) : 0;
    if (slot != 0) {
        in.hasActiveSession = true;
        in.connected = sessionTable[slot].connected.load() != 0;
        in.programming = sessionTable[slot].programming.load() != 0;
        in.logging = sessionLogActive(activeWindow);
    }
    in.logTimestamps = logTimestamps;
    in.reconnect = reconnectAutomatically.load();
    return in;
}

std::vector<MenuItem> sessionContextMenu(const SessionMenuInput& in) {
    const bool k = in.korean;
    if (!in.connected) {
        return {item(cmdConnect, Text::sessionConnect, k), item(cmdSettings, Text::sessionSettings, k),
                separator(), item(cmdClose, Text::sessionClose, k)};
    }
    const bool idle = !in.programming;
    auto greyedWhileProgramming = [&](uint16_t id, Text t) {
        MenuItem m = item(id, t, k);
        m.enabled = idle;
        return m;
    };
    std::vector<MenuItem> rows{item(cmdConnect, Text::sessionDisconnect, k), separator(),
                               greyedWhileProgramming(cmdVerifySystem, Text::sessionVerify),
                               greyedWhileProgramming(cmdUpdateChannelData, Text::sessionUpdateChannel)};
    const bool haveRecent = !in.recentFiles.empty();
    if (haveRecent) rows.push_back(separator());
    rows.push_back(greyedWhileProgramming(cmdUpdateSafe, Text::sessionUpdateSafe));
    if (haveRecent) {
        for (size_t i = 0; i < in.recentFiles.size() && i < 9; ++i) {
            MenuItem row{static_cast<uint16_t>(cmdRecentFileFirst + i),
                         numbered(Text::recentRow, static_cast<int>(i + 1), in.recentFiles[i])};
            row.enabled = idle;
            rows.push_back(row);
        }
        rows.push_back(separator());
        rows.push_back(item(cmdCleanRecentFiles, Text::cleanRecentFiles));
        rows.push_back(separator());
    }
    rows.push_back(greyedWhileProgramming(cmdUpdateAll, Text::sessionUpdateAll));
    rows.push_back(greyedWhileProgramming(cmdUpdateCardless, Text::sessionUpdateCardless));
    rows.push_back(greyedWhileProgramming(cmdUpdateM5, Text::sessionUpdateM5));
    rows.push_back(separator());
    MenuItem upload = item(cmdUpload, Text::sessionUpload, k);
    upload.enabled = in.programming;
    rows.push_back(upload);
    rows.push_back(separator());
    rows.push_back(item(cmdClose, Text::sessionClose, k));
    return rows;
}

bool menuKeyEnabled(MenuKey key, bool connected, bool programming) {
    std::vector<MenuItem> one{MenuItem{menuKeyCommand(key), {}}};
    applySessionMenuRule(one, connected, programming, false);
    return one.front().enabled;
}

uint16_t menuKeyCommand(MenuKey key) {
    switch (key) {
        case MenuKey::home:
            return cmdConnect;
        case MenuKey::pageUp:
            return cmdUpload;
        case MenuKey::f1:
            return cmdVerifySystem;
        case MenuKey::f2:
            return cmdUpdateChannelData;
        case MenuKey::f3:
            return cmdUpdateSafe;
        case MenuKey::f4:
            return cmdUpdateAll;
        case MenuKey::f5:
            return cmdUpdateCardless;
        case MenuKey::f6:
            return cmdUpdateM5;
    }
    return 0;
}

const MenuItem* findMenuItem(const std::vector<MenuPopup>& popups, uint16_t id) {
    for (const MenuPopup& p : popups)
        for (const MenuItem& m : p.items)
            if (m.id == id && !m.isSeparator()) return &m;
    return nullptr;
}

}  // namespace dl
