#include <QApplication>

#include "desktop_app.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The frame's close sequence decides when the program ends, not the last window to close.
    QApplication::setQuitOnLastWindowClosed(false);
    dl::gui::DesktopApp desktop;
    desktop.onExit = [] { QCoreApplication::quit(); };
    desktop.start();
    return QApplication::exec();
}
