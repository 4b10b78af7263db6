// flashrom, a peer programmer, against the emulated CH341A on the same bus
// model as our jobs: umockdev presents the device to the flashrom process and
// this process answers its usbfs requests, so only flashrom's USB traffic is
// seen. Runs one job and prints one Markdown row; needs umockdev-wrapper.

#include "hostclock.h"
#include "mockch341a.h"

#include "bench/common/hostprofiles.h"
#include "emulator/buscost.h"
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

#include <cmath>

namespace {

// A job that has not ended after this long is killed and reported as such.
constexpr int kJobTimeoutMs = 60 * 60 * 1000;

struct ChipCase
{
    int mebibytes;
    const char *label;
    const char *flashromName; // flashrom's name for the part, as its probe reports it
    emu::ChipModel (*model)();
    // flashrom's read of this size on real hardware (4 KiB commands), seconds; 0: none.
    double publishedReadSeconds;
};

// The W25Q32FV: the W25Q64FV's timing at half its size.
emu::ChipModel W25q32fv()
{
    emu::ChipModel model = emu::ChipModelBuilder(emu::w25q64fv())
                               .name("W25Q32FV")
                               .jedecId(0xEF, 0x40, 0x16)
                               .sizeBytes(4 << 20)
                               .manufacturerDeviceId(std::array<uint8_t, 2>{0xEF, 0x15})
                               .electronicSignature({0x15})
                               .build();
    model.sfdp = emu::sfdpFirstRevisionTable(model.sizeBytes);
    return model;
}

// The published reads: flashrom 1.2 read a W25Q32 in 34.6 s; every CH341A tool
// needs about 65 s for 8 MiB (63 s ch341prog, 64.9 s the packet bound).
const ChipCase kChips[] = {{1, "W25Q80DV 1 MiB", "W25Q80.V", emu::w25q80dv, 0},
                           {4, "W25Q32FV 4 MiB", "W25Q32.V", W25q32fv, 34.6},
                           {8, "W25Q64FV 8 MiB", "W25Q64BV/W25Q64CV/W25Q64FV", emu::w25q64fv, 65},
                           {32, "W25Q256JV 32 MiB", "W25Q256JV_Q", emu::w25q256jv, 0}};
// The BIOS region of bench_jobs' region write, in flashrom's layout syntax.
constexpr int kBiosStart = 0x200000;
constexpr char kBiosLayout[] = "00200000:007fffff bios\n";

// The model is right when flashrom's modelled read lands this close to it.
constexpr double kCalibrationTolerance = 0.10;

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
    options.addPositionalArgument(QStringLiteral("MiB"), QStringLiteral("1, 4, 8 or 32"));
    options.addPositionalArgument(
        QStringLiteral("job"),
        QStringLiteral("read, write (flashrom's -n), write-verify, or write-verify-identical, "
                       "-sector or -block (the chip already holds the image, or all of it but "
                       "one 4 KiB sector or 64 KiB block in its middle), or region-write-bios "
                       "(8 MiB: -l with 0x200000:0x7fffff bios, -i bios, the rest kept)"));
    const QCommandLineOption headerOption(QStringLiteral("header"),
                                          QStringLiteral("Print the table header first."));
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Host profile: frame (default) or modern."),
                                        QStringLiteral("profile"), QStringLiteral("frame"));
    // flashrom 1.8 (its ch347_spi driver) on the emulated CH347T, on the high-speed host.
    const QCommandLineOption ch347Option(
        QStringLiteral("ch347"),
        QStringLiteral("Run this flashrom binary (1.8 or later) with its ch347_spi driver against "
                       "an emulated CH347T at the SPI clock given by --clock."),
        QStringLiteral("flashrom"));
    const QCommandLineOption clockOption(QStringLiteral("clock"),
                                         QStringLiteral("The CH347's SPI clock: 15, 30 or 60."),
                                         QStringLiteral("MHz"), QStringLiteral("15"));
    options.addOption(headerOption);
    options.addOption(hostOption);
    options.addOption(ch347Option);
    options.addOption(clockOption);
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
    const QStringList jobs{QStringLiteral("read"),
                           QStringLiteral("write"),
                           QStringLiteral("write-verify"),
                           QStringLiteral("write-verify-identical"),
                           QStringLiteral("write-verify-sector"),
                           QStringLiteral("write-verify-block"),
                           QStringLiteral("region-write-bios"),
                           QStringLiteral("verify")};
    const bool ch347 = options.isSet(ch347Option);
    const HostCase *host = ch347 ? &kHighSpeedHost : nullptr;
    for (const HostCase &candidate : kHosts) {
        if (!ch347 && options.value(hostOption) == QLatin1String(candidate.name))
            host = &candidate;
    }
    const QString clock = options.value(clockOption);
    const QStringList clocks{QStringLiteral("15"), QStringLiteral("30"), QStringLiteral("60")};
    const bool region = job == QLatin1String("region-write-bios");
    if (!chip || !jobs.contains(job) || !host || (ch347 && !clocks.contains(clock)) ||
        (!ch347 && job == QLatin1String("verify")) || (region && chip->mebibytes != 8))
        options.showHelp(1);

    if (options.isSet(headerOption)) {
        out << "| chip | host | flashrom job | exchanges | OUT URBs | OUT URBs behind uncollected "
               "ones | "
               "IN URBs | control | OUT bytes | SPI bytes | modelled s | KB/s | "
               "modelled / packet bound | real s |\n"
            << "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    }

    QTemporaryDir folder;
    if (!folder.isValid())
        return 1;
    const emu::ChipModel model = chip->model();
    const int size = int(model.sizeBytes);
    // The chip holds one random image; a write replaces it with another, so every block
    // must be erased and every page programmed.
    const QByteArray before = Random(size, 1);
    QByteArray image = Random(size, 2);
    // As the update benchmarks of bench_jobs: the chip holds the image but for what changed.
    const int changed = job.endsWith(QLatin1String("-identical")) ? 0
                        : job.endsWith(QLatin1String("-sector"))  ? 4 * 1024
                        : job.endsWith(QLatin1String("-block"))   ? 64 * 1024
                                                                  : size;
    if (changed < size)
        image =
            before.left(size / 2) + image.mid(size / 2, changed) + before.mid(size / 2 + changed);
    // As bench_jobs' region write: the BIOS region of an 8 MiB board, its first 2 MiB kept.
    if (region)
        image = before.left(kBiosStart) + image.mid(kBiosStart);
    const QString file = folder.filePath(QStringLiteral("image.bin"));
    // flashrom's -v compares the chip with the image it holds.
    if (job == QLatin1String("verify"))
        image = before;
    if (job != QLatin1String("read")) {
        QFile imageFile(file);
        if (!imageFile.open(QIODevice::WriteOnly) || imageFile.write(image) != size)
            return 1;
    }

    MockUsbBus bus;
    MockCh341a &device =
        bus.plugIn("1-1", 2, ch347 ? ch341::kCh347tProductId : uint16_t(0x5512), model);
    device.setHostProfile(host->profile);
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

    const QString programmer =
        ch347 ? QStringLiteral("ch347_spi:spispeed=%1M").arg(clock) : QStringLiteral("ch341a_spi");
    QStringList flashrom{QStringLiteral("-p"), programmer, QStringLiteral("-c"),
                         QString::fromLatin1(chip->flashromName)};
    if (job == QLatin1String("read"))
        flashrom << QStringLiteral("-r") << file;
    else if (job == QLatin1String("verify"))
        flashrom << QStringLiteral("-v") << file;
    else
        flashrom << QStringLiteral("-w") << file;
    if (region) {
        const QString layout = folder.filePath(QStringLiteral("layout.txt"));
        QFile layoutFile(layout);
        if (!layoutFile.open(QIODevice::WriteOnly) || layoutFile.write(kBiosLayout) < 0)
            return 1;
        flashrom << QStringLiteral("-l") << layout << QStringLiteral("-i")
                 << QStringLiteral("bios");
    }
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
    QString program = ch347 ? options.value(ch347Option)
                            : QStandardPaths::findExecutable(QStringLiteral("flashrom"));
    if (program.isEmpty() && !ch347)
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
    // The CH347's bound is its SPI clock's: 8 clocks a byte at 60 MHz / 2^divisor (15 MHz: 2).
    const unsigned divisor = unsigned(clocks.size() - 1 - clocks.indexOf(clock));
    const double bound = (ch347 ? emu::bus::ch347SpiBytesNs(traffic.spiBytes, divisor)
                                : emu::bus::packetBoundNs(traffic.spiBytes)) /
                         1e9;
    const QString where = ch347 ? QStringLiteral("CH347 %1 MHz, %2").arg(clock, host->name)
                                : QString::fromLatin1(host->name);
    out << "| " << chip->label << " | " << where << " | " << job << " | " << exchanges << " | "
        << traffic.outUrbs << " | " << traffic.pipelinedOutUrbs << " | " << traffic.inUrbs << " | "
        << traffic.controlUrbs << " | " << traffic.outBytes << " | " << traffic.spiBytes << " | "
        << Fixed(modelled, 3) << " | " << Fixed(size / modelled / 1000, 1) << " | "
        << Fixed(modelled / bound, 2) << " | " << Fixed(realSeconds, 1) << " |\n";
    out.flush();
    if (!ch347 && job == QLatin1String("read") && chip->publishedReadSeconds > 0) {
        const double off = modelled / chip->publishedReadSeconds - 1;
        const bool calibrated = std::abs(off) <= kCalibrationTolerance;
        err << "- Calibration, " << host->name << " host: flashrom reads the " << chip->label
            << " in " << Fixed(modelled, 1) << " s modelled, " << Fixed(100 * off, 1)
            << " % from the " << chip->publishedReadSeconds
            << " s measured on real hardware: " << (calibrated ? "within" : "NOT within")
            << " 10 %\n";
        if (!calibrated && problem.isEmpty())
            problem = QStringLiteral("the bus model is not calibrated");
    }
    if (!problem.isEmpty()) {
        err << chip->label << " " << job << ": " << problem << "\n";
        return 1;
    }
    return 0;
}
