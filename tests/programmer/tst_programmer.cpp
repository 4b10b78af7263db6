// The worker's jobs run on our bridge library and the emulated CH341A: log records, signal
// order, the frames the chip received and its memory. Failure paths live in the fault tests.

#include "failonwarning.h"
#include "bustranscript.h"
#include "emulatorharness.h"
#include "jobrecorder.h"
#include "programmer/ch341.h"
#include "programmer/tracelog.h"
#include "testfiles.h"
#include "bridge/ch341dll.h"
#include "emulator/spiflashchip.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

Q_DECLARE_METATYPE(ChipKind)

namespace {
constexpr int kMiB = 1024 * 1024;

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
    void readJob_data();
    void readJob();
    void fourByteModeLeftAfterFailure_data();
    void fourByteModeLeftAfterFailure();
    void verifyJob_data();
    void verifyJob();
    void updateJob_data();
    void updateJob();
    void busTranscripts_data();
    void busTranscripts();
    void aaiInterrupted_data();
    void aaiInterrupted();
    void writeAbove16MiB();
    void pageDoneWhileHostStalled();

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
    QCOMPARE(recorder.lines().mid(4 + clockLines),
             QStringList({"Chip(s) Found based on JDEC ID: 0xBF2541",
                          row.arg("PCT", "PCT25VF016B"), row.arg("SST", "SST25VF016B")}));
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
    // Logs, then one status and value per 4 KiB chunk, then the report.
    const QRegularExpression order(
        "^(log )+value max (status value ){512}value (log ){6}model done$");
    QVERIFY2(order.match(recorder.events.join(' ')).hasMatch(),
             qPrintable(recorder.events.join(' ')));
    QCOMPARE(recorder.maxima, QList<qulonglong>({2 * kMiB}));
    QCOMPARE(recorder.statusTexts.first(), QStringLiteral("Read [4096:2097152]"));
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

void TestProgrammer::verifyJob_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("corruptAt"); // -1: the file is the chip's start
    QTest::addColumn<QString>("lastStatus");
    QTest::addColumn<QString>("address"); // of the first difference, as logged
    QTest::newRow("match") << 10000 << -1 << "Read [10000:10000]"
                           << "";
    // Reading stops with the first 4 KiB chunk that differs.
    QTest::newRow("last byte differs") << 10000 << 9999 << "Read [10000:10000]"
                                       << "00270F";
    QTest::newRow("second chunk differs") << 10000 << 4321 << "Read [8192:10000]"
                                          << "0010E1";
    QTest::newRow("first byte differs") << 10000 << 0 << "Read [4096:10000]"
                                        << "000000";
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
    // there), "clear" (bits of 16 bytes cleared) at a hex address, or "all".
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
    const QByteArray before = RandomBytes(int(m_emulator.memory().size()), 21);
    m_emulator.setMemory(before);
    QByteArray image = change == QLatin1String("all") ? RandomBytes(before.size(), 22) : before;
    const QStringList changes = change.split(' ', Qt::SkipEmptyParts);
    for (int i = 0; i + 1 < changes.size(); i += 2) {
        const int at = changes.at(i + 1).toInt(nullptr, 16);
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
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QCOMPARE(recorder.lines().last(), ChecksumLine(image));
    QVERIFY2(m_emulator.memory() == image, "the chip does not hold the image");
    QCOMPARE(atFirstChange,
             change.isEmpty() ? QStringList() : QStringList({"backup saved before", "0"}));
    // One backup, named after the part, its path and checksums in the log.
    const QFileInfoList saved = backups.entryInfoList(QDir::Files);
    QCOMPARE(saved.size(), 1);
    QVERIFY(ReadFile(saved.first().filePath()) == before);
    const int savedAt = lines.indexOf(QStringLiteral("Backup of the Chip Saved in:"));
    QVERIFY(savedAt > 0);
    QCOMPARE(lines.mid(savedAt + 1, 2),
             QStringList({QDir::toNativeSeparators(saved.first().absoluteFilePath()),
                          ChecksumLine(before)}));
    QVERIFY(saved.first().fileName().contains(QRegularExpression("^[A-Z0-9]+_\\d{6}\\.bin$")));
    if (change.isEmpty())
        QCOMPARE(recorder.logs.at(recorder.logs.size() - 5).colour, QStringLiteral("#008000"));
    QCOMPARE(m_emulator.windowsByOpcode(opcodes), opcodes);
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
    QVERIFY(job == "read" || WriteFile(path, image));
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    worker.FileName = path;
    worker.BackupFolder = m_dir.filePath(QStringLiteral("backups"));
    JobRecorder recorder(&worker);
    const QHash<QByteArray, void (CH341::*)()> jobs = {
        {"id", &CH341::DoReadID},        {"read", &CH341::DoReadFlash},
        {"write", &CH341::DoWriteFlash}, {"verify", &CH341::DoVerifyFlash},
        {"erase", &CH341::DoEraseFlash}, {"update", &CH341::DoUpdateFlash}};
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
    const QString file = QStringLiteral(VARNOCK_TRANSCRIPTS "/%1.txt")
                             .arg(QString(QTest::currentDataTag())
                                      .replace(QRegularExpression("[^A-Za-z0-9]+"), "-"));
    if (qEnvironmentVariableIntValue("VARNOCK_UPDATE_TRANSCRIPTS"))
        QVERIFY(WriteFile(file, actual.join('\n').toUtf8() + '\n'));
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

VARNOCK_TEST_MAIN(TestProgrammer)
#include "tst_programmer.moc"
