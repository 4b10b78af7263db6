// The worker's jobs run on our bridge library and the emulated CH341A: log records, signal
// order, the frames the chip received and its memory. Failure paths live in the fault tests.

#include "emulatorharness.h"
#include "jobrecorder.h"
#include "programmer/ch341.h"
#include "testfiles.h"
#include "bridge/ch341dll.h"
#include "emulator/spiflashchip.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

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

// The read or page-program header the chip must see for this address.
QByteArray Header(char opcode, quint32 address, bool fourByte)
{
    QByteArray header(1, opcode);
    if (fourByte)
        header += char(address >> 24);
    return header + char(address >> 16) + char(address >> 8) + char(address);
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
    void readJob_data();
    void readJob();
    void readRoutine_data();
    void readRoutine();
    void writeRoutine_data();
    void writeRoutine();
    void writeBatches_data();
    void writeBatches();
    void families_data();
    void families();
    void fourByteModeLeftAfterFailure_data();
    void fourByteModeLeftAfterFailure();
    void verifyJob_data();
    void verifyJob();
    void busTranscripts_data();
    void busTranscripts();

private:
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
    QTest::newRow("0x00 unreadable") << 0x00 << "UNKNOWN";
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
    QCOMPARE(worker.ProgModel, name);
    if (code >= 0) {
        // Labels black, results blue, the bridge's own name gray and italic.
        QCOMPARE(Described(recorder.logs.mid(0, 7)),
                 QStringList({"Connecting to Programmer... |#000000|1|", "OK|#0000ff|4|n",
                              "CH341A 1a86:5512 (emulated)|#808080|1|in",
                              "CH341 variant: |#000000|1|", name + "|#0000ff|1|n",
                              "Setting Programmer... |#000000|1|", "OK|#0000ff|4|n"}));
        return;
    }
    // The bridge's reason is a red record of its own, so the operator can act on it.
    QCOMPARE(Described(recorder.logs),
             QStringList({"Connecting to Programmer... |#000000|1|", "Fail!|#ff0000|1|n",
                          "No CH341A programmer found (USB 1a86:5512): check the cable and the "
                          "mode jumper (1-2 for SPI).|#ff0000|1|n",
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

    // A send cannot fail by itself: the receive that carries it fails and leaves the
    // caller's answer as it was.
    m_emulator.link().unplugAfterTransfers(0);
    answer = QByteArray::fromHex("A5A5");
    QCOMPARE(worker.SpiSend(0, 1, QByteArray::fromHex("9F")), qint64(1));
    QVERIFY(!worker.TransferFailed);
    worker.SpiReceive(3, answer);
    QCOMPARE(answer, QByteArray::fromHex("A5A5"));
    QVERIFY(worker.TransferFailed);
    // Once the library knows the device is gone, selecting fails at once.
    QCOMPARE(worker.SpiSend(1, 1, QByteArray::fromHex("06")), qint64(-1));
    worker.ReleaseAndClose();
}

void TestProgrammer::identification()
{
    m_emulator.install(ChipKind::SST25VF016B);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    const QString row = QStringLiteral("Vendor: %1 Part no: %2 Capacity (Byte): 2097152");
    QCOMPARE(recorder.lines().mid(4),
             QStringList({"Chip(s) Found based on JDEC ID: 0xBF2541",
                          row.arg("PCT", "PCT25VF016B"), row.arg("SST", "SST25VF016B")}));
    // The worker keeps the last match: the SST part writes by SSTW.
    QCOMPARE(worker.ChipSize, 2097152u);
    QCOMPARE(worker.ChipPage, QStringLiteral("SSTW"));
    QCOMPARE(worker.ChipSeries, QString());
    // Labels black, values blue, one line of six records per match.
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(recorder.logs.at(9 + i).colour, i % 2 ? "#0000ff" : "#000000");
        QCOMPARE(recorder.logs.at(9 + i).newLine, i == 5);
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
        "^(log )+value max (status value ){512}value log log model done$");
    QVERIFY2(order.match(recorder.events.join(' ')).hasMatch(),
             qPrintable(recorder.events.join(' ')));
    QCOMPARE(recorder.maxima, QList<qulonglong>({2 * kMiB}));
    QCOMPARE(recorder.statusTexts.first(), QStringLiteral("Read [4096:2097152]"));
    QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Read [2097152:2097152]"));
    QCOMPARE(recorder.values.mid(recorder.values.size() - 2), QList<qulonglong>({2 * kMiB, 0}));
    QCOMPARE(Described(recorder.logs.mid(recorder.logs.size() - 2)),
             QStringList({"Flash Chip Read File Saved in:|#000000|1|n",
                          QDir::toNativeSeparators(path) + "|#0000ff|1|n"}));
    // The folder of the dump is opened for the operator.
    QCOMPARE(worker.FileName, folder);
    QCOMPARE(opened, QList<QUrl>({QUrl::fromLocalFile(folder)}));
}

void TestProgrammer::readRoutine_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("chunkSpec");
    QTest::addColumn<QList<int>>("chunks");
    const ChipKind small = ChipKind::W25Q80DV;
    QTest::newRow("short last chunk") << small << 1000 << "256" << QList<int>{256, 256, 256, 232};
    QTest::newRow("SSTB reads 2048") << small << 5000 << "SSTB" << QList<int>{2048, 2048, 904};
    QTest::newRow("SSTW reads 2048") << small << 2048 << "SSTW" << QList<int>{2048};
    QTest::newRow("page 32") << small << 70 << "32" << QList<int>{32, 32, 6};
    QTest::newRow("nothing to read") << small << 0 << "256" << QList<int>{};
    const int c = 4 * kMiB;
    QTest::newRow("16 MiB, 3-byte addresses")
        << ChipKind::W25Q256JV << 16 * kMiB << "4194304" << QList<int>{c, c, c, c};
    QTest::newRow("16 MiB + 1, 4-byte addresses")
        << ChipKind::W25Q256JV << 16 * kMiB + 1 << "4194304" << QList<int>{c, c, c, c, 1};
}

void TestProgrammer::readRoutine()
{
    QFETCH(ChipKind, kind);
    QFETCH(int, size);
    QFETCH(QString, chunkSpec);
    QFETCH(QList<int>, chunks);
    m_emulator.install(kind);
    const QByteArray contents = RandomBytes(m_emulator.memory().size(), 2);
    m_emulator.setMemory(contents);
    CH341 worker(false);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    JobRecorder recorder(&worker);
    m_emulator.chip().clearFrames();
    m_emulator.link().resetCounters();

    QByteArray result("prefix");
    QCOMPARE(worker.ReadFlashData(size, chunkSpec, &result), 1);
    QCOMPARE(result, QByteArray("prefix") + contents.left(size));
    QList<QByteArray> frames = m_emulator.frames();
    const bool fourByte = size > 16 * kMiB;
    if (fourByte) {
        QCOMPARE(frames.takeFirst(), QByteArray::fromHex("B7"));
        QCOMPARE(frames.takeLast(), QByteArray::fromHex("E9"));
    }
    QCOMPARE(frames.size(), chunks.size());
    int offset = 0;
    for (int i = 0; i < chunks.size(); ++i) {
        const QByteArray header = Header(0x03, quint32(offset), fourByte);
        QCOMPARE(frames.at(i), header + QByteArray(chunks.at(i), char(0xFF)));
        offset += chunks.at(i);
        QCOMPARE(recorder.statusTexts.at(i), QStringLiteral("Read [%1:%2]").arg(offset).arg(size));
    }
    // Chunks up to a page take one exchange: select, header and deselect ride
    // with the data; one more sends the last deselect before the routine returns.
    if (chunkSpec == QLatin1String("256"))
        QCOMPARE(m_emulator.link().counters().exchanges, quint64(chunks.size() + 1));
    QCOMPARE(recorder.maxima, QList<qulonglong>({qulonglong(size)}));
    QCOMPARE(recorder.values.first(), 0ull);
    QCOMPARE(recorder.values.last(), 0ull);
    worker.ReleaseAndClose();
}

void TestProgrammer::writeRoutine_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<int>>("blank"); // chunks of 0xFF only: never programmed
    const ChipKind small = ChipKind::W25Q80DV;
    QTest::newRow("page 256, short last") << small << "256" << 1000 << QList<int>{};
    QTest::newRow("page 32") << small << "32" << 64 << QList<int>{};
    QTest::newRow("blank pages skipped") << small << "256" << 1300 << QList<int>{0, 2, 5};
    QTest::newRow("SSTW: AAI in words, odd image padded")
        << ChipKind::SST25VF016B << "SSTW" << 601 << QList<int>{};
    QTest::newRow("SSTB: AAI in bytes") << ChipKind::SST25VF040 << "SSTB" << 300 << QList<int>{};
}

void TestProgrammer::writeRoutine()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, page);
    QFETCH(int, length);
    QFETCH(QList<int>, blank);
    m_emulator.install(kind);
    m_emulator.chip().setStatusRegisters(0x00);
    const bool aai = page.startsWith(QLatin1String("SST"));
    const int chunk = aai ? 256 : page.toInt(); // one status text per chunk
    QByteArray data = RandomBytes(length, 6);
    for (int i : blank)
        data.replace(i * chunk, chunk, QByteArray(qMin(chunk, length - i * chunk), char(0xFF)));
    // The byte-AAI part answers no JEDEC identifier: no job can name it.
    QVERIFY(CH341OpenDevice(0) != nullptr);
    CH341 worker(false);
    worker.ConfigureProgrammer();
    JobRecorder recorder(&worker);
    m_emulator.chip().clearFrames();
    QCOMPARE(worker.WriteFlashData(length, page, data), 1);
    QCOMPARE(m_emulator.memory().left(length + 1), data + char(0xFF));

    // Pages: a write enable before every page program. AAI: write enable, the address once,
    // then only data; write disable leaves AAI mode and a status read shows it.
    const QByteArray wren = QByteArray::fromHex("06");
    const char opcode = page == QLatin1String("SSTW") ? char(0xAD) : aai ? char(0xAF) : 0x02;
    const int width = opcode == char(0xAD) ? 2 : 1;
    const QByteArray padded = data + QByteArray(length % width, char(0xFF));
    QList<QByteArray> expected = {aai ? wren : QByteArray()};
    QStringList statuses;
    for (int offset = 0; offset < length; offset += chunk) {
        for (int at = offset; aai && at < qMin(offset + chunk, padded.size()); at += width)
            expected << (at ? QByteArray(1, opcode) : Header(opcode, 0, false)) +
                            padded.mid(at, width);
        if (!aai && !blank.contains(offset / chunk))
            expected << wren << Header(opcode, quint32(offset), false) + data.mid(offset, chunk);
        // Skipped chunks still report their progress.
        statuses
            << QStringLiteral("Write [%1 / %2]").arg(qMin(offset + chunk, length)).arg(length);
    }
    expected.removeAll(QByteArray());
    QList<QByteArray> frames = m_emulator.frames();
    if (aai)
        QCOMPARE(frames.takeLast(), QByteArray::fromHex("05FF"));
    QCOMPARE(frames.takeLast(), QByteArray::fromHex("04"));
    frames.removeAll(QByteArray::fromHex("05FF"));
    QCOMPARE(frames, expected);
    QVERIFY(!m_emulator.chip().isAaiMode());
    QCOMPARE(recorder.statusTexts, statuses);
    QCOMPARE(recorder.events.mid(0, 2), QStringList({"max", "value"}));
    QCOMPARE(recorder.values.last(), qulonglong(length));
    worker.ReleaseAndClose();
}

void TestProgrammer::writeBatches_data()
{
    QTest::addColumn<int>("slowAfter"); // bytes written before pages take 2 ms; -1: never
    QTest::addColumn<bool>("resent");   // some program commands reach the chip twice
    QTest::newRow("steady chip: pages ride together") << -1 << false;
    QTest::newRow("chip slows down: ignored pages go again") << 16384 << true;
}

// Several pages per exchange, each with its status read: a page found busy means the chip
// ignored the pages queued after it, and the final contents prove that they were resent.
void TestProgrammer::writeBatches()
{
    QFETCH(int, slowAfter);
    QFETCH(bool, resent);
    const int length = 64 * 1024;
    const int pages = length / 256;
    const QByteArray data = RandomBytes(length, 14);
    QVERIFY(CH341OpenDevice(0) != nullptr);
    CH341 worker(false);
    worker.ConfigureProgrammer();
    JobRecorder recorder(&worker);
    connect(&worker, &CH341::UpdateProgreesBar_Value, this, [&](qulonglong written) {
        if (slowAfter >= 0 && written >= qulonglong(slowAfter))
            m_emulator.chip().setPageProgramNs(2 * 1000 * 1000);
    });
    m_emulator.chip().clearFrames();
    m_emulator.link().resetCounters();
    QCOMPARE(worker.WriteFlashData(length, QStringLiteral("256"), data), 1);
    QCOMPARE(m_emulator.memory().left(length), data);

    int programs = 0;
    for (const QByteArray &frame : m_emulator.frames())
        programs += frame.size() == 260 && frame.at(0) == 0x02;
    QCOMPARE(programs > pages, resent);
    QVERIFY(programs >= pages);
    // Batches of 18 pages, once the pause is known to suffice.
    QVERIFY2(m_emulator.link().counters().exchanges < quint64(pages / 4),
             qPrintable(QString::number(m_emulator.link().counters().exchanges)));
    QCOMPARE(recorder.statusTexts.size(), pages);
    QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Write [65536 / 65536]"));
    worker.ReleaseAndClose();
}

void TestProgrammer::families_data()
{
    QTest::addColumn<ChipKind>("kind");
    // Datasheet commands run before the job; "WP#low" pulls the pin low, "ERR" sets the error
    // flags only the chip itself sets.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("answer"); // "yes:1C": answers yes to the question showing 0x1C
    QTest::addColumn<QStringList>("tail");

    const QString erased = QStringLiteral("Erasing Chip... OK");
    const QString written = QStringLiteral("Writing to Chip... OK");
    const QStringList clearedAndWritten = {QStringLiteral("Clearing Write Protection... OK"),
                                           erased, written};
    const QStringList writtenAtOnce = {erased, written};
    const QStringList refused = {QStringLiteral("Chip is Write Protected! Status Register: 0x1C")};
    const auto locked = [](const QString &why, const char *status) {
        return QStringList{"Clearing Write Protection... Protection Locked" + why +
                           "! Status Register: 0x" + status};
    };
    const QString byPin = QStringLiteral(": Status Register Protected and WP# Pin Low");
    const ChipKind sst = ChipKind::SST25VF016B;
    const ChipKind atmel = ChipKind::AT25DF041A;
    const ChipKind winbond = ChipKind::W25Q64FV;
    const ChipKind gd = ChipKind::GD25Q64C;
    const ChipKind micron = ChipKind::MT25QL256;

    QTest::newRow("SST protected at power-up, yes: EWSR clears, AAI writes")
        << sst << ""
        << "yes:1C" << clearedAndWritten;
    QTest::newRow("SST protected, no") << sst << ""
                                       << "no:1C" << refused;
    QTest::newRow("SST protected, nobody to ask") << sst << ""
                                                  << "" << refused;
    QTest::newRow("SST BPL with WP# low: locked") << sst << "50 019C WP#low"
                                                  << "yes:9C" << locked(byPin, "9C");
    QTest::newRow("AT25DF sectors protected at power-up, yes: global unprotect")
        << atmel << ""
        << "yes:1C" << clearedAndWritten;
    QTest::newRow("AT25DF unprotected, WPP high is no protection") << atmel << "06 0100"
                                                                   << "" << writtenAtOnce;
    QTest::newRow("AT25DF SPRL with WP# high: cleared first") << atmel << "06 01BC"
                                                              << "yes:9C" << clearedAndWritten;
    QTest::newRow("AT25DF SPRL with WP# low: locked") << atmel << "06 01BC WP#low"
                                                      << "yes:8C" << locked(byPin, "8C");
    QTest::newRow("Macronix BP3") << ChipKind::MX25L6433F << "06 0120"
                                  << "yes:20" << clearedAndWritten;
    QTest::newRow("Macronix QE is no protection") << ChipKind::MX25L6433F << "06 0140"
                                                  << "" << writtenAtOnce;
    QTest::newRow("GigaDevice BP4") << gd << "06 0140"
                                    << "yes:40" << clearedAndWritten;
    QTest::newRow("GigaDevice CMP with BP4..BP0 all set protects nothing") << gd << "06 017C40"
                                                                           << "" << writtenAtOnce;
    QTest::newRow("Winbond CMP with BP=000 protects everything") << winbond << "06 010040"
                                                                 << "yes:00" << clearedAndWritten;
    QTest::newRow("Winbond TB and SEC alone protect nothing") << winbond << "06 016000"
                                                              << "" << writtenAtOnce;
    QTest::newRow("Winbond SRP1: locked for good")
        << winbond << "06 010401"
        << "yes:04" << locked(" by One-Time Lock Bits", "04");
    QTest::newRow("Spansion error flags are no protection") << ChipKind::S25FL128S << "ERR"
                                                            << "" << writtenAtOnce;
    QTest::newRow("Micron BP3, write enable before B7 and E9") << micron << "06 0140"
                                                               << "yes:40" << clearedAndWritten;
    QTest::newRow("protection the worker misjudges: the blank check stops the write")
        << ChipKind::EN25QH64 << "06 0120"
        << ""
        << QStringList{QStringLiteral("Erasing Chip... Erase Failed: Chip Not Blank at 0x000000")};
    QTest::newRow("Micron left in 4-byte mode by an earlier job") << micron << "06 B7"
                                                                  << "" << writtenAtOnce;
}

// Every family through the real write job: an unprotected chip is written at
// once, a protected one only with consent, and a locked one never.
void TestProgrammer::families()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, setup);
    QFETCH(QString, answer);
    QFETCH(QStringList, tail);
    m_emulator.install(kind);
    emu::SpiFlashChip &chip = m_emulator.chip();
    m_emulator.poke(QString(setup).remove(QStringLiteral("WP#low")).remove(QStringLiteral("ERR")));
    if (setup.contains(QStringLiteral("ERR")))
        chip.setStatusRegisters(uint8_t(chip.status() | 0x60)); // E_ERR and P_ERR
    chip.setWriteProtectPin(!setup.contains(QStringLiteral("WP#low")));
    const QByteArray before = RandomBytes(m_emulator.memory().size(), 7);
    m_emulator.setMemory(before);
    const QByteArray image = RandomBytes(4097, 8);
    const QString path = m_dir.filePath(QStringLiteral("family.bin"));
    QVERIFY(WriteFile(path, image));

    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    QStringList questions;
    if (!answer.isEmpty()) {
        connect(&worker, &CH341::ClearProtection_Question, this, [&](QString status) {
            questions << status;
            worker.AnswerClearProtection(answer.startsWith(QLatin1String("yes")));
        });
    }
    worker.DoWriteFlash();

    const QStringList lines = recorder.lines();
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QCOMPARE(questions.join(' '), answer.section(QLatin1Char(':'), 1));
    if (tail.last() == QLatin1String("Writing to Chip... OK")) {
        QCOMPARE(m_emulator.memory().left(image.size()), image);
        QCOMPARE(m_emulator.memory().mid(image.size(), 4096), QByteArray(4096, char(0xFF)));
        QCOMPARE(recorder.logs.last().weight, 4);
        // Programming, then its read-back.
        QCOMPARE(recorder.maxima, QList<qulonglong>({4097, 4097}));
        QVERIFY(recorder.statusTexts.contains(QStringLiteral("Write [4097 / 4097]")));
        QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Read [4097:4097]"));
        QCOMPARE(worker.FileName, path);
    } else {
        QCOMPARE(recorder.logs.last().colour, QStringLiteral("#ff0000"));
        QCOMPARE(m_emulator.memory(), before);
    }
    QVERIFY(!chip.isFourByteMode());
    const QList<QByteArray> frames = m_emulator.frames();
    for (int i = 0; i < frames.size(); ++i) {
        const char opcode = frames.at(i).at(0);
        // SST parts are never page-programmed; Micron's B7/E9 follow a write enable.
        QVERIFY(kind != ChipKind::SST25VF016B || opcode != 0x02);
        if (kind == ChipKind::MT25QL256 && (opcode == char(0xB7) || opcode == char(0xE9)))
            QCOMPARE(frames.at(i - 1), QByteArray::fromHex("06"));
    }
}

void TestProgrammer::fourByteModeLeftAfterFailure_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<bool>("write");
    QTest::newRow("read, W25Q256JV") << ChipKind::W25Q256JV << false;
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
    QCOMPARE(m_emulator.frames().last(), QByteArray::fromHex("E9"));
    next.ReleaseAndClose();
}

void TestProgrammer::verifyJob_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("corruptAt"); // -1: the file is the chip's start
    QTest::addColumn<QString>("lastStatus");
    QTest::newRow("match") << 10000 << -1 << "Read [10000:10000]";
    // Reading stops with the first 4 KiB chunk that differs.
    QTest::newRow("last byte differs") << 10000 << 9999 << "Read [10000:10000]";
    QTest::newRow("second chunk differs") << 10000 << 4321 << "Read [8192:10000]";
    QTest::newRow("first byte differs") << 10000 << 0 << "Read [4096:10000]";
    QTest::newRow("empty file") << 0 << -1 << "";
}

void TestProgrammer::verifyJob()
{
    QFETCH(int, size);
    QFETCH(int, corruptAt);
    QFETCH(QString, lastStatus);
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
    QCOMPARE(lines.at(lines.size() - 2), QStringLiteral("Reading from Chip... OK"));
    if (corruptAt >= 0) {
        QCOMPARE(Described({recorder.logs.last()}), QStringList("No Match Found!|#ff0000|1|n"));
        QVERIFY(recorder.hexData.isEmpty());
    } else {
        QCOMPARE(Described({recorder.logs.last()}), QStringList("Match Found!|#008000|1|n"));
        QCOMPARE(recorder.hexData, QList<QByteArray>({image}));
        QCOMPARE(recorder.events.mid(recorder.events.size() - 2), QStringList({"hex", "done"}));
    }
    QCOMPARE(recorder.statusTexts.value(recorder.statusTexts.size() - 1), lastStatus);
    QCOMPARE(recorder.values.last(), 0ull);
    QCOMPARE(worker.FileName, path);
}

void TestProgrammer::busTranscripts_data()
{
    // What the chip sees of each job: every chip-select window in order, with a run of status
    // polls counted once (how often the chip answers busy depends on timing, not on the job).
    // The digests pin the command sequences down: how the bridge batches USB traffic must
    // never change a byte or an edge on the SPI bus.
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QByteArray>("job");
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("windows");
    QTest::addColumn<QByteArray>("sha1");
    QTest::addColumn<QString>("status"); // the last status text
    const ChipKind small = ChipKind::W25Q80DV;
    QTest::newRow("identify") << small << QByteArray("id") << 0 << 12
                              << QByteArray("61f96a5aa4080f9f252a9af9fd9289fe71803984") << "";
    QTest::newRow("read") << small << QByteArray("read") << 0 << 264
                          << QByteArray("ceb3833ac446048cc22ec3cacc40bf2e3841b298")
                          << "Read [1048576:1048576]";
    QTest::newRow("write, some pages blank")
        << small << QByteArray("write") << 300000 << 2434
        << QByteArray("bb58746272e7a43effa8c6367976402dd85c215d") << "Read [300000:300000]";
    QTest::newRow("verify") << small << QByteArray("verify") << 300000 << 81
                            << QByteArray("999619c599ed13c0d002cb19989b66de476f6687")
                            << "Read [300000:300000]";
    QTest::newRow("erase") << small << QByteArray("erase") << 0 << 269
                           << QByteArray("c18d1008119f401341af05f9a1ed95c90f9f7abf")
                           << "Read [1048576:1048576]";
    QTest::newRow("verify, 4-byte addresses")
        << ChipKind::W25Q256JV << QByteArray("verify") << 16 * kMiB + 300 << 4107
        << QByteArray("3ea5dacaafead463038569b72558d847e21ebdb8") << "Read [16777516:16777516]";
}

void TestProgrammer::busTranscripts()
{
    QFETCH(ChipKind, kind);
    QFETCH(QByteArray, job);
    QFETCH(int, imageSize);
    QFETCH(int, windows);
    QFETCH(QByteArray, sha1);
    QFETCH(QString, status);
    m_emulator.install(kind);
    const QByteArray contents = RandomBytes(m_emulator.memory().size(), 12);
    m_emulator.setMemory(contents);
    QByteArray image = job == "verify" ? contents.left(imageSize) : RandomBytes(imageSize, 13);
    for (int page = 0; job == "write" && page < imageSize / 256; page += 3)
        image.replace(page * 256, 256, QByteArray(256, char(0xFF)));
    const QString path = m_dir.filePath(QStringLiteral("transcript.bin"));
    QVERIFY(job == "read" || WriteFile(path, image));
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    const QHash<QByteArray, void (CH341::*)()> jobs = {{"id", &CH341::DoReadID},
                                                       {"read", &CH341::DoReadFlash},
                                                       {"write", &CH341::DoWriteFlash},
                                                       {"verify", &CH341::DoVerifyFlash},
                                                       {"erase", &CH341::DoEraseFlash}};
    (worker.*jobs.value(job))();

    const QByteArray poll = QByteArray::fromHex("05FF");
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray previous;
    int count = 0;
    for (const QByteArray &frame : m_emulator.frames()) {
        if (frame == poll && previous == poll)
            continue;
        const quint32 length = quint32(frame.size());
        hash.addData(reinterpret_cast<const char *>(&length), sizeof length);
        hash.addData(frame);
        previous = frame;
        ++count;
    }
    QCOMPARE(count, windows);
    QCOMPARE(hash.result().toHex(), sha1);
    QCOMPARE(recorder.statusTexts.value(recorder.statusTexts.size() - 1), status);
    // An erase shows one status while the chip erases, then its blank check's.
    if (job == "erase")
        QVERIFY(recorder.statusTexts.indexOf(status) >
                recorder.statusTexts.lastIndexOf(QStringLiteral("Chip Erasing in Progress.")));
}

QTEST_MAIN(TestProgrammer)
#include "tst_programmer.moc"
