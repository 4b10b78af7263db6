// The demo build: the flasher on an emulated CH341A (or, with --bridge ch347,
// a CH347) holding a virtual W25Q64FV, or any other chip the emulator models
// (--chip), so every job can be tried without hardware. Each chip's contents
// persist in the user's data folder between runs. The emulated bridge keeps
// to the pace of a real one (a CH341A behind an older host controller, whose
// blocking exchanges start at the next 1 ms frame; a CH347 on a high-speed
// host), so a job takes as long as it would on such hardware; --fast runs it
// as fast as the machine allows.

#include "commandline.h"
#include "mainwindow.h"

#include "bridge/usblink.h"
#include "emulator/chipcatalog.h"
#include "emulator/emulatedlink.h"
#include "emulator/pacedlink.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {
// Why the chip's contents could not be kept in the image file, or an empty text.
QString WhyImageCannotBeKept(const QString &path)
{
    const bool existed = QFile::exists(path);
    QDir().mkpath(QFileInfo(path).path());
    // Append makes a missing image without touching an existing one; the open names the
    // reason a folder could not be made, too.
    QFile image(path);
    if (!image.open(QIODevice::Append))
        return QStringLiteral("Cannot Save the Emulated Chip in %1: %2")
            .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()),
                 image.errorString());
    image.close();
    if (!existed)
        image.remove();
    return QString();
}

// Returns why the chip's contents will not persist, or an empty text.
QString InstallEmulatedProgrammer(const emu::ChipModel &model, ch341::BridgeKind bridge,
                                  bool writeProtected, bool paced)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QString name = QString::fromStdString(model.name).toLower();
    const QString imagePath = QDir(folder).filePath(QStringLiteral("virtual-%1.bin").arg(name));
    const QString unkept = WhyImageCannotBeKept(imagePath);
    auto link = std::make_unique<emu::EmulatedLink>(model, bridge);
    link->setImagePath(QFile::encodeName(imagePath).toStdString());
    // A 24xx has no protection bits: its WP pin is tied high instead.
    if (writeProtected && link->i2cEeprom())
        link->i2cEeprom()->setWriteProtectPin(true);
    else if (writeProtected && link->spiEeprom())
        link->spiEeprom()->setStatusBits(emu::SpiEeprom::kStatusBlockProtect);
    else if (writeProtected)
        link->chip().setStatusRegisters(model.blockProtectBits | model.initialStatus1,
                                        model.initialStatus2);
    const emu::HostProfile host =
        bridge == ch341::BridgeKind::Ch347 ? emu::HostProfile::HighSpeed : emu::HostProfile::Frame;
    if (paced)
        ch341::installUsbLink(std::make_unique<emu::PacedLink>(std::move(link), 1.0, host));
    else
        ch341::installUsbLink(std::move(link));
    return unkept;
}

void PrintChips()
{
    for (const emu::ChipModel &model : emu::chipCatalog()) {
        if (model.spiEepromAddressBytes > 0)
            // No identifier: the job reaches them by --part.
            std::printf("%-12s %6u B    25xx EEPROM, %u-byte pages\n", model.name.c_str(),
                        model.sizeBytes, model.pageSize);
        else if (model.bus == emu::SocketBus::Spi)
            std::printf("%-12s %6u KiB  JEDEC ID %s%02X%02X%02X\n", model.name.c_str(),
                        model.sizeBytes / 1024, model.jedecContinuationCodes ? "7F" : "",
                        model.jedecId[0], model.jedecId[1], model.jedecId[2]);
        else
            std::printf("%-12s %6u B    %s EEPROM\n", model.name.c_str(), model.sizeBytes,
                        model.bus == emu::SocketBus::I2c ? "I2C" : "Microwire");
    }
}
} // namespace

int main(int argc, char *argv[])
{
    // A dump or a trace into a pipe whose reader has gone fails with a red line; it does not
    // end the program in the middle of a job.
    std::signal(SIGPIPE, SIG_IGN);
    CommandLine commandLine;
    const QCommandLineOption fast(QStringLiteral("fast"),
                                  QStringLiteral("Run the emulated programmer as fast as the "
                                                 "machine allows, not at a real one's pace."));
    const QCommandLineOption chip(QStringLiteral("chip"),
                                  QStringLiteral("The emulated chip, W25Q64FV unless given; "
                                                 "\"--chip list\" names them all."),
                                  QStringLiteral("NAME"), QStringLiteral("W25Q64FV"));
    const QCommandLineOption writeProtected(
        QStringLiteral("protected"),
        QStringLiteral("Start the chip with its protection bits set."));
    commandLine.AddOption(fast, CommandLine::OptionGroup::Bridge);
    commandLine.AddOption(chip, CommandLine::OptionGroup::Chip);
    commandLine.AddOption(writeProtected, CommandLine::OptionGroup::Chip);
    commandLine.Parse(argc, argv);
    if (commandLine.Value(chip) == QLatin1String("list")) {
        if (commandLine.OptionNames() == chip.names()) {
            PrintChips();
            return CommandLine::Succeeded;
        }
        commandLine.Refuse(
            QStringLiteral("\"--chip list\" names the chips and takes no other option."));
    }
    const std::optional<emu::ChipModel> model =
        emu::findChipModel(commandLine.Value(chip).toStdString());
    if (!model)
        commandLine.Refuse(QStringLiteral("Unknown chip '%1': \"--chip list\" names the chips.")
                               .arg(commandLine.Value(chip)));

    const ch341::BridgeKind bridge = commandLine.ChosenBridge() == QLatin1String("ch347")
                                         ? ch341::BridgeKind::Ch347
                                         : ch341::BridgeKind::Ch341a;

    if (!commandLine.OpensWindow()) {
        QCoreApplication application(argc, argv);
        const QString unkept =
            model ? InstallEmulatedProgrammer(*model, bridge, commandLine.IsSet(writeProtected),
                                              !commandLine.IsSet(fast))
                  : QString();
        if (!unkept.isEmpty())
            commandLine.FailJob(unkept);
        return commandLine.Run();
    }
    QApplication application(argc, argv);
    const QString unkept = InstallEmulatedProgrammer(
        *model, bridge, commandLine.IsSet(writeProtected), !commandLine.IsSet(fast));
    MainWindow window;
    if (!unkept.isEmpty())
        window.UpdateLogWindow_Text(unkept, QColor(QStringLiteral("red")), 1, false, false, true);
    window.TraceJobs(commandLine.TracePath());
    window.show();
    return application.exec();
}
