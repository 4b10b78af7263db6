// Every chip of the list through the real worker and the emulated programmer:
// how it is identified, how its protection is read and cleared, and how it is
// written above 16 MiB.

#include "emulatorharness.h"
#include "jobrecorder.h"
#include "programmer/ch341.h"
#include "programmer/chipfamily.h"
#include "testfiles.h"
#include "chipdb/chiplistextract.h"
#include "emulator/spiflashchip.h"

#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(ChipKind)

// The chip list lives in a static library; referencing its initializer keeps
// the linker from dropping it.
static void RegisterChipList()
{
    Q_INIT_RESOURCE(resources);
}

namespace {
constexpr int kMiB = 1024 * 1024;

// A chip that answers the row's id only where its datasheet says it does.
emu::ChipModel ModelOfRow(const ChipRecord &row, IdAnswer answer)
{
    emu::ChipModel model = emu::ChipModelBuilder(emu::w25q80dv())
                               .sizeBytes(4096)
                               .jedecId(0xFF, 0xFF, 0xFF)
                               .manufacturerDeviceId(std::nullopt)
                               .electronicSignature({})
                               .statusRegister3(std::nullopt)
                               .build();
    const QByteArray id = QByteArray::fromHex(row.id.toLatin1());
    const auto pair = std::array<uint8_t, 2>{uint8_t(id.at(0)), uint8_t(id.at(1))};
    switch (answer) {
    case IdAnswer::Jedec:
        model.jedecId = {uint8_t(id.at(0)), uint8_t(id.at(1)), uint8_t(id.at(2))};
        break;
    case IdAnswer::JedecContinuation:
        model.jedecId = {0x7F, pair[0], pair[1]};
        break;
    case IdAnswer::Rems:
        model.manufacturerDeviceId = pair;
        break;
    case IdAnswer::Res:
        model.electronicSignature = {pair[0], pair[1]};
        break;
    case IdAnswer::AtmelProductId:
        model.atmelProductId = pair;
        break;
    }
    return model;
}
} // namespace

class TestChips : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void shippedListWalk();
    void layouts_data();
    void layouts();
    void fourByteOpcodes();
    void sfdpChip_data();
    void sfdpChip();

private:
    QTemporaryDir m_dir;
    EmulatorHarness m_emulator;
};

void TestChips::initTestCase()
{
    // The worker's developer trace would flood the test output.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(m_dir.isValid());
    RegisterChipList();
}

// Every row with an id is found by the answer its datasheet gives, and the
// generated layout table is the one the chip facts give.
void TestChips::shippedListWalk()
{
    ChipListExtract reader(QStringLiteral(":/database/bin/chiplist.xml"));
    int status = 0;
    const ChipList rows = reader.ExtractChipList(&status);
    QStringList unreachable;
    int walked = 0;
    for (const ChipRecord &row : rows) {
        if (row.id.isEmpty())
            continue;
        const PartFacts *facts = FactsOfPart(row.vendor, row.partName);
        if (row.id.size() < 4 || !facts) {
            unreachable << row.partName + ": id " + row.id + " names no answer";
            continue;
        }
        m_emulator.install(ModelOfRow(row, facts->idAnswer));
        CH341 worker(false);
        JobRecorder recorder(&worker);
        worker.InitializeProgrammer();
        worker.ReleaseAndClose();
        ++walked;
        const QString listed =
            QStringLiteral("Vendor: %1 Part no: %2 ").arg(row.vendor, row.partName);
        if (!recorder.lines().join('\n').contains(listed))
            unreachable << row.partName + ": not found by " + row.id;
    }
    QCOMPARE(walked, 706);
    // The embedded controller's "0" is a placeholder, not an answer.
    QCOMPARE(unreachable, QStringList("KB9012: id 0 names no answer"));

    const QString python = QStringLiteral(PYTHON3_EXECUTABLE);
    if (python.isEmpty())
        QSKIP("python3 not found, cannot regenerate the layout table");
    const QString source = QStringLiteral(VARNOCK_SOURCE_DIR);
    QProcess generator;
    generator.start(python, {source + "/tools/gen_chiplist.py", source + "/chipdb/data/chips.tsv",
                             "/dev/null", "--layouts", "-"});
    QVERIFY(generator.waitForFinished(30000));
    QCOMPARE(generator.exitCode(), 0);
    QVERIFY2(generator.readAllStandardOutput() == ReadFile(source + "/programmer/partlayouts.h"),
             "partlayouts.h is out of date: run tools/gen_chiplist.py");
}

void TestChips::layouts_data()
{
    QTest::addColumn<ChipKind>("kind");
    // Datasheet commands run before the job; "WP#low" pulls the pin low, "ERR" sets the error
    // flags only the chip itself sets, "LOCKED" locks SST26 blocks for good, "PFAIL" and
    // "EFAIL" fail the next program or erase.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("answer"); // "yes:00 0x40": answers yes to the question showing it
    QTest::addColumn<QStringList>("tail");

    const QString erased = QStringLiteral("Erasing Chip... OK");
    const QString written = QStringLiteral("Writing to Chip... OK");
    const QStringList cleared = {QStringLiteral("Clearing Write Protection... OK"), erased,
                                 written};
    const QStringList atOnce = {erased, written};
    const auto refused = [](const char *status) {
        return QStringList{QStringLiteral("Chip is Write Protected! Status Register: 0x") +
                           status};
    };
    const auto locked = [](const QString &why, const char *status) {
        return QStringList{"Clearing Write Protection... Protection Locked" + why +
                           "! Status Register: 0x" + status};
    };
    const QString byPin = QStringLiteral(": Status Register Protected and WP# Pin Low");
    const ChipKind sst = ChipKind::SST25VF016B;
    const ChipKind atmel = ChipKind::AT25DF041A;
    const ChipKind winbond = ChipKind::W25Q64FV;
    const ChipKind sst26 = ChipKind::SST26VF064B;

    QTest::newRow("SST25 protected at power-up, yes: EWSR clears, word AAI writes")
        << sst << ""
        << "yes:1C" << cleared;
    QTest::newRow("SST25 protected, no") << sst << ""
                                         << "no:1C" << refused("1C");
    QTest::newRow("SST25 protected, nobody to ask") << sst << ""
                                                    << "" << refused("1C");
    QTest::newRow("SST25 BPL with WP# low") << sst << "50 019C WP#low"
                                            << "yes:9C" << locked(byPin, "9C");
    QTest::newRow("SST25VF040 by REMS: byte AAI writes") << ChipKind::SST25VF040 << ""
                                                         << "yes:1C" << cleared;
    QTest::newRow("AT25F512 by Atmel's 15h") << ChipKind::AT25F512 << ""
                                             << "" << atOnce;
    QTest::newRow("LE25FW406A by two-byte ABh") << ChipKind::LE25FW406A << ""
                                                << "" << atOnce;
    QTest::newRow("Pm25LD040 by 9Fh after 7F") << ChipKind::Pm25LD040 << ""
                                               << "" << atOnce;
    QTest::newRow("AT25DF protected at power-up: global unprotect") << atmel << ""
                                                                    << "yes:1C" << cleared;
    QTest::newRow("AT25DF WPP high is no protection") << atmel << "06 0100"
                                                      << "" << atOnce;
    QTest::newRow("AT25DF SPRL, WP# high: cleared first") << atmel << "06 01BC"
                                                          << "yes:9C" << cleared;
    QTest::newRow("AT25DF SPRL, WP# low") << atmel << "06 01BC WP#low"
                                          << "yes:8C" << locked(byPin, "8C");
    QTest::newRow("Macronix BP3") << ChipKind::MX25L6433F << "06 0120"
                                  << "yes:20" << cleared;
    QTest::newRow("Macronix QE is no protection") << ChipKind::MX25L6433F << "06 0140"
                                                  << "" << atOnce;
    QTest::newRow("GigaDevice BP4 acts as SEC: nothing protected")
        << ChipKind::GD25Q64C << "06 014000"
        << "" << atOnce;
    QTest::newRow("GigaDevice CMP with BP all set protects nothing")
        << ChipKind::GD25Q64C << "06 017C40"
        << "" << atOnce;
    QTest::newRow("GigaDevice E: CMP cleared by 31h, QE kept") << ChipKind::GD25Q128E << "06 3142"
                                                               << "yes:00 0x42" << cleared;
    QTest::newRow("XMC CMP under Micron's byte") << ChipKind::XM25QH64C << "06 010040"
                                                 << "yes:00 0x40" << cleared;
    QTest::newRow("Winbond CMP with BP=000, QE kept") << winbond << "06 010042"
                                                      << "yes:00 0x42" << cleared;
    QTest::newRow("Winbond TB and SEC alone protect nothing") << winbond << "06 016000"
                                                              << "" << atOnce;
    QTest::newRow("Winbond SRP1 alone: until power-down")
        << winbond << "06 010401"
        << "yes:04 0x01"
        << locked(" until Power-Down: Unplug and Re-plug the Programmer", "04 0x01");
    QTest::newRow("Winbond SRP0 and SRP1: for good")
        << winbond << "06 018401"
        << "yes:84 0x01" << locked(" by One-Time Lock Bits", "84 0x01");
    QTest::newRow("W25Q256JV BP3 alone") << ChipKind::W25Q256JV << "06 0120"
                                         << "yes:20 0x00" << cleared;
    QTest::newRow("Spansion error flags are no protection") << ChipKind::S25FL128S << "ERR"
                                                            << "" << atOnce;
    QTest::newRow("S25FL-S failed erase: 30h ends it")
        << ChipKind::S25FL256S << "EFAIL"
        << "" << QStringList("Erasing Chip... Erase Error at 0x000000");
    QTest::newRow("S25FL-S failed program: 30h ends it")
        << ChipKind::S25FL256S << "PFAIL"
        << ""
        << QStringList{erased, QStringLiteral("Writing to Chip... Program Error at 0x000000")};
    QTest::newRow("Micron BP3, write enable before B7 and E9") << ChipKind::MT25QL256 << "06 0140"
                                                               << "yes:40" << cleared;
    QTest::newRow("Micron left in 4-byte mode by an earlier job") << ChipKind::MT25QL256 << "06 B7"
                                                                  << "" << atOnce;
    QTest::newRow("unknown layout: every BP-like bit counts") << ChipKind::EN25QH64 << "06 0120"
                                                              << "yes:20" << cleared;
    QTest::newRow("SST26 locked at power-up, yes: ULBPR") << sst26 << ""
                                                          << "yes:00 0x08" << cleared;
    QTest::newRow("SST26 locked at power-up, no") << sst26 << ""
                                                  << "no:00 0x08" << refused("00 0x08");
    QTest::newRow("SST26 blocks locked for good")
        << sst26 << "LOCKED"
        << ""
        << QStringList("Protection Locked: Blocks Locked for Good! Status Register: 0x00 0x00");
}

// Each layout through the real write job: an unprotected chip is written at
// once, a protected one only with consent, and a locked one never; what is
// written verifies, and Status Register-2 keeps its QE bit.
void TestChips::layouts()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, setup);
    QFETCH(QString, answer);
    QFETCH(QStringList, tail);
    m_emulator.install(kind);
    emu::SpiFlashChip &chip = m_emulator.chip();
    QString commands = setup;
    m_emulator.poke(commands.remove(QRegularExpression("WP#low|ERR|LOCKED|PFAIL|EFAIL")));
    if (setup.contains(QStringLiteral("ERR")))
        chip.setStatusRegisters(uint8_t(chip.status() | 0x60)); // E_ERR and P_ERR
    if (setup.contains(QStringLiteral("LOCKED")))
        chip.lockBlocksForGood();
    if (setup.contains(QStringLiteral("PFAIL")))
        chip.failNextProgram();
    if (setup.contains(QStringLiteral("EFAIL")))
        chip.failNextErase();
    chip.setWriteProtectPin(!setup.contains(QStringLiteral("WP#low")));
    const uint8_t quadEnable = chip.status2() & 0x02;
    const QByteArray before = RandomBytes(m_emulator.memory().size(), 7);
    m_emulator.setMemory(before);
    const QByteArray image = RandomBytes(4097, 8);
    const QString path = m_dir.filePath(QStringLiteral("layout.bin"));
    QVERIFY(WriteFile(path, image));

    CH341 worker(false);
    worker.FileName = path;
    JobRecorder recorder(&worker);
    QStringList questions;
    if (!answer.isEmpty()) {
        connect(&worker, &CH341::ClearProtection_Question, this, [&](QString status) {
            questions << status;
            worker.AnswerClearProtection(answer.startsWith(QLatin1String("yes")));
        });
    }
    worker.DoWriteFlash();

    const QStringList lines = recorder.lines();
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QCOMPARE(questions.join(' '), answer.section(QLatin1Char(':'), 1));
    QCOMPARE(chip.status2() & 0x02, quadEnable);
    QVERIFY(!chip.isFourByteMode());
    QVERIFY(!chip.isBusy());
    if (tail.last() != QLatin1String("Writing to Chip... OK")) {
        QCOMPARE(recorder.logs.last().colour, QStringLiteral("#ff0000"));
        if (!setup.contains(QStringLiteral("PFAIL")))
            QCOMPARE(m_emulator.memory(), before);
        return;
    }
    QCOMPARE(m_emulator.memory().mid(image.size(), 4096), QByteArray(4096, char(0xFF)));
    CH341 verifier(false);
    verifier.FileName = path;
    JobRecorder verified(&verifier);
    verifier.DoVerifyFlash();
    QCOMPARE(verified.lines().last(), QStringLiteral("Match Found!"));

    const QList<QByteArray> frames = m_emulator.frames();
    const bool sst25 = kind == ChipKind::SST25VF016B || kind == ChipKind::SST25VF040;
    for (int i = 1; i < frames.size(); ++i) {
        const char opcode = frames.at(i).at(0);
        // SST25 parts are never page-programmed, SST26 parts always; Micron's B7/E9 and
        // SST26's ULBPR follow a write enable.
        QVERIFY(!sst25 || opcode != 0x02);
        QVERIFY(kind != ChipKind::SST26VF064B || (opcode != char(0xAD) && opcode != char(0xAF)));
        if (opcode == char(0x98) ||
            (kind == ChipKind::MT25QL256 && (opcode == char(0xB7) || opcode == char(0xE9))))
            QCOMPARE(frames.at(i - 1), QByteArray::fromHex("06"));
    }
    const auto byteAai = [](const QByteArray &frame) { return frame.startsWith(char(0xAF)); };
    QCOMPARE(std::any_of(frames.cbegin(), frames.cend(), byteAai), kind == ChipKind::SST25VF040);
}

// S25FL256S has no 4-byte mode: above 16 MiB it is read and programmed with
// 13h and 12h and a 4-byte address.
void TestChips::fourByteOpcodes()
{
    m_emulator.install(ChipKind::S25FL256S);
    QByteArray image(32 * kMiB, char(0xFF));
    for (const int at : {0, 16 * kMiB - 4096, 32 * kMiB - 8192})
        image.replace(at, 8192, RandomBytes(8192, uint(at)));
    const QString path = m_dir.filePath(QStringLiteral("large.bin"));
    QVERIFY(WriteFile(path, image));
    CH341 writer(false);
    writer.FileName = path;
    JobRecorder written(&writer);
    writer.DoWriteFlash();
    QCOMPARE(written.lines().last(), QStringLiteral("Writing to Chip... OK"));
    QVERIFY(m_emulator.memory() == image);

    m_emulator.chip().clearFrames();
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 reader(false);
    const QString dump = m_dir.filePath(QStringLiteral("dump.bin"));
    reader.FileName = dump;
    reader.DoReadFlash();
    QVERIFY(ReadFile(dump) == image);
    const QList<QByteArray> frames = m_emulator.frames();
    const auto opcode = [&frames](char value) {
        return std::count_if(frames.cbegin(), frames.cend(),
                             [value](const QByteArray &frame) { return frame.at(0) == value; });
    };
    QCOMPARE(opcode(0x13), 32 * kMiB / 4096);
    QCOMPARE(opcode(char(0xB7)) + opcode(char(0xE9)) + opcode(0x03), 0);
}

void TestChips::sfdpChip_data()
{
    QTest::addColumn<QString>("answer"); // "": nobody to ask
    QTest::newRow("yes: read with the table's size") << "yes";
    QTest::newRow("no") << "no";
    QTest::newRow("nobody to ask") << "";
}

// A chip in no list that describes itself by SFDP is used only with consent.
void TestChips::sfdpChip()
{
    QFETCH(QString, answer);
    m_emulator.install(ChipKind::SfdpOnly);
    const QByteArray contents = RandomBytes(4 * kMiB, 5);
    m_emulator.setMemory(contents);
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    const QString dump = m_dir.filePath(QStringLiteral("sfdp.bin"));
    QFile::remove(dump);
    worker.FileName = dump;
    JobRecorder recorder(&worker);
    QStringList questions;
    if (!answer.isEmpty()) {
        connect(&worker, &CH341::UnknownChip_Question, this, [&](QString id, qulonglong size) {
            questions << id + ' ' + QString::number(size);
            worker.AnswerClearProtection(answer == QLatin1String("yes"));
        });
    }
    worker.DoReadFlash();

    const QStringList lines = recorder.lines();
    // After the connection's lines: the bridge's own, its variant and "Setting Programmer".
    const int found = 3 + EmulatorHarness::bridgeLines().size();
    QCOMPARE(lines.at(found),
             QStringLiteral("Chip Not in the Chip List, SFDP Found: JEDEC ID 0x4A4016, "
                            "Capacity (Byte): 4194304, Page (Byte): 256"));
    QCOMPARE(questions, answer.isEmpty() ? QStringList() : QStringList("4A4016 4194304"));
    if (answer == QLatin1String("yes")) {
        QCOMPARE(lines.at(found + 1), QStringLiteral("Flash Chip Read File Saved in:"));
        QVERIFY(ReadFile(dump) == contents);
        return;
    }
    QCOMPARE(lines.mid(found + 1),
             QStringList({"No Chip Found in our Database based on this Flash IDs",
                          "Failed to Initialize CH341 Programmer."}));
    QVERIFY(!QFile::exists(dump));
}

QTEST_MAIN(TestChips)
#include "tst_chips.moc"
