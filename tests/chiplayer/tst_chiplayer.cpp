// The chip layer on its own: FlashChip and the units built on it driven over the emulated
// programmer without a worker, row by row: the windows the chip receives, its memory and
// registers, the results and the progress reported.

#include "failonwarning.h"
#include "bustranscript.h"
#include "emulatorharness.h"
#include "testfiles.h"
#include "programmer/chips/nor/chiperaser.h"
#include "programmer/chips/chipprogress.h"
#include "programmer/chips/nor/chipprotection.h"
#include "programmer/chips/nor/chipreader.h"
#include "programmer/chips/nor/flashchip.h"
#include "programmer/chips/nor/pageprogrammer.h"
#include "programmer/jobs/readcompare.h"
#include "programmer/transport/spitransport.h"
#include "bridge/ch341dll.h"
#include "emulator/chipmodel.h"
#include "emulator/spiflashchip.h"

#include <QtTest>

Q_DECLARE_METATYPE(ChipKind)
Q_DECLARE_METATYPE(PageProgrammer::Method)
Q_DECLARE_METATYPE(ChipEraser::Result)
Q_DECLARE_METATYPE(ChipProtection::ClearResult)
Q_DECLARE_METATYPE(ChipProtection::Lock)
Q_DECLARE_METATYPE(emu::ChipModel)

namespace {
constexpr int kMiB = 1024 * 1024;

// Every report as text: "start Write 1000", "Write 256/1000", "reset", "sent", "poll".
class RecordedProgress : public ChipProgress
{
public:
    void started(ChipActivity activity, qulonglong total) override
    {
        events << QStringLiteral("start %1 %2").arg(Name(activity)).arg(total);
    }
    void advanced(ChipActivity activity, qulonglong done, qulonglong total) override
    {
        events << QStringLiteral("%1 %2/%3").arg(Name(activity)).arg(done).arg(total);
    }
    void reset() override { events << QStringLiteral("reset"); }
    void eraseSent() override { events << QStringLiteral("sent"); }
    void erasePolled() override { ++polls; }
    // A stop asked for once this many progress reports have come; -1: never.
    bool stopRequested() const override
    {
        return stopAfter >= 0 && events.size() - 1 >= stopAfter;
    }

    // The reports of one kind: those that start with prefix.
    QStringList of(const QString &prefix) const
    {
        return events.filter(QRegularExpression('^' + QRegularExpression::escape(prefix)));
    }

    QStringList events;
    int polls = 0;
    int stopAfter = -1;

private:
    static QString Name(ChipActivity activity)
    {
        return activity == ChipActivity::Read    ? QStringLiteral("Read")
               : activity == ChipActivity::Write ? QStringLiteral("Write")
                                                 : QStringLiteral("Erase");
    }
};

// The chip-list rows of each emulated part the tests use ("|" between parts that share it).
QList<ChipRecord> Rows(ChipKind kind)
{
    struct Known
    {
        ChipKind kind;
        const char *vendor, *part, *page;
        int size;
    };
    static const Known rows[] = {
        {ChipKind::W25Q80DV, "WINBOND", "W25Q80DV", "256", 1 * kMiB},
        {ChipKind::W25Q64FV, "WINBOND", "W25Q64FV", "256", 8 * kMiB},
        {ChipKind::W25Q256JV, "WINBOND", "W25Q256JV", "256", 32 * kMiB},
        {ChipKind::W25M512JV, "WINBOND", "W25M512JV", "256", 64 * kMiB},
        {ChipKind::MT25QL01G, "MICRON", "MT25QL01G", "256", 128 * kMiB},
        {ChipKind::MT25QL256QER2, "MICRON", "MT25QL256", "256", 32 * kMiB},
        {ChipKind::M45PE16, "ST", "M45PE16", "256", 2 * kMiB},
        {ChipKind::S25FL128S, "SPANSION", "S25FL128S", "256", 16 * kMiB},
        {ChipKind::SST25VF016B, "SST", "SST25VF016B", "SSTW", 2 * kMiB},
        {ChipKind::SST26VF064B, "SST", "SST26VF064B", "256", 8 * kMiB},
        {ChipKind::GD25Q64C, "GIGADEVICE", "GD25Q64|GD25Q64B", "256", 8 * kMiB},
        {ChipKind::AT25F512, "ATMEL", "AT25F512", "256", 64 * 1024},
        {ChipKind::ZB25VQ64, "Zbit", "ZB25VQ64", "256", 8 * kMiB},
        {ChipKind::MX25L6433F, "MACRONIX", "MX25L6433F", "256", 8 * kMiB},
    };
    QList<ChipRecord> found;
    for (const Known &known : rows) {
        for (const QString &part : QString::fromLatin1(known.part).split('|')) {
            ChipRecord row;
            row.protocol = QStringLiteral("SPI");
            row.vendor = QLatin1String(known.vendor);
            row.partName = part;
            row.page = QLatin1String(known.page);
            row.size = known.size;
            if (known.kind == kind)
                found << row;
        }
    }
    return found;
}

QString Frames(const QList<QByteArray> &frames)
{
    return Transcript(frames).join(QLatin1String(" | ")).simplified();
}
} // namespace

class TestChipLayer : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { CH341CloseDevice(0); }

    void programs_data();
    void programs();
    void batches_data();
    void batches();
    void reads_data();
    void reads();
    void readsCompared_data();
    void readsCompared();
    void erasesWholeChip_data();
    void erasesWholeChip();
    void erasesUnits_data();
    void erasesUnits();
    void stopsAtSafePoints_data();
    void stopsAtSafePoints();
    void protection_data();
    void protection();

private:
    // The emulated part in the socket, the bridge open and the chip identified as its row;
    // frames recorded from here on.
    FlashChip &Open(ChipKind kind, bool identified = true)
    {
        return Open(kind, std::nullopt, identified);
    }
    // model: a variant of the kind's part in its place.
    FlashChip &Open(ChipKind kind, const std::optional<emu::ChipModel> &model,
                    bool identified = true)
    {
        if (model)
            m_emulator.install(*model);
        else
            m_emulator.install(kind);
        [&] { QVERIFY(CH341OpenDevice(0) != nullptr); }();
        m_bus.emplace();
        m_bus->setStreamMode(0x81);
        m_chip.emplace(*m_bus);
        if (identified)
            m_chip->identifyAs(Rows(kind));
        m_emulator.chip().clearFrames();
        return *m_chip;
    }

    EmulatorHarness m_emulator;
    std::optional<SpiTransport> m_bus;
    std::optional<FlashChip> m_chip;
};

void TestChipLayer::programs_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<PageProgrammer::Method>("method");
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<int>>("blank"); // pages of 0xFF only: never programmed
    QTest::addColumn<QString>("transcript");
    const ChipKind small = ChipKind::W25Q80DV;
    const auto pages = PageProgrammer::Method::Pages;
    const QString page = QStringLiteral("WREN | PP 0x%1 len %2 | RDSR len 1 | ");
    QTest::newRow("page 256, short last")
        << small << pages << 256 << 1000 << QList<int>{}
        << "x3, addresses step 0x100: | " + page.arg("000000", "256") + page.arg("000300", "232") +
               "WRDI";
    QTest::newRow("page 32") << small << pages << 32 << 64 << QList<int>{}
                             << page.arg("000000", "32") + page.arg("000020", "32") + "WRDI";
    QTest::newRow("blank pages skipped") << small << pages << 256 << 1300 << QList<int>{0, 2, 5}
                                         << page.arg("000100", "256") + page.arg("000300", "256") +
                                                page.arg("000400", "256") + "WRDI";
    // The chip takes a status read in AAI mode; the last one shows AAI mode left.
    QTest::newRow("word AAI, odd image padded")
        << ChipKind::SST25VF016B << PageProgrammer::Method::WordAai << 256 << 601 << QList<int>{}
        << "WREN | AAI 0x000000 len 2 | AAI len 2 x127 | RDSR len 1 | AAI len 2 x128 | RDSR len 1 "
           "| AAI len 2 x45 | RDSR len 1 | WRDI | RDSR len 1";
    QTest::newRow("byte AAI")
        << ChipKind::SST25VF040 << PageProgrammer::Method::ByteAai << 256 << 300 << QList<int>{}
        << "WREN | AAI 0x000000 len 1 | AAI len 1 x255 | RDSR len 1 | AAI len 1 x44 | RDSR len 1 "
           "| WRDI | RDSR len 1";
}

// Pages: a write enable before every page program. AAI: write enable, the address once, then
// only data; write disable leaves AAI mode and a status read shows it. A chip nobody
// identified is programmed as a plain 25-series part.
void TestChipLayer::programs()
{
    QFETCH(ChipKind, kind);
    QFETCH(PageProgrammer::Method, method);
    QFETCH(int, pageSize);
    QFETCH(int, length);
    QFETCH(QList<int>, blank);
    QFETCH(QString, transcript);
    FlashChip &chip = Open(kind, false);
    m_emulator.chip().setStatusRegisters(0x00);
    QByteArray data = RandomBytes(length, 6);
    for (int i : blank)
        data.replace(i * pageSize, pageSize,
                     QByteArray(qMin(pageSize, length - i * pageSize), char(0xFF)));
    RecordedProgress progress;
    PageProgrammer programmer(chip, progress, 100);
    QCOMPARE(programmer.program(method, pageSize, data, uint32_t(length)), PageProgrammer::Done);
    QCOMPARE(m_emulator.memory().left(length + 1), data + char(0xFF));
    QCOMPARE(Frames(m_emulator.frames()), transcript);
    QVERIFY(!m_emulator.chip().isAaiMode());
    // Every page (every 256 bytes of AAI) reported, blank ones too.
    QStringList reports = {QStringLiteral("start Write %1").arg(length)};
    for (int offset = 0; offset < length; offset += pageSize)
        reports << QStringLiteral("Write %1/%2").arg(qMin(offset + pageSize, length)).arg(length);
    QCOMPARE(progress.events, reports);
    QCOMPARE(programmer.fault(), PageProgrammer::Fault::None);
}

void TestChipLayer::batches_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<int>("start");     // 0xFF before: never programmed
    QTest::addColumn<int>("slowAfter"); // bytes written before pages take 2 ms; -1: never
    QTest::addColumn<int>("slowPage");  // a page that takes 3 ms; -1: none
    QTest::addColumn<bool>("resent");   // some program commands reach the chip twice
    const ChipKind small = ChipKind::W25Q80DV;
    QTest::newRow("steady chip: pages ride together") << small << 0 << -1 << -1 << false;
    QTest::newRow("chip slows down: ignored pages go again") << small << 0 << 16384 << -1 << true;
    // The first die's last page outlasts the pause: a die select right after it would be
    // ignored and the second die's pages land on the first.
    const int die = 32 * kMiB;
    QTest::newRow("W25M512JV: the first die's last page slow, the second die waits for it")
        << ChipKind::W25M512JV << die - 32768 << -1 << die - 256 << false;
}

// Several pages per exchange, each with its status read: a page found busy means the chip
// ignored the pages queued after it, and the final contents prove that they were resent.
void TestChipLayer::batches()
{
    QFETCH(ChipKind, kind);
    QFETCH(int, start);
    QFETCH(int, slowAfter);
    QFETCH(int, slowPage);
    QFETCH(bool, resent);
    const int length = start + 64 * 1024;
    const int pages = (length - start) / 256;
    const QByteArray data = QByteArray(start, char(0xFF)) + RandomBytes(length - start, 14);
    FlashChip &chip = Open(kind);
    if (slowPage >= 0)
        m_emulator.chip().addSlowPage(uint32_t(slowPage), 3 * 1000 * 1000);
    // Polls while a slow page programs come a frame apart on either bridge: the count below is
    // of batches, not of polls.
    m_emulator.link().clock().setHostProfile(emu::HostProfile::Frame);
    m_emulator.link().resetCounters();
    struct SlowingProgress : RecordedProgress
    {
        std::function<void(qulonglong)> onWritten;
        void advanced(ChipActivity activity, qulonglong done, qulonglong total) override
        {
            RecordedProgress::advanced(activity, done, total);
            onWritten(done);
        }
    } progress;
    progress.onWritten = [&](qulonglong written) {
        if (slowAfter >= 0 && written >= qulonglong(slowAfter))
            m_emulator.chip().setPageProgramNs(2 * 1000 * 1000);
    };
    PageProgrammer programmer(chip, progress, 100);
    QCOMPARE(programmer.program(PageProgrammer::Method::Pages, 256, data, uint32_t(length)),
             PageProgrammer::Done);
    QCOMPARE(m_emulator.memory().left(length), data);
    int programs = 0;
    for (const QByteArray &frame : m_emulator.frames())
        programs += frame.size() > 256 && frame.at(0) == 0x02; // with a 3- or 4-byte address
    QCOMPARE(programs > pages, resent);
    QVERIFY(programs >= pages);
    // Batches of 18 pages once the pause is known to suffice: far fewer exchanges than pages,
    // with the polls and the learning of a slower chip (61 on the CH341A, 65 on the CH347).
    QVERIFY2(m_emulator.link().counters().exchanges < quint64(pages / 3),
             qPrintable(QString::number(m_emulator.link().counters().exchanges)));
    QCOMPARE(progress.of(QStringLiteral("Write ")).size(), length / 256);
    QCOMPARE(progress.events.last(), QStringLiteral("Write %1/%1").arg(length));
}

void TestChipLayer::reads_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QList<int>>("chunks");
    QTest::addColumn<QString>("transcript");
    const ChipKind small = ChipKind::W25Q80DV;
    QTest::newRow("short last chunk")
        << small << 1000 << 256 << QList<int>{256, 256, 256, 232}
        << "READ 0x000000..0x000200 step 0x100 len 256 x3 | READ 0x000300 len 232";
    QTest::newRow("nothing to read") << small << 0 << 256 << QList<int>{} << "";
    const int c = 4 * kMiB;
    QTest::newRow("16 MiB, 3-byte addresses")
        << ChipKind::W25Q256JV << 16 * kMiB << c << QList<int>{c, c, c, c}
        << "READ 0x000000..0xC00000 step 0x400000 len 4194304 x4";
    QTest::newRow("16 MiB + 1, 4-byte addresses")
        << ChipKind::W25Q256JV << 16 * kMiB + 1 << c << QList<int>{c, c, c, c, 1}
        << "EN4B | READ 0x00000000..0x00C00000 step 0x400000 len 4194304 x4 | READ 0x01000000 "
           "len 1 | EX4B";
    // Each die has its own address mode: 4-byte mode is left before C2h and entered again.
    const int die = 32 * kMiB;
    QTest::newRow("W25M512JV: across the dies")
        << ChipKind::W25M512JV << die + 4096 << 4096 << QList<int>() << "";
}

// The chunks, their addresses and the chip's address mode and die afterwards; progress counts
// bytes and ends empty.
void TestChipLayer::reads()
{
    QFETCH(ChipKind, kind);
    QFETCH(int, size);
    QFETCH(int, chunk);
    QFETCH(QList<int>, chunks);
    QFETCH(QString, transcript);
    FlashChip &chip = Open(kind);
    const QByteArray contents = RandomBytes(qMin(int(m_emulator.memory().size()), 48 * kMiB), 2);
    m_emulator.setMemory(contents);
    m_emulator.chip().clearFrames();
    m_emulator.link().resetCounters();
    RecordedProgress progress;
    ChipReader reader(chip, progress, ChipReader::ProgressEnd::Reset);
    QByteArray result("prefix");
    QCOMPARE(reader.read({{0, uint32_t(size)}}, chunk, result), 1);
    QCOMPARE(result, QByteArray("prefix") + contents.left(size));
    QVERIFY(!m_emulator.chip().isFourByteMode());
    QCOMPARE(int(m_emulator.chip().activeDie()), 0);
    // Chunks up to a page take one exchange: select, header and deselect ride with the data;
    // one more sends the last deselect before the read returns.
    if (chunk == 256 && size > 0)
        QCOMPARE(m_emulator.link().counters().exchanges, quint64(chunks.size() + 1));
    if (!chunks.isEmpty() || size == 0) {
        QCOMPARE(Frames(m_emulator.frames()), transcript);
        QStringList reports = {QStringLiteral("start Read %1").arg(size)};
        for (int i = 0, offset = 0; i < chunks.size(); ++i)
            reports << QStringLiteral("Read %1/%2").arg(offset += chunks.at(i)).arg(size);
        QCOMPARE(progress.events, reports << QStringLiteral("reset"));
    } else {
        const QStringList windows = Transcript(m_emulator.frames());
        QCOMPARE(windows.filter(QStringLiteral("C2 ")), QStringList({"C2 01 01", "C2 00 00"}));
        QCOMPARE(windows.first(), QStringLiteral("EN4B"));
    }
}

void TestChipLayer::readsCompared_data()
{
    // Bytes of the second read flipped at these addresses, and a length of its own (-1: the
    // first's); the runs named as "start+length".
    QTest::addColumn<QList<int>>("flipped");
    QTest::addColumn<int>("secondLength");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QStringList>("ranges");
    QTest::newRow("equal") << QList<int>() << -1 << qint64(0) << QStringList();
    QTest::newRow("first byte") << QList<int>{0} << -1 << qint64(1) << QStringList{"0+1"};
    QTest::newRow("last byte") << QList<int>{4095} << -1 << qint64(1) << QStringList{"4095+1"};
    QTest::newRow("one run") << QList<int>{10, 11, 12} << -1 << qint64(3) << QStringList{"10+3"};
    QTest::newRow("four runs: three named, every byte counted")
        << QList<int>{1, 2, 100, 200, 201, 4095} << -1 << qint64(6)
        << QStringList{"1+2", "100+1", "200+2"};
    QTest::newRow("second read short")
        << QList<int>{5} << 4000 << qint64(97) << QStringList{"5+1", "4000+96"};
    QTest::newRow("empty second read")
        << QList<int>() << 0 << qint64(4096) << QStringList{"0+4096"};
}

void TestChipLayer::readsCompared()
{
    QFETCH(QList<int>, flipped);
    QFETCH(int, secondLength);
    QFETCH(qint64, bytes);
    QFETCH(QStringList, ranges);
    const QByteArray first = RandomBytes(4096, 5);
    QByteArray second = first;
    for (const int at : flipped)
        second[at] = char(second.at(at) ^ 0x04);
    if (secondLength >= 0)
        second.truncate(secondLength);
    for (const auto &[a, b] : {std::pair{first, second}, std::pair{second, first}}) {
        const ReadDifference difference = CompareReads(a, b);
        QCOMPARE(difference.bytes, bytes);
        QStringList named;
        for (const ChipSpan &range : difference.firstRanges)
            named << QStringLiteral("%1+%2").arg(range.start).arg(range.length);
        QCOMPARE(named, ranges);
    }
}

void TestChipLayer::erasesWholeChip_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QString>("erases");
    QTest::newRow("C7h") << ChipKind::W25Q80DV << "WREN | CE | RDSR len 1";
    QTest::newRow("AT25F512: 62h, its only chip erase")
        << ChipKind::AT25F512 << "WREN | 62 | RDSR len 1";
    // Each die erases only itself; the first die is selected again at the end.
    QTest::newRow("W25M512JV: C7h on each die after C2h")
        << ChipKind::W25M512JV
        << "WREN | CE | RDSR len 1 | C2 01 01 | WREN | CE | RDSR len 1 | C2 00 00";
    // Micron wants a write enable before B7h and E9h as well.
    QTest::newRow("MT25QL01G: C4h in each die, 4-byte addresses, flags read after each")
        << ChipKind::MT25QL01G
        << "WREN | EN4B | WREN | DE 0x00000000 | RDSR len 1 | RFSR len 1 | WREN | DE 0x04000000 | "
           "RDSR len 1 | RFSR len 1 | WREN | EX4B";
    QTest::newRow("M45PE16: D8h on every 64 KiB")
        << ChipKind::M45PE16 << "x32, addresses step 0x10000: | WREN | BE 0x000000 | RDSR len 1";
}

// The part's own whole-chip erase leaves every byte blank; the progress hears of the first
// command once and of the polls while it runs.
void TestChipLayer::erasesWholeChip()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, erases);
    FlashChip &chip = Open(kind);
    m_emulator.setMemory(QByteArray(8192, '\x5A'));
    m_emulator.chip().clearFrames();
    RecordedProgress progress;
    ChipEraser eraser(chip, progress, 0);
    QCOMPARE(eraser.eraseWholeChip(false), ChipEraser::Result::Done);
    QCOMPARE(m_emulator.memory().left(8192), QByteArray(8192, char(0xFF)));
    QCOMPARE(progress.events, QStringList("sent"));
    QVERIFY(progress.polls > 0);
    // What the erase left queued goes out with the next exchange.
    QVERIFY(m_bus->flush());
    QCOMPARE(Frames(m_emulator.frames()), erases);
    QVERIFY(!m_emulator.chip().isFourByteMode());
}

void TestChipLayer::erasesUnits_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QString>("setup"); // EFAIL: the chip flags the next erase as failed
    QTest::addColumn<ChipEraser::Result>("result");
    QTest::addColumn<int>("base"); // of the 128 KiB the erases fall in
    QTest::addColumn<QString>("transcript");
    const QString sector = QStringLiteral("WREN | SE 0x%1 | RDSR len 1 | ");
    QTest::newRow("a sector, read back, and a block")
        << ChipKind::W25Q80DV << "" << ChipEraser::Result::Done << 0
        << sector.arg("001000") + "READ 0x001000 len 4096 | WREN | BE 0x010000 | RDSR len 1";
    QTest::newRow("no 20h: the sector stays, nothing more is erased")
        << ChipKind::M45PE16 << "" << ChipEraser::Result::SectorEraseIgnored << 0
        << "WREN | SE 0x001000 | RDSR len 1 | READ 0x001000 len 4096";
    QTest::newRow("S25FL-S erase error: 30h clears it")
        << ChipKind::S25FL128S << "EFAIL" << ChipEraser::Result::ChipError << 0
        << sector.arg("001000") + "30";
    // The first die holds the same bytes at the same offsets: they stay.
    QTest::newRow("W25M512JV: on the second die, after its die select")
        << ChipKind::W25M512JV << "" << ChipEraser::Result::Done << 32 * kMiB
        << "EN4B | EX4B | C2 01 01 | EN4B | " + sector.arg("00001000") +
               "READ 0x00001000 len 4096 | WREN | BE 0x00010000 | RDSR len 1 | EX4B | C2 00 00";
}

// Unit by unit in address order: the first 4 KiB erase is read back, so a part that ignores
// 20h is found out before anything else changes; an error flag ends the run at its address.
void TestChipLayer::erasesUnits()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, setup);
    QFETCH(ChipEraser::Result, result);
    QFETCH(int, base);
    QFETCH(QString, transcript);
    FlashChip &chip = Open(kind);
    const QByteArray before = RandomBytes(128 * 1024, 3);
    for (const int at : {0, base})
        std::copy(before.cbegin(), before.cend(), m_emulator.chip().memory().begin() + at);
    if (setup == QLatin1String("EFAIL"))
        m_emulator.chip().failNextErase();
    m_emulator.chip().clearFrames();
    RecordedProgress progress;
    ChipEraser eraser(chip, progress, 0);
    QCOMPARE(
        eraser.eraseUnits({{uint32_t(base) + 0x1000, false}, {uint32_t(base) + 0x10000, true}}),
        result);
    QVERIFY(m_bus->flush());
    QCOMPARE(Frames(m_emulator.frames()), transcript);
    if (base != 0)
        QCOMPARE(m_emulator.memory().left(before.size()), before);
    const QByteArray memory = m_emulator.memory().mid(base, before.size());
    const bool done = result == ChipEraser::Result::Done;
    QCOMPARE(memory.mid(0x1000, 4096) == QByteArray(4096, char(0xFF)), done);
    QCOMPARE(memory.mid(0x10000, 0x10000) == QByteArray(0x10000, char(0xFF)), done);
    QCOMPARE(memory.left(0x1000), before.left(0x1000));
    if (result == ChipEraser::Result::ChipError)
        QCOMPARE(eraser.errorAddress(), 0x1000u);
    QCOMPARE(progress.events.first(), QStringLiteral("start Erase 2"));
    QCOMPARE(progress.events.size(), done ? 3 : 1);
}

void TestChipLayer::stopsAtSafePoints_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("stopAfter"); // progress reports before the stop is asked for
    QTest::addColumn<int>("reached");   // where the unit says it stopped
    // A batch of pages ends before the stop: the first batch is one learning page.
    QTest::newRow("pages, after the first") << ChipKind::W25Q80DV << "pages" << 1 << 256;
    QTest::newRow("pages, before any") << ChipKind::W25Q80DV << "pages" << 0 << 0;
    QTest::newRow("word AAI, after 256 bytes") << ChipKind::SST25VF016B << "aai" << 1 << 256;
    QTest::newRow("unit erases, after two") << ChipKind::W25Q80DV << "erases" << 2 << 0x2000;
    QTest::newRow("reads, after one chunk") << ChipKind::W25Q80DV << "reads" << 1 << 4096;
}

// Asked to stop, a unit ends between two commands: what it did is whole, the chip is left
// out of AAI mode with its write latch clear, and it says how far it came.
void TestChipLayer::stopsAtSafePoints()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, unit);
    QFETCH(int, stopAfter);
    QFETCH(int, reached);
    FlashChip &chip = Open(kind);
    m_emulator.chip().setStatusRegisters(0x00);
    constexpr int kLength = 16 * 1024;
    const QByteArray data = RandomBytes(kLength, 8);
    const QByteArray before = unit == QLatin1String("erases") || unit == QLatin1String("reads")
                                  ? data
                                  : QByteArray(kLength, char(0xFF));
    m_emulator.setMemory(before);
    RecordedProgress progress;
    progress.stopAfter = stopAfter;
    QByteArray expected = before;
    if (unit == QLatin1String("erases")) {
        ChipEraser eraser(chip, progress, 0);
        QCOMPARE(
            eraser.eraseUnits({{0, false}, {0x1000, false}, {0x2000, false}, {0x3000, false}}),
            ChipEraser::Result::Stopped);
        QCOMPARE(eraser.reached(), uint32_t(reached));
        expected.replace(0, reached, QByteArray(reached, char(0xFF)));
    } else if (unit == QLatin1String("reads")) {
        ChipReader reader(chip, progress, ChipReader::ProgressEnd::Reset);
        QByteArray read;
        QCOMPARE(reader.read({{0, kLength}}, 4096, read), ChipReader::kStopped);
        QCOMPARE(read, data.left(reached));
    } else {
        PageProgrammer programmer(chip, progress, 100);
        const auto method = unit == QLatin1String("aai") ? PageProgrammer::Method::WordAai
                                                         : PageProgrammer::Method::Pages;
        QCOMPARE(programmer.program(method, 256, data, kLength), PageProgrammer::Stopped);
        QCOMPARE(programmer.reached(), uint32_t(reached));
        expected.replace(0, reached, data.left(reached));
    }
    QVERIFY(m_bus->flush());
    QVERIFY(m_emulator.memory().left(kLength) == expected);
    QVERIFY(!m_emulator.chip().isAaiMode());
    QCOMPARE(m_emulator.chip().status() & 0x03, 0); // neither busy nor write enabled
    QVERIFY(!m_emulator.chip().isSelected());
}

void TestChipLayer::protection_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QString>("setup");  // commands poked first; WP#low: the pin held low
    QTest::addColumn<QString>("writes"); // the status writes the clear sends
    QTest::addColumn<ChipProtection::ClearResult>("result");
    QTest::addColumn<ChipProtection::Lock>("lock");
    QTest::addColumn<QString>("registers");    // SR1 SR2 after the clear
    QTest::addColumn<emu::ChipModel>("model"); // in the kind's place, where named
    const auto cleared = ChipProtection::ClearResult::Cleared;
    const auto locked = ChipProtection::ClearResult::Locked;
    const auto none = ChipProtection::Lock::Unknown;
    // QE (Status Register-2 bit 1) set: a board that boots in quad mode must keep it.
    QTest::newRow("Winbond BP2..BP0, QE kept")
        << ChipKind::W25Q64FV << "06 011C02"
        << "WRSR 00 02" << cleared << none << "00 02" << emu::ChipModel{};
    QTest::newRow("GigaDevice BP2..BP0 cleared, BP4 (SEC) and QE written back")
        << ChipKind::GD25Q64C << "06 015C02"
        << "WRSR 40 02" << cleared << none << "40 02" << emu::ChipModel{};
    QTest::newRow("Winbond CMP with BP=000, QE kept")
        << ChipKind::W25Q64FV << "06 010042"
        << "WRSR 00 02" << cleared << none << "00 02" << emu::ChipModel{};
    QTest::newRow("Winbond SRP1: until power-down")
        << ChipKind::W25Q64FV << "06 010401"
        << "WRSR 00 01" << locked << ChipProtection::Lock::UntilPowerDown << "04 01"
        << emu::ChipModel{};
    QTest::newRow("Winbond SRP0 and WP# low: the pin")
        << ChipKind::W25Q64FV << "06 018800 WP#low"
        << "WRSR 80 00" << locked << ChipProtection::Lock::WriteProtectPin << "88 00"
        << emu::ChipModel{};
    QTest::newRow("S25FL-S BP with CR1, QUAD kept")
        << ChipKind::S25FL128S << "06 011C02"
        << "WRSR 00 02" << cleared << none << "00 02" << emu::ChipModel{};
    // SFDP's Quad Enable Requirements put QE on bit 6, where Micron's layout has BP3: the clear
    // keeps it, and what it keeps stays set.
    QTest::newRow("MT25QL256 whose SFDP puts QE on BP3 (bit 6): kept, the rest cleared")
        << ChipKind::MT25QL256QER2 << "06 015C"
        << "WRSR 40" << locked << none << "40 FF" << emu::ChipModel{};
    QTest::newRow("SST26 locked at power-up: ULBPR")
        << ChipKind::SST26VF064B << ""
        << "98" << cleared << none << "00 08" << emu::ChipModel{};
    // A Winbond-style part on the default layout, QE set: Status Register-2 goes back with
    // Status Register-1 in one 01h wherever a one-byte 01h could clear it.
    const QString bp = QStringLiteral("06 011C02");
    QTest::newRow("clone without SFDP: 35h probed, both written")
        << ChipKind::ZB25VQ64 << bp << "WRSR 00 02" << cleared << none << "00 02"
        << emu::ChipModel{};
    QTest::newRow("QER 001b: one byte would clear SR2")
        << ChipKind::ZB25VQ64 << bp << "WRSR 00 02" << cleared << none << "00 02"
        << emu::zb25vq64(1);
    QTest::newRow("QER 100b: 16-bit write") << ChipKind::ZB25VQ64 << bp << "WRSR 00 02" << cleared
                                            << none << "00 02" << emu::zb25vq64(4);
    QTest::newRow("QER 101b: 16-bit write") << ChipKind::ZB25VQ64 << bp << "WRSR 00 02" << cleared
                                            << none << "00 02" << emu::zb25vq64(5);
    QTest::newRow("QER 110b: SR2 by 31h alone, SR1 by one byte")
        << ChipKind::ZB25VQ64 << "06 011C"
        << "WRSR 00" << cleared << none << "00 02" << emu::zb25vq64(6);
    QTest::newRow("QER 010b: QE in SR1 bit 6, no 35h")
        << ChipKind::ZB25VQ64 << "06 015C"
        << "WRSR 40" << cleared << none << "40 FF" << emu::zb25vq64(2);
    // Individual block locks, all set at power-up: the BP bits count for nothing.
    QTest::newRow("Winbond WPS: block locks, 98h")
        << ChipKind::W25Q64FV << ""
        << "98" << cleared << none << "00 00" << emu::w25q128jvLocked();
    QTest::newRow("Macronix WPSEL: block locks, 98h")
        << ChipKind::MX25L6433F << ""
        << "98" << cleared << none << "00 FF" << emu::mx25l12835fLocked();
}

// What the layout judges protected, the writes that clear it with every other bit written back
// as read, and why a protection stays.
void TestChipLayer::protection()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, setup);
    QFETCH(QString, writes);
    QFETCH(ChipProtection::ClearResult, result);
    QFETCH(ChipProtection::Lock, lock);
    QFETCH(QString, registers);
    QFETCH(emu::ChipModel, model);
    FlashChip &chip =
        Open(kind, model.name.empty() ? std::nullopt : std::optional<emu::ChipModel>(model));
    m_emulator.poke(QString(setup).remove(QStringLiteral("WP#low")));
    m_emulator.chip().setWriteProtectPin(!setup.contains(QStringLiteral("WP#low")));
    // The chip's SFDP settles the rows of its identifier that disagree (GD25Q64 and GD25Q64B).
    chip.sfdp();
    chip.settle();
    m_emulator.chip().clearFrames();
    ChipProtection protection(chip, 3000);
    StatusRegisters status;
    QVERIFY(protection.read(status));
    QVERIFY(protection.isProtected(status));
    QVERIFY(!protection.lockedForGood(status));
    QCOMPARE(protection.clear(status), result);
    if (result == ChipProtection::ClearResult::Locked)
        QCOMPARE(protection.lockOf(status), lock);
    const QStringList sent = Transcript(m_emulator.frames())
                                 .filter(QRegularExpression(QStringLiteral("^(WRSR|98|31)")));
    QCOMPARE(sent.join(QLatin1String(" | ")).simplified(), writes);
    const auto hex = [](uint8_t value) {
        return QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    };
    QCOMPARE(hex(status.status1 & 0xFC) + ' ' + hex(status.status2), registers);
    QCOMPARE(protection.isProtected(status), result != ChipProtection::ClearResult::Cleared);
}

VARNOCK_TEST_MAIN(TestChipLayer)
#include "tst_chiplayer.moc"
