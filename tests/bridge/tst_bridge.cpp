#include "recordinglink.h"

#include "bridge/ch341dll.h"
#include "bridge/ch341driver.h"

#include <QtTest>

using ch341::Ch341Driver;
using ch341::UsbResult;

Q_DECLARE_METATYPE(UsbResult)
Q_DECLARE_METATYPE(QVector<int>)

#define COMPARE_WIRE(actual, expected)                                                            \
    QVERIFY2(wireMismatch(actual, expected).isEmpty(), qPrintable(wireMismatch(actual, expected)))

namespace {

constexpr uint32_t kMsbFirst = 0x81;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray padded(const char *packet)
{
    QByteArray bytes = hex(packet);
    bytes.append(QByteArray(int(ch341::kPacketSize) - bytes.size(), '\0'));
    return bytes;
}

QByteArray mirrored(QByteArray bytes)
{
    for (char &byte : bytes)
        byte = char(ch341::mirrorByte(uint8_t(byte)));
    return bytes;
}

QByteArray inverted(QByteArray bytes)
{
    for (char &byte : bytes)
        byte = char(~byte);
    return bytes;
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

} // namespace

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    void setStreamPacket_data()
    {
        QTest::addColumn<uint32_t>("mode");
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QByteArray>("opcodeOnWire");
        QTest::newRow("0x81 mirrors opcode 9F to F9") << 0x81u << padded("AA6100") << hex("F9");
        QTest::newRow("bit 7 clear sends bytes as given")
            << 0x01u << padded("AA6100") << hex("9F");
        QTest::newRow("bits 3-6 stay off the wire") << 0xF9u << padded("AA6100") << hex("F9");
        QTest::newRow("mode bits 0-2 reach the wire") << 0x07u << padded("AA6700") << hex("9F");
    }

    void setStreamPacket()
    {
        QFETCH(uint32_t, mode);
        QFETCH(QByteArray, packet);
        QFETCH(QByteArray, opcodeOnWire);
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        QVERIFY(driver.setStream(mode));
        QVERIFY(driver.setDelayMs(0));
        QByteArray opcode = hex("9F");
        QVERIFY(stream(driver, opcode));

        QCOMPARE(link.exchanges.size(), std::size_t(2));
        COMPARE_WIRE(link.exchanges[0].out, packet);
        QVERIFY(link.exchanges[0].inLengths.empty());
        COMPARE_WIRE(link.exchanges[1].out, hex("A8") + opcodeOnWire);
        QVERIFY2(link.faults.isEmpty(), qPrintable(link.faults.join('\n')));
    }

    void pinSettingRidesInFrontOfStream_data()
    {
        QTest::addColumn<uint32_t>("mask");
        QTest::addColumn<uint32_t>("levels");
        QTest::addColumn<QByteArray>("packet");
        QTest::newRow("select: D0 D3 D5 low") << 0x29u << 0x00u << padded("AB806920");
        QTest::newRow("deselect: D0 high") << 0x29u << 0x01u << padded("AB816920");
        QTest::newRow("release: all inputs") << 0x00u << 0x00u << padded("AB804020");
        QTest::newRow("D7 D6 never written") << 0xFFu << 0xFFu << padded("ABBF7F20");
    }

    void pinSettingRidesInFrontOfStream()
    {
        QFETCH(uint32_t, mask);
        QFETCH(uint32_t, levels);
        QFETCH(QByteArray, packet);
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        driver.setStream(kMsbFirst);
        QVERIFY(driver.setPins(mask, levels));
        QCOMPARE(link.exchanges.size(), std::size_t(0));

        QByteArray opcode = hex("9F");
        QVERIFY(stream(driver, opcode));
        QCOMPARE(link.exchanges.size(), std::size_t(1));
        COMPARE_WIRE(link.exchanges[0].out, padded("AA6100") + packet + hex("A8F9"));
        QCOMPARE(link.exchanges[0].inLengths, std::vector<std::size_t>{1});
    }

    void releaseLetsGoOfPinsBeforeLevels()
    {
        // Lowering the levels while D0 is still driven would pulse chip
        // select: outputs given up go to inputs first.
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        QVERIFY(driver.setPins(0x29, 0x01));
        QVERIFY(driver.setPins(0x00, 0x00));
        driver.close();
        QCOMPARE(link.exchanges.size(), std::size_t(1));
        COMPARE_WIRE(link.exchanges[0].out, padded("AB816920") + padded("AB408020"));
    }

    void streamSplitsAt31Bytes_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QVector<int>>("packets");
        QTest::newRow("1 byte") << 1 << QVector<int>{1};
        QTest::newRow("31 bytes fill one packet") << 31 << QVector<int>{31};
        QTest::newRow("byte 32 opens packet 2") << 32 << QVector<int>{31, 1};
        QTest::newRow("62 bytes fill two packets") << 62 << QVector<int>{31, 31};
        QTest::newRow("byte 63 opens packet 3") << 63 << QVector<int>{31, 31, 1};
    }

    void streamSplitsAt31Bytes()
    {
        QFETCH(int, length);
        QFETCH(QVector<int>, packets);
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        driver.setStream(kMsbFirst);
        driver.setDelayMs(0);
        const QByteArray sent = pattern(length);
        QByteArray wire;
        std::vector<std::size_t> inLengths;
        for (int offset = 0, i = 0; i < packets.size(); offset += packets[i++]) {
            wire += hex("A8") + mirrored(sent.mid(offset, packets[i]));
            inLengths.push_back(std::size_t(packets[i]));
        }

        QByteArray buffer = sent;
        QVERIFY(stream(driver, buffer));
        QCOMPARE(link.exchanges.size(), std::size_t(2));
        COMPARE_WIRE(link.exchanges[1].out, wire);
        QCOMPARE(link.exchanges[1].inLengths, inLengths);
        COMPARE_WIRE(buffer, inverted(sent));
    }

    void oneExchangePer4KiB_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("pinSettings");
        QTest::addColumn<int>("exchanges");
        QTest::newRow("128 packets fill one OUT") << 128 * 31 << 0 << 1;
        QTest::newRow("packet 129 opens a second OUT") << 128 * 31 + 1 << 0 << 2;
        QTest::newRow("pin packet counts toward 4 KiB") << 128 * 31 << 1 << 2;
        QTest::newRow("127 packets ride with a pin packet") << 127 * 31 << 1 << 1;
        QTest::newRow("1 MiB: 33826 packets in 265 OUTs") << 1024 * 1024 << 3 << 265;
    }

    void oneExchangePer4KiB()
    {
        QFETCH(int, length);
        QFETCH(int, pinSettings);
        QFETCH(int, exchanges);
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        driver.setStream(kMsbFirst);
        driver.setDelayMs(0);
        link.exchanges.clear();
        for (int i = 0; i < pinSettings; ++i)
            driver.setPins(0x29, 0x00);

        const QByteArray sent = pattern(length);
        QByteArray buffer = sent;
        QVERIFY(stream(driver, buffer));
        QCOMPARE(int(link.exchanges.size()), exchanges);
        for (std::size_t i = 0; i + 1 < link.exchanges.size(); ++i)
            QCOMPARE(link.exchanges[i].out.size(), int(ch341::kMaxOutTransfer));
        QVERIFY2(link.faults.isEmpty(), qPrintable(link.faults.join('\n')));
        QVERIFY2(buffer == inverted(sent), "answers landed in the wrong places");
    }

    void answersMirroredBack_data()
    {
        QTest::addColumn<uint32_t>("mode");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("MSB first mirrors the JEDEC ID") << 0x81u << hex("F70218") << hex("EF4018");
        QTest::newRow("LSB first keeps the wire bytes") << 0x01u << hex("F70218") << hex("F70218");
    }

    void answersMirroredBack()
    {
        QFETCH(uint32_t, mode);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, answer);
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        driver.setStream(mode);
        link.scriptedReplies[0] = {UsbResult::Ok, reply};
        QByteArray buffer = hex("FFFFFF");
        QVERIFY(stream(driver, buffer));
        COMPARE_WIRE(buffer, answer);
    }

    void failedStreamLeavesBufferUntouched_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("failingExchange");
        QTest::addColumn<UsbResult>("result");
        QTest::addColumn<int>("replyLength");
        QTest::newRow("timeout") << 40 << 0 << UsbResult::Timeout << 0;
        QTest::newRow("io error") << 40 << 0 << UsbResult::Io << 0;
        QTest::newRow("short reply") << 40 << 0 << UsbResult::ShortReply << 39;
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
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        link.scriptedReplies[failingExchange] = {result, QByteArray(replyLength, '\x5A')};
        const QByteArray sent = pattern(length);
        QByteArray buffer = sent;
        QVERIFY(!stream(driver, buffer));
        COMPARE_WIRE(buffer, sent);

        // Only a vanished device ends the session.
        QVERIFY(!driver.isLost());
        QVERIFY(stream(driver, buffer));
    }

    void badStreamArgumentsSendNothing_data()
    {
        QTest::addColumn<uint32_t>("chipSelect");
        QTest::addColumn<uint32_t>("length");
        QTest::addColumn<bool>("nullBuffer");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("zero bytes succeed") << 0u << 0u << false << true;
        QTest::newRow("zero bytes without buffer succeed") << 0u << 0u << true << true;
        QTest::newRow("null buffer") << 0u << 4u << true << false;
        QTest::newRow("library chip select") << 0x80u << 4u << false << false;
    }

    void badStreamArgumentsSendNothing()
    {
        QFETCH(uint32_t, chipSelect);
        QFETCH(uint32_t, length);
        QFETCH(bool, nullBuffer);
        QFETCH(bool, succeeds);
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        driver.setPins(0x29, 0x00);
        uint8_t bytes[4] = {1, 2, 3, 4};
        QCOMPARE(driver.streamSpi(chipSelect, length, nullBuffer ? nullptr : bytes), succeeds);
        QCOMPARE(link.events, QStringList({"open", "drain"}));
        QCOMPARE(bytes[0], uint8_t(1));
    }

    void versionCode_data()
    {
        QTest::addColumn<UsbResult>("result");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<uint32_t>("code");
        QTest::newRow("byte 0 is the code") << UsbResult::Ok << hex("3000") << 0x30u;
        QTest::newRow("byte 1 ignored") << UsbResult::Ok << hex("3201") << 0x32u;
        QTest::newRow("short reply") << UsbResult::Ok << hex("30") << 0u;
        QTest::newRow("io error") << UsbResult::Io << hex("3000") << 0u;
        QTest::newRow("timeout") << UsbResult::Timeout << hex("3000") << 0u;
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

    void deviceNameLivesUntilClose()
    {
        RecordingLink link;
        Ch341Driver driver(link);
        QCOMPARE(driver.deviceName(), "");
        driver.open();
        const char *name = driver.deviceName();
        QCOMPARE(name, link.name.c_str());
        driver.setPins(0x29, 0x00);
        driver.versionCode();
        QCOMPARE(name, link.name.c_str());
        QCOMPARE(driver.deviceName(), name);
        driver.close();
        QCOMPARE(driver.deviceName(), "");
    }

    void openFailure_data()
    {
        QTest::addColumn<UsbResult>("result");
        for (UsbResult result : {UsbResult::NotFound, UsbResult::Access, UsbResult::Busy,
                                 UsbResult::NoDevice, UsbResult::Timeout, UsbResult::Io})
            QTest::newRow(ch341::usbResultText(result)) << result;
    }

    void openFailure()
    {
        QFETCH(UsbResult, result);
        auto owned = std::make_unique<RecordingLink>();
        RecordingLink &link = *owned;
        ch341::installUsbLink(std::move(owned));
        link.openResult = result;
        QCOMPARE(CH341OpenDevice(0), CH341_INVALID_HANDLE);
        QCOMPARE(ch341::lastOpenResult(), result);
        CH341CloseDevice(0);
        QCOMPARE(link.events, QStringList({"open"}));

        link.openResult = UsbResult::Ok;
        const CH341HANDLE handle = CH341OpenDevice(0);
        QVERIFY(handle != nullptr && handle != CH341_INVALID_HANDLE);
        QCOMPARE(ch341::lastOpenResult(), UsbResult::Ok);
        QCOMPARE(CH341OpenDevice(0), handle);
        QCOMPARE(link.events, QStringList({"open", "open", "drain"}));
        ch341::installUsbLink(nullptr);
    }

    void noDeviceFailsEveryLaterCall_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("stream") << "stream";
        QTest::newRow("version read") << "version";
        QTest::newRow("delay flushing pins") << "delay";
    }

    void noDeviceFailsEveryLaterCall()
    {
        QFETCH(QString, where);
        RecordingLink link;
        Ch341Driver driver(link);
        driver.open();
        driver.setStream(kMsbFirst);
        link.scriptedReplies[0] = {UsbResult::NoDevice, {}};
        link.controlReply.result = UsbResult::NoDevice;
        QByteArray buffer = hex("9F0000");
        if (where == "stream")
            QVERIFY(!stream(driver, buffer));
        else if (where == "version")
            QCOMPARE(driver.versionCode(), 0u);
        else
            QVERIFY(!driver.setDelayMs(50));
        QVERIFY(driver.isLost());

        const QStringList eventsWhenLost = link.events;
        QVERIFY(!stream(driver, buffer));
        QVERIFY(!driver.setPins(0x29, 0x00));
        QVERIFY(!driver.setStream(kMsbFirst));
        QCOMPARE(driver.versionCode(), 0u);
        QVERIFY(!driver.setDelayMs(2));
        QCOMPARE(driver.deviceName(), "");
        QCOMPARE(link.events, eventsWhenLost);

        // Plugged in again: the next open drops the dead handle and opens
        // the device afresh.
        link.scriptedReplies.clear();
        link.exchanges.clear();
        QCOMPARE(driver.open(), Ch341Driver::kOpenToken);
        QCOMPARE(link.events.mid(eventsWhenLost.size()), QStringList({"close", "open", "drain"}));
        QVERIFY(stream(driver, buffer));
    }

    void delayAndCloseFlushPendingPins_data()
    {
        QTest::addColumn<bool>("close");
        QTest::addColumn<QString>("after");
        QTest::newRow("delay") << false << "sleep 50";
        QTest::newRow("close") << true << "close";
    }

    void delayAndCloseFlushPendingPins()
    {
        QFETCH(bool, close);
        QFETCH(QString, after);
        auto owned = std::make_unique<RecordingLink>();
        RecordingLink &link = *owned;
        ch341::installUsbLink(std::move(owned));
        CH341OpenDevice(0);
        QCOMPARE(CH341Set_D5_D0(0, 0x29, 0x01), 1u);
        QCOMPARE(link.exchanges.size(), std::size_t(0));
        if (close)
            CH341CloseDevice(0);
        else
            QCOMPARE(CH341SetDelaymS(0, 50), 1u);
        QCOMPARE(link.events, QStringList({"open", "drain", "exchange", after}));
        COMPARE_WIRE(link.exchanges[0].out, padded("AB816920"));
        ch341::installUsbLink(nullptr);
    }

    void indexOtherThanZeroFails_data()
    {
        QTest::addColumn<uint32_t>("index");
        QTest::newRow("index 1") << 1u;
        QTest::newRow("index all ones") << 0xFFFFFFFFu;
    }

    void indexOtherThanZeroFails()
    {
        QFETCH(uint32_t, index);
        auto owned = std::make_unique<RecordingLink>();
        RecordingLink &link = *owned;
        ch341::installUsbLink(std::move(owned));
        QCOMPARE(CH341OpenDevice(index), CH341_INVALID_HANDLE);
        QVERIFY(CH341OpenDevice(0) != CH341_INVALID_HANDLE);
        const QStringList eventsOfIndex0 = link.events;
        uint8_t bytes[2] = {0x9F, 0x00};
        QCOMPARE(CH341GetVerIC(index), 0u);
        QCOMPARE(CH341GetDeviceName(index), "");
        QCOMPARE(CH341SetStream(index, kMsbFirst), 0u);
        QCOMPARE(CH341SetDelaymS(index, 50), 0u);
        QCOMPARE(CH341Set_D5_D0(index, 0x29, 0x00), 0u);
        QCOMPARE(CH341StreamSPI4(index, 0, 2, bytes), 0u);
        CH341CloseDevice(index);
        QCOMPARE(link.events, eventsOfIndex0);
        QCOMPARE(bytes[0], uint8_t(0x9F));
        ch341::installUsbLink(nullptr);
    }

    void installingLinkClosesDevice()
    {
        auto first = std::make_unique<RecordingLink>();
        QStringList firstEvents;
        first->journal = &firstEvents;
        ch341::installUsbLink(std::move(first));
        CH341OpenDevice(0);
        CH341SetStream(0, kMsbFirst);

        auto second = std::make_unique<RecordingLink>();
        RecordingLink &secondLink = *second;
        secondLink.openResult = UsbResult::Busy;
        ch341::installUsbLink(std::move(second));
        QCOMPARE(firstEvents, QStringList({"open", "drain", "exchange", "close"}));
        QCOMPARE(CH341GetDeviceName(0), "");
        QCOMPARE(ch341::lastOpenResult(), UsbResult::Ok);
        QCOMPARE(CH341OpenDevice(0), CH341_INVALID_HANDLE);
        QCOMPARE(ch341::lastOpenResult(), UsbResult::Busy);
        ch341::installUsbLink(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
