#include "bridge/ch341dll.h"
#include "bridge/ch341driver.h"

#include <QtTest>

#include <algorithm>

using ch341::Ch341Driver;
using ch341::UsbResult;

Q_DECLARE_METATYPE(UsbResult)

// Hex dumps make a wrong byte on the wire easy to spot.
#define COMPARE_HEX(actual, expected) QCOMPARE((actual).toHex(' '), (expected).toHex(' '))

namespace {

constexpr uint32_t kMsbFirst = 0x81;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray padded(const char *packet)
{
    QByteArray bytes = hex(packet);
    return bytes + QByteArray(int(ch341::kPacketSize) - bytes.size(), '\0');
}

QByteArray pattern(int length)
{
    QByteArray bytes(length, '\0');
    for (int i = 0; i < length; ++i)
        bytes[i] = char(i * 7 + i / 251 + 1);
    return bytes;
}

bool stream(Ch341Driver &driver, QByteArray &bytes)
{
    return driver.streamSpi(0, uint32_t(bytes.size()), reinterpret_cast<uint8_t *>(bytes.data()));
}

// Records every USB call; answers each SPI data byte inverted unless scripted.
struct RecordingLink : ch341::UsbLink
{
    struct Exchange
    {
        QByteArray out;
        std::vector<std::size_t> inLengths;
    };
    struct Reply
    {
        UsbResult result = UsbResult::Ok;
        QByteArray bytes;
    };

    UsbResult open(std::string &deviceName) override
    {
        events << "open";
        if (openResult == UsbResult::Ok)
            deviceName = name;
        return openResult;
    }
    void close() override { events << "close"; }
    void drainIn() override { events << "drain"; }
    void sleepMs(uint32_t milliseconds) override
    {
        events << QString("sleep %1").arg(milliseconds);
    }
    UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                        std::size_t length, std::size_t &transferred) override
    {
        events << QString::asprintf("control %02X %u %u %zu", request, value, index, length);
        transferred = std::min<std::size_t>(length, std::size_t(controlReply.bytes.size()));
        std::copy_n(controlReply.bytes.constData(), transferred, data);
        return controlReply.result;
    }
    UsbResult exchange(const std::vector<uint8_t> &out, const std::vector<std::size_t> &inLengths,
                       std::vector<uint8_t> &in) override
    {
        events << "exchange";
        const QByteArray wire(reinterpret_cast<const char *>(out.data()), int(out.size()));
        exchanges.push_back({wire, inLengths});
        Reply reply;
        std::vector<std::size_t> spiPackets;
        for (int offset = 0; offset < wire.size(); offset += int(ch341::kPacketSize)) {
            const QByteArray packet = wire.mid(offset, int(ch341::kPacketSize));
            if (packet[0] != char(0xA8))
                continue;
            spiPackets.push_back(std::size_t(packet.size() - 1));
            for (char byte : packet.mid(1))
                reply.bytes.append(char(~byte));
        }
        if (spiPackets != inLengths || wire.isEmpty() || out.size() > ch341::kMaxOutTransfer)
            ++framingFaults;
        reply = scriptedReplies.value(int(exchanges.size()) - 1, reply);
        in.insert(in.end(), reply.bytes.begin(), reply.bytes.end());
        return reply.result;
    }

    UsbResult openResult = UsbResult::Ok;
    std::string name = "CH341A 1a86:5512 rev 3.04 at usb 1-1.3 (bus 1, addr 7)";
    Reply controlReply{UsbResult::Ok, QByteArray::fromHex("3000")};
    QMap<int, Reply> scriptedReplies; // by exchange number
    QStringList events;
    std::vector<Exchange> exchanges;
    // Exchanges whose IN transfers do not match their SPI packets.
    int framingFaults = 0;
};

// A driver opened on a RecordingLink, its stream mode already sent.
struct Session
{
    explicit Session(uint32_t mode = kMsbFirst)
    {
        driver.open();
        driver.setStream(mode);
        driver.setDelayMs(0);
        link.exchanges.clear();
        link.events.clear();
    }
    RecordingLink link;
    Ch341Driver driver{link};
};

// The library functions over a RecordingLink installed as the process-wide link.
struct Library
{
    Library()
    {
        auto owned = std::make_unique<RecordingLink>();
        link = owned.get();
        ch341::installUsbLink(std::move(owned));
    }
    ~Library() { ch341::installUsbLink(nullptr); }
    RecordingLink *link;
};

} // namespace

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    void commandsRideInFrontOfStream_data()
    {
        QTest::addColumn<uint32_t>("mode");
        QTest::addColumn<QVector<uint32_t>>("pins"); // direction, level pairs
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QByteArray>("answer"); // to a reply of F7
        QTest::newRow("0x81 mirrors 9F to F9 and the reply back")
            << 0x81u << QVector<uint32_t>() << padded("AA6100") + hex("A8F9") << hex("EF");
        QTest::newRow("bit 7 clear: bytes as given")
            << 0x01u << QVector<uint32_t>() << padded("AA6100") + hex("A89F") << hex("F7");
        QTest::newRow("mode bits 0-2 reach the wire")
            << 0x07u << QVector<uint32_t>() << padded("AA6700") + hex("A89F") << hex("F7");
        QTest::newRow("select: levels before directions")
            << 0x81u << QVector<uint32_t>{0x29, 0x00}
            << padded("AA6100") + padded("AB806920") + hex("A8F9") << hex("EF");
        // Lowering the levels while D0 is still driven would pulse chip select.
        QTest::newRow("release lets go of outputs before levels")
            << 0x81u << QVector<uint32_t>{0x29, 0x01, 0x00, 0x00}
            << padded("AA6100") + padded("AB816920") + padded("AB408020") + hex("A8F9")
            << hex("EF");
    }

    void commandsRideInFrontOfStream()
    {
        QFETCH(uint32_t, mode);
        QFETCH(QVector<uint32_t>, pins);
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, answer);
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        QVERIFY(driver.setStream(mode));
        for (int i = 0; i < pins.size(); i += 2)
            QVERIFY(driver.setPins(pins[i], pins[i + 1]));
        QVERIFY(link.exchanges.empty());
        link.scriptedReplies[0] = {UsbResult::Ok, hex("F7")};
        QByteArray buffer = hex("9F");
        QVERIFY(stream(driver, buffer));
        QCOMPARE(link.exchanges.size(), std::size_t(1));
        COMPARE_HEX(link.exchanges[0].out, wire);
        QCOMPARE(link.exchanges[0].inLengths, std::vector<std::size_t>{1});
        COMPARE_HEX(buffer, answer);
    }

    void streamPacketsAndExchanges_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("pinSettings");
        QTest::addColumn<int>("exchanges");
        QTest::newRow("byte 32 opens packet 2") << 32 << 0 << 1;
        QTest::newRow("128 packets fill one OUT") << 128 * 31 << 0 << 1;
        QTest::newRow("packet 129 opens a second OUT") << 128 * 31 + 1 << 0 << 2;
        QTest::newRow("pin packet counts toward 4 KiB") << 128 * 31 << 1 << 2;
        QTest::newRow("127 packets ride with a pin packet") << 127 * 31 << 1 << 1;
    }

    // Packets of A8 + 31 bytes, one IN per packet, one exchange per 4 KiB OUT.
    void streamPacketsAndExchanges()
    {
        QFETCH(int, length);
        QFETCH(int, pinSettings);
        QFETCH(int, exchanges);
        Session session(0x01);
        QByteArray expected;
        for (int i = 0; i < pinSettings; ++i) {
            session.driver.setPins(0x29, 0x00);
            expected += padded("AB806920");
        }
        const QByteArray sent = pattern(length);
        for (int offset = 0; offset < length; offset += 31)
            expected += hex("A8") + sent.mid(offset, 31);

        QByteArray buffer = sent;
        QVERIFY(stream(session.driver, buffer));
        QCOMPARE(int(session.link.exchanges.size()), exchanges);
        QByteArray wire;
        for (const RecordingLink::Exchange &exchange : session.link.exchanges) {
            if (&exchange != &session.link.exchanges.back())
                QCOMPARE(exchange.out.size(), int(ch341::kMaxOutTransfer));
            wire += exchange.out;
        }
        QVERIFY(wire == expected);
        QCOMPARE(session.link.framingFaults, 0);
        for (char &byte : buffer)
            byte = char(~byte);
        QVERIFY2(buffer == sent, "answers landed in the wrong places");
    }

    void failedStreamLeavesBufferUntouched_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("failingExchange");
        QTest::addColumn<UsbResult>("result");
        QTest::addColumn<int>("replyLength");
        QTest::newRow("timeout") << 40 << 0 << UsbResult::Timeout << 0;
        QTest::newRow("link Ok but a byte missing") << 40 << 0 << UsbResult::Ok << 39;
        QTest::newRow("link Ok but a byte too many") << 40 << 0 << UsbResult::Ok << 41;
        QTest::newRow("second 4 KiB OUT fails") << 5000 << 1 << UsbResult::Timeout << 0;
    }

    void failedStreamLeavesBufferUntouched()
    {
        QFETCH(int, length);
        QFETCH(int, failingExchange);
        QFETCH(UsbResult, result);
        QFETCH(int, replyLength);
        Session session;
        session.link.scriptedReplies[failingExchange] = {result, QByteArray(replyLength, 'Z')};
        const QByteArray sent = pattern(length);
        QByteArray buffer = sent;
        QVERIFY(!stream(session.driver, buffer));
        QVERIFY(buffer == sent);
        // Only a vanished device ends the session.
        QVERIFY(!session.driver.isLost());
        QVERIFY(stream(session.driver, buffer));
    }

    void badStreamArgumentsSendNothing()
    {
        Session session;
        session.driver.setPins(0x29, 0x00);
        uint8_t bytes[4] = {1, 2, 3, 4};
        QVERIFY(!session.driver.streamSpi(0, 4, nullptr));
        QVERIFY(!session.driver.streamSpi(0x80, 4, bytes)); // the library's own chip select
        QVERIFY(session.link.events.isEmpty());
        QCOMPARE(bytes[0], uint8_t(1));
    }

    void versionCode_data()
    {
        QTest::addColumn<UsbResult>("result");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<uint32_t>("code");
        QTest::newRow("byte 0 is the code") << UsbResult::Ok << hex("3201") << 0x32u;
        QTest::newRow("short reply") << UsbResult::Ok << hex("30") << 0u;
    }

    void versionCode()
    {
        QFETCH(UsbResult, result);
        QFETCH(QByteArray, reply);
        QFETCH(uint32_t, code);
        RecordingLink link;
        Ch341Driver driver(link);
        QCOMPARE(driver.versionCode(), 0u);
        driver.open();
        link.controlReply = {result, reply};
        QCOMPARE(driver.versionCode(), code);
        QCOMPARE(link.events, QStringList({"open", "drain", "control 5F 0 0 2"}));
    }

    void openFailure_data()
    {
        QTest::addColumn<UsbResult>("result");
        QTest::newRow("not found") << UsbResult::NotFound;
        QTest::newRow("no permission") << UsbResult::Access;
        QTest::newRow("busy") << UsbResult::Busy;
        QTest::newRow("unplugged") << UsbResult::NoDevice;
        QTest::newRow("timeout") << UsbResult::Timeout;
        QTest::newRow("I/O error") << UsbResult::Io;
    }

    void openFailure()
    {
        QFETCH(UsbResult, result);
        Library library;
        library.link->openResult = result;
        QCOMPARE(CH341OpenDevice(0), CH341_INVALID_HANDLE);
        QCOMPARE(ch341::lastOpenResult(), result);
        CH341CloseDevice(0);
        QCOMPARE(library.link->events, QStringList({"open"}));

        library.link->openResult = UsbResult::Ok;
        QVERIFY(CH341OpenDevice(0) != CH341_INVALID_HANDLE);
        QCOMPARE(ch341::lastOpenResult(), UsbResult::Ok);
        QCOMPARE(library.link->events, QStringList({"open", "open", "drain"}));
    }

    void noDeviceFailsEveryLaterCall_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("stream") << "stream";
        QTest::newRow("delay flushing pins") << "delay";
    }

    void noDeviceFailsEveryLaterCall()
    {
        QFETCH(QString, where);
        Session session;
        session.driver.setPins(0x29, 0x00);
        session.link.scriptedReplies[0] = {UsbResult::NoDevice, {}};
        QByteArray buffer = hex("9F0000");
        if (where == "stream")
            QVERIFY(!stream(session.driver, buffer));
        else
            QVERIFY(!session.driver.setDelayMs(50));
        QVERIFY(session.driver.isLost());

        const QStringList eventsWhenLost = session.link.events;
        QVERIFY(!stream(session.driver, buffer));
        QVERIFY(!session.driver.setPins(0x29, 0x00));
        QCOMPARE(session.driver.versionCode(), 0u);
        QCOMPARE(session.link.events, eventsWhenLost);

        // Plugged in again: the next open drops the dead handle and reopens.
        session.link.scriptedReplies.clear();
        QCOMPARE(session.driver.open(), Ch341Driver::kOpenToken);
        QCOMPARE(session.link.events.mid(eventsWhenLost.size()),
                 QStringList({"close", "open", "drain"}));
        QVERIFY(stream(session.driver, buffer));
    }

    void delayAndCloseFlushPendingPins()
    {
        Library library;
        CH341OpenDevice(0);
        QCOMPARE(CH341Set_D5_D0(0, 0x29, 0x01), 1u);
        QCOMPARE(CH341SetDelaymS(0, 50), 1u);
        QCOMPARE(CH341Set_D5_D0(0, 0x29, 0x00), 1u);
        CH341CloseDevice(0);
        QCOMPARE(library.link->events,
                 QStringList({"open", "drain", "exchange", "sleep 50", "exchange", "close"}));
        COMPARE_HEX(library.link->exchanges[0].out, padded("AB816920"));
        COMPARE_HEX(library.link->exchanges[1].out, padded("AB806920"));
    }

    void indexOtherThanZeroFails()
    {
        Library library;
        QCOMPARE(CH341OpenDevice(1), CH341_INVALID_HANDLE);
        QVERIFY(CH341OpenDevice(0) != CH341_INVALID_HANDLE);
        const QStringList eventsOfIndex0 = library.link->events;
        uint8_t bytes[2] = {0x9F, 0x00};
        QCOMPARE(CH341GetVerIC(1), 0u);
        QCOMPARE(CH341Set_D5_D0(1, 0x29, 0x00), 0u);
        QCOMPARE(CH341StreamSPI4(0xFFFFFFFF, 0, 2, bytes), 0u);
        CH341CloseDevice(1);
        QCOMPARE(library.link->events, eventsOfIndex0);
        QCOMPARE(bytes[0], uint8_t(0x9F));
    }
};

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
