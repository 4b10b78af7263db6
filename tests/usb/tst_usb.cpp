// The libusb link, the driver and the worker on an emulated USB bus: the
// code that reaches a real CH341A, run without one.

#include "jobrecorder.h"
#include "mockusbbus.h"

#include "bridge/ch341diag.h"
#include "bridge/ch341dll.h"
#include "bridge/libusblink.h"
#include "programmer/ch341.h"

#include <QLoggingCategory>
#include <QtTest>

#include <memory>

namespace {

constexpr int kPage = 256;

const QString kNotFound = QStringLiteral("No CH341A programmer found (USB 1a86:5512): check "
                                         "the cable and the mode jumper (1-2 for SPI).");
const QString kSerialMode =
    QStringLiteral("The CH341A programmer is in serial mode (USB 1a86:5523): move the mode "
                   "jumper to 1-2 for SPI and plug it in again.");
const QString kNoPermission =
    QStringLiteral("No permission to open the USB device: install the udev rule (see README).");
const QString kBusy =
    QStringLiteral("The USB device is busy: another program or driver is using it.");

QByteArray pattern(int length, int seed)
{
    QByteArray bytes(length, '\0');
    for (int i = 0; i < length; ++i)
        bytes[i] = char((i * 13 + seed * 7 + i / 256) & 0xFF);
    return bytes;
}

std::vector<uint8_t> bytesOf(const QByteArray &bytes)
{
    return {bytes.begin(), bytes.end()};
}

QByteArray arrayOf(const std::vector<uint8_t> &bytes, int length)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), length);
}

// The URBs submitted since the first `skip` ones, as "I32", "O37", "C10"...
QStringList submissionsSince(const MockCh341a &device, std::size_t skip)
{
    QStringList result;
    const std::vector<std::string> all = device.counters().submissions;
    for (std::size_t i = skip; i < all.size(); ++i)
        result.append(QString::fromStdString(all[i]));
    return result;
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

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void identifyReadAndWritePages();
    void inTransfersQueuedBeforeOut();
    void staleReplyIsDrained();
    void versionCodes_data();
    void versionCodes();
    void openFailures_data();
    void openFailures();
    void brokenReplies_data();
    void brokenReplies();
    void unplugDuringRead();
    void firstDeviceInPortOrder_data();
    void firstDeviceInPortOrder();

private:
    // A fresh libusb link whose pauses move the given device's clock.
    void installLink(MockCh341a *device);

    std::unique_ptr<MockUsbBus> m_bus;
    MockCh341a *m_pauseTarget = nullptr;
    QList<uint32_t> m_pauses;
};

void TestUsb::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    if (!MockUsbBus::preloaded())
        QFAIL("run this test under umockdev-wrapper");
}

void TestUsb::init()
{
    m_bus = std::make_unique<MockUsbBus>();
    m_pauses.clear();
    m_pauseTarget = nullptr;
}

void TestUsb::cleanup()
{
    // The link, and its libusb context, must go before the bus it talks to.
    ch341::installUsbLink(nullptr);
    m_bus.reset();
}

void TestUsb::installLink(MockCh341a *device)
{
    m_pauseTarget = device;
    ch341::installUsbLink(std::make_unique<ch341::LibusbLink>([this](uint32_t ms) {
        m_pauses.append(ms);
        if (m_pauseTarget)
            m_pauseTarget->advanceMs(ms);
    }));
}

void TestUsb::identifyReadAndWritePages()
{
    MockCh341a &device = m_bus->plugIn("1-1", 2);
    const QByteArray stored = pattern(4 * kPage, 1);
    device.setMemory(bytesOf(stored));
    installLink(&device);

    CH341 worker(false);
    JobRecorder recorder(&worker);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    const QStringList lines = recorder.lines();
    QCOMPARE(lines.mid(0, 5),
             QStringList({QStringLiteral("Connecting to Programmer... OK"),
                          QStringLiteral("CH341A 1a86:5512 rev 3.04 at usb 1-1 (bus 1, addr 2)"),
                          QStringLiteral("CH341 variant: CH341A3"),
                          QStringLiteral("Setting Programmer... OK"),
                          QStringLiteral("Chip(s) Found based on JDEC ID: 0xEF4014")}));
    QVERIFY(lines.contains(
        QStringLiteral("Vendor: WINBOND Part no: W25Q80DV Capacity (Byte): 1048576")));
    QCOMPARE(worker.ChipSize, uint32_t(1048576));
    QVERIFY(device.isClaimed());
    // The settle and wake delays of the configuration, as host pauses.
    QCOMPARE(m_pauses, QList<uint32_t>({50, 2}));

    QByteArray read;
    QCOMPARE(worker.ReadFlashData(3 * kPage + 17, QStringLiteral("256"), &read), 1);
    QCOMPARE(read, stored.left(3 * kPage + 17));

    // Page program only clears bits: start from an erased chip.
    device.setMemory(std::vector<uint8_t>(4 * kPage, 0xFF));
    const QByteArray written = pattern(3 * kPage, 2);
    QCOMPARE(worker.WriteFlashData(int(worker.ChipSize), QStringLiteral("256"), written), 1);
    QCOMPARE(arrayOf(device.memory(), 4 * kPage), written + QByteArray(kPage, char(0xFF)));
    // Write enable, then page program with the address most significant byte first.
    const std::vector<std::vector<uint8_t>> frames = device.frames();
    const QByteArray secondPage = QByteArray::fromHex("02000100") + written.mid(kPage, kPage);
    const auto programmed = std::find(frames.begin(), frames.end(), bytesOf(secondPage));
    QVERIFY(programmed != frames.end() && programmed != frames.begin());
    QCOMPARE(*(programmed - 1), std::vector<uint8_t>({0x06}));

    read.clear();
    QCOMPARE(worker.ReadFlashData(3 * kPage, QStringLiteral("256"), &read), 1);
    QCOMPARE(read, written);

    QCOMPARE(worker.ReleaseAndClose(), 1);
    QCOMPARE(device.pinDirections(), uint8_t(0));
    QVERIFY(!device.isClaimed());
    const MockCh341a::Counters counters = device.counters();
    QCOMPARE(counters.claims, 1);
    QCOMPARE(counters.releases, 1);
    QCOMPARE(counters.controlUrbs, 1);
    QVERIFY(counters.unknownRequests.empty());
    QVERIFY(!worker.TransferFailed);
}

void TestUsb::inTransfersQueuedBeforeOut()
{
    MockCh341a &device = m_bus->plugIn("1-1", 2);
    installLink(&device);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    const std::size_t before = device.counters().submissions.size();

    // The deselect that ended identification and the select ride in front of
    // the SPI packet, a whole UIO packet each: one OUT of 32 + 32 + 5 bytes,
    // its one reply buffer queued first.
    QCOMPARE(worker.SpiSend(1, 4, QByteArray::fromHex("9F000000")), qint64(4));
    // Deselect and select packets, then 100 bytes in packets of 31, 31, 31, 7:
    // four IN transfers, then 64 + 3 * 32 + 8 bytes out.
    QByteArray answer;
    worker.SpiReceive(100, answer);
    QCOMPARE(answer.size(), 100);
    QCOMPARE(submissionsSince(device, before),
             QStringList({"I32", "O69", "I32", "I32", "I32", "I32", "O168"}));
    QCOMPARE(worker.ReleaseAndClose(), 1);
}

void TestUsb::staleReplyIsDrained()
{
    MockCh341a &device = m_bus->plugIn("1-1", 2);
    // Left over from a session that was aborted before reading its answer.
    device.addStaleReply({0x12, 0x34, 0x56, 0x78});
    installLink(&device);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    QCOMPARE(recorder.lines().at(4), QStringLiteral("Chip(s) Found based on JDEC ID: 0xEF4014"));
    // The drain's IN transfer comes before anything is sent.
    QCOMPARE(submissionsSince(device, 0).first(), QStringLiteral("I32"));
    QCOMPARE(worker.ReleaseAndClose(), 1);
}

void TestUsb::versionCodes_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("stall");
    QTest::addColumn<QString>("variant");
    QTest::newRow("10h") << 0x10 << false << QStringLiteral("CH341");
    QTest::newRow("20h") << 0x20 << false << QStringLiteral("CH341A");
    QTest::newRow("32h") << 0x32 << false << QStringLiteral("CH341B");
    QTest::newRow("27h not in the table") << 0x27 << false << QStringLiteral("UNKNOWN");
    QTest::newRow("request stalls") << 0x30 << true << QStringLiteral("UNKNOWN");
}

void TestUsb::versionCodes()
{
    QFETCH(int, version);
    QFETCH(bool, stall);
    QFETCH(QString, variant);
    MockCh341a &device = m_bus->plugIn("1-1", 2);
    device.setVersion(uint8_t(version));
    device.setStallControl(stall);
    installLink(&device);
    CH341 worker(false);
    JobRecorder recorder(&worker);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    QCOMPARE(recorder.lines().at(2), QStringLiteral("CH341 variant: ") + variant);
    // Setup stage and a 2-byte data stage.
    QCOMPARE(submissionsSince(device, 0).count(QStringLiteral("C10")), 1);
    QCOMPARE(worker.ReleaseAndClose(), 1);
}

void TestUsb::openFailures_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<bool>("restricted");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no device") << 0 << false << false << kNotFound;
    QTest::newRow("serial mode 1a86:5523") << 0x5523 << false << false << kSerialMode;
    QTest::newRow("claimed by another owner") << 0x5512 << true << false << kBusy;
    QTest::newRow("no permission") << 0x5512 << false << true << kNoPermission;
}

void TestUsb::openFailures()
{
    QFETCH(int, productId);
    QFETCH(bool, busy);
    QFETCH(bool, restricted);
    QFETCH(QString, reason);

    MockCh341a *device = nullptr;
    if (productId != 0) {
        device = &m_bus->plugIn("1-1", 2, uint16_t(productId));
        device->setClaimedElsewhere(busy);
        if (restricted)
            m_bus->restrictDeviceNode(*device);
    }
    installLink(device);

    CH341 worker(false);
    JobRecorder recorder(&worker);
    {
        std::unique_ptr<UnprivilegedFileAccess> user;
        if (restricted)
            user = std::make_unique<UnprivilegedFileAccess>();
        worker.DoReadID();
    }
    QCOMPARE(recorder.lines(), failedOpenLines(reason));
    const LogRecord why = recorder.logs.at(2);
    QCOMPARE(why.message, reason);
    QCOMPARE(why.colour, QStringLiteral("#ff0000"));
    QCOMPARE(why.weight, 1);
    QVERIFY(why.newLine);
    QCOMPARE(recorder.jobDoneCount, 1);
    QCOMPARE(recorder.events.last(), QStringLiteral("done"));
    QCOMPARE(QString::fromUtf8(CH341GetLastErrorText(0)), reason);
    QCOMPARE(CH341GetLastErrorText(1), "");
    if (device) {
        QVERIFY(!device->isClaimed());
        QCOMPARE(device->counters().outUrbs, 0);
    }
}

void TestUsb::brokenReplies_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("short IN transfer") << false;
    QTest::newRow("IN transfer timed out") << true;
}

void TestUsb::brokenReplies()
{
    QFETCH(bool, silent);
    MockCh341a &device = m_bus->plugIn("1-1", 2);
    device.setSilent(silent);
    device.setShortReplies(!silent);
    installLink(&device);

    CH341 worker(false);
    JobRecorder recorder(&worker);
    // The wake command is the first SPI exchange; its answer goes wrong.
    QCOMPARE(worker.InitializeProgrammer(), -1);
    QCOMPARE(recorder.lines().mid(3),
             QStringList({QStringLiteral("Setting Programmer... Programmer Transfer Failed!")}));
    QVERIFY(worker.TransferFailed);
    QVERIFY(!device.isClaimed());
    // Only a timeout leaves transfers to cancel (the drain after open aside).
    QCOMPARE(device.counters().discardedUrbs > 1, silent);
}

void TestUsb::unplugDuringRead()
{
    MockCh341a &device = m_bus->plugIn("1-1", 2);
    installLink(&device);

    CH341 worker(false);
    JobRecorder recorder(&worker);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    device.unplugAfterOutUrbs(3);
    QByteArray read;
    QCOMPARE(worker.ReadFlashData(64 * kPage, QStringLiteral("256"), &read), -1);
    QVERIFY(device.isUnplugged());
    QVERIFY(worker.TransferFailed);
    QVERIFY(read.size() < 64 * kPage);
    QCOMPARE(worker.ReleaseAndClose(), -1);

    // Gone from the bus: the next job says so instead of hanging.
    m_bus->remove(device);
    CH341 next(false);
    JobRecorder nextRecorder(&next);
    next.DoReadID();
    QCOMPARE(nextRecorder.lines(), failedOpenLines(kNotFound));

    // Plugged in again, at a new address: found without restarting.
    MockCh341a &again = m_bus->plugIn("1-1", 3);
    m_pauseTarget = &again;
    CH341 third(false);
    JobRecorder thirdRecorder(&third);
    QCOMPARE(third.InitializeProgrammer(), 1);
    QCOMPARE(CH341GetLastErrorText(0), "");
    QCOMPARE(thirdRecorder.lines().at(1),
             QStringLiteral("CH341A 1a86:5512 rev 3.04 at usb 1-1 (bus 1, addr 3)"));
    QCOMPARE(third.ReleaseAndClose(), 1);
}

void TestUsb::firstDeviceInPortOrder_data()
{
    QTest::addColumn<bool>("port2First");
    QTest::newRow("port 1 plugged in first") << false;
    QTest::newRow("port 2 plugged in first") << true;
}

void TestUsb::firstDeviceInPortOrder()
{
    QFETCH(bool, port2First);
    MockCh341a *port1 = nullptr;
    MockCh341a *port2 = nullptr;
    if (port2First) {
        port2 = &m_bus->plugIn("1-2", 2);
        port1 = &m_bus->plugIn("1-1", 3);
    } else {
        port1 = &m_bus->plugIn("1-1", 2);
        port2 = &m_bus->plugIn("1-2", 3);
    }
    installLink(port1);

    CH341 worker(false);
    JobRecorder recorder(&worker);
    QCOMPARE(worker.InitializeProgrammer(), 1);
    QCOMPARE(recorder.lines().at(1),
             QStringLiteral("CH341A 1a86:5512 rev 3.04 at usb 1-1 (bus 1, addr %1)")
                 .arg(port2First ? 3 : 2));
    QVERIFY(port1->isClaimed());
    QCOMPARE(port2->counters().claims, 0);
    QCOMPARE(worker.ReleaseAndClose(), 1);
}

QTEST_GUILESS_MAIN(TestUsb)
#include "tst_usb.moc"
