#include "app/dispatch.h"

#include <cstdio>
#include <string>

#include "app/reconnect.h"
#include "app/session_status.h"
#include "base/commands.h"
#include "base/language.h"
#include "base/recent_files.h"
#include "base/texts.h"
#include "exchange/data_stream.h"
#include "exchange/handlers.h"
#include "exchange/programming_command.h"
#include "exchange/sector_sender.h"
#include "protocol/outcome.h"
#include "protocol/programming.h"
#include "serial/port.h"
#include "serial/session_log.h"
#include "session/protocol_state.h"
#include "session/session.h"

namespace dl {

int32_t alwaysOnTop = 0;
bool logTimestamps = false;

namespace {

WindowId activeSession() {
    auto& f = windowHost().activeSessionWindow;
    return f ? f() : 0;
}

void setCaret(WindowId window, bool on) {
    if (auto& f = windowHost().caret) f(window, on);
}

void connectOrDisconnect(WindowId window, PortSession& s) {
    if (s.connected.load()) {
        if (!sessionMayClose(window)) return;
        setCaret(window, false);
        disconnectPort(window);
        notifyExternalTerminal(true);
        return;
    }
    notifyExternalTerminal(false);
    if (connectPort(window)) {
        setCaret(window, true);
        return;
    }
    hostMessageBox(window, std::string(text(Text::connectionFailed)), std::string(text(Text::appTitle)),
                   MessageIcon::warning, MessageButtons::ok, lastConnectError());
}

void portSettings(WindowId window, PortSession& s) {
    if (auto& f = windowHost().portSettingsDialog) f(window);
    // Ok and Cancel alike: an open port gets the session's settings again.
    if (s.connected.load() && applyLineSettings(window) == 0)
        hostMessageBox(window, std::string(text(Text::settingsFailed)), std::string(text(Text::appTitle)),
                       MessageIcon::warning, MessageButtons::ok);
}

int program(WindowId window, ProgrammingCommand kind, std::optional<std::string> image) {
    pendingRecentFile = std::move(image);
    return sendProgrammingCommand(window, kind);
}

// The line vanished under the session: it is disconnected without asking, and a running exchange of
// this session ends as cut off. Waiting for the device to return, the window says so on its status
// line, and asks nothing unless an exchange was cut.
void lineLost(WindowId window, PortSession& s, int slot) {
    const bool cut = transferOwner.load() == slot && exchangeInProgress();
    if (cut) {
        ExchangeOutcome o;
        o.kind = OutcomeKind::lineLost;
        const int mode = protocolMode.load();
        o.exchange = mode == modeDataReceive ? ExchangeKind::dataReceive
                     : mode == modeDataSend  ? ExchangeKind::dataSend
                                             : ExchangeKind::programming;
        recordOutcome(o);
    }
    const std::string device = devicePath(s.portNumber);
    noteSessionEvent(slot, std::string(text(Text::noteLineLost)));
    setCaret(window, false);
    disconnectPort(window);
    notifyExternalTerminal(true);
    if (reconnectAutomatically.load()) {
        awaitDevice(slot);
        if (!cut) return;
    }
    hostMessageBox(window, std::string(text(Text::lineGoneText)), std::string(text(Text::appTitle)),
                   MessageIcon::warning, MessageButtons::ok, device);
}

bool isFailure(OutcomeKind k) {
    return k != OutcomeKind::none && k != OutcomeKind::completed;
}

// The exchange gave the line back: a failure is said (the box with a text of its own was shown
// already for a file too small). The send's file is left alone: by the time this arrives, a new send
// may already hold one (the next request replaces it).
void exchangeEnded(WindowId window, PortSession& s) {
    const ExchangeOutcome o = lastOutcome();
    if (!isFailure(o.kind) || o.kind == OutcomeKind::lineLost) return;
    const int slot = lookupSession(window);
    if (o.kind == OutcomeKind::noAnswer && o.exchange == ExchangeKind::programming && o.sectors > 0)
        noteSessionEvent(slot, formatText(Text::noteStoppedAsking, unsigned(s.requestedSector.load())));
    else
        noteSessionEvent(slot, outcomeText(o));
    if (o.kind != OutcomeKind::fileTooSmall)
        hostMessageBox(window, outcomeText(o), outcomeTitle(o), MessageIcon::warning, MessageButtons::ok);
}

void senderEnded(WindowId window, PortSession& s, intptr_t reason) {
    const bool programmed = s.sectorThread.joinable();
    for (std::thread* t : {&s.sectorThread, &s.streamThread}) {
        if (t->joinable()) t->join();
    }
    const int slot = lookupSession(window);
    if (programmed && reason == senderFinished && s.sectorsSent.load() > 0) {
        noteSessionEvent(
            slot, formatText(Text::noteProgrammingDone, unsigned(s.sectorsSent.load()), runTime(s).c_str()));
    }
    if (reason == senderImageShort) {
        const ExchangeOutcome o = lastOutcome();
        noteSessionEvent(slot, outcomeText(o));
        hostMessageBox(window, outcomeText(o), outcomeTitle(o), MessageIcon::warning, MessageButtons::ok);
    }
    // The data file ended before the size the box was promised: the send is over, and said as any
    // exchange that ends with its outcome.
    if (reason == senderFileShort) {
        takeLineBack();
        hostPostCommand(window, cmdExchangeEnded, 0);
    }
}

std::optional<ProgrammingCommand> programmingKind(uint16_t id) {
    switch (id) {
        case cmdUpdateSafe:
            return ProgrammingCommand::safe;
        case cmdUpdateAll:
            return ProgrammingCommand::all;
        case cmdUpdateCardless:
            return ProgrammingCommand::cardless;
        case cmdUpdateM5:
            return ProgrammingCommand::m5;
        default:
            return std::nullopt;
    }
}

// Tools, Log to File...: a session that logs stops; one that does not asks for the file and starts.
// A failure to open is said at once; one that comes later is said once, from the writer's word.
void logToFile(WindowId window) {
    if (sessionLogActive(window)) {
        if (const std::string late = stopSessionLog(window); !late.empty())
            hostMessageBox(window, late, std::string(text(Text::appTitle)), MessageIcon::warning,
                           MessageButtons::ok);
        return;
    }
    FileChoice choice;
    choice.owner = window;
    choice.title = std::string(text(Text::toolsLogTitle));
    choice.mustExist = false;
    choice.anyName = true;
    if (!hostChooseFile(choice) || choice.path.empty()) return;
    const std::string error = startSessionLog(window, choice.path, logTimestamps,
                                              [window] { hostPostCommand(window, cmdLogFailed, 0); });
    if (!error.empty())
        hostMessageBox(window, error, std::string(text(Text::appTitle)), MessageIcon::warning,
                       MessageButtons::ok);
}

int openOrClosePort(int slot) {
    PortSession& s = sessionTable[static_cast<size_t>(slot)];
    if (const WindowId w = s.window.load(); s.inUse.load() == 1 && w != 0) {
        if (auto& close = windowHost().closeWindow) close(w);
        return 1;
    }
    currentSession = slot;
    auto& open = windowHost().openSessionWindow;
    const WindowId w = open ? open(formatText(Text::sessionTitle, slot), slot) : 0;
    if (w == 0) return 0;  // nothing is left behind: no activation, no connect
    if (auto& f = windowHost().activateWindow) f(w);
    sessionCommand(w, cmdConnect, 0);
    return 1;
}

}  // namespace

bool sessionMayClose(WindowId window) {
    PortSession* s = sessionOf(window);
    if (!s || !s->transferActive.load()) return true;
    return hostMessageBox(window, std::string(text(Text::stopDownloadText)),
                          std::string(text(Text::stopDownloadTitle)), MessageIcon::warning,
                          MessageButtons::yesNoDefaultNo) == MessageAnswer::yes;
}

bool closeAllSessions() {
    if (auto& f = windowHost().closeReleaseNotes) f();
    auto& list = windowHost().sessionWindows;
    auto& close = windowHost().closeWindow;
    if (!list || !close) return true;
    for (WindowId w : list()) {
        if (!close(w)) return false;
    }
    return true;
}

int frameCommand(uint16_t id, intptr_t lParam) {
    auto& h = windowHost();
    switch (id) {
        case cmdOpenCom1:
        case cmdOpenCom2:
        case cmdOpenCom3:
        case cmdOpenCom4:
            return openOrClosePort(id - 500);
        case cmdClose:
            if (WindowId w = activeSession(); w != 0 && h.closeWindow) return h.closeWindow(w) ? 1 : 0;
            return 0;
        case cmdConnect:
        case cmdVerifySystem:
        case cmdUpdateChannelData:
        case cmdUpdateSafe:
        case cmdUpdateAll:
        case cmdUpload:  // the menus name PgUp for it: the key works on the active window as the others do
        case cmdUpdateCardless:
        case cmdUpdateM5:
            if (WindowId w = activeSession(); w != 0) return sessionCommand(w, id, 0);
            return 0;
        case cmdArrangeIcons:
        case cmdCascade:
        case cmdTileHorizontal:
        case cmdTileVertical:
            if (h.arrangeWindows) h.arrangeWindows(id);
            return 1;
        case cmdReleaseNote:
            if (h.showReleaseNotes) h.showReleaseNotes();
            return 1;
        case cmdAbout:
            if (h.showAbout) h.showAbout();
            return 1;
        case cmdAlwaysOnTop:
            alwaysOnTop = alwaysOnTop ? 0 : 1;
            if (h.setAlwaysOnTop) h.setAlwaysOnTop(alwaysOnTop != 0);
            return 1;
        case cmdExit:
            if (h.postFrameClose) h.postFrameClose();
            return 1;
        case cmdLogToFile:
            if (WindowId w = activeSession(); w != 0) logToFile(w);
            return 1;
        case cmdLogTimestamps:
            logTimestamps = !logTimestamps;
            return 1;
        case cmdReconnect:
            reconnectAutomatically = !reconnectAutomatically.load();
            if (!reconnectAutomatically.load()) stopAwaitingEveryDevice();
            return 1;
        case cmdReceiveNotify:
            onReceiveNotify(0, lParam);
            return 1;
        case cmdSendNotify:
            onSendNotify(lParam);
            return 1;
        default:
            return 0;
    }
}

int sessionCommand(WindowId window, uint16_t id, intptr_t lParam) {
    const int slot = findSession(window);
    if (slot == 0) return 0;
    PortSession& s = sessionTable[static_cast<size_t>(slot)];
    if (auto kind = programmingKind(id)) return program(window, *kind, std::nullopt);
    if (id >= cmdRecentFileFirst && id <= cmdRecentFileLast)
        return program(window, ProgrammingCommand::safe, recentFileAt(id - cmdRecentFileFirst));
    switch (id) {
        case cmdClose:
            if (auto& f = windowHost().postClose) f(window);
            return 1;
        case cmdSettings:
            portSettings(window, s);
            return 1;
        case cmdConnect:
            stopAwaitingDevice(slot);  // the user's own choice ends a wait for the device
            connectOrDisconnect(window, s);
            return 1;
        case cmdUpdateChannelData:
            if (lParam != 0) {
                startDataStream(window);
                return 1;
            }
            return startDataSend(window);
        case cmdUpload:
            if (s.transferActive.load()) return 0;
            while (startImageUpload(window) != 0) {
            }
            return 1;
        case cmdCleanRecentFiles:
            clearRecentFiles();
            return 1;
        case cmdLineLost:
            lineLost(window, s, slot);
            return 1;
        case cmdExchangeEnded:
            exchangeEnded(window, s);
            return 1;
        case cmdSenderEnded:
            senderEnded(window, s, lParam);
            return 1;
        case cmdLogFailed:
            if (const std::string why = takeSessionLogError(window); !why.empty())
                hostMessageBox(window, why, std::string(text(Text::appTitle)), MessageIcon::warning,
                               MessageButtons::ok);
            return 1;
        default:
            return 0;  // 604 among them: nothing is known to send for it
    }
}

}  // namespace dl
