#include "desktop_app.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QTimer>
#include <cstdio>

#include "app/dispatch.h"
#include "app/reconnect.h"
#include "app/settings.h"
#include "base/commands.h"
#include "base/profile.h"
#include "base/texts.h"
#include "exchange/exchange_watch.h"
#include "exchange/handlers.h"
#include "exit_signals.h"
#include "frame_window.h"
#include "gui_host.h"
#include "serial/port.h"
#include "session/session.h"

#ifndef DL_DATA_DIR
#define DL_DATA_DIR "/usr/local/share/downloader"
#endif

// The resources live in a static library, whose registration the linker would otherwise drop.
static void initResources() {
    Q_INIT_RESOURCE(resources);
}

namespace dl::gui {

DesktopApp::DesktopApp(QString settingsPath)
    : settingsPath_(settingsPath.isEmpty() ? QString::fromStdString(defaultSettingsPath())
                                           : std::move(settingsPath)) {}

DesktopApp::~DesktopApp() {
    exitSignals_.reset();
    // The frame first: its session windows still reach the host while they go.
    frame_.reset();
    host_.reset();
}

QStringList DesktopApp::releaseNotesFolders(const QString& dir) {
    // Beside the program (the build tree), in the data folder of the prefix the program was installed
    // under wherever that is now, and in the one it was configured for.
    return {dir, QDir::cleanPath(dir + QStringLiteral("/../share/downloader")), QStringLiteral(DL_DATA_DIR)};
}

void DesktopApp::start() {
    initResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon.xpm")));
    std::string refusal;
    const Profile profile = Profile::load(settingsPath_.toStdString(), &refusal);
    // A file that is there but unreadable is left alone at exit, and the user is told so once.
    settingsRefused_ = !refusal.empty();
    loadStartupSettings(profile);
    loadLinkSettings(profile);
    // The reader hands the box's programming lines and the transfers' bytes to these: without them
    // every exchange would stay on the terminal screen.
    installProtocolHandlers();
    frame_ = std::make_unique<FrameWindow>();
    host_ = std::make_unique<GuiHost>(frame_.get());
    host_->setSettingsFile(settingsPath_.toStdString(), !settingsRefused_);
    frame_->setReleaseNotesFolders(releaseNotesFolders(QCoreApplication::applicationDirPath()));
    frame_->onClosed = [this] { exitStep(); };
    if (alwaysOnTop) frame_->setAlwaysOnTop(true);
    frame_->placeAt(sessionTable[0].windowRect);
    frame_->show();
    // The exchange watch and the panel's running clock. Twice a second, so the shown second never
    // lags by a whole one; the timer goes with the frame.
    auto* watch = new QTimer(frame_.get());
    QObject::connect(watch, &QTimer::timeout, [] { exchangeTick(); });
    watch->start(500);
    // Four looks a second for a device being waited for, so one that returns is connected within a
    // second; the look is a path lookup, nothing the idle program would feel.
    auto* reconnect = new QTimer(frame_.get());
    QObject::connect(reconnect, &QTimer::timeout, [] { reconnectTick(); });
    reconnect->start(250);
    if (settingsRefused_) {
        const std::string detail = settingsPath_.toStdString() + ": " + refusal;
        QTimer::singleShot(0, frame_.get(), [detail] {
            hostMessageBox(0, std::string(text(Text::settingsUnreadableText)),
                           std::string(text(Text::appTitle)), MessageIcon::warning, MessageButtons::ok,
                           detail);
        });
    }
}

void DesktopApp::catchExitSignals() {
    exitSignals_.reset();  // its end restores the default actions
    exitSignals_ = std::make_unique<ExitSignals>([] { frameCommand(cmdExit, 0); });
}

void DesktopApp::exitStep() {
    std::string error;
    if (!settingsRefused_ && !saveExitSettings(settingsPath_.toStdString(), frame_->frameRect(), &error))
        std::fprintf(stderr, "downloader: settings not saved to %s: %s\n",
                     settingsPath_.toLocal8Bit().constData(), error.c_str());
    if (onExit) onExit();
}

}  // namespace dl::gui
