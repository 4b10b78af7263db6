#include "failonwarning.h"
#include "bridge/bridge.h"
#include "bridge/ch341dll.h"
#include "bridge/ch341eeprom.h"
#include "bridge/ch341queue.h"
#include "emulator/chipmodel.h"
#include "emulator/emulatedlink.h"
#include "emulator/i2ceeprom.h"
#include "emulator/microwireeeprom.h"

#include <QtTest>

#include <memory>

using ch341::BridgeKind;
using emu::ChipModel;
using Fault = emu::EmulatedLink::TransferFault;

Q_DECLARE_METATYPE(ChipModel)
Q_DECLARE_METATYPE(BridgeKind)
Q_DECLARE_METATYPE(Fault)

#define COMPARE_HEX(actual, expected) QCOMPARE((actual).toHex(' '), (expected).toHex(' '))

namespace {

constexpr uint64_t kMs = emu::VirtualClock::kNsPerMs;

QByteArray hex(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1());
}

QByteArray padded(const QString &packet)
{
    QByteArray bytes = hex(packet);
    return bytes + QByteArray(32 - bytes.size(), '\0');
}

// "1 10 000011" packed most significant bit first.
QByteArray packBits(const QString &bits, int &count)
{
    QString plain = bits;
    plain.remove(QLatin1Char(' '));
    count = plain.size();
    QByteArray packed((count + 7) / 8, '\0');
    for (int i = 0; i < count; ++i) {
        if (plain[i] == QLatin1Char('1'))
            packed[i / 8] = char(packed[i / 8] | 0x80 >> (i % 8));
    }
    return packed;
}

ChipModel stWriteControl(ChipModel model)
{
    model.stWriteControl = true;
    return model;
}

// The bridge library over an emulated bridge with the part in its socket, open, recording
// what reaches the bridge from the open on.
struct Socket
{
    explicit Socket(const ChipModel &model, BridgeKind kind = BridgeKind::Ch341a,
                    const char *bridgeModel = nullptr)
    {
        auto owned = std::make_unique<emu::EmulatedLink>(model, kind);
        link = owned.get();
        if (bridgeModel)
            link->setBridgeModel(bridgeModel);
        link->recordOutTransfers();
        ch341::installUsbLink(std::move(owned));
        opened = CH341OpenDevice(0) != CH341_INVALID_HANDLE;
    }
    ~Socket() { ch341::installUsbLink(nullptr); }

    bool i2c(const QByteArray &write, int readLength, QByteArray &read, uint32_t *ack = nullptr)
    {
        read = QByteArray(readLength, 'Z');
        return ack ? CH341StreamI2C_RetACK(0, uint32_t(write.size()), write.constData(),
                                           uint32_t(readLength), read.data(), ack)
                   : CH341StreamI2C(0, uint32_t(write.size()), write.constData(),
                                    uint32_t(readLength), read.data());
    }
    // The samples as a string of 0 and 1; "fail" when the call failed.
    QString microwire(const QString &instruction, int samples)
    {
        int count = 0;
        const QByteArray out = packBits(instruction, count);
        QByteArray in((samples + 7) / 8, '\0');
        if (!CH341StreamMicrowire(0, uint32_t(count), out.constData(), uint32_t(samples),
                                  in.data()))
            return QStringLiteral("fail");
        QString bits;
        for (int i = 0; i < samples; ++i)
            bits += (in[i / 8] >> (7 - i % 8)) & 1 ? QLatin1Char('1') : QLatin1Char('0');
        return bits;
    }
    QList<QByteArray> sent(int from = 0) const
    {
        QList<QByteArray> transfers;
        for (std::size_t i = std::size_t(from); i < link->receivedOut().size(); ++i) {
            const std::vector<uint8_t> &t = link->receivedOut()[i];
            transfers << QByteArray(reinterpret_cast<const char *>(t.data()), int(t.size()));
        }
        return transfers;
    }

    emu::EmulatedLink *link = nullptr;
    bool opened = false;
};

// Runs a script on a 24xx alone: S START, P STOP, r / n a read acknowledged / not, tN N ms
// pass, wp the WP pin high, hex a byte written. Gives + or - per byte written, hex per read.
QString runI2cScript(const ChipModel &model, const QString &script)
{
    emu::VirtualClock clock;
    emu::I2cEeprom part(model, clock);
    for (uint32_t i = 0; i < model.sizeBytes; ++i)
        part.memory()[i] = uint8_t(i * 7 + i / 256);
    QString result;
    for (const QString &token : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (token == "S")
            part.start();
        else if (token == "P")
            part.stop();
        else if (token == "r" || token == "n")
            result += QString::asprintf(" %02X", part.read(token == "r"));
        else if (token == "wp")
            part.setWriteProtectPin(true);
        else if (token.startsWith(QLatin1Char('t')))
            clock.advanceNs(token.mid(1).toULongLong() * kMs);
        else
            result += part.write(uint8_t(token.toUInt(nullptr, 16))) ? '+' : '-';
    }
    return result;
}

} // namespace

class TestEeprom : public QObject
{
    Q_OBJECT

private slots:
    void i2cModels_data()
    {
        QTest::addColumn<ChipModel>("model");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("result");
        const ChipModel c02 = emu::eeprom24c02();
        // 24C02 bytes at 0x00-0x07 start as 00 07 0E 15 1C 23 2A 31; at 0xFF: F9.
        QTest::newRow("24C02: a page write wraps inside its 8 bytes")
            << c02 << "S A0 06 11 22 33 P t5 S A0 00 S A1 r r r n P"
            << "++++++++ 33 07 0E 15";
        QTest::newRow("24C02: during tWR every address byte is refused, then acknowledged")
            << c02 << "S A0 10 AA P S A0 P t4 S A1 P t1 S A0 P"
            << "+++--+";
        QTest::newRow("24C02: a write without STOP starts nothing")
            << c02 << "S A0 00 AA S A0 00 S A1 n P"
            << "++++++ 00";
        QTest::newRow("24C02: pins A2-A0 low, 0xA2 is nobody") << c02 << "S A2 P"
                                                               << "-";
        QTest::newRow("24C02: a sequential read wraps from the last byte to 0")
            << c02 << "S A0 FF S A1 r n P"
            << "+++ F9 00";
        QTest::newRow("24C02: the pointer persists: a current-address read goes on")
            << c02 << "S A0 04 S A1 n P S A1 n P"
            << "+++ 1C+ 23";
        // The refused byte still clocks the part's next byte out: the pointer moves on.
        QTest::newRow("24C02: a read acknowledged last holds SDA: the next START is lost")
            << c02 << "S A0 00 S A1 r P S A1 n P S A1 n P"
            << "+++ 00- FF+ 0E";
        QTest::newRow("24C16: block bits a10-a8 in the device byte: AE 00 is 0x700")
            << emu::eeprom24c16() << "S AE 00 S AF n P S A0 00 S A1 n P"
            << "+++ 07+++ 00";
        QTest::newRow("24C16: a sequential read runs across blocks")
            << emu::eeprom24c16() << "S A0 FF S A1 r n P"
            << "+++ F9 01";
        QTest::newRow("24C256: two address bytes, most significant first")
            << emu::eeprom24c256() << "S A0 01 00 S A1 n P"
            << "++++ 01";
        QTest::newRow("24C256: a 64-byte page wraps at 0x40")
            << emu::eeprom24c256() << "S A0 00 3F 11 22 P t5 S A0 00 00 S A1 n P"
            << "+++++++++ 22";
        QTest::newRow("24C1024: a16 in the device byte (A2 reaches the upper half)")
            << emu::eeprom24c1024() << "S A2 00 00 S A3 n P"
            << "++++ 00";
        QTest::newRow("24C1024: a16 with pins refused: A4 is nobody")
            << emu::eeprom24c1024() << "S A4 P"
            << "-";
        QTest::newRow("Microchip WP: all acknowledged, nothing written, ready at once")
            << c02 << "wp S A0 00 AA P S A0 00 S A1 n P"
            << "++++++ 00";
        QTest::newRow("ST WC: the data byte refused, nothing written")
            << stWriteControl(c02) << "wp S A0 00 AA P S A0 00 S A1 n P"
            << "++-+++ 00";
    }

    void i2cModels()
    {
        QFETCH(ChipModel, model);
        QFETCH(QString, script);
        QFETCH(QString, result);
        QCOMPARE(runI2cScript(model, script), result);
    }

    void i2cWire_data()
    {
        QTest::addColumn<BridgeKind>("kind");
        QTest::addColumn<QByteArray>("write");
        QTest::addColumn<int>("readLength");
        QTest::addColumn<bool>("askAck");
        QTest::addColumn<QList<QByteArray>>("transfers"); // after the open's SET
        QTest::addColumn<int>("acknowledged");
        const auto a = BridgeKind::Ch341a;
        const auto t = BridgeKind::Ch347;
        QTest::newRow("CH341A random read: address, repeated START, bare C0 last, STOP")
            << a << hex("A00010") << 3 << false
            << QList<QByteArray>{padded("AA 74 83 A00010 74 81 A1 C2 C0 75 00")} << 0;
        QTest::newRow("CH341A acknowledges asked: a bare OUT per byte")
            << a << hex("A00010") << 1 << true
            << QList<QByteArray>{padded("AA 74 80 A0 80 00 80 10 74 80 A1 C0 75 00")} << 4;
        QTest::newRow("CH341A 40 bytes read: a full IN packet, the rest in the next")
            << a << hex("A000") << 40 << false
            << QList<QByteArray>{padded("AA 74 82 A000 74 81 A1 E0 00") + padded("AA C7 C0 75 00")}
            << 0;
        QTest::newRow("CH341A 30 bytes out: 29 fill the packet, the next goes on")
            << a << QByteArray(1, char(0xA0)) + QByteArray(29, 0x11) << 0 << false
            << QList<QByteArray>{hex("AA 74 9C A0") + QByteArray(27, 0x11) + hex("00") +
                                 padded("AA 82 1111 75 00")}
            << 0;
        QTest::newRow("CH347T: the clock first, then the stream unframed, statuses per byte")
            << t << hex("A00010") << 2 << true
            << QList<QByteArray>{hex("AA 62 00"), hex("AA 74 83 A00010 74 81 A1 C1 C0 75 00")}
            << 4;
        QTest::newRow("CH347T 100 bytes out: OUT sub-commands of at most 63")
            << t << QByteArray(1, char(0xA0)) + QByteArray(99, 0x22) << 0 << false
            << QList<QByteArray>{hex("AA 62 00"), hex("AA 74 BF A0") + QByteArray(62, 0x22) +
                                                      hex("A5") + QByteArray(37, 0x22) +
                                                      hex("75 00")}
            << 0;
    }

    // What the bridge gets for one transaction, at 400 kHz (stream mode 2).
    void i2cWire()
    {
        QFETCH(BridgeKind, kind);
        QFETCH(QByteArray, write);
        QFETCH(int, readLength);
        QFETCH(bool, askAck);
        QFETCH(QList<QByteArray>, transfers);
        QFETCH(int, acknowledged);
        Socket socket(emu::eeprom24c256(), kind);
        QVERIFY(socket.opened);
        QVERIFY(CH341SetStream(0, 0x02) && CH341FlushQueue(0));
        const int from = int(socket.link->receivedOut().size());
        QByteArray read;
        uint32_t ack = 99;
        QVERIFY(socket.i2c(write, readLength, read, askAck ? &ack : nullptr));
        const QList<QByteArray> sent = socket.sent(from);
        for (int i = 0; i < qMax(sent.size(), transfers.size()); ++i)
            COMPARE_HEX(sent.value(i), transfers.value(i));
        if (askAck)
            QCOMPARE(int(ack), acknowledged);
        QCOMPARE(read.count('Z'), 0);
    }

    void acknowledges_data()
    {
        QTest::addColumn<BridgeKind>("kind");
        QTest::addColumn<QString>("setup"); // busy, wp, empty
        QTest::addColumn<QByteArray>("write");
        QTest::addColumn<int>("readLength");
        QTest::addColumn<int>("acknowledged");
        QTest::addColumn<QByteArray>("read");
        for (const BridgeKind kind : {BridgeKind::Ch341a, BridgeKind::Ch347}) {
            const QString bridge = kind == BridgeKind::Ch347 ? "CH347T: " : "CH341A: ";
            const auto row = [&bridge](const char *name) -> QTestData & {
                return QTest::newRow(qPrintable(bridge + name));
            };
            row("a read, every byte acknowledged")
                << kind << "" << hex("A00000") << 2 << 4 << hex("FFFF");
            row("a write, every byte acknowledged")
                << kind << "" << hex("A0000055") << 0 << 4 << QByteArray();
            row("in the write cycle the address is refused; the read brings FFh")
                << kind << "busy" << hex("A00000") << 1 << 0 << hex("FF");
            row("ST WC: address acknowledged, the data refused")
                << kind << "wp" << hex("A0000055") << 0 << 3 << QByteArray();
            row("empty socket: nothing answers")
                << kind << "empty" << hex("A0") << 0 << 0 << QByteArray();
        }
    }

    void acknowledges()
    {
        QFETCH(BridgeKind, kind);
        QFETCH(QString, setup);
        QFETCH(QByteArray, write);
        QFETCH(int, readLength);
        QFETCH(int, acknowledged);
        QFETCH(QByteArray, read);
        Socket socket(stWriteControl(emu::eeprom24c256()), kind);
        socket.link->i2cEeprom()->setWriteProtectPin(setup == "wp");
        socket.link->setNoChip(setup == "empty");
        QByteArray got;
        uint32_t ack = 99;
        if (setup == "busy")
            QVERIFY(socket.i2c(hex("A0000011"), 0, got));
        QVERIFY(socket.i2c(write, readLength, got, &ack));
        QCOMPARE(int(ack), acknowledged);
        COMPARE_HEX(got, read);
    }

    void i2cPolled_data()
    {
        QTest::addColumn<BridgeKind>("kind");
        QTest::addColumn<QString>("setup"); // empty: no part in the socket
        QTest::addColumn<QByteArray>("write");
        QTest::addColumn<int>("polls");
        QTest::addColumn<QList<QByteArray>>("transfers"); // empty: not compared
        QTest::addColumn<QString>(
            "first"); // the first poll acknowledged; "between": 0 < n < polls
        const auto a = BridgeKind::Ch341a;
        const auto t = BridgeKind::Ch347;
        const QByteArray page = hex("A0001055");
        QTest::newRow("CH341A: the page, then seven polls to a packet, all refused in the cycle")
            << a << "" << page << 8
            << QList<QByteArray>{padded("AA 74 84 A0001055 75 00") +
                                 padded("AA" + QString("74 80 A0 75").repeated(7) + "00") +
                                 padded("AA 74 80 A0 75 00")}
            << "8";
        QTest::newRow("CH341A: no data byte starts no cycle: the first poll is acknowledged")
            << a << "" << hex("A00010") << 2 << QList<QByteArray>() << "0";
        QTest::newRow("CH341A: the cycle ends within the polls")
            << a << "" << page << 300 << QList<QByteArray>() << "between";
        QTest::newRow("CH341A: no polls: the page alone")
            << a << "" << page << 0 << QList<QByteArray>{padded("AA 74 84 A0001055 75 00")} << "0";
        QTest::newRow("CH341A: empty socket: no poll acknowledged")
            << a << "empty" << page << 3 << QList<QByteArray>() << "3";
        // The page's own four statuses (all acknowledged) come before the polls'.
        QTest::newRow("CH347T: a transfer a poll, the page's statuses skipped")
            << t << "" << page << 2
            << QList<QByteArray>{hex("AA 62 00"), hex("AA 74 84 A0001055 75 00"),
                                 hex("AA 74 81 A0 75 00"), hex("AA 74 81 A0 75 00")}
            << "2";
        QTest::newRow("CH347T: the cycle ends within the polls")
            << t << "" << page << 300 << QList<QByteArray>() << "between";
        QTest::newRow("CH347T: no data byte: the first poll is acknowledged")
            << t << "" << hex("A00010") << 2 << QList<QByteArray>() << "0";
    }

    // A page write with its ACK polls in one exchange, at 400 kHz.
    void i2cPolled()
    {
        QFETCH(BridgeKind, kind);
        QFETCH(QString, setup);
        QFETCH(QByteArray, write);
        QFETCH(int, polls);
        QFETCH(QList<QByteArray>, transfers);
        QFETCH(QString, first);
        Socket socket(emu::eeprom24c256(), kind);
        QVERIFY(socket.opened);
        socket.link->setNoChip(setup == "empty");
        QVERIFY(CH341SetStream(0, 0x02) && CH341FlushQueue(0));
        const int from = int(socket.link->receivedOut().size());
        const quint64 exchanges = socket.link->counters().exchanges;
        uint32_t acknowledged = 9999;
        QVERIFY(CH341StreamI2C_Polled(0, uint32_t(write.size()), write.constData(),
                                      uint32_t(polls), &acknowledged));
        QCOMPARE(socket.link->counters().exchanges, exchanges + 1);
        const QList<QByteArray> sent = socket.sent(from);
        for (int i = 0; !transfers.isEmpty() && i < qMax(sent.size(), transfers.size()); ++i)
            COMPARE_HEX(sent.value(i), transfers.value(i));
        if (first == "between") {
            QVERIFY2(acknowledged > 0 && acknowledged < uint32_t(polls),
                     qPrintable(QString::number(acknowledged)));
            QVERIFY(!socket.link->i2cEeprom()->isBusy());
        } else {
            QCOMPARE(int(acknowledged), first.toInt());
        }
        // The polls start no cycle of their own.
        if (setup.isEmpty())
            QCOMPARE(int(socket.link->i2cEeprom()->writeCycles().size()),
                     write.size() > 3 ? 1 : 0);
    }

    void microwire_data()
    {
        QTest::addColumn<ChipModel>("model");
        QTest::addColumn<QStringList>("instructions"); // bits, then ":" and the samples asked
        QTest::addColumn<QString>("samples");          // of the last instruction
        const QString ewen = "1 00 11 0000:0";
        QTest::newRow("93C46-x16: EWDS at power-up, a WRITE is ignored")
            << emu::eeprom93c46(16)
            << QStringList{"1 01 000011 1011111011101111:0", "1 10 000011:17"}
            << "0 1111111111111111";
        QTest::newRow("93C46-x16: after EWEN a word goes MSB first, busy on DO, then ready")
            << emu::eeprom93c46(16) << QStringList{ewen, "1 01 000011 1011111011101111:0", ":1"}
            << "0";
        QTest::newRow("93C46-x16: a READ gives the dummy 0, then words one after another")
            << emu::eeprom93c46(16)
            << QStringList{ewen, "1 01 000011 1011111011101111:0", "wait", "1 10 000010:33"}
            << "0 1111111111111111 1011111011101111";
        QTest::newRow("93C46-x16: one bit too many voids the WRITE")
            << emu::eeprom93c46(16)
            << QStringList{ewen, "1 01 000011 1011111011101111 0:0", "wait", "1 10 000011:17"}
            << "0 1111111111111111";
        QTest::newRow("93C46-x16: leading zeros before the start bit are harmless")
            << emu::eeprom93c46(16)
            << QStringList{"000 1 00 11 0000:0", "00 1 01 000000 0000000000000001:0", "wait",
                           "1 10 000000:17"}
            << "0 0000000000000001";
        QTest::newRow("93C46-x8: seven address bits, a byte a word")
            << emu::eeprom93c46(8)
            << QStringList{"1 00 11 00000:0", "1 01 1111111 01011010:0", "wait", "1 10 1111111:17"}
            << "0 01011010 11111111";
        QTest::newRow("93C86-x16: ten address bits; ERASE gives all ones after WRAL")
            << emu::eeprom93c86(16) << QStringList{"1 00 11 00000000:0",
                                                   "1 00 01 00000000 0000000000000000:0",
                                                   "wait",
                                                   "1 11 0000000001:0",
                                                   "wait",
                                                   "1 10 0000000000:33"}
            << "0 0000000000000000 1111111111111111";
        QTest::newRow("93C86-x8: ERAL then EWDS: later writes ignored")
            << emu::eeprom93c86(8)
            << QStringList{"1 00 11 000000000:0", "1 00 10 000000000:0",         "wait",
                           "1 00 00 000000000:0", "1 01 00000000000 00000000:0", "wait",
                           "1 10 00000000000:9"}
            << "0 11111111";
    }

    // Instructions through CH341StreamMicrowire on the emulated CH341A.
    void microwire()
    {
        QFETCH(ChipModel, model);
        QFETCH(QStringList, instructions);
        QFETCH(QString, samples);
        Socket socket(model);
        std::fill(socket.link->socketMemory().begin(), socket.link->socketMemory().end(), 0xFF);
        QString last;
        for (const QString &instruction : instructions) {
            if (instruction == "wait") {
                socket.link->clock().advanceNs(20 * kMs);
                continue;
            }
            const QStringList parts = instruction.split(QLatin1Char(':'));
            last = socket.microwire(parts[0], parts[1].toInt());
        }
        QCOMPARE(last, QString(samples).remove(QLatin1Char(' ')));
    }

    // EWEN on a 93C46-x16: chip select low then high, each bit set with the clock low and
    // clocked, the clock low and chip select low at the end; the DO sample a read.
    void microwireWire()
    {
        Socket socket(emu::eeprom93c46(16));
        const int from = int(socket.link->receivedOut().size());
        QCOMPARE(socket.microwire("1 00 11 0000", 1), "1");
        QByteArray bits;
        for (const char bit : QByteArray("100110000"))
            bits += bit == '1' ? hex("A1A9") : hex("8189");
        const QByteArray uio = hex("80 69 81") + bits + hex("00 81 80");
        COMPARE_HEX(socket.sent(from).value(0), padded("AB" + uio.toHex() + "20"));
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("bridge");
        QTest::addColumn<int>("bus");
        QTest::addColumn<QString>("text");
        QTest::newRow("CH341A: both buses") << "CH341A" << CH341_BUS_MICROWIRE << "";
        QTest::newRow("CH347T: I2C") << "CH347T" << CH341_BUS_I2C << "";
        QTest::newRow("CH347T: no Microwire")
            << "CH347T" << CH341_BUS_MICROWIRE
            << "The CH347T has no documented Microwire interface: 93xx EEPROMs are reached "
               "through a CH341A.";
        QTest::newRow("CH347F: no I2C")
            << "CH347F" << CH341_BUS_I2C
            << "The CH347F's I2C interface is not documented: 24xx EEPROMs are reached through "
               "a CH341A or a CH347T.";
    }

    // A refused bus sends nothing and fails nothing: the session goes on.
    void refusals()
    {
        QFETCH(QString, bridge);
        QFETCH(int, bus);
        QFETCH(QString, text);
        const bool ch347 = bridge.startsWith("CH347");
        const ChipModel model = bus == CH341_BUS_I2C ? emu::eeprom24c02() : emu::eeprom93c46(16);
        Socket socket(model, ch347 ? BridgeKind::Ch347 : BridgeKind::Ch341a, qPrintable(bridge));
        QCOMPARE(QString(CH341GetBusRefusal(0, uint32_t(bus))), text);
        const std::size_t before = socket.link->receivedOut().size();
        QByteArray read;
        const bool done = bus == CH341_BUS_I2C ? socket.i2c(hex("A000"), 1, read)
                                               : socket.microwire("1 10 000000", 17) != "fail";
        QCOMPARE(done, text.isEmpty());
        if (!done)
            QCOMPARE(socket.link->receivedOut().size(), before);
        uint8_t status = 0x05;
        QVERIFY(CH341SetStream(0, 0x81) && CH341StreamSPI4(0, 0, 1, &status));
        CH341CloseDevice(0);
        QCOMPARE(CH341GetBusRefusal(0, uint32_t(bus)), "");
    }

    void stickyFailure_data()
    {
        QTest::addColumn<BridgeKind>("kind");
        QTest::addColumn<QString>("bus");
        QTest::addColumn<Fault>("fault");
        for (const BridgeKind kind : {BridgeKind::Ch341a, BridgeKind::Ch347}) {
            const QString bridge = kind == BridgeKind::Ch347 ? "CH347T " : "CH341A ";
            for (const auto &[name, fault] : {std::pair{"unplug", Fault::Unplug},
                                              {"IN time-out", Fault::InTimeout},
                                              {"short IN", Fault::ShortIn},
                                              {"stall", Fault::Stall}})
                QTest::newRow(qPrintable(bridge + "I2C " + name)) << kind << "i2c" << fault;
        }
        QTest::newRow("CH341A Microwire IN time-out")
            << BridgeKind::Ch341a << "microwire" << Fault::InTimeout;
        QTest::newRow("CH341A Microwire unplug")
            << BridgeKind::Ch341a << "microwire" << Fault::Unplug;
    }

    // A failed transfer fails the call and the session: nothing more reaches the bridge
    // until it is closed.
    void stickyFailure()
    {
        QFETCH(BridgeKind, kind);
        QFETCH(QString, bus);
        QFETCH(Fault, fault);
        Socket socket(bus == "i2c" ? emu::eeprom24c256() : emu::eeprom93c46(16), kind);
        QVERIFY(CH341SetStream(0, 0x01));
        const auto call = [&socket, &bus]() {
            QByteArray read;
            return bus == "i2c" ? socket.i2c(hex("A00000"), 64, read)
                                : socket.microwire("1 10 000000", 33) != "fail";
        };
        QVERIFY(call());
        socket.link->failTransferAfter(0, fault);
        QVERIFY(!call());
        const std::size_t sent = socket.link->receivedOut().size();
        QVERIFY(!call());
        uint8_t status = 0x05;
        QVERIFY(!CH341StreamSPI4(0, 0, 1, &status));
        QCOMPARE(socket.link->receivedOut().size(), sent);
        CH341CloseDevice(0);
        if (fault == Fault::Unplug)
            socket.link->replug();
        QVERIFY(CH341OpenDevice(0) != CH341_INVALID_HANDLE);
        QVERIFY(call());
    }

    // A long read at 20 kHz is cut into exchanges of at most a quarter second of bus time,
    // inside the link's one-second time-out.
    void slowClockExchanges()
    {
        for (const BridgeKind kind : {BridgeKind::Ch341a, BridgeKind::Ch347}) {
            Socket socket(emu::eeprom24c256(), kind);
            QVERIFY(CH341SetStream(0, 0x00));
            socket.link->resetCounters();
            QByteArray read;
            const uint64_t start = socket.link->clock().nowNs();
            QVERIFY(socket.i2c(hex("A00000"), 4096, read));
            const uint64_t busNs = uint64_t(4096 + 4) * 9 * 50000;
            QVERIFY(socket.link->counters().exchanges >= busNs / (250 * kMs));
            QVERIFY(socket.link->clock().nowNs() - start >= busNs);
            QCOMPARE(read.left(4), QByteArray(4, char(0xFF)));
        }
    }
};

VARNOCK_TEST_GUILESS_MAIN(TestEeprom)
#include "tst_eeprom.moc"
