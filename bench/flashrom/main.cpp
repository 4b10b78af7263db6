// flashrom, a peer programmer, against the emulated CH341A on the same bus
// model as our jobs: umockdev presents the device to the flashrom process and
// this process answers its usbfs requests, so only flashrom's USB traffic is
// seen. Runs one job and prints one Markdown row; needs umockdev-wrapper.

#include "hostclock.h"
#include "mockch341a.h"

#include "emulator/chipmodel.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

constexpr double kSpiBytesPerSecond = 1.5e6 / 8;
// A job that has not ended after this long is killed and reported as such.
constexpr int kJobTimeoutMs = 60 * 60 * 1000;

struct ChipCase
{
    int mebibytes;
    const char *label;
    const char *flashromName; // flashrom's name for the part, as its probe reports it
    emu::ChipModel (*model)();
};

const ChipCase kChips[] = {{1, "W25Q80DV 1 MiB", "W25Q80.V", emu::w25q80dv},
                           {8, "W25Q64FV 8 MiB", "W25Q64BV/W25Q64CV/W25Q64FV", emu::w25q64fv},
                           {32, "W25Q256JV 32 MiB", "W25Q256JV_Q", emu::w25q256jv}};

QByteArray Random(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

QString Fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser options;
    options.addHelpOption();
    options.addPositionalArgument(QStringLiteral("MiB"), QStringLiteral("1, 8 or 32"));
    options.addPositionalArgument(QStringLiteral("job"),
                                  QStringLiteral("read, write (flashrom's -n) or write-verify"));
    const QCommandLineOption headerOption(QStringLiteral("header"),
                                          QStringLiteral("Print the table header first."));
    options.addOption(headerOption);
    options.process(application);
    const QStringList arguments = options.positionalArguments();
    if (!qgetenv("LD_PRELOAD").contains("libumockdev-preload")) {
        err << "run this under umockdev-wrapper\n";
        return 1;
    }
    const ChipCase *chip = nullptr;
    for (const ChipCase &candidate : kChips) {
        if (arguments.value(0) == QString::number(candidate.mebibytes))
            chip = &candidate;
    }
    const QString job = arguments.value(1);
    const QStringList jobs{QStringLiteral("read"), QStringLiteral("write"),
                           QStringLiteral("write-verify")};
    if (!chip || !jobs.contains(job))
        options.showHelp(1);

    if (options.isSet(headerOption)) {
        out << "| chip | flashrom job | exchanges | OUT URBs | OUT URBs behind uncollected ones | "
               "IN URBs | control | OUT bytes | SPI bytes | modelled s | KB/s | "
               "modelled / SPI clock | real s |\n"
            << "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    }

    QTemporaryDir folder;
    if (!folder.isValid())
        return 1;
    const emu::ChipModel model = chip->model();
    const int size = int(model.sizeBytes);
    // The chip holds one random image; a write replaces it with another, so every block
    // must be erased and every page programmed.
    const QByteArray before = Random(size, 1);
    const QByteArray image = Random(size, 2);
    const QString file = folder.filePath(QStringLiteral("image.bin"));
    if (job != QLatin1String("read")) {
        QFile imageFile(file);
        if (!imageFile.open(QIODevice::WriteOnly) || imageFile.write(image) != size)
            return 1;
    }

    MockUsbBus bus;
    MockCh341a &device = bus.plugIn("1-1", 2, 0x5512, model);
    device.setRecording(false);
    device.setMemory(before);

    // flashrom's clock reads and sleeps run on the device's virtual clock.
    QFile clockFile(folder.filePath(QStringLiteral("host-clock")));
    if (!clockFile.open(QIODevice::ReadWrite) || !clockFile.resize(sizeof(SharedHostClock)))
        return 1;
    uchar *mapped = clockFile.map(0, sizeof(SharedHostClock));
    if (!mapped)
        return 1;
    auto *hostClock = new (mapped) SharedHostClock;
    device.shareClock(&hostClock->nowNs, &hostClock->requests);

    QStringList flashrom{QStringLiteral("-p"), QStringLiteral("ch341a_spi"), QStringLiteral("-c"),
                         QString::fromLatin1(chip->flashromName)};
    if (job == QLatin1String("read"))
        flashrom << QStringLiteral("-r") << file;
    else
        flashrom << QStringLiteral("-w") << file;
    if (job == QLatin1String("write"))
        flashrom << QStringLiteral("-n");

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kHostClockVariable), clockFile.fileName());
    environment.insert(QStringLiteral("LD_PRELOAD"),
                       environment.value(QStringLiteral("LD_PRELOAD")) + QLatin1Char(':') +
                           QStringLiteral(VARNOCK_HOST_CLOCK_LIBRARY));
    process.setProcessEnvironment(environment);
    QElapsedTimer real;
    real.start();
    // Debian installs it in /usr/sbin, which an ordinary user's PATH may lack.
    QString program = QStandardPaths::findExecutable(QStringLiteral("flashrom"));
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(
            QStringLiteral("flashrom"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    if (program.isEmpty()) {
        err << "flashrom is not installed\n";
        return 1;
    }
    process.start(program, flashrom);
    const bool ended = process.waitForFinished(kJobTimeoutMs);
    const double realSeconds = real.nsecsElapsed() / 1e9;
    if (!ended)
        process.kill();
    process.waitForFinished();

    QString problem;
    if (!ended)
        problem = QStringLiteral("did not end within the time limit");
    else if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        problem = QStringLiteral("flashrom failed:\n") + QString::fromLocal8Bit(process.readAll());
    else if (job == QLatin1String("read")) {
        QFile dump(file);
        if (!dump.open(QIODevice::ReadOnly) || dump.readAll() != before)
            problem = QStringLiteral("the dump differs from the chip");
    } else if (device.memory(size) != image) {
        problem = QStringLiteral("the chip does not hold the image");
    }

    device.shareClock(nullptr, nullptr);
    const MockCh341a::Traffic traffic = device.traffic();
    const double modelled = traffic.modelledNs / 1e9;
    const uint64_t exchanges = traffic.outUrbs - traffic.pipelinedOutUrbs + traffic.controlUrbs;
    out << "| " << chip->label << " | " << job << " | " << exchanges << " | " << traffic.outUrbs
        << " | " << traffic.pipelinedOutUrbs << " | " << traffic.inUrbs << " | "
        << traffic.controlUrbs << " | " << traffic.outBytes << " | " << traffic.spiBytes << " | "
        << Fixed(modelled, 3) << " | " << Fixed(size / modelled / 1000, 1) << " | "
        << Fixed(modelled / (traffic.spiBytes / kSpiBytesPerSecond), 2) << " | "
        << Fixed(realSeconds, 1) << " |\n";
    out.flush();
    if (!problem.isEmpty()) {
        err << chip->label << " " << job << ": " << problem << "\n";
        return 1;
    }
    return 0;
}
