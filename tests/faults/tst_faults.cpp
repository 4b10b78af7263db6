// Reliability under faults: every job on the emulated programmer, the bridge
// unplugged after each chosen transfer, chips that misbehave, and bad files.
// A job must end with exactly one JobDone, say in red what went wrong, claim
// no success after the fault, and lose nothing the operator had.

#include "emulatorharness.h"
#include "testfiles.h"
#include "faultrun.h"
#include "jobrecorder.h"
#include "log/logfile.h"
#include "log/logwindow.h"
#include "mainwindow.h"
#include "programmer/ch341.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <algorithm>
#include <set>

#include <unistd.h>

namespace {
constexpr int kChipSize = 1024 * 1024; // the W25Q80DV of every row
constexpr int kImageSize = 20000;
const QString kEarlierDump = QStringLiteral("earlier dump");
const QString kRed = QStringLiteral("#ff0000");
const QString kTransferFailed = QStringLiteral("Programmer Transfer Failed!");
const QString kInitFailed = QStringLiteral("Failed to Initialize CH341 Programmer.");
const QString kLoadFailed = QStringLiteral("Failed to Load/Open Binary File.");
const QString kTooLarge = QStringLiteral("insufficient Chip Storage Size! ");
const QString kTimedOut = QStringLiteral("Operation Timed Out: Chip Still Busy!");
const QString kNotFound = QStringLiteral("No Chip Found in our Database based on this Flash IDs");
// Helper scripts exit with this when the system cannot stage the case.
constexpr int kHelperSkip = 77;

// Records that claim success; none may follow a fault.
const QStringList kSuccessClaims = {
    QStringLiteral("OK"), QStringLiteral("Flash Chip Read File Saved in:"),
    QStringLiteral("Match Found!"), QStringLiteral("No Match Found!")};

bool IsRoot()
{
    return geteuid() == 0;
}

enum class Privilege {
    None,         // runs as whoever runs the tests
    Unprivileged, // a permission must bite, so not as root
    TinyDisk,     // a 64 KiB tmpfs in a private mount namespace
};

enum class BadInput {
    Missing,
    Folder,
    Unreadable,
    Empty,
    OneByteOver,
    OneByteOverWrapsToMatch, // the extra byte equals the chip's first byte
    ExactSize,
    DumpOntoFolder,
    DumpInMissingFolder,
    DumpInReadOnlyFolder,
    DumpOnFullDisk,
};

enum class ChipAfter { Unchanged, Erased, Image };

enum class ChipFault {
    NoChip,
    Unknown,
    Series45,
    WriteProtected,
    BusyErase,
    BusyProgram,
    StaleIn
};

// How a job that ends well shows it, as its last log line.
QString SuccessLine(Job job, const QString &dumpPath)
{
    switch (job) {
    case Job::ReadId:
        // The last of the chip list's rows with this identifier.
        return QStringLiteral("Vendor: WINBOND Part no: W25Q80RV Capacity (Byte): 1048576");
    case Job::Read:
        return QDir::toNativeSeparators(dumpPath);
    case Job::Write:
        return QStringLiteral("Writing to Chip... OK");
    case Job::Verify:
        return QStringLiteral("Match Found!");
    case Job::Erase:
        return QStringLiteral("Erasing Chip... OK");
    }
    return QString();
}
} // namespace

Q_DECLARE_METATYPE(Privilege)
Q_DECLARE_METATYPE(BadInput)
Q_DECLARE_METATYPE(ChipAfter)
Q_DECLARE_METATYPE(ChipFault)

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void unplugMatrix_data();
    void unplugMatrix();
    void chipFaults_data();
    void chipFaults();
    void badFiles_data();
    void badFiles();
    void badLog_data();
    void badLog();
    void windowSurvivesUnplugOnWorkerThread();

private:
    enum class Outcome { RunHere, ChildPassed, ChildSkipped, ChildFailed };
    Outcome RunWithPrivilege(Privilege privilege);
    QString PrepareJobFile(Job job, const QByteArray &chip);
    void ExpectCleanEnd(const JobRecorder &recorder);
    void ExpectNextJobWorks();
    void NoteRowCompleted() { m_rowCompleted = true; }

    QTemporaryDir m_dir;
    EmulatorHarness m_emulator;
    QString m_dumpPath;
    QString m_imagePath;
    Tally m_unplug;
    Tally m_chipFaults;
    Tally m_badInputs;
    bool m_rowCompleted = false;
};

void TestFaults::initTestCase()
{
    // The worker's developer trace would drown the test output.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(m_dir.isValid());
    m_dumpPath = m_dir.filePath(QStringLiteral("dump.bin"));
    m_imagePath = m_dir.filePath(QStringLiteral("image.bin"));
}

void TestFaults::init()
{
    m_emulator.install(ChipKind::W25Q80DV);
    m_emulator.setMemory(RandomBytes(kChipSize, 1));
    m_rowCompleted = false;
}

void TestFaults::cleanup()
{
    const QByteArray function = QTest::currentTestFunction();
    Tally *tally = function == "unplugMatrix"                       ? &m_unplug
                   : function == "chipFaults"                       ? &m_chipFaults
                   : function == "badFiles" || function == "badLog" ? &m_badInputs
                                                                    : nullptr;
    if (!tally)
        return;
    ++tally->tried;
    if (QTest::currentTestFailed())
        return;
    if (m_rowCompleted)
        ++tally->survived;
    else
        ++tally->skipped;
}

void TestFaults::cleanupTestCase()
{
    qInfo("fault points survived: %d of %d (unplug %d/%d, chip faults %d/%d)",
          m_unplug.survived + m_chipFaults.survived, m_unplug.tried + m_chipFaults.tried,
          m_unplug.survived, m_unplug.tried, m_chipFaults.survived, m_chipFaults.tried);
    qInfo("bad inputs handled: %d of %d (%d skipped)", m_badInputs.survived, m_badInputs.tried,
          m_badInputs.skipped);
    // A run that selects single rows (the helpers' children) files nothing.
    if (QCoreApplication::arguments().size() > 1)
        return;
    FileTally(QStringLiteral("unplug"), m_unplug);
    FileTally(QStringLiteral("chip_faults"), m_chipFaults);
    FileTally(QStringLiteral("bad_inputs"), m_badInputs);
}

QString TestFaults::PrepareJobFile(Job job, const QByteArray &chip)
{
    switch (job) {
    case Job::Read:
        WriteFile(m_dumpPath, kEarlierDump.toLatin1());
        return m_dumpPath;
    case Job::Write:
        WriteFile(m_imagePath, RandomBytes(kImageSize, 2));
        return m_imagePath;
    case Job::Verify:
        WriteFile(m_imagePath, chip.left(kImageSize));
        return m_imagePath;
    case Job::ReadId:
    case Job::Erase:
        break;
    }
    return QString();
}

void TestFaults::ExpectCleanEnd(const JobRecorder &recorder)
{
    QCOMPARE(recorder.jobDoneCount, 1);
    QCOMPARE(recorder.events.last(), QStringLiteral("done"));
    QVERIFY(!recorder.emittedAfterJobDone);
}

// Plugged in again (or left alone), the programmer serves the next job.
void TestFaults::ExpectNextJobWorks()
{
    m_emulator.replug();
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    ExpectCleanEnd(recorder);
    QCOMPARE(recorder.lines().last(), SuccessLine(Job::ReadId, QString()));
    for (const LogRecord &record : recorder.logs)
        QVERIFY2(record.colour != kRed, qPrintable(record.message));
    QVERIFY(m_emulator.isReleased());
    QVERIFY(!m_emulator.isOpen());
}

// ---------------------------------------------------------------------------
// Unplug matrix

void TestFaults::unplugMatrix_data()
{
    QTest::addColumn<Job>("job");
    QTest::addColumn<quint64>("unplugAfter");
    QTest::addColumn<quint64>("total");

    int rows = 0;
    QStringList perJob;
    for (Job job : AllJobs()) {
        // A clean run maps the job: how many transfers it takes, and how many
        // had passed when each log record (a phase) and status text came.
        m_emulator.install(ChipKind::W25Q80DV);
        const QByteArray chip = RandomBytes(kChipSize, 1);
        m_emulator.setMemory(chip);
        m_emulator.resetCounters();
        CH341 worker(false);
        worker.FileName = PrepareJobFile(job, chip);
        std::set<quint64> points = {0, 1, 2};
        QMap<quint64, QString> phaseAt;
        connect(&worker, &CH341::UpdateLogWindow_Text, this,
                [&](QString message, QColor, int, bool, bool, bool) {
                    const quint64 now = m_emulator.transfers();
                    points.insert(now);
                    // Row names stay the same from run to run.
                    phaseAt.insert(now, message.trimmed().replace(m_dir.path(), "<dir>"));
                });
        quint64 lastStatusAt = 0;
        connect(&worker, &CH341::Set_Label_Status_TEXT, this, [&](QString) {
            if (lastStatusAt == 0)
                points.insert(m_emulator.transfers());
            lastStatusAt = m_emulator.transfers();
        });
        RunJob(worker, job);
        const quint64 total = m_emulator.transfers();
        if (lastStatusAt > 0)
            points.insert(lastStatusAt);
        for (int i = 1; i < 10; ++i)
            points.insert(total * quint64(i) / 10);
        points.insert(total - 1);

        int jobRows = 0;
        for (quint64 k : points) {
            // Unplugging after the last transfer is no fault.
            if (k >= total)
                continue;
            auto phase = phaseAt.upperBound(k);
            const QString after =
                phase == phaseAt.begin() ? QStringLiteral("start") : std::prev(phase).value();
            const QString name = QStringLiteral("%1, after transfer %2 of %3 (%4)")
                                     .arg(JobName(job))
                                     .arg(k)
                                     .arg(total)
                                     .arg(after);
            QTest::newRow(qPrintable(name)) << job << k << total;
            ++jobRows;
        }
        perJob << QStringLiteral("%1 %2").arg(JobName(job)).arg(jobRows);
        rows += jobRows;
    }
    qInfo("unplug matrix: %d jobs x fault points (%s) = %d runs", int(AllJobs().size()),
          qPrintable(perJob.join(QStringLiteral(", "))), rows);
}

void TestFaults::unplugMatrix()
{
    QFETCH(Job, job);
    QFETCH(quint64, unplugAfter);
    QFETCH(quint64, total);
    const QByteArray chip = m_emulator.memory();
    CH341 worker(false);
    worker.FileName = PrepareJobFile(job, chip);
    const QByteArray jobFile =
        worker.FileName.isEmpty() ? QByteArray() : ReadFile(worker.FileName);
    JobRecorder recorder(&worker);
    m_emulator.unplugAfterTransfers(unplugAfter);
    RunJob(worker, job);

    ExpectCleanEnd(recorder);
    if (!worker.TransferFailed) {
        // Only the release at the very end was lost: the job's work was done
        // and its report of it is true.
        QCOMPARE(unplugAfter, total - 1);
        const QString path = job == Job::Read ? m_dumpPath : worker.FileName;
        QCOMPARE(recorder.lines().last(), SuccessLine(job, path));
        for (const LogRecord &record : recorder.logs)
            QVERIFY2(record.colour != kRed, qPrintable(record.message));
        ExpectNextJobWorks();
        NoteRowCompleted();
        return;
    }
    int firstRed = -1;
    for (int i = 0; i < recorder.logs.size() && firstRed < 0; ++i) {
        if (recorder.logs.at(i).colour == kRed)
            firstRed = i;
    }
    QVERIFY2(firstRed >= 0, "the fault was never reported");
    const LogRecord fault = recorder.logs.at(firstRed);
    QCOMPARE(fault.message, kTransferFailed);
    QCOMPARE(fault.weight, 1);
    QVERIFY(fault.newLine);
    // After the fault only the initialisation verdict may follow, in red.
    const QList<LogRecord> after = recorder.logs.mid(firstRed + 1);
    QVERIFY(after.size() <= 1);
    if (!after.isEmpty()) {
        QCOMPARE(after.first().message, kInitFailed);
        QCOMPARE(after.first().colour, kRed);
    }
    for (const LogRecord &record : recorder.logs.mid(firstRed))
        QVERIFY2(!kSuccessClaims.contains(record.message), qPrintable(record.message));
    QVERIFY(!recorder.events.contains(QStringLiteral("hex")));
    QVERIFY(!recorder.events.contains(QStringLiteral("model")));

    // Nothing the operator had is lost: the earlier dump and the image stay
    // as they were, and no temporary file is left beside them.
    if (!worker.FileName.isEmpty())
        QCOMPARE(ReadFile(worker.FileName), jobFile);
    QStringList files = QDir(m_dir.path()).entryList(QDir::Files);
    files.removeAll(QStringLiteral("dump.bin"));
    files.removeAll(QStringLiteral("image.bin"));
    QCOMPARE(files, QStringList());
    if (job != Job::Write && job != Job::Erase)
        QCOMPARE(m_emulator.memory(), chip);

    ExpectNextJobWorks();
    NoteRowCompleted();
}

// ---------------------------------------------------------------------------
// Chips that misbehave, and a bridge with stale bytes waiting

void TestFaults::chipFaults_data()
{
    QTest::addColumn<ChipFault>("fault");
    QTest::addColumn<Job>("job");
    QTest::addColumn<QStringList>("tail"); // last log lines; empty: the job succeeds
    QTest::addColumn<ChipAfter>("chipAfter");

    const QStringList series45 = {
        QStringLiteral("Chip(s) Found based on JDEC ID: 0x1F2600"),
        QStringLiteral("Vendor: ATMEL Part no: AT45DB161D Capacity (Byte): 2162688"),
        QStringLiteral("This Software Only Support 25 Series SPI Flash your chip Series is : 45"),
        kInitFailed};
    const QStringList protectedChip = {
        QStringLiteral("Chip is Write Protected! Status Register: 0x1C")};
    for (Job job : AllJobs()) {
        const QString name = JobName(job);
        QTest::newRow(qPrintable(name + ", no chip (all 0xFF)"))
            << ChipFault::NoChip << job << QStringList{kNotFound, kInitFailed}
            << ChipAfter::Unchanged;
        QTest::newRow(qPrintable(name + ", unknown chip"))
            << ChipFault::Unknown << job << QStringList{kNotFound, kInitFailed}
            << ChipAfter::Unchanged;
        QTest::newRow(qPrintable(name + ", 45-series chip"))
            << ChipFault::Series45 << job << series45 << ChipAfter::Unchanged;
        const bool changesChip = job == Job::Write || job == Job::Erase;
        QTest::newRow(qPrintable(name + ", write-protected chip"))
            << ChipFault::WriteProtected << job << (changesChip ? protectedChip : QStringList())
            << ChipAfter::Unchanged;
        QTest::newRow(qPrintable(name + ", stale bytes in the IN endpoint"))
            << ChipFault::StaleIn << job << QStringList()
            << (job == Job::Write   ? ChipAfter::Image
                : job == Job::Erase ? ChipAfter::Erased
                                    : ChipAfter::Unchanged);
    }
    QTest::newRow("erase, stuck busy during chip erase")
        << ChipFault::BusyErase << Job::Erase
        << QStringList{QStringLiteral("Erasing Chip... ") + kTimedOut} << ChipAfter::Erased;
    QTest::newRow("write, stuck busy during chip erase")
        << ChipFault::BusyErase << Job::Write
        << QStringList{QStringLiteral("Erasing Chip... ") + kTimedOut} << ChipAfter::Erased;
    QTest::newRow("write, stuck busy during programming")
        << ChipFault::BusyProgram << Job::Write
        << QStringList{QStringLiteral("Writing to Chip... ") + kTimedOut} << ChipAfter::Erased;
}

void TestFaults::chipFaults()
{
    QFETCH(ChipFault, fault);
    QFETCH(Job, job);
    QFETCH(QStringList, tail);
    QFETCH(ChipAfter, chipAfter);

    switch (fault) {
    case ChipFault::NoChip:
        m_emulator.install(ChipKind::NoChip);
        break;
    case ChipFault::Unknown:
        m_emulator.install(ChipKind::Unknown);
        break;
    case ChipFault::Series45:
        m_emulator.install(ChipKind::AT45DB161D);
        break;
    default:
        break;
    }
    const QByteArray chip = m_emulator.memory();
    CH341 worker(false);
    worker.FileName = PrepareJobFile(job, chip);
    const QByteArray jobFile =
        worker.FileName.isEmpty() ? QByteArray() : ReadFile(worker.FileName);
    JobRecorder recorder(&worker);
    if (fault == ChipFault::WriteProtected)
        m_emulator.setBlockProtect(7);
    if (fault == ChipFault::StaleIn)
        m_emulator.link().setStaleIn({0xA5, 0x5A, 0x00, 0xFF});
    if (fault == ChipFault::BusyErase || fault == ChipFault::BusyProgram) {
        // The chip hangs once the step is under way.
        const QString step = fault == ChipFault::BusyErase ? QStringLiteral("Erasing Chip... ")
                                                           : QStringLiteral("Writing to Chip... ");
        connect(&worker, &CH341::UpdateLogWindow_Text, this,
                [this, step](QString message, QColor, int, bool, bool, bool) {
                    if (message == step)
                        m_emulator.setStuckBusy(true);
                });
        worker.PageProgramPollLimit = 20;
    }
    RunJob(worker, job);

    ExpectCleanEnd(recorder);
    const QStringList lines = recorder.lines();
    if (tail.isEmpty()) {
        QCOMPARE(lines.last(), SuccessLine(job, m_dumpPath));
        for (const LogRecord &record : recorder.logs)
            QVERIFY2(record.colour != kRed, qPrintable(record.message));
    } else {
        QVERIFY(lines.size() >= tail.size());
        QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
        QCOMPARE(recorder.logs.last().colour, kRed);
        QCOMPARE(recorder.logs.last().weight, 1);
        QVERIFY(!recorder.events.contains(QStringLiteral("hex")));
    }

    switch (chipAfter) {
    case ChipAfter::Unchanged:
        QCOMPARE(m_emulator.memory(), chip);
        break;
    case ChipAfter::Erased:
        // A chip that hangs mid-erase may be left partly erased; the job only
        // must not go on to program it.
        if (fault == ChipFault::StaleIn)
            QCOMPARE(m_emulator.memory(), QByteArray(kChipSize, char(0xFF)));
        for (const QByteArray &frame : m_emulator.frames()) {
            if (fault == ChipFault::BusyErase)
                QVERIFY(frame.at(0) != char(0x02));
        }
        break;
    case ChipAfter::Image: {
        const QByteArray image = ReadFile(m_imagePath);
        QCOMPARE(m_emulator.memory().left(image.size()), image);
        break;
    }
    }
    if (job == Job::Read && !tail.isEmpty())
        QCOMPARE(ReadFile(m_dumpPath), kEarlierDump.toLatin1());
    if (job == Job::Read && tail.isEmpty())
        QCOMPARE(ReadFile(m_dumpPath), chip);
    if (job == Job::Write || job == Job::Verify)
        QCOMPARE(ReadFile(worker.FileName), jobFile);
    // Refused chips are closed at identification; the others are released.
    if (fault != ChipFault::NoChip && fault != ChipFault::Unknown && fault != ChipFault::Series45)
        QVERIFY(m_emulator.isReleased());
    QVERIFY(!m_emulator.isOpen());
    NoteRowCompleted();
}

// ---------------------------------------------------------------------------
// Bad files

TestFaults::Outcome TestFaults::RunWithPrivilege(Privilege privilege)
{
    if (privilege == Privilege::None)
        return Outcome::RunHere;
    if (privilege == Privilege::Unprivileged && !IsRoot())
        return Outcome::RunHere;
    if (privilege == Privilege::TinyDisk && !qEnvironmentVariableIsEmpty("VARNOCK_TINY_DISK"))
        return Outcome::RunHere;

    // Run this one row again in a child process that the helper script sets
    // up: as an unprivileged user, or inside a private mount namespace.
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
    child.start(QStringLiteral("/bin/sh"), {script, QCoreApplication::applicationFilePath(),
                                            function + QLatin1Char(':') + tag});
    if (!child.waitForFinished(10 * 60 * 1000)) {
        child.kill();
        child.waitForFinished();
    }
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() == QProcess::NormalExit && child.exitCode() == kHelperSkip) {
        qInfo("%s", qPrintable(output.trimmed()));
        return Outcome::ChildSkipped;
    }
    const bool passed =
        child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 &&
        output.contains(QStringLiteral("PASS   : TestFaults::%1(%2)").arg(function, tag));
    if (!passed)
        qWarning("%s", qPrintable(output));
    return passed ? Outcome::ChildPassed : Outcome::ChildFailed;
}

void TestFaults::badFiles_data()
{
    QTest::addColumn<Job>("job");
    QTest::addColumn<BadInput>("input");
    QTest::addColumn<Privilege>("privilege");
    QTest::addColumn<QString>("lastLine");
    QTest::addColumn<ChipAfter>("chipAfter");

    for (Job job : {Job::Write, Job::Verify}) {
        const QString name = JobName(job) + QStringLiteral(", ");
        const bool write = job == Job::Write;
        QTest::newRow(qPrintable(name + "missing file"))
            << job << BadInput::Missing << Privilege::None << kLoadFailed << ChipAfter::Unchanged;
        QTest::newRow(qPrintable(name + "a folder instead of a file"))
            << job << BadInput::Folder << Privilege::None << kLoadFailed << ChipAfter::Unchanged;
        QTest::newRow(qPrintable(name + "no read permission"))
            << job << BadInput::Unreadable << Privilege::Unprivileged << kLoadFailed
            << ChipAfter::Unchanged;
        QTest::newRow(qPrintable(name + "empty file"))
            << job << BadInput::Empty << Privilege::None
            << (write ? QStringLiteral("Writing to Chip... OK") : QStringLiteral("Match Found!"))
            << (write ? ChipAfter::Erased : ChipAfter::Unchanged);
        QTest::newRow(qPrintable(name + "one byte over the chip size"))
            << job << BadInput::OneByteOver << Privilege::None << kTooLarge
            << ChipAfter::Unchanged;
        QTest::newRow(qPrintable(name + "exactly the chip size"))
            << job << BadInput::ExactSize << Privilege::None
            << (write ? QStringLiteral("Writing to Chip... OK") : QStringLiteral("Match Found!"))
            << (write ? ChipAfter::Image : ChipAfter::Unchanged);
    }
    // Reads past the end wrap to address 0 on a real chip too, so a file one
    // byte longer than the chip could compare equal.
    QTest::newRow("verify, one byte over that wraps to a match")
        << Job::Verify << BadInput::OneByteOverWrapsToMatch << Privilege::None << kTooLarge
        << ChipAfter::Unchanged;
    QTest::newRow("read, dump target is a folder")
        << Job::Read << BadInput::DumpOntoFolder << Privilege::None << kLoadFailed
        << ChipAfter::Unchanged;
    QTest::newRow("read, dump target in a missing folder")
        << Job::Read << BadInput::DumpInMissingFolder << Privilege::None << kLoadFailed
        << ChipAfter::Unchanged;
    QTest::newRow("read, dump target in a folder without write permission")
        << Job::Read << BadInput::DumpInReadOnlyFolder << Privilege::Unprivileged << kLoadFailed
        << ChipAfter::Unchanged;
    QTest::newRow("read, dump target on a full disk")
        << Job::Read << BadInput::DumpOnFullDisk << Privilege::TinyDisk
        << QStringLiteral("Failed to Save Binary File.") << ChipAfter::Unchanged;
}

void TestFaults::badFiles()
{
    QFETCH(Job, job);
    QFETCH(BadInput, input);
    QFETCH(Privilege, privilege);
    QFETCH(QString, lastLine);
    QFETCH(ChipAfter, chipAfter);
    switch (RunWithPrivilege(privilege)) {
    case Outcome::RunHere:
        break;
    case Outcome::ChildPassed:
        NoteRowCompleted();
        return;
    case Outcome::ChildSkipped:
        QSKIP("the helper could not stage this case here (see its message above)");
    case Outcome::ChildFailed:
        QFAIL("the row failed in the helper's child process (its output is above)");
    }

    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    QDir folder(scratch.path());
    const QByteArray chip = m_emulator.memory();
    QString path = folder.filePath(QStringLiteral("input.bin"));
    QByteArray contents;
    switch (input) {
    case BadInput::Missing:
        break;
    case BadInput::Folder:
    case BadInput::DumpOntoFolder:
        QVERIFY(folder.mkdir(QStringLiteral("input.bin")));
        break;
    case BadInput::Unreadable:
        contents = chip.left(kImageSize);
        QVERIFY(WriteFile(path, contents));
        QVERIFY(QFile::setPermissions(path, QFile::WriteOwner));
        break;
    case BadInput::Empty:
        QVERIFY(WriteFile(path, contents));
        break;
    case BadInput::OneByteOver:
        contents = RandomBytes(kChipSize + 1, 3);
        QVERIFY(WriteFile(path, contents));
        break;
    case BadInput::OneByteOverWrapsToMatch:
        contents = chip + chip.left(1);
        QVERIFY(WriteFile(path, contents));
        break;
    case BadInput::ExactSize:
        contents = job == Job::Write ? RandomBytes(kChipSize, 4) : chip;
        QVERIFY(WriteFile(path, contents));
        break;
    case BadInput::DumpInMissingFolder:
        path = folder.filePath(QStringLiteral("no/such/folder/dump.bin"));
        break;
    case BadInput::DumpInReadOnlyFolder:
        contents = kEarlierDump.toLatin1();
        QVERIFY(WriteFile(path, contents));
        QVERIFY(QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::ExeOwner));
        break;
    case BadInput::DumpOnFullDisk:
        folder.setPath(qEnvironmentVariable("VARNOCK_TINY_DISK"));
        path = folder.filePath(QStringLiteral("input.bin"));
        contents = kEarlierDump.toLatin1();
        QVERIFY(WriteFile(path, contents));
        break;
    }
    const QStringList filesBefore = folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    RunJob(worker, job);

    ExpectCleanEnd(recorder);
    QCOMPARE(recorder.lines().last(), lastLine);
    const bool failure = lastLine != QStringLiteral("Writing to Chip... OK") &&
                         lastLine != QStringLiteral("Match Found!");
    QCOMPARE(recorder.logs.last().colour == kRed, failure);
    if (failure) {
        for (const LogRecord &record : recorder.logs)
            QVERIFY2(!kSuccessClaims.mid(1).contains(record.message), qPrintable(record.message));
        QVERIFY(!recorder.events.contains(QStringLiteral("hex")));
    }

    // Nothing is lost: the chip, the chosen file and its folder.
    switch (chipAfter) {
    case ChipAfter::Unchanged:
        QCOMPARE(m_emulator.memory(), chip);
        break;
    case ChipAfter::Erased:
        QCOMPARE(m_emulator.memory(), QByteArray(kChipSize, char(0xFF)));
        break;
    case ChipAfter::Image:
        QCOMPARE(m_emulator.memory(), contents);
        break;
    }
    if (input == BadInput::Unreadable)
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    if (input == BadInput::DumpInReadOnlyFolder)
        QVERIFY(QFile::setPermissions(folder.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QCOMPARE(folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), filesBefore);
    if (QFileInfo(path).isFile())
        QCOMPARE(ReadFile(path), contents);
    if (input == BadInput::Folder || input == BadInput::DumpOntoFolder)
        QVERIFY(QFileInfo(path).isDir());
    QVERIFY(m_emulator.isReleased());
    QVERIFY(!m_emulator.isOpen());
    NoteRowCompleted();
}

// ---------------------------------------------------------------------------
// A log that cannot be written

void TestFaults::badLog_data()
{
    QTest::addColumn<bool>("workingDirectoryWritable");
    QTest::newRow("working directory not writable") << false;
    QTest::newRow("log file made read-only between two records") << true;
}

void TestFaults::badLog()
{
    QFETCH(bool, workingDirectoryWritable);
    switch (RunWithPrivilege(Privilege::Unprivileged)) {
    case Outcome::RunHere:
        break;
    case Outcome::ChildPassed:
        NoteRowCompleted();
        return;
    case Outcome::ChildSkipped:
        QSKIP("the helper could not stage this case here (see its message above)");
    case Outcome::ChildFailed:
        QFAIL("the row failed in the helper's child process (its output is above)");
    }
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QString workingDirectory = scratch.filePath(QStringLiteral("work"));
    const QString executableDirectory = scratch.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(workingDirectory));
    QVERIFY(QDir().mkpath(executableDirectory));
    if (!workingDirectoryWritable)
        QVERIFY(QFile::setPermissions(workingDirectory, QFile::ReadOwner | QFile::ExeOwner));

    const QDateTime now(QDate(2026, 12, 5), QTime(20, 54, 14));
    const QString path = LogFile::chooseLogFilePath(now, workingDirectory, executableDirectory,
                                                    QLocale(QLocale::English));
    const QString expectedPath = workingDirectoryWritable
                                     ? workingDirectory + "/LOG/JobLog/2026_December_05/Log.txt"
                                     : executableDirectory + "/Log.txt";
    QCOMPARE(path, expectedPath);

    QTextEdit view;
    LogWindow log(&view, path, false, false, false);
    log.AppendRecord(QStringLiteral("Connecting to Programmer... "), QColor("black"), 1, false,
                     false, false);
    log.AppendRecord(QStringLiteral("OK"), QColor("blue"), 4, false, false, true);
    QStringList expectedFile = {QStringLiteral("Connecting to Programmer... OK")};
    if (workingDirectoryWritable) {
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
        log.AppendRecord(kTransferFailed, QColor("red"), 1, false, false, true);
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    } else {
        log.AppendRecord(kTransferFailed, QColor("red"), 1, false, false, true);
        expectedFile << kTransferFailed;
    }
    log.AppendRecord(QStringLiteral("Operation Completed."), QColor("black"), 2, false, false,
                     true);
    expectedFile << QStringLiteral("Operation Completed.");

    // The operator sees every record; the file has every line it could take.
    QCOMPARE(view.toPlainText(), QStringLiteral("Connecting to Programmer... OK\n") +
                                     kTransferFailed + QStringLiteral("\nOperation Completed.\n"));
    QCOMPARE(ReadFile(path),
             (expectedFile.join(QLatin1Char('\n')) + QLatin1Char('\n')).toLocal8Bit());
    if (!workingDirectoryWritable)
        QVERIFY(
            QDir(workingDirectory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    QFile::setPermissions(workingDirectory,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    NoteRowCompleted();
}

// ---------------------------------------------------------------------------
// The window and the worker thread

void TestFaults::windowSurvivesUnplugOnWorkerThread()
{
    // How long an erase takes, counted in transfers, to unplug in its middle.
    quint64 total = 0;
    {
        m_emulator.resetCounters();
        CH341 worker(false);
        worker.DoEraseFlash();
        total = m_emulator.transfers();
    }
    m_emulator.install(ChipKind::W25Q80DV);
    m_emulator.unplugAfterTransfers(total / 2);

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
    for (bool unplugged : {true, false}) {
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
        if (unplugged) {
            QCOMPARE(lines.at(done - 1), QStringLiteral("Erasing Chip... ") + kTransferFailed);
            QVERIFY(!lines.contains(QStringLiteral("Erasing Chip... OK")));
        } else {
            QCOMPARE(lines.at(done - 1), QStringLiteral("Erasing Chip... OK"));
        }
        m_emulator.replug();
    }
    QCOMPARE(m_emulator.memory(), QByteArray(kChipSize, char(0xFF)));
    QVERIFY(!m_emulator.isOpen());
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
