#include "failonwarning.h"
#include "bridge/bridge.h"
#include "bridge/ch341bridges.h"
#include "bridge/ch341diag.h"
#include "bridge/ch341dll.h"

#include <QtEndian>
#include <QtTest>

#include <algorithm>

using ch341::Bridge;
using ch341::BridgeDriver;
using ch341::BridgeKind;
using ch341::UsbResult;

Q_DECLARE_METATYPE(UsbResult)

// Hex dumps make a wrong byte on the wire easy to spot.
#define COMPARE_HEX(actual, expected) QCOMPARE((actual).toHex(' '), (expected).toHex(' '))

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray padded(const QByteArray &packet)
{
    QByteArray bytes = QByteArray::fromHex(packet);
    return bytes + QByteArray(int(ch341::kPacketSize) - bytes.size(), '\0');
}

QByteArray pattern(int length)
{
    QByteArray bytes(length, '\0');
    for (int i = 0; i < length; ++i)
        bytes[i] = char(i * 7 + i / 251 + 1);
    return bytes;
}

bool stream(BridgeDriver &driver, QByteArray &bytes)
{
    return driver.streamSpi(0, uint32_t(bytes.size()), reinterpret_cast<uint8_t *>(bytes.data()));
}

bool queue(BridgeDriver &driver, const QByteArray &bytes, bool keep = false)
{
    return driver.queueSpi(0, uint32_t(bytes.size()),
                           reinterpret_cast<const uint8_t *>(bytes.data()), keep);
}

// A CH347 frame: command, 16-bit little-endian length, data.
QByteArray frame(int command, const QByteArray &data)
{
    return QByteArray(1, char(command)) + char(data.size() & 0xFF) + char(data.size() >> 8) + data;
}

// What a CH347 answers to a frame: the bytes clocked in (each byte out inverted; 0xC3 reads
// 0x5A), or a 1-byte status; nothing to a chip select. A malformed frame shows as a framing
// fault.
QList<QByteArray> ch347Answers(const QByteArray &out, int &framingFaults)
{
    const int length = out.size() < 3 ? -1 : quint8(out[1]) | quint8(out[2]) << 8;
    framingFaults += length < 0 || length > 507 || out.size() != 3 + length;
    const QByteArray data = out.mid(3);
    QByteArray inverted;
    for (char byte : data)
        inverted.append(char(~byte));
    switch (quint8(out.at(0))) {
    case 0xC0:
    case 0xC4:
        return {frame(quint8(out.at(0)), hex("00"))};
    case 0xC2:
        return {frame(0xC2, inverted)};
    case 0xC3: {
        QList<QByteArray> answers;
        for (qint64 left = qFromLittleEndian<quint32>(data.constData()); left > 0; left -= 507)
            answers << frame(0xC3, QByteArray(int(qMin<qint64>(left, 507)), char(0x5A)));
        return answers;
    }
    default:
        return {};
    }
}

// Records every USB call; answers each SPI data byte inverted unless scripted.
struct RecordingLink : ch341::UsbLink
{
    struct Exchange
    {
        QByteArray out; // every OUT transfer, joined
        QList<QByteArray> transfers;
    };
    struct Reply
    {
        UsbResult result = UsbResult::Ok;
        QByteArray bytes;
    };

    UsbResult open(ch341::BridgeChoice choice, ch341::OpenedBridge &opened) override
    {
        events << QString("open %1").arg(int(choice));
        opened.kind = kind;
        opened.name = "recorded";
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
    UsbResult exchange(const ch341::OutTransfers &out, const std::vector<std::size_t> &inLengths,
                       std::vector<uint8_t> &in) override
    {
        events << "exchange";
        if (kind == BridgeKind::Ch347)
            return exchangeFrames(out, inLengths, in);
        Exchange recorded;
        Reply reply;
        std::vector<std::size_t> spiPackets;
        for (const std::vector<uint8_t> &transfer : out) {
            const QByteArray bytes(reinterpret_cast<const char *>(transfer.data()),
                                   int(transfer.size()));
            recorded.out += bytes;
            recorded.transfers << bytes;
            for (int offset = 0; offset < bytes.size(); offset += int(ch341::kPacketSize)) {
                const QByteArray packet = bytes.mid(offset, int(ch341::kPacketSize));
                // Only the last packet of a transfer may be short.
                framingFaults += packet.size() < int(ch341::kPacketSize) &&
                                 offset + packet.size() != bytes.size();
                if (packet[0] == char(0xA8)) {
                    spiPackets.push_back(std::size_t(packet.size() - 1));
                    for (char byte : packet.mid(1))
                        reply.bytes.append(char(~byte));
                }
            }
        }
        exchanges.push_back(recorded);
        framingFaults += spiPackets != inLengths || recorded.out.isEmpty() ||
                         std::size_t(recorded.out.size()) > ch341::kMaxExchangeOut;
        for (const QByteArray &transfer : recorded.transfers)
            framingFaults += std::size_t(transfer.size()) > ch341::kMaxOutTransfer;
        reply = scriptedReplies.value(int(exchanges.size()) - 1, reply);
        in.insert(in.end(), reply.bytes.begin(), reply.bytes.end());
        return reply.result;
    }

    // One frame per OUT transfer; each IN transfer asks for one answer frame (the last: at
    // most one).
    UsbResult exchangeFrames(const ch341::OutTransfers &out,
                             const std::vector<std::size_t> &inLengths, std::vector<uint8_t> &in)
    {
        Exchange recorded;
        QList<QByteArray> answers;
        for (const std::vector<uint8_t> &transfer : out) {
            const QByteArray bytes(reinterpret_cast<const char *>(transfer.data()),
                                   int(transfer.size()));
            recorded.out += bytes;
            recorded.transfers << bytes;
            answers += ch347Answers(bytes, framingFaults);
        }
        exchanges.push_back(recorded);
        framingFaults += answers.size() != int(inLengths.size());
        Reply reply;
        for (int i = 0; i < answers.size() && i < int(inLengths.size()); ++i) {
            const bool last = i + 1 == answers.size();
            framingFaults += last ? std::size_t(answers[i].size()) > inLengths[std::size_t(i)]
                                  : std::size_t(answers[i].size()) != inLengths[std::size_t(i)];
            reply.bytes += answers[i];
        }
        reply = scriptedReplies.value(int(exchanges.size()) - 1, reply);
        in.insert(in.end(), reply.bytes.begin(), reply.bytes.end());
        return reply.result;
    }

    BridgeKind kind = BridgeKind::Ch341a;
    UsbResult openResult = UsbResult::Ok;
    Reply controlReply{UsbResult::Ok, QByteArray::fromHex("3000")};
    QMap<int, Reply> scriptedReplies; // by exchange number
    QStringList events;
    std::vector<Exchange> exchanges;
    // Exchanges whose IN transfers do not match their SPI packets, and misframed packets.
    int framingFaults = 0;
};

// Steps: "mode M", "pins DD LL", "queue HEX" (answer dropped), "keep HEX" (answer kept),
// "delay US", "stream HEX", "take N" (the kept answers, N bytes). "FF*4096" repeats a byte.
QByteArray stepBytes(const QString &step)
{
    QByteArray bytes;
    for (const QString &word : step.split(QLatin1Char(' ')).mid(1)) {
        const QStringList repeat = word.split(QLatin1Char('*'));
        bytes += QByteArray::fromHex(repeat[0].toLatin1())
                     .repeated(repeat.size() > 1 ? repeat[1].toInt() : 1);
    }
    return bytes;
}

bool runStep(BridgeDriver &driver, const QString &step, QByteArray &streamed)
{
    const QStringList words = step.split(QLatin1Char(' '));
    const QByteArray bytes = stepBytes(step);
    if (words[0] == "mode")
        return driver.setStream(uint8_t(bytes[0]));
    if (words[0] == "pins")
        return driver.setPins(uint8_t(bytes[0]), uint8_t(bytes.at(1)));
    if (words[0] == "queue" || words[0] == "keep")
        return queue(driver, bytes, words[0] == "keep");
    if (words[0] == "delay")
        return driver.queueDelayUs(words[1].toUInt());
    if (words[0] == "take") {
        streamed = QByteArray(words[1].toInt(), 0);
        return driver.takeAnswers(uint32_t(streamed.size()),
                                  reinterpret_cast<uint8_t *>(streamed.data()));
    }
    return stream(driver, streamed = bytes);
}

RecordingLink *installRecordingLink(BridgeKind kind)
{
    auto owned = std::make_unique<RecordingLink>();
    RecordingLink *link = owned.get();
    link->kind = kind;
    ch341::installUsbLink(std::move(owned));
    return link;
}

// The library's bridge over a RecordingLink installed as the process-wide link; when opened,
// the link has forgotten the open.
struct Session
{
    explicit Session(bool open = true, BridgeKind kind = BridgeKind::Ch341a, uint32_t clockKHz = 0)
        : link(installRecordingLink(kind))
        , bridge(ch341::libraryBridge())
    {
        if (open) {
            QVERIFY(reopen(clockKHz) != Bridge::kInvalidToken);
            link->events.clear();
        }
    }
    ~Session() { ch341::installUsbLink(nullptr); }
    uintptr_t reopen(uint32_t clockKHz = 0)
    {
        return bridge.open(ch341::BridgeChoice::Any, clockKHz);
    }
    BridgeDriver &driver() { return *bridge.driver(); }
    RecordingLink *link;
    Bridge &bridge;
};

} // namespace

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    void streamPacketsAndExchanges_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("pinSettings");
        QTest::addColumn<int>("exchanges");
        QTest::addColumn<QList<int>>("transfers"); // sizes of the first exchange's OUTs
        QTest::newRow("128 packets fill one OUT") << 128 * 31 << 0 << 1 << QList<int>{4096};
        QTest::newRow("packet 129 opens a second OUT")
            << 128 * 31 + 1 << 0 << 1 << QList<int>{4096, 2};
        QTest::newRow("pin packet counts toward 4 KiB")
            << 128 * 31 << 1 << 1 << QList<int>{4096, 32};
        QTest::newRow("packet 257 opens a second exchange")
            << 256 * 31 + 1 << 0 << 2 << QList<int>{4096, 4096};
    }

    // Packets of A8 + 31 bytes, one IN per packet, 4 KiB OUT transfers, 8 KiB exchanges.
    void streamPacketsAndExchanges()
    {
        QFETCH(int, length);
        QFETCH(int, pinSettings);
        QFETCH(int, exchanges);
        QFETCH(QList<int>, transfers);
        Session session;
        QByteArray expected;
        for (int i = 0; i < pinSettings; ++i) {
            session.driver().setPins(0x29, 0x00);
            expected += padded("AB806920");
        }
        const QByteArray sent = pattern(length);
        for (int offset = 0; offset < length; offset += 31)
            expected += hex("A8") + sent.mid(offset, 31);

        QByteArray buffer = sent;
        QVERIFY(stream(session.driver(), buffer));
        QCOMPARE(int(session.link->exchanges.size()), exchanges);
        QByteArray wire;
        for (const RecordingLink::Exchange &exchange : session.link->exchanges)
            wire += exchange.out;
        QVERIFY(wire == expected);
        QList<int> sizes;
        for (const QByteArray &transfer : session.link->exchanges[0].transfers)
            sizes << transfer.size();
        QCOMPARE(sizes, transfers);
        QCOMPARE(session.link->framingFaults, 0);
        for (char &byte : buffer)
            byte = char(~byte);
        QVERIFY2(buffer == sent, "answers landed in the wrong places");
    }

    void queuedCommands_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QList<QByteArray>>("transfers"); // of the one exchange
        QTest::addColumn<QByteArray>("answer");           // to the stream, replies being inverted
        QTest::newRow("mode 81 mirrors 9F to F9 and the reply back")
            << QStringList{"mode 81", "stream 9F"}
            << QList<QByteArray>{padded("AA6100") + hex("A8F9")} << hex("60");
        QTest::newRow("mode 07: bits 0-2 reach the wire, bytes as given")
            << QStringList{"mode 07", "stream 9F"}
            << QList<QByteArray>{padded("AA6700") + hex("A89F")} << hex("60");
        // Lowering the levels while D0 is still driven would pulse chip select.
        QTest::newRow("release lets go of outputs before levels")
            << QStringList{"pins 29 01", "pins 00 00", "stream 9F"}
            << QList<QByteArray>{padded("AB8169408020") + hex("A89F")} << hex("60");
        QTest::newRow("select sets levels first; a short queued packet ends its OUT transfer")
            << QStringList{"pins 29 00", "queue 06", "pins 29 01", "pins 29 00", "stream 05FF"}
            << QList<QByteArray>{padded("AB806920") + hex("A806"),
                                 padded("AB8169806920") + hex("A805FF")}
            << hex("FA00");
        QTest::newRow("a full queued packet keeps the transfer open")
            << QStringList{"queue " + QString(62, QLatin1Char('1')), "stream 00"}
            << QList<QByteArray>{hex("A8") + QByteArray(31, char(0x11)) + hex("A800")}
            << hex("FF");
        QTest::newRow("microsecond pauses join the pin packet")
            << QStringList{"pins 29 01", "delay 700", "pins 29 00", "stream 05"}
            << QList<QByteArray>{padded("AB8169" + QByteArray("DF").repeated(22) + "D2806920") +
                                 hex("A805")}
            << hex("FA");
        QTest::newRow("milliseconds in I2C packets, the rest in UIO")
            << QStringList{"delay 17005", "stream 05"}
            << QList<QByteArray>{padded("AA5F5200") + padded("ABC520") + hex("A805")} << hex("FA");
        QTest::newRow("kept answers of queued reads come back together, in order")
            << QStringList{"keep 05FF", "queue 06", "keep 05FE", "take 4"}
            << QList<QByteArray>{hex("A805FF"), hex("A806"), hex("A805FE")} << hex("FA00FA01");
    }

    void queuedCommands()
    {
        QFETCH(QStringList, steps);
        QFETCH(QList<QByteArray>, transfers);
        QFETCH(QByteArray, answer);
        Session session;
        RecordingLink &link = *session.link;
        QByteArray streamed;
        for (const QString &step : steps) {
            QVERIFY2(runStep(session.driver(), step, streamed), qPrintable(step));
            // Nothing leaves before the blocking stream.
            QCOMPARE(link.exchanges.size(),
                     std::size_t(step.startsWith("stream") || step.startsWith("take")));
        }
        QCOMPARE(link.exchanges[0].transfers, transfers);
        QCOMPARE(link.framingFaults, 0);
        COMPARE_HEX(streamed, answer);
    }

    void ch347Frames_data()
    {
        QTest::addColumn<int>("clockKHz"); // chosen; 0 for none
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QList<QByteArray>>("transfers"); // of every exchange, in order
        QTest::addColumn<QByteArray>("answer");           // to the last stream or take
        QTest::addColumn<QStringList>("sleeps");          // host-side pauses
        const auto config = [](const char *divisor, const char *bitOrder) {
            return frame(0xC0, hex("0000 0401 0000 0000 0000 0002") + hex(divisor) + hex("00") +
                                   hex(bitOrder) + hex("00 07") + QByteArray(9, 0));
        };
        const QByteArray select = frame(0xC1, hex("80") + QByteArray(9, 0));
        const QByteArray deselect = frame(0xC1, hex("C0") + QByteArray(9, 0));
        QTest::newRow("configure: SPI master, select by command, 15 MHz, MSB first")
            << 0 << QStringList{"mode 81"} << QList<QByteArray>{config("10", "00")} << QByteArray()
            << QStringList();
        QTest::newRow("7.5 MHz is 60 MHz / 8; mode 01 asks for LSB first")
            << 7500 << QStringList{"mode 01"} << QList<QByteArray>{config("18", "80")}
            << QByteArray() << QStringList();
        QTest::newRow("a clock between two is rounded down: 40 MHz runs at 30")
            << 40000 << QStringList{"mode 81"} << QList<QByteArray>{config("08", "00")}
            << QByteArray() << QStringList();
        QTest::newRow("4 KiB read: its first 16 bytes out and in, then one read request")
            << 0 << QStringList{"pins 29 00", "stream 03001000 FF*4096"}
            << QList<QByteArray>{select, frame(0xC2, hex("03001000") + QByteArray(12, char(0xFF))),
                                 frame(0xC3, hex("F40F0000"))}
            << hex("FCFFEFFF") + QByteArray(12, 0) + QByteArray(4084, char(0x5A)) << QStringList();
        QTest::newRow("a 0xFF tail no longer than a frame goes out as it is")
            << 0 << QStringList{"stream 03001000 FF*503"}
            << QList<QByteArray>{frame(0xC2, hex("03001000") + QByteArray(503, char(0xFF)))}
            << hex("FCFFEFFF") + QByteArray(503, 0) << QStringList();
        QTest::newRow("a select already made sends nothing; release deselects")
            << 0
            << QStringList{"pins 29 00", "pins 29 00", "stream 05FF", "pins 00 00", "stream 9F"}
            << QList<QByteArray>{select, frame(0xC2, hex("05FF")), deselect,
                                 frame(0xC2, hex("9F"))}
            << hex("60") << QStringList();
        QTest::newRow("a queued send goes in frames of 507 bytes, each answered")
            << 0 << QStringList{"queue 11*600", "stream 05"}
            << QList<QByteArray>{frame(0xC4, QByteArray(507, 0x11)),
                                 frame(0xC4, QByteArray(93, 0x11)), frame(0xC2, hex("05"))}
            << hex("FA") << QStringList();
        QTest::newRow("a pause with chip select high reads idle bytes in: 100 us at 15 MHz")
            << 0 << QStringList{"pins 29 01", "delay 100", "stream 05"}
            << QList<QByteArray>{deselect, frame(0xC3, hex("BC000000")), frame(0xC2, hex("05"))}
            << hex("FA") << QStringList();
        QTest::newRow("a pause with the chip selected is the host's")
            << 0 << QStringList{"pins 29 00", "queue 06", "delay 1500", "stream 05"}
            << QList<QByteArray>{select, frame(0xC4, hex("06")), frame(0xC2, hex("05"))}
            << hex("FA") << QStringList{"sleep 2"};
        QTest::newRow("kept answers of queued reads come back together, in order")
            << 0 << QStringList{"keep 05FF", "queue 06", "keep 05FE", "take 4"}
            << QList<QByteArray>{frame(0xC2, hex("05FF")), frame(0xC4, hex("06")),
                                 frame(0xC2, hex("05FE"))}
            << hex("FA00FA01") << QStringList();
    }

    // One frame per OUT transfer, each answer asked for by its own IN transfer.
    void ch347Frames()
    {
        QFETCH(int, clockKHz);
        QFETCH(QStringList, steps);
        QFETCH(QList<QByteArray>, transfers);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, sleeps);
        Session session(true, BridgeKind::Ch347, uint32_t(clockKHz));
        RecordingLink &link = *session.link;
        QByteArray streamed;
        for (const QString &step : steps)
            QVERIFY2(runStep(session.driver(), step, streamed), qPrintable(step));
        QList<QByteArray> sent;
        for (const RecordingLink::Exchange &exchange : link.exchanges)
            sent += exchange.transfers;
        for (int i = 0; i < qMax(sent.size(), transfers.size()); ++i)
            COMPARE_HEX(sent.value(i), transfers.value(i));
        QCOMPARE(link.framingFaults, 0);
        COMPARE_HEX(streamed, answer);
        QCOMPARE(link.events.filter(QStringLiteral("sleep")), sleeps);
    }

    void ch347WrongAnswers_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QByteArray>("reply"); // to the step's exchange
        QTest::newRow("another command byte") << "stream 05FF" << frame(0xC4, hex("FA00"));
        QTest::newRow("a length larger than asked") << "stream 05FF" << frame(0xC2, hex("FA0000"));
        QTest::newRow("a length smaller than asked") << "stream 05FF" << frame(0xC2, hex("FA"));
        QTest::newRow("fewer bytes than the header says") << "stream 05FF" << hex("C20200FA");
        QTest::newRow("a read request answered one byte short")
            << "stream 03000000 FF*1000"
            << frame(0xC2, QByteArray(16, 0)) + frame(0xC3, QByteArray(507, 0)) +
                   frame(0xC3, QByteArray(476, 0));
        QTest::newRow("a send's answer of another length")
            << "keep 05FF" << frame(0xC2, hex("FA00")) + frame(0xC4, hex("0000"));
        QTest::newRow("the configuration answered by another command")
            << "mode 81" << frame(0xC4, hex("00"));
    }

    // An answer that is not the one asked for ends the session as a failed transfer does:
    // the caller's buffer stays as it was, nothing more goes out but chip select high.
    void ch347WrongAnswers()
    {
        QFETCH(QString, step);
        QFETCH(QByteArray, reply);
        Session session(true, BridgeKind::Ch347);
        session.link->scriptedReplies[0] = {UsbResult::Ok, reply};
        QByteArray buffer = hex("A5A5");
        if (step.startsWith("keep")) {
            QVERIFY(runStep(session.driver(), step, buffer));
            QVERIFY(queue(session.driver(), hex("06")));
            QVERIFY(!runStep(session.driver(), "take 2", buffer));
        } else {
            QVERIFY(!runStep(session.driver(), step, buffer));
            QVERIFY(!step.startsWith("stream") || buffer == stepBytes(step));
        }
        QVERIFY(session.driver().hasFailed());
        QVERIFY(!runStep(session.driver(), "stream 05", buffer));
        QVERIFY(!runStep(session.driver(), "pins 29 00", buffer));
        QVERIFY(!session.driver().flushQueue());
        QCOMPARE(session.link->exchanges.size(), std::size_t(1));
        QVERIFY(runStep(session.driver(), "pins 00 00", buffer));
        QCOMPARE(session.link->exchanges.back().transfers,
                 QList<QByteArray>{frame(0xC1, hex("C0") + QByteArray(9, 0))});
    }

    // A queued send cannot fail by itself: the next blocking call carries its failure, and a
    // queue too full to wait is sent at once.
    void queuedSendFailures()
    {
        Session session;
        const QByteArray page(256, char(0x5A));
        QVERIFY(queue(session.driver(), hex("06")));
        session.link->scriptedReplies[0] = {UsbResult::Timeout, QByteArray()};
        QByteArray status = hex("05");
        QVERIFY(!stream(session.driver(), status));
        COMPARE_HEX(status, hex("05"));
        // The chip may have missed any of it: nothing more goes out in this session.
        QVERIFY(!stream(session.driver(), status));
        QVERIFY(!queue(session.driver(), hex("06")));
        QVERIFY(!session.driver().flushQueue());
        QCOMPARE(session.link->exchanges.size(), std::size_t(1));
        // A new session starts clean; nothing of the failed exchange is sent again.
        session.driver().close();
        QCOMPARE(session.reopen(), Bridge::kOpenToken);
        QVERIFY(stream(session.driver(), status));
        COMPARE_HEX(session.link->exchanges[1].out, hex("A805"));

        for (int i = 0; i < 31; ++i)
            QVERIFY(queue(session.driver(), page));
        QCOMPARE(session.link->exchanges.size(), std::size_t(3));
        // Eight full packets and a short one of 8 bytes a page; the queue is sent when the
        // next packet would not fit in 8 KiB.
        QCOMPARE(session.link->exchanges[2].out.size(), 30 * (8 * 32 + 9) + 7 * 32);
        session.link->scriptedReplies[3] = {UsbResult::NoDevice, QByteArray()};
        for (int i = 0; i < 30; ++i)
            QVERIFY(queue(session.driver(), page));
        QVERIFY(!queue(session.driver(), page));
        QVERIFY(session.driver().isLost());
        QVERIFY(!queue(session.driver(), hex("06")));
        QVERIFY(!session.driver().queueDelayUs(10));

        // Kept answers are taken whole or not at all.
        Session fresh;
        uint8_t kept[2] = {};
        QVERIFY(fresh.driver().queueSpi(0, 1, kept, true));
        QVERIFY(!fresh.driver().takeAnswers(2, kept));
    }

    void failedStream_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("failingExchange");
        QTest::addColumn<UsbResult>("result");
        QTest::addColumn<int>("replyLength");
        QTest::newRow("timeout") << 40 << 0 << UsbResult::Timeout << 0;
        QTest::newRow("link Ok but a byte missing") << 40 << 0 << UsbResult::Ok << 39;
        QTest::newRow("link Ok but a byte too many") << 40 << 0 << UsbResult::Ok << 41;
        QTest::newRow("second 8 KiB exchange fails") << 9000 << 1 << UsbResult::Timeout << 0;
        QTest::newRow("unplugged") << 40 << 0 << UsbResult::NoDevice << 0;
    }

    // The caller's buffer stays as it was. Every failure ends the session: nothing more goes
    // out but the release of the pins, and a vanished device does not even get that, until
    // the next open drops the dead handle.
    void failedStream()
    {
        QFETCH(int, length);
        QFETCH(int, failingExchange);
        QFETCH(UsbResult, result);
        QFETCH(int, replyLength);
        Session session;
        session.driver().setPins(0x29, 0x00);
        session.link->scriptedReplies[failingExchange] = {result, QByteArray(replyLength, 'Z')};
        const QByteArray sent = pattern(length);
        QByteArray buffer = sent;
        QVERIFY(!stream(session.driver(), buffer));
        QVERIFY(buffer == sent);
        QCOMPARE(session.driver().isLost(), result == UsbResult::NoDevice);
        QVERIFY(session.driver().hasFailed());
        const std::size_t exchanges = session.link->exchanges.size();
        session.link->scriptedReplies.clear();
        QVERIFY(!stream(session.driver(), buffer));
        QVERIFY(!session.driver().setPins(0x29, 0x00));
        QVERIFY(!session.driver().setDelayMs(50));
        QCOMPARE(session.driver().versionCode(), 0u);
        QCOMPARE(session.link->exchanges.size(), exchanges);
        QCOMPARE(session.driver().setPins(0x00, 0x00), !session.driver().isLost());
        if (!session.driver().isLost())
            COMPARE_HEX(session.link->exchanges.back().out,
                        hex("AB 40 80 20") + QByteArray(28, 0));
        QCOMPARE(session.link->exchanges.size(), exchanges + (session.driver().isLost() ? 0 : 1));
        const int eventsBeforeOpen = session.link->events.size();
        QCOMPARE(session.reopen(), Bridge::kOpenToken);
        QCOMPARE(session.link->events.mid(eventsBeforeOpen),
                 QStringList({"close", "open 0", "drain"}));
        QVERIFY(stream(session.driver(), buffer));
    }

    // A failed open touches nothing else and says why. Device 0 alone; bad arguments send
    // nothing. A pause, a version request and a close send the pins queued before them. The chip
    // version is byte 0 of the two-byte answer to vendor request 5F.
    void libraryFunctions()
    {
        Session session(false);
        uint8_t bytes[2] = {0x9F, 0x00};
        session.link->openResult = UsbResult::NoDevice;
        QCOMPARE(CH341OpenDevice(0), CH341_INVALID_HANDLE);
        QCOMPARE(CH341GetLastErrorText(0),
                 "The USB device was unplugged while it was being opened.");
        session.link->openResult = UsbResult::Timeout;
        QCOMPARE(CH341OpenDevice(0), CH341_INVALID_HANDLE);
        QCOMPARE(CH341GetLastErrorText(0),
                 "The USB device could not be opened: USB input/output error.");
        CH341CloseDevice(0);
        QCOMPARE(CH341GetVerIC(0), 0u);
        session.link->openResult = UsbResult::Ok;
        QCOMPARE(CH341OpenDevice(1), CH341_INVALID_HANDLE);
        QVERIFY(CH341OpenDevice(0) != CH341_INVALID_HANDLE);
        QCOMPARE(CH341GetLastErrorText(0), "");
        QCOMPARE(CH341Set_D5_D0(0, 0x29, 0x01), 1u);
        QCOMPARE(CH341GetVerIC(1), 0u);
        QCOMPARE(CH341Set_D5_D0(1, 0x29, 0x00), 0u);
        QCOMPARE(CH341StreamSPI4(1, 0, 2, bytes), 0u);
        QCOMPARE(CH341StreamSPI4(0, 0x80, 2, bytes), 0u); // the library's own chip select
        QCOMPARE(CH341StreamSPI4(0, 0, 2, nullptr), 0u);
        CH341CloseDevice(1);
        QCOMPARE(bytes[0], uint8_t(0x9F));

        QCOMPARE(CH341SetDelaymS(0, 50), 1u);
        QCOMPARE(CH341Set_D5_D0(0, 0x29, 0x00), 1u);
        QCOMPARE(CH341GetVerIC(0), 0x30u);
        session.link->controlReply.bytes = hex("32");
        QCOMPARE(CH341GetVerIC(0), 0u);
        CH341CloseDevice(0);
        QCOMPARE(session.link->events,
                 QStringList({"open 0", "open 0", "open 0", "drain", "exchange", "sleep 50",
                              "exchange", "control 5F 0 0 2", "control 5F 0 0 2", "close"}));
        COMPARE_HEX(session.link->exchanges[0].out, padded("AB816920"));
        COMPARE_HEX(session.link->exchanges[1].out, padded("AB806920"));

        // Which bridge and which clock are chosen before the open; a CH341A's clock is fixed.
        QCOMPARE(CH341SelectBridge(0, 3), 0u);
        QCOMPARE(CH341SelectBridge(1, CH341_BRIDGE_CH347), 0u);
        QCOMPARE(CH341SelectBridge(0, CH341_BRIDGE_CH341A), 1u);
        QCOMPARE(CH341GetSpiClockText(0), "");
        QCOMPARE(CH341SetSpiClock(0, 30000), 1u);
        QVERIFY(CH341OpenDevice(0) != CH341_INVALID_HANDLE);
        QCOMPARE(session.link->events.last(), QStringLiteral("drain"));
        QVERIFY(session.link->events.contains(QStringLiteral("open 1")));
        QCOMPARE(CH341GetSpiClockText(0), "The CH341A clocks SPI at its own fixed rate of about "
                                          "1.5 MHz: the SPI clock choice is ignored.");
        CH341SetSpiClock(0, 0);
        CH341SelectBridge(0, CH341_BRIDGE_ANY);
        CH341CloseDevice(0);
    }
};

VARNOCK_TEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
