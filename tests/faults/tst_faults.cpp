// Every job under faults (the bridge unplugged or failing one transfer mid-job, misbehaving
// chips, bad files) must end with one JobDone, say in red what went wrong, claim no success,
// send the chip nothing after a failed transfer and lose nothing.

#include "failonwarning.h"
#include "emulatorharness.h"
#include "jobrecorder.h"
#include "log/logfile.h"
#include "log/logwindow.h"
#include "mainwindow.h"
#include "programmer/jobs/ch341.h"
#include "testfiles.h"
#include "emulator/chipcatalog.h"
#include "emulator/i2ceeprom.h"
#include "emulator/microwireeeprom.h"

#include <QDir>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <set>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
constexpr int kChipSize = 1024 * 1024; // the W25Q80DV of every row
constexpr int kImageSize = 20000;
// The rows that walk the serial EEPROM jobs: a 25LC640 (every job) and a 24C256 (the write)
// chosen by name, and a short image that ends inside a page.
const QString kEepromPart = QStringLiteral("25LC640");
const QString kI2cEepromPart = QStringLiteral("24C256");
constexpr int kEepromImageSize = 5000;
// A 93C46 (x16) write on the CH341A: its short image ends inside a word.
const QString kMicrowirePart = QStringLiteral("M93C46");
constexpr int kMicrowireImageSize = 101;
const QByteArray kEarlierDump = "earlier dump";
const QString kRed = QStringLiteral("#ff0000");
const QString kTransferFailed = QStringLiteral("Programmer Transfer Failed!");
const QString kInitFailed = QStringLiteral("Failed to Initialize CH341 Programmer.");
const QString kLoadFailed = QStringLiteral("Failed to Load/Open Binary File.");
// Followed by the reason; %1 is the dump's path.
const QString kDumpRefused = kLoadFailed + QStringLiteral("\nCannot Create Dump File %1: ");
const QString kImageRefused = kLoadFailed + QStringLiteral("\nCannot Read Image File %1: ");
const QString kTooLarge = QStringLiteral("insufficient Chip Storage Size! ");
const QString kTimedOut = QStringLiteral("Operation Timed Out: Chip Still Busy!");
// Helper scripts exit with this when the system cannot stage the case.
constexpr int kHelperSkip = 77;
// Records that claim success; none may follow a fault.
const QStringList kSuccessClaims = {
    QStringLiteral("OK"), QStringLiteral("Flash Chip Read File Saved in:"),
    QStringLiteral("Match Found!"), QStringLiteral("No Match Found!")};

// RegionWrite: the write of a range whose ends lie inside one sector.
enum class Job { ReadId, Read, Write, Verify, Erase, Update, RegionWrite };
const QList<Job> kAllJobs = {Job::ReadId, Job::Read,  Job::Write,
                             Job::Verify, Job::Erase, Job::Update};

struct JobInfo
{
    const char *name;
    void (CH341::*run)();
    const char *success; // the last log line of a good run; a read ends with the dump's path
};
// The identifier's last chip-list row is the one a good read id names.
const JobInfo kJobs[] = {{"read id", &CH341::DoReadID, "SFDP: None"},
                         {"read", &CH341::DoReadFlash, ""},
                         {"write", &CH341::DoWriteFlash, "Writing to Chip... OK"},
                         {"verify", &CH341::DoVerifyFlash, "Match Found!"},
                         {"erase", &CH341::DoEraseFlash, "Erasing Chip... OK"},
                         {"update", &CH341::DoUpdateFlash, "Writing to Chip... OK"},
                         {"region write", &CH341::DoWriteFlash, "Writing to Chip... OK"}};
constexpr quint32 kRangeStart = 0x3001;
constexpr quint32 kRangeLength = 0xFFE;

// A block device at path (major 240, reserved for local use: no driver opens it), where this
// user may make one; else one of the system's disks that this user cannot write to; else none.
QString UnwritableBlockDevice(const QString &path)
{
    if (::mknod(QFile::encodeName(path).constData(), S_IFBLK | 0600, makedev(240, 0)) == 0)
        return path;
    for (const QFileInfo &node : QDir(QStringLiteral("/dev")).entryInfoList(QDir::System)) {
        struct stat info = {};
        const QByteArray name = QFile::encodeName(node.filePath());
        if (::stat(name.constData(), &info) == 0 && S_ISBLK(info.st_mode) &&
            ::access(name.constData(), W_OK) != 0)
            return node.filePath();
    }
    return QString();
}

int FirstRed(const JobRecorder &recorder)
{
    const auto red = [](const LogRecord &record) { return record.colour == kRed; };
    const auto found = std::find_if(recorder.logs.begin(), recorder.logs.end(), red);
    return found == recorder.logs.end() ? -1 : int(found - recorder.logs.begin());
}

// Rows tried, rows that kept every promise and rows the system could not stage.
struct Tally
{
    int tried = 0, survived = 0, skipped = 0;
};

// Who runs the row: the test's user, "nobody" (so permissions bite root too), or a 64 KiB tmpfs.
enum class Privilege { None, Unprivileged, TinyDisk };

// WrapsToMatch: one byte over, and that byte equals the chip's first byte.
enum class BadInput {
    Missing,
    Folder,
    Unreadable,
    Empty,
    OneByteOver,
    OneByteOverWrapsToMatch,
    ExactSize,
    DumpOntoFolder,
    DumpInMissingFolder,
    DumpInReadOnlyFolder,
    DumpOnFullDisk,
    BackupInReadOnlyFolder,
    DumpOntoBlockDevice
};

enum class ChipFault {
    None,
    WriteProtected,
    BusyErase,
    BusyProgram,
    StaleIn,
    UnerasableByte, // at the row's address, whose byte reads 0x00 before the job
    RefusedProgram, // the page at the row's address
    NoisyMiso,      // one bit in eight read wrong
    ShiftingClip    // the third 9Fh read answers EF 40 15: A, A, B
};
using TransferFault = emu::EmulatedLink::TransferFault;
// A failed transfer is no reason to unplug: after one, the operator just starts the next job,
// once whatever the chip was doing is surely over.
constexpr quint64 kOperatorPauseNs = 200ull * 1000 * 1000 * 1000;
} // namespace

Q_DECLARE_METATYPE(Job)
Q_DECLARE_METATYPE(BadInput)
Q_DECLARE_METATYPE(ChipKind)
Q_DECLARE_METATYPE(ChipFault)
Q_DECLARE_METATYPE(TransferFault)

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void transferFaults_data();
    void transferFaults();
    void chipFaults_data();
    void chipFaults();
    void badFiles_data();
    void badFiles();
    void badLog_data();
    void badLog();
    void windowSurvivesUnplugOnWorkerThread();

private:
    bool RunsHere(Privilege privilege);
    // The W25Q80DV of every row, or for an EEPROM row that part, with random contents.
    void InstallChip(const QString &eeprom = QString());
    // What reached the part: SPI windows, and the instructions of a 93xx.
    quint64 Traffic();
    QString PrepareJobFile(Job job, const QByteArray &chip);
    // The job's file, and its backups kept in m_backups.
    void PrepareWorker(CH341 &worker, Job job, const QByteArray &chip);
    // The update's backups, files only; the folder stays.
    QFileInfoList Backups() const;
    void RemoveBackups();
    QString SuccessLine(Job job) const;
    void RunJob(CH341 &worker, const JobRecorder &recorder, Job job);
    void ExpectVerdict(const JobRecorder &recorder, Job job, const QStringList &tail);
    void ExpectNextJobWorks(TransferFault fault = TransferFault::Unplug);

    QTemporaryDir m_dir;
    EmulatorHarness m_emulator;
    QString m_dumpPath;
    QString m_imagePath;
    QTemporaryDir m_backups;
    QMap<QString, Tally> m_tallies; // by figure name
    // A read opens its dump's folder: never the developer's file manager.
    QList<QUrl> m_opened;
    UrlCatcher m_urlCatcher{&m_opened};
    QString m_rowFigure;
    bool m_rowCompleted = false;
    QString m_eepromPart; // empty: the flash chip
};

void TestFaults::initTestCase()
{
    // The worker's developer trace would drown the output.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(m_dir.isValid());
    m_dumpPath = m_dir.filePath(QStringLiteral("dump.bin"));
    m_imagePath = m_dir.filePath(QStringLiteral("image.bin"));
}

void TestFaults::InstallChip(const QString &eeprom)
{
    m_eepromPart = eeprom;
    if (eeprom == kMicrowirePart) {
        m_emulator.install(*emu::findChipModel("93C46-x16"));
        m_emulator.setMemory(RandomBytes(int(m_emulator.memory().size()), 1));
    } else if (eeprom == kI2cEepromPart) {
        m_emulator.install(*emu::findChipModel(eeprom.toStdString()));
        m_emulator.setMemory(RandomBytes(int(m_emulator.memory().size()), 1));
    } else if (!eeprom.isEmpty()) {
        m_emulator.install(*emu::findSpiEepromModel(eeprom.toStdString()));
        m_emulator.setMemory(RandomBytes(int(m_emulator.memory().size()), 1));
    } else {
        m_emulator.install(ChipKind::W25Q80DV);
        m_emulator.setMemory(RandomBytes(kChipSize, 1));
    }
}

quint64 TestFaults::Traffic()
{
    const emu::MicrowireEeprom *wire = m_emulator.link().microwireEeprom();
    return quint64(m_emulator.frames().size()) + (wire ? wire->instructions() : 0);
}

void TestFaults::init()
{
    InstallChip();
    RemoveBackups();
    m_rowCompleted = false;
    const QByteArray function = QTest::currentTestFunction();
    m_rowFigure = function == "chipFaults"       ? "chip_faults"
                  : function.startsWith("bad")   ? "bad_inputs"
                  : function == "transferFaults" ? "transfer"
                                                 : QString();
}

void TestFaults::cleanup()
{
    if (m_rowFigure.isEmpty())
        return;
    Tally &tally = m_tallies[m_rowFigure];
    ++tally.tried;
    if (!QTest::currentTestFailed())
        ++(m_rowCompleted ? tally.survived : tally.skipped);
}

// Appends "<figure> <survived> <tried> <skipped> <bridge>" lines to $VARNOCK_FIGURES_FILE for CI.
void TestFaults::cleanupTestCase()
{
    QFile file(qEnvironmentVariable("VARNOCK_FIGURES_FILE"));
    // A run that selects single rows (the helpers' children) files nothing.
    const bool filing = !file.fileName().isEmpty() && QCoreApplication::arguments().size() == 1;
    if (filing && !file.open(QIODevice::WriteOnly | QIODevice::Append))
        qWarning("cannot append figures to %s", qPrintable(file.fileName()));
    QTextStream figures(&file);
    for (const char *figure : {"unplug", "transient", "chip_faults", "bad_inputs"}) {
        const Tally tally = m_tallies.value(figure);
        qInfo("survived: %s %d/%d (%d skipped)", figure, tally.survived, tally.tried,
              tally.skipped);
        if (file.isOpen())
            figures << figure << ' ' << tally.survived << ' ' << tally.tried << ' '
                    << tally.skipped << (EmulatorHarness::onCh347() ? " ch347" : " ch341a")
                    << '\n';
    }
}

QString TestFaults::PrepareJobFile(Job job, const QByteArray &chip)
{
    if (job == Job::Read)
        WriteFile(m_dumpPath, kEarlierDump);
    // The update changes three pages of an EEPROM.
    if (!m_eepromPart.isEmpty() && (job == Job::Write || job == Job::Verify || job == Job::Update))
        WriteFile(m_imagePath,
                  job == Job::Write
                      ? RandomBytes(m_eepromPart == kMicrowirePart ? kMicrowireImageSize
                                                                   : kEepromImageSize,
                                    2)
                  : job == Job::Verify ? chip.left(kEepromImageSize)
                                       : QByteArray(chip).replace(0x310, 70, RandomBytes(70, 2)));
    // The update changes one sector of the chip.
    else if (job == Job::Write || job == Job::Verify || job == Job::Update)
        WriteFile(m_imagePath, job == Job::Write ? RandomBytes(kImageSize, 2)
                               : job == Job::Verify
                                   ? chip.left(kImageSize)
                                   : QByteArray(chip).replace(0x3000, 4096, RandomBytes(4096, 2)));
    if (job == Job::RegionWrite)
        WriteFile(m_imagePath, RandomBytes(int(kRangeLength), 3));
    return job == Job::Read                          ? m_dumpPath
           : job == Job::Erase || job == Job::ReadId ? QString()
                                                     : m_imagePath;
}

void TestFaults::PrepareWorker(CH341 &worker, Job job, const QByteArray &chip)
{
    worker.FileName = PrepareJobFile(job, chip);
    worker.BackupFolder = m_backups.path();
    if (job == Job::RegionWrite) {
        worker.Regions.source = RegionSelection::Source::Range;
        worker.Regions.offset = kRangeStart;
        worker.Regions.length = kRangeLength;
    }
    worker.PartName = m_eepromPart;
}

QFileInfoList TestFaults::Backups() const
{
    return m_backups.isValid() ? QDir(m_backups.path()).entryInfoList(QDir::Files | QDir::Hidden)
                               : QFileInfoList();
}

void TestFaults::RemoveBackups()
{
    for (const QFileInfo &backup : Backups())
        QFile::remove(backup.filePath());
}

QString TestFaults::SuccessLine(Job job) const
{
    return job == Job::Read ? QDir::toNativeSeparators(m_dumpPath) : kJobs[int(job)].success;
}

// Whatever happens, a job ends with one JobDone and nothing after it.
void TestFaults::RunJob(CH341 &worker, const JobRecorder &recorder, Job job)
{
    (worker.*kJobs[int(job)].run)();
    QCOMPARE(recorder.jobDoneCount, 1);
    QCOMPARE(recorder.events.last(), QStringLiteral("done"));
    QVERIFY(!recorder.emittedAfterJobDone);
}

// A good run (no tail) ends on the job's own last line with nothing in red; a failed one ends
// on the tail in red, claims no success from its first red record on and shows no data.
void TestFaults::ExpectVerdict(const JobRecorder &recorder, Job job, const QStringList &tail)
{
    const QStringList lines = recorder.lines();
    if (tail.isEmpty()) {
        QCOMPARE(recorder.verdictLines().last(), SuccessLine(job));
        QCOMPARE(FirstRed(recorder), -1);
        QCOMPARE(recorder.outcome, CH341::JobOutcome::Succeeded);
        return;
    }
    // Joined, so that a failure shows both; a tail line ending in "*" stands for its start.
    QStringList expected = tail;
    for (int i = 0; i < tail.size(); ++i) {
        const QString shown = lines.value(lines.size() - tail.size() + i);
        if (tail.at(i).endsWith('*') && shown.startsWith(tail.at(i).chopped(1)))
            expected[i] = shown;
    }
    QCOMPARE(lines.mid(lines.size() - tail.size()).join('\n'), expected.join('\n'));
    QCOMPARE(recorder.logs.last().colour, kRed);
    QCOMPARE(recorder.logs.last().weight, 1);
    for (const LogRecord &record : recorder.logs.mid(FirstRed(recorder)))
        QVERIFY2(!kSuccessClaims.contains(record.message), qPrintable(record.message));
    QVERIFY(!recorder.events.contains(QStringLiteral("hex")));
    QCOMPARE(recorder.outcome, CH341::JobOutcome::Failed);
}

// Plugged in again (or left alone), the programmer serves the next job.
void TestFaults::ExpectNextJobWorks(TransferFault fault)
{
    if (fault == TransferFault::Unplug)
        m_emulator.link().replug();
    else
        m_emulator.link().clock().advanceNs(kOperatorPauseNs);
    // An EEPROM has no identifier: it is read.
    const Job next = m_eepromPart.isEmpty() ? Job::ReadId : Job::Read;
    CH341 worker(false);
    PrepareWorker(worker, next, m_emulator.memory());
    JobRecorder recorder(&worker);
    RunJob(worker, recorder, next);
    ExpectVerdict(recorder, next, {});
    QVERIFY(m_emulator.isReleased() && !m_emulator.isOpen());
}

void TestFaults::transferFaults_data()
{
    QTest::addColumn<Job>("job");
    QTest::addColumn<TransferFault>("fault");
    QTest::addColumn<quint64>("failAfter");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<QString>("eeprom"); // the EEPROM part; empty: the flash chip
    const QList<QPair<TransferFault, const char *>> faults = {
        {TransferFault::Unplug, "unplugged"},
        {TransferFault::OutTimeout, "queued commands never sent"},
        {TransferFault::InTimeout, "answers time out"},
        {TransferFault::ShortIn, "short answer"},
        {TransferFault::Stall, "endpoint stalls"}};
    QList<QPair<Job, QString>> jobs;
    for (Job job : kAllJobs + QList<Job>{Job::RegionWrite})
        jobs << qMakePair(job, QString());
    for (Job job : {Job::Read, Job::Write, Job::Verify, Job::Erase, Job::Update})
        jobs << qMakePair(job, kEepromPart);
    // The CH347 reaches no 93xx: its refusal sends nothing a fault could strike.
    if (!EmulatorHarness::onCh347())
        jobs << qMakePair(Job::Write, kMicrowirePart);
    jobs << qMakePair(Job::Write, kI2cEepromPart);
    for (const auto &[job, eeprom] : jobs) {
        // A clean run maps the job: how many transfers it takes, and how many
        // had passed when each log record (a phase) and status text came.
        InstallChip(eeprom);
        const QByteArray chip = m_emulator.memory();
        m_emulator.link().resetCounters();
        CH341 worker(false);
        PrepareWorker(worker, job, chip);
        std::set<quint64> points = {0, 1, 2};
        QMap<quint64, QString> phaseAt;
        connect(&worker, &CH341::UpdateLogWindow_Text, this, [&](QString message) {
            points.insert(m_emulator.transfers());
            // Row names stay the same from run to run: no path, no checksum, no backup's name.
            static const QRegularExpression checksum("^(CRC-32: | SHA-256: |[0-9a-f]{8,64})$");
            if (!checksum.match(message).hasMatch() && !message.startsWith(m_backups.path()))
                phaseAt.insert(m_emulator.transfers(),
                               message.trimmed().replace(m_dir.path(), "<dir>"));
        });
        quint64 lastStatusAt = 0;
        connect(&worker, &CH341::Set_Label_Status_TEXT, this, [&] {
            if (lastStatusAt == 0)
                points.insert(m_emulator.transfers());
            lastStatusAt = m_emulator.transfers();
        });
        (worker.*kJobs[int(job)].run)();
        RemoveBackups();
        const quint64 total = m_emulator.transfers();
        if (lastStatusAt > 0)
            points.insert(lastStatusAt);
        for (int i = 1; i < 10; ++i)
            points.insert(total * quint64(i) / 10);
        points.insert(total - 1);
        // A fault after the last transfer is no fault.
        for (auto k = points.begin(); k != points.end() && *k < total; ++k) {
            auto phase = phaseAt.upperBound(*k);
            const QString after = phase == phaseAt.begin() ? "start" : std::prev(phase).value();
            for (const auto &[fault, name] : faults)
                QTest::addRow("%s%s, %s after transfer %llu of %llu (%s)",
                              qPrintable(eeprom.isEmpty() ? eeprom : eeprom + ' '),
                              kJobs[int(job)].name, name, *k, total, qPrintable(after))
                    << job << fault << *k << total << eeprom;
        }
    }
}

// The fault may strike anywhere: from then on the chip gets nothing (no window opens, no byte
// changes), nobody is asked to clear a protection, and the job says so in red.
void TestFaults::transferFaults()
{
    QFETCH(Job, job);
    QFETCH(TransferFault, fault);
    QFETCH(quint64, failAfter);
    QFETCH(quint64, total);
    QFETCH(QString, eeprom);
    m_rowFigure = fault == TransferFault::Unplug ? "unplug" : "transient";
    InstallChip(eeprom);
    const QByteArray chip = m_emulator.memory();
    CH341 worker(false);
    PrepareWorker(worker, job, chip);
    const QByteArray jobFile = ReadFile(worker.FileName);
    JobRecorder recorder(&worker);
    int questions = 0;
    connect(&worker, &CH341::ClearProtection_Question, this, [&] {
        ++questions;
        worker.AnswerClearProtection(true);
    });
    QByteArray chipAtFault;
    int windowsAtFault = -1;
    // A 24xx part: where its address pointer stood and how many write cycles it had run.
    const emu::I2cEeprom *i2c = m_emulator.link().i2cEeprom();
    QPair<uint32_t, size_t> i2cAtFault;
    m_emulator.link().setFaultObserver([&] {
        chipAtFault = m_emulator.memory();
        windowsAtFault = int(Traffic());
        if (i2c)
            i2cAtFault = {i2c->addressPointer(), i2c->writeCycles().size()};
    });
    m_emulator.link().failTransferAfter(failAfter, fault);
    RunJob(worker, recorder, job);
    m_emulator.link().setFaultObserver(nullptr);
    QVERIFY(windowsAtFault >= 0);
    QCOMPARE(questions, 0);
    QCOMPARE(int(Traffic()), windowsAtFault);
    QVERIFY(m_emulator.memory() == chipAtFault);
    if (i2c)
        QCOMPARE(qMakePair(i2c->addressPointer(), i2c->writeCycles().size()), i2cAtFault);

    if (!worker.TransferFailed) {
        // Only the release at the very end was lost: the work was done and its report is true.
        QCOMPARE(failAfter, total - 1);
        ExpectVerdict(recorder, job, {});
        ExpectNextJobWorks(fault);
        m_rowCompleted = true;
        return;
    }
    const int firstRed = FirstRed(recorder);
    QVERIFY2(firstRed >= 0, "the fault was never reported");
    QCOMPARE(recorder.outcome, CH341::JobOutcome::Failed);
    const LogRecord report = recorder.logs.at(firstRed);
    QCOMPARE(report.message, kTransferFailed);
    QCOMPARE(report.weight, 1);
    QVERIFY(report.newLine);
    // After the fault only the initialisation verdict may follow, in red: no success claim.
    const QList<LogRecord> after = recorder.logs.mid(firstRed + 1);
    QVERIFY(after.isEmpty() || (after.size() == 1 && after.first().message == kInitFailed &&
                                after.first().colour == kRed));
    QVERIFY(!recorder.events.contains(QStringLiteral("hex")));
    QVERIFY(!recorder.events.contains(QStringLiteral("model")));

    // The earlier dump and the image stay as they were, with no temporary file beside them.
    QCOMPARE(ReadFile(worker.FileName), jobFile);
    QStringList files = QDir(m_dir.path()).entryList(QDir::Files);
    files.removeAll(QStringLiteral("dump.bin"));
    files.removeAll(QStringLiteral("image.bin"));
    QCOMPARE(files, QStringList());
    // The update's backup is whole or was never made, and nothing else is beside it.
    const QFileInfoList backups = Backups();
    QVERIFY(backups.size() <= 1);
    QVERIFY(backups.isEmpty() || ReadFile(backups.first().filePath()) == chip);
    if (job != Job::Write && job != Job::Erase && job != Job::Update && job != Job::RegionWrite)
        QCOMPARE(m_emulator.memory(), chip);
    // A region write touches nothing outside the sector the range lies in.
    if (job == Job::RegionWrite)
        QVERIFY(m_emulator.memory().left(0x3000) == chip.left(0x3000) &&
                m_emulator.memory().mid(0x4000) == chip.mid(0x4000));
    ExpectNextJobWorks(fault);
    m_rowCompleted = true;
}

void TestFaults::chipFaults_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<ChipFault>("fault");
    QTest::addColumn<Job>("job");
    QTest::addColumn<QStringList>("tail"); // last log lines; empty: the job succeeds
    QTest::addColumn<int>("address");      // of an unerasable byte or a refused program

    const QStringList notFound = {
        QStringLiteral("No Chip Found in our Database based on this Flash IDs"), kInitFailed};
    const ChipKind good = ChipKind::W25Q80DV;
    QTest::newRow("read, no chip (all 0xFF)")
        << ChipKind::NoChip << ChipFault::None << Job::Read << notFound << 0;
    QTest::newRow("read, unknown chip")
        << ChipKind::Unknown << ChipFault::None << Job::Read << notFound << 0;
    QTest::newRow("verify, 45-series chip")
        << ChipKind::AT45DB161D << ChipFault::None << Job::Verify
        << QStringList{QStringLiteral("Chip(s) Found based on JDEC ID: 0x1F2600"),
                       QStringLiteral(
                           "Vendor: ATMEL Part no: AT45DB161D Capacity (Byte): 2162688"),
                       QStringLiteral("This Software Only Support 25 Series SPI Flash your chip "
                                      "Series is : 45"),
                       kInitFailed}
        << 0;
    const QStringList protectedChip = {
        QStringLiteral("Chip is Write Protected! Status Register: 0x1C 0x00")};
    QTest::newRow("erase, write-protected chip")
        << good << ChipFault::WriteProtected << Job::Erase << protectedChip << 0;
    QTest::newRow("write, write-protected chip")
        << good << ChipFault::WriteProtected << Job::Write << protectedChip << 0;
    for (Job job : kAllJobs) {
        QTest::addRow("%s, stale bytes in the IN endpoint", kJobs[int(job)].name)
            << good << ChipFault::StaleIn << job << QStringList() << 0;
    }
    const QStringList erasing = {QStringLiteral("Erasing Chip... ") + kTimedOut};
    QTest::newRow("erase, stuck busy during chip erase")
        << good << ChipFault::BusyErase << Job::Erase << erasing << 0;
    QTest::newRow("write, stuck busy during chip erase")
        << good << ChipFault::BusyErase << Job::Write << erasing << 0;
    QTest::newRow("write, stuck busy during programming")
        << good << ChipFault::BusyProgram << Job::Write
        << QStringList{QStringLiteral("Writing to Chip... ") + kTimedOut} << 0;
    // Only a read-back of the whole chip, or of the whole image, sees these. Address 0 is the
    // first the check reports; a 4 KiB chunk's last byte, the last it compares.
    const auto notBlank = [](const char *address) {
        return QStringList{QStringLiteral("Erasing Chip... Erase Failed: Chip Not Blank at 0x") +
                           address};
    };
    QTest::newRow("erase, a byte in the middle of an 8 MiB chip stays")
        << ChipKind::W25Q64FV << ChipFault::UnerasableByte << Job::Erase << notBlank("400000")
        << 0x400000;
    QTest::newRow("erase, the byte at address 0 stays")
        << good << ChipFault::UnerasableByte << Job::Erase << notBlank("000000") << 0;
    QTest::newRow("write, the byte at address 0 stays")
        << good << ChipFault::UnerasableByte << Job::Write << notBlank("000000") << 0;
    QTest::newRow("erase, the last byte of a 4 KiB chunk stays")
        << good << ChipFault::UnerasableByte << Job::Erase << notBlank("07FFFF") << 0x7FFFF;
    const QByteArray image = RandomBytes(kImageSize, 2);
    const auto hex = [](int value, int digits) {
        return QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
    };
    const auto verifyFailed = [&](int address, char chipByte) {
        return QStringList{
            QStringLiteral("Writing to Chip... Verify Failed at 0x%1: Chip 0x%2, File 0x%3")
                .arg(hex(address, 6), hex(uchar(chipByte), 2), hex(uchar(image.at(address)), 2))};
    };
    QTest::newRow("write, a byte the erase leaves inside the image")
        << good << ChipFault::UnerasableByte << Job::Write << verifyFailed(0x2345, 0) << 0x2345;
    QTest::newRow("write, a byte the erase leaves at a 4 KiB chunk's end")
        << good << ChipFault::UnerasableByte << Job::Write << verifyFailed(0x2FFF, 0) << 0x2FFF;
    const int refused = 0x3100;
    int firstProgrammed = refused;
    while (image.at(firstProgrammed) == char(0xFF))
        ++firstProgrammed;
    // The identifier read three times disagrees: nothing is sent that could change the chip.
    for (Job job : {Job::Write, Job::Update})
        QTest::addRow("%s, noisy MISO", kJobs[int(job)].name)
            << good << ChipFault::NoisyMiso << job
            << QStringList{"Unstable Connection: the Chip's JEDEC ID Read 0x*", kInitFailed} << 0;
    // Two answers of three agreeing are no steady connection.
    for (Job job : {Job::ReadId, Job::Update})
        QTest::addRow("%s, a clip that shifts: the third 9Fh answer differs", kJobs[int(job)].name)
            << good << ChipFault::ShiftingClip << job
            << QStringList{"Unstable Connection: the Chip's JEDEC ID Read 0xEF4014, 0xEF4014, "
                           "0xEF4015. Check the Clip's Seating, the Length of the Wires and the "
                           "Power.",
                           kInitFailed}
            << 0;
    QTest::newRow("write, a page the chip refuses")
        << good << ChipFault::RefusedProgram << Job::Write
        << verifyFailed(firstProgrammed, char(0xFF)) << refused;
}

void TestFaults::chipFaults()
{
    QFETCH(ChipKind, kind);
    QFETCH(ChipFault, fault);
    QFETCH(Job, job);
    QFETCH(QStringList, tail);
    QFETCH(int, address);
    const bool refused = (kind != ChipKind::W25Q80DV && kind != ChipKind::W25Q64FV) ||
                         fault == ChipFault::NoisyMiso || fault == ChipFault::ShiftingClip;
    if (kind != ChipKind::W25Q80DV)
        m_emulator.install(kind);
    const QByteArray chip = m_emulator.memory();
    CH341 worker(false);
    PrepareWorker(worker, job, chip);
    const QByteArray jobFile = ReadFile(worker.FileName);
    JobRecorder recorder(&worker);
    if (fault == ChipFault::NoisyMiso)
        m_emulator.chip().setNoisyMiso(8);
    if (fault == ChipFault::ShiftingClip)
        m_emulator.chip().answerJedecIdAfterReads(2, {0xEF, 0x40, 0x15});
    if (fault == ChipFault::WriteProtected)
        m_emulator.setBlockProtect(7);
    if (fault == ChipFault::StaleIn)
        m_emulator.link().setStaleIn({0xA5, 0x5A, 0x00, 0xFF});
    if (fault == ChipFault::UnerasableByte) {
        m_emulator.chip().memory()[uint32_t(address)] = 0x00;
        m_emulator.chip().addUnerasableByte(uint32_t(address));
    }
    if (fault == ChipFault::RefusedProgram)
        m_emulator.chip().addRefusedProgram(uint32_t(address));
    if (fault == ChipFault::BusyErase || fault == ChipFault::BusyProgram) {
        // The chip hangs once the step is under way.
        const QString step = fault == ChipFault::BusyErase ? QStringLiteral("Erasing Chip... ")
                                                           : QStringLiteral("Writing to Chip... ");
        connect(&worker, &CH341::UpdateLogWindow_Text, this, [this, step](QString message) {
            if (message == step)
                m_emulator.chip().setStuckBusy(true);
        });
        // Only the hanging step's wait is cut short: the chip erase before a hanging page
        // takes thousands of polls (a CH347 polls every microframe), at any host's speed.
        if (fault == ChipFault::BusyErase)
            worker.ChipEraseTimeoutMs = 50;
        else
            worker.PageProgramTimeoutMs = 20;
    }
    RunJob(worker, recorder, job);

    ExpectVerdict(recorder, job, tail);
    // A chip that hangs or fails mid-erase or mid-write may be left partly changed; no other.
    const QList<ChipFault> changing = {ChipFault::BusyErase, ChipFault::BusyProgram,
                                       ChipFault::UnerasableByte, ChipFault::RefusedProgram};
    if (tail.isEmpty() && (job == Job::Write || job == Job::Update))
        QCOMPARE(m_emulator.memory().left(jobFile.size()), jobFile);
    else if (tail.isEmpty() && job == Job::Erase)
        QCOMPARE(m_emulator.memory(), QByteArray(kChipSize, char(0xFF)));
    else if (!changing.contains(fault))
        QCOMPARE(m_emulator.memory(), chip);
    // Nor may a chip that hung mid-erase be programmed.
    for (const QByteArray &frame : m_emulator.frames())
        QVERIFY(fault != ChipFault::BusyErase || frame.at(0) != char(0x02));
    if (job == Job::Read)
        QCOMPARE(ReadFile(m_dumpPath), tail.isEmpty() ? chip : kEarlierDump);
    else
        QCOMPARE(ReadFile(worker.FileName), jobFile);
    // Unless refused at identification, every pin is an input again.
    QVERIFY((refused || m_emulator.isReleased()) && !m_emulator.isOpen());
    m_rowCompleted = true;
}

// False when the row ran in a child process that the helper script set up (as
// an unprivileged user, or in a private mount namespace) and its verdict is in.
bool TestFaults::RunsHere(Privilege privilege)
{
    if (privilege == Privilege::None || (privilege == Privilege::Unprivileged && geteuid() != 0) ||
        (privilege == Privilege::TinyDisk && !qEnvironmentVariableIsEmpty("VARNOCK_TINY_DISK")))
        return true;
    const QString script = privilege == Privilege::Unprivileged
                               ? QStringLiteral(VARNOCK_FAULT_HELPERS "/run-unprivileged.sh")
                               : QStringLiteral(VARNOCK_FAULT_HELPERS "/run-on-tiny-disk.sh");
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("VARNOCK_FIGURES_FILE"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QString function = QString::fromLatin1(QTest::currentTestFunction());
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    child.start(QStringLiteral("/bin/sh"),
                {script, QCoreApplication::applicationFilePath(),
                 tag.isEmpty() ? function : function + QLatin1Char(':') + tag});
    if (!child.waitForFinished(10 * 60 * 1000)) {
        child.kill();
        child.waitForFinished();
    }
    const QString output = QString::fromLocal8Bit(child.readAll());
    const bool exited = child.exitStatus() == QProcess::NormalExit;
    if (exited && child.exitCode() == kHelperSkip) {
        qInfo("%s", qPrintable(output.trimmed()));
        QTest::qSkip("the helper could not stage this case here (see its message above)", __FILE__,
                     __LINE__);
        return false;
    }
    const QString pass = QStringLiteral("PASS   : TestFaults::%1(%2)").arg(function, tag);
    if (!exited || child.exitCode() != 0 || !output.contains(pass)) {
        qWarning("%s", qPrintable(output));
        QTest::qFail("the row failed in the helper's child process (its output is above)",
                     __FILE__, __LINE__);
        return false;
    }
    m_rowCompleted = true;
    return false;
}

void TestFaults::badFiles_data()
{
    QTest::addColumn<Job>("job");
    QTest::addColumn<BadInput>("input");
    QTest::addColumn<QString>("lastLine"); // empty: the job's own good ending
    // The update refuses an empty file before it reads or saves anything.
    QTest::newRow("update, empty file")
        << Job::Update << BadInput::Empty
        << QStringLiteral("The File is Empty: Nothing Was Written.\nNo Bytes Read from %1");
    for (Job job : {Job::Write, Job::Verify}) {
        const char *name = kJobs[int(job)].name;
        QTest::addRow("%s, missing file", name)
            << job << BadInput::Missing << kImageRefused + "No such file or directory";
        QTest::addRow("%s, a folder instead of a file", name)
            << job << BadInput::Folder << kImageRefused + "file to open is a directory";
        QTest::addRow("%s, no read permission", name)
            << job << BadInput::Unreadable << kImageRefused + "Permission denied";
        // Writing nothing would only erase the chip: almost always a mistake.
        QTest::addRow("%s, empty file", name)
            << job << BadInput::Empty
            << (job == Job::Write ? QStringLiteral("The File is Empty: Nothing Was Written.\n"
                                                   "No Bytes Read from %1")
                                  : QString());
        QTest::addRow("%s, one byte over the chip size", name)
            << job << BadInput::OneByteOver << kTooLarge;
        QTest::addRow("%s, exactly the chip size", name)
            << job << BadInput::ExactSize << QString();
    }
    // Reads past the end wrap to address 0 on a real chip too, so a file one
    // byte longer than the chip could compare equal.
    QTest::newRow("verify, one byte over that wraps to a match")
        << Job::Verify << BadInput::OneByteOverWrapsToMatch << kTooLarge;
    QTest::newRow("read, dump target is a folder")
        << Job::Read << BadInput::DumpOntoFolder
        << kDumpRefused + "Filename refers to a directory";
    QTest::newRow("read, dump target in a missing folder")
        << Job::Read << BadInput::DumpInMissingFolder
        << kDumpRefused + "No such file or directory";
    QTest::newRow("read, dump target in a folder without write permission")
        << Job::Read << BadInput::DumpInReadOnlyFolder << kDumpRefused + "Permission denied";
    QTest::newRow("update, backup folder without write permission")
        << Job::Update << BadInput::BackupInReadOnlyFolder
        << QStringLiteral("Failed to Save the Backup: Nothing Was Erased.\nCannot Save the Backup "
                          "in %2: Permission denied");
    // Never written to, whoever runs the test: a node of no driver (made where the test may),
    // or a disk of the system's that this user cannot open for writing.
    QTest::newRow("read, dump target is a block device")
        << Job::Read << BadInput::DumpOntoBlockDevice
        << kDumpRefused + "Not a regular file, a FIFO or a character device";
    QTest::newRow("read, dump target on a full disk")
        << Job::Read << BadInput::DumpOnFullDisk
        << QStringLiteral("Failed to Save Binary File.\nCannot Write Dump File %1: No space left "
                          "on device");
}

void TestFaults::badFiles()
{
    QFETCH(Job, job);
    QFETCH(BadInput, input);
    QFETCH(QString, lastLine);
    const bool unprivileged = input == BadInput::Unreadable ||
                              input == BadInput::DumpInReadOnlyFolder ||
                              input == BadInput::BackupInReadOnlyFolder;
    if (!RunsHere(unprivileged                        ? Privilege::Unprivileged
                  : input == BadInput::DumpOnFullDisk ? Privilege::TinyDisk
                                                      : Privilege::None))
        return;

    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    QDir folder(input == BadInput::DumpOnFullDisk ? qEnvironmentVariable("VARNOCK_TINY_DISK")
                                                  : scratch.path());
    const QByteArray chip = m_emulator.memory();
    QString path = folder.filePath(input == BadInput::DumpInMissingFolder
                                       ? QStringLiteral("no/such/folder/dump.bin")
                                       : QStringLiteral("input.bin"));
    const QMap<BadInput, QByteArray> contentsOf = {
        {BadInput::Unreadable, chip.left(kImageSize)},
        {BadInput::Empty, QByteArray()},
        {BadInput::OneByteOver, RandomBytes(kChipSize + 1, 3)},
        {BadInput::OneByteOverWrapsToMatch, chip + chip.left(1)},
        {BadInput::ExactSize, job == Job::Write ? RandomBytes(kChipSize, 4) : chip},
        {BadInput::DumpInReadOnlyFolder, kEarlierDump},
        {BadInput::BackupInReadOnlyFolder, RandomBytes(kChipSize, 4)},
        {BadInput::DumpOnFullDisk, kEarlierDump}};
    const QByteArray contents = contentsOf.value(input);
    if (contentsOf.contains(input))
        QVERIFY(WriteFile(path, contents));
    if (input == BadInput::Folder || input == BadInput::DumpOntoFolder)
        QVERIFY(folder.mkdir(QStringLiteral("input.bin")));
    if (input == BadInput::DumpOntoBlockDevice) {
        path = UnwritableBlockDevice(path);
        if (path.isEmpty())
            QSKIP("no block device here that the test may name without writing to it");
    }
    if (input == BadInput::Unreadable)
        QVERIFY(QFile::setPermissions(path, QFile::WriteOwner));
    if (input == BadInput::DumpInReadOnlyFolder || input == BadInput::BackupInReadOnlyFolder)
        QVERIFY(QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::ExeOwner));
    const QStringList filesBefore = folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    CH341 worker(false);
    worker.FileName = path;
    worker.BackupFolder = folder.path();
    JobRecorder recorder(&worker);
    RunJob(worker, recorder, job);

    const bool failure = !lastLine.isEmpty();
    const QString nativePath = QDir::toNativeSeparators(path);
    ExpectVerdict(recorder, job,
                  failure ? QString(lastLine)
                                .replace(QLatin1String("%1"), nativePath)
                                .replace(QLatin1String("%2"),
                                         QDir::toNativeSeparators(folder.absolutePath()))
                                .split('\n')
                          : QStringList());
    // Nothing is lost: the chip (a good write leaves the image, then erased bytes), the
    // chosen file and its folder.
    const bool written = job == Job::Write && !failure;
    QCOMPARE(m_emulator.memory(), written ? contents.leftJustified(kChipSize, '\xFF') : chip);
    const auto all = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    if (unprivileged)
        QVERIFY(QFile::setPermissions(input == BadInput::Unreadable ? path : folder.path(), all));
    QCOMPARE(folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), filesBefore);
    if (QFileInfo(path).isFile())
        QCOMPARE(ReadFile(path), contents);
    if (input == BadInput::Folder || input == BadInput::DumpOntoFolder)
        QVERIFY(QFileInfo(path).isDir());
    if (input == BadInput::DumpOntoBlockDevice)
        QVERIFY(!QFileInfo(path).isFile() && QFileInfo(path).exists());
    QVERIFY(m_emulator.isReleased() && !m_emulator.isOpen());
    m_rowCompleted = true;
}

// The operator's working directory is read-only: the log goes beside the program instead.
void TestFaults::badLog_data()
{
    QTest::addColumn<bool>("workingDirectoryWritable");
    QTest::newRow("working directory not writable") << false;
    QTest::newRow("log file made read-only between two records") << true;
}

void TestFaults::badLog()
{
    QFETCH(bool, workingDirectoryWritable);
    if (!RunsHere(Privilege::Unprivileged))
        return;
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QString workingDirectory = scratch.filePath(QStringLiteral("work"));
    const QString executableDirectory = scratch.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(workingDirectory) && QDir().mkpath(executableDirectory));
    if (!workingDirectoryWritable)
        QVERIFY(QFile::setPermissions(workingDirectory, QFile::ReadOwner | QFile::ExeOwner));

    const QDateTime now(QDate(2026, 12, 5), QTime(20, 54, 14));
    const QString path = LogFile::chooseLogFilePath(now, workingDirectory, executableDirectory,
                                                    QLocale(QLocale::English));
    QCOMPARE(path, workingDirectoryWritable
                       ? workingDirectory + "/LOG/JobLog/2026_December_05/Log.txt"
                       : executableDirectory + "/Log.txt");
    QTextEdit view;
    LogWindow log(&view, path, false, false, false);
    const QString shown =
        "Connecting to Programmer... OK\n" + kTransferFailed + "\nOperation Completed.\n";
    for (const QString &line : shown.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        // In the log folder the file turns read-only for the red record alone.
        const bool red = line == kTransferFailed;
        if (red && workingDirectoryWritable)
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
        log.AppendRecord(line, QColor(red ? "red" : "black"), 1, false, false, true);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    }
    // The operator sees every record; the file has every line it could take.
    QCOMPARE(view.toPlainText(), shown);
    QCOMPARE(ReadFile(path),
             (workingDirectoryWritable ? QString(shown).remove(kTransferFailed + QLatin1Char('\n'))
                                       : shown)
                 .toLocal8Bit());
    if (!workingDirectoryWritable)
        QVERIFY(
            QDir(workingDirectory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    QFile::setPermissions(workingDirectory,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_rowCompleted = true;
}

void TestFaults::windowSurvivesUnplugOnWorkerThread()
{
    // How long an erase takes, counted in transfers, to unplug in its middle.
    m_emulator.link().resetCounters();
    CH341(false).DoEraseFlash();
    const quint64 total = m_emulator.transfers();
    m_emulator.install(ChipKind::W25Q80DV);
    m_emulator.link().unplugAfterTransfers(total / 2);

    // The window files its log under the working directory.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    MainWindow window;
    QDir::setCurrent(previous);
    auto *erase = window.findChild<QPushButton *>(QStringLiteral("btnErase"));
    auto *read = window.findChild<QPushButton *>(QStringLiteral("btnRead"));
    auto *log = window.findChild<QTextEdit *>(QStringLiteral("txtLog"));
    QVERIFY(erase && read && log);

    const QString completed = QStringLiteral("Operation Completed. <Performed By version 1.0.2>");
    for (const QString &ending :
         QStringList{"Erasing Chip... " + kTransferFailed, "Erasing Chip... OK"}) {
        const int linesBefore = log->toPlainText().split(QLatin1Char('\n')).size() - 1;
        erase->click();
        QVERIFY(window.IsJobRunning() || !erase->isEnabled());
        QVERIFY(!read->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(erase->isEnabled() && !window.IsJobRunning(), 5 * 60 * 1000);
        QVERIFY(read->isEnabled());
        const QStringList lines = log->toPlainText().split(QLatin1Char('\n')).mid(linesBefore);
        QCOMPARE(lines.count(completed), 1);
        const int done = lines.indexOf(completed);
        QVERIFY(done >= 1);
        QCOMPARE(lines.at(done - 1), ending);
        QCOMPARE(lines.count(QStringLiteral("Erasing Chip... OK")), ending.endsWith("OK") ? 1 : 0);
        m_emulator.link().replug();
    }
    QCOMPARE(m_emulator.memory(), QByteArray(kChipSize, char(0xFF)));
    QVERIFY(!m_emulator.isOpen());
}

VARNOCK_TEST_MAIN(TestFaults)
#include "tst_faults.moc"
