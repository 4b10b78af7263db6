#include "failonwarning.h"
#include "emulator/chipmodel.h"
#include "emulator/emulatedch347.h"
#include "emulator/emulatedlink.h"
#include "emulator/spiflashchip.h"
#include "emulator/virtualclock.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using emu::ChipModel;
using emu::VirtualClock;

Q_DECLARE_METATYPE(ChipModel)
Q_DECLARE_METATYPE(emu::HostProfile)

namespace {

constexpr uint64_t kUs = VirtualClock::kNsPerUs;
constexpr uint64_t kMs = VirtualClock::kNsPerMs;
constexpr uint64_t kS = 1000 * kMs;

QByteArray hex(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1());
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

} // namespace

// The chip model's command semantics, which every job test relies on.
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
        QTest::newRow("9F stops after three bytes") << w25q64 << "9F00000000" << hex("FFEF4017FF");
        QTest::newRow("AT45DB161D: 9F only")
            << emu::at45db161d() << "9F000000 0500 03000000" << hex("FF1F2600 FFFF FFFFFFFF");

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

        // Other families, as their datasheets describe them.
        const ChipModel sst = emu::sst25vf016b();
        const QString sstOpen = "50 0100 ";
        QTest::newRow("SST: WRSR needs EWSR right before")
            << sst << "50 0500 0100 | 0500 50 0100 0500" << hex("FF1C FF FFFF FF00");
        QTest::newRow("SST: 02 programs one byte")
            << sst << sstOpen + "06 020000101122 | 030000100000" << hex("FFFFFFFF11FF");
        QTest::newRow("SST: AAI mode takes no other command")
            << sst << sstOpen + "06 AD0000101122 0300001000 | 9F000000 04 0300001000"
            << hex("FFFFFFFF FF FFFFFFFF11");
        const ChipModel atmel = emu::at25df041a();
        QTest::newRow("AT25DF: SPRL blocks global unprotect until cleared")
            << atmel << "06 01BC 06 0100 | 0500 06 0100 0500" << hex("FF1C FF FFFF FF10");
        const ChipModel micron = emu::mt25ql256();
        QTest::newRow("Micron: B7 without WREN keeps 3-byte addresses")
            << micron << "B7 06 020000000011 | 030000000000" << hex("FFFFFFFF0011");
        QTest::newRow("Micron: WREN B7 gives 4-byte addresses, E9 without WREN keeps them")
            << micron << "06 B7 E9 06 020000000011 | 03000000000000" << hex("FFFFFFFFFF11FF");
        const ChipModel sst26 = emu::sst26vf064b();
        QTest::newRow("SST26: 72h sends 144 bits, the top 8 KiB blocks' first, read locks clear")
            << sst26 << "| 72" + QString(38, '0') << hex("FF 5555" + QString(32, 'F') + "FF");
        QTest::newRow("SST26: 42h locks the top 32 KiB block alone, a short 42h nothing")
            << sst26
            << "06 98 06 42000080" + QString(30, '0') +
                   " 06 42FFFF 06 027EFFFF11 06 027F000022 | 037EFFFF0000 7200000000"
            << hex("FFFFFFFF11FF FF00008000");
        QTest::newRow("Spansion: error flags are no status bits, CLSR clears them")
            << emu::ChipModelBuilder(emu::s25fl128s()).powerUpStatus1(0x60).build()
            << "| 0500 06 0100 0500 30 0500" << hex("FF60 FF FFFF FF60 FF FF00");
        QTest::newRow("S25FL-S: 01h with CR1 keeps QUAD, a one-byte 01h clears it")
            << emu::s25fl128s() << "| 3500 06 010002 3500 06 0100 3500"
            << hex("FF02 FF FFFFFF FF02 FF FFFF FF00");
        QTest::newRow("GD25Q256D: SRP1 in SR2 bit 6 locks the registers")
            << emu::gd25q256d() << "06 010040 | 06 011C00 0500 3500" << hex("FF FFFFFF FF00 FF40");
        QTest::newRow("MT25QL01G: C7 does nothing, C4 erases the die of its address")
            << emu::mt25ql01g()
            << "06 B7 06 020000001011 06 020400001022 06 C7 06 C404000000 | "
               "030000001000 030400001000"
            << hex("FFFFFFFFFF11 FFFFFFFFFFFF");
        QTest::newRow("W25M512JV: C2 selects a die with its own status and memory")
            << emu::w25m512jv()
            << "06 0200001011 C201 06 011C00 | 0300001000 0500 C200 0500 "
               "0300001000"
            << hex("FFFFFFFFFF FF1C FFFF FF00 FFFFFFFF11");
        QTest::newRow("AMIC A25L080P: 9F answers after the continuation code")
            << emu::a25l080p() << "| 9F00000000" << hex("FF7F372014");
        QTest::newRow("AT25F512: no 4 KiB erase, 20h does nothing")
            << emu::at25f512() << "06 0200100011 06 20001000 | 0300100000" << hex("FFFFFFFF11");
        QTest::newRow("W25Q64FV: SFDP erase types 4 KiB 20h, 32 KiB 52h, 64 KiB D8h")
            << w25q64 << "| 5A00009C00" + QString(16, '0') << hex("FFFFFFFFFF 0C200F5210D800FF");
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

    void busCost_data()
    {
        QTest::addColumn<emu::HostProfile>("host");
        // The virtual clock after each of two exchanges of one full SPI packet from time 0. The
        // packet costs its OUT transaction (30 us), the firmware's work (10 us), 31 bytes at
        // 1.45 MHz (171.03 us) and its reply's IN transaction (29 us): 240.03 us.
        QTest::addColumn<uint64_t>("firstNs");
        QTest::addColumn<uint64_t>("secondNs");
        QTest::newRow("frame host: each exchange starts at the next 1 ms frame")
            << emu::HostProfile::Frame << uint64_t(1240034) << uint64_t(2240034);
        QTest::newRow("modern host: each exchange starts 125 us after the last ended")
            << emu::HostProfile::Modern << uint64_t(365034) << uint64_t(730068);
    }

    // The bus model's constants, which every benchmark figure and the demo's pace rest on.
    void busCost()
    {
        QFETCH(emu::HostProfile, host);
        QFETCH(uint64_t, firstNs);
        QFETCH(uint64_t, secondNs);
        emu::EmulatedLink link;
        link.clock().setHostProfile(host);
        ch341::OpenedBridge opened;
        QVERIFY(link.open(ch341::BridgeChoice::Any, opened) == ch341::UsbResult::Ok);
        std::vector<uint8_t> packet(ch341::kPacketSize, 0xFF);
        packet[0] = 0xA8; // SPI stream
        for (const uint64_t expectedNs : {firstNs, secondNs}) {
            std::vector<uint8_t> in;
            QVERIFY(link.exchange({packet}, {packet.size() - 1}, in) == ch341::UsbResult::Ok);
            QCOMPARE(link.clock().nowNs(), expectedNs);
        }
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

    void ch347Frames_data()
    {
        QTest::addColumn<QStringList>("transfers"); // bulk OUT transfers, in hex
        QTest::addColumn<QString>("answers");       // every answer frame, joined
        QTest::addColumn<QString>("windows");       // what the chip received, window by window
        // SPI master, select by command, 15 MHz, most (or least) significant bit first.
        const QString configure =
            "C01A00 00000401 00000000 000000021000 %1 00 07" + QString(18, QLatin1Char('0'));
        const QString msbFirst = configure.arg("00"), lsbFirst = configure.arg("80");
        const QString select = "C10A00 80" + QString(18, '0'),
                      deselect = "C10A00 C0" + QString(18, '0');
        const QString configured = "C0010000 ";
        QTest::newRow("a frame a transfer: select, read the JEDEC id, deselect")
            << QStringList{msbFirst, select, "C20400 9F000000", deselect}
            << configured + "C20400 FFEF4017"
            << "9F000000";
        QTest::newRow("a second frame in the same transfer is lost")
            << QStringList{msbFirst, select + "C20400 9F000000", deselect} << configured << "";
        QTest::newRow("a frame longer than its transfer is ignored")
            << QStringList{msbFirst, select, "C20500 9F000000", deselect} << configured << "";
        QTest::newRow("more than 507 bytes is no frame")
            << QStringList{msbFirst, select, "C2FC01" + QString(1016, '0'), deselect} << configured
            << "";
        QTest::newRow("no SPI before the bridge is configured")
            << QStringList{select, "C20400 9F000000", "C40100 06", deselect} << ""
            << "";
        QTest::newRow("a send is answered by one status byte")
            << QStringList{msbFirst, select, "C40100 06", deselect} << configured + "C40100 00"
            << "06";
        QTest::newRow("0xC3 clocks 0x00 out and answers in frames of 507")
            << QStringList{msbFirst, select, "C20400 03000000", "C30400 E8030000", deselect}
            << configured + "C20400 FFFFFFFF C3FB01" + QString(1014, 'F') + " C3ED01" +
                   QString(986, 'F')
            << "03000000" + QString(2000, '0');
        QTest::newRow("least significant bit first: every byte mirrored both ways")
            << QStringList{lsbFirst, select, "C20400 F9000000", deselect}
            << configured + "C20400 FFF702E8"
            << "9F000000";
        QTest::newRow("chip select high: bytes clocked reach no chip")
            << QStringList{msbFirst, "C30400 02000000", select, "C20100 05", deselect}
            << configured + "C30200 FFFF C20100 FF"
            << "05";
    }

    // The emulated CH347 is no more forgiving than the protocol facts.
    void ch347Frames()
    {
        QFETCH(QStringList, transfers);
        QFETCH(QString, answers);
        QFETCH(QString, windows);
        VirtualClock clock;
        emu::SpiFlashChip chip(emu::w25q64fv(), clock);
        emu::EmulatedCh347 bridge(clock);
        bridge.attachChip(&chip);
        QByteArray answered;
        for (const QString &transfer : transfers) {
            const QByteArray bytes = hex(QString(transfer).remove(' '));
            for (const std::vector<uint8_t> &frame :
                 bridge.processOut(std::vector<uint8_t>(bytes.begin(), bytes.end())))
                answered +=
                    QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size()));
        }
        QCOMPARE(answered.toHex().toUpper(), QString(answers).remove(' ').toLatin1());
        QStringList received;
        for (const std::vector<uint8_t> &frame : chip.frames())
            received << QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size()))
                            .toHex()
                            .toUpper();
        QCOMPARE(received.join(' ').trimmed(), windows);
        QVERIFY(!bridge.chipSelected());
    }

    // A chip kept in an image file is one programmer: while one link has it open another is
    // refused as busy, and the next open finds what the last close saved, whole.
    void imageIsOneProgrammer()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const std::string image = folder.filePath(QStringLiteral("chip.bin")).toStdString();
        const ChipModel model = emu::w25q80dv();
        emu::EmulatedLink first(model), second(model);
        first.setImagePath(image);
        second.setImagePath(image);
        ch341::OpenedBridge opened;
        QCOMPARE(first.open(ch341::BridgeChoice::Any, opened), ch341::UsbResult::Ok);
        std::fill(first.chip().memory().begin(), first.chip().memory().begin() + 4096, 0x5A);
        QCOMPARE(second.open(ch341::BridgeChoice::Any, opened), ch341::UsbResult::Busy);
        second.close(); // a refused open saves nothing over the holder's chip
        QCOMPARE(QFileInfo(QString::fromStdString(image)).exists(), false);

        first.close();
        QCOMPARE(QFileInfo(QString::fromStdString(image)).size(), qint64(model.sizeBytes));
        QVERIFY(!QFileInfo::exists(QString::fromStdString(image + ".saving")));
        QCOMPARE(second.open(ch341::BridgeChoice::Any, opened), ch341::UsbResult::Ok);
        QCOMPARE(second.chip().memory().at(4095), uint8_t(0x5A));
        QCOMPARE(second.chip().memory().at(4096), uint8_t(0xFF));
        QCOMPARE(first.open(ch341::BridgeChoice::Any, opened), ch341::UsbResult::Busy);
        second.close();
    }
};

VARNOCK_TEST_GUILESS_MAIN(TestEmulator)
#include "tst_emulator.moc"
