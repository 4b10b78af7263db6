// The libusb link, driver and worker on an emulated USB bus, without hardware.

#include "failonwarning.h"
#include "jobrecorder.h"
#include "mockch341a.h"

#include "bridge/ch341bridges.h"
#include "bridge/libusblink.h"
#include "programmer/jobs/ch341.h"
#include "testfiles.h"

#include <QLoggingCategory>
#include <QtTest>

#include <sys/fsuid.h>
#include <unistd.h>

#include <memory>

namespace {

constexpr int kPage = 256;
constexpr uid_t kNobody = 65534;

const QString kNotFound = QStringLiteral(
    "No CH341A or CH347 programmer found (USB 1a86:5512, 1a86:55db or 1a86:55de): check the "
    "cable and, on a CH341A, the mode jumper (1-2 for SPI).");

const QString kInUse = QStringLiteral("The programmer is in use by another program (or a driver "
                                      "holds it): let that job end, then try again.");

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
        if (!qgetenv("LD_PRELOAD").contains("libumockdev-preload"))
            QFAIL("run this test under umockdev-wrapper");
    }

    void init()
    {
        m_bus = std::make_unique<MockUsbBus>();
        // No real sleeps; libusb starts at the first open.
        ch341::installUsbLink(std::make_unique<ch341::LibusbLink>([](uint32_t) {}));
    }

    void cleanup()
    {
        CH341SelectBridge(0, CH341_BRIDGE_ANY);
        // The libusb context must go before the bus it talks to.
        ch341::installUsbLink(nullptr);
        m_bus.reset();
    }

    void identifyAndStream()
    {
        // Plugged in first and at a lower address, but index 0 follows bus and port order.
        MockCh341a &port2 = m_bus->plugIn("1-2", 2);
        MockCh341a &device = m_bus->plugIn("1-1", 3);
        // Undrained, a stale reply would shift every answer after it.
        device.setFaults({false, MockCh341a::Replies::Whole, -1, 4});

        CH341 worker(false);
        JobRecorder recorder(&worker);
        QCOMPARE(worker.InitializeProgrammer(), 1);
        QCOMPARE(recorder.lines().at(1),
                 QStringLiteral("CH341A 1a86:5512 rev 3.04 at usb 1-1 (bus 1, addr 3)"));
        QCOMPARE(recorder.lines().at(4),
                 QStringLiteral("Chip(s) Found based on JDEC ID: 0xEF4014"));
        // The drain reads until the endpoint stays quiet: the stale packet, then a read that
        // times out and is discarded.
        QVERIFY(device.urbs().startsWith(QStringLiteral("I32 I32 D C10 ")));
        QVERIFY(device.isClaimed());
        QVERIFY(!port2.isClaimed());

        // IN transfers are queued before their OUTs, the queued send's answer among them; a
        // short packet ends an OUT transfer; 100 bytes come back as 31+31+31+7.
        const int before = device.urbs().size();
        QCOMPARE(worker.SpiSend(1, 4, QByteArray::fromHex("9F000000")), qint64(4));
        QByteArray answer;
        worker.SpiReceive(100, answer);
        QCOMPARE(device.urbs().mid(before), QStringLiteral(" I32 I32 I32 I32 I32 O37 O136"));

        QCOMPARE(worker.ReleaseAndClose(), 1);
        QVERIFY(!device.isClaimed());
    }

    void bridges_data()
    {
        QTest::addColumn<QList<int>>("plugged"); // product ids at ports 1-1 and 1-2
        QTest::addColumn<int>("choice");         // CH341_BRIDGE_*
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("interface"); // the one claimed
        QTest::addColumn<QString>("variant");
        QTest::newRow("CH347T: SPI on interface 2")
            << QList<int>{0x55DB} << CH341_BRIDGE_ANY
            << "CH347T 1a86:55db rev 1.00 at usb 1-1 (bus 1, addr 2)" << 2
            << "CH347 variant: CH347T";
        QTest::newRow("CH347F: SPI on interface 4")
            << QList<int>{0x55DE} << CH341_BRIDGE_ANY
            << "CH347F 1a86:55de rev 1.00 at usb 1-1 (bus 1, addr 2)" << 4
            << "CH347 variant: CH347F";
        QTest::newRow("a CH341A on a later port keeps device index 0")
            << QList<int>{0x55DB, 0x5512} << CH341_BRIDGE_ANY
            << "CH341A 1a86:5512 rev 3.04 at usb 1-2 (bus 1, addr 3)" << 0
            << "CH341 variant: CH341A3";
        QTest::newRow("the user picks the CH347")
            << QList<int>{0x5512, 0x55DB} << CH341_BRIDGE_CH347
            << "CH347T 1a86:55db rev 1.00 at usb 1-2 (bus 1, addr 3)" << 2
            << "CH347 variant: CH347T";
    }

    // Open, claim the SPI interface alone, configure, identify and stream.
    void bridges()
    {
        QFETCH(QList<int>, plugged);
        QFETCH(int, choice);
        QFETCH(QString, name);
        QFETCH(int, interface);
        QFETCH(QString, variant);
        QList<MockCh341a *> devices;
        for (int i = 0; i < plugged.size(); ++i)
            devices << &m_bus->plugIn("1-" + std::to_string(i + 1), uint8_t(i + 2),
                                      uint16_t(plugged[i]));
        MockCh341a &device = *devices.at(name.contains("1-1") ? 0 : 1);
        CH341SelectBridge(0, uint32_t(choice));
        CH341 worker(false);
        JobRecorder recorder(&worker);
        QCOMPARE(worker.InitializeProgrammer(), 1);
        QCOMPARE(recorder.lines().at(1), name);
        QVERIFY(recorder.lines().contains(variant));
        QVERIFY(
            recorder.lines().contains(QStringLiteral("Chip(s) Found based on JDEC ID: 0xEF4014")));
        QCOMPARE(device.claimedInterface(), interface);
        for (MockCh341a *other : devices)
            QCOMPARE(other->isClaimed(), other == &device);
        if (interface != 0) {
            // A frame is an OUT transfer, each answer an IN transfer of a whole packet's room:
            // the deselect that ended identification, select, a send (answered), deselect;
            // select and 100 bytes out and in.
            const int before = device.urbs().size();
            QCOMPARE(worker.SpiSend(1, 4, QByteArray::fromHex("9F000000")), qint64(4));
            QByteArray answer;
            worker.SpiReceive(100, answer);
            QCOMPARE(device.urbs().mid(before),
                     QStringLiteral(" I512 I512 O13 O13 O7 O13 O13 O103"));
            QCOMPARE(answer, QByteArray(100, char(0xFF)));
        }
        QCOMPARE(worker.ReleaseAndClose(), 1);
        QVERIFY(!device.isClaimed());
    }

    // No device at all is the end of transferFaults.
    void openFailures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("serial mode 1a86:5523")
            << "serial"
            << QStringLiteral("The CH341A programmer is in serial mode (USB 1a86:5523): move the "
                              "mode jumper to 1-2 for SPI and plug it in again.");
        QTest::newRow("claimed by another owner") << "busy" << kInUse;
        QTest::newRow("no permission")
            << "restricted"
            << QStringLiteral(
                   "No permission to open the USB device: install the udev rule (see README).");
    }

    void openFailures()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        MockCh341a &device = m_bus->plugIn("1-1", 2, fault == "serial" ? 0x5523 : 0x5512);
        device.setFaults({fault == "busy"});
        if (fault == "restricted")
            m_bus->restrictDeviceNode(2);

        CH341 worker(false);
        JobRecorder recorder(&worker);
        // Open as an ordinary user, so the root-only node refuses even to root.
        const bool demote = fault == "restricted" && geteuid() == 0;
        if (demote)
            setfsuid(kNobody);
        worker.DoReadID();
        if (demote)
            setfsuid(0);
        QCOMPARE(recorder.lines(), failedOpenLines(reason));
        QVERIFY(!device.isClaimed());
        QVERIFY(!device.urbs().contains(QLatin1Char('O')));
    }

    void claimedByAnotherProgram_data()
    {
        QTest::addColumn<int>("productId");
        QTest::newRow("CH341A") << 0x5512;
        QTest::newRow("CH347T") << 0x55DB;
        QTest::newRow("CH347F") << 0x55DE;
    }

    // Two opens of one bridge: the second program's job ends at once, saying why, and the
    // first keeps the bridge until it lets go.
    void claimedByAnotherProgram()
    {
        QFETCH(int, productId);
        MockCh341a &device = m_bus->plugIn("1-1", 2, uint16_t(productId));
        ch341::LibusbLink first([](uint32_t) {});
        ch341::OpenedBridge opened;
        QCOMPARE(first.open(ch341::BridgeChoice::Any, opened), ch341::UsbResult::Ok);
        const QString before = device.urbs();

        CH341 second(false);
        JobRecorder recorder(&second);
        second.DoReadID();
        QCOMPARE(recorder.lines(), failedOpenLines(kInUse));
        QCOMPARE(recorder.logs.at(2).colour, QStringLiteral("#ff0000"));
        QCOMPARE(recorder.outcome, CH341::JobOutcome::Failed);
        QCOMPARE(device.urbs(), before); // not a byte of the second job reached the bridge
        QVERIFY(device.isClaimed());

        first.close();
        QVERIFY(!device.isClaimed());
        CH341 next(false);
        JobRecorder nextRecorder(&next);
        QCOMPARE(next.InitializeProgrammer(), 1);
        QCOMPARE(next.ReleaseAndClose(), 1);
    }

    void transferFaults_data()
    {
        QTest::addColumn<int>("replies");
        QTest::addColumn<int>("outUrbsBeforeUnplug");
        QTest::newRow("short IN transfer") << int(MockCh341a::Replies::LastByteLost) << -1;
        QTest::newRow("IN transfer timed out") << int(MockCh341a::Replies::Never) << -1;
        QTest::newRow("unplugged") << int(MockCh341a::Replies::Whole) << 3;
    }

    void transferFaults()
    {
        QFETCH(int, replies);
        QFETCH(int, outUrbsBeforeUnplug);
        MockCh341a &device = m_bus->plugIn("1-1", 2);
        CH341 worker(false);
        JobRecorder recorder(&worker);
        QCOMPARE(worker.InitializeProgrammer(), 1);
        device.setFaults({false, MockCh341a::Replies(replies), outUrbsBeforeUnplug});
        QByteArray read;
        QCOMPARE(worker.ReadFlashData(64 * kPage, QStringLiteral("256"), &read), -1);
        QVERIFY(worker.TransferFailed);
        // Only a vanished device fails the release as well.
        QCOMPARE(worker.ReleaseAndClose(), outUrbsBeforeUnplug < 0 ? 1 : -1);
        QVERIFY(!device.isClaimed());
        // A timeout cancels the waiting transfers (beyond the drain at open).
        QCOMPARE(device.urbs().count(QLatin1Char('D')) > 1,
                 replies == int(MockCh341a::Replies::Never));

        // A dead handle is dropped: the next job finds the device gone.
        m_bus->remove("1-1");
        CH341 next(false);
        JobRecorder nextRecorder(&next);
        next.DoReadID();
        QCOMPARE(nextRecorder.lines(), failedOpenLines(kNotFound));
    }
};

VARNOCK_TEST_GUILESS_MAIN(TestUsb)
#include "tst_usb.moc"
