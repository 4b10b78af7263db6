#include "emulator/chipmodel.h"
#include "emulator/emulatedlink.h"
#include "emulator/spiflashchip.h"
#include "emulator/virtualclock.h"

#include "bridge/ch341driver.h"

#include <QtTest>

using ch341::UsbResult;
using emu::ChipModel;
using emu::EmulatedLink;
using emu::VirtualClock;

Q_DECLARE_METATYPE(UsbResult)
Q_DECLARE_METATYPE(ChipModel)

namespace {

constexpr uint64_t kUs = VirtualClock::kNsPerUs;
constexpr uint64_t kMs = VirtualClock::kNsPerMs;
constexpr uint64_t kS = 1000 * kMs;

QByteArray hex(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1());
}

QByteArray toBytes(const std::vector<uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
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
        for (const char byte : mosi)
            miso.append(char(chip.transfer(uint8_t(byte))));
        chip.setSelected(false);
        return miso;
    }
    // Sends each space-separated hex command, waits out its busy time.
    QByteArray run(const QString &commands)
    {
        QByteArray answers;
        for (const QString &mosi : commands.split(' ', Qt::SkipEmptyParts)) {
            answers += command(hex(mosi));
            for (int guard = 0; guard < 200000 && chip.isBusy(); ++guard)
                clock.advanceNs(kMs);
        }
        return answers;
    }

    VirtualClock clock;
    emu::SpiFlashChip chip;
};

QByteArray padded(const QByteArray &packet)
{
    return packet + QByteArray(32 - packet.size(), '\0');
}

const QByteArray kSelect = padded(hex("AB806920"));
const QByteArray kDeselect = padded(hex("AB816920"));

// The bridge shifts bytes out least significant bit first.
QByteArray mirrored(QByteArray bytes)
{
    for (char &byte : bytes)
        byte = char(ch341::mirrorByte(uint8_t(byte)));
    return bytes;
}

QByteArray spiPacket(const QByteArray &bytes)
{
    return hex("A8") + mirrored(bytes);
}

UsbResult send(EmulatedLink &link, const QByteArray &out, std::vector<std::size_t> inLengths,
               QByteArray *in = nullptr)
{
    std::vector<uint8_t> reply;
    const UsbResult result =
        link.exchange({std::vector<uint8_t>(out.begin(), out.end())}, inLengths, reply);
    if (in)
        *in = toBytes(reply);
    return result;
}

// One command of at most 31 bytes framed by chip select; its short SPI packet
// ends the OUT transfer, else the bridge would clock what follows as data.
QByteArray linkCommand(EmulatedLink &link, const QByteArray &mosi)
{
    QByteArray wire;
    send(link, kSelect + spiPacket(mosi), {std::size_t(mosi.size())}, &wire);
    send(link, kDeselect, {});
    return mirrored(wire);
}

EmulatedLink &openedLink(EmulatedLink &link)
{
    std::string name;
    link.open(name);
    return link;
}

} // namespace

// Drives the emulated chip and programmer as the bridge would.
class TestEmulator : public QObject
{
    Q_OBJECT

private slots:
    void commands_data()
    {
        QTest::addColumn<ChipModel>("model");
        // Hex commands; only the answers of those after '|' are compared.
        QTest::addColumn<QString>("commands");
        QTest::addColumn<QByteArray>("answers");
        const ChipModel w25q64 = emu::w25q64fv();
        const ChipModel w25q256 = emu::w25q256jv();
        QTest::newRow("9F stops after three bytes") << w25q64 << "9F00000000" << hex("FFEF4017FF");
        QTest::newRow("90 address 0") << w25q64 << "9000000000000000" << hex("FFFFFFFFEF16EF16");
        QTest::newRow("90 address 1: device first")
            << w25q64 << "900000010000" << hex("FFFFFFFF16EF");
        QTest::newRow("4B unique ID after four dummies")
            << w25q64 << "4B00000000000000000000000000" << hex("FFFFFFFFFFD26A5C3B1F082947FF");
        QTest::newRow("AT45DB161D: 9F only")
            << emu::at45db161d() << "9F000000 0500 03000000" << hex("FF1F2600 FFFF FFFFFFFF");

        QTest::newRow("WEL shows, status repeats") << w25q64 << "06 | 050000" << hex("FF0202");
        QTest::newRow("04 clears WEL") << w25q64 << "06 04 | 0500" << hex("FF00");
        QTest::newRow("program only clears bits")
            << w25q64 << "06 02000100F0F00F 06 020001000F3CFF | 03000100000000"
            << hex("FFFFFFFF00300F");
        QTest::newRow("page end wraps to the page start, next page untouched")
            << w25q64 << "06 020001FE11223344 | 0300010000 03000200FF 030001FE0000"
            << hex("FFFFFFFF33 FFFFFFFFFF FFFFFFFF1122");
        QTest::newRow("over a page keeps the last 256 bytes")
            << w25q64 << "06 02000200" + QString(512, '5') + "0102 | 0300020000000000"
            << hex("FFFFFFFF01025555");

        // Write commands need WEL and run only when chip select rises right
        // after their last byte: WEL stays as it was, the A5 at 0x10 stays.
        for (const char *command :
             {"0200001000", "20000000", "D8000000", "C7", "60", "011C", "0600"}) {
            QTest::newRow(qPrintable(QString("without WEL: ") + command))
                << w25q64 << QString("06 02000010A5 %1 | 0500 0300001000").arg(command)
                << hex("FF00FFFFFFFFA5");
        }
        for (const char *command :
             {"02000010", "020000", "200000", "2000000000", "C700", "0400", "01", "011C0000"}) {
            QTest::newRow(qPrintable(QString("cut short: ") + command))
                << w25q64 << QString("06 02000010A5 06 %1 | 0500 0300001000").arg(command)
                << hex("FF02FFFFFFFFA5");
        }

        QTest::newRow("AB wakes it; WREN while asleep was lost")
            << w25q64 << "B9 06 | AB00000000 0500 9F000000" << hex("FFFFFFFF16 FF00 FFEF4017");

        QTest::newRow("B7 sets ADS") << w25q256 << "B7 | 1500" << hex("FF61");
        QTest::newRow("4-byte addresses reach above 16 MiB until E9")
            << w25q256 << "B7 06 0201000005AA E9 | 0300000500 B7 030100000500"
            << hex("FFFFFFFFFF FF FFFFFFFFFFAA");
        QTest::newRow("12h and 13h carry 4-byte addresses in 3-byte mode")
            << w25q256 << "06 120100000555 | 130100000500 0300000500"
            << hex("FFFFFFFFFF55 FFFFFFFFFF");
        QTest::newRow("no 4-byte mode on a 64 Mbit chip") << w25q64 << "B7 | 1500" << hex("FF60");

        // Other families, as their datasheets describe them.
        const ChipModel sst = emu::sst25vf016b();
        const QString sstOpen = "50 0100 ";
        QTest::newRow("SST: BP bits set at power-up") << sst << "| 0500" << hex("FF1C");
        QTest::newRow("SST: WRSR needs EWSR right before")
            << sst << "50 0500 0100 | 0500 50 0100 0500" << hex("FF1C FF FFFF FF00");
        QTest::newRow("SST: 02 programs one byte")
            << sst << sstOpen + "06 020000101122 | 030000100000" << hex("FFFFFFFF11FF");
        QTest::newRow("SST: word AAI, address once, 04 leaves")
            << sst << sstOpen + "06 AD0000101122 AD3344 | 0500 04 0500 0300001000000000"
            << hex("FF42 FF FF00 FFFFFFFF11223344");
        QTest::newRow("SST: AAI mode takes no other command")
            << sst << sstOpen + "06 AD0000101122 0300001000 | 9F000000 04 0300001000"
            << hex("FFFFFFFF FF FFFFFFFF11");
        QTest::newRow("SST25VF040: byte AAI")
            << emu::sst25vf040() << sstOpen + "06 AF00002011 AF22 04 | 030000200000"
            << hex("FFFFFFFF1122");
        const ChipModel atmel = emu::at25df041a();
        QTest::newRow("AT25DF: sectors protected at power-up, WPP shows WP# high")
            << atmel << "06 0200000011 | 0500 0300000000" << hex("FF1C FFFFFFFFFF");
        QTest::newRow("AT25DF: global unprotect")
            << atmel << "06 0100 06 0200000011 | 0500 0300000000" << hex("FF10 FFFFFFFF11");
        QTest::newRow("AT25DF: SPRL blocks global unprotect until cleared")
            << atmel << "06 01BC 06 0100 | 0500 06 0100 0500" << hex("FF1C FF FFFF FF10");
        const ChipModel micron = emu::mt25ql256();
        QTest::newRow("Micron: B7 without WREN keeps 3-byte addresses")
            << micron << "B7 06 020000000011 | 030000000000" << hex("FFFFFFFF0011");
        QTest::newRow("Micron: WREN B7 gives 4-byte addresses, E9 without WREN keeps them")
            << micron << "06 B7 E9 06 020000000011 | 03000000000000" << hex("FFFFFFFFFF11FF");
        QTest::newRow("Spansion: error flags are no status bits, CLSR clears them")
            << emu::ChipModelBuilder(emu::s25fl128s()).powerUpStatus1(0x60).build()
            << "| 0500 06 0100 0500 30 0500" << hex("FF60 FF FFFF FF60 FF FF00");
    }

    void commands()
    {
        QFETCH(ChipModel, model);
        QFETCH(QString, commands);
        QFETCH(QByteArray, answers);
        Bench bench(model);
        bench.run(commands.section('|', 0, -2));
        QCOMPARE(bench.run(commands.section('|', -1)).toHex(' '), answers.toHex(' '));
    }

    void busyTime_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<uint64_t>("durationNs");
        QTest::newRow("chip erase C7") << hex("C7") << 20 * kS;
        QTest::newRow("sector erase") << hex("20001234") << 45 * kMs;
        QTest::newRow("status write") << hex("0100") << 10 * kMs;
        QTest::newRow("page program") << hex("02000000AA") << 700 * kUs;
    }

    void busyTime()
    {
        QFETCH(QByteArray, command);
        QFETCH(uint64_t, durationNs);
        Bench bench;
        bench.command(hex("06"));
        bench.command(command);
        bench.clock.advanceNs(durationNs - 1);
        QCOMPARE(bench.command(hex("0500")), hex("FF03")); // BUSY with WEL until done
        bench.clock.advanceNs(1);
        QCOMPARE(bench.command(hex("0500")), hex("FF00"));
    }

    void busyIgnoresCommands()
    {
        Bench bench;
        bench.run("06 0200000012 06");
        bench.command(hex("20000000"));
        QCOMPARE(bench.command(hex("9F000000 0300000000")), hex("FFFFFFFF FFFFFFFFFF"));
        bench.command(hex("06"));
        bench.command(hex("0200000000"));
        QCOMPARE(bench.run("0500 0500 0300000000"), hex("FF03 FF00 FFFFFFFFFF"));
    }

    void blockProtection_data()
    {
        QTest::addColumn<QString>("statusWrite"); // 01h with SR1 and SR2
        QTest::addColumn<uint32_t>("address");
        QTest::addColumn<bool>("writable");
        const uint32_t top = 8 * 1024 * 1024;
        QTest::newRow("BP1 protects the top 128 KiB") << "010400" << top - 0x20000 << false;
        QTest::newRow("BP1 leaves the page below") << "010400" << top - 0x20000 - 256 << true;
        QTest::newRow("BP7 protects everything") << "011C00" << 0u << false;
        QTest::newRow("TB moves it to the bottom") << "012400" << 0x1FF00u << false;
        QTest::newRow("CMP protects the rest") << "010440" << 0u << false;
        QTest::newRow("BUSY and WEL are not writable") << "0103" << 0u << true;
    }

    void blockProtection()
    {
        QFETCH(QString, statusWrite);
        QFETCH(uint32_t, address);
        QFETCH(bool, writable);
        Bench bench;
        bench.run("06 " + statusWrite);
        const uint8_t status1 = uint8_t(hex(statusWrite)[1]);
        // BUSY and WEL are not writable; a refused write drops WEL too.
        const QByteArray status = hex("FF") + char(status1 & 0xFC);
        const QString at = QString::asprintf("%06X", address);
        bench.run("06 02" + at + "00");
        QCOMPARE(bench.run("03" + at + "00 0500"),
                 hex(writable ? "FFFFFFFF00" : "FFFFFFFFFF") + status);
        // Chip erase is refused as a whole while any block is protected.
        bench.run("06 20" + at + QString::asprintf(" 06 02%06X00 06 C7", address + 1));
        const bool refused = writable && (status1 & emu::SpiFlashChip::kStatusBlockProtect) != 0;
        QCOMPARE(bench.run("03" + at + "0000 0500"),
                 hex(refused ? "FFFFFFFFFF00" : "FFFFFFFFFFFF") + status);
    }

    void exchanges_data()
    {
        using Lengths = std::vector<std::size_t>;
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<Lengths>("inLengths");
        QTest::addColumn<bool>("noChip");
        QTest::addColumn<UsbResult>("result");
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<bool>("selected");
        const QByteArray read = spiPacket(hex("9F000000"));
        const QByteArray answer = hex("FFF702E8");
        const QByteArray ones = hex("FFFFFFFF");
        const Lengths four = {4};
        const UsbResult ok = UsbResult::Ok;
        QTest::newRow("wire bytes mirrored both ways")
            << kSelect + read << four << false << ok << answer << true;
        QTest::newRow("no chip reads ones")
            << kSelect + read << four << true << ok << ones << false;
        QTest::newRow("CS driven high")
            << kDeselect + read << four << false << ok << ones << false;
        QTest::newRow("clock not driven")
            << padded(hex("AB806120")) + read << four << false << ok << ones << true;
        QTest::newRow("released") << padded(hex("AB804020")) + read << four << false << ok << ones
                                  << false;
        // A short SPI packet ends the OUT transfer's commands: the deselect goes out as data.
        QTest::newRow("short SPI packet swallows the next packet")
            << kSelect + spiPacket(hex("9F")) + kDeselect << Lengths{31} << false << ok
            << answer + QByteArray(27, char(0xFF)) << true;
        QTest::newRow("reply shorter than asked")
            << kSelect + read << Lengths{5} << false << UsbResult::ShortReply << answer << true;
        QTest::newRow("reply missing")
            << kSelect + read << Lengths{4, 4} << false << UsbResult::Timeout << answer << true;
        QTest::newRow("OUT over 4096 bytes") << QByteArray(4097, char(0xAB)) << Lengths{} << false
                                             << UsbResult::Io << QByteArray() << false;
    }

    void exchanges()
    {
        QFETCH(QByteArray, out);
        QFETCH(std::vector<std::size_t>, inLengths);
        QFETCH(bool, noChip);
        QFETCH(QByteArray, in);
        EmulatedLink link;
        openedLink(link).setNoChip(noChip);
        QByteArray received;
        QTEST(send(link, out, inLengths, &received), "result");
        QCOMPARE(received.toHex(' '), in.toHex(' '));
        QTEST(link.chip().isSelected(), "selected");
    }

    void usbTiming_data()
    {
        QTest::addColumn<uint64_t>("startNs");
        QTest::addColumn<QByteArray>("pins"); // UIO packet ahead of the SPI packets
        QTest::addColumn<int>("spiBytes");    // sent in packets of 31
        QTest::addColumn<uint64_t>("doneNs"); // clock once the exchange returns
        QTest::addColumn<bool>("modern");     // a host that starts 125 us after the last exchange
        // Each packet: 30 us OUT; a UIO command 0.75 us; an SPI packet 10 us of firmware, 8
        // clocks a byte at 1.45 MHz (160/29 us) and a 29 us IN transaction for its reply.
        const uint64_t spiPacketNs = 69 * kUs;
        const uint64_t selectNs = 31500; // OUT and two pin commands
        QTest::newRow("pins alone wait for a frame")
            << uint64_t(0) << kSelect << 0 << kMs + selectNs << false;
        QTest::newRow("mid-frame start waits for the next frame")
            << 1400 * kUs << kSelect << 0 << 2 * kMs + selectNs << false;
        QTest::newRow("256-byte read outlasts its frame")
            << 5 * kMs + 10 * kUs << kSelect << 256
            << 6 * kMs + selectNs + 9 * spiPacketNs + 256 * 160000 / 29 << false;
        QTest::newRow("4 KiB OUT of 128 packets")
            << uint64_t(0) << QByteArray() << 3968 << kMs + 128 * spiPacketNs + 3968 * 160000 / 29
            << false;
        QTest::newRow("UIO delay of 5 us")
            << uint64_t(0) << padded(hex("ABC520")) << 0 << kMs + 30750 + 5 * kUs << false;
        QTest::newRow("modern host: 125 us after the last exchange")
            << 1400 * kUs << kSelect << 0 << 1525 * kUs + selectNs << true;
    }

    // Every blocking exchange starts at the next 1 ms frame (or soon after the
    // last one ended); the bridge then takes one packet after the other, each
    // at its cost on the bus.
    void usbTiming()
    {
        QFETCH(uint64_t, startNs);
        QFETCH(QByteArray, pins);
        QFETCH(int, spiBytes);
        QFETCH(uint64_t, doneNs);
        QFETCH(bool, modern);
        EmulatedLink link;
        link.clock().setHostProfile(modern ? emu::HostProfile::Modern : emu::HostProfile::Frame);
        openedLink(link).clock().advanceNs(startNs);
        QByteArray out = pins;
        std::vector<std::size_t> inLengths;
        for (int offset = 0; offset < spiBytes; offset += 31) {
            inLengths.push_back(std::size_t(std::min(31, spiBytes - offset)));
            out += spiPacket(QByteArray(int(inLengths.back()), '\0'));
        }
        QCOMPARE(send(link, out, inLengths), UsbResult::Ok);
        QCOMPARE(link.clock().nowNs(), doneNs);
        QCOMPARE(link.counters().spiBytes, uint64_t(spiBytes));
        QCOMPARE(link.counters().packets, uint64_t(out.size() + 31) / 32);
    }

    void driverSequenceFrames_data()
    {
        // "sel" and "desel" set the pins, "S<n>" streams n bytes, "wait<n>" pauses n ms.
        QTest::addColumn<QString>("calls");
        QTest::addColumn<uint64_t>("exchanges");
        QTest::addColumn<uint64_t>("doneNs");
        QTest::newRow("pin settings alone cost no exchange")
            << "sel desel sel desel" << uint64_t(0) << uint64_t(0);
        // The second starts at 2 ms and takes a UIO and nine SPI packets.
        QTest::newRow("read chunk: two exchanges, the second outlasts two frames")
            << "sel S4 sel S256 desel" << uint64_t(2) << uint64_t(4064914);
        // 255 SPI packets fill the first with the pin packet; 95 bytes in 4 start at 63 ms.
        QTest::newRow("8000 bytes behind a pin packet: one exchange per 8 KiB")
            << "sel S8000 desel" << uint64_t(2) << uint64_t(63800138);
        QTest::newRow("pause sends the queued pins first")
            << "sel wait2" << uint64_t(1) << uint64_t(3 * kMs + 31500);
        QTest::newRow("pause with nothing queued costs no exchange")
            << "wait2" << uint64_t(0) << uint64_t(2 * kMs);
    }

    // The driver's traffic on the modelled bus.
    void driverSequenceFrames()
    {
        QFETCH(QString, calls);
        QFETCH(uint64_t, exchanges);
        QFETCH(uint64_t, doneNs);
        EmulatedLink link;
        ch341::Ch341Driver driver(link);
        QVERIFY(driver.open() == ch341::Ch341Driver::kOpenToken);
        for (const QString &call : calls.split(' ')) {
            if (call.startsWith("wait")) {
                QVERIFY(driver.setDelayMs(call.mid(4).toUInt()));
            } else if (call.startsWith('S')) {
                std::vector<uint8_t> buffer(call.mid(1).toUInt(), 0x00);
                QVERIFY(driver.streamSpi(0, uint32_t(buffer.size()), buffer.data()));
            } else {
                QVERIFY(driver.setPins(0x29, call == "sel" ? 0x00 : 0x01));
            }
        }
        QCOMPARE(link.counters().exchanges, exchanges);
        QCOMPARE(link.clock().nowNs(), doneNs);
    }

    void versionUnplugAndReplug()
    {
        EmulatedLink link(emu::w25q256jv());
        uint8_t data[2] = {0xAA, 0xAA};
        std::size_t got = 9;
        QCOMPARE(link.controlIn(0x5F, 0, 0, data, 2, got), UsbResult::Io); // not open yet
        openedLink(link).setVersion(0x32);
        QCOMPARE(link.controlIn(0x5F, 0, 0, data, 2, got), UsbResult::Ok);
        QCOMPARE(toBytes({data[0], data[1]}), hex("3200"));
        QCOMPARE(link.controlIn(0x5E, 0, 0, data, 2, got), UsbResult::Io);

        link.unplugAfterTransfers(2);
        QCOMPARE(link.controlIn(0x5F, 0, 0, data, 2, got), UsbResult::Ok);
        QCOMPARE(send(link, kSelect, {}), UsbResult::Ok);
        QCOMPARE(send(link, kDeselect, {}), UsbResult::NoDevice);
        QCOMPARE(link.controlIn(0x5F, 0, 0, data, 2, got), UsbResult::NoDevice);
        link.close();
        std::string name;
        QCOMPARE(link.open(name), UsbResult::NotFound);
        link.setPresent(true);
        QCOMPARE(link.open(name), UsbResult::Ok);
        QCOMPARE(name, std::string("CH341A 1a86:5512 (emulated)"));

        // A replug power-cycles the chip and kills the old handle.
        linkCommand(link, hex("B7"));
        send(link, kSelect, {});
        link.replug();
        QCOMPARE(send(link, kDeselect, {}), UsbResult::NoDevice);
        link.close();
        QVERIFY(!link.chip().isSelected());
        QVERIFY(!link.chip().isFourByteMode());
    }

    void staleInShiftsAnswers()
    {
        EmulatedLink link;
        link.setStaleIn({0xAA, 0xBB});
        QCOMPARE(linkCommand(openedLink(link), hex("0600")), mirrored(hex("AABB")));
        QCOMPARE(linkCommand(link, hex("0500")), hex("FFFF")); // the answer to 0600
        link.drainIn();
        QCOMPARE(linkCommand(link, hex("9F000000")), hex("FFEF4017"));
    }
};

QTEST_GUILESS_MAIN(TestEmulator)
#include "tst_emulator.moc"
