// The demo build: the flasher on an emulated CH341A holding a virtual
// W25Q64FV, so every job can be tried without hardware. The chip's contents
// persist in the user's data folder between runs. The emulated bridge keeps
// to the pace of a real one, so a job takes as long as it would on hardware;
// --fast runs it as fast as the machine allows.

#include "commandline.h"
#include "mainwindow.h"

#include "bridge/usblink.h"
#include "emulator/emulatedlink.h"
#include "emulator/pacedlink.h"

#include <QApplication>
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
        ch341::installUsbLink(std::make_unique<emu::PacedLink>(std::move(link), 1.0));
    else
        ch341::installUsbLink(std::move(link));
}
} // namespace

int main(int argc, char *argv[])
{
    CommandLine commandLine;
    const QCommandLineOption fast(QStringLiteral("fast"),
                                  QStringLiteral("Run the emulated programmer as fast as the "
                                                 "machine allows, not at a real one's pace."));
    commandLine.AddOption(fast);
    commandLine.Parse(argc, argv);
    if (!commandLine.WantsWindow()) {
        QCoreApplication application(argc, argv);
        InstallEmulatedProgrammer(!commandLine.IsSet(fast));
        return commandLine.Run();
    }
    QApplication application(argc, argv);
    InstallEmulatedProgrammer(!commandLine.IsSet(fast));
    MainWindow window;
    window.show();
    return application.exec();
}
