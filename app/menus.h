// What the menus show, computed afresh each time one opens: the frame's menu bar (texts, check marks,
// greying), the window list under its "Window" popup, a session's context menu, and the keys that
// reach a session window's commands. Pure functions over plain inputs, so every state can be checked
// without a display; the front end only copies the answer into its widgets.
//
// The frame's rule: 501..504 are checked when that port has a window; with an active session window
// 601 and 609..612 are enabled and the session rule applies with its flags; without one they are
// greyed, the session rule applies as for a disconnected session and 603 is greyed too. The session
// rule: connected, 603 reads "Disconnect" and 604..607, 621, 622 are enabled unless programming, 608 only
// while programming, 602 greyed; not connected, 603 reads "Connect", 602 enabled, the others greyed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/window_host.h"

namespace dl {

struct MenuItem {
    uint16_t id = 0;  // 0: a separator
    std::string text;
    bool enabled = true;
    bool checked = false;
    bool isSeparator() const { return id == 0; }
    friend bool operator==(const MenuItem&, const MenuItem&) = default;
};

struct MenuPopup {
    std::string title;
    std::vector<MenuItem> items;
};

struct FrameMenuInput {
    std::array<bool, 4> portWindowOpen{};  // COM1..COM4
    bool hasActiveSession = false;
    bool connected = false;  // of the active session
    bool programming = false;
    bool korean = false;
    std::vector<std::string> windowTitles;  // the session windows, in the window list's order
    int activeWindowIndex = -1;             // into windowTitles
    bool logging = false;                   // the active session writes its log
    bool logTimestamps = false;             // logs started from now on stamp their lines
    bool reconnect = false;                 // a lost device is waited for and connected again
};

// The popups of the frame's menu bar: "&File   ", "DSTB   ", "Window  ", our own Tools ("Tools" /
// "도구"), "Help".
std::vector<MenuPopup> frameMenu(const FrameMenuInput& in);

// The input as the session table says it, for the given active session window (0: none).
FrameMenuInput frameMenuInput(WindowId activeWindow, bool korean);

struct SessionMenuInput {
    bool connected = false;
    bool programming = false;
    bool korean = false;
    std::vector<std::string> recentFiles;  // most recent first
};

// The context menu's rows, in order.
std::vector<MenuItem> sessionContextMenu(const SessionMenuInput& in);

// The session rule on its own: the connect item's text and the greying of 602, 604..608, 621, 622.
void applySessionMenuRule(std::vector<MenuItem>& items, bool connected, bool programming, bool korean);

// Keys named in the menus, delivered to the active session window.
enum class MenuKey { home, pageUp, f1, f2, f3, f4, f5, f6 };
uint16_t menuKeyCommand(MenuKey key);
// Whether the key's item is usable for a session in that state: the key of a greyed item does nothing.
bool menuKeyEnabled(MenuKey key, bool connected, bool programming);

// Finds an item by id in a popup list, or nullptr.
const MenuItem* findMenuItem(const std::vector<MenuPopup>& popups, uint16_t id);

}  // namespace dl
