// A window host for tests: it records what the core asked of the windows and answers dialogs from a
// script. Install it for the length of a test; it restores an empty host and frees every session slot
// afterwards so tests do not leak state into each other.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "serial/port.h"
#include "session/session.h"
#include "session/window_host.h"

namespace dl::test {

struct Invalidation {
    WindowId window;
    std::optional<Rect> rect;
    bool erase;
};

using dl::PostedCommand;

class RecordingHost {
public:
    RecordingHost() {
        auto& h = windowHost();
        h = WindowHost{};
        h.invalidate = [this](WindowId w, std::optional<Rect> r, bool erase) {
            std::lock_guard lock(m);
            invalidations.push_back({w, r, erase});
        };
        h.beep = [this] {
            std::lock_guard lock(m);
            ++beeps;
        };
        h.placeCaret = [this](WindowId) {
            std::lock_guard lock(m);
            ++caretRequests;
        };
        h.postCommand = [this](WindowId w, uint16_t c, intptr_t p) {
            std::lock_guard lock(m);
            posts.push_back({w, c, p});
        };
        h.updateSessionMenu = [this](WindowId w, bool connected) {
            std::lock_guard lock(m);
            menuStates.emplace_back(w, connected);
        };
        h.windowPlacement = [this](WindowId) -> std::optional<Rect> {
            std::lock_guard lock(m);
            return placement;
        };
        h.createScreenFont = [](PortSession& s) {
            s.charWidth = 8;
            s.charHeight = 16;
        };
    }
    ~RecordingHost() {
        for (int i = 1; i < kSessionSlots; ++i) {
            if (WindowId w = sessionTable[i].window.load(); w != 0 && sessionTable[i].inUse.load() == 1)
                destroySession(w);
        }
        windowHost() = WindowHost{};
    }

    std::vector<PostedCommand> postsCopy() {
        std::lock_guard lock(m);
        return posts;
    }
    void clear() {
        std::lock_guard lock(m);
        invalidations.clear();
        posts.clear();
        beeps = caretRequests = 0;
    }

    std::mutex m;
    std::vector<Invalidation> invalidations;
    std::vector<PostedCommand> posts;
    std::vector<std::pair<WindowId, bool>> menuStates;
    std::optional<Rect> placement;
    int beeps = 0;
    int caretRequests = 0;
};

}  // namespace dl::test
