// The worker's jobs run for real: the worker, our bridge library and the
// emulated CH341A with its flash chip model. Tests look at the log records,
// the signal order, the frames the chip received and the chip's memory.

#include "emulatorharness.h"
#include "testfiles.h"
#include "jobrecorder.h"
#include "programmer/ch341.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QStringList kConnectionLines = {
    QStringLiteral("Connecting to Programmer... OK"),
    QStringLiteral("CH341A 1a86:5512 (emulated)"),
    QStringLiteral("CH341 variant: CH341A3"),
    QStringLiteral("Setting Programmer... OK"),
};
} // namespace

class TestProgrammer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void connectionRecords();
    void variantNames_data();
    void variantNames();
    void noProgrammerAttached();
    void spiSendSemantics();
    void spiReceiveKeepsAnswerOnFailure();

    void identificationListsEveryMatch();
    void identificationSingleMatch();
    void readIdSendsIdsTwiceAndReleases();

    void readJobDumpsWholeChip();
    void readJobSignalOrder();
    void readRoutineHeadersAndChunks_data();
    void readRoutineHeadersAndChunks();
    void readRoutineFourByteBoundary();
    void readRoutineExchangeCount();

    void writeJobProgramsFile();
    void writeJobChunks_data();
    void writeJobChunks();
    void writeJobEmptyFile();

    void eraseJob();
    void verifyMatchAndMismatch();
    void verifyEmptyFile();

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

void TestProgrammer::init()
{
    m_emulator.install(ChipKind::W25Q80DV);
}

void TestProgrammer::connectionRecords()
{
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();

    QCOMPARE(recorder.lines().mid(0, 4), kConnectionLines);
    QCOMPARE(recorder.logs.at(0).colour, QStringLiteral("#000000"));
    QCOMPARE(recorder.logs.at(1).colour, QStringLiteral("#0000ff"));
    QCOMPARE(recorder.logs.at(1).weight, 4);
    const LogRecord name = recorder.logs.at(2);
    QCOMPARE(name.colour, QColor("gray").name());
    QVERIFY(name.italic);
    QVERIFY(name.newLine);
    QCOMPARE(recorder.logs.at(4).message, QStringLiteral("CH341A3"));
    QCOMPARE(recorder.logs.at(4).colour, QStringLiteral("#0000ff"));
    QCOMPARE(recorder.logs.at(4).weight, 1);
    for (const LogRecord &record : recorder.logs) {
        QVERIFY(!record.underLine);
        QCOMPARE(record.italic, record.message == kConnectionLines.at(1));
    }
    QCOMPARE(worker.ProgModel, QStringLiteral("CH341A3"));
    QCOMPARE(recorder.jobDoneCount, 1);
    QCOMPARE(recorder.events.last(), QStringLiteral("done"));
}

void TestProgrammer::variantNames_data()
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

void TestProgrammer::variantNames()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    m_emulator.setVersion(uint8_t(code));
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    QCOMPARE(worker.ProgModel, name);
    QCOMPARE(recorder.lines().at(2), QStringLiteral("CH341 variant: ") + name);
    QVERIFY(!recorder.hasRecord(QStringLiteral("Failed to Initialize CH341 Programmer.")));
}

void TestProgrammer::noProgrammerAttached()
{
    m_emulator.setPresent(false);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoEraseFlash();
    const QString reason = QStringLiteral("No CH341A programmer found (USB 1a86:5512): check "
                                          "the cable and the mode jumper (1-2 for SPI).");
    QCOMPARE(recorder.lines(),
             QStringList({QStringLiteral("Connecting to Programmer... Fail!"), reason,
                          QStringLiteral("Failed to Initialize CH341 Programmer.")}));
    QCOMPARE(recorder.logs.at(1).colour, QStringLiteral("#ff0000"));
    QCOMPARE(recorder.logs.at(1).weight, 1);
    // The reason is a record of its own, red, ending its line.
    QCOMPARE(recorder.logs.at(2).message, reason);
    QCOMPARE(recorder.logs.at(2).colour, QStringLiteral("#ff0000"));
    QCOMPARE(recorder.logs.at(2).weight, 1);
    QVERIFY(recorder.logs.at(2).newLine);
    QVERIFY(!recorder.logs.at(2).italic);
    QCOMPARE(recorder.events,
             QStringList({QStringLiteral("log"), QStringLiteral("log"), QStringLiteral("log"),
                          QStringLiteral("log"), QStringLiteral("done")}));
}

void TestProgrammer::spiSendSemantics()
{
    CH341 worker(false);
    JobRecorder recorder(&worker);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    m_emulator.clearFrames();

    const QByteArray frame = QByteArray::fromHex("9F0000");
    QCOMPARE(worker.SpiSend(1, 100, frame), qint64(3));
    QCOMPARE(frame, QByteArray::fromHex("9F0000"));
    // Deselect 0 and 2 leave the chip selected: the next send continues the
    // same command, so the chip sees one frame.
    QCOMPARE(worker.SpiSend(0, 1, QByteArray::fromHex("9F")), qint64(1));
    QCOMPARE(worker.SpiSend(2, 1, QByteArray::fromHex("00")), qint64(1));
    QCOMPARE(worker.SpiSend(1, 2, QByteArray::fromHex("000000")), qint64(2));
    QCOMPARE(m_emulator.frames(),
             QList<QByteArray>({QByteArray::fromHex("9F0000"), QByteArray::fromHex("9F000000")}));
    worker.ReleaseAndClose();
}

void TestProgrammer::spiReceiveKeepsAnswerOnFailure()
{
    CH341 worker(false);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    QCOMPARE(worker.SpiSend(0, 1, QByteArray::fromHex("9F")), qint64(1));
    QByteArray answer = QByteArray::fromHex("A5A5");
    worker.SpiReceive(3, answer);
    QCOMPARE(answer, QByteArray::fromHex("EF4014"));

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

void TestProgrammer::identificationListsEveryMatch()
{
    m_emulator.install(ChipKind::W25Q64FV);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    const QStringList expected =
        kConnectionLines +
        QStringList{
            QStringLiteral("Chip(s) Found based on JDEC ID: 0xEF4017"),
            QStringLiteral("Vendor: SPANSION Part no: S25FL064K Capacity (Byte): 8388608"),
            QStringLiteral("Vendor: WINBOND Part no: W25Q64BV Capacity (Byte): 8388608"),
            QStringLiteral("Vendor: WINBOND Part no: W25Q64CV Capacity (Byte): 8388608"),
            QStringLiteral("Vendor: WINBOND Part no: W25Q64FV Capacity (Byte): 8388608"),
            QStringLiteral("Vendor: WINBOND Part no: W25Q64JV Capacity (Byte): 8388608"),
        };
    QCOMPARE(recorder.lines(), expected);
    QCOMPARE(worker.ChipSize, 8388608u);
    QCOMPARE(worker.ChipSeries, QString());
    QCOMPARE(worker.ChipPage, QStringLiteral("256"));
    // Labels black, values blue, one line of six records per match.
    const int first = 9;
    const QStringList colours = {"#000000", "#0000ff", "#000000", "#0000ff", "#000000", "#0000ff"};
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(recorder.logs.at(first + i).colour, colours.at(i));
        QCOMPARE(recorder.logs.at(first + i).newLine, i == 5);
    }
}

void TestProgrammer::identificationSingleMatch()
{
    m_emulator.install(ChipKind::SST25VF016B);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    QCOMPARE(recorder.lines().mid(4),
             QStringList(
                 {QStringLiteral("Chip(s) Found based on JDEC ID: 0xBF2541"),
                  QStringLiteral("Vendor: PCT Part no: PCT25VF016B Capacity (Byte): 2097152"),
                  QStringLiteral("Vendor: SST Part no: SST25VF016B Capacity (Byte): 2097152")}));
    QCOMPARE(worker.ChipPage, QStringLiteral("SSTW"));
}

void TestProgrammer::readIdSendsIdsTwiceAndReleases()
{
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoReadID();
    // The wake command, then the five identification cycles twice: opcode,
    // address or dummy bytes, then the answer clocked in with 0xFF.
    const QList<QPair<char, int>> ids = {
        {'\x9F', 1 + 3}, {'\x90', 4 + 2}, {'\xAB', 4 + 1}, {'\x15', 1 + 2}, {'\x4B', 4 + 17}};
    QList<QPair<char, int>> expected = {{'\xAB', 1}};
    expected += ids;
    expected += ids;
    const QList<QByteArray> frames = m_emulator.frames();
    QCOMPARE(frames.size(), expected.size());
    for (int i = 0; i < frames.size(); ++i) {
        QCOMPARE(frames.at(i).at(0), expected.at(i).first);
        QCOMPARE(frames.at(i).size(), expected.at(i).second);
    }
    QVERIFY(m_emulator.isReleased());
    QVERIFY(!m_emulator.isOpen());
    QCOMPARE(recorder.events.count(QStringLiteral("done")), 1);
    QVERIFY(!recorder.events.contains(QStringLiteral("status")));
}

void TestProgrammer::readJobDumpsWholeChip()
{
    // A 2 MiB chip: the dump holds all of it, not only the first 1 MiB.
    m_emulator.install(ChipKind::SST25VF016B);
    const QByteArray contents = RandomBytes(2 * 1024 * 1024, 1);
    m_emulator.setMemory(contents);
    const QString path = m_dir.filePath(QStringLiteral("dump_whole.bin"));

    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    worker.DoReadFlash();

    QCOMPARE(ReadFile(path), contents);
    const QStringList lines = recorder.lines();
    QCOMPARE(lines.mid(lines.size() - 2),
             QStringList({QStringLiteral("Flash Chip Read File Saved in:"),
                          QDir::toNativeSeparators(path)}));
    QCOMPARE(recorder.record(QDir::toNativeSeparators(path)).colour, QStringLiteral("#0000ff"));
    QCOMPARE(worker.FileName, m_dir.path());
    QCOMPARE(opened, QList<QUrl>({QUrl::fromLocalFile(m_dir.path())}));
    QVERIFY(opened.first().isValid());
    QVERIFY(m_emulator.isReleased());
    QVERIFY(!m_emulator.isOpen());
    QVERIFY(!recorder.hasRecord(QStringLiteral("OK")) || recorder.logs.last().message != "OK");
}

void TestProgrammer::readJobSignalOrder()
{
    const QString path = m_dir.filePath(QStringLiteral("dump_order.bin"));
    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    worker.DoReadFlash();

    const int chunks = 1024 * 1024 / 256;
    QStringList expected;
    const int logsBefore = recorder.events.indexOf(QStringLiteral("value"));
    QVERIFY(logsBefore > 0);
    for (int i = 0; i < logsBefore; ++i)
        expected << QStringLiteral("log");
    expected << QStringLiteral("value") << QStringLiteral("max");
    for (int i = 0; i < chunks; ++i)
        expected << QStringLiteral("status") << QStringLiteral("value");
    expected << QStringLiteral("value") << QStringLiteral("log") << QStringLiteral("log")
             << QStringLiteral("model") << QStringLiteral("done");
    QCOMPARE(recorder.events, expected);
    QCOMPARE(recorder.maxima, QList<qulonglong>({1048576}));
    QCOMPARE(recorder.statusTexts.first(), QStringLiteral("Read [256:1048576]"));
    QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Read [1048576:1048576]"));
    QCOMPARE(recorder.values.first(), 0ull);
    QCOMPARE(recorder.values.at(recorder.values.size() - 2), 1048576ull);
    QCOMPARE(recorder.values.last(), 0ull);
}

void TestProgrammer::readRoutineHeadersAndChunks_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("chunkSpec");
    QTest::addColumn<QList<int>>("chunks");
    QTest::newRow("short last chunk") << 1000 << "256" << QList<int>{256, 256, 256, 232};
    QTest::newRow("SSTB reads 2048") << 5000 << "SSTB" << QList<int>{2048, 2048, 904};
    QTest::newRow("SSTW reads 2048") << 2048 << "SSTW" << QList<int>{2048};
    QTest::newRow("page 32") << 70 << "32" << QList<int>{32, 32, 6};
    QTest::newRow("nothing to read") << 0 << "256" << QList<int>{};
}

void TestProgrammer::readRoutineHeadersAndChunks()
{
    QFETCH(int, size);
    QFETCH(QString, chunkSpec);
    QFETCH(QList<int>, chunks);
    const QByteArray contents = RandomBytes(1024 * 1024, 2);
    m_emulator.setMemory(contents);
    CH341 worker(false);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    JobRecorder recorder(&worker);
    m_emulator.clearFrames();

    QByteArray result("prefix");
    QCOMPARE(worker.ReadFlashData(size, chunkSpec, &result), 1);
    QCOMPARE(result, QByteArray("prefix") + contents.left(qMax(size, 0)));

    const QList<QByteArray> frames = m_emulator.frames();
    QCOMPARE(frames.size(), chunks.size());
    int offset = 0;
    for (int i = 0; i < chunks.size(); ++i) {
        const QByteArray header =
            QByteArray::fromHex("03") + char(offset >> 16) + char(offset >> 8) + char(offset);
        QCOMPARE(frames.at(i).left(4), header);
        QCOMPARE(frames.at(i).size(), 4 + chunks.at(i));
        offset += chunks.at(i);
        QCOMPARE(recorder.statusTexts.at(i), QStringLiteral("Read [%1:%2]").arg(offset).arg(size));
    }
    QCOMPARE(recorder.maxima.first(), qulonglong(qlonglong(size)));
    QCOMPARE(recorder.values.first(), 0ull);
    QCOMPARE(recorder.values.last(), 0ull);
    worker.ReleaseAndClose();
}

void TestProgrammer::readRoutineFourByteBoundary()
{
    m_emulator.install(ChipKind::W25Q256JV);
    QByteArray contents = RandomBytes(32 * 1024 * 1024, 3);
    m_emulator.setMemory(contents);
    CH341 worker(false);
    QCOMPARE(worker.InitializeProgrammer(), 1);

    const int chunk = 4 * 1024 * 1024;
    for (int size : {16777216, 16777217}) {
        m_emulator.clearFrames();
        QByteArray result;
        QCOMPARE(worker.ReadFlashData(size, QString::number(chunk), &result), 1);
        QCOMPARE(result, contents.left(size));
        QList<QByteArray> frames = m_emulator.frames();
        const bool fourByte = size > 16777216;
        if (fourByte) {
            QCOMPARE(frames.takeFirst(), QByteArray::fromHex("B7"));
            QCOMPARE(frames.takeLast(), QByteArray::fromHex("E9"));
        }
        QCOMPARE(frames.size(), fourByte ? 5 : 4);
        for (int i = 0; i < frames.size(); ++i) {
            const quint32 address = quint32(i) * chunk;
            QByteArray header = QByteArray::fromHex("03");
            if (fourByte)
                header += char(address >> 24);
            header += char(address >> 16);
            header += char(address >> 8);
            header += char(address);
            QCOMPARE(frames.at(i).left(header.size()), header);
        }
        // The last chunk of the larger read is one byte at 0x01000000.
        if (fourByte)
            QCOMPARE(frames.last(), QByteArray::fromHex("0301000000FF"));
    }
    worker.ReleaseAndClose();
}

void TestProgrammer::readRoutineExchangeCount()
{
    CH341 worker(false);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    m_emulator.resetCounters();
    QByteArray result;
    worker.ReadFlashData(256 * 10, QStringLiteral("256"), &result);
    // One exchange for the header and one for the data of each chunk: the
    // select and deselect ride in front of them.
    QCOMPARE(m_emulator.exchanges(), quint64(2 * 10));
    worker.ReleaseAndClose();
}

void TestProgrammer::writeJobProgramsFile()
{
    m_emulator.setMemory(RandomBytes(1024 * 1024, 4));
    const QByteArray image = RandomBytes(300000, 5);
    const QString path = m_dir.filePath(QStringLiteral("image.bin"));
    QVERIFY(WriteFile(path, image));

    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    worker.DoWriteFlash();

    const QByteArray memory = m_emulator.memory();
    QCOMPARE(memory.left(image.size()), image);
    QCOMPARE(memory.mid(image.size()), QByteArray(memory.size() - image.size(), char(0xFF)));
    const QStringList lines = recorder.lines();
    QCOMPARE(lines.mid(lines.size() - 2), QStringList({QStringLiteral("Erasing Chip... OK"),
                                                       QStringLiteral("Writing to Chip... OK")}));
    QCOMPARE(recorder.logs.last().weight, 4);
    QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Write [300000 / 300000]"));
    QCOMPARE(recorder.values.last(), 300000ull);
    QCOMPARE(recorder.maxima, QList<qulonglong>({300000}));
    QCOMPARE(worker.FileName, path);
    QVERIFY(m_emulator.isReleased());
    QCOMPARE(recorder.events.last(), QStringLiteral("done"));

    // Every page program is preceded by a write enable and stays in its page.
    const QList<QByteArray> frames = m_emulator.frames();
    for (int i = 0; i < frames.size(); ++i) {
        if (frames.at(i).at(0) != char(0x02))
            continue;
        QCOMPARE(frames.at(i - 1), QByteArray::fromHex("06"));
        const int address = (uchar(frames.at(i).at(1)) << 16) | (uchar(frames.at(i).at(2)) << 8) |
                            uchar(frames.at(i).at(3));
        QCOMPARE(address % 256, 0);
        QVERIFY(frames.at(i).size() - 4 <= 256);
    }
}

void TestProgrammer::writeJobChunks_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<int>>("chunks");
    QTest::newRow("page 256, short last") << "256" << 1000 << QList<int>{256, 256, 256, 232};
    QTest::newRow("SSTB writes 256") << "SSTB" << 600 << QList<int>{256, 256, 88};
    QTest::newRow("SSTW writes 256") << "SSTW" << 256 << QList<int>{256};
    QTest::newRow("page 32") << "32" << 64 << QList<int>{32, 32};
}

void TestProgrammer::writeJobChunks()
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

    QList<QByteArray> programs;
    QList<QByteArray> frames = m_emulator.frames();
    QCOMPARE(frames.last(), QByteArray::fromHex("04"));
    for (const QByteArray &frame : frames) {
        if (frame.at(0) == char(0x02))
            programs.append(frame);
    }
    QCOMPARE(programs.size(), chunks.size());
    int offset = 0;
    for (int i = 0; i < chunks.size(); ++i) {
        const QByteArray header =
            QByteArray::fromHex("02") + char(offset >> 16) + char(offset >> 8) + char(offset);
        QCOMPARE(programs.at(i), header + data.mid(offset, chunks.at(i)));
        offset += chunks.at(i);
        QCOMPARE(recorder.statusTexts.at(i),
                 QStringLiteral("Write [%1 / %2]").arg(offset).arg(length));
    }
    QCOMPARE(m_emulator.memory().left(length), data);
    QCOMPARE(recorder.events.mid(0, 2), QStringList({"max", "value"}));
    worker.ReleaseAndClose();
}

void TestProgrammer::writeJobEmptyFile()
{
    m_emulator.setMemory(RandomBytes(1024 * 1024, 9));
    const QString path = m_dir.filePath(QStringLiteral("empty.bin"));
    QVERIFY(WriteFile(path, QByteArray()));
    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    worker.DoWriteFlash();
    QCOMPARE(m_emulator.memory(), QByteArray(1024 * 1024, char(0xFF)));
    QCOMPARE(recorder.lines().last(), QStringLiteral("Writing to Chip... OK"));
    QCOMPARE(recorder.maxima, QList<qulonglong>({0}));
}

void TestProgrammer::eraseJob()
{
    m_emulator.setMemory(RandomBytes(1024 * 1024, 10));
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoEraseFlash();
    QCOMPARE(m_emulator.memory(), QByteArray(1024 * 1024, char(0xFF)));
    QCOMPARE(recorder.lines().last(), QStringLiteral("Erasing Chip... OK"));
    QVERIFY(!recorder.statusTexts.isEmpty());
    for (const QString &text : recorder.statusTexts)
        QCOMPARE(text, QStringLiteral("Chip Erasing in Progress."));
    QVERIFY(!recorder.events.contains(QStringLiteral("value")));
    QVERIFY(!recorder.events.contains(QStringLiteral("max")));

    // After identification: the protection check, write enable, chip erase,
    // status polls until the chip is ready, write disable.
    QList<QByteArray> frames = m_emulator.frames().mid(1 + 5);
    QCOMPARE(frames.takeFirst().left(1), QByteArray::fromHex("05"));
    QCOMPARE(frames.takeFirst(), QByteArray::fromHex("06"));
    QCOMPARE(frames.takeFirst(), QByteArray::fromHex("C7"));
    QCOMPARE(frames.takeLast(), QByteArray::fromHex("04"));
    QCOMPARE(frames.size(), recorder.statusTexts.size() + 1);
    for (const QByteArray &frame : frames)
        QCOMPARE(frame, QByteArray::fromHex("05FF"));
    QVERIFY(m_emulator.isReleased());
}

void TestProgrammer::verifyMatchAndMismatch()
{
    const QByteArray contents = RandomBytes(1024 * 1024, 11);
    m_emulator.setMemory(contents);
    QByteArray image = contents.left(5000);
    const QString path = m_dir.filePath(QStringLiteral("verify.bin"));
    for (bool corrupt : {false, true}) {
        if (corrupt)
            image[4321] = char(image.at(4321) ^ 0x10);
        QVERIFY(WriteFile(path, image));
        CH341 worker(false);
        worker.FileName = path;
        JobRecorder recorder(&worker);
        worker.DoVerifyFlash();
        const QStringList lines = recorder.lines();
        QCOMPARE(lines.at(lines.size() - 2), QStringLiteral("Reading from Chip... OK"));
        if (corrupt) {
            QCOMPARE(lines.last(), QStringLiteral("No Match Found!"));
            QCOMPARE(recorder.logs.last().colour, QStringLiteral("#ff0000"));
            QVERIFY(recorder.hexData.isEmpty());
        } else {
            QCOMPARE(lines.last(), QStringLiteral("Match Found!"));
            QCOMPARE(recorder.logs.last().colour, QColor("green").name());
            QCOMPARE(recorder.hexData, QList<QByteArray>({image}));
            QCOMPARE(recorder.events.mid(recorder.events.size() - 2),
                     QStringList({"hex", "done"}));
        }
        QCOMPARE(recorder.statusTexts.last(), QStringLiteral("Read [5000:5000]"));
        QCOMPARE(worker.FileName, path);
    }
}

void TestProgrammer::verifyEmptyFile()
{
    const QString path = m_dir.filePath(QStringLiteral("empty_verify.bin"));
    QVERIFY(WriteFile(path, QByteArray()));
    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    worker.DoVerifyFlash();
    QCOMPARE(recorder.lines().last(), QStringLiteral("Match Found!"));
    QCOMPARE(recorder.hexData, QList<QByteArray>({QByteArray()}));
}

QTEST_MAIN(TestProgrammer)
#include "tst_programmer.moc"
