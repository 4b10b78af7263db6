#include "emulator/chipmodel.h"
#include "emulator/emulatedlink.h"
#include "emulator/spiflashchip.h"
#include "emulator/virtualclock.h"

#include "bridge/ch341driver.h"

#include <QTemporaryDir>
#include <QtTest>

#include <random>

using ch341::UsbResult;
using emu::ChipModel;
using emu::EmulatedLink;
using emu::SpiFlashChip;
using emu::VirtualClock;

Q_DECLARE_METATYPE(UsbResult)

namespace {

constexpr uint64_t kUs = VirtualClock::kNsPerUs;
constexpr uint64_t kMs = VirtualClock::kNsPerMs;
constexpr uint64_t kS = 1000 * kMs;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray toBytes(const std::vector<uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

std::vector<uint8_t> toVector(const QByteArray &bytes)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

ChipModel modelNamed(const QString &name)
{
    const ChipModel models[] = {emu::w25q64fv(), emu::w25q256jv(),   emu::mx25l6433f(),
                                emu::w25q80dv(), emu::sst25vf016b(), emu::at45db161d()};
    for (const ChipModel &model : models) {
        if (QString::fromStdString(model.name) == name) {
            return model;
        }
    }
    return ChipModel();
}

// A chip on its own: one select window per command.
struct Bench
{
    explicit Bench(const ChipModel &model = emu::w25q64fv())
        : chip(model, clock)
    {
    }

    QByteArray command(const QByteArray &mosi)
    {
        QByteArray miso;
        chip.setSelected(true);
        for (const char byte : mosi) {
            miso.append(char(chip.transfer(uint8_t(byte))));
        }
        chip.setSelected(false);
        return miso;
    }
    void waitReady()
    {
        for (int guard = 0; guard < 200000 && chip.isBusy(); ++guard) {
            clock.advanceNs(kMs);
        }
    }
    void program(uint32_t address, const QByteArray &data)
    {
        command(hex("06"));
        command(hex("02") + address24(address) + data);
        waitReady();
    }
    static QByteArray address24(uint32_t address)
    {
        return QByteArray(1, char(address >> 16)) + char(address >> 8) + char(address);
    }
    QByteArray memory(uint32_t address, int length) const
    {
        return toBytes(chip.memory()).mid(int(address), length);
    }

    VirtualClock clock;
    SpiFlashChip chip;
};

uint8_t mirror(uint8_t value)
{
    uint8_t result = 0;
    for (int bit = 0; bit < 8; ++bit) {
        result = uint8_t((result << 1) | ((value >> bit) & 1));
    }
    return result;
}

QByteArray padded(const QByteArray &packet)
{
    return packet + QByteArray(32 - packet.size(), '\0');
}

const QByteArray kSelect = padded(hex("AB 80 69 20"));
const QByteArray kDeselect = padded(hex("AB 81 69 20"));
const QByteArray kRelease = padded(hex("AB 80 40 20"));

// A8 followed by the bytes as the wire carries them (mirrored).
QByteArray spiPacket(const QByteArray &bytes)
{
    QByteArray packet(1, char(0xA8));
    for (const char byte : bytes) {
        packet.append(char(mirror(uint8_t(byte))));
    }
    return packet;
}

QByteArray unmirrored(const QByteArray &wire)
{
    QByteArray bytes;
    for (const char byte : wire) {
        bytes.append(char(mirror(uint8_t(byte))));
    }
    return bytes;
}

UsbResult send(EmulatedLink &link, const QByteArray &out, std::vector<std::size_t> inLengths,
               QByteArray *in = nullptr)
{
    std::vector<uint8_t> reply;
    const UsbResult result = link.exchange(toVector(out), inLengths, reply);
    if (in) {
        *in = toBytes(reply);
    }
    return result;
}

// One command framed by chip select, at most 31 bytes; returns the chip's answer.
QByteArray linkCommand(EmulatedLink &link, const QByteArray &mosi)
{
    QByteArray wire;
    // A short SPI packet must end its OUT transfer: the bridge would clock
    // whatever followed it in the same 32-byte USB packet.
    send(link, kSelect + spiPacket(mosi), {std::size_t(mosi.size())}, &wire);
    send(link, kDeselect, {});
    return unmirrored(wire);
}

EmulatedLink &openedLink(EmulatedLink &link)
{
    std::string name;
    link.open(name);
    return link;
}

} // namespace

// Drives the emulated chip and programmer as the bridge would and checks
// every answer against datasheet behaviour.
class TestEmulator : public QObject
{
    Q_OBJECT

private slots:
    void clockFrames();
    void identification_data();
    void identification();
    void statusBusyTiming();
    void programOnlyClearsBits();
    void pageProgramWrap_data();
    void pageProgramWrap();
    void writeNeedsWel_data();
    void writeNeedsWel();
    void cutShortCommandsDoNothing_data();
    void cutShortCommandsDoNothing();
    void busyIgnoresCommands();
    void eraseDurations_data();
    void eraseDurations();
    void readWrapsAtEnd();
    void fourByteMode();
    void blockProtection_data();
    void blockProtection();
    void deepPowerDown();
    void sstPowersUpProtected();
    void dataFlashKnowsOnlyIdentification();
    void framesRecorded();
    void imagePersistence();
    void randomProgramEraseMatchesModel();
    void wireIsMirrored();
    void shortSpiPacketSwallowsNextPacket();
    void pinsNotDriven_data();
    void pinsNotDriven();
    void noChipReadsOnes();
    void spiClockAdvancesTime();
    void usbTiming_data();
    void usbTiming();
    void driverSequenceFrames_data();
    void driverSequenceFrames();
    void uioReadPins();
    void versionRequest();
    void transferErrors_data();
    void transferErrors();
    void unplugAfterTransfers();
    void replugPowerCyclesChip();
    void staleInShiftsAnswers();
    void countersAndSleep();
};

void TestEmulator::clockFrames()
{
    VirtualClock clock;
    clock.advanceToNextFrame();
    QCOMPARE(clock.nowNs(), 1 * kMs);
    clock.advanceToNextFrame();
    QCOMPARE(clock.nowNs(), 2 * kMs);
    clock.advanceNs(1);
    clock.advanceToNextFrame();
    QCOMPARE(clock.nowNs(), 3 * kMs);
}

void TestEmulator::identification_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QByteArray>("mosi");
    QTest::addColumn<QByteArray>("miso");

    QTest::newRow("W25Q64FV 9F") << "W25Q64FV" << hex("9F000000") << hex("FFEF4017");
    QTest::newRow("W25Q64FV 90 address 0")
        << "W25Q64FV" << hex("9000000000000000") << hex("FFFFFFFFEF16EF16");
    QTest::newRow("W25Q64FV 90 address 1 device first")
        << "W25Q64FV" << hex("900000010000") << hex("FFFFFFFF16EF");
    QTest::newRow("W25Q64FV AB repeats")
        << "W25Q64FV" << hex("AB0000000000") << hex("FFFFFFFF1616");
    QTest::newRow("W25Q64FV 15") << "W25Q64FV" << hex("150000") << hex("FF6060");
    QTest::newRow("W25Q64FV 4B") << "W25Q64FV" << hex("4B00000000") + QByteArray(9, 0)
                                 << hex("FFFFFFFFFFD26A5C3B1F082947FF");
    QTest::newRow("W25Q256JV 9F") << "W25Q256JV" << hex("9F000000") << hex("FFEF4019");
    QTest::newRow("MX25L6433F 9F") << "MX25L6433F" << hex("9F000000") << hex("FFC22017");
    QTest::newRow("MX25L6433F 90") << "MX25L6433F" << hex("900000000000") << hex("FFFFFFFFC216");
    QTest::newRow("MX25L6433F has no 4B")
        << "MX25L6433F" << hex("4B000000000000") << hex("FFFFFFFFFFFFFF");
    QTest::newRow("W25Q80DV 9F") << "W25Q80DV" << hex("9F000000") << hex("FFEF4014");
    QTest::newRow("W25Q80DV has no 15") << "W25Q80DV" << hex("1500") << hex("FFFF");
    QTest::newRow("SST25VF016B 9F") << "SST25VF016B" << hex("9F000000") << hex("FFBF2541");
    QTest::newRow("SST25VF016B AB pair")
        << "SST25VF016B" << hex("AB0000000000") << hex("FFFFFFFFBF41");
    QTest::newRow("AT45DB161D 9F") << "AT45DB161D" << hex("9F000000") << hex("FF1F2600");
    QTest::newRow("9F stops after three bytes")
        << "W25Q64FV" << hex("9F00000000") << hex("FFEF4017FF");
}

void TestEmulator::identification()
{
    QFETCH(QString, model);
    QFETCH(QByteArray, mosi);
    QFETCH(QByteArray, miso);
    Bench bench(modelNamed(model));
    QCOMPARE(bench.command(mosi).toHex(' '), miso.toHex(' '));
}

void TestEmulator::statusBusyTiming()
{
    Bench bench;
    QCOMPARE(bench.command(hex("0500")), hex("FF00"));
    bench.command(hex("06"));
    QCOMPARE(bench.command(hex("050000")), hex("FF0202"));
    bench.command(hex("02000000AA"));
    QCOMPARE(bench.chip.status(), uint8_t(0x03)); // BUSY with WEL until done
    bench.clock.advanceNs(700 * kUs - 1);
    QCOMPARE(bench.command(hex("0500")), hex("FF03"));
    bench.clock.advanceNs(1);
    QCOMPARE(bench.command(hex("0500")), hex("FF00"));
    QCOMPARE(bench.memory(0, 2), hex("AAFF"));

    bench.command(hex("06"));
    bench.command(hex("04"));
    QCOMPARE(bench.chip.status(), uint8_t(0x00));
}

void TestEmulator::programOnlyClearsBits()
{
    Bench bench;
    bench.program(0x100, hex("F0F00F"));
    bench.program(0x100, hex("0F3CFF"));
    QCOMPARE(bench.memory(0x100, 3), hex("00300F"));
}

void TestEmulator::pageProgramWrap_data()
{
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint32_t>("checkAt");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("crossing the page end wraps to its start")
        << 0x1FEu << hex("11223344") << 0x100u << hex("3344FFFF");
    QTest::newRow("the next page is untouched")
        << 0x1FEu << hex("11223344") << 0x1FEu << hex("1122FFFF");
    QByteArray overlong(256, char(0x55));
    overlong += hex("0102");
    QTest::newRow("over a page keeps the last 256 bytes")
        << 0x200u << overlong << 0x200u << hex("010255555555");
}

void TestEmulator::pageProgramWrap()
{
    QFETCH(uint32_t, address);
    QFETCH(QByteArray, data);
    QFETCH(uint32_t, checkAt);
    QFETCH(QByteArray, expected);
    Bench bench;
    bench.program(address, data);
    QCOMPARE(bench.memory(checkAt, expected.size()).toHex(' '), expected.toHex(' '));
}

void TestEmulator::writeNeedsWel_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::newRow("page program") << hex("0200001000");
    QTest::newRow("sector erase") << hex("20000000");
    QTest::newRow("block erase") << hex("D8000000");
    QTest::newRow("chip erase C7") << hex("C7");
    QTest::newRow("chip erase 60") << hex("60");
    QTest::newRow("write status") << hex("011C");
}

void TestEmulator::writeNeedsWel()
{
    QFETCH(QByteArray, command);
    Bench bench;
    bench.program(0x10, hex("A5"));
    bench.command(command);
    QVERIFY(!bench.chip.isBusy());
    QCOMPARE(bench.memory(0x10, 1), hex("A5"));
    QCOMPARE(bench.chip.status(), uint8_t(0x00));
}

void TestEmulator::cutShortCommandsDoNothing_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<uint8_t>("status");
    QTest::newRow("program without data") << hex("02000010") << uint8_t(0x02);
    QTest::newRow("program with two address bytes") << hex("020000") << uint8_t(0x02);
    QTest::newRow("sector erase short address") << hex("200000") << uint8_t(0x02);
    QTest::newRow("sector erase extra byte") << hex("2000000000") << uint8_t(0x02);
    QTest::newRow("chip erase extra byte") << hex("C700") << uint8_t(0x02);
    QTest::newRow("write disable extra byte") << hex("0400") << uint8_t(0x02);
    QTest::newRow("status write without data") << hex("01") << uint8_t(0x02);
    QTest::newRow("status write three bytes") << hex("011C0000") << uint8_t(0x02);
}

void TestEmulator::cutShortCommandsDoNothing()
{
    QFETCH(QByteArray, command);
    QFETCH(uint8_t, status);
    Bench bench;
    bench.program(0x10, hex("A5"));
    bench.command(hex("06"));
    bench.command(command);
    QCOMPARE(bench.chip.status(), status);
    QCOMPARE(bench.memory(0x10, 1), hex("A5"));

    Bench fresh;
    fresh.command(hex("0600"));
    QCOMPARE(fresh.chip.status(), uint8_t(0x00)); // WREN with a trailing byte
}

void TestEmulator::busyIgnoresCommands()
{
    Bench bench;
    bench.program(0, hex("12"));
    bench.command(hex("06"));
    bench.command(hex("20000000"));
    QVERIFY(bench.chip.isBusy());
    QCOMPARE(bench.command(hex("9F000000")), hex("FFFFFFFF"));
    QCOMPARE(bench.command(hex("0300000000")), hex("FFFFFFFFFF"));
    bench.command(hex("06"));
    bench.command(hex("0200000000"));
    QCOMPARE(bench.command(hex("0500")), hex("FF03"));
    bench.waitReady();
    QCOMPARE(bench.chip.status(), uint8_t(0x00)); // the WREN during busy was lost
    QCOMPARE(bench.command(hex("0300000000")), hex("FFFFFFFFFF"));
    QCOMPARE(bench.command(hex("9F000000")), hex("FFEF4017"));

    bench.chip.setStuckBusy(true);
    bench.clock.advanceNs(1000 * kS);
    QCOMPARE(bench.command(hex("0500")), hex("FF01"));
    bench.chip.setStuckBusy(false);
    QCOMPARE(bench.command(hex("0500")), hex("FF00"));
}

void TestEmulator::eraseDurations_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<uint64_t>("durationNs");
    QTest::newRow("W25Q64FV chip erase") << "W25Q64FV" << hex("C7") << 20 * kS;
    QTest::newRow("W25Q64FV chip erase 60") << "W25Q64FV" << hex("60") << 20 * kS;
    QTest::newRow("W25Q256JV chip erase") << "W25Q256JV" << hex("C7") << 80 * kS;
    QTest::newRow("W25Q64FV sector erase") << "W25Q64FV" << hex("20001234") << 45 * kMs;
    QTest::newRow("W25Q64FV block erase") << "W25Q64FV" << hex("D8001234") << 150 * kMs;
    QTest::newRow("W25Q64FV status write") << "W25Q64FV" << hex("0100") << 10 * kMs;
}

void TestEmulator::eraseDurations()
{
    QFETCH(QString, model);
    QFETCH(QByteArray, command);
    QFETCH(uint64_t, durationNs);
    Bench bench(modelNamed(model));
    bench.command(hex("06"));
    bench.command(command);
    bench.clock.advanceNs(durationNs - 1);
    QVERIFY(bench.chip.isBusy());
    bench.clock.advanceNs(1);
    QVERIFY(!bench.chip.isBusy());
}

void TestEmulator::readWrapsAtEnd()
{
    Bench bench(emu::w25q80dv());
    bench.chip.memory().back() = 0x77;
    bench.chip.memory().front() = 0x11;
    QCOMPARE(bench.command(hex("030FFFFF0000")), hex("FFFFFFFF7711"));
}

void TestEmulator::fourByteMode()
{
    Bench bench(emu::w25q256jv());
    bench.chip.memory()[0x1000005] = 0xAA;
    bench.chip.memory()[0x000005] = 0x55;
    QCOMPARE(bench.command(hex("0300000500")).right(1), hex("55"));
    bench.command(hex("B7"));
    QCOMPARE(bench.command(hex("1500")), hex("FF61"));
    QCOMPARE(bench.command(hex("030100000500")).right(1), hex("AA"));
    bench.command(hex("06"));
    bench.command(hex("020100010033"));
    bench.waitReady();
    QCOMPARE(bench.chip.memory()[0x1000100], uint8_t(0x33));
    bench.command(hex("E9"));
    QCOMPARE(bench.command(hex("0300000500")).right(1), hex("55"));

    Bench small;
    small.command(hex("B7"));
    QVERIFY(!small.chip.isFourByteMode());
}

void TestEmulator::blockProtection_data()
{
    QTest::addColumn<QByteArray>("statusWrite"); // 01h with SR1 and SR2
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<bool>("writable");
    const uint32_t top = 8 * 1024 * 1024;
    QTest::newRow("BP1 protects the top 128 KiB") << hex("010400") << top - 0x20000 << false;
    QTest::newRow("BP1 leaves the page below") << hex("010400") << top - 0x20000 - 256 << true;
    QTest::newRow("BP6 protects the top half") << hex("011800") << top / 2 << false;
    QTest::newRow("BP6 leaves the bottom half") << hex("011800") << top / 2 - 256 << true;
    QTest::newRow("BP7 protects everything") << hex("011C00") << 0u << false;
    QTest::newRow("TB moves it to the bottom") << hex("012400") << 0x1FF00u << false;
    QTest::newRow("TB frees the top") << hex("012400") << top - 256 << true;
    QTest::newRow("CMP protects the rest") << hex("010440") << 0u << false;
    QTest::newRow("CMP frees the top") << hex("010440") << top - 256 << true;
    QTest::newRow("BUSY and WEL are not writable") << hex("0103") << 0u << true;
}

void TestEmulator::blockProtection()
{
    QFETCH(QByteArray, statusWrite);
    QFETCH(uint32_t, address);
    QFETCH(bool, writable);
    Bench bench;
    bench.command(hex("06"));
    bench.command(statusWrite);
    bench.waitReady();
    QCOMPARE(bench.chip.status(), uint8_t(statusWrite[1] & 0xFC));
    bench.program(address, hex("00"));
    QCOMPARE(bench.memory(address, 1), writable ? hex("00") : hex("FF"));
    QCOMPARE(bench.chip.status() & SpiFlashChip::kStatusWel, 0);
    bench.command(hex("06"));
    bench.command(Bench::address24(address).prepend(char(0x20)));
    bench.waitReady();
    QCOMPARE(bench.memory(address, 1), hex("FF"));
    bench.program(address + 1, hex("00"));
    bench.command(hex("06"));
    bench.command(hex("C7"));
    bench.waitReady();
    // Chip erase is refused while any block is protected.
    const bool chipErased = (statusWrite[1] & SpiFlashChip::kStatusBlockProtect) == 0;
    QCOMPARE(bench.memory(address + 1, 1), writable && !chipErased ? hex("00") : hex("FF"));
    QCOMPARE(bench.chip.status() & SpiFlashChip::kStatusWel, 0);
}

void TestEmulator::deepPowerDown()
{
    Bench bench;
    bench.command(hex("B900"));
    QVERIFY(!bench.chip.isPoweredDown()); // B9 must end right after the opcode
    bench.command(hex("B9"));
    QVERIFY(bench.chip.isPoweredDown());
    QCOMPARE(bench.command(hex("9F000000")), hex("FFFFFFFF"));
    QCOMPARE(bench.command(hex("0500")), hex("FFFF"));
    bench.command(hex("06"));
    QCOMPARE(bench.command(hex("AB00000000")), hex("FFFFFFFF16"));
    QVERIFY(!bench.chip.isPoweredDown());
    QCOMPARE(bench.chip.status(), uint8_t(0x00));
    QCOMPARE(bench.command(hex("9F000000")), hex("FFEF4017"));
}

void TestEmulator::sstPowersUpProtected()
{
    Bench bench(emu::sst25vf016b());
    QCOMPARE(bench.chip.status(), uint8_t(0x1C));
    bench.command(hex("06"));
    bench.command(hex("C7"));
    QCOMPARE(bench.chip.status(), uint8_t(0x1C));
    bench.command(hex("06"));
    bench.command(hex("0100"));
    bench.program(0x10, hex("1234")); // byte program: the last byte counts
    QCOMPARE(bench.memory(0x10, 2), hex("34FF"));
}

void TestEmulator::dataFlashKnowsOnlyIdentification()
{
    Bench bench(emu::at45db161d());
    QCOMPARE(bench.command(hex("0500")), hex("FFFF"));
    QCOMPARE(bench.command(hex("0300000000")), hex("FFFFFFFFFF"));
    bench.command(hex("B9"));
    QVERIFY(bench.chip.isPoweredDown());
    bench.command(hex("AB"));
    QCOMPARE(bench.command(hex("9F00")), hex("FF1F"));
}

void TestEmulator::framesRecorded()
{
    Bench bench;
    bench.command(hex("06"));
    bench.command(hex("0500"));
    bench.chip.setSelected(true);
    bench.chip.setSelected(false);
    QCOMPARE(bench.chip.frames().size(), std::size_t(3));
    QCOMPARE(toBytes(bench.chip.frames()[0]), hex("06"));
    QCOMPARE(toBytes(bench.chip.frames()[1]), hex("0500"));
    QVERIFY(bench.chip.frames()[2].empty());
    bench.chip.transfer(0x9F); // deselected: not seen
    bench.chip.clearFrames();
    bench.chip.setRecording(false);
    bench.command(hex("9F"));
    QVERIFY(bench.chip.frames().empty());
}

void TestEmulator::imagePersistence()
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("chip.bin").toStdString();
    {
        EmulatedLink link(emu::w25q80dv());
        link.setImagePath(path);
        QCOMPARE(link.chip().memory(), std::vector<uint8_t>(1024 * 1024, 0xFF));
        link.chip().memory()[3] = 0x42;
        openedLink(link).close();
    }
    EmulatedLink reloaded(emu::w25q80dv());
    reloaded.setImagePath(path);
    QCOMPARE(reloaded.chip().memory()[3], uint8_t(0x42));

    EmulatedLink otherSize(emu::sst25vf016b());
    otherSize.chip().memory()[0] = 0;
    QVERIFY(!otherSize.chip().loadImage(path));
    QCOMPARE(otherSize.chip().memory()[0], uint8_t(0xFF));
    QVERIFY(!otherSize.chip().saveImage(dir.filePath("missing/x.bin").toStdString()));
}

void TestEmulator::randomProgramEraseMatchesModel()
{
    const uint32_t size = 64 * 1024;
    Bench bench(emu::ChipModelBuilder().sizeBytes(size).build());
    QByteArray expected(int(size), char(0xFF));
    std::mt19937 random(20240611);
    for (int step = 0; step < 400; ++step) {
        const uint32_t address = random() % size;
        switch (random() % 5) {
        case 0: {
            bench.command(hex("06"));
            bench.command(hex("20") + Bench::address24(address));
            expected.replace(int(address & ~0xFFFu), 4096, QByteArray(4096, char(0xFF)));
            break;
        }
        default: {
            QByteArray data;
            for (uint32_t i = random() % 300 + 1; i > 0; --i) {
                data.append(char(random()));
            }
            bench.command(hex("06"));
            bench.command(hex("02") + Bench::address24(address) + data);
            const int page = int(address & ~0xFFu);
            const int skip = data.size() > 256 ? data.size() - 256 : 0;
            for (int i = skip; i < data.size(); ++i) {
                const int at = page + int((address + i) % 256);
                expected[at] = char(expected[at] & data[i]);
            }
            break;
        }
        }
        bench.waitReady();
    }
    QVERIFY(toBytes(bench.chip.memory()) == expected);
}

void TestEmulator::wireIsMirrored()
{
    EmulatedLink link;
    openedLink(link);
    QByteArray wire;
    QCOMPARE(send(link, kSelect + hex("A8F9000000"), {4}, &wire), UsbResult::Ok);
    QCOMPARE(wire, hex("FFF702E8"));
    QCOMPARE(toBytes(link.chip().frames().back()), hex("9F000000"));
}

void TestEmulator::shortSpiPacketSwallowsNextPacket()
{
    EmulatedLink link;
    openedLink(link);
    QByteArray wire;
    const QByteArray out = kSelect + spiPacket(hex("9F")) + kDeselect;
    QCOMPARE(send(link, out, {31}, &wire), UsbResult::Ok);
    QCOMPARE(wire.size(), 31);
    QVERIFY(link.chip().isSelected()); // the deselect went out as SPI data
    QCOMPARE(toBytes(link.chip().frames().back()).left(3), unmirrored(hex("F9AB81")));
}

void TestEmulator::pinsNotDriven_data()
{
    QTest::addColumn<QByteArray>("pins");
    QTest::addColumn<bool>("framed");
    QTest::newRow("CS not driven") << padded(hex("AB 80 68 20")) << false;
    QTest::newRow("CS driven high") << padded(hex("AB 81 69 20")) << false;
    QTest::newRow("clock not driven") << padded(hex("AB 80 61 20")) << true;
    QTest::newRow("MOSI not driven") << padded(hex("AB 80 49 20")) << true;
    QTest::newRow("released") << kRelease << false;
}

void TestEmulator::pinsNotDriven()
{
    QFETCH(QByteArray, pins);
    QFETCH(bool, framed);
    EmulatedLink link;
    openedLink(link);
    QByteArray wire;
    QCOMPARE(send(link, pins + spiPacket(hex("9F000000")), {4}, &wire), UsbResult::Ok);
    QCOMPARE(wire, hex("FFFFFFFF"));
    QCOMPARE(link.chip().isSelected(), framed);
    QVERIFY(link.chip().frames().empty() || link.chip().frames().back().empty());
}

void TestEmulator::noChipReadsOnes()
{
    EmulatedLink link;
    openedLink(link);
    link.setNoChip(true);
    QCOMPARE(linkCommand(link, hex("9F000000")), hex("FFFFFFFF"));
    link.setNoChip(false);
    QCOMPARE(linkCommand(link, hex("9F000000")), hex("FFEF4017"));
}

void TestEmulator::spiClockAdvancesTime()
{
    EmulatedLink link;
    openedLink(link);
    QCOMPARE(send(link, kSelect + spiPacket(QByteArray(31, 0)) + spiPacket(QByteArray(31, 0)),
                  {31, 31}),
             UsbResult::Ok);
    // One frame, then 62 bytes of 8 bits at 1.5 MHz.
    QCOMPARE(link.clock().nowNs(), 1 * kMs + 62 * 8 * 2000 / 3);
}

void TestEmulator::usbTiming_data()
{
    QTest::addColumn<uint64_t>("startNs");
    QTest::addColumn<QByteArray>("pins");        // UIO packet ahead of the SPI packets
    QTest::addColumn<QList<int>>("payloads");    // bytes of each SPI packet
    QTest::addColumn<uint64_t>("expectedNs");    // clock once the exchange returns
    QTest::addColumn<uint64_t>("expectedBytes"); // SPI bytes counted

    const QList<int> read256 = {31, 31, 31, 31, 31, 31, 31, 31, 8};
    QList<int> fullOut;
    for (int packet = 0; packet < 128; ++packet) {
        fullOut.append(31);
    }
    QTest::newRow("pins alone wait for a frame")
        << uint64_t(0) << kSelect << QList<int>() << kMs << uint64_t(0);
    QTest::newRow("mid-frame start waits for the next frame")
        << 1400 * kUs << kSelect << QList<int>() << 2 * kMs << uint64_t(0);
    QTest::newRow("start on a boundary takes the next frame")
        << 2 * kMs << kSelect << QList<int>() << 3 * kMs << uint64_t(0);
    QTest::newRow("full packet adds 31 byte times")
        << uint64_t(0) << kSelect << QList<int>{31} << kMs + 31 * 16000 / 3 << uint64_t(31);
    QTest::newRow("256-byte read outlasts its frame")
        << 5 * kMs + 10 * kUs << kSelect << read256 << 6 * kMs + 256 * 16000 / 3 << uint64_t(256);
    QTest::newRow("4 KiB OUT of 128 packets")
        << uint64_t(0) << QByteArray() << fullOut << kMs + 3968 * 16000 / 3 << uint64_t(3968);
    QTest::newRow("UIO delay of 5 us")
        << uint64_t(0) << padded(hex("AB C5 20")) << QList<int>() << kMs + 5 * kUs << uint64_t(0);
}

// Every blocking exchange starts at the next 1 ms frame; the bridge then
// clocks each SPI byte at 1.5 MHz before the last reply is back.
void TestEmulator::usbTiming()
{
    QFETCH(uint64_t, startNs);
    QFETCH(QByteArray, pins);
    QFETCH(QList<int>, payloads);
    QFETCH(uint64_t, expectedNs);
    QFETCH(uint64_t, expectedBytes);

    EmulatedLink link;
    openedLink(link);
    link.clock().advanceNs(startNs);
    QByteArray out = pins;
    std::vector<std::size_t> inLengths;
    for (const int payload : payloads) {
        out += spiPacket(QByteArray(payload, '\0'));
        inLengths.push_back(std::size_t(payload));
    }
    QCOMPARE(send(link, out, inLengths), UsbResult::Ok);
    QCOMPARE(link.clock().nowNs(), expectedNs);
    QCOMPARE(link.counters().spiBytes, expectedBytes);
    QCOMPARE(link.counters().exchanges, uint64_t(1));
    QCOMPARE(link.counters().packets, uint64_t(out.size() + 31) / 32);
}

void TestEmulator::driverSequenceFrames_data()
{
    // Bridge calls, space separated: "sel" and "desel" set the pins, "S<n>" streams n
    // bytes, "wait<n>" pauses n ms.
    QTest::addColumn<QString>("calls");
    QTest::addColumn<uint64_t>("exchanges");
    QTest::addColumn<uint64_t>("expectedNs");

    QTest::newRow("pin settings alone cost no exchange")
        << "sel desel sel desel" << uint64_t(0) << uint64_t(0);
    QTest::newRow("read chunk: two exchanges, done in the third frame")
        << "sel S4 sel S256 desel" << uint64_t(2) << uint64_t(3365333);
    QTest::newRow("page program with one status poll: six frames")
        << "sel S1 desel sel S4 sel S256 desel sel S1 sel S1 desel" << uint64_t(5)
        << uint64_t(6005333);
    QTest::newRow("8000 bytes behind a pin packet: one exchange per 4 KiB")
        << "sel S8000 desel" << uint64_t(3) << uint64_t(44506666);
    QTest::newRow("pause sends the queued pins first")
        << "sel wait2" << uint64_t(1) << uint64_t(3 * kMs);
    QTest::newRow("pause with nothing queued costs no exchange")
        << "wait2" << uint64_t(0) << uint64_t(2 * kMs);
}

// The driver's traffic on the modelled bus: one blocking exchange per stream
// call and per 4 KiB, pin settings riding along with the next one.
void TestEmulator::driverSequenceFrames()
{
    QFETCH(QString, calls);
    QFETCH(uint64_t, exchanges);
    QFETCH(uint64_t, expectedNs);

    EmulatedLink link;
    ch341::Ch341Driver driver(link);
    QVERIFY(driver.open() == ch341::Ch341Driver::kOpenToken);
    for (const QString &call : calls.split(QLatin1Char(' '))) {
        if (call == QLatin1String("sel")) {
            QVERIFY(driver.setPins(0x29, 0x00));
        } else if (call == QLatin1String("desel")) {
            QVERIFY(driver.setPins(0x29, 0x01));
        } else if (call.startsWith(QLatin1String("wait"))) {
            QVERIFY(driver.setDelayMs(call.mid(4).toUInt()));
        } else {
            std::vector<uint8_t> buffer(call.mid(1).toUInt(), 0x00);
            QVERIFY(driver.streamSpi(0, uint32_t(buffer.size()), buffer.data()));
        }
    }
    QCOMPARE(link.counters().exchanges, exchanges);
    QCOMPARE(link.clock().nowNs(), expectedNs);
}

void TestEmulator::uioReadPins()
{
    EmulatedLink link;
    openedLink(link);
    QByteArray wire;
    QCOMPARE(send(link, padded(hex("AB 81 69 00 20 00")), {1}, &wire), UsbResult::Ok);
    // D0 high and driven, D3 and D5 driven low, inputs and MISO high.
    QCOMPARE(wire, hex("D7"));
    QCOMPARE(link.pendingInPackets(), std::size_t(0));
}

void TestEmulator::versionRequest()
{
    EmulatedLink link;
    uint8_t data[2] = {0xAA, 0xAA};
    std::size_t got = 9;
    QCOMPARE(link.controlIn(0x5F, 0, 0, data, 2, got), UsbResult::Io); // not open yet
    openedLink(link);
    QCOMPARE(link.controlIn(0x5F, 0, 0, data, 2, got), UsbResult::Ok);
    QCOMPARE(got, std::size_t(2));
    QCOMPARE(data[0], uint8_t(0x30));
    QCOMPARE(data[1], uint8_t(0x00));
    QCOMPARE(link.clock().nowNs(), 1 * kMs);
    link.setVersion(0x32);
    QCOMPARE(link.controlIn(0x5F, 0, 0, data, 2, got), UsbResult::Ok);
    QCOMPARE(data[0], uint8_t(0x32));
    QCOMPARE(link.controlIn(0x5E, 0, 0, data, 2, got), UsbResult::Io);
    QCOMPARE(got, std::size_t(0));
}

void TestEmulator::transferErrors_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<std::vector<std::size_t>>("inLengths");
    QTest::addColumn<UsbResult>("result");
    QTest::addColumn<int>("received");
    const QByteArray read4 = kSelect + spiPacket(hex("9F000000"));
    QTest::newRow("reply shorter than asked")
        << read4 << std::vector<std::size_t>{5} << UsbResult::ShortReply << 4;
    QTest::newRow("reply longer than asked")
        << read4 << std::vector<std::size_t>{3} << UsbResult::ShortReply << 3;
    QTest::newRow("reply missing")
        << read4 << std::vector<std::size_t>{4, 4} << UsbResult::Timeout << 4;
    QTest::newRow("nothing sent, nothing pending")
        << QByteArray() << std::vector<std::size_t>{1} << UsbResult::Timeout << 0;
    QTest::newRow("OUT over 4096 bytes")
        << QByteArray(4097, char(0xAB)) << std::vector<std::size_t>{} << UsbResult::Io << 0;
    QTest::newRow("unknown command ignored")
        << padded(hex("A0 01 02")) << std::vector<std::size_t>{} << UsbResult::Ok << 0;
}

void TestEmulator::transferErrors()
{
    QFETCH(QByteArray, out);
    QFETCH(std::vector<std::size_t>, inLengths);
    QFETCH(UsbResult, result);
    QFETCH(int, received);
    EmulatedLink link;
    openedLink(link);
    QByteArray in;
    QCOMPARE(send(link, out, inLengths, &in), result);
    QCOMPARE(in.size(), received);
}

void TestEmulator::unplugAfterTransfers()
{
    EmulatedLink link;
    openedLink(link);
    link.unplugAfterTransfers(2);
    uint8_t data[2];
    std::size_t got = 0;
    QCOMPARE(link.controlIn(0x5F, 0, 0, data, 2, got), UsbResult::Ok);
    QCOMPARE(send(link, kSelect, {}), UsbResult::Ok);
    QCOMPARE(send(link, kDeselect, {}), UsbResult::NoDevice);
    QCOMPARE(link.controlIn(0x5F, 0, 0, data, 2, got), UsbResult::NoDevice);
    QCOMPARE(send(link, kDeselect, {}), UsbResult::NoDevice);
    link.close();
    std::string name;
    QCOMPARE(link.open(name), UsbResult::NotFound);

    link.setPresent(true);
    QCOMPARE(link.open(name), UsbResult::Ok);
    QCOMPARE(name, std::string("CH341A 1a86:5512 (emulated)"));
    QCOMPARE(send(link, kDeselect, {}), UsbResult::Ok);
}

void TestEmulator::replugPowerCyclesChip()
{
    EmulatedLink link(emu::w25q256jv());
    openedLink(link);
    link.chip().memory()[7] = 0x42;
    linkCommand(link, hex("B7"));
    linkCommand(link, hex("06"));
    linkCommand(link, hex("2000010000"));
    QVERIFY(link.chip().isBusy());
    send(link, kSelect, {});
    link.setStaleIn(toVector(hex("01")));
    link.chip().setBlockProtection(1);
    link.replug();
    QCOMPARE(send(link, kDeselect, {}), UsbResult::NoDevice); // the old handle is dead
    link.close();
    openedLink(link);
    QCOMPARE(link.firmware().pinDirections(), uint8_t(0));
    QVERIFY(!link.chip().isSelected());
    QCOMPARE(link.pendingInPackets(), std::size_t(0));
    QCOMPARE(link.chip().status(), uint8_t(0x04)); // BP bits are non-volatile
    QVERIFY(!link.chip().isFourByteMode());
    QCOMPARE(linkCommand(link, hex("0300000700")), hex("FFFFFFFF42"));
}

void TestEmulator::staleInShiftsAnswers()
{
    EmulatedLink link;
    link.setStaleIn(toVector(hex("AABBCCDD")));
    openedLink(link);
    QCOMPARE(linkCommand(link, hex("9F000000")), unmirrored(hex("AABBCCDD")));
    QCOMPARE(link.pendingInPackets(), std::size_t(1));
    QCOMPARE(linkCommand(link, hex("9F000000")), hex("FFEF4017"));

    link.setStaleIn(toVector(hex("AABBCCDD")));
    link.drainIn();
    QCOMPARE(link.pendingInPackets(), std::size_t(0));
    QCOMPARE(linkCommand(link, hex("9F000000")), hex("FFEF4017"));
}

void TestEmulator::countersAndSleep()
{
    EmulatedLink link;
    openedLink(link);
    uint8_t data[2];
    std::size_t got = 0;
    link.controlIn(0x5F, 0, 0, data, 2, got);
    send(link, kSelect + spiPacket(QByteArray(31, 0)) + spiPacket(hex("00")), {31, 1});
    send(link, QByteArray(), {});
    const EmulatedLink::Counters &counters = link.counters();
    QCOMPARE(counters.exchanges, uint64_t(2));
    QCOMPARE(counters.outTransfers, uint64_t(1));
    QCOMPARE(counters.inTransfers, uint64_t(2));
    QCOMPARE(counters.packets, uint64_t(3));
    QCOMPARE(counters.controlTransfers, uint64_t(1));
    QCOMPARE(counters.bytesOut, uint64_t(32 + 32 + 2));
    QCOMPARE(counters.spiBytes, uint64_t(32));
    link.resetCounters();
    QCOMPARE(link.counters().exchanges, uint64_t(0));

    const uint64_t before = link.clock().nowNs();
    link.sleepMs(50);
    QCOMPARE(link.clock().nowNs(), before + 50 * kMs);
    QCOMPARE(link.counters().sleepNs, 50 * kMs);
    QCOMPARE(link.counters().exchanges, uint64_t(0));
}

QTEST_GUILESS_MAIN(TestEmulator)
#include "tst_emulator.moc"
