// The demo build: the flasher on an emulated CH341A holding a virtual
// W25Q64FV, so every job can be tried without hardware. The chip's contents
// persist in the user's data folder between runs. The emulated bridge keeps
// to the pace of a real one behind an older host controller (a blocking
// exchange starts at the next 1 ms frame), so a job takes as long as it would
// on such hardware;
// --fast runs it as fast as the machine allows.

#include "mainwindow.h"

#include "bridge/usblink.h"
#include "emulator/emulatedlink.h"
#include "emulator/pacedlink.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QStandardPaths>

#include <memory>

namespace {
void InstallEmulatedProgrammer(bool paced)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(folder);
    auto link = std::make_unique<emu::EmulatedLink>(emu::w25q64fv());
    link->setImagePath(
        QDir(folder).filePath(QStringLiteral("virtual-w25q64fv.bin")).toStdString());
    if (paced)
        ch341::installUsbLink(
            std::make_unique<emu::PacedLink>(std::move(link), 1.0, emu::HostProfile::Frame));
    else
        ch341::installUsbLink(std::move(link));
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QCommandLineParser options;
    options.addHelpOption();
    const QCommandLineOption fast(QStringLiteral("fast"),
                                  QStringLiteral("Run the emulated programmer as fast as the "
                                                 "machine allows, not at a real one's pace."));
    options.addOption(fast);
    options.process(application);
    InstallEmulatedProgrammer(!options.isSet(fast));
    MainWindow window;
    window.show();
    return application.exec();
}
