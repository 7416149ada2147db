// Every text the user reads: menu items, window and dialog titles, message-box texts, by id and
// language. One table, so the desktop program, the command-line tool and the tests quote the same
// bytes; a text is used exactly as it stands, runs of spaces, "&" mnemonics and tabs included.
//
// Texts without a Korean variant (message-box texts above all) answer the English one in both
// languages. Formats ("%d", "%X", "%s") are filled by the caller.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace dl {

enum class Text : uint16_t {
    // The frame's menu bar, shown in both languages; only the connect item follows the language.
    popupFile,
    popupDstb,
    popupWindow,
    popupHelp,
    frameOpenCom1,
    frameOpenCom2,
    frameOpenCom3,
    frameOpenCom4,
    frameExit,
    frameVerify,
    frameUpdateChannel,
    frameUpdateSafe,
    frameUpdateAll,
    frameUpdateCardless,
    frameUpdateM5,
    frameUpload,
    frameClose,
    frameArrangeIcons,
    frameCascade,
    frameTileHorizontal,
    frameTileVertical,
    frameContents,
    frameReleaseNote,
    frameAbout,
    windowMenuRow,  // "&%d %s": number from 1, window title
    // The session's connect item and context menu, by language.
    sessionConnect,
    sessionDisconnect,
    sessionSettings,
    sessionVerify,
    sessionUpdateChannel,
    sessionUpdateSafe,
    sessionUpdateAll,
    sessionUpdateCardless,
    sessionUpdateM5,
    sessionUpload,
    sessionClose,
    cleanRecentFiles,
    recentRow,  // " &%d %s": number from 1, path
    // Titles.
    appTitle,
    sessionTitle,  // "Com%d"
    aboutVersion,
    aboutDate,
    buttonOk,
    releaseNotesFile,
    releaseNotesTitle,
    releaseNotesMissing,  // "%s": the places looked in
    selectDataFileTitle,
    saveDataTitle,
    // Message boxes.
    connectionFailed,
    settingsFailed,
    stopDownloadText,
    stopDownloadTitle,
    dataReceiving,
    receiveDoneText,  // "%d", "%X"
    receiveDoneTitle,
    sendDoneText,  // "%d", "%X"
    sendDoneTitle,
    sizeInvalidText,
    sizeInvalidTitle,
    sendEventFailedText,
    zentuErrorTitle,
    // The port settings dialog.
    portSettingsTitle,
    portLabel,
    baudLabel,
    buttonCancelSettings,
    buttonOkSettings,
    comPrefix,  // "COM": "COM%d" names the ports
    baud38400,
    baud57600,
    baud115200,
    // Programming.
    imageDialogTitle,
    bootBlockText,
    bootBlockTitle,
    sectorTitle,         // "Com%d sector %02X chk=%X"
    sectorTitleDone,     // the same figures once the box ended the run
    sectorTitleStopped,  // the same figures once the run was cut off or given up
    fileFilterSoftware,
    fileFilterData,
    fileFilterAll,
    // Our own boxes, where an exchange or a save fails.
    lineGoneText,
    dataFileUnreadableText,
    saveFailedText,
    saveFailedTitle,
    sendFailedTitle,
    receiveFailedTitle,
    programmingFailedTitle,
    settingsUnreadableText,
    dataFileTooLargeText,  // "%s": the largest size
    // The status line under a session window.
    statusConnected,     // "%s": device, "%u": baud
    statusDisconnected,  // "%s": device
    statusWaiting,
    statusProgramming,    // "%u" sectors sent, "%u" announced, "%s" elapsed
    statusSending,        // "%u" percent, "%s" elapsed
    statusReceiving,      // "%s" bytes, "%s" elapsed
    noteProgrammingDone,  // "%u" sectors, "%s" elapsed
    noteStoppedAsking,    // "%X" the last sector sent
    noteSaved,            // "%u" bytes, "%s" path
    noteSent,             // "%u" bytes
    noteLineLost,
    statusScrollBack,  // "%u" lines back, "%u" kept
    // The Tools menu.
    popupTools,
    toolsCopy,
    toolsPaste,
    toolsSelectAll,
    toolsLogToFile,
    toolsTimestamps,
    toolsLogTitle,
    deviceLabel,
    // The command-line tool's own lines.
    cliConnected,
    cliNoSession,
    cliInterrupted,
    cliNoImage,
    cliCommandNotSent,
    cliImageNotTaken,
    cliSectorsSent,
    cliStoppedAsking,
    cliNoAnswer,
    cliNoFile,
    cliNotOffered,
    cliNoData,
    // The session log: its failures (said once; the log stops, the session goes on) and its own lines.
    logCannotOpen,       // "%s": the file, "%s": why
    logStopped,          // "%s": the file, "%s": why
    logFellBehind,       // "%llu": the bytes left out
    logSendDone,         // "%lld": bytes, "%X": checksum
    logReceiveDone,      // "%lld": bytes, "%X": checksum
    logProgrammingDone,  // "%u": sectors, "%u": bytes
    logProgrammingCut,   // "%u": sectors, "%u": bytes
    // The device list of downloader-cli ports.
    portsMapping,  // "%d": COM number, "%s": the device
    portsNoDevices,
    // Connecting again when a lost device returns.
    toolsReconnect,
    statusAwaitingDevice,  // "%s": device
    noteReconnected,       // "%s": the local time it came back
    cliAwaitingDevice,     // "%s": device
    cliReconnected,        // "%s": device
    count_  // not a text
};

// The text in the given language.
std::string_view text(Text id, bool korean);
// The text in the language of the run (koreanUi).
std::string_view text(Text id);

// A text that is a printf format ("%d", "%X", "%s"), filled in. The formats are the table's own,
// never the user's.
template <class... Args>
std::string formatText(Text id, Args... args) {
    const std::string format(text(id));
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof buffer, format.c_str(), args...);
    if (n < 0) return {};
    return std::string(buffer,
                       static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

}  // namespace dl
