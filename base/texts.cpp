#include "base/texts.h"

#include <array>

#include "base/language.h"

namespace dl {

namespace {

struct Entry {
    Text id;
    std::string_view english;
    std::string_view korean;  // empty: the English text in both languages
};

// Kept in the enum's order; the static_assert below and the unit test catch a row out of place.
constexpr Entry kTexts[] = {
    {Text::popupFile, "&File   ", {}},
    {Text::popupDstb, "DSTB   ", {}},
    {Text::popupWindow, "Window  ", {}},
    {Text::popupHelp, "Help", {}},
    {Text::frameOpenCom1, "Open Com&1", {}},
    {Text::frameOpenCom2, "Open Com&2", {}},
    {Text::frameOpenCom3, "Open Com&3", {}},
    {Text::frameOpenCom4, "Open Com&4", {}},
    {Text::frameExit, "E&xit", {}},
    {Text::frameVerify, "Verify System                     F1", {}},
    {Text::frameUpdateChannel, "Update Channel Data          F2", {}},
    {Text::frameUpdateSafe, "Update Software (Safe)      F3", {}},
    {Text::frameUpdateAll, "Update Software and Data (All)     F4", {}},
    {Text::frameUpdateCardless, "Update Cardless                         F5", {}},
    {Text::frameUpdateM5, "Update M5                                 F6", {}},
    {Text::frameUpload, "Upload...                       PgUp", {}},
    {Text::frameClose, "Close                            Alt F4", {}},
    {Text::frameArrangeIcons, "Arrange &Icons", {}},
    {Text::frameCascade, "&Cascade", {}},
    {Text::frameTileHorizontal, "Tile &Horizontal", {}},
    {Text::frameTileVertical, "Tile &Vertical", {}},
    {Text::frameContents, "Contents", {}},
    {Text::frameReleaseNote, "&Release note...", {}},
    {Text::frameAbout, "&About...", {}},
    {Text::windowMenuRow, "&%d %s", {}},
    {Text::sessionConnect, "Connect                    Home", "직렬 연결               Home"},
    {Text::sessionDisconnect, "Disconnect                Home", "연결 해제               Home"},
    {Text::sessionSettings, "Settings...", "포트 설정..."},
    {Text::sessionVerify, "Verify System                 F1", "시스템 점검               F1"},
    {Text::sessionUpdateChannel, "Update Channel Data       F2", "업데이트 채널 리스트      F2"},
    {Text::sessionUpdateSafe, "Update Software (Safe)    F3", "업데이트 소프트웨어       F3"},
    {Text::sessionUpdateAll, "Update Firmware (All)      F4", "업데이트 펌웨어 전체      F4"},
    {Text::sessionUpdateCardless, "Update Cardless            F5", "업데이트 카드리스       F5"},
    {Text::sessionUpdateM5, "Update M5                  F6", "업데이트 M5\t\t\tF6"},
    {Text::sessionUpload, "Upload...                    PgUp", "업로드...               PgUp"},
    {Text::sessionClose, "Close                        Alt+F4", "닫기                  Alt+F4"},
    {Text::cleanRecentFiles, "Clean Recent Files List", {}},
    {Text::recentRow, " &%d %s", {}},
    {Text::appTitle, "Downloader", "코르바네 시험기"},
    {Text::sessionTitle, "Com%d", {}},
    {Text::aboutVersion, "Version 1.32R", {}},
    {Text::aboutDate, "Apr 16 2004", {}},
    {Text::buttonOk, "OK", {}},
    {Text::releaseNotesFile, "ZENTU.TXT", {}},
    {Text::releaseNotesTitle, "ZENTU.TXT - Release notes", {}},
    {Text::releaseNotesMissing, "The release notes file ZENTU.TXT was not found.\n\nLooked in:\n%s", {}},
    {Text::selectDataFileTitle, "Select data file to send", "전송할 데이터 파일을 선택하세요"},
    {Text::saveDataTitle, "Select file to save data", "업로드할 파일 "},
    {Text::connectionFailed, "Connection failed.", {}},
    {Text::settingsFailed, "Settings failed!", {}},
    {Text::stopDownloadText, "Stop downloading and close program ?", {}},
    {Text::stopDownloadTitle, "Warning:If you break downloading the STB may not revive !!!", {}},
    {Text::dataReceiving, "Data Receiving...", {}},
    {Text::receiveDoneText, "%d bytes received\n\nChecksum is %X\n\n\nDo you want to save as a file ?", {}},
    {Text::receiveDoneTitle, "Data Receiving Done", {}},
    {Text::sendDoneText, "%d bytes transmitted\n\nChecksum is %X", {}},
    {Text::sendDoneTitle, "Data Transmitting Done", {}},
    {Text::sizeInvalidText, "Size of the file is invalid !", {}},
    {Text::sizeInvalidTitle, "Please AC PLUG OFF and ON to continue", {}},
    {Text::sendEventFailedText, "Failed to create event for send thread!", {}},
    {Text::zentuErrorTitle, "Zentu Error!", {}},
    {Text::portSettingsTitle, "Serial Port Settings", {}},
    {Text::portLabel, "&Port:", {}},
    {Text::baudLabel, "&Baud Rate:", {}},
    {Text::buttonCancelSettings, "Cancel", {}},
    {Text::buttonOkSettings, "Ok", {}},
    {Text::comPrefix, "COM", {}},
    {Text::baud38400, "38400", {}},
    {Text::baud57600, "57600", {}},
    {Text::baud115200, "115200", {}},
    {Text::imageDialogTitle, "File to upload", "업로드할 파일 "},
    {Text::bootBlockText,
     "The STB can not work if downloading breaks before loading boot block.\r\n\r\nContinue anyway ?",
     {}},
    {Text::bootBlockTitle, "Critical Warning: BOOT BLOCK of the STB will be DESTROYED !!!", {}},
    {Text::sectorTitle, "Com%d sector %02X chk=%X", {}},
    {Text::sectorTitleDone, "Com%d sector %02X chk=%X done", "Com%d sector %02X chk=%X 완료"},
    {Text::sectorTitleStopped, "Com%d sector %02X chk=%X stopped", "Com%d sector %02X chk=%X 중단"},
    {Text::fileFilterSoftware, "Software(*.img)", {}},
    {Text::fileFilterData, "Data(*.dat)", {}},
    {Text::fileFilterAll, "All Files(*.*)", {}},
    {Text::lineGoneText, "The line to the box is gone (device removed or hung up).", {}},
    {Text::dataFileUnreadableText, "The data file cannot be read.", {}},
    {Text::saveFailedText, "The received data could not be saved.\n\nDo you want to save it again ?", {}},
    {Text::saveFailedTitle, "Data Saving Failed", {}},
    {Text::sendFailedTitle, "Data Transmitting Failed", {}},
    {Text::receiveFailedTitle, "Data Receiving Failed", {}},
    {Text::programmingFailedTitle, "Programming Failed", {}},
    {Text::settingsUnreadableText,
     "The settings file cannot be read: the settings of this run will not be saved.",
     {}},
    {Text::dataFileTooLargeText, "The data file is too large to send: the box takes at most %s bytes.", {}},
    {Text::statusConnected, "Connected  %s  %u baud", "연결됨  %s  %u baud"},
    {Text::statusDisconnected, "Disconnected  %s", "연결 안 됨  %s"},
    {Text::statusWaiting, "Waiting for the box", "박스를 기다리는 중"},
    {Text::statusProgramming, "Programming: %u of %u sectors, %s", "프로그래밍: %u / %u 섹터, %s"},
    {Text::statusSending, "Sending data: %u %%, %s", "데이터 보내는 중: %u %%, %s"},
    {Text::statusReceiving, "Receiving data: %s bytes, %s", "데이터 받는 중: %s 바이트, %s"},
    {Text::noteProgrammingDone, "Programming done: %u sectors in %s", "프로그래밍 완료: %u 섹터, %s"},
    {Text::noteStoppedAsking, "Box stopped asking after sector %X", "박스가 섹터 %X 뒤에 요청을 멈춤"},
    {Text::noteSaved, "Saved %u bytes to %s", "%u 바이트를 %s 에 저장함"},
    {Text::noteSent, "Data sent: %u bytes", "데이터 보냄: %u 바이트"},
    {Text::noteLineLost, "Line lost", "회선 끊김"},
    {Text::statusScrollBack, "Scroll-back: %u of %u lines up", "스크롤백: %u / %u 줄 위"},
    {Text::popupTools, "Tools", "도구"},
    {Text::toolsCopy, "Copy    Ctrl+Shift+C", "복사    Ctrl+Shift+C"},
    {Text::toolsPaste, "Paste    Ctrl+Shift+V", "붙여넣기    Ctrl+Shift+V"},
    {Text::toolsSelectAll, "Select All    Ctrl+Shift+A", "모두 선택    Ctrl+Shift+A"},
    {Text::toolsLogToFile, "Log to File...", "파일에 기록..."},
    {Text::toolsTimestamps, "Timestamps", "시간 표시"},
    {Text::toolsLogTitle, "Log to File", "파일에 기록"},
    {Text::deviceLabel, "Device:", "장치:"},
    {Text::cliConnected, "Connected to %s. Ctrl-] quits.", {}},
    {Text::cliNoSession, "Connection failed.\n(no session could be created)", {}},
    {Text::cliInterrupted, "downloader-cli: interrupted", {}},
    {Text::cliNoImage, "downloader-cli: %s: no such image file", {}},
    {Text::cliCommandNotSent, "downloader-cli: the programming command was not sent", {}},
    {Text::cliImageNotTaken, "downloader-cli: the image could not be taken", {}},
    {Text::cliSectorsSent, "%u sectors sent, %u bytes", {}},
    {Text::cliStoppedAsking, "downloader-cli: the box stopped asking for sectors", {}},
    {Text::cliNoAnswer, "downloader-cli: no answer from the box", {}},
    {Text::cliNoFile, "downloader-cli: %s: no such file", {}},
    {Text::cliNotOffered, "downloader-cli: the data file was not offered to the box", {}},
    {Text::cliNoData, "downloader-cli: no data from the box within %d s", {}},
    {Text::logCannotOpen, "The session log %s cannot be written: %s.", "세션 기록 %s 에 쓸 수 없습니다: %s."},
    {Text::logStopped, "The session log %s stopped: %s.", "세션 기록 %s 이(가) 멈췄습니다: %s."},
    {Text::logFellBehind, "[log: %llu bytes of console text are missing here: the disk did not keep up]",
     "[기록: 여기서 콘솔 글 %llu 바이트가 빠짐: 디스크가 따라가지 못함]"},
    {Text::logSendDone, "[data send: %lld bytes sent, checksum %X]", "[데이터 보냄: %lld 바이트, 체크섬 %X]"},
    {Text::logReceiveDone, "[data receive: %lld bytes received, checksum %X]", "[데이터 받음: %lld 바이트, 체크섬 %X]"},
    {Text::logProgrammingDone, "[programming: %u sectors sent, %u bytes]", "[프로그래밍: %u 섹터 보냄, %u 바이트]"},
    {Text::logProgrammingCut, "[programming: stopped after %u sectors, %u bytes]",
     "[프로그래밍: %u 섹터 뒤에 멈춤, %u 바이트]"},
    {Text::portsMapping, "COM%d = %s", {}},
    {Text::portsNoDevices, "no serial devices found", {}},
    {Text::toolsReconnect, "Reconnect Automatically", "자동으로 다시 연결"},
    {Text::statusAwaitingDevice, "Waiting for %s to come back", "%s 장치가 돌아오기를 기다리는 중"},
    {Text::noteReconnected, "Line lost, connected again at %s", "회선 끊김, %s 에 다시 연결됨"},
    {Text::cliAwaitingDevice, "downloader-cli: %s is gone; waiting for it to come back (Ctrl-] quits)", {}},
    {Text::cliReconnected, "downloader-cli: %s is back; connected again", {}},
};

static_assert(std::size(kTexts) == static_cast<size_t>(Text::count_), "one row per text id");

constexpr bool inOrder() {
    for (size_t i = 0; i < std::size(kTexts); ++i)
        if (static_cast<size_t>(kTexts[i].id) != i) return false;
    return true;
}
static_assert(inOrder(), "rows in the order of the ids");

}  // namespace

std::string_view text(Text id, bool korean) {
    const auto i = static_cast<size_t>(id);
    if (i >= std::size(kTexts)) return {};
    const Entry& e = kTexts[i];
    return korean && !e.korean.empty() ? e.korean : e.english;
}

std::string_view text(Text id) {
    return text(id, koreanUi.load());
}

}  // namespace dl
