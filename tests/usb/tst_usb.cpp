// The libusb link, the driver and the worker on an emulated USB bus: the
// code that reaches a real CH341A, run without one.

#include "jobrecorder.h"
#include "mockusbbus.h"

#include "bridge/libusblink.h"
#include "programmer/ch341.h"

#include <QLoggingCategory>
#include <QtTest>

#include <sys/fsuid.h>
#include <unistd.h>

#include <memory>

namespace {

constexpr int kPage = 256;
// An unprivileged user id (nobody on Debian).
constexpr uid_t kOrdinaryUser = 65534;

const QString kNotFound = QStringLiteral("No CH341A programmer found (USB 1a86:5512): check "
                                         "the cable and the mode jumper (1-2 for SPI).");

QByteArray pattern(int length, int seed)
{
    QByteArray bytes(length, '\0');
    for (int i = 0; i < length; ++i)
        bytes[i] = char((i * 13 + seed * 7 + i / 256) & 0xFF);
    return bytes;
}

QStringList failedOpenLines(const QString &reason)
{
    return {QStringLiteral("Connecting to Programmer... Fail!"), reason,
            QStringLiteral("Failed to Initialize CH341 Programmer.")};
}

} // namespace

class TestUsb : public QObject
{
    Q_OBJECT

    std::unique_ptr<MockUsbBus> m_bus;

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        // umockdev_in_mock_environment() only turns true once a testbed exists.
        if (!qgetenv("LD_PRELOAD").contains("libumockdev-preload"))
            QFAIL("run this test under umockdev-wrapper");
    }

    void init()
    {
        m_bus = std::make_unique<MockUsbBus>();
        // No real sleeps; libusb starts at the first open, after the devices are in.
        ch341::installUsbLink(std::make_unique<ch341::LibusbLink>([](uint32_t) {}));
    }

    void cleanup()
    {
        // The link, and its libusb context, must go before the bus it talks to.
        ch341::installUsbLink(nullptr);
        m_bus.reset();
    }

    void identifyReadAndWritePages()
    {
        MockCh341a &device = m_bus->plugIn("1-1", 2);
        const QByteArray stored = pattern(4 * kPage, 1);
        device.setMemory(stored);
        // Left by a session aborted before it read its answer: it would shift every reply.
        device.addStaleReply({0x12, 0x34, 0x56, 0x78});

        CH341 worker(false);
        JobRecorder recorder(&worker);
        QCOMPARE(worker.InitializeProgrammer(), 1);
        QCOMPARE(
            recorder.lines().mid(0, 5),
            QStringList({QStringLiteral("Connecting to Programmer... OK"),
                         QStringLiteral("CH341A 1a86:5512 rev 3.04 at usb 1-1 (bus 1, addr 2)"),
                         QStringLiteral("CH341 variant: CH341A3"),
                         QStringLiteral("Setting Programmer... OK"),
                         QStringLiteral("Chip(s) Found based on JDEC ID: 0xEF4014")}));
        QVERIFY(device.urbs().startsWith(QStringLiteral("I32 C10 ")));
        QVERIFY(device.isClaimed());

        QByteArray read;
        QCOMPARE(worker.ReadFlashData(3 * kPage + 17, QStringLiteral("256"), &read), 1);
        QCOMPARE(read, stored.left(3 * kPage + 17));

        // Page program only clears bits: start from an erased chip.
        device.setMemory(QByteArray(4 * kPage, char(0xFF)));
        const QByteArray written = pattern(3 * kPage, 2);
        QCOMPARE(worker.WriteFlashData(int(worker.ChipSize), QStringLiteral("256"), written), 1);
        QCOMPARE(device.memory(4 * kPage), written + QByteArray(kPage, char(0xFF)));

        // Every exchange queues its IN transfers before its OUT, so no reply
        // finds the endpoint without a buffer. Deselect and select ride in front
        // of the SPI packet; 100 bytes come back in packets of 31, 31, 31 and 7.
        const int before = device.urbs().size();
        QCOMPARE(worker.SpiSend(1, 4, QByteArray::fromHex("9F000000")), qint64(4));
        QByteArray answer;
        worker.SpiReceive(100, answer);
        QCOMPARE(device.urbs().mid(before), QStringLiteral(" I32 O69 I32 I32 I32 I32 O168"));

        QCOMPARE(worker.ReleaseAndClose(), 1);
        QVERIFY(!device.isClaimed());
        QVERIFY(!worker.TransferFailed);
    }

    void openFailures_data()
    {
        QTest::addColumn<int>("productId");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no device") << 0 << "" << kNotFound;
        QTest::newRow("serial mode 1a86:5523")
            << 0x5523 << ""
            << QStringLiteral("The CH341A programmer is in serial mode (USB 1a86:5523): move the "
                              "mode jumper to 1-2 for SPI and plug it in again.");
        QTest::newRow("claimed by another owner")
            << 0x5512 << "busy"
            << QStringLiteral("The USB device is busy: another program or driver is using it.");
        QTest::newRow("no permission")
            << 0x5512 << "restricted"
            << QStringLiteral(
                   "No permission to open the USB device: install the udev rule (see README).");
    }

    void openFailures()
    {
        QFETCH(int, productId);
        QFETCH(QString, fault);
        const bool restricted = fault == QLatin1String("restricted");
        QFETCH(QString, reason);
        MockCh341a *device = nullptr;
        if (productId != 0) {
            device = &m_bus->plugIn("1-1", 2, uint16_t(productId));
            device->setFaults({fault == QLatin1String("busy")});
            if (restricted)
                m_bus->restrictDeviceNode(2);
        }

        CH341 worker(false);
        JobRecorder recorder(&worker);
        // Open files as an ordinary user on this thread, so that the root-only
        // node refuses even when the tests run as root.
        const bool demote = restricted && geteuid() == 0;
        if (demote)
            setfsuid(kOrdinaryUser);
        worker.DoReadID();
        if (demote)
            setfsuid(0);
        QCOMPARE(recorder.lines(), failedOpenLines(reason));
        if (device) {
            QVERIFY(!device->isClaimed());
            QVERIFY(!device->urbs().contains(QLatin1Char('O')));
        }
    }

    void brokenReplies_data()
    {
        QTest::addColumn<int>("replies");
        QTest::newRow("short IN transfer") << int(MockCh341a::Replies::LastByteLost);
        QTest::newRow("IN transfer timed out") << int(MockCh341a::Replies::Never);
    }

    void brokenReplies()
    {
        QFETCH(int, replies);
        MockCh341a &device = m_bus->plugIn("1-1", 2);
        device.setFaults({false, MockCh341a::Replies(replies)});

        CH341 worker(false);
        JobRecorder recorder(&worker);
        // The wake command is the first SPI exchange; its answer goes wrong.
        QCOMPARE(worker.InitializeProgrammer(), -1);
        QCOMPARE(
            recorder.lines().mid(3),
            QStringList({QStringLiteral("Setting Programmer... Programmer Transfer Failed!")}));
        QVERIFY(worker.TransferFailed);
        QVERIFY(!device.isClaimed());
        // A timeout cancels the transfers still waiting (the drain at open aside).
        QCOMPARE(device.urbs().count(QLatin1Char('D')) > 1,
                 replies == int(MockCh341a::Replies::Never));
    }

    void unplugDuringRead()
    {
        MockCh341a &device = m_bus->plugIn("1-1", 2);
        CH341 worker(false);
        JobRecorder recorder(&worker);
        QCOMPARE(worker.InitializeProgrammer(), 1);
        device.setFaults({false, MockCh341a::Replies::Whole, 3});
        QByteArray read;
        QCOMPARE(worker.ReadFlashData(64 * kPage, QStringLiteral("256"), &read), -1);
        QVERIFY(worker.TransferFailed);
        QVERIFY(read.size() < 64 * kPage);
        QCOMPARE(worker.ReleaseAndClose(), -1);

        // The lost handle is dropped: the next job looks afresh and says the
        // device is gone instead of failing on the dead handle.
        m_bus->remove("1-1");
        CH341 next(false);
        JobRecorder nextRecorder(&next);
        next.DoReadID();
        QCOMPARE(nextRecorder.lines(), failedOpenLines(kNotFound));
    }

    void firstDeviceInPortOrder()
    {
        // Plugged in later, but on port 1: index 0 follows bus and port order.
        MockCh341a &port2 = m_bus->plugIn("1-2", 2);
        MockCh341a &port1 = m_bus->plugIn("1-1", 3);
        CH341 worker(false);
        JobRecorder recorder(&worker);
        QCOMPARE(worker.InitializeProgrammer(), 1);
        QCOMPARE(recorder.lines().at(1),
                 QStringLiteral("CH341A 1a86:5512 rev 3.04 at usb 1-1 (bus 1, addr 3)"));
        QVERIFY(port1.isClaimed());
        QVERIFY(!port2.isClaimed());
        QCOMPARE(worker.ReleaseAndClose(), 1);
    }
};

QTEST_GUILESS_MAIN(TestUsb)
#include "tst_usb.moc"
