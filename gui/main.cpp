#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <QApplication>
#include <QFile>
#include <QMenuBar>
#include <QStyle>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "app/demo_box.h"
#include "app/dispatch.h"
#include "base/commands.h"
#include "base/profile.h"
#include "base/recent_files.h"
#include "base/texts.h"
#include "desktop_app.h"
#include "exchange/file_choice.h"
#include "frame_window.h"
#include "paint_latency.h"
#include "release_notes_window.h"
#include "serial/port.h"
#include "session/session.h"
#include "terminal_view.h"

namespace {

constexpr const char* kUsage =
    "usage: downloader [--demo] [--help] [--version]\n"
    "  --demo     run against a simulated box on COM1, with a sample image and data file\n"
    "The settings file is $XDG_CONFIG_HOME/downloader/corvane.ini (~/.config/downloader/corvane.ini):\n"
    "section [Settings] keeps window places, language (iCountry=82 Korean, 0 the locale's) and recent\n"
    "images; section [Devices] maps COM1..COM4 to devices (e.g. COM1=/dev/ttyUSB0) and names an\n"
    "ExternalTerminal program told 401 before a port opens and 400 after it closes. A port refused for\n"
    "lack of permission needs membership of the dialout group.\n";

std::string programDirectory() {
#ifdef _WIN32
    wchar_t self[32768];
    const DWORD n = ::GetModuleFileNameW(nullptr, self, 32768);
    const std::string exe = QString::fromWCharArray(self, static_cast<int>(n)).replace(u'\\', u'/').toStdString();
#else
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
#endif
    return exe.substr(0, exe.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
    bool demo = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            const QString notes = dl::gui::findReleaseNotes(
                dl::gui::DesktopApp::releaseNotesFolders(QString::fromStdString(programDirectory())));
            std::printf("Release notes (Help, Release note...): %s\n",
                        notes.isEmpty() ? "not found" : qPrintable(notes));
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0)
            return std::printf("downloader, Downloader %s\n", dl::text(dl::Text::aboutVersion).data()), 0;
        if (std::strcmp(argv[i], "--demo") == 0) demo = true;
    }
#ifndef _WIN32  // Windows always has its desktop
    // Without a display Qt would abort with its own message; say what works instead.
    auto set = [](const char* name) { return std::getenv(name) && *std::getenv(name); };
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        std::fputs(
            "downloader: no display (DISPLAY is not set); downloader-cli works without one "
            "(downloader-cli demo for the demonstration)\n",
            stderr);
        return 1;
    }
#endif
    // The demonstration box's guardian is forked before Qt starts any thread.
    std::optional<dl::DemoBox> box;
    if (demo) {
        std::string error;
        box = dl::startDemoBox(dl::findStbsim(programDirectory()), &error);
        if (!box) {
            std::fprintf(stderr, "downloader: --demo: %s\n", error.c_str());
            return 1;
        }
    }
    QApplication app(argc, argv);
    // The frame's close sequence decides when the program ends, not the last window to close.
    QApplication::setQuitOnLastWindowClosed(false);
    // A demonstration leaves the user's settings file as it was: it reads a copy in its own folder.
    QString settings;
    if (box) {
        settings = QString::fromStdString(box->settings);
        QFile::copy(QString::fromStdString(dl::defaultSettingsPath()), settings);
    }
    dl::gui::DesktopApp desktop(settings);
    desktop.onExit = [] { QCoreApplication::quit(); };
    desktop.start();
    desktop.catchExitSignals();
    if (box) {
        // COM1 is the box for this run only; its sample image is the first recent image and its
        // folder the dialogs' start.
        // A first demonstration has no saved places: Com1 gets room for all 35 rows with the panel
        // beneath them, and the frame room for Com1.
        const QSize cell = dl::gui::TerminalView::cellSize();
        const QStyle* style = QApplication::style();
        const int border = style->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth) + 2;
        const int width = dl::kScreenColumns * cell.width() + 2 * border;
        const int height =
            dl::kScreenRows * cell.height() + 20 + style->pixelMetric(QStyle::PM_TitleBarHeight) + 2 * border;
        if (dl::sessionTable[0].windowRect == dl::Rect{100, 100, 200, 100}) {
            const int bar = desktop.frame()->menuBar()->sizeHint().height();
            desktop.frame()->placeAt(dl::Rect{40, 40, 40 + width + 40, 40 + height + bar + 40});
        }
        if (dl::sessionTable[1].windowRect == dl::Rect{4, 6, 204, 106})
            dl::sessionTable[1].windowRect = {0, 0, width, height};
        dl::setDevicePath(1, box->pty);
        dl::addRecentFile(box->image);
        dl::lastImageDirectory = box->directory;
        dl::sessionTable[1].lastDataFile = box->dataFile;
        QTimer::singleShot(0, [] { dl::frameCommand(dl::cmdOpenCom1, 0); });
    }
    const int code = QApplication::exec();
    dl::gui::paint_latency::write();
    if (box) dl::stopDemoBox(*box);
    return code;
}
