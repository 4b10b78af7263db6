// The demo build: the flasher on an emulated CH341A holding a virtual
// W25Q64FV, so every job can be tried without hardware. The chip's contents
// persist in the user's data folder between runs.

#include "mainwindow.h"

#include "bridge/usblink.h"
#include "emulator/emulatedlink.h"

#include <QApplication>
#include <QDir>
#include <QStandardPaths>

#include <memory>

namespace {
void InstallEmulatedProgrammer()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(folder);
    auto link = std::make_unique<emu::EmulatedLink>(emu::w25q64fv());
    link->setImagePath(
        QDir(folder).filePath(QStringLiteral("virtual-w25q64fv.bin")).toStdString());
    ch341::installUsbLink(std::move(link));
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    InstallEmulatedProgrammer();
    MainWindow window;
    window.show();
    return application.exec();
}
