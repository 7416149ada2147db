#include "session/window_host.h"

#include <atomic>

namespace dl {

WindowHost& windowHost() {
    static WindowHost host;
    return host;
}

void hostInvalidate(WindowId w, std::optional<Rect> r, bool erase) {
    if (auto& f = windowHost().invalidate) f(w, r, erase);
}
void hostUpdateNow(WindowId w) {
    if (auto& f = windowHost().updateNow) f(w);
}
void hostProgressChanged(WindowId w) {
    if (auto& f = windowHost().progressChanged) f(w);
}
void hostSetTitle(WindowId w, const std::string& title) {
    if (auto& f = windowHost().setTitle) f(w, title);
}
void hostPostCommand(WindowId w, uint16_t command, intptr_t param) {
    if (auto& f = windowHost().postCommand) f(w, command, param);
}
MessageAnswer hostMessageBox(WindowId owner, const std::string& text, const std::string& title,
                             MessageIcon icon, MessageButtons buttons, const std::string& detail) {
    if (auto& f = windowHost().messageBox) return f(owner, text, title, icon, buttons, detail);
    return asksYesNo(buttons) ? MessageAnswer::no : MessageAnswer::cancel;
}
bool hostChooseFile(FileChoice& choice) {
    if (auto& f = windowHost().chooseFile) return f(choice);
    return false;
}
void hostBeep() {
    if (auto& f = windowHost().beep) f();
}
void hostWaitCursor(bool on) {
    if (auto& f = windowHost().waitCursor) f(on);
}
void hostPlaceCaret(WindowId w) {
    if (auto& f = windowHost().placeCaret) f(w);
}

namespace {
std::atomic<std::chrono::steady_clock::rep> paintDue{0}, period{0};
std::atomic<bool> displayPaced{false};
}  // namespace

std::chrono::steady_clock::time_point nextPaintDue() {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(paintDue.load()));
}

std::chrono::steady_clock::duration paintPeriod() {
    return std::chrono::steady_clock::duration(period.load());
}

bool paintsAtDisplayPace() {
    return displayPaced.load();
}

void setNextPaintDue(std::chrono::steady_clock::time_point at, std::chrono::steady_clock::duration every,
                     bool displayPace) {
    displayPaced = displayPace;
    period = every.count();
    paintDue = at.time_since_epoch().count();
}

}  // namespace dl
