// The worker's jobs run on our bridge library and the emulated CH341A: log records, signal
// order, the frames the chip received and its memory. Failure paths live in the fault tests.

#include "failonwarning.h"
#include "bustranscript.h"
#include "emulatorharness.h"
#include "jobrecorder.h"
#include "programmer/jobs/ch341.h"
#include "programmer/jobs/tracelog.h"
#include "testfiles.h"
#include "regionimages.h"
#include "bridge/ch341bridges.h"
#include "bridge/ch341dll.h"
#include "emulator/chipcatalog.h"
#include "emulator/i2ceeprom.h"
#include "emulator/microwireeeprom.h"
#include "emulator/spiflashchip.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

Q_DECLARE_METATYPE(ChipKind)

namespace {
constexpr int kMiB = 1024 * 1024;

// The part a job's log settled on: "Chosen Part no: NAME", the one name of every "Part no: "
// row, or where they name different parts the JEDEC id.
QString SettledName(const QStringList &lines)
{
    QStringList names;
    QString id;
    for (const QString &line : lines) {
        const QRegularExpressionMatch chosen =
            QRegularExpression(QStringLiteral("^Chosen Part no: (\\S+)")).match(line);
        if (chosen.hasMatch())
            return chosen.captured(1);
        const QRegularExpressionMatch row =
            QRegularExpression(QStringLiteral("^Vendor: .* Part no: (\\S+) ")).match(line);
        if (row.hasMatch())
            names << row.captured(1);
        if (line.startsWith(QLatin1String("Chip(s) Found based on JDEC ID: 0x")))
            id = line.section(QLatin1String("0x"), 1);
    }
    names.removeDuplicates();
    return names.size() == 1 ? names.first() : id;
}

// One record as "message|colour|weight|flags": i italic, n ends its line.
QStringList Described(const QList<LogRecord> &records)
{
    QStringList result;
    for (const LogRecord &r : records) {
        const QString flags =
            QString(r.italic ? "i" : "") + (r.newLine ? "n" : "") + (r.underLine ? "u" : "");
        result << QStringLiteral("%1|%2|%3|%4").arg(r.message, r.colour).arg(r.weight).arg(flags);
    }
    return result;
}

// The OUT transfers of a trace file; a line whose bytes disagree with its length fails.
QList<QByteArray> TracedOut(const QString &path)
{
    QList<QByteArray> transfers;
    for (const QByteArray &line : ReadFile(path).split('\n')) {
        // The bulk OUT endpoint is 02 on a CH341A, 06 on a CH347.
        static const QRegularExpression out(QStringLiteral(" OUT 0[26] "));
        const QRegularExpressionMatch match = out.match(QString::fromLatin1(line));
        const int at = match.hasMatch() ? match.capturedStart() : -1;
        const int colon = line.indexOf(':', at);
        if (at < 0 || colon < 0)
            continue;
        transfers << QByteArray::fromHex(line.mid(colon + 1));
        if (line.mid(at + 8, colon - at - 8).toInt() != transfers.last().size())
            return {"length differs from bytes: " + line.left(60)};
    }
    return transfers;
}

// A host that stalls after every USB exchange, while the chip keeps working.
class StallingLink : public emu::EmulatedLink
{
public:
    using EmulatedLink::EmulatedLink;
    ch341::UsbResult exchange(const ch341::OutTransfers &out,
                              const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in) override
    {
        const ch341::UsbResult result = EmulatedLink::exchange(out, inLengths, in);
        clock().advanceNs(5 * emu::VirtualClock::kNsPerMs);
        return result;
    }
};
// The erase commands the chip received, each as the hex of its opcode and address.
QStringList EraseFrames(const QList<QByteArray> &frames)
{
    QStringList erases;
    for (const QByteArray &frame : frames)
        if (frame.at(0) == char(0x20) || frame.at(0) == char(0xD8) || frame.at(0) == char(0xC7))
            erases << QString::fromLatin1(frame.toHex());
    return erases;
}
} // namespace

class TestProgrammer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { m_emulator.install(ChipKind::W25Q80DV); }

    void connectionRecords_data();
    void connectionRecords();
    void spiSendAndReceive();
    void identification();
    void registerReport_data();
    void registerReport();
    void readJob_data();
    void readJob();
    void readTwice_data();
    void readTwice();
    void autoSpiClock_data();
    void autoSpiClock();
    void lowerClockHint_data();
    void lowerClockHint();
    void fourByteModeLeftAfterFailure_data();
    void fourByteModeLeftAfterFailure();
    void verifyJob_data();
    void verifyJob();
    void updateJob_data();
    void updateJob();
    void shorterFile_data();
    void shorterFile();
    void busTranscripts_data();
    void busTranscripts();
    void aaiInterrupted_data();
    void aaiInterrupted();
    void writeAbove16MiB();
    void pageDoneWhileHostStalled();
    void rangeJobs_data();
    void rangeJobs();
    void descriptorRegions_data();
    void descriptorRegions();
    void eepromJobs_data();
    void eepromJobs();

private:
    // Writes the image with the write job; answers a protection question with yes. events:
    // the signals, in order.
    QStringList WriteJob(CH341 &worker, const QByteArray &image, QStringList *events = nullptr);

    QTemporaryDir m_dir;
    EmulatorHarness m_emulator;
};

void TestProgrammer::initTestCase()
{
    // The worker's developer trace would flood the test output.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(m_dir.isValid());
}

void TestProgrammer::connectionRecords_data()
{
    QTest::addColumn<int>("code"); // -1: no programmer attached
    QTest::addColumn<QString>("name");
    QTest::newRow("0x10") << 0x10 << "CH341";
    QTest::newRow("0x20") << 0x20 << "CH341A";
    QTest::newRow("0x30") << 0x30 << "CH341A3";
    QTest::newRow("0x32") << 0x32 << "CH341B";
    QTest::newRow("0x27 unknown") << 0x27 << "UNKNOWN";
    QTest::newRow("no programmer") << -1 << "";
}

void TestProgrammer::connectionRecords()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    m_emulator.link().setVersion(uint8_t(code));
    m_emulator.link().setPresent(code >= 0);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    // A CH347 answers no version request: its package names it.
    const QString label = EmulatorHarness::onCh347() ? "CH347 variant: " : "CH341 variant: ";
    if (EmulatorHarness::onCh347() && code >= 0)
        name = QStringLiteral("CH347T");
    QCOMPARE(worker.ProgModel, name);
    if (code >= 0) {
        // Labels black, results blue, the bridge's own name gray and italic, its clock gray.
        QStringList bridge;
        for (const QString &line : EmulatorHarness::bridgeLines())
            bridge << line + (bridge.isEmpty() ? "|#808080|1|in" : "|#808080|1|n");
        QCOMPARE(Described(recorder.logs.mid(0, 6 + bridge.size())),
                 QStringList({"Connecting to Programmer... |#000000|1|", "OK|#0000ff|4|n"}) +
                     bridge +
                     QStringList({label + "|#000000|1|", name + "|#0000ff|1|n",
                                  "Setting Programmer... |#000000|1|", "OK|#0000ff|4|n"}));
        return;
    }
    // The bridge's reason is a red record of its own, so the operator can act on it.
    const QString missing =
        EmulatorHarness::onCh347()
            ? "No CH347 programmer found (USB 1a86:55db or 1a86:55de): check the cable; a "
              "CH347T must be in mode 1 (UART, SPI and I2C)."
            : "No CH341A programmer found (USB 1a86:5512): check the cable and the mode jumper "
              "(1-2 for SPI).";
    QCOMPARE(Described(recorder.logs),
             QStringList({"Connecting to Programmer... |#000000|1|", "Fail!|#ff0000|1|n",
                          missing + "|#ff0000|1|n",
                          "Failed to Initialize CH341 Programmer.|#ff0000|1|n"}));
    QCOMPARE(recorder.events, QStringList({"log", "log", "log", "log", "done"}));
}

void TestProgrammer::spiSendAndReceive()
{
    CH341 worker(false);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    m_emulator.chip().clearFrames();
    m_emulator.link().resetCounters();
    const QByteArray frame = QByteArray::fromHex("9F0000");
    QCOMPARE(worker.SpiSend(1, 100, frame), qint64(3));
    QCOMPARE(frame, QByteArray::fromHex("9F0000"));
    // Deselect 0 and 2 keep the chip selected: the next send continues the command.
    QCOMPARE(worker.SpiSend(0, 1, QByteArray::fromHex("9F")), qint64(1));
    QCOMPARE(worker.SpiSend(2, 1, QByteArray::fromHex("00")), qint64(1));
    QCOMPARE(worker.SpiSend(1, 2, QByteArray::fromHex("000000")), qint64(2));
    // Sends wait for the next blocking call and ride with it.
    QCOMPARE(m_emulator.link().counters().exchanges, 0ull);
    QByteArray answer = QByteArray::fromHex("A5A5");
    QCOMPARE(worker.SpiSend(0, 1, QByteArray::fromHex("9F")), qint64(1));
    worker.SpiReceive(3, answer);
    QCOMPARE(answer, QByteArray::fromHex("EF4014"));
    QCOMPARE(m_emulator.link().counters().exchanges, 1ull);
    QCOMPARE(m_emulator.frames(),
             QList<QByteArray>({QByteArray::fromHex("9F0000"), QByteArray::fromHex("9F000000"),
                                QByteArray::fromHex("9FFFFFFF")}));

    worker.ReleaseAndClose();
}

void TestProgrammer::identification()
{
    m_emulator.install(ChipKind::SST25VF016B);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    const QString row = QStringLiteral("Vendor: %1 Part no: %2 Capacity (Byte): 2097152");
    const int clockLines = EmulatorHarness::bridgeLines().size() - 1;
    QCOMPARE(
        recorder.lines().mid(4 + clockLines, 4),
        QStringList({"Chip(s) Found based on JDEC ID: 0xBF2541", row.arg("PCT", "PCT25VF016B"),
                     row.arg("SST", "SST25VF016B"), "Supply Voltage: 2.7-3.6 V"}));
    // The worker keeps the last match: the SST part writes by SSTW.
    QCOMPARE(worker.ChipSize, 2097152u);
    QCOMPARE(worker.ChipPage, QStringLiteral("SSTW"));
    QCOMPARE(worker.ChipSeries, QString());
    // Labels black, values blue, one line of six records per match.
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(recorder.logs.at(9 + clockLines + i).colour, i % 2 ? "#0000ff" : "#000000");
        QCOMPARE(recorder.logs.at(9 + clockLines + i).newLine, i == 5);
    }
}

void TestProgrammer::registerReport_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QString>("setup"); // commands run on the chip first
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("Winbond: SR1, SR2 and SR3 with WPS, SFDP of the first revision")
        << ChipKind::W25Q64FV << "06 01BC42"
        << QStringList{
               "Status Register-1: 0xBC: SRP0 1, SEC 0, TB 1, BP2 1, BP1 1, BP0 1, WEL 0, BUSY 0",
               "Status Register-2: 0x42: CMP 1, QE 1, SRP1 0", "Status Register-3: 0x60: WPS 0",
               "Write Protection: Off",
               "SFDP: Capacity (Byte): 8388608, Erase Types: 4 KiB by 20h, 32 KiB by 52h, 64 KiB "
               "by D8h"};
    QTest::newRow("Winbond WPS: individual block locks")
        << ChipKind::W25Q128JV << ""
        << QStringList{
               "Status Register-1: 0x00: SRP0 0, SEC 0, TB 0, BP2 0, BP1 0, BP0 0, WEL 0, BUSY 0",
               "Status Register-2: 0x00: CMP 0, QE 0, SRP1 0", "Status Register-3: 0x64: WPS 1",
               "Write Protection: On: Individual Block Locks",
               "SFDP: Capacity (Byte): 16777216, Erase Types: 4 KiB by 20h, 32 KiB by 52h, 64 KiB "
               "by D8h"};
    QTest::newRow("Macronix: QE in SR1, WPSEL in the security register")
        << ChipKind::MX25L12835F << ""
        << QStringList{
               "Status Register-1: 0x00: SRWD 0, QE 0, BP3 0, BP2 0, BP1 0, BP0 0, WEL 0, BUSY 0",
               "Security Register: 0x80: WPSEL 1", "Write Protection: On: Individual Block Locks",
               "SFDP: None"};
    QTest::newRow("Micron: BP3 at bit 6, the flag status register")
        << ChipKind::MT25QL256 << "06 0144"
        << QStringList{
               "Status Register-1: 0x44: SRWD 0, BP3 1, TB 0, BP2 0, BP1 0, BP0 1, WEL 0, BUSY 0",
               "Flag Status Register: 0x80: READY 1, ERASE 0, PROGRAM 0, PROTECTION 0",
               "Write Protection: On: BP Bits", "SFDP: None"};
    QTest::newRow("Spansion S25FL-S: error flags, CR1")
        << ChipKind::S25FL128S << ""
        << QStringList{"Status Register-1: 0x00: SRP0 0, P_ERR 0, BP3/E_ERR 0, BP2 0, BP1 0, BP0 "
                       "0, WEL 0, BUSY 0",
                       "Status Register-2: 0x02: SRP1 0", "Write Protection: Off", "SFDP: None"};
    QTest::newRow("SST26: the block register locked at power-up")
        << ChipKind::SST26VF064B << ""
        << QStringList{"Status Register-1: 0x00: SRWD 0, WEL 0, BUSY 0",
                       "Configuration Register: 0x08: BPNV 1",
                       "Write Protection: On: Block-Protection Register", "SFDP: None"};
    QTest::newRow("Zbit clone on the default layout: SR1 alone")
        << ChipKind::ZB25VQ64 << "06 0104"
        << QStringList{
               "Status Register-1: 0x04: SRWD 0, BP3 0, BP2 0, BP1 0, BP0 1, WEL 0, BUSY 0",
               "Write Protection: On: BP Bits", "SFDP: None"};
}

// The identify job shows every register the layout names, bit by bit, read-only.
void TestProgrammer::registerReport()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, setup);
    QFETCH(QStringList, lines);
    m_emulator.install(kind);
    m_emulator.poke(setup);
    m_emulator.chip().clearFrames();
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    const QStringList shown = recorder.lines();
    const int from = shown.indexOf(QRegularExpression(QStringLiteral("Status Register-1: .*")));
    QCOMPARE(shown.mid(from).join('\n'), lines.join('\n'));
    QCOMPARE(recorder.outcome, CH341::JobOutcome::Succeeded);
    // Nothing but reads reached the chip.
    for (const QByteArray &frame : m_emulator.frames())
        QVERIFY(frame.isEmpty() ||
                !QByteArray::fromHex("010231506098C7D8C420").contains(frame.at(0)));
}

void TestProgrammer::readJob_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("folder"); // what the desktop is asked to open
    QTest::newRow("into a folder") << m_dir.filePath(QStringLiteral("dump.bin")) << m_dir.path();
    // "/dump.bin" has an empty folder name before its slash; the root is what holds it.
    QTest::newRow("at the root")
        << QStringLiteral("/varnock-dump-%1.bin").arg(QCoreApplication::applicationPid()) << "/";
}

void TestProgrammer::readJob()
{
    QFETCH(QString, path);
    QFETCH(QString, folder);
    if (!QFileInfo(folder).isWritable())
        QSKIP("this user cannot write there");
    const auto removeDump = qScopeGuard([&path] { QFile::remove(path); });
    // A 2 MiB chip: the dump holds all of it, not only the first 1 MiB.
    m_emulator.install(ChipKind::SST25VF016B);
    const QByteArray contents = RandomBytes(2 * kMiB, 1);
    m_emulator.setMemory(contents);
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    worker.DoReadFlash();

    QCOMPARE(ReadFile(path), contents);
    // Logs, then one status and value per chunk (4 KiB on a CH341A, 64 KiB on a CH347), then
    // the report.
    const QRegularExpression order(
        QStringLiteral("^(log )+value max (status value ){%1}value (log ){6}model done$")
            .arg(2 * kMiB / EmulatorHarness::readChunk()));
    QVERIFY2(order.match(recorder.events.join(' ')).hasMatch(),
             qPrintable(recorder.events.join(' ')));
    QCOMPARE(recorder.maxima, QList<qulonglong>({2 * kMiB}));
    QCOMPARE(recorder.statusTexts.first(),
             QStringLiteral("Read [%1:2097152]").arg(EmulatorHarness::readChunk()));
    QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Read [2097152:2097152]"));
    QCOMPARE(recorder.values.mid(recorder.values.size() - 2), QList<qulonglong>({2 * kMiB, 0}));
    // The dump's checksums on a line of their own: labels black, values blue.
    const QStringList checksums = ChecksumLine(contents).split(' ');
    QCOMPARE(Described(recorder.logs.mid(recorder.logs.size() - 6)),
             QStringList({"Flash Chip Read File Saved in:|#000000|1|n",
                          QDir::toNativeSeparators(path) + "|#0000ff|1|n", "CRC-32: |#000000|1|",
                          checksums.at(1) + "|#0000ff|1|", " SHA-256: |#000000|1|",
                          checksums.at(3) + "|#0000ff|1|n"}));
    // The folder of the dump is opened for the operator.
    QCOMPARE(worker.FileName, folder);
    QCOMPARE(opened, QList<QUrl>({QUrl::fromLocalFile(folder)}));
}

void TestProgrammer::fourByteModeLeftAfterFailure_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<bool>("write");
    QTest::newRow("write, W25Q256JV") << ChipKind::W25Q256JV << true;
    QTest::newRow("read, MT25QL256") << ChipKind::MT25QL256 << false;
}

// A USB time-out after 0xB7 leaves the chip powered and in 4-byte mode: nothing more may
// reach it in that job, so the next job leaves 4-byte mode before it reads anything.
void TestProgrammer::fourByteModeLeftAfterFailure()
{
    QFETCH(ChipKind, kind);
    QFETCH(bool, write);
    m_emulator.install(kind);
    CH341 worker(false);
    worker.FileName = m_dir.filePath(QStringLiteral("large.bin"));
    if (write)
        QVERIFY(WriteFile(worker.FileName, RandomBytes(16 * kMiB + 1, 9)));
    JobRecorder recorder(&worker);
    connect(&worker, &CH341::Set_Label_Status_TEXT, this, [this](QString text) {
        if (text.contains(QLatin1Char('[')) && m_emulator.chip().isFourByteMode())
            m_emulator.link().timeOutNextExchange();
    });
    if (write)
        worker.DoWriteFlash();
    else
        worker.DoReadFlash();
    QVERIFY(recorder.lines().last().endsWith(QStringLiteral("Programmer Transfer Failed!")));
    QVERIFY(m_emulator.chip().isFourByteMode());
    m_emulator.chip().clearFrames();
    CH341 next(false);
    QCOMPARE(next.InitializeProgrammer(), 1);
    QVERIFY(!m_emulator.chip().isFourByteMode());
    QVERIFY(m_emulator.frames().contains(QByteArray::fromHex("E9")));
    next.ReleaseAndClose();
}

void TestProgrammer::readTwice_data()
{
    QTest::addColumn<uint32_t>("noiseOneBitIn"); // 0: a clean MISO line
    QTest::addColumn<QByteArray>("job");
    QTest::newRow("clean line: the dump is written") << 0u << QByteArray("read");
    // About eight bits flip over the two reads of 1 MiB; identification reads clean.
    QTest::newRow("noisy line: no dump") << 2000000u << QByteArray("read");
    QTest::newRow("update, clean line: backed up and written") << 0u << QByteArray("update");
    QTest::newRow("update, noisy line: no backup, nothing erased")
        << 2000000u << QByteArray("update");
}

// The read job, and the update's backup, read the chip twice: only two reads that agree are
// kept; otherwise the operator learns how much differs, where, and what to check.
void TestProgrammer::readTwice()
{
    QFETCH(uint32_t, noiseOneBitIn);
    QFETCH(QByteArray, job);
    const QByteArray contents = RandomBytes(kMiB, 31);
    m_emulator.setMemory(contents);
    const QString path = m_dir.filePath(QStringLiteral("twice.bin"));
    QFile::remove(path);
    const QByteArray image = contents.left(0x20000) + RandomBytes(4096, 32);
    QVERIFY(job == "read" || WriteFile(path, image));
    QDir(m_dir.filePath(QStringLiteral("backups"))).removeRecursively();
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    worker.FileName = path;
    worker.BackupFolder = m_dir.filePath(QStringLiteral("backups"));
    worker.ReadTwice = true;
    JobRecorder recorder(&worker);
    connect(&worker, &CH341::ClearProtection_Question, this,
            [&worker] { worker.AnswerClearProtection(true); });
    m_emulator.chip().setNoisyMiso(noiseOneBitIn);
    (worker.*(job == "read" ? &CH341::DoReadFlash : &CH341::DoUpdateFlash))();
    m_emulator.chip().setNoisyMiso(0);

    // Every chunk of the chip read twice.
    if (job == "read")
        QCOMPARE(recorder.statusTexts.size(), 2 * kMiB / EmulatorHarness::readChunk());
    const int backups =
        QDir(worker.BackupFolder).entryList(QDir::Files | QDir::NoDotAndDotDot).size();
    if (noiseOneBitIn == 0) {
        QCOMPARE(worker.Outcome(), CH341::JobOutcome::Succeeded);
        if (job == "read") {
            QCOMPARE(ReadFile(path), contents);
            QVERIFY(recorder.lines().contains(QStringLiteral("Both Reads Agree")));
        } else {
            QCOMPARE(backups, 1);
            QCOMPARE(m_emulator.memory().left(image.size()), image);
        }
        return;
    }
    QCOMPARE(worker.Outcome(), CH341::JobOutcome::Failed);
    QVERIFY(opened.isEmpty());
    if (job == "read")
        QVERIFY(!QFile::exists(path));
    else
        QCOMPARE(backups, 0);
    QCOMPARE(m_emulator.memory(), contents);
    // Three red records end the job: how many bytes, the first ranges, what to check.
    const QList<LogRecord> logs = recorder.logs.mid(recorder.logs.size() - 3);
    for (const LogRecord &log : logs)
        QCOMPARE(log.colour, QStringLiteral("#ff0000"));
    const QString nothingDone = job == "read" ? QStringLiteral("No Dump Written")
                                              : QStringLiteral("No Backup Saved, Chip Unchanged");
    const QRegularExpression count(
        QStringLiteral("^The Two Reads Differ in ([1-9][0-9]*) Bytes?: %1$").arg(nothingDone));
    const QRegularExpressionMatch counted = count.match(logs.at(0).message);
    QVERIFY2(counted.hasMatch(), qPrintable(logs.at(0).message));
    const QRegularExpression range(QStringLiteral("0x([0-9A-F]{6})(?:-0x([0-9A-F]{6}))?"));
    QVERIFY2(logs.at(1).message.startsWith(QLatin1String("First Differing Ranges: ")),
             qPrintable(logs.at(1).message));
    int ranges = 0;
    uint last = 0;
    for (auto it = range.globalMatch(logs.at(1).message); it.hasNext(); ++ranges) {
        const QRegularExpressionMatch match = it.next();
        const uint start = match.captured(1).toUInt(nullptr, 16);
        const uint end =
            match.captured(2).isEmpty() ? start : match.captured(2).toUInt(nullptr, 16);
        QVERIFY(start >= last && end >= start && end < uint(kMiB));
        last = end + 1;
    }
    QCOMPARE(ranges, qMin(3, counted.captured(1).toInt()));
    QCOMPARE(logs.at(2).message, QStringLiteral("Check the Clip's Contact, Keep the Wires Short "
                                                "and Read with the Board Powered Off"));
}

void TestProgrammer::autoSpiClock_data()
{
    QTest::addColumn<uint32_t>("noisyAboveKHz"); // 0: a clean line
    QTest::addColumn<uint32_t>("oneBitIn");      // how noisy above that clock
    QTest::addColumn<QByteArray>("job");
    QTest::addColumn<QString>("settled"); // on a CH347; "None": the job stops
    QTest::newRow("clean wires: 60 MHz") << 0u << 0u << QByteArray("read") << "60 MHz";
    // Identification reads clean at the default 15 MHz; the 64 KiB probes do not.
    QTest::newRow("wires clean only at the slowest clock: 0.468 MHz")
        << 469u << 100000u << QByteArray("read") << "0.468 MHz";
    QTest::newRow("wires noisy at every clock: the job stops")
        << 0u << 100000u << QByteArray("read") << "None";
    QTest::newRow("wires that fail above 15 MHz: read at 15")
        << 15000u << 1000u << QByteArray("read") << "15 MHz";
    QTest::newRow("wires that fail above 15 MHz: verify at 15")
        << 15000u << 1000u << QByteArray("verify") << "15 MHz";
    QTest::newRow("wires that fail above 30 MHz: read at 30")
        << 30000u << 1000u << QByteArray("read") << "30 MHz";
}

// With the clock chosen automatically a CH347 identifies the chip at its default clock, then
// runs the job at the fastest clock that reads the chip's start alike twice; a CH341A's clock is
// fixed and its job runs as ever.
void TestProgrammer::autoSpiClock()
{
    QFETCH(uint32_t, noisyAboveKHz);
    QFETCH(uint32_t, oneBitIn);
    QFETCH(QByteArray, job);
    QFETCH(QString, settled);
    const QByteArray contents = RandomBytes(kMiB, 41);
    m_emulator.setMemory(contents);
    const QString path = m_dir.filePath(QStringLiteral("auto.bin"));
    QFile::remove(path);
    QVERIFY(job == "read" || WriteFile(path, contents));
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    worker.FileName = path;
    worker.AutoSpiClock = true;
    JobRecorder recorder(&worker);
    // The CH341A's slow clock meets no noise that waits for a faster one.
    const bool stops = settled == QLatin1String("None");
    if (stops && !EmulatorHarness::onCh347())
        QSKIP("noise at every clock: nothing to find on a fixed clock");
    m_emulator.chip().setNoisyMiso(oneBitIn, noisyAboveKHz);
    (worker.*(job == "read" ? &CH341::DoReadFlash : &CH341::DoVerifyFlash))();
    m_emulator.chip().setNoisyMiso(0);
    CH341SetSpiClock(0, 0);

    if (stops) {
        QCOMPARE(worker.Outcome(), CH341::JobOutcome::Failed);
        QVERIFY(!QFile::exists(path));
        QVERIFY(recorder.lines().contains(QStringLiteral("Finding a Reliable SPI Clock... None")));
        QCOMPARE(Described(recorder.logs.mid(recorder.logs.size() - 3, 2)),
                 QStringList({"No SPI Clock Reads the Chip Alike Twice|#ff0000|1|n",
                              "Check the Clip's Contact, Keep the Wires Short and Read with the "
                              "Board Powered Off|#ff0000|1|n"}));
        return;
    }
    QCOMPARE(worker.Outcome(), CH341::JobOutcome::Succeeded);
    if (job == "read")
        QCOMPARE(ReadFile(path), contents);
    const QStringList found =
        recorder.lines().filter(QStringLiteral("Finding a Reliable SPI Clock... "));
    if (!EmulatorHarness::onCh347()) {
        QVERIFY(found.isEmpty());
        return;
    }
    QCOMPARE(found, QStringList(QStringLiteral("Finding a Reliable SPI Clock... ") + settled));
    // Identified at the default clock, before the search.
    QVERIFY(recorder.lines().indexOf(QStringLiteral("SPI clock: 15 MHz")) <
            recorder.lines().indexOf(found.first()));
}

void TestProgrammer::lowerClockHint_data()
{
    QTest::addColumn<uint32_t>("kHz");
    QTest::addColumn<QByteArray>("job");
    QTest::addColumn<QString>("hint"); // on a CH347; empty: none
    const QString hint = QStringLiteral("At %1 MHz the Wires May Not Carry the Clock: Try 15 MHz "
                                        "or Auto");
    QTest::newRow("verify mismatch at 30 MHz") << 30000u << QByteArray("verify") << hint.arg(30);
    QTest::newRow("verify mismatch at 15 MHz: no hint") << 15000u << QByteArray("verify") << "";
    QTest::newRow("reads differ at 60 MHz") << 60000u << QByteArray("read") << hint.arg(60);
    QTest::newRow("reads differ at 7.5 MHz: no hint") << 7500u << QByteArray("read") << "";
}

// A difference found at 30 MHz or more ends with one line suggesting a lower clock; a CH341A,
// whose clock is fixed, never gets it.
void TestProgrammer::lowerClockHint()
{
    QFETCH(uint32_t, kHz);
    QFETCH(QByteArray, job);
    QFETCH(QString, hint);
    const QByteArray contents = RandomBytes(kMiB, 51);
    m_emulator.setMemory(contents);
    QByteArray image = contents.left(8192);
    image[100] = char(image.at(100) ^ 0x01);
    const QString path = m_dir.filePath(QStringLiteral("hint.bin"));
    QFile::remove(path);
    QVERIFY(job == "read" || WriteFile(path, image));
    CH341SetSpiClock(0, kHz);
    CH341 worker(false);
    worker.FileName = path;
    worker.ReadTwice = true;
    JobRecorder recorder(&worker);
    m_emulator.chip().setNoisyMiso(job == "read" ? 2000000 : 0);
    (worker.*(job == "read" ? &CH341::DoReadFlash : &CH341::DoVerifyFlash))();
    m_emulator.chip().setNoisyMiso(0);
    CH341SetSpiClock(0, 0);

    QCOMPARE(worker.Outcome(), CH341::JobOutcome::Failed);
    const LogRecord last = recorder.logs.last();
    if (EmulatorHarness::onCh347() && !hint.isEmpty()) {
        QCOMPARE(last.message, hint);
        QCOMPARE(last.colour, QStringLiteral("#ff0000"));
    } else {
        QVERIFY2(!last.message.contains(QLatin1String("Clock")), qPrintable(last.message));
    }
}

void TestProgrammer::verifyJob_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("corruptAt"); // -1: the file is the chip's start
    QTest::addColumn<QString>("lastStatus");
    QTest::addColumn<QString>("address"); // of the first difference, as logged
    // Two and a half chunks of the bridge's whole-chip read (4 KiB on a CH341A, 64 KiB on a
    // CH347); reading stops with the first chunk that differs.
    const int chunk = EmulatorHarness::readChunk();
    const int size = 2 * chunk + chunk / 2;
    const auto read = [size](int end) {
        return QStringLiteral("Read [%1:%2]").arg(end).arg(size);
    };
    const auto hex = [](int address) { return JobLog::hexAddress(uint32_t(address)); };
    QTest::newRow("match") << size << -1 << read(size) << "";
    QTest::newRow("last byte differs") << size << size - 1 << read(size) << hex(size - 1);
    QTest::newRow("second chunk differs")
        << size << chunk + 225 << read(2 * chunk) << hex(chunk + 225);
    QTest::newRow("first byte differs") << size << 0 << read(chunk) << hex(0);
    QTest::newRow("empty file") << 0 << -1 << ""
                                << "";
}

void TestProgrammer::verifyJob()
{
    QFETCH(int, size);
    QFETCH(int, corruptAt);
    QFETCH(QString, lastStatus);
    QFETCH(QString, address);
    const QByteArray contents = RandomBytes(kMiB, 11);
    m_emulator.setMemory(contents);
    QByteArray image = contents.left(size);
    if (corruptAt >= 0)
        image[corruptAt] = char(image.at(corruptAt) ^ 0x10);
    const QString path = m_dir.filePath(QStringLiteral("verify.bin"));
    QVERIFY(WriteFile(path, image));
    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    worker.DoVerifyFlash();

    const QStringList lines = recorder.lines();
    QCOMPARE(lines.at(lines.size() - 3), QStringLiteral("Reading from Chip... OK"));
    if (corruptAt >= 0) {
        const auto byte = [](char value) { return QByteArray(1, value).toHex().toUpper(); };
        QCOMPARE(Described(recorder.logs.mid(recorder.logs.size() - 2)),
                 QStringList({"No Match Found!|#ff0000|1|n",
                              QStringLiteral("First Difference at 0x%1: Chip 0x%2, File 0x%3|"
                                             "#ff0000|1|n")
                                  .arg(address, byte(contents.at(corruptAt)),
                                       byte(image.at(corruptAt)))}));
        QVERIFY(recorder.hexData.isEmpty());
    } else {
        QCOMPARE(Described({recorder.logs.at(recorder.logs.size() - 5)}),
                 QStringList("Match Found!|#008000|1|n"));
        QCOMPARE(lines.last(), ChecksumLine(image));
        QCOMPARE(recorder.hexData, QList<QByteArray>({image}));
        QCOMPARE(recorder.events.mid(recorder.events.size() - 2), QStringList({"hex", "done"}));
    }
    QCOMPARE(recorder.statusTexts.value(recorder.statusTexts.size() - 1), lastStatus);
    QCOMPARE(recorder.values.last(), 0ull);
    QCOMPARE(worker.FileName, path);
}

void TestProgrammer::updateJob_data()
{
    QTest::addColumn<ChipKind>("kind");
    // How the image differs from the chip's random bytes: "sector", "block" (random bytes
    // there), "clear" (bits of 16 bytes cleared) at a hex address, or "all"; "short" ends the
    // image at a hex address, "erased" leaves the chip 0xFF from there on.
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("opcodes");  // erase and program windows, by opcode
    QTest::addColumn<QStringList>("tail"); // the job's last lines, before its checksums
    const ChipKind small = ChipKind::W25Q80DV;
    const QString written = QStringLiteral("Writing to Chip... OK");
    QTest::newRow("identical: nothing erased or programmed")
        << small << ""
        << "20:0 D8:0 C7:0 02:0" << QStringList{"Chip Already Holds the File"};
    QTest::newRow("bits only fall in two pages: those pages programmed, nothing erased")
        << small << "clear 30100 clear 30700"
        << "20:0 D8:0 C7:0 02:2" << QStringList{written};
    QTest::newRow("one sector differs: it is erased and its pages programmed")
        << small << "sector 23000"
        << "20:1 D8:0 C7:0 02:16" << QStringList{"Erasing 1 Sector (4 KiB)... OK", written};
    // SFDP says D8h erases 64 KiB: cheaper than sixteen 20h and their pages.
    QTest::newRow("W25Q64FV: a block and a sector differ, one D8h and one 20h")
        << ChipKind::W25Q64FV << "block 400000 sector 7FF000"
        << "20:1 D8:1 C7:0 02:272"
        << QStringList{"Erasing 1 Sector (4 KiB) and 1 Block (64 KiB)... OK", written};
    QTest::newRow("every sector differs: the whole chip, as the write job")
        << small << "all"
        << "20:0 D8:0 C7:1 02:4096" << QStringList{"Erasing Chip... OK", written};
    QTest::newRow("W25Q256JV: a sector above 16 MiB, by 4-byte address")
        << ChipKind::W25Q256JV << "sector 1FFF000"
        << "20:1 D8:0 C7:0 02:16" << QStringList{"Erasing 1 Sector (4 KiB)... OK", written};
    QTest::newRow("SST25VF016B: one sector, then word AAI from its start")
        << ChipKind::SST25VF016B << "sector 1000"
        << "20:1 D8:0 C7:0 AD:2048" << QStringList{"Erasing 1 Sector (4 KiB)... OK", written};
    // M45PE16 (and the XM25QH16 parts of its identifier) erase 64 KiB by D8h, nothing less.
    QTest::newRow("M45PE16: no 4 KiB erase, the block by D8h")
        << ChipKind::M45PE16 << "sector 23000"
        << "20:0 D8:1 C7:0 02:256" << QStringList{"Erasing 1 Block (64 KiB)... OK", written};
    // The chip ends as the write job leaves it: past a short image, erased. The checksums are
    // the file's.
    QTest::newRow("short image, the chip holds it and 0xFF past it: nothing changed")
        << small << "erased 4B000 short 4B000"
        << "20:0 D8:0 C7:0 02:0" << QStringList{"Chip Already Holds the File"};
    QTest::newRow("short image the chip starts with, old bytes past it: those erased")
        << small << "short 4B000"
        << "20:0 D8:0 C7:1 02:1200" << QStringList{"Erasing Chip... OK", written};
    QTest::newRow("short image, one sector differs, erased past it")
        << small << "erased 4B000 short 4B000 sector 23000"
        << "20:1 D8:0 C7:0 02:16" << QStringList{"Erasing 1 Sector (4 KiB)... OK", written};
    // Its SFDP says D8h erases 256 KiB and there is no 4 KiB erase: only the whole chip is
    // erased, never a 256 KiB sector for a 64 KiB block.
    QTest::newRow("S25FL128S, 256 KiB sectors: a block differs, the whole chip")
        << ChipKind::S25FL128S256K << "erased 80000 short 80000 block 40000"
        << "20:0 D8:0 C7:1 02:2048" << QStringList{"Erasing Chip... OK", written};
    // The sector erase reaches the second die only after its die select.
    QTest::newRow("W25M512JV: a sector of the second die")
        << ChipKind::W25M512JV << "sector 2001000"
        << "20:1 D8:0 C7:0 02:16" << QStringList{"Erasing 1 Sector (4 KiB)... OK", written};
    // AT25F512 erases with 62h and its own 52h only: the whole chip, never a 20h.
    QTest::newRow("AT25F512: the whole chip by 62h")
        << ChipKind::AT25F512 << "sector 1000"
        << "20:0 D8:0 C7:0 62:1 02:256" << QStringList{"Erasing Chip... OK", written};
    // The first 4 KiB erase is read back: a part that ignores 20h is found out at once.
    QTest::newRow("a part that ignores 20h: the whole chip instead")
        << small << "sector 1000 no20h"
        << "20:1 D8:0 C7:1 02:4096"
        << QStringList{"Erasing 1 Sector (4 KiB)... 4 KiB Erase Not Taken: the Whole Chip Instead",
                       "Erasing Chip... OK", written};
}

// The update keeps the chip's contents in a new file before anything changes on the chip, then
// erases and programs only what the image changes and reads back only that.
void TestProgrammer::updateJob()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, change);
    QFETCH(QString, opcodes);
    QFETCH(QStringList, tail);
    m_emulator.install(kind);
    if (change.endsWith(QLatin1String("no20h"))) {
        emu::ChipModel model = m_emulator.chip().model();
        model.sectorEraseCommand = false;
        m_emulator.install(model);
        change.chop(5);
    }
    m_emulator.chip().setStatusRegisters(0x00); // SST parts power up protected
    QByteArray before = RandomBytes(int(m_emulator.memory().size()), 21);
    const QStringList changes = change.split(' ', Qt::SkipEmptyParts);
    for (int i = 0; i + 1 < changes.size(); i += 2) {
        const int at = changes.at(i + 1).toInt(nullptr, 16);
        if (changes.at(i) == "erased")
            before.replace(at, before.size() - at, QByteArray(before.size() - at, char(0xFF)));
    }
    m_emulator.setMemory(before);
    QByteArray image = change == QLatin1String("all") ? RandomBytes(before.size(), 22) : before;
    for (int i = 0; i + 1 < changes.size(); i += 2) {
        const int at = changes.at(i + 1).toInt(nullptr, 16);
        if (changes.at(i) == "short")
            image.truncate(at);
        if (changes.at(i) == "short" || changes.at(i) == "erased")
            continue;
        const int length = changes.at(i) == "block"    ? 65536
                           : changes.at(i) == "sector" ? 4096
                                                       : 16;
        image.replace(at, length, RandomBytes(length, uint(at)));
        for (int k = at; changes.at(i) == "clear" && k < at + length; ++k)
            image[k] = char(before.at(k) & 0x0F);
    }
    QTemporaryDir backupDir;
    QVERIFY(backupDir.isValid());
    const QDir backups(backupDir.filePath(QStringLiteral("LOG/Backup/today")));
    CH341 worker(false);
    worker.FileName = m_dir.filePath(QStringLiteral("update.bin"));
    worker.BackupFolder = backups.path();
    QVERIFY(WriteFile(worker.FileName, image));
    JobRecorder recorder(&worker);
    connect(&worker, &CH341::PartChoice_Question, this,
            [&worker] { worker.AnswerPartChoice(QStringLiteral("AT25F512")); });
    // When the job first announces a change, the backup is whole and the chip has been sent
    // nothing that erases or programs.
    QStringList atFirstChange;
    const auto changing = [](const QByteArray &frame) {
        return QByteArray::fromHex("20D8C76202ADAF").contains(frame.at(0));
    };
    connect(&worker, &CH341::UpdateLogWindow_Text, this, [&](QString message) {
        if (!atFirstChange.isEmpty() || (!message.startsWith(QLatin1String("Erasing")) &&
                                         message != QLatin1String("Writing to Chip... ")))
            return;
        const QList<QByteArray> frames = m_emulator.frames();
        for (const QFileInfo &file : backups.entryInfoList(QDir::Files))
            atFirstChange << (ReadFile(file.filePath()) == before ? "backup" : "other file") +
                                 QString(file.lastModified() <= QDateTime::currentDateTime()
                                             ? " saved before"
                                             : " saved after");
        atFirstChange << QString::number(std::count_if(frames.cbegin(), frames.cend(), changing));
    });
    worker.DoUpdateFlash();

    QCOMPARE(recorder.outcome, CH341::JobOutcome::Succeeded);
    const QStringList lines = recorder.verdictLines();
    QCOMPARE(lines.mid(lines.size() - tail.size()).join(QLatin1Char('\n')),
             tail.join(QLatin1Char('\n')));
    QCOMPARE(recorder.lines().last(), ChecksumLine(image));
    QVERIFY2(m_emulator.memory() == image.leftJustified(before.size(), char(0xFF)),
             "the chip does not hold the image, then erased bytes");
    const bool unchanged = tail == QStringList{"Chip Already Holds the File"};
    QCOMPARE(atFirstChange, unchanged ? QStringList() : QStringList({"backup saved before", "0"}));
    // One backup, named after the part, its path and checksums in the log.
    const QFileInfoList saved = backups.entryInfoList(QDir::Files);
    QCOMPARE(saved.size(), 1);
    QVERIFY(ReadFile(saved.first().filePath()) == before);
    const int savedAt = lines.indexOf(QStringLiteral("Backup of the Chip Saved in:"));
    QVERIFY(savedAt > 0);
    QCOMPARE(lines.mid(savedAt + 1, 3),
             QStringList({QDir::toNativeSeparators(saved.first().absoluteFilePath()),
                          QStringLiteral("To Restore the Chip, Write This File Back to It (Write "
                                         "in the Window, --write FILE on the Command Line)"),
                          ChecksumLine(before)}));
    const auto hint =
        std::find_if(recorder.logs.cbegin(), recorder.logs.cend(), [](const LogRecord &r) {
            return r.message.startsWith(QLatin1String("To Restore the Chip"));
        });
    QVERIFY(hint != recorder.logs.cend());
    QCOMPARE(hint->colour, QStringLiteral("#808080"));
    // Named after the settled part: the one chosen, the one name of the identifier's rows, or
    // where they name different parts the identifier itself.
    const QRegularExpressionMatch name =
        QRegularExpression("^(.+)_(\\d{8}_\\d{6})\\.bin$").match(saved.first().fileName());
    QVERIFY2(name.hasMatch(), qPrintable(saved.first().fileName()));
    QCOMPARE(name.captured(1), SettledName(recorder.lines()));
    QVERIFY(QDateTime::fromString(name.captured(2), QStringLiteral("yyyyMMdd_HHmmss")).isValid());
    if (unchanged)
        QCOMPARE(recorder.logs.at(recorder.logs.size() - 5).colour, QStringLiteral("#008000"));
    QCOMPARE(m_emulator.windowsByOpcode(opcodes), opcodes);
}

void TestProgrammer::shorterFile_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("restErased"); // the chip beyond the file is 0xFF before the job
    QTest::addColumn<QString>("line");    // empty: none
    const QString sizes = QStringLiteral("The File Is Smaller than the Chip (307201 of 1048576 "
                                         "Bytes): ");
    QTest::newRow("write") << "write" << 307201 << false
                           << sizes + "the Rest of the Chip Is Erased";
    QTest::newRow("update, the rest holds data")
        << "update" << 307201 << false
        << sizes + "the Rest of the Chip Is Erased, as Write Leaves It";
    QTest::newRow("update, the rest already erased")
        << "update" << 307201 << true
        << sizes + "the Rest of the Chip Is Erased Already and Stays as It Was";
    QTest::newRow("verify") << "verify" << 307201 << false
                            << sizes +
                                   "Only Its Bytes Are Compared, the Rest of the Chip Is Not Read";
    QTest::newRow("a file as long as the chip") << "update" << kMiB << false << QString();
    QTest::newRow("one byte short") << "write" << kMiB - 1 << false
                                    << "The File Is Smaller than the Chip (1048575 of 1048576 "
                                       "Bytes): the Rest of the Chip Is Erased";
}

// A file shorter than the chip: one line gives both sizes and what becomes of the rest.
void TestProgrammer::shorterFile()
{
    QFETCH(QString, job);
    QFETCH(int, size);
    QFETCH(bool, restErased);
    QFETCH(QString, line);
    QByteArray before = RandomBytes(kMiB, 31);
    if (restErased)
        before.replace(size, kMiB - size, QByteArray(kMiB - size, char(0xFF)));
    m_emulator.setMemory(before);
    const QByteArray image =
        job == QLatin1String("verify") ? before.left(size) : RandomBytes(size, 32);
    CH341 worker(false);
    worker.FileName = m_dir.filePath(QStringLiteral("short.bin"));
    worker.BackupFolder = m_dir.filePath(QStringLiteral("backups"));
    QVERIFY(WriteFile(worker.FileName, image));
    JobRecorder recorder(&worker);
    if (job == QLatin1String("write"))
        worker.DoWriteFlash();
    else if (job == QLatin1String("update"))
        worker.DoUpdateFlash();
    else
        worker.DoVerifyFlash();

    QCOMPARE(recorder.outcome, CH341::JobOutcome::Succeeded);
    const QStringList said = recorder.lines().filter(QStringLiteral("Smaller than the Chip"));
    QCOMPARE(said, line.isEmpty() ? QStringList() : QStringList{line});
    if (job != QLatin1String("verify"))
        QVERIFY(m_emulator.memory() == image + QByteArray(kMiB - size, char(0xFF)));
}

void TestProgrammer::busTranscripts_data()
{
    // What the chip sees of each job: its chip-select windows as text, in
    // transcripts/<row>.txt. How the bridge batches USB traffic must never change a byte or an
    // edge on the SPI bus; a change of the job's commands must be deliberate. After one,
    // VARNOCK_UPDATE_TRANSCRIPTS=1 rewrites the files: review their diff before committing.
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QByteArray>("job");
    QTest::addColumn<int>("imageSize");
    const ChipKind small = ChipKind::W25Q80DV;
    QTest::newRow("identify") << small << QByteArray("id") << 0;
    QTest::newRow("read") << small << QByteArray("read") << 0;
    QTest::newRow("write, some pages blank") << small << QByteArray("write") << 300000;
    QTest::newRow("verify") << small << QByteArray("verify") << 300000;
    QTest::newRow("erase") << small << QByteArray("erase") << 0;
    QTest::newRow("verify, 4-byte addresses")
        << ChipKind::W25Q256JV << QByteArray("verify") << 16 * kMiB + 300;
    // No C7h: a die erase (C4h) for each die the identifier may have, then every byte read back.
    QTest::newRow("erase, dies") << ChipKind::MT25QL01G << QByteArray("erase") << 0;
    // The chip read whole for the backup, the part's SFDP and protection read, then one sector
    // erased, checked blank, programmed and read back.
    QTest::newRow("update, one sector differs") << small << QByteArray("update") << kMiB;
    // Its bytes only, from an address inside a sector, on the connection's configuration: no
    // second RES as the whole-chip read sends. imageSize is the range's length here.
    QTest::newRow("range read") << small << QByteArray("range") << 0x2000;
}

void TestProgrammer::busTranscripts()
{
    QFETCH(ChipKind, kind);
    QFETCH(QByteArray, job);
    QFETCH(int, imageSize);
    m_emulator.install(kind);
    // What the chip holds changes no command; a verify needs it to match.
    QByteArray image = RandomBytes(imageSize, 13);
    if (job == "verify" || job == "update")
        m_emulator.setMemory(image + m_emulator.memory().mid(imageSize));
    if (job == "update")
        image.replace(0x23000, 4096, RandomBytes(4096, 14));
    for (int page = 0; job == "write" && page < imageSize / 256; page += 3)
        image.replace(page * 256, 256, QByteArray(256, char(0xFF)));
    const QString path = m_dir.filePath(QStringLiteral("transcript.bin"));
    QVERIFY(job == "read" || job == "range" || WriteFile(path, image));
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    worker.FileName = path;
    worker.BackupFolder = m_dir.filePath(QStringLiteral("backups"));
    if (job == "range") {
        worker.Regions.source = RegionSelection::Source::Range;
        worker.Regions.offset = 0x1001;
        worker.Regions.length = uint(imageSize);
    }
    JobRecorder recorder(&worker);
    const QHash<QByteArray, void (CH341::*)()> jobs = {
        {"id", &CH341::DoReadID},        {"read", &CH341::DoReadFlash},
        {"write", &CH341::DoWriteFlash}, {"verify", &CH341::DoVerifyFlash},
        {"erase", &CH341::DoEraseFlash}, {"update", &CH341::DoUpdateFlash},
        {"range", &CH341::DoReadFlash}};
    // Traced (but for the 32 MiB chip, whose trace would take some 100 MB): the bus carries
    // what it carries untraced, and the trace holds every OUT transfer the bridge received,
    // byte for byte, with the worker's own trace lines.
    const bool traced = kind == ChipKind::W25Q80DV;
    const QString tracePath = m_dir.filePath(QStringLiteral("trace.txt"));
    std::optional<JobTrace> trace;
    if (traced) {
        m_emulator.link().recordOutTransfers();
        trace.emplace(tracePath, JobTrace::EveryByte, QStringLiteral("busTranscripts"));
        QVERIFY(trace->errorString().isEmpty());
    }
    (worker.*jobs.value(job))();
    trace.reset();
    if (traced) {
        QList<QByteArray> received;
        for (const std::vector<uint8_t> &transfer : m_emulator.link().receivedOut())
            received << QByteArray(reinterpret_cast<const char *>(transfer.data()),
                                   int(transfer.size()));
        QVERIFY(!received.isEmpty());
        QCOMPARE(TracedOut(tracePath), received);
        QVERIFY(ReadFile(tracePath).contains("varnock.trace: chipver "));
    }
    // An erase shows one status while the chip erases, then its blank check's reads.
    if (job == "erase") {
        const int erasing =
            recorder.statusTexts.count(QStringLiteral("Chip Erasing in Progress."));
        QVERIFY(erasing > 0);
        QCOMPARE(recorder.statusTexts.mid(erasing).filter(QStringLiteral("Read [")).size(),
                 recorder.statusTexts.size() - erasing);
    }

    QList<int> windows;
    const QStringList actual = Transcript(m_emulator.frames(), &windows);
    // The CH347 reads whole chips in larger commands than the CH341A: where its bus differs,
    // its transcript is its own, in transcripts/ch347/.
    const QString name =
        QString(QTest::currentDataTag()).replace(QRegularExpression("[^A-Za-z0-9]+"), "-") +
        QStringLiteral(".txt");
    const QString shared = QStringLiteral(VARNOCK_TRANSCRIPTS "/") + name;
    const QString own = QStringLiteral(VARNOCK_TRANSCRIPTS "/ch347/") + name;
    const QByteArray text = actual.join('\n').toUtf8() + '\n';
    if (qEnvironmentVariableIntValue("VARNOCK_UPDATE_TRANSCRIPTS")) {
        if (!EmulatorHarness::onCh347())
            QVERIFY(WriteFile(shared, text));
        else if (ReadFile(shared) != text)
            QVERIFY(WriteFile(own, text));
        else
            QFile::remove(own);
    }
    const QString file = EmulatorHarness::onCh347() && QFileInfo::exists(own) ? own : shared;
    const QStringList expected = QString::fromUtf8(ReadFile(file)).split('\n', Qt::SkipEmptyParts);
    int line = 0;
    while (line < actual.size() && line < expected.size() && actual.at(line) == expected.at(line))
        ++line;
    if (line < actual.size() || line < expected.size())
        QFAIL(qPrintable(
            QStringLiteral("the bus traffic changed at chip-select window %1 (line "
                           "%2 of %3)\n   expected: %4\n   actual:   %5")
                .arg(windows.value(line, m_emulator.frames().size()))
                .arg(line + 1)
                .arg(file, expected.value(line, "<end>"), actual.value(line, "<end>"))));
}

QStringList TestProgrammer::WriteJob(CH341 &worker, const QByteArray &image, QStringList *events)
{
    worker.FileName = m_dir.filePath(QStringLiteral("image.bin"));
    if (!WriteFile(worker.FileName, image))
        return {QStringLiteral("cannot write the image file")};
    JobRecorder recorder(&worker);
    connect(&worker, &CH341::ClearProtection_Question, this,
            [&worker] { worker.AnswerClearProtection(true); });
    worker.DoWriteFlash();
    if (events)
        *events = recorder.events;
    // A good write ends with the image's checksums.
    return recorder.lines().last() == ChecksumLine(image) ? recorder.verdictLines()
                                                          : recorder.lines();
}

void TestProgrammer::aaiInterrupted_data()
{
    QTest::addColumn<bool>("powerLost"); // else one USB exchange times out
    QTest::addColumn<QString>("last");
    QTest::newRow("chip reset mid-write: the AAI check stops the job")
        << true << "Writing to Chip... Programming Failed: Chip Left AAI Mode before 0x000200";
    QTest::newRow("USB time-out mid-write: the next job's write disable ends AAI mode")
        << false << "Writing to Chip... Programmer Transfer Failed!";
}

// An SST write that loses its AAI run says so. After a failed transfer nothing more may reach
// the chip, so the next job ends AAI mode first: else it finds a chip that answers no
// identification.
void TestProgrammer::aaiInterrupted()
{
    QFETCH(bool, powerLost);
    QFETCH(QString, last);
    m_emulator.install(ChipKind::SST25VF016B);
    m_emulator.chip().setStatusRegisters(0x00);
    CH341 worker(false);
    connect(&worker, &CH341::Set_Label_Status_TEXT, this, [this, powerLost](QString text) {
        if (text != QLatin1String("Write [256 / 4096]"))
            return;
        if (powerLost)
            m_emulator.chip().powerCycle();
        else
            m_emulator.link().timeOutNextExchange();
    });
    QCOMPARE(WriteJob(worker, RandomBytes(4096, 16)).last(), last);
    QCOMPARE(m_emulator.chip().isAaiMode(), !powerLost);
    CH341 next(false);
    JobRecorder recorder(&next);
    next.DoReadID();
    QVERIFY2(recorder.lines().contains(
                 QStringLiteral("Vendor: SST Part no: SST25VF016B Capacity (Byte): 2097152")),
             "the next job did not identify the chip");
    QVERIFY2(!m_emulator.chip().isAaiMode(), "the next job left the chip in AAI mode");
}

// Above 16 MiB every page goes out with a 4-byte address; the chip ends in 3-byte mode.
void TestProgrammer::writeAbove16MiB()
{
    m_emulator.install(ChipKind::W25Q256JV);
    const int size = 16 * kMiB + 3 * 256;
    QByteArray image = RandomBytes(size, 15);
    // Pages of 0xFF but for their last byte still need programming, below and above 16 MiB.
    for (const int page : {16 * kMiB - 256, 16 * kMiB + 256})
        image.replace(page, 255, QByteArray(255, char(0xFF)));
    CH341 worker(false);
    QCOMPARE(WriteJob(worker, image).last(), QStringLiteral("Writing to Chip... OK"));
    QVERIFY2(m_emulator.memory() == image + QByteArray(32 * kMiB - size, char(0xFF)),
             "the chip does not hold the image written with 4-byte addresses");
    QVERIFY2(!m_emulator.chip().isFourByteMode(), "the write left the chip in 4-byte mode");
}

// A page program at the datasheet's longest (3 ms) outlasts the bridge's pause: the status read
// after it finds the chip busy, and the host stalls past the wait's deadline (0 here) before
// the wait's first poll. The chip has finished by then: the page is good, not timed out.
// The signals: the erase's polls, the bar's maximum before its 0 and a status and value per
// page, then the read-back's 0 before its maximum.
void TestProgrammer::pageDoneWhileHostStalled()
{
    emu::ChipModel model = emu::w25q80dv();
    model.pageProgramNs = 3 * emu::VirtualClock::kNsPerMs;
    m_emulator.install(std::make_unique<StallingLink>(model, EmulatorHarness::bridge()));
    const QByteArray image = RandomBytes(1024, 17);
    CH341 worker(false);
    worker.PageProgramTimeoutMs = 0;
    QStringList events;
    QCOMPARE(WriteJob(worker, image, &events).last(), QStringLiteral("Writing to Chip... OK"));
    QCOMPARE(m_emulator.memory().left(image.size()), image);
    const QRegularExpression order("^(log )+(status )*(log )+max value (status value ){4}value "
                                   "max status value (log )+done$");
    QVERIFY2(order.match(events.join(' ')).hasMatch(), qPrintable(events.join(' ')));
}

void TestProgrammer::rangeJobs_data()
{
    QTest::addColumn<QByteArray>("job");
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<uint>("offset");
    QTest::addColumn<uint>("length");
    // write and update: the erase commands sent; verify: the address the file differs at.
    QTest::addColumn<QString>("expected");
    const ChipKind small = ChipKind::W25Q80DV;
    const ChipKind dies = ChipKind::W25M512JV;
    const ChipKind large = ChipKind::W25Q256JV;
    QTest::newRow("read, both ends inside a sector")
        << QByteArray("read") << small << 0x1001u << 0xFFEu << "";
    QTest::newRow("read across the dies")
        << QByteArray("read") << dies << 0x1FFF800u << 0x1000u << "";
    QTest::newRow("read above 16 MiB")
        << QByteArray("read") << large << 0x1000100u << 0x100u << "";
    QTest::newRow("verify, unaligned: match")
        << QByteArray("verify") << small << 0x1001u << 0xFFEu << "";
    QTest::newRow("verify, the range's last byte differs")
        << QByteArray("verify") << small << 0x1001u << 0xFFEu << "0x001FFE";
    QTest::newRow("verify across the dies, the second die differs")
        << QByteArray("verify") << dies << 0x1FFF800u << 0x1000u << "0x2000000";
    QTest::newRow("write, an aligned sector")
        << QByteArray("write") << small << 0x20000u << 0x1000u << "20020000";
    // The sector's first and last bytes are the chip's own again after its erase.
    QTest::newRow("write, both ends inside a sector")
        << QByteArray("write") << small << 0x1001u << 0xFFEu << "20001000";
    // From page offset 0xF0 across the page's end: no wrap to the page's start.
    QTest::newRow("update, across a page end")
        << QByteArray("update") << small << 0x300F0u << 0x20u << "20030000";
    // Each die's sector by its address in the die, after the die select.
    QTest::newRow("write across the dies")
        << QByteArray("write") << dies << 0x1FFF800u << 0x1000u << "2001fff000 2000000000";
    QTest::newRow("write above 16 MiB, by 4-byte address")
        << QByteArray("write") << large << 0x1000100u << 0x100u << "2001000000";
    // Parts of other erase sizes: 64 KiB by D8h alone, and no unit erase at all (D8h of
    // 256 KiB, no 20h), where the whole chip is erased and written back with the range.
    QTest::newRow("write, a part with 64 KiB erases only")
        << QByteArray("write") << ChipKind::M45PE16 << 0x1FF00u << 0x200u << "d8010000 d8020000";
    QTest::newRow("write, a part without unit erases")
        << QByteArray("write") << ChipKind::S25FL128S256K << 0x40F00u << 0x200u << "c7";
    // The same jobs over an area of the FMAP the chip holds at its middle (--fmap --include):
    // the dump is the whole chip with 0xFF outside the area, the write takes the area's bytes
    // from the image at their own offsets.
    QTest::newRow("fmap read, both ends inside a sector")
        << QByteArray("fmap read") << small << 0x30100u << 0x1E00u << "";
    QTest::newRow("fmap write, both ends inside a sector")
        << QByteArray("fmap write") << small << 0x30100u << 0x1E00u << "20030000 20031000";
    // The area shares its sector with the map's header, which the write keeps.
    QTest::newRow("fmap write above 16 MiB, beside the map")
        << QByteArray("fmap write") << large << 0x1000100u << 0x100u << "2001000000";
}

// A range: the dump holds just it, verify compares the file from its offset, a write changes
// only its bytes (the units it touches erased and the rest of them programmed back).
void TestProgrammer::rangeJobs()
{
    QFETCH(QByteArray, job);
    QFETCH(ChipKind, kind);
    QFETCH(uint, offset);
    QFETCH(uint, length);
    QFETCH(QString, expected);
    m_emulator.install(kind);
    const int chipSize = int(m_emulator.memory().size());
    QByteArray before = RandomBytes(chipSize, 41);
    const bool fmap = job.startsWith("fmap ");
    const QString area = QStringLiteral("RW_VPD");
    if (fmap) {
        job = job.mid(5);
        const quint32 map = quint32(chipSize / 2);
        const QByteArray header = regionimages::FmapImage(
            {{"FMAP", map, 0x100}, {area, offset, length}}, quint32(chipSize));
        before.replace(int(map), header.size(), header);
    }
    m_emulator.setMemory(before);
    const bool writes = job == "write" || job == "update";
    QByteArray file = writes ? RandomBytes(fmap ? chipSize : int(length), 42)
                             : before.mid(int(offset), int(length));
    // The area's bytes as the dump or the chip holds them.
    const QByteArray inArea = fmap && writes ? file.mid(int(offset), int(length)) : file;
    if (fmap && !writes)
        file = QByteArray(chipSize, char(0xFF)).replace(int(offset), int(length), inArea);
    if (job == "verify" && !expected.isEmpty())
        file[expected.toInt(nullptr, 16) - int(offset)] =
            char(~before.at(expected.toInt(nullptr, 16)));
    CH341 worker(false);
    worker.FileName = m_dir.filePath(QStringLiteral("range.bin"));
    worker.BackupFolder = m_dir.filePath(QStringLiteral("backups"));
    worker.Regions.source = fmap ? RegionSelection::Source::Fmap : RegionSelection::Source::Range;
    worker.Regions.offset = offset;
    worker.Regions.length = length;
    if (fmap)
        worker.Regions.included = {{area, {}}};
    QVERIFY(job == "read" || WriteFile(worker.FileName, file));
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    JobRecorder recorder(&worker);
    const QHash<QByteArray, void (CH341::*)()> jobs = {{"read", &CH341::DoReadFlash},
                                                       {"write", &CH341::DoWriteFlash},
                                                       {"verify", &CH341::DoVerifyFlash},
                                                       {"update", &CH341::DoUpdateFlash}};
    (worker.*jobs.value(job))();

    const bool differs = job == "verify" && !expected.isEmpty();
    QCOMPARE(recorder.outcome, differs ? CH341::JobOutcome::Failed : CH341::JobOutcome::Succeeded);
    const QString range =
        (fmap ? QStringLiteral("Region %1: ").arg(area) : QStringLiteral("Range: ")) +
        RangeText({{}, offset, offset + length - 1});
    QVERIFY2(recorder.lines().contains(range), qPrintable(recorder.lines().join('\n')));
    if (job == "read") {
        QVERIFY(ReadFile(m_dir.filePath(QStringLiteral("range.bin"))) == file);
        QCOMPARE(recorder.lines().last(), ChecksumLine(file));
    } else if (job == "verify") {
        QCOMPARE(recorder.verdictLines().filter(QStringLiteral("Match Found!")).size(), 1);
        if (differs)
            QVERIFY2(recorder.lines().last().startsWith(
                         QStringLiteral("First Difference at %1:").arg(expected)),
                     qPrintable(recorder.lines().last()));
    } else {
        // Every byte outside the range is the chip's own, and only the touched units were erased.
        QByteArray after = before;
        after.replace(int(offset), int(length), inArea);
        QVERIFY2(m_emulator.memory() == after, "bytes outside the range changed");
        QCOMPARE(EraseFrames(m_emulator.frames()).join(' '), expected);
        QCOMPARE(recorder.lines().last(), ChecksumLine(file));
    }
    QVERIFY2(!m_emulator.chip().isFourByteMode(), "the job left the chip in 4-byte mode");
}

void TestProgrammer::descriptorRegions_data()
{
    QTest::addColumn<QString>("include");
    // How the image's descriptor differs from the chip's: "" none, "bios" its base moved, "pd"
    // an unused region made used.
    QTest::addColumn<QString>("moved");
    QTest::addColumn<bool>("force");
    QTest::addColumn<QString>("refusal"); // empty: written
    QTest::newRow("bios, the descriptors alike: the ME and GbE kept") << "bios"
                                                                      << "" << false << "";
    QTest::newRow("bios and me") << "bios me"
                                 << "" << false << "";
    QTest::newRow("bios, the image's bios region moved: refused")
        << "bios"
        << "bios" << false
        << "The Image's Flash Descriptor Does Not Fit the Chip's: bios Differs: Nothing Was "
           "Erased (--force-layout Writes It Anyway)";
    QTest::newRow("gbe, the image's pd region differs and fd is not written: refused")
        << "gbe"
        << "pd" << false
        << "The Image's Flash Descriptor Does Not Fit the Chip's: fd, pd Differ: Nothing Was "
           "Erased (--force-layout Writes It Anyway)";
    QTest::newRow("bios moved, forced") << "bios"
                                        << "bios" << true << "";
}

// A write of descriptor regions: the chip's own descriptor names them, the image's must agree
// with it, and everything else on the chip stays as it was.
void TestProgrammer::descriptorRegions()
{
    using namespace regionimages;
    QFETCH(QString, include);
    QFETCH(QString, moved);
    QFETCH(bool, force);
    QFETCH(QString, refusal);
    m_emulator.install(ChipKind::W25Q64FV);
    const QByteArray before = BiosImage(Generation::Ich8);
    m_emulator.setMemory(before);
    QByteArray image = before;
    // A sector of each region the image changes.
    image.replace(0x100000, 4096, RandomBytes(4096, 51));            // me
    image.replace(0x300000, 6, QByteArray::fromHex("0a0b0c0d0e0f")); // gbe: another MAC
    image.replace(0x400000, 4096, RandomBytes(4096, 52));            // bios
    if (moved == "bios")
        PutDword(image, kRegionSection + 4, RegionRegister(0x400000, 0x7FFFFF));
    if (moved == "pd")
        PutDword(image, kRegionSection + 16, RegionRegister(0x302000, 0x303FFF));
    CH341 worker(false);
    worker.FileName = m_dir.filePath(QStringLiteral("bios.bin"));
    worker.BackupFolder = m_dir.filePath(QStringLiteral("backups"));
    QVERIFY(WriteFile(worker.FileName, image));
    worker.Regions.source = RegionSelection::Source::Descriptor;
    for (const QString &name : include.split(' '))
        worker.Regions.included.append({name, {}});
    worker.Regions.forceLayout = force;
    JobRecorder recorder(&worker);
    worker.DoWriteFlash();

    QByteArray after = before;
    const QHash<QString, FlashRegion> regions = {{"bios", {"bios", 0x302000, 0x7FFFFF}},
                                                 {"me", {"me", 0x1000, 0x2FFFFF}},
                                                 {"gbe", {"gbe", 0x300000, 0x301FFF}}};
    for (const QString &name : include.split(' '))
        after.replace(int(regions[name].start), int(regions[name].size()),
                      image.mid(int(regions[name].start), int(regions[name].size())));
    const QStringList lines = recorder.lines();
    if (!refusal.isEmpty()) {
        QCOMPARE(recorder.outcome, CH341::JobOutcome::Failed);
        QCOMPARE(lines.last(), refusal);
        QCOMPARE(recorder.logs.last().colour, QStringLiteral("#ff0000"));
        QVERIFY2(m_emulator.memory() == before, "the chip changed");
        QCOMPARE(EraseFrames(m_emulator.frames()), QStringList());
        return;
    }
    QCOMPARE(recorder.outcome, CH341::JobOutcome::Succeeded);
    for (const QString &name : include.split(' '))
        QVERIFY(
            lines.contains(QStringLiteral("Region %1: %2").arg(name, RangeText(regions[name]))));
    QCOMPARE(lines.filter(QStringLiteral("Written Anyway (--force-layout)")).size(),
             force ? 1 : 0);
    QVERIFY2(m_emulator.memory() == after, "bytes outside the included regions changed");
}

void TestProgrammer::eepromJobs_data()
{
    QTest::addColumn<QString>("model"); // the emulated part
    QTest::addColumn<QString>("part");  // --part
    QTest::addColumn<QByteArray>("job");
    // "short": the image ends past the middle; "last byte": the image is the chip's bytes with
    // the last one changed; "same": the chip's bytes; "protected"/"locked": BP1:BP0 set (with
    // WPEN and WP# low), "yes"/"no" the answer; "nochip": an empty socket.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("writes");       // WRITE windows; -1: not counted
    QTest::addColumn<QStringList>("tail"); // the last lines before the checksums
    const QString written = QStringLiteral("Writing to Chip... OK");
    const QStringList timedOut{"Writing to Chip... Operation Timed Out: Chip Still Busy!"};
    QTest::newRow("25LC640 read") << "25LC640"
                                  << "25LC640" << QByteArray("read") << "" << 0 << QStringList();
    QTest::newRow("25LC640 write: every page")
        << "25LC640"
        << "25LC640" << QByteArray("write") << "" << 256 << QStringList{written};
    QTest::newRow("25LC640 write, short image: the last page partly, the rest unchanged")
        << "25LC640"
        << "25LC640" << QByteArray("write") << "short" << 129
        << QStringList{"The File Is Smaller than the Chip (4099 of 8192 Bytes): the Rest of the "
                       "Chip Is Unchanged",
                       written};
    QTest::newRow("25LC640 verify") << "25LC640"
                                    << "25LC640" << QByteArray("verify") << "same" << 0
                                    << QStringList{"Reading from Chip... OK", "Match Found!"};
    QTest::newRow("25LC640 erase: every page 0xFF")
        << "25LC640"
        << "25LC640" << QByteArray("erase") << "" << 256 << QStringList{"Erasing Chip... OK"};
    QTest::newRow("25LC640 update: only the last page")
        << "25LC640"
        << "25LC640" << QByteArray("update") << "last byte" << 1 << QStringList{written};
    QTest::newRow("25LC640 write, the write cycle never ends: timed out after the first page")
        << "25LC640"
        << "25LC640" << QByteArray("write") << "busy" << 1 << timedOut;
    QTest::newRow("25LC640 update, identical: nothing written")
        << "25LC640"
        << "25LC640" << QByteArray("update") << "same" << 0
        << QStringList{"Chip Already Holds the File"};
    QTest::newRow("25040 write: A8 in the opcode")
        << "25040"
        << "CAT25040" << QByteArray("write") << "" << 32 << QStringList{written};
    QTest::newRow("25040 read") << "25040"
                                << "CAT25040" << QByteArray("read") << "" << 0 << QStringList();
    QTest::newRow("25040 update: only the last page")
        << "25040"
        << "CAT25040" << QByteArray("update") << "last byte" << 1 << QStringList{written};
    QTest::newRow("protected, cleared with consent")
        << "25LC640"
        << "25LC640" << QByteArray("write") << "protected yes" << 256
        << QStringList{"Clearing Write Protection... OK", written};
    QTest::newRow("protected, the operator says no")
        << "25LC640"
        << "25LC640" << QByteArray("erase") << "protected no" << 0
        << QStringList{"Chip is Write Protected! Status Register: 0x0C"};
    QTest::newRow("WPEN with WP# low: locked")
        << "25LC640"
        << "25LC640" << QByteArray("write") << "locked yes" << 0
        << QStringList{"Clearing Write Protection... Protection Locked: Status Register "
                       "Protected and WP# Pin Low! Status Register: 0x8C"};
    QTest::newRow("empty socket: does not answer")
        << "25LC640"
        << "25LC640" << QByteArray("read") << "nochip" << 0
        << QStringList{"The Chip Does Not Answer: Status Register 0xFF or 0x00, No Write Enable "
                       "Seen",
                       "Check the Chip Sits in the 25xx (SPI) Position of the Socket, Pin 1 as "
                       "Marked, and the Adapter or Clip",
                       "Failed to Initialize CH341 Programmer."};
    // 24xx on the I2C bus: "writes" counts write cycles; the rows' pages (1 byte on the 24C02,
    // 128 on the 24C1024) are within the parts' page buffers.
    for (const char *name : {"24C02", "24C16", "24C256", "24C1024"}) {
        const QString part = QLatin1String(name);
        const int size = int(emu::findChipModel(name)->sizeBytes);
        const int page = part == "24C02" ? 1 : part == "24C16" ? 16 : part == "24C256" ? 64 : 128;
        const auto row = [&](const char *what) -> QTestData & {
            return QTest::newRow(qPrintable(part + QLatin1Char(' ') + QLatin1String(what)))
                   << part << part;
        };
        row("read") << QByteArray("read") << "" << 0 << QStringList();
        row("write: every page") << QByteArray("write") << "" << size / page
                                 << QStringList{written};
        row("write, short image") << QByteArray("write") << "short"
                                  << (size / 2 + 3 + page - 1) / page
                                  << QStringList{QStringLiteral("The File Is Smaller than the "
                                                                "Chip (%1 of %2 Bytes): the "
                                                                "Rest of the Chip Is Unchanged")
                                                     .arg(size / 2 + 3)
                                                     .arg(size),
                                                 written};
        row("verify") << QByteArray("verify") << "same" << 0
                      << QStringList{"Reading from Chip... OK", "Match Found!"};
        row("erase") << QByteArray("erase") << "" << size / page
                     << QStringList{"Erasing Chip... OK"};
        row("update: only the last page")
            << QByteArray("update") << "last byte" << 1 << QStringList{written};
    }
    // The pages on both sides of a block-select boundary: the block bits in the device address.
    QTest::newRow("24C16 update across blocks 0 and 1")
        << "24C16"
        << "24C16" << QByteArray("update") << "across 256" << 2 << QStringList{written};
    QTest::newRow("24C1024 update across the upper 64 KiB")
        << "24C1024"
        << "24C1024" << QByteArray("update") << "across 65536" << 2 << QStringList{written};
    const QStringList silent{"The Chip Does Not Answer: No Acknowledge to Its I2C Device Address",
                             "Check the Chip Sits in the 24xx (I2C) Position of the Socket, Pin 1 "
                             "as Marked, and the Adapter",
                             "Failed to Initialize CH341 Programmer."};
    QTest::newRow("24C256 empty socket: does not answer")
        << "24C256"
        << "24C256" << QByteArray("read") << "nochip" << 0 << silent;
    QTest::newRow("24C256 chosen, a 25xx in the socket: does not answer")
        << "25LC640"
        << "24C256" << QByteArray("write") << "wrong" << 0 << silent;
    QTest::newRow("24C256 write, the write cycle never ends: timed out after the first page")
        << "24C256"
        << "24C256" << QByteArray("write") << "busy" << 1 << timedOut;
    QTest::newRow("24C256 WP pin high: the read-back finds the chip unchanged")
        << "24C256"
        << "24C256" << QByteArray("write") << "wp" << 0
        << QStringList{"Writing to Chip... Verify Failed at 0x000000: Chip 0xA8, File 0xD5",
                       "A 24xx Part Keeps Its Bytes While Its WP Pin (7) Is High: Check the Pin "
                       "Is Tied Low"};
    // 93xx: every job in both organisations; the writes are the words programmed. On the CH347
    // every row ends in the bridge's refusal instead.
    QTest::newRow("93C46-x16 read") << "93C46-x16"
                                    << "M93C46" << QByteArray("read") << "" << 0 << QStringList();
    QTest::newRow("93C46-x16 write: every word")
        << "93C46-x16"
        << "M93C46-x16" << QByteArray("write") << "" << 64 << QStringList{written};
    QTest::newRow("93C46-x16 write, short image: the last word's second byte kept")
        << "93C46-x16"
        << "M93C46" << QByteArray("write") << "short" << 34
        << QStringList{"The File Is Smaller than the Chip (67 of 128 Bytes): the Rest of the "
                       "Chip Is Unchanged",
                       written};
    QTest::newRow("93C46-x16 verify") << "93C46-x16"
                                      << "M93C46" << QByteArray("verify") << "same" << 0
                                      << QStringList{"Reading from Chip... OK", "Match Found!"};
    QTest::newRow("93C46-x16 erase word by word, ERAL unreliable at 3.3 V")
        << "93C46-x16"
        << "M93C46" << QByteArray("erase") << "eral unreliable" << 64
        << QStringList{"Erasing Chip... OK"};
    QTest::newRow("93C46-x16 update: only the last word")
        << "93C46-x16"
        << "M93C46" << QByteArray("update") << "last byte" << 1 << QStringList{written};
    QTest::newRow("93C46-x16 update, identical: nothing written")
        << "93C46-x16"
        << "M93C46" << QByteArray("update") << "same" << 0
        << QStringList{"Chip Already Holds the File"};
    QTest::newRow("93C46-x8 read")
        << "93C46-x8"
        << "M93C46-x8" << QByteArray("read") << "" << 0 << QStringList();
    QTest::newRow("93C46-x8 write, short image")
        << "93C46-x8"
        << "M93C46-x8" << QByteArray("write") << "short" << 67
        << QStringList{"The File Is Smaller than the Chip (67 of 128 Bytes): the Rest of the "
                       "Chip Is Unchanged",
                       written};
    QTest::newRow("93C46-x8 erase")
        << "93C46-x8"
        << "M93C46-x8" << QByteArray("erase") << "" << 128 << QStringList{"Erasing Chip... OK"};
    QTest::newRow("93C46-x8 update: only the last byte")
        << "93C46-x8"
        << "M93C46-x8" << QByteArray("update") << "last byte" << 1 << QStringList{written};
    QTest::newRow("93C86-x16 read") << "93C86-x16"
                                    << "M93C86" << QByteArray("read") << "" << 0 << QStringList();
    QTest::newRow("93C86-x16 write")
        << "93C86-x16"
        << "M93C86" << QByteArray("write") << "" << 1024 << QStringList{written};
    QTest::newRow("93C86-x16 update: only the last word")
        << "93C86-x16"
        << "M93C86" << QByteArray("update") << "last byte" << 1 << QStringList{written};
    QTest::newRow("93C86-x8 read")
        << "93C86-x8"
        << "M93C86-x8" << QByteArray("read") << "" << 0 << QStringList();
    QTest::newRow("93C86-x8 write: eleven address bits")
        << "93C86-x8"
        << "M93C86-x8" << QByteArray("write") << "" << 2048 << QStringList{written};
    QTest::newRow("93C86-x8 verify") << "93C86-x8"
                                     << "M93C86-x8" << QByteArray("verify") << "same" << 0
                                     << QStringList{"Reading from Chip... OK", "Match Found!"};
    QTest::newRow("93C86-x8 erase")
        << "93C86-x8"
        << "M93C86-x8" << QByteArray("erase") << "" << 2048 << QStringList{"Erasing Chip... OK"};
    QTest::newRow("93C46-x16 write, the write cycle never ends: timed out after the first word")
        << "93C46-x16"
        << "M93C46" << QByteArray("write") << "busy" << 1 << timedOut;
    QTest::newRow("93C46 empty socket: does not answer")
        << "93C46-x16"
        << "M93C46" << QByteArray("read") << "nochip" << 0
        << QStringList{"The Chip Does Not Answer: No Dummy 0 Before the Data of a Read, DO Stays "
                       "High",
                       "Check the Chip Sits in the 93xx Adapter in the 25xx Position of the "
                       "Socket, Pin 1 as Marked",
                       "Failed to Initialize CH341 Programmer."};
}

namespace {
// How the job reaches each part of eepromJobs, by the name chosen.
QString ReachedBy(const QString &part)
{
    if (part == "CAT25040")
        return "SPI (25xx EEPROM), 1-Byte Addresses and A8 in the Opcode, 16-Byte Pages";
    if (part == "25LC640")
        return "SPI (25xx EEPROM), 2-Byte Addresses, 32-Byte Pages";
    if (part.startsWith(QLatin1String("M93C"))) {
        const int x16Bits = part.startsWith(QLatin1String("M93C46")) ? 6 : 10;
        const bool x8 = part.endsWith(QLatin1String("-x8"));
        return QStringLiteral("Microwire (93xx EEPROM), %1 Address Bits (x%2)")
            .arg(x16Bits + (x8 ? 1 : 0))
            .arg(x8 ? 8 : 16);
    }
    const QString i2c = QStringLiteral("I2C (24xx EEPROM), ");
    if (part == "24C02")
        return i2c + "1-Byte Addresses, 1-Byte Pages";
    if (part == "24C16")
        return i2c + "1-Byte Addresses and 3 Block-Select Bits in the Device Address, 16-Byte "
                     "Pages";
    if (part == "24C256")
        return i2c + "2-Byte Addresses, 64-Byte Pages";
    return i2c + "2-Byte Addresses and 1 Block-Select Bit in the Device Address, 128-Byte Pages";
}
} // namespace

// An EEPROM chosen by name: no identification, page writes with a WREN each, never across a
// page, every write read back; the chip ends as the job says.
void TestProgrammer::eepromJobs()
{
    QFETCH(QString, model);
    QFETCH(QString, part);
    QFETCH(QByteArray, job);
    QFETCH(QString, setup);
    QFETCH(int, writes);
    QFETCH(QStringList, tail);
    // "busy": a part whose write cycle never ends; the job gives up after the first page.
    const bool neverReady = setup == QLatin1String("busy");
    constexpr uint64_t kForeverNs = UINT64_MAX / 4;
    std::optional<emu::SpiEepromModel> spiModel = emu::findSpiEepromModel(model.toStdString());
    int firstPage = 0;
    if (spiModel) {
        firstPage = int(spiModel->pageSize);
        spiModel->writeCycleNs = neverReady ? kForeverNs : spiModel->writeCycleNs;
        m_emulator.install(*spiModel);
    } else {
        emu::ChipModel chipModel = *emu::findChipModel(model.toStdString());
        chipModel.writeCycleNs = neverReady ? kForeverNs : chipModel.writeCycleNs;
        firstPage = int(chipModel.pageSize);
        m_emulator.install(chipModel);
    }
    emu::SpiEeprom *spi = m_emulator.link().spiEeprom();
    emu::I2cEeprom *i2c = m_emulator.link().i2cEeprom();
    emu::MicrowireEeprom *wire = m_emulator.link().microwireEeprom();
    m_emulator.link().setNoChip(setup == QLatin1String("nochip"));
    if (setup.startsWith(QLatin1String("protected")))
        spi->setStatusBits(emu::SpiEeprom::kStatusBlockProtect);
    if (setup.startsWith(QLatin1String("locked"))) {
        spi->setStatusBits(emu::SpiEeprom::kStatusBlockProtect | emu::SpiEeprom::kStatusWpen);
        spi->setWriteProtectPin(false);
    }
    if (setup == QLatin1String("wp"))
        i2c->setWriteProtectPin(true);
    if (wire)
        wire->setEraseAllUnreliable(setup == QLatin1String("eral unreliable"));
    // The CH347 has no documented Microwire interface: it refuses before anything is sent.
    const bool refused = wire && EmulatorHarness::onCh347();
    if (refused)
        tail = QStringList{"The CH347T has no documented Microwire interface: 93xx EEPROMs are "
                           "reached through a CH341A.",
                           "Failed to Initialize CH341 Programmer."};
    quint64 transfersAtRefusal = 0;
    const int size = int(m_emulator.memory().size());
    const QByteArray before = RandomBytes(size, 5);
    m_emulator.setMemory(before);
    QByteArray image = setup == QLatin1String("same") ? before : RandomBytes(size, 6);
    if (setup == QLatin1String("short"))
        image.truncate(size / 2 + 3);
    if (setup == QLatin1String("last byte") || setup.startsWith(QLatin1String("across"))) {
        image = before;
        const int at = setup == QLatin1String("last byte") ? size - 1 : setup.mid(7).toInt();
        image[at] = char(~image.at(at));
        if (setup != QLatin1String("last byte"))
            image[at - 1] = char(~image.at(at - 1));
    }
    QTemporaryDir backups;
    CH341 worker(false);
    worker.PartName = part;
    worker.FileName = m_dir.filePath(QStringLiteral("eeprom.bin"));
    worker.BackupFolder = backups.path();
    QVERIFY(job == "read" || WriteFile(worker.FileName, image));
    JobRecorder recorder(&worker);
    connect(&worker, &CH341::ClearProtection_Question, this,
            [&] { worker.AnswerClearProtection(setup.endsWith(QLatin1String("yes"))); });
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    if (spi)
        spi->clearFrames();
    connect(&worker, &CH341::UpdateLogWindow_Text, this, [&](const QString &message) {
        if (message.startsWith(QLatin1String("The CH347")))
            transfersAtRefusal = m_emulator.transfers();
    });
    QMetaObject::invokeMethod(&worker, job == "read"     ? "DoReadFlash"
                                       : job == "write"  ? "DoWriteFlash"
                                       : job == "verify" ? "DoVerifyFlash"
                                       : job == "erase"  ? "DoEraseFlash"
                                                         : "DoUpdateFlash");

    const bool fails = setup == "nochip" || setup.endsWith(QLatin1String("no")) ||
                       setup.startsWith(QLatin1String("locked")) || setup == "wrong" ||
                       setup == "wp" || neverReady || refused;
    QByteArray expected = before;
    if (!fails && (job == "write" || job == "update"))
        expected.replace(0, image.size(), image);
    if (neverReady && !refused)
        expected.replace(0, firstPage, image.left(firstPage));
    if (!fails && job == "erase")
        expected.fill(char(0xFF));
    QVERIFY2(m_emulator.memory() == expected, "the chip does not hold what the job says");
    const QStringList lines = recorder.verdictLines();
    if (setup != QLatin1String("nochip"))
        QVERIFY2(lines.contains(QStringLiteral("Reached by: ") + ReachedBy(part)),
                 qPrintable(lines.join('\n')));
    QVERIFY(!lines.join('\n').contains(QLatin1String("JDEC")));
    if (!tail.isEmpty())
        QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QCOMPARE(recorder.outcome == CH341::JobOutcome::Succeeded, !fails);
    if (!fails && job != "erase")
        QCOMPARE(recorder.lines().last(), ChecksumLine(job == "read" ? before : image));
    if (wire) {
        // Each word its own cycle (WRITE only after EWEN: without it the read-back fails); on
        // the CH347 not one instruction, and no transfer after the refusal. A part still busy
        // ignores the EWDS sent after its time-out.
        QCOMPARE(int(wire->cycles()), refused ? 0 : writes);
        QCOMPARE(wire->isWriteEnabled(), neverReady && !refused);
        if (refused) {
            QCOMPARE(wire->instructions(), quint64(0));
            QCOMPARE(m_emulator.transfers(), transfersAtRefusal);
        }
        return;
    }
    if (i2c) {
        // Each write cycle inside one page of the part's buffer.
        const uint32_t page = i2c->model().pageSize;
        for (const emu::I2cEeprom::WriteCycle &cycle : i2c->writeCycles())
            QCOMPARE(cycle.address / page, (cycle.address + cycle.bytes - 1) / page);
        QCOMPARE(int(i2c->writeCycles().size()), writes);
        return;
    }
    // Every WRITE has its own WREN just before it, none runs past its page, and during a cycle
    // the part gets status reads only: the next page waits for one that shows the cycle over.
    QCOMPARE(spi->pageCrossings(), 0u);
    QCOMPARE(spi->busyRefusals(), 0u);
    const QList<QByteArray> frames = m_emulator.frames();
    int writeWindows = 0;
    int readsAfterWrites = 0;
    for (int i = 0; i < frames.size(); ++i) {
        readsAfterWrites += writeWindows > 0 && (frames.at(i).at(0) & ~0x08) == 0x03;
        if ((frames.at(i).at(0) & ~0x08) != 0x02)
            continue;
        ++writeWindows;
        readsAfterWrites = 0;
        QCOMPARE(frames.value(i - 1), QByteArray(1, 0x06));
    }
    QCOMPARE(writeWindows, writes);
    // The read-back joins the written pages: whole chunks, never a READ a page.
    if (writes > 1 && !fails)
        QVERIFY2(readsAfterWrites < writes / 4, qPrintable(QString::number(readsAfterWrites)));
}

VARNOCK_TEST_MAIN(TestProgrammer)
#include "tst_programmer.moc"
