// Runs every job of the flasher through the real worker and bridge driver on
// an emulated 8 MiB, 32 MiB and 2 MiB chip, with USB time modelled on the
// emulated link's virtual clock: a CH341A on both of its host profiles and a
// CH347 at 15, 30 and 60 MHz on a high-speed host. Prints the traffic,
// modelled time and CPU time of each job as a Markdown table.

#include "countinglink.h"
#include "jobsink.h"
#include "bench/common/hostprofiles.h"
#include "emulator/buscost.h"
#include "emulator/chipmodel.h"
#include "emulator/emulatedlink.h"
#include "emulator/spieeprom.h"
#include "programmer/jobs/ch341.h"

#include "bridge/bridge.h"
#include "bridge/ch347driver.h"
#include "bridge/usblink.h"

#include <QCommandLineParser>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <memory>
#include <random>

namespace {

constexpr double kNsPerSecond = 1e9;

using JobSlot = void (CH341::*)();

// The image file a job is given, derived from the random chip-sized image.
enum class Image {
    None,
    Random,
    HalfBlank,       // every other 64 KiB block erased (0xFF), as in firmware images
    FirstKiBDiffers, // one byte in the first KiB changed
    SectorChanged,   // one 4 KiB sector (in the middle of the chip) of other random bytes
    BlockChanged,    // one 64 KiB block of other random bytes
    BiosChanged,     // the 6 MiB from 0x200000 of other random bytes
    Other            // other random bytes: every sector changed
};

struct Job
{
    const char *name;
    JobSlot slot;
    Image image;
    bool movesWholeChip; // read, write, verify and update move the chip's size in data
    bool update;         // starts on a chip holding the random image
    bool readTwice = false;
    // The clock found automatically, on wires whose MISO picks up bit errors above 15 MHz.
    bool autoClock = false;
    // The part of the chip the job takes: the whole chip, the BIOS region or a 64 KiB range.
    enum class Part { WholeChip, Bios, Range64K } part = Part::WholeChip;
};

// The BIOS region of an 8 MiB board: the last 6 MiB, as a layout file names it.
constexpr quint32 kBiosStart = 0x200000;
constexpr quint32 kBiosEnd = 0x7FFFFF;
constexpr quint32 kRangeStart = 0x400000;
constexpr quint32 kRangeLength = 0x10000;

RegionSelection RegionsOf(Job::Part part)
{
    RegionSelection regions;
    if (part == Job::Part::Bios) {
        regions.source = RegionSelection::Source::LayoutFile;
        regions.layout = {{QStringLiteral("bios"), kBiosStart, kBiosEnd, 1}};
        regions.included = {{QStringLiteral("bios"), {}}};
    } else if (part == Job::Part::Range64K) {
        regions.source = RegionSelection::Source::Range;
        regions.offset = kRangeStart;
        regions.length = kRangeLength;
    }
    return regions;
}

// The wiring of the automatic clock's benchmark: clean at 15 MHz, 1 bit in 1,000 flipped above.
constexpr uint32_t kNoisyAboveKHz = 15000;
constexpr uint32_t kNoiseOneBitIn = 1000;

const Job kJobs[] = {
    {"identify", &CH341::DoReadID, Image::None, false, false},
    {"erase", &CH341::DoEraseFlash, Image::None, false, false},
    {"write", &CH341::DoWriteFlash, Image::Random, true, false},
    {"verify", &CH341::DoVerifyFlash, Image::Random, true, false},
    {"verify, first KiB differs", &CH341::DoVerifyFlash, Image::FirstKiBDiffers, false, false},
    {"read", &CH341::DoReadFlash, Image::None, true, false},
    {"write, half 0xFF", &CH341::DoWriteFlash, Image::HalfBlank, true, false},
    {"update, identical image", &CH341::DoUpdateFlash, Image::Random, true, true},
    {"update, one 4 KiB sector changed", &CH341::DoUpdateFlash, Image::SectorChanged, true, true},
    {"update, one 64 KiB block changed", &CH341::DoUpdateFlash, Image::BlockChanged, true, true},
    {"update, every sector changed", &CH341::DoUpdateFlash, Image::Other, true, true},
    {"read twice", &CH341::DoReadFlash, Image::None, true, false, true},
    {"read, auto clock, wires failing above 15 MHz", &CH341::DoReadFlash, Image::None, true, false,
     false, true},
    // On the 8 MiB chip only: the rest of the chip kept, the read of its bytes alone.
    {"region write, 6 MiB BIOS, the rest kept", &CH341::DoWriteFlash, Image::BiosChanged, false,
     true, false, false, Job::Part::Bios},
    {"range read, 64 KiB", &CH341::DoReadFlash, Image::None, false, true, false, false,
     Job::Part::Range64K},
};

QByteArray PatternImage(int size, unsigned seed = 20261206)
{
    std::mt19937 random(seed);
    QByteArray image(size, Qt::Uninitialized);
    for (char &byte : image)
        byte = char(random());
    return image;
}

QByteArray JobImage(const QByteArray &random, Image kind)
{
    constexpr int kSector = 4 * 1024;
    constexpr int kBlock = 64 * 1024;
    QByteArray image = random;
    const QByteArray other = kind >= Image::SectorChanged ? PatternImage(random.size(), 2) : "";
    const int middle = random.size() / 2;
    if (kind == Image::HalfBlank) {
        for (int block = kBlock; block < image.size(); block += 2 * kBlock)
            image.replace(block, kBlock, QByteArray(kBlock, char(0xFF)));
    } else if (kind == Image::FirstKiBDiffers) {
        image[700] = char(image.at(700) ^ 0x01);
    } else if (kind == Image::SectorChanged || kind == Image::BlockChanged) {
        const int length = kind == Image::SectorChanged ? kSector : kBlock;
        image.replace(middle, length, other.mid(middle, length));
    } else if (kind == Image::BiosChanged) {
        image.replace(int(kBiosStart), int(kBiosEnd - kBiosStart + 1),
                      other.mid(int(kBiosStart), int(kBiosEnd - kBiosStart + 1)));
    } else if (kind == Image::Other) {
        image = other;
    }
    return image;
}

struct Figures
{
    emu::EmulatedLink::Counters usb;
    CountingLink::Counts sorted;
    double modelledSeconds = 0;
    double cpuSeconds = 0;
    double realSeconds = 0;
    quint64 payloadBytes = 0;
    quint64 statusTexts = 0;
    quint64 progressValues = 0;
    QStringList records;
    QStringList failures;
    // Each step a job announces ("Writing to Chip... ") and its modelled seconds, up to the
    // record that completes it.
    QList<QPair<QString, double>> steps;
    // An EEPROM's job from the line saying how the part is reached to its end: its presence
    // check and the chip's work, without the bridge's setup.
    double reachedSeconds = 0;
};

// Modelled time of each announced step, from the log records' virtual times; the write step
// splits where its last page is reported (lastPageNs) into programming and read-back.
QList<QPair<QString, double>> StepTimes(const std::vector<std::pair<QString, uint64_t>> &stamps,
                                        uint64_t lastPageNs)
{
    QList<QPair<QString, double>> steps;
    for (std::size_t i = 0; i + 1 < stamps.size(); ++i) {
        const QString &name = stamps[i].first;
        const uint64_t start = stamps[i].second;
        const uint64_t end = stamps[i + 1].second;
        if (!name.endsWith(QLatin1String("... ")) ||
            name.startsWith(QLatin1String("Connecting")) ||
            name.startsWith(QLatin1String("Setting")))
            continue;
        if (name.startsWith(QLatin1String("Writing")) && lastPageNs > start && lastPageNs < end) {
            steps.append({QStringLiteral("programming"), (lastPageNs - start) / kNsPerSecond});
            steps.append({QStringLiteral("read-back"), (end - lastPageNs) / kNsPerSecond});
        } else {
            steps.append({name.trimmed(), (end - start) / kNsPerSecond});
        }
    }
    return steps;
}

QByteArray ChipMemory(emu::EmulatedLink &link)
{
    const std::vector<uint8_t> &memory = link.socketMemory();
    return QByteArray(reinterpret_cast<const char *>(memory.data()), int(memory.size()));
}

QByteArray FileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// i2cKHz: the job's I2C clock; 0 leaves the worker's default.
Figures RunJob(CountingLink &link, const Job &job, const QString &fileName,
               const QString &backupFolder, const QString &partName = QString(),
               uint32_t i2cKHz = 0)
{
    emu::EmulatedLink &emulated = link.emulated();
    link.resetCounts();
    JobSink sink;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "openUrl");
    QEventLoop loop;
    QObject::connect(&sink, &JobSink::finished, &loop, &QEventLoop::quit);

    QThread thread;
    CH341 *worker = new CH341(false, nullptr);
    worker->FileName = fileName;
    worker->BackupFolder = backupFolder;
    worker->PartName = partName;
    if (i2cKHz)
        worker->I2cSpeedKHz = i2cKHz;
    worker->ReadTwice = job.readTwice;
    worker->AutoSpiClock = job.autoClock;
    worker->Regions = RegionsOf(job.part);
    emulated.chip().setNoisyMiso(job.autoClock ? kNoiseOneBitIn : 0, kNoisyAboveKHz);
    sink.watch(worker);
    // On the worker's thread, while the emulator's clock stands where the record was made.
    std::vector<std::pair<QString, uint64_t>> stamps;
    QObject::connect(
        worker, &CH341::UpdateLogWindow_Text, worker,
        [&stamps, &emulated](QString message) {
            stamps.emplace_back(message, emulated.clock().nowNs());
        },
        Qt::DirectConnection);
    uint64_t lastPageNs = 0;
    QObject::connect(
        worker, &CH341::Set_Label_Status_TEXT, worker,
        [&lastPageNs, &emulated](QString text) {
            if (text.startsWith(QLatin1String("Write [")))
                lastPageNs = emulated.clock().nowNs();
        },
        Qt::DirectConnection);
    QObject::connect(&thread, &QThread::started, worker, job.slot);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    worker->moveToThread(&thread);

    const uint64_t startNs = emulated.clock().nowNs();
    const uint64_t startCpuNs = processCpuNs();
    QElapsedTimer real;
    real.start();
    thread.start();
    loop.exec();
    thread.quit();
    thread.wait();

    Figures figures;
    figures.realSeconds = real.nsecsElapsed() / kNsPerSecond;
    figures.cpuSeconds = (processCpuNs() - startCpuNs) / kNsPerSecond;
    figures.modelledSeconds = (emulated.clock().nowNs() - startNs) / kNsPerSecond;
    figures.usb = emulated.counters();
    figures.sorted = link.counts();
    figures.payloadBytes = job.movesWholeChip ? emulated.socketMemory().size() : 0;
    figures.statusTexts = sink.statusTexts;
    figures.progressValues = sink.progressValues;
    figures.records = sink.records;
    figures.failures = sink.failures;
    figures.steps = StepTimes(stamps, lastPageNs);
    for (std::size_t i = 0; i + 1 < stamps.size(); ++i) {
        if (stamps[i].first == QLatin1String("Reached by: "))
            figures.reachedSeconds =
                (emulated.clock().nowNs() - stamps[i + 1].second) / kNsPerSecond;
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    return figures;
}

// What each job must leave behind; empty when it did.
QString CheckOutcome(const QString &jobName, const Figures &figures, emu::EmulatedLink &link,
                     const QByteArray &image, const QString &dumpPath)
{
    const bool findsDifference = jobName == QLatin1String("verify, first KiB differs");
    // A mismatch is followed by the line naming its first differing byte.
    // At 30 MHz or more a third line suggests a lower clock.
    const bool hintsClock =
        figures.failures.size() == 3 &&
        figures.failures.last().contains(QLatin1String("the Wires May Not Carry the Clock"));
    const bool failedAsExpected =
        findsDifference ? (figures.failures.size() == 2 || hintsClock) &&
                              figures.failures.first() == QLatin1String("No Match Found!")
                        : figures.failures.isEmpty();
    if (!failedAsExpected)
        return figures.failures.join(QStringLiteral(" / "));
    if (jobName == QLatin1String("erase")) {
        const QByteArray memory = ChipMemory(link);
        if (memory.count(char(0xFF)) != memory.size())
            return QStringLiteral("chip not erased");
    }
    if (jobName.startsWith(QLatin1String("range read")))
        return FileContents(dumpPath) == image.mid(int(kRangeStart), int(kRangeLength))
                   ? QString()
                   : QStringLiteral("dump differs from the range");
    if ((jobName.startsWith(QLatin1String("write")) ||
         jobName.startsWith(QLatin1String("region write")) ||
         jobName.startsWith(QLatin1String("update"))) &&
        ChipMemory(link) != image)
        return QStringLiteral("chip does not hold the image");
    if (jobName == QLatin1String("verify") &&
        !figures.records.contains(QStringLiteral("Match Found!")))
        return QStringLiteral("verify found no match");
    if (jobName.startsWith(QLatin1String("read")) && FileContents(dumpPath) != image)
        return QStringLiteral("dump differs from the image");
    return QString();
}

// Puts the emulated bridge on the host behind a counting link, as the library's link.
CountingLink &InstallLink(std::unique_ptr<emu::EmulatedLink> emulated, emu::HostProfile host)
{
    emulated->clock().setHostProfile(host);
    auto counting = std::make_unique<CountingLink>(std::move(emulated));
    CountingLink &link = *counting;
    ch341::installUsbLink(std::move(counting));
    return link;
}

// 1 when the job of an EEPROM's row did not leave what it must, said on stderr; else 0.
int ReportOutcome(const QString &part, const QString &jobName, const Figures &figures,
                  emu::EmulatedLink &link, const QByteArray &image, const QString &path)
{
    const QString problem = CheckOutcome(jobName, figures, link, image, path);
    if (problem.isEmpty())
        return 0;
    QTextStream(stderr) << part << " " << jobName << " failed: " << problem << "\n";
    return 1;
}

QString Fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

// A bridge on a host: the CH341A on each of its host profiles, the CH347 at one SPI clock.
struct BusCase
{
    ch341::BridgeKind bridge;
    HostCase host;
    uint32_t clockKHz; // the CH347's; 0 for the CH341A
    QString label;
};

QList<BusCase> BusCases()
{
    QList<BusCase> cases;
    for (const HostCase &host : kHosts)
        cases.append({ch341::BridgeKind::Ch341a, host, 0, QStringLiteral("CH341A")});
    for (const uint32_t kHz : {15000u, 30000u, 60000u})
        cases.append({ch341::BridgeKind::Ch347, kHighSpeedHost, kHz,
                      QStringLiteral("CH347 %1 MHz").arg(kHz / 1000)});
    return cases;
}

// What the SPI bytes a job clocked need at the least: on a CH341A in full 31-byte packets and
// nothing else, on a CH347 their 8 clocks each at its SPI clock.
double BoundSeconds(const BusCase &bus, uint64_t spiBytes)
{
    if (bus.bridge == ch341::BridgeKind::Ch341a)
        return emu::bus::packetBoundNs(spiBytes) / kNsPerSecond;
    return emu::bus::ch347SpiBytesNs(spiBytes, ch341::Ch347Driver::clockDivisor(bus.clockKHz)) /
           kNsPerSecond;
}

void PrintHeader(QTextStream &out)
{
    out << "| chip | bridge | host | job | exchanges | with SPI | pins only | OUT | packets | "
           "control | SPI bytes | modelled s | KB/s | bound s | modelled / bound | CPU s | CPU % "
           "of modelled | CPU % without the emulator | status texts | progress values | real s "
           "|\n"
        << "|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:"
           "|---:|---:|---:|\n";
}

void PrintRow(QTextStream &out, const QString &chip, const BusCase &bus, const QString &job,
              const Figures &f)
{
    const double boundSeconds = BoundSeconds(bus, f.usb.spiBytes);
    const QString rate =
        f.payloadBytes ? Fixed(f.payloadBytes / f.modelledSeconds / 1000, 1) : QStringLiteral("-");
    const QString where = chip + " | " + bus.label + " | " + bus.host.name + " | ";
    out << "| " << where << job << " | " << f.usb.exchanges << " | " << f.sorted.streamExchanges
        << " | " << f.sorted.otherExchanges << " | " << f.usb.outTransfers << " | "
        << f.usb.packets << " | " << f.usb.controlTransfers << " | " << f.usb.spiBytes << " | "
        << Fixed(f.modelledSeconds, 3) << " | " << rate << " | " << Fixed(boundSeconds, 3) << " | "
        << Fixed(f.modelledSeconds / boundSeconds, 2) << " | " << Fixed(f.cpuSeconds, 3) << " | "
        << Fixed(100 * f.cpuSeconds / f.modelledSeconds, 2) << " | "
        << Fixed(100 * std::max(0.0, f.cpuSeconds - f.sorted.emulatorNs / kNsPerSecond) /
                     f.modelledSeconds,
                 2)
        << " | " << f.statusTexts << " | " << f.progressValues << " | " << Fixed(f.realSeconds, 2)
        << " |\n";
    // The steps of a write, each on a row of its own with its modelled time only.
    for (const auto &step : f.steps) {
        if (!job.startsWith(QLatin1String("write")) && !job.startsWith(QLatin1String("update")) &&
            !job.startsWith(QLatin1String("region write")))
            break;
        out << "| " << where << job << ": " << step.first << " | | | | | | | | "
            << Fixed(step.second, 3) << " | | | | | | | | | |\n";
    }
    out.flush();
}

struct ChipCase
{
    QString label;
    emu::ChipModel model;
};

// Published reads of a 4 MiB W25Q32 on a CH347 at 60 MHz: 0.7 s by a vendor-style tool, 1.1 s
// by ch347-nor-prog. The model's per-frame firmware time is fitted so that our read lands
// between them.
constexpr double kPublishedCh347ReadSeconds[] = {0.7, 1.1};

// Prints how far the CH347's 4 MiB read at 60 MHz lands from the published ones.
bool CalibrateCh347(const QString &dumpPath, QTextStream &out)
{
    const emu::ChipModel w25q32 = emu::ChipModelBuilder(emu::w25q64fv())
                                      .name("W25Q32FV")
                                      .jedecId(0xEF, 0x40, 0x16)
                                      .sizeBytes(4 * 1024 * 1024)
                                      .build();
    ch341::setSpiClockKHz(60000);
    auto emulated = std::make_unique<emu::EmulatedLink>(w25q32, ch341::BridgeKind::Ch347);
    emulated->chip().setRecording(false);
    auto counting = std::make_unique<CountingLink>(std::move(emulated));
    CountingLink &link = *counting;
    ch341::installUsbLink(std::move(counting));
    const Job &read = *std::find_if(std::begin(kJobs), std::end(kJobs), [](const Job &job) {
        return job.slot == &CH341::DoReadFlash;
    });
    const Figures figures = RunJob(link, read, dumpPath, QString());
    ch341::installUsbLink(nullptr);
    ch341::setSpiClockKHz(0);
    const bool within = figures.failures.isEmpty() &&
                        figures.modelledSeconds >= kPublishedCh347ReadSeconds[0] &&
                        figures.modelledSeconds <= kPublishedCh347ReadSeconds[1];
    out << "\n- Calibration, CH347 at 60 MHz on the highspeed host: we read the W25Q32FV 4 MiB "
           "in "
        << Fixed(figures.modelledSeconds, 2) << " s modelled; published "
        << kPublishedCh347ReadSeconds[0] << " s to " << kPublishedCh347ReadSeconds[1]
        << " s: " << (within ? "within" : "NOT within") << "\n";
    return within;
}

// A range read costs its bytes only: at most this many times their bound, plus the fixed cost
// of any job (the identify row: identification and configuration).
constexpr double kRangeReadOverBound = 1.02;

QString RangeReadTarget(const QString &where, const Figures &read, const BusCase &bus,
                        double identifySeconds)
{
    const double bound = BoundSeconds(bus, read.usb.spiBytes);
    const double target = kRangeReadOverBound * bound + identifySeconds;
    return QStringLiteral("- Target, range read on the %1: %2 s, at most %3 x %4 s + %5 s "
                          "(identify) = %6 s: %7")
        .arg(where, Fixed(read.modelledSeconds, 4), Fixed(kRangeReadOverBound, 2), Fixed(bound, 4),
             Fixed(identifySeconds, 4), Fixed(target, 4),
             read.modelledSeconds <= target ? QStringLiteral("met") : QStringLiteral("NOT met"));
}

// A region write costs the backup read and its touched units' share of the whole-chip update's
// erase, programming and read-back: at most this many times that sum. The BIOS region is whole
// 64 KiB blocks, so its units are its bytes.
constexpr double kRegionWriteOverSum = 1.05;

QString RegionWriteTarget(const QString &where, const Figures &region, const Figures &update,
                          double touchedShare)
{
    double backup = 0;
    double units = 0;
    for (const auto &step : update.steps) {
        if (step.first.startsWith(QLatin1String("Reading")))
            backup = step.second;
        else
            units += step.second;
    }
    const double sum = backup + touchedShare * units;
    const double target = kRegionWriteOverSum * sum;
    return QStringLiteral("- Target, region write on the %1: %2 s, at most %3 x (%4 s backup + "
                          "%5 x %6 s of the update's erase, programming and read-back) = %7 s: %8")
        .arg(where, Fixed(region.modelledSeconds, 3), Fixed(kRegionWriteOverSum, 2),
             Fixed(backup, 3), Fixed(touchedShare, 2), Fixed(units, 3), Fixed(target, 3),
             region.modelledSeconds <= target ? QStringLiteral("met") : QStringLiteral("NOT met"));
}

// 93xx through the CH341A's UIO stream: a bit out takes two pin commands (data, then the clock
// high), a sample three; 30 commands fill a packet, whose OUT transaction and, when it samples,
// IN transaction come on top. The least time the bits of one instruction need.
double UioBoundSeconds(uint64_t outBits, uint64_t samples)
{
    constexpr uint64_t kCommandsPerPacket = 30;
    const uint64_t commands = 2 * outBits + 3 * samples;
    const uint64_t packets = (commands + kCommandsPerPacket - 1) / kCommandsPerPacket;
    return (commands * emu::bus::kUioCommandNs +
            packets * (emu::bus::kOutTransactionNs + (samples ? emu::bus::kInTransactionNs : 0))) /
           kNsPerSecond;
}

// A 93C66 (x16, 8 address bits, 256 words) written and read on the CH341A beside its bounds:
// the read one READ streaming every word; the write EWEN, each word's WRITE with one ready
// sample and its typical 2 ms cycle, EWDS.
int PrintMicrowireRows(QTextStream &out, const QString &imagePath, const QString &dumpPath,
                       const QString &backupFolder)
{
    const emu::ChipModel model = emu::eeprom93c66(16);
    const uint64_t k = model.microwireAddressBits;
    const uint64_t words = model.sizeBytes / 2;
    const double readBound = UioBoundSeconds(3 + k, 1 + 8 * uint64_t(model.sizeBytes));
    const double writeBound =
        2 * UioBoundSeconds(3 + k, 0) +
        double(words) * (UioBoundSeconds(3 + k + 16, 0) + UioBoundSeconds(0, 1) +
                         model.writeCycleNs / kNsPerSecond);
    const QByteArray image = PatternImage(int(model.sizeBytes), 93);
    QFile imageFile(imagePath);
    if (!imageFile.open(QIODevice::WriteOnly) || imageFile.write(image) != image.size())
        return 1;
    imageFile.close();
    out << "\n| chip | bridge | host | job | exchanges | packets | modelled s | host pauses s | "
           "measured s | bound s | measured / bound | target |\n"
        << "|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    int failed = 0;
    for (const HostCase &host : kHosts) {
        auto emulated = std::make_unique<emu::EmulatedLink>(model, ch341::BridgeKind::Ch341a);
        emulated->clock().setHostProfile(host.profile);
        auto counting = std::make_unique<CountingLink>(std::move(emulated));
        CountingLink &link = *counting;
        ch341::installUsbLink(std::move(counting));
        for (const Job &job : {Job{"write", &CH341::DoWriteFlash, Image::Random, true, false},
                               Job{"read", &CH341::DoReadFlash, Image::None, true, false}}) {
            const bool reads = job.slot == &CH341::DoReadFlash;
            const Figures f = RunJob(link, job, reads ? dumpPath : imagePath, backupFolder,
                                     QStringLiteral("M93C66"));
            const std::vector<uint8_t> &memory = link.emulated().socketMemory();
            const bool holds = QByteArray(reinterpret_cast<const char *>(memory.data()),
                                          int(memory.size())) == image &&
                               (!reads || FileContents(dumpPath) == image);
            if (!f.failures.isEmpty() || !holds)
                ++failed;
            // A read is measured whole but for the host's settle pause at connecting; a write
            // by its programming step (the read-back is a read).
            const double pauses = f.usb.sleepNs / kNsPerSecond;
            double measured = f.modelledSeconds - pauses;
            for (const auto &step : f.steps) {
                if (!reads && step.first == QLatin1String("programming"))
                    measured = step.second;
            }
            const double bound = reads ? readBound : writeBound;
            out << "| 93C66 x16 512 B | CH341A | " << host.name << " | "
                << (reads ? "read" : "write: programming") << " | " << f.usb.exchanges << " | "
                << f.usb.packets << " | " << Fixed(f.modelledSeconds, 3) << " | "
                << Fixed(pauses, 3) << " | " << Fixed(measured, 3) << " | " << Fixed(bound, 3)
                << " | " << Fixed(measured / bound, 2) << " | 1.10 |\n";
        }
        ch341::installUsbLink(nullptr);
    }
    out.flush();
    return failed;
}

// A 25LC640 (8 KiB, 32-byte pages, 2-byte addresses) chosen by name, read and written on each
// bridge. Its bound: the SPI bytes the job needs at the least at the bridge's clock (the
// CH341A's in full packets, as for the flash rows): a read is READ + address + the chip; a
// write per page WREN, WRITE + address + the page and one RDSR poll, plus the page's write
// cycle, then the read-back.
constexpr int kEepromPage = 32;
constexpr int kEepromHeader = 3;
constexpr double kEepromTarget = 1.10;

int RunEepromRows(QTextStream &out, const QString &imagePath, const QString &dumpPath,
                  const QString &backupFolder)
{
    const emu::SpiEepromModel model = emu::eeprom25lc640();
    const int size = int(model.sizeBytes);
    const int pages = size / kEepromPage;
    const uint64_t readBytes = uint64_t(size + kEepromHeader);
    const uint64_t pageBytes = 1 + kEepromHeader + kEepromPage + 2;
    const Job read = {"read", &CH341::DoReadFlash, Image::None, true, false};
    const Job write = {"write", &CH341::DoWriteFlash, Image::Random, true, false};
    out << "\n| part | bridge | host | job | exchanges | SPI bytes | modelled s | of it after "
           "the part is reached | bound s | modelled after reached / bound | target |\n"
           "|---|---|---|---|---:|---:|---:|---:|---:|---:|---|\n";
    int failed = 0;
    const QByteArray image = PatternImage(size);
    QFile file(imagePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return 1;
    file.close();
    for (const BusCase &bus : BusCases()) {
        if (bus.clockKHz > 15000)
            continue;
        ch341::setSpiClockKHz(bus.clockKHz);
        auto emulated = std::make_unique<emu::EmulatedLink>(emu::w25q64fv(), bus.bridge);
        emulated->insertSpiEeprom(model);
        CountingLink &link = InstallLink(std::move(emulated), bus.host.profile);
        for (const Job *job : {&write, &read}) {
            const bool reads = job == &read;
            const QString name = QString::fromLatin1(job->name);
            const Figures f = RunJob(link, *job, reads ? dumpPath : imagePath, backupFolder,
                                     QString::fromStdString(model.name));
            const double cycles = reads ? 0 : pages * double(model.writeCycleNs) / kNsPerSecond;
            const double bound =
                BoundSeconds(bus, reads ? readBytes : pages * pageBytes + readBytes) + cycles;
            const double ratio = f.reachedSeconds / bound;
            out << "| 25LC640 8 KiB | " << bus.label << " | " << bus.host.name << " | " << name
                << " | " << f.usb.exchanges << " | " << f.usb.spiBytes << " | "
                << Fixed(f.modelledSeconds, 3) << " | " << Fixed(f.reachedSeconds, 3) << " | "
                << Fixed(bound, 3) << " | " << Fixed(ratio, 2) << " | "
                << (ratio <= kEepromTarget ? "met" : "MISSED") << " |\n";
            for (const auto &step : f.steps)
                out << "| | | | " << name << ": " << step.first << " | | | "
                    << Fixed(step.second, 3) << " | | | | |\n";
            out.flush();
            failed += ReportOutcome(QStringLiteral("25LC640"), name, f, link.emulated(), image,
                                    reads ? dumpPath : imagePath);
        }
        ch341::installUsbLink(nullptr);
    }
    ch341::setSpiClockKHz(0);
    return failed;
}

// A 24C256 (32 KiB, 64-byte pages, 2-byte word addresses) chosen by name, written and read at
// 100 and 400 kHz on each bridge. Its bounds count SCL clocks at the chosen clock: 9 a byte (8
// data bits and the acknowledge), 1 a START, repeated START or STOP. A read transaction is
// START, device address, 2 word address bytes, repeated START, device address, the data, STOP;
// the read job sends one per 4096 bytes, and one presence poll (START, address, STOP) before.
// A page write is START, device address, 2 word address bytes, 64 data bytes, STOP, then the
// write cycle (the model's 5 ms, the datasheet maximum: no typical figure is documented).
constexpr uint64_t kI2cByteClocks = 9;
constexpr uint64_t kI2cReadTransactionBytes = 4096;
constexpr uint64_t kI2cHeaderBytes = 3;
constexpr double kI2cReadUnderSeconds = 1.0;

double I2cReadBoundSeconds(uint64_t size, uint32_t kHz)
{
    const uint64_t transactions = (size + kI2cReadTransactionBytes - 1) / kI2cReadTransactionBytes;
    const uint64_t presence = 2 + kI2cByteClocks;
    const uint64_t perTransaction = 3 + (kI2cHeaderBytes + 1) * kI2cByteClocks;
    const uint64_t clocks = presence + transactions * perTransaction + size * kI2cByteClocks;
    return double(clocks) / (kHz * 1000.0);
}

double I2cWriteBoundSeconds(const emu::ChipModel &model, uint32_t kHz)
{
    const uint64_t pages = model.sizeBytes / model.pageSize;
    const uint64_t pageClocks = 2 + (kI2cHeaderBytes + model.pageSize) * kI2cByteClocks;
    return pages *
           (double(pageClocks) / (kHz * 1000.0) + double(model.writeCycleNs) / kNsPerSecond);
}

int RunI2cEepromRows(QTextStream &out, const QString &imagePath, const QString &dumpPath,
                     const QString &backupFolder)
{
    const emu::ChipModel model = emu::eeprom24c256();
    const QByteArray image = PatternImage(int(model.sizeBytes), 24);
    QFile file(imagePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return 1;
    file.close();
    const Job read = {"read", &CH341::DoReadFlash, Image::None, true, false};
    const Job write = {"write", &CH341::DoWriteFlash, Image::Random, true, false};
    const QList<BusCase> buses = {
        {ch341::BridgeKind::Ch341a, kHosts[0], 0, QStringLiteral("CH341A")},
        {ch341::BridgeKind::Ch341a, kHosts[1], 0, QStringLiteral("CH341A")},
        {ch341::BridgeKind::Ch347, kHighSpeedHost, 0, QStringLiteral("CH347T")}};
    out << "\n| part | bridge | host | I2C kHz | job | exchanges | packets | modelled s | "
           "measured s | bound s | measured / bound | target |\n"
           "|---|---|---|---:|---|---:|---:|---:|---:|---:|---:|---|\n";
    int failed = 0;
    QStringList underOneSecond;
    for (const uint32_t kHz : {100u, 400u}) {
        for (const BusCase &bus : buses) {
            CountingLink &link = InstallLink(
                std::make_unique<emu::EmulatedLink>(model, bus.bridge), bus.host.profile);
            for (const Job *job : {&write, &read}) {
                const bool reads = job == &read;
                const QString name = QString::fromLatin1(job->name);
                const Figures f = RunJob(link, *job, reads ? dumpPath : imagePath, backupFolder,
                                         QStringLiteral("24C256"), kHz);
                // A read from the line saying how the part is reached (its presence poll
                // included); a write by its programming step (its read-back is a read).
                double measured = f.reachedSeconds;
                for (const auto &step : f.steps) {
                    if (!reads && step.first == QLatin1String("programming"))
                        measured = step.second;
                }
                const double bound = reads ? I2cReadBoundSeconds(model.sizeBytes, kHz)
                                           : I2cWriteBoundSeconds(model, kHz);
                const double ratio = measured / bound;
                const QString where =
                    bus.label + " | " + bus.host.name + " | " + QString::number(kHz) + " | ";
                out << "| 24C256 32 KiB | " << where << (reads ? "read" : "write: programming")
                    << " | " << f.usb.exchanges << " | " << f.usb.packets << " | "
                    << Fixed(f.modelledSeconds, 3) << " | " << Fixed(measured, 3) << " | "
                    << Fixed(bound, 3) << " | " << Fixed(ratio, 2) << " | "
                    << (ratio <= kEepromTarget ? "met" : "MISSED") << " |\n";
                // The write's other steps beside the programming it is measured by.
                for (const auto &step : f.steps) {
                    if (!reads && step.first != QLatin1String("programming"))
                        out << "| | | | | write: " << step.first << " | | | "
                            << Fixed(step.second, 3) << " | | | | |\n";
                }
                out.flush();
                if (reads && kHz == 400)
                    underOneSecond
                        << QStringLiteral("- Target, 24C256 read at 400 kHz on the "
                                          "%1, %2 host: %3 s, under %4 s: %5")
                               .arg(bus.label, QString::fromLatin1(bus.host.name),
                                    Fixed(measured, 3), Fixed(kI2cReadUnderSeconds, 0),
                                    measured < kI2cReadUnderSeconds ? QStringLiteral("met")
                                                                    : QStringLiteral("MISSED"));
                failed += ReportOutcome(QStringLiteral("24C256"), name, f, link.emulated(), image,
                                        reads ? dumpPath : imagePath);
            }
            ch341::installUsbLink(nullptr);
        }
    }
    out << "\n" << underOneSecond.join(QLatin1Char('\n')) << "\n";
    out.flush();
    return failed;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    // Narrowing the run helps a profiler look at one job.
    QCommandLineParser options;
    options.addHelpOption();
    const QCommandLineOption chipOption(QStringLiteral("chip"),
                                        QStringLiteral("Only the chip of this many MiB."),
                                        QStringLiteral("MiB"));
    const QCommandLineOption jobOption(QStringLiteral("job"),
                                       QStringLiteral("Only this job (repeatable)."),
                                       QStringLiteral("name"));
    const QCommandLineOption hostOption(
        QStringLiteral("host"),
        QStringLiteral("Only this host profile (frame, modern, highspeed)."),
        QStringLiteral("profile"));
    const QCommandLineOption clockOption(QStringLiteral("clock"),
                                         QStringLiteral("Only the CH347 at this SPI clock."),
                                         QStringLiteral("MHz"));
    options.addOption(chipOption);
    options.addOption(jobOption);
    options.addOption(hostOption);
    options.addOption(clockOption);
    const QCommandLineOption eepromOption(QStringLiteral("eeprom"),
                                          QStringLiteral("Only the 25LC640 rows."));
    options.addOption(eepromOption);
    options.process(application);

    QTemporaryDir folder;
    if (!folder.isValid()) {
        err << "no temporary folder\n";
        return 1;
    }
    const QString imagePath = folder.filePath(QStringLiteral("image.bin"));
    const QString dumpPath = folder.filePath(QStringLiteral("dump.bin"));

    if (options.isSet(eepromOption))
        return RunEepromRows(out, imagePath, dumpPath, folder.filePath(QStringLiteral("backup")));
    const ChipCase chips[] = {{QStringLiteral("W25Q64FV 8 MiB"), emu::w25q64fv()},
                              {QStringLiteral("W25Q256JV 32 MiB"), emu::w25q256jv()},
                              {QStringLiteral("SST25VF016B 2 MiB"), emu::sst25vf016b()}};
    PrintHeader(out);
    int failed = 0;
    QStringList targets;
    for (const BusCase &bus : BusCases()) {
        if (options.isSet(hostOption) && options.value(hostOption) != QLatin1String(bus.host.name))
            continue;
        if (options.isSet(clockOption) &&
            options.value(clockOption) != QString::number(bus.clockKHz / 1000))
            continue;
        ch341::setSpiClockKHz(bus.clockKHz);
        for (const ChipCase &chip : chips) {
            const QString mebibytes = QString::number(chip.model.sizeBytes >> 20);
            if (options.isSet(chipOption) && options.value(chipOption) != mebibytes)
                continue;
            auto emulated = std::make_unique<emu::EmulatedLink>(chip.model, bus.bridge);
            emulated->clock().setHostProfile(bus.host.profile);
            emulated->chip().setRecording(false);
            // The operator has cleared the protection the SST part powers up with.
            emulated->chip().setStatusRegisters(0x00);
            auto counting = std::make_unique<CountingLink>(std::move(emulated));
            CountingLink &link = *counting;
            ch341::installUsbLink(std::move(counting));

            const QByteArray random = PatternImage(int(chip.model.sizeBytes));
            double identifySeconds = -1;
            // The whole-chip update's steps, which a region write's target scales.
            Figures wholeUpdate;
            for (const Job &job : kJobs) {
                const QString jobName = QString::fromLatin1(job.name);
                if (options.isSet(jobOption) && !options.values(jobOption).contains(jobName))
                    continue;
                // Reading twice and finding the clock are the CH347's rows, on the 8 MiB chip.
                if ((job.readTwice || job.autoClock) &&
                    (bus.bridge != ch341::BridgeKind::Ch347 || chip.model.sizeBytes != 8u << 20))
                    continue;
                if (job.part != Job::Part::WholeChip && chip.model.sizeBytes != 8u << 20)
                    continue;
                const QByteArray image = JobImage(random, job.image);
                QFile imageFile(imagePath);
                if (!imageFile.open(QIODevice::WriteOnly) ||
                    imageFile.write(image) != image.size()) {
                    err << "cannot write " << imagePath << "\n";
                    return 1;
                }
                imageFile.close();
                const bool reads = job.slot == &CH341::DoReadFlash;
                // The updates, and the reads after them, start on a chip holding the random image.
                if (job.update || job.readTwice || job.autoClock)
                    link.emulated().chip().memory().assign(random.cbegin(), random.cend());
                // The automatic clock identifies the chip at the default clock.
                ch341::setSpiClockKHz(job.autoClock ? 0 : bus.clockKHz);
                const Figures figures = RunJob(link, job, reads ? dumpPath : imagePath,
                                               folder.filePath(QStringLiteral("backup")));
                ch341::setSpiClockKHz(bus.clockKHz);
                PrintRow(out, chip.label, bus, jobName, figures);
                if (job.slot == &CH341::DoReadID)
                    identifySeconds = figures.modelledSeconds;
                if (job.image == Image::Other)
                    wholeUpdate = figures;
                const QString where =
                    bus.label + QStringLiteral(", ") + bus.host.name + QStringLiteral(" host");
                if (job.part == Job::Part::Range64K && identifySeconds >= 0)
                    targets << RangeReadTarget(where, figures, bus, identifySeconds);
                if (job.part == Job::Part::Bios && !wholeUpdate.steps.isEmpty())
                    targets << RegionWriteTarget(where, figures, wholeUpdate,
                                                 double(kBiosEnd - kBiosStart + 1) /
                                                     chip.model.sizeBytes);
                // The read job dumps what the write before it left: the random image.
                const QString problem = CheckOutcome(jobName, figures, link.emulated(),
                                                     reads ? random : image, dumpPath);
                if (!problem.isEmpty()) {
                    err << chip.label << " " << jobName << " failed: " << problem << "\n";
                    ++failed;
                }
            }
            ch341::installUsbLink(nullptr);
        }
    }
    ch341::setSpiClockKHz(0);
    if (!targets.isEmpty())
        out << "\n" << targets.join(QLatin1Char('\n')) << "\n";
    const QCommandLineOption *narrowed[] = {&chipOption, &jobOption, &hostOption, &clockOption};
    if (std::none_of(std::begin(narrowed), std::end(narrowed),
                     [&options](const QCommandLineOption *o) { return options.isSet(*o); }))
        failed +=
            RunEepromRows(out, imagePath, dumpPath, folder.filePath(QStringLiteral("backup")));
    if (!options.isSet(chipOption) && !options.isSet(jobOption) && !options.isSet(hostOption) &&
        !options.isSet(clockOption) && !CalibrateCh347(dumpPath, out))
        ++failed;
    if (!options.isSet(chipOption) && !options.isSet(clockOption) &&
        (!options.isSet(jobOption) || options.value(jobOption) == QLatin1String("93xx")))
        failed += PrintMicrowireRows(out, imagePath, dumpPath, folder.filePath("backup"));
    if (!options.isSet(chipOption) && !options.isSet(clockOption) &&
        (!options.isSet(jobOption) || options.value(jobOption) == QLatin1String("24xx")))
        failed += RunI2cEepromRows(out, imagePath, dumpPath, folder.filePath("backup"));
    return failed == 0 ? 0 : 1;
}
