// The worker's jobs run on our bridge library and the emulated CH341A: log records, signal
// order, the frames the chip received and its memory. Failure paths live in the fault tests.

#include "emulatorharness.h"
#include "jobrecorder.h"
#include "programmer/ch341.h"
#include "testfiles.h"

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
        QString flags = QString(r.italic ? "i" : "") + (r.newLine ? "n" : "");
        if (r.underLine)
            flags += QLatin1Char('u');
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
    void noProgrammerAttached();
    void spiSendAndReceive();
    void identification_data();
    void identification();
    void readIdSendsIdsTwice();
    void readJob();
    void readJobAtRootOpensRoot();
    void readRoutine_data();
    void readRoutine();
    void writeRoutineChunks_data();
    void writeRoutineChunks();
    void writeJob_data();
    void writeJob();
    void eraseJob();
    void verifyJob_data();
    void verifyJob();

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
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("0x10") << 0x10 << "CH341";
    QTest::newRow("0x20") << 0x20 << "CH341A";
    QTest::newRow("0x30") << 0x30 << "CH341A3";
    QTest::newRow("0x32") << 0x32 << "CH341B";
    QTest::newRow("0x27 unknown") << 0x27 << "UNKNOWN";
    QTest::newRow("0x00 unreadable") << 0x00 << "UNKNOWN";
}

void TestProgrammer::connectionRecords()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    m_emulator.setVersion(uint8_t(code));
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    // Labels black, results blue, the bridge's own name gray and italic.
    QCOMPARE(Described(recorder.logs.mid(0, 7)),
             QStringList({"Connecting to Programmer... |#000000|1|", "OK|#0000ff|4|n",
                          "CH341A 1a86:5512 (emulated)|#808080|1|in", "CH341 variant: |#000000|1|",
                          name + "|#0000ff|1|n", "Setting Programmer... |#000000|1|",
                          "OK|#0000ff|4|n"}));
    QCOMPARE(worker.ProgModel, name);
}

void TestProgrammer::noProgrammerAttached()
{
    m_emulator.setPresent(false);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoEraseFlash();
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
    m_emulator.clearFrames();
    const QByteArray frame = QByteArray::fromHex("9F0000");
    QCOMPARE(worker.SpiSend(1, 100, frame), qint64(3));
    QCOMPARE(frame, QByteArray::fromHex("9F0000"));
    // Deselect 0 and 2 keep the chip selected: the next send continues the command.
    QCOMPARE(worker.SpiSend(0, 1, QByteArray::fromHex("9F")), qint64(1));
    QCOMPARE(worker.SpiSend(2, 1, QByteArray::fromHex("00")), qint64(1));
    QCOMPARE(worker.SpiSend(1, 2, QByteArray::fromHex("000000")), qint64(2));
    QCOMPARE(m_emulator.frames(),
             QList<QByteArray>({QByteArray::fromHex("9F0000"), QByteArray::fromHex("9F000000")}));

    QByteArray answer = QByteArray::fromHex("A5A5");
    QCOMPARE(worker.SpiSend(0, 1, QByteArray::fromHex("9F")), qint64(1));
    worker.SpiReceive(3, answer);
    QCOMPARE(answer, QByteArray::fromHex("EF4014"));
    // A failed stream leaves the caller's answer as it was.
    m_emulator.unplugAfterTransfers(0);
    answer = QByteArray::fromHex("A5A5");
    QCOMPARE(worker.SpiSend(0, 1, QByteArray::fromHex("9F")), qint64(-2));
    worker.SpiReceive(3, answer);
    QCOMPARE(answer, QByteArray::fromHex("A5A5"));
    QVERIFY(worker.TransferFailed);
    // Once the library knows the device is gone, selecting fails at once.
    QCOMPARE(worker.SpiSend(1, 1, QByteArray::fromHex("06")), qint64(-1));
    worker.ReleaseAndClose();
}

void TestProgrammer::identification_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<quint32>("size");
    QTest::addColumn<QString>("page");
    const QString row = QStringLiteral("Vendor: %1 Part no: %2 Capacity (Byte): %3");
    QStringList w25q64 = {QStringLiteral("Chip(s) Found based on JDEC ID: 0xEF4017")};
    for (const char *part : {"W25Q64BV", "W25Q64CV", "W25Q64FV", "W25Q64JV"})
        w25q64 << row.arg("WINBOND", part, "8388608");
    w25q64.insert(1, row.arg("SPANSION", "S25FL064K", "8388608"));
    QTest::newRow("EF4017, five rows") << ChipKind::W25Q64FV << w25q64 << 8388608u << "256";
    // The worker keeps the last match: the SST part writes by SSTW.
    QTest::newRow("BF2541, the last row wins")
        << ChipKind::SST25VF016B
        << QStringList({"Chip(s) Found based on JDEC ID: 0xBF2541",
                        row.arg("PCT", "PCT25VF016B", "2097152"),
                        row.arg("SST", "SST25VF016B", "2097152")})
        << 2097152u << "SSTW";
}

void TestProgrammer::identification()
{
    QFETCH(ChipKind, kind);
    QFETCH(QStringList, lines);
    QFETCH(quint32, size);
    QFETCH(QString, page);
    m_emulator.install(kind);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    QCOMPARE(recorder.lines().mid(4), lines);
    QCOMPARE(worker.ChipSize, size);
    QCOMPARE(worker.ChipPage, page);
    QCOMPARE(worker.ChipSeries, QString());
    // Labels black, values blue, one line of six records per match.
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(recorder.logs.at(9 + i).colour, i % 2 ? "#0000ff" : "#000000");
        QCOMPARE(recorder.logs.at(9 + i).newLine, i == 5);
    }
}

void TestProgrammer::readIdSendsIdsTwice()
{
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    // The wake command, then the five identification cycles twice: opcode and
    // address or dummy bytes, then the answer clocked in with 0xFF.
    const auto answer = [](int bytes) { return QString(2 * bytes, QLatin1Char('f')); };
    const QStringList ids = {"9f" + answer(3), "90000000" + answer(2), "ab000000" + answer(1),
                             "15" + answer(2), "4b000000" + answer(17)};
    QStringList frames;
    for (const QByteArray &frame : m_emulator.frames())
        frames << QString::fromLatin1(frame.toHex());
    QCOMPARE(frames, QStringList("ab") + ids + ids);
    QVERIFY(!recorder.events.contains(QStringLiteral("status")));
}

void TestProgrammer::readJob()
{
    // A 2 MiB chip: the dump holds all of it, not only the first 1 MiB.
    m_emulator.install(ChipKind::SST25VF016B);
    const QByteArray contents = RandomBytes(2 * kMiB, 1);
    m_emulator.setMemory(contents);
    const QString path = m_dir.filePath(QStringLiteral("dump.bin"));
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    worker.DoReadFlash();

    QCOMPARE(ReadFile(path), contents);
    // Logs, then one status and value per 256-byte chunk, then the report.
    const int logsBefore = recorder.events.indexOf(QStringLiteral("value"));
    QVERIFY(logsBefore > 0);
    QStringList expected = QVector<QString>(logsBefore, "log").toList();
    expected += {"value", "max"};
    for (int i = 0; i < 2 * kMiB / 256; ++i)
        expected += {"status", "value"};
    expected += {"value", "log", "log", "model", "done"};
    QCOMPARE(recorder.events, expected);
    QCOMPARE(recorder.maxima, QList<qulonglong>({2 * kMiB}));
    QCOMPARE(recorder.statusTexts.first(), QStringLiteral("Read [256:2097152]"));
    QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Read [2097152:2097152]"));
    QCOMPARE(recorder.values.mid(recorder.values.size() - 2), QList<qulonglong>({2 * kMiB, 0}));
    QCOMPARE(Described(recorder.logs.mid(recorder.logs.size() - 2)),
             QStringList({"Flash Chip Read File Saved in:|#000000|1|n",
                          QDir::toNativeSeparators(path) + "|#0000ff|1|n"}));
    // The folder of the dump is opened for the operator.
    QCOMPARE(worker.FileName, m_dir.path());
    QCOMPARE(opened, QList<QUrl>({QUrl::fromLocalFile(m_dir.path())}));
}

void TestProgrammer::readJobAtRootOpensRoot()
{
    // "/dump.bin" has an empty folder name before its slash; the root is what holds it.
    const QString path =
        QStringLiteral("/varnock-dump-%1.bin").arg(QCoreApplication::applicationPid());
    QFile probe(path);
    if (!probe.open(QIODevice::WriteOnly))
        QSKIP("this user cannot write to the root folder");
    probe.close();
    const auto removeDump = qScopeGuard([&path] { QFile::remove(path); });
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    worker.FileName = path;
    worker.DoReadFlash();

    QCOMPARE(ReadFile(path).size(), kMiB);
    QCOMPARE(worker.FileName, QStringLiteral("/"));
    QCOMPARE(opened, QList<QUrl>({QUrl::fromLocalFile(QStringLiteral("/"))}));
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
    m_emulator.clearFrames();
    m_emulator.resetCounters();

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
    // Chunks up to a page take one exchange for the header and one for the
    // data: select and deselect ride in front of them.
    if (chunkSpec == QLatin1String("256"))
        QCOMPARE(m_emulator.exchanges(), quint64(2 * chunks.size()));
    QCOMPARE(recorder.maxima, QList<qulonglong>({qulonglong(size)}));
    QCOMPARE(recorder.values.first(), 0ull);
    QCOMPARE(recorder.values.last(), 0ull);
    worker.ReleaseAndClose();
}

void TestProgrammer::writeRoutineChunks_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<int>>("chunks");
    QTest::newRow("page 256, short last") << "256" << 1000 << QList<int>{256, 256, 256, 232};
    QTest::newRow("SSTB writes 256") << "SSTB" << 600 << QList<int>{256, 256, 88};
    QTest::newRow("SSTW writes 256") << "SSTW" << 256 << QList<int>{256};
    QTest::newRow("page 32") << "32" << 64 << QList<int>{32, 32};
}

void TestProgrammer::writeRoutineChunks()
{
    QFETCH(QString, page);
    QFETCH(int, length);
    QFETCH(QList<int>, chunks);
    const QByteArray data = RandomBytes(length, 6);
    CH341 worker(false);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    JobRecorder recorder(&worker);
    m_emulator.clearFrames();
    QCOMPARE(worker.WriteFlashData(length, page, data), 1);

    const QList<QByteArray> frames = m_emulator.frames();
    QCOMPARE(frames.last(), QByteArray::fromHex("04"));
    int offset = 0;
    int chunk = 0;
    for (int i = 0; i < frames.size(); ++i) {
        if (frames.at(i).at(0) != char(0x02))
            continue;
        // Every page program follows its own write enable.
        QCOMPARE(frames.at(i - 1), QByteArray::fromHex("06"));
        QVERIFY(chunk < chunks.size());
        QCOMPARE(frames.at(i),
                 Header(0x02, quint32(offset), false) + data.mid(offset, chunks.at(chunk)));
        offset += chunks.at(chunk++);
        QCOMPARE(recorder.statusTexts.at(chunk - 1),
                 QStringLiteral("Write [%1 / %2]").arg(offset).arg(length));
    }
    QCOMPARE(chunk, chunks.size());
    QCOMPARE(m_emulator.memory().left(length), data);
    QCOMPARE(recorder.events.mid(0, 2), QStringList({"max", "value"}));
    worker.ReleaseAndClose();
}

void TestProgrammer::writeJob_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("300000 bytes") << 300000;
    QTest::newRow("empty file") << 0;
}

void TestProgrammer::writeJob()
{
    QFETCH(int, size);
    m_emulator.setMemory(RandomBytes(kMiB, 4));
    const QByteArray image = RandomBytes(size, 5);
    const QString path = m_dir.filePath(QStringLiteral("image.bin"));
    QVERIFY(WriteFile(path, image));
    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    worker.DoWriteFlash();

    // The image, then erased bytes to the end of the chip.
    QCOMPARE(m_emulator.memory(), image + QByteArray(kMiB - size, char(0xFF)));
    const QStringList lines = recorder.lines();
    QCOMPARE(lines.mid(lines.size() - 2),
             QStringList({"Erasing Chip... OK", "Writing to Chip... OK"}));
    QCOMPARE(recorder.logs.last().weight, 4);
    QCOMPARE(recorder.maxima, QList<qulonglong>({qulonglong(size)}));
    QCOMPARE(recorder.values.last(), qulonglong(size));
    if (size > 0)
        QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Write [300000 / 300000]"));
    QCOMPARE(worker.FileName, path);
}

void TestProgrammer::eraseJob()
{
    m_emulator.setMemory(RandomBytes(kMiB, 10));
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoEraseFlash();
    QCOMPARE(m_emulator.memory(), QByteArray(kMiB, char(0xFF)));
    QCOMPARE(recorder.lines().last(), QStringLiteral("Erasing Chip... OK"));
    QVERIFY(!recorder.statusTexts.isEmpty());
    QCOMPARE(recorder.statusTexts.count("Chip Erasing in Progress."), recorder.statusTexts.size());
    QVERIFY(!recorder.events.contains(QStringLiteral("max")));

    // After identification: the protection check, write enable, chip erase,
    // status polls until the chip is ready, write disable.
    QList<QByteArray> frames = m_emulator.frames().mid(1 + 5);
    QCOMPARE(frames.takeFirst().left(1), QByteArray::fromHex("05"));
    QCOMPARE(frames.takeFirst(), QByteArray::fromHex("06"));
    QCOMPARE(frames.takeFirst(), QByteArray::fromHex("C7"));
    QCOMPARE(frames.takeLast(), QByteArray::fromHex("04"));
    const QByteArray poll = QByteArray::fromHex("05FF");
    QCOMPARE(frames, QVector<QByteArray>(recorder.statusTexts.size() + 1, poll).toList());
}

void TestProgrammer::verifyJob_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("corruptAt"); // -1: the file is the chip's start
    QTest::newRow("match") << 5000 << -1;
    QTest::newRow("one byte differs") << 5000 << 4321;
    QTest::newRow("empty file") << 0 << -1;
}

void TestProgrammer::verifyJob()
{
    QFETCH(int, size);
    QFETCH(int, corruptAt);
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
    if (size > 0)
        QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Read [5000:5000]"));
    QCOMPARE(worker.FileName, path);
}

QTEST_MAIN(TestProgrammer)
#include "tst_programmer.moc"
