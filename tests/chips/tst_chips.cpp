// Every chip of the list through the real worker and the emulated programmer:
// how it is identified, how its protection is read and cleared, and how it is
// written above 16 MiB; every 95-series EEPROM row chosen by name and written.

#include "failonwarning.h"
#include "emulatorharness.h"
#include "jobrecorder.h"
#include "programmer/jobs/ch341.h"
#include "programmer/chips/nor/chipfamily.h"
#include "programmer/identify/chiplists.h"
#include "programmer/chips/nor/chipprotection.h"
#include "programmer/chips/nor/partlayouts.h"
#include "programmer/identify/supplyvoltage.h"
#include "testfiles.h"
#include "chipdb/chiplistextract.h"
#include "emulator/chipmodel.h"
#include "emulator/microwireeeprom.h"
#include "emulator/spieeprom.h"
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

// A chip that answers the row's id only where its datasheet says it does; a part without 9Fh
// answers it with the idle level of its data line.
emu::ChipModel ModelOfRow(const ChipRecord &row, IdAnswer answer, uint8_t idle)
{
    emu::ChipModel model = emu::ChipModelBuilder(emu::w25q80dv())
                               .sizeBytes(4096)
                               .jedecId(idle, idle, idle)
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
        if (id.size() == 3) {
            model.jedecId = {pair[0], pair[1], uint8_t(id.at(2))};
            model.jedecContinuationCodes = 1;
        }
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
QString Hex(uint8_t value)
{
    return QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

// "SR1 3C SR2 40 SR3 00 kept C3 BF 00, wrsr2+wrsr31, 4-byte 1, C7h x1, page 256": the bits
// that protect, those a clear writes back as read, the status writes, the 4-byte mode flags,
// the erase and the page the worker uses for a chip whose identifier several rows share.
QString Described(const SettledChip &chip)
{
    const ChipFamily &f = chip.family;
    const char *const methods[] = {"wrsr", "wrsr2", "wrsr31", "ewsr", "global", "ulbpr"};
    QStringList clears;
    for (int bit = 0; bit < 6; ++bit) {
        if (f.clearing & (1 << bit))
            clears << methods[bit];
    }
    const char *const erases[] = {"C7h", "62h", "C4h", "D8h"};
    const char *const locks[] = {"", ", WPS", ", WPSEL"};
    return QStringLiteral(
               "SR1 %1 SR2 %2 SR3 %3 kept %4 %5 %6, %7%13%14%15, 4-byte %8, %9 x%10%11, "
               "page %12")
        .arg(Hex(f.protectionBits), Hex(f.complementBit), Hex(f.complementBit3), Hex(f.keepBits),
             Hex(f.keepBits2), Hex(f.keepBits3), clears.join('+'))
        .arg(f.fourByteMode)
        .arg(QLatin1String(erases[int(chip.erase)]))
        .arg(chip.dies)
        .arg(chip.dieSelect ? QStringLiteral(" by C2h") : QString(), chip.page)
        .arg(QLatin1String(f.probesStatus2 ? ", probe 35h" : ""),
             QLatin1String(locks[int(f.blockLockMode)]),
             QLatin1String(f.flagStatus ? ", FSR" : ""));
}
} // namespace

class TestChips : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void shippedListWalk();
    void i2cRowsWalk();
    void microwireRowsWalk();
    void supplyVoltages();
    void sharedIds();
    void statusWritesKeepRegisters();
    void protectionDecision_data();
    void protectionDecision();
    void layouts_data();
    void layouts();
    void largeParts_data();
    void largeParts();
    void eepromRowWalk_data();
    void eepromRowWalk();
    void askedChips_data();
    void askedChips();
    void userRows_data();
    void userRows();
    void badUserRows_data();
    void badUserRows();
    void rememberedSfdpChip_data();
    void rememberedSfdpChip();
    void userRowAgainstSfdp_data();
    void userRowAgainstSfdp();
    void cleanup();

private:
    // Writes the rows under chips.tsv's header to the user's own list (xdg) or to the one a
    // job is told to read; returns the file's path.
    QString writeUserList(const QString &rows, bool xdg);

    QTemporaryDir m_dir;
    EmulatorHarness m_emulator;
};

void TestChips::initTestCase()
{
    // The worker's developer trace would flood the test output.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(m_dir.isValid());
    RegisterChipList();
    // The developer's own chip list stays out of the tests.
    qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("data")).toLocal8Bit());
}

void TestChips::cleanup()
{
    SetChosenChipList(QString());
    QFile::remove(UserChipListPath());
}

QString TestChips::writeUserList(const QString &rows, bool xdg)
{
    QFile table(QStringLiteral(VARNOCK_SOURCE_DIR "/chipdb/data/chips.tsv"));
    if (!table.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray header = table.readLine();
    const QString path = xdg ? UserChipListPath() : m_dir.filePath(QStringLiteral("mine.tsv"));
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!WriteFile(path, "# my parts\n" + header + rows.toUtf8()))
        return QString();
    if (!xdg)
        SetChosenChipList(path);
    return path;
}

// Every row with an id is found by the answer its datasheet gives, a part without 9Fh whether
// its data line idles high (FF FF FF) or low (00 00 00), and the generated layout table is the
// one the chip facts give.
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
        const bool hasJedecId =
            facts->idAnswer == IdAnswer::Jedec || facts->idAnswer == IdAnswer::JedecContinuation;
        for (const uint8_t idle :
             hasJedecId ? QVector<uint8_t>{0xFF} : QVector<uint8_t>{0xFF, 0}) {
            m_emulator.install(ModelOfRow(row, facts->idAnswer, idle));
            CH341 worker(false);
            JobRecorder recorder(&worker);
            worker.InitializeProgrammer();
            worker.ReleaseAndClose();
            ++walked;
            const QString listed =
                QStringLiteral("Vendor: %1 Part no: %2 ").arg(row.vendor, row.partName);
            if (!recorder.lines().join('\n').contains(listed))
                unreachable << row.partName + ": not found by " + row.id + " after 9Fh read " +
                                   (idle ? "FF FF FF" : "00 00 00");
        }
    }
    QCOMPARE(walked, 713 + 28); // the 28 parts without 9Fh twice
    // The embedded controller's "0" is a placeholder, not an answer.
    QCOMPARE(unreachable.join(QLatin1Char('\n')), QStringLiteral("KB9012: id 0 names no answer"));

    const QString python = QStringLiteral(PYTHON3_EXECUTABLE);
    if (python.isEmpty())
        QSKIP("python3 not found, cannot regenerate the layout table");
    const QString source = QStringLiteral(VARNOCK_SOURCE_DIR);
    QProcess generator;
    generator.start(python, {source + "/tools/gen_chiplist.py", source + "/chipdb/data/chips.tsv",
                             "/dev/null", "--layouts", "-"});
    QVERIFY(generator.waitForFinished(30000));
    QCOMPARE(generator.exitCode(), 0);
    QVERIFY2(generator.readAllStandardOutput() ==
                 ReadFile(source + "/programmer/chips/nor/partlayouts.h"),
             "partlayouts.h is out of date: run tools/gen_chiplist.py");
}

// Every Microwire row, x16 and x8, written and read back through a part built from the row:
// the datasheet's size (the M93C06's row counts 16 words of 256 bits) and the row's address
// bits, one more in x8. The CH347 refuses every one before any instruction.
void TestChips::microwireRowsWalk()
{
    const QHash<QString, int> datasheetBytes = {{"M93C06", 32},   {"M93C46", 128},
                                                {"M93C56", 256},  {"M93C66", 512},
                                                {"M93C76", 1024}, {"M93C86", 2048}};
    int walked = 0;
    for (const ChipRecord &row : KnownChips({})) {
        if (row.protocol != QLatin1String("MicroWire"))
            continue;
        QVERIFY2(datasheetBytes.contains(row.partName), qPrintable(row.partName));
        for (const int wordBits : {16, 8}) {
            emu::ChipModel model = emu::eeprom93c46(uint8_t(wordBits));
            model.sizeBytes = uint32_t(datasheetBytes.value(row.partName));
            model.microwireAddressBits = uint8_t(row.addrbitlen + (wordBits == 8 ? 1 : 0));
            m_emulator.install(model);
            const QByteArray before = RandomBytes(int(model.sizeBytes), 7);
            const QByteArray image = RandomBytes(int(model.sizeBytes), 8);
            m_emulator.setMemory(before);
            CH341 worker(false);
            worker.PartName = row.partName + QStringLiteral("-x%1").arg(wordBits);
            worker.FileName = m_dir.filePath(QStringLiteral("93xx.bin"));
            QVERIFY(WriteFile(worker.FileName, image));
            JobRecorder recorder(&worker);
            worker.DoWriteFlash();
            const bool reached = !EmulatorHarness::onCh347();
            QVERIFY2(m_emulator.memory() == (reached ? image : before),
                     qPrintable(worker.PartName + '\n' + recorder.lines().join('\n')));
            QCOMPARE(recorder.outcome == CH341::JobOutcome::Succeeded, reached);
            if (!reached)
                QCOMPARE(m_emulator.link().microwireEeprom()->instructions(), quint64(0));
            ++walked;
        }
    }
    QCOMPARE(walked, 12);
}

// Every I2C row of the list, chosen by name, on an emulated 24xx of the row's size, page and
// address form: written with a random image (read back), read to a file, verified.
void TestChips::i2cRowsWalk()
{
    ChipListExtract reader(QStringLiteral(":/database/bin/chiplist.xml"));
    int status = 0;
    QStringList failed;
    int walked = 0;
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    for (const ChipRecord &row : reader.ExtractChipList(&status)) {
        if (row.protocol != QLatin1String("I2C"))
            continue;
        emu::ChipModel model;
        model.name = row.partName.toStdString();
        model.bus = emu::SocketBus::I2c;
        model.sizeBytes = uint32_t(row.size);
        model.pageSize = uint32_t(row.page.toInt());
        model.i2cAddressBytes = row.addrtype == 0 ? 0 : row.addrtype <= 4 ? 1 : 2;
        const uint8_t blockBits[] = {0, 0, 0x02, 0x06, 0x0E, 0, 0x02};
        model.i2cBlockBits = blockBits[row.addrtype];
        model.writeCycleNs = 5000000;
        m_emulator.install(model);
        m_emulator.setMemory(RandomBytes(row.size, 1));
        const QByteArray image = RandomBytes(row.size, 2);
        const QString file = m_dir.filePath(QStringLiteral("24xx.bin"));
        QVERIFY(WriteFile(file, image));
        bool ok = true;
        for (const char *job : {"DoWriteFlash", "DoReadFlash", "DoVerifyFlash"}) {
            CH341 worker(false);
            worker.PartName = QString(row.partName).remove(QLatin1Char('_'));
            worker.FileName = file;
            JobRecorder recorder(&worker);
            QMetaObject::invokeMethod(&worker, job);
            ok = ok && recorder.outcome == CH341::JobOutcome::Succeeded;
        }
        ++walked;
        if (!ok || m_emulator.memory() != image || ReadFile(file) != image)
            failed << row.partName;
    }
    QCOMPARE(walked, 12);
    QCOMPARE(failed.join(QLatin1Char(' ')), QString());
}

// Every row's supply range reaches the embedded list as chips.tsv gives it, every part of at
// most 2.0 V gets the adapter warning, and ids shared by a 3 V and a 1.8 V part say both.
void TestChips::supplyVoltages()
{
    QMap<QString, QString> table; // vendor and part: the voltage column
    const QStringList lines =
        QString::fromUtf8(ReadFile(QStringLiteral(VARNOCK_SOURCE_DIR) + "/chipdb/data/chips.tsv"))
            .split('\n');
    const int column = lines.first().split('\t').indexOf(QStringLiteral("voltage"));
    QVERIFY(column > 0);
    for (const QString &line : lines.mid(1)) {
        const QStringList fields = line.split('\t');
        if (!line.startsWith('#') && fields.size() > 2)
            table[fields.at(1) + ' ' + fields.at(2)] = fields.value(column);
    }
    ChipListExtract reader(QStringLiteral(":/database/bin/chiplist.xml"));
    int status = 0;
    QStringList differing;
    int low = 0;
    for (const ChipRecord &row : reader.ExtractChipList(&status)) {
        const QString listed =
            row.voltageMaxMv ? QStringLiteral("%1-%2").arg(row.voltageMinMv).arg(row.voltageMaxMv)
                             : QString();
        const QString name =
            row.vendor + ' ' + QString(row.partName).remove(QRegularExpression("^_"));
        if (listed != table.value(name))
            differing << name + ": " + listed + " in the list, " + table.value(name) +
                             " in chips.tsv";
        if (row.voltageMaxMv != 0 && row.voltageMaxMv <= 2000) {
            ++low;
            QVERIFY2(NeedsLowVoltageAdapter({row}), qPrintable(name));
        } else {
            QVERIFY2(!NeedsLowVoltageAdapter({row}), qPrintable(name));
        }
    }
    QCOMPARE(differing.join('\n'), QString());
    QCOMPARE(low, 142);
    ChipRecord threeVolt;
    threeVolt.partName = QStringLiteral("MX25L3239E");
    threeVolt.voltageMinMv = 2700;
    threeVolt.voltageMaxMv = 3600;
    ChipRecord lowVolt = threeVolt;
    lowVolt.partName = QStringLiteral("MX25U3235F");
    lowVolt.voltageMinMv = 1650;
    lowVolt.voltageMaxMv = 2000;
    QCOMPARE(SupplyVoltageText({threeVolt, lowVolt}),
             QStringLiteral("2.7-3.6 V (MX25L3239E) or 1.65-2.0 V (MX25U3235F): the Marking on "
                            "the Chip Decides"));
    QVERIFY(!NeedsLowVoltageAdapter({threeVolt, lowVolt}));
    QCOMPARE(SupplyVoltageText({ChipRecord()}), QString());
}

// Every identifier whose rows disagree (size, layout, page or erase) and how identification
// settles it, the same whatever the order of the rows.
void TestChips::sharedIds()
{
    ChipListExtract reader(QStringLiteral(":/database/bin/chiplist.xml"));
    int status = 0;
    QMap<QString, QList<ChipRecord>> byId;
    for (const ChipRecord &row : reader.ExtractChipList(&status)) {
        if (row.protocol == QLatin1String("SPI") && row.id.size() >= 4)
            byId[row.id] << row;
    }
    QStringList settled;
    for (auto it = byId.cbegin(); it != byId.cend(); ++it) {
        QStringList facts;
        for (const ChipRecord &row : it.value()) {
            const PartFacts *f = FactsOfPart(row.vendor, row.partName);
            facts << QStringLiteral("%1 %2 %3 %4 %5 %6")
                         .arg(row.size)
                         .arg(row.page)
                         .arg(f->layout)
                         .arg(int(f->erase))
                         .arg(f->dies)
                         .arg(f->dieSelect);
        }
        facts.removeDuplicates();
        if (facts.size() == 1)
            continue;
        QStringList parts;
        QSet<qint32> sizes;
        for (const ChipRecord &row : it.value()) {
            parts << row.partName + ' ' + QString::number(row.size);
            sizes << row.size;
        }
        if (sizes.size() > 1) {
            settled << it.key() + ": SFDP or the operator: " + parts.join(", ");
            continue;
        }
        QList<ChipRecord> reversed = it.value();
        std::reverse(reversed.begin(), reversed.end());
        QCOMPARE(Described(SettleParts(reversed)), Described(SettleParts(it.value())));
        settled << it.key() + ": " + Described(SettleParts(it.value()));
    }
    qInfo().noquote() << '\n' + settled.join('\n');
    QCOMPARE(
        settled,
        QStringList(
            {"010215: SR1 1C SR2 00 SR3 00 kept 83 FF 00, wrsr+wrsr2, 4-byte 0, C7h x1, page 256",
             "010216: SR1 1C SR2 00 SR3 00 kept 83 FF 00, wrsr+wrsr2, 4-byte 0, C7h x1, page 256",
             "012018: SR1 3C SR2 00 SR3 00 kept C3 FF 00, wrsr+wrsr2, 4-byte 0, C7h x1, page 256",
             "014015: SR1 3C SR2 40 SR3 00 kept C3 BF 00, wrsr+wrsr2, 4-byte 0, C7h x1, page 256",
             "1C3014: SR1 3C SR2 00 SR3 00 kept C3 00 00, wrsr, 4-byte 0, C7h x1, page 256",
             "1C7017: SR1 3C SR2 00 SR3 00 kept C3 00 00, wrsr, 4-byte 0, C7h x1, page 256",
             "1C7018: SR1 3C SR2 00 SR3 00 kept C3 00 00, wrsr, 4-byte 0, C7h x1, page 256",
             "1F2800: SR1 3C SR2 00 SR3 00 kept C3 00 00, wrsr, probe 35h, 4-byte 0, C7h x1, page "
             "264",
             "1F60: SFDP or the operator: AT25F1024 131072, AT25F1024A 131072, AT25F512 65536",
             "204011: SR1 3C SR2 00 SR3 00 kept C3 00 00, wrsr, 4-byte 0, D8h x1, page 256",
             "204012: SR1 3C SR2 00 SR3 00 kept C3 00 00, wrsr, 4-byte 0, D8h x1, page 256",
             "204013: SR1 3C SR2 00 SR3 00 kept C3 00 00, wrsr, 4-byte 0, D8h x1, page 256",
             "204014: SR1 1C SR2 40 SR3 00 kept C3 BF 00, wrsr+wrsr31, 4-byte 0, D8h x1, page 256",
             "204015: SR1 3C SR2 40 SR3 00 kept C3 BF 00, wrsr+wrsr31, 4-byte 0, D8h x1, page 256",
             "204019: SR1 3C SR2 40 SR3 00 kept C3 BF 00, wrsr+wrsr2+wrsr31, 4-byte 1, C7h x1, "
             "page 256",
             "204020: SR1 3C SR2 40 SR3 00 kept C3 BF 00, wrsr+wrsr2+wrsr31, 4-byte 1, C7h x1, "
             "page 256",
             "205015: SR1 3C SR2 40 SR3 00 kept C3 BF 00, wrsr+wrsr31, 4-byte 0, C7h x1, page 256",
             "20BA20: SR1 5C SR2 00 SR3 00 kept 83 00 00, wrsr, FSR, 4-byte 1, D8h x1, page 256",
             "20BA21: SR1 5C SR2 00 SR3 00 kept 83 00 00, wrsr, FSR, 4-byte 1, C4h x4, page 256",
             "20BB21: SR1 5C SR2 00 SR3 00 kept 83 00 00, wrsr, FSR, 4-byte 1, C4h x4, page 256",
             "7F9D7E: SR1 3C SR2 00 SR3 00 kept C3 00 00, wrsr, 4-byte 0, C7h x1, page 256",
             "8C2014: SR1 3C SR2 00 SR3 00 kept C3 00 00, wrsr, probe 35h, 4-byte 0, C7h x1, page "
             "1",
             "BF2541: SR1 3C SR2 00 SR3 00 kept C3 00 00, ewsr, 4-byte 0, C7h x1, page SSTW",
             "BF254A: SR1 3C SR2 00 SR3 00 kept C3 00 00, ewsr, 4-byte 0, C7h x1, page SSTW",
             "BF258C: SR1 3C SR2 00 SR3 00 kept C3 00 00, ewsr, 4-byte 0, C7h x1, page SSTW",
             "BF258D: SR1 3C SR2 00 SR3 00 kept C3 00 00, ewsr, 4-byte 0, C7h x1, page SSTW",
             "BF258E: SR1 3C SR2 00 SR3 00 kept C3 00 00, ewsr, 4-byte 0, C7h x1, page SSTW",
             "BF49: SR1 3C SR2 00 SR3 00 kept C3 00 00, ewsr, 4-byte 0, C7h x1, page SSTB",
             "C84016: SR1 1C SR2 40 SR3 00 kept 83 BF 00, wrsr2+wrsr31, 4-byte 0, C7h x1, page "
             "256",
             "C84017: SR1 1C SR2 40 SR3 00 kept 83 BF 00, wrsr2+wrsr31, 4-byte 0, C7h x1, page "
             "256",
             "C84018: SR1 1C SR2 40 SR3 00 kept 83 BF 00, wrsr2+wrsr31, 4-byte 0, C7h x1, page "
             "256",
             "C84019: SR1 3C SR2 00 SR3 00 kept 83 FF 00, wrsr2+wrsr31, 4-byte 0, C7h x1, page "
             "256",
             "C86719: SR1 3C SR2 40 SR3 00 kept 83 BF 00, wrsr+wrsr31, 4-byte 0, C7h x1, page 256",
             "C8671A: SR1 3C SR2 40 SR3 00 kept 83 BF 00, wrsr+wrsr31, 4-byte 0, C7h x1, page 256",
             "EF4019: SR1 3C SR2 40 SR3 00 kept 83 BF 00, wrsr31, WPS, 4-byte 5, C7h x1, page 256",
             "EF6020: SR1 3C SR2 40 SR3 00 kept C3 BF 00, wrsr+wrsr31, 4-byte 0, C7h x1, page 256",
             "EF8A16: SFDP or the operator: W77Q32JW 4194304, W77Q16JW 2097152"}));
}

// Every layout under every Quad Enable Requirements value (and none): the clear's status
// writes, played on registers that follow that value's write semantics (JESD216: a one-byte
// 01h clears Status Register-2 on 001b and 101b, and on a part that takes both registers in
// one 01h; 110b ignores a second byte), end with the protection gone and every other bit,
// Quad Enable above all, as it was.
void TestChips::statusWritesKeepRegisters()
{
    using namespace ProtectionClearing;
    QStringList faults;
    for (const ChipFamily &layout : PartLayouts::kLayouts) {
        const uint8_t byStatusWrite = StatusWrite | StatusWriteBoth | StatusWriteSeparate;
        if ((layout.clearing & byStatusWrite) == 0)
            continue;
        for (int requirements = -1; requirements <= 7; ++requirements) {
            ChipFamily family = layout;
            ApplyQuadEnableRequirements(family, requirements);
            const bool known = requirements >= 0 && requirements <= 6;
            const bool sixteenBit = requirements == 1 || requirements == 4 || requirements == 5;
            const bool hasStatus2 = layout.keepBits2 != 0 || sixteenBit || requirements == 6 ||
                                    (layout.probesStatus2 && !known);
            const bool qe1 = family.quadEnable == QuadEnable::Status1Bit6 || requirements == 2;
            // Bit 6 a protection bit of the layout and QE by SFDP is a part of its own.
            if (qe1 && (layout.protectionBits & 0x40))
                continue;
            const bool oneByteClears2 =
                requirements == 1 || requirements == 5 ||
                (!known && hasStatus2 && (layout.clearing & StatusWriteBoth) != 0) ||
                (layout.probesStatus2 && !known);
            const bool twoByteIgnored = requirements == 6;
            StatusRegisters before;
            before.status1 = uint8_t(family.protectionBits | (qe1 ? 0x40 : 0));
            before.status2 = hasStatus2 ? 0x02 : 0xFF;
            const uint8_t method = (family.clearing & StatusWriteBoth)       ? StatusWriteBoth
                                   : (family.clearing & StatusWriteSeparate) ? StatusWriteSeparate
                                                                             : StatusWrite;
            uint8_t status1 = before.status1;
            uint8_t status2 = before.status2;
            for (const QByteArray &frame : StatusClearWrites(family, method, before, hasStatus2)) {
                if (frame.at(0) == char(0x31)) {
                    status2 = uint8_t(frame.at(1));
                } else if (frame.size() == 2) {
                    status1 = uint8_t(frame.at(1));
                    status2 = oneByteClears2 ? 0x00 : status2;
                } else if (!twoByteIgnored) {
                    status1 = uint8_t(frame.at(1));
                    status2 = uint8_t(frame.at(2));
                }
            }
            const uint8_t cleared = family.protectionBits & ~family.keepBits;
            const QString row =
                QStringLiteral("%1, QER %2: ").arg(QLatin1String(layout.name)).arg(requirements);
            if (status1 & cleared)
                faults << row + "protection left: " + QString::number(status1, 16);
            if ((status1 ^ before.status1) & ~cleared)
                faults << row + "Status Register-1 changed: " + QString::number(status1, 16);
            if (hasStatus2 && status2 != before.status2)
                faults << row + "Status Register-2 changed: " + QString::number(status2, 16);
        }
    }
    QCOMPARE(faults.join('\n'), QString());
}

void TestChips::protectionDecision_data()
{
    QTest::addColumn<QString>("part");
    QTest::addColumn<QByteArray>("status"); // Status Register-1, -2 and -3
    QTest::addColumn<bool>("protects");
    // 256 Mbit with CMP: BP3..BP0 from 1010 on cover the whole array, so nothing is left.
    QTest::newRow("W25Q256JV CMP, BP 1010")
        << "W25Q256JV" << QByteArray::fromHex("2840FF") << false;
    QTest::newRow("W25Q256JV CMP, BP 1001")
        << "W25Q256JV" << QByteArray::fromHex("2440FF") << true;
    QTest::newRow("GD25F64F CMP in SR3 bit 4")
        << "GD25F64F" << QByteArray::fromHex("000010") << true;
    QTest::newRow("GD25F64F SR3 floating") << "GD25F64F" << QByteArray::fromHex("0000FF") << false;
}

// The chip's size and a complement bit in Status Register-3 take part in the decision.
void TestChips::protectionDecision()
{
    QFETCH(QString, part);
    QFETCH(QByteArray, status);
    QFETCH(bool, protects);
    ChipListExtract reader(QStringLiteral(":/database/bin/chiplist.xml"));
    int read = 0;
    const ChipList rows = reader.ExtractChipList(&read);
    const auto row = std::find_if(rows.cbegin(), rows.cend(),
                                  [&part](const ChipRecord &r) { return r.partName == part; });
    QVERIFY(row != rows.cend());
    QCOMPARE(IsWriteProtected(FamilyOfChip(row->vendor, part), uint8_t(status.at(0)),
                              uint8_t(status.at(1)), uint8_t(status.at(2)), uint32_t(row->size)),
             protects);
}

void TestChips::layouts_data()
{
    QTest::addColumn<ChipKind>("kind");
    // Datasheet commands run before the job; "WP#low" pulls the pin low, "ERR" sets the error
    // flags only the chip itself sets, "LOCKED" locks SST26 blocks for good, "PFAIL" and
    // "EFAIL" fail the next program or erase, "REFUSE" refuses every program of the page at
    // 0x1000 as a protected sector would, "NO35h" makes a clone that leaves 35h unanswered
    // (FFh), "LATE" has the host stall past every status-write and program deadline before
    // its first poll; "part=NAME" answers the part question.
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
    QTest::newRow("SST25 past every deadline: the poll after it finds the chip done")
        << sst << "LATE"
        << "yes:1C" << cleared;
    QTest::newRow("SST25 BPL with WP# low") << sst << "50 019C WP#low"
                                            << "yes:9C" << locked(byPin, "9C");
    QTest::newRow("SST25VF040 by REMS: byte AAI writes") << ChipKind::SST25VF040 << ""
                                                         << "yes:1C" << cleared;
    QTest::newRow("AT25F512 by Atmel's 15h, chosen among AT25F1024(A)")
        << ChipKind::AT25F512 << "part=AT25F512"
        << "part:AT25F1024 AT25F1024A AT25F512" << atOnce;
    QTest::newRow("A25L080P by 9Fh after 7F") << ChipKind::A25L080P << ""
                                              << "" << atOnce;
    QTest::newRow("LE25FW406A by two-byte ABh") << ChipKind::LE25FW406A << ""
                                                << "" << atOnce;
    QTest::newRow("Pm25LD040 by 9Fh after 7F") << ChipKind::Pm25LD040 << ""
                                               << "" << atOnce;
    QTest::newRow("AT25DF protected at power-up: global unprotect") << atmel << ""
                                                                    << "yes:1C" << cleared;
    QTest::newRow("AT25DF WPP high is no protection") << atmel << "06 0100"
                                                      << "" << atOnce;
    QTest::newRow("AT25DQ161 WPP high is no protection") << ChipKind::AT25DQ161 << "06 0100"
                                                         << "" << atOnce;
    QTest::newRow("AT25DF SPRL, WP# high: cleared first") << atmel << "06 01BC"
                                                          << "yes:9C" << cleared;
    QTest::newRow("AT25DF SPRL, WP# low") << atmel << "06 01BC WP#low"
                                          << "yes:8C" << locked(byPin, "8C");
    QTest::newRow("clone on the default layout: QE kept by a two-byte 01h")
        << ChipKind::ZB25VQ64 << "06 011C02"
        << "yes:1C" << cleared;
    QTest::newRow("Winbond WPS: block locks asked about, 98h, written")
        << ChipKind::W25Q128JV << ""
        << "yes:00 0x00 0x64, Block Locks On" << cleared;
    QTest::newRow("Winbond WPS, no")
        << ChipKind::W25Q128JV << ""
        << "no:00 0x00 0x64, Block Locks On" << refused("00 0x00 0x64, Block Locks On");
    QTest::newRow("Macronix WPSEL: block locks asked about, 98h, written")
        << ChipKind::MX25L12835F << ""
        << "yes:00 0x80, Block Locks On" << cleared;
    QTest::newRow("1.8 V part: warned before the first erase, written all the same")
        << ChipKind::W25Q64JW << ""
        << ""
        << QStringList{"Warning: a Part of at most 1.95 V on a Programmer that Drives 3.3 V! Use "
                       "a 1.8 V Adapter, or the Chip May Overheat or Be Damaged.",
                       erased, written};
    QTest::newRow("Micron program refused: the flag status names the page, nothing after it")
        << ChipKind::MT25QL256 << "REFUSE"
        << ""
        << QStringList{erased, "Writing to Chip... Program Error at 0x001000 (Flag Status "
                               "Register 0x92: Program Error, Protection Error)"};
    QTest::newRow("Macronix BP3") << ChipKind::MX25L6433F << "06 0120"
                                  << "yes:20" << cleared;
    QTest::newRow("Macronix QE is no protection") << ChipKind::MX25L6433F << "06 0140"
                                                  << "" << atOnce;
    QTest::newRow("PM25LQ032C BP cleared, QE (bit 6) kept") << ChipKind::PM25LQ032C << "06 015C"
                                                            << "yes:5C" << cleared;
    QTest::newRow("GigaDevice BP4 acts as SEC: nothing protected")
        << ChipKind::GD25Q64C << "06 014000"
        << "" << atOnce;
    QTest::newRow("GigaDevice CMP with BP all set protects nothing")
        << ChipKind::GD25Q64C << "06 017C40"
        << "" << atOnce;
    // GD25Q128B/C take 01h with both registers, GD25Q128E only 31h: one identifier.
    QTest::newRow("GigaDevice E: CMP cleared by 31h, QE kept") << ChipKind::GD25Q128E << "06 3142"
                                                               << "yes:00 0x42" << cleared;
    QTest::newRow("GigaDevice C: CMP cleared by 01h, QE kept")
        << ChipKind::GD25Q128C << "06 010042"
        << "yes:00 0x42" << cleared;
    QTest::newRow("GD25Q256D SRP1 (SR2 bit 6) is no CMP") << ChipKind::GD25Q256D << "06 010040"
                                                          << "" << atOnce;
    QTest::newRow("GD25Q256D SRP1 with BP: until power-down")
        << ChipKind::GD25Q256D << "06 013C40"
        << "yes:3C 0x40"
        << locked(" until Power-Down: Unplug and Re-plug the Programmer", "3C 0x40");
    QTest::newRow("XMC CMP under Micron's byte") << ChipKind::XM25QH64C << "06 010040"
                                                 << "yes:00 0x40" << cleared;
    QTest::newRow("Winbond CMP with BP=000, QE kept") << winbond << "06 010042"
                                                      << "yes:00 0x42" << cleared;
    QTest::newRow("Winbond TB and SEC alone protect nothing") << winbond << "06 016000"
                                                              << "" << atOnce;
    QTest::newRow("Winbond layout, no Status Register-2: FFh is no CMP") << winbond << "NO35h"
                                                                         << "" << atOnce;
    QTest::newRow("Winbond layout, no Status Register-2: BP cleared by 01h alone")
        << winbond << "NO35h 06 011C"
        << "yes:1C 0xFF" << cleared;
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
    QTest::newRow("S25FL-S BP cleared by 01h with CR1, QUAD kept")
        << ChipKind::S25FL128S << "06 011C02"
        << "yes:1C 0x02" << cleared;
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
    QTest::newRow("MT25QL01G: C4h on the dies, no C7h") << ChipKind::MT25QL01G << ""
                                                        << "" << atOnce;
    QTest::newRow("EN25QH64 and EN25QH64A: bit 5 TB or BP3 counts")
        << ChipKind::EN25QH64 << "06 0120"
        << "yes:20" << cleared;
    QTest::newRow("SST26 locked at power-up, yes: ULBPR") << sst26 << ""
                                                          << "yes:00 0x08" << cleared;
    QTest::newRow("SST26 locked at power-up, no") << sst26 << ""
                                                  << "no:00 0x08" << refused("00 0x08");
    // 42h writes the register most significant byte first: the top 8 KiB blocks' bits, the
    // bottom ones', the 32 KiB blocks' and then the 64 KiB blocks' from the top down.
    QTest::newRow("SST26 only the top 64 KiB locked, yes: ULBPR")
        << sst26 << "06 42550080" + QString(30, '0') << "yes:00 0x08" << cleared;
    QTest::newRow("SST26 only 0x010000-0x10FFFF locked (the register's last two bytes), no")
        << sst26 << "06 42" + QString(32, '0') + "FFFF"
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
    if (setup.contains(QStringLiteral("NO35h"))) {
        emu::ChipModel clone = m_emulator.chip().model();
        clone.hasStatus2 = false;
        m_emulator.install(clone);
    }
    emu::SpiFlashChip &chip = m_emulator.chip();
    QString commands = setup;
    m_emulator.poke(commands.remove(
        QRegularExpression("WP#low|ERR|LOCKED|PFAIL|EFAIL|REFUSE|NO35h|LATE|part=\\S+")));
    if (setup.contains(QStringLiteral("REFUSE")))
        chip.addRefusedProgram(0x1000);
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
    // QE in Status Register-1 bit 6.
    const bool qe6 = kind == ChipKind::PM25LQ032C || kind == ChipKind::MX25L6433F;
    const uint8_t quadEnable1 = qe6 ? chip.status() & 0x40 : 0;
    const QByteArray before = RandomBytes(m_emulator.memory().size(), 7);
    m_emulator.setMemory(before);
    const QByteArray image = RandomBytes(4097, 8);
    const QString path = m_dir.filePath(QStringLiteral("layout.bin"));
    QVERIFY(WriteFile(path, image));

    CH341 worker(false);
    worker.FileName = path;
    if (setup.contains(QStringLiteral("LATE"))) {
        worker.StatusWriteTimeoutMs = 0;
        worker.PageProgramTimeoutMs = 0;
    }
    JobRecorder recorder(&worker);
    QStringList questions;
    if (answer.startsWith(QLatin1String("yes")) || answer.startsWith(QLatin1String("no"))) {
        connect(&worker, &CH341::ClearProtection_Question, this, [&](QString status) {
            questions << status;
            worker.AnswerClearProtection(answer.startsWith(QLatin1String("yes")));
        });
    }
    // No part shares an identifier with one of another size but where the row says so.
    connect(&worker, &CH341::PartChoice_Question, this, [&](QStringList parts) {
        questions << parts;
        worker.AnswerPartChoice(setup.section(QLatin1String("part="), 1));
    });
    worker.DoWriteFlash();

    const QStringList lines = recorder.verdictLines();
    QCOMPARE(lines.mid(lines.size() - tail.size()).join(QLatin1Char('\n')),
             tail.join(QLatin1Char('\n')));
    QCOMPARE(questions.join(' '), answer.section(QLatin1Char(':'), 1));
    QCOMPARE(chip.status2() & 0x02, quadEnable);
    QCOMPARE(qe6 ? chip.status() & 0x40 : 0, quadEnable1);
    QVERIFY(!chip.isFourByteMode());
    QVERIFY(!chip.isBusy());
    const bool written = tail.last() == QLatin1String("Writing to Chip... OK");
    QCOMPARE(recorder.outcome, written ? CH341::JobOutcome::Succeeded
                               : answer.startsWith(QLatin1String("no"))
                                   ? CH341::JobOutcome::Declined
                                   : CH341::JobOutcome::Failed);
    if (!written) {
        QCOMPARE(recorder.logs.last().colour, QStringLiteral("#ff0000"));
        if (!setup.contains(QStringLiteral("PFAIL")) && !setup.contains(QStringLiteral("REFUSE")))
            QCOMPARE(m_emulator.memory(), before);
        return;
    }
    QCOMPARE(m_emulator.memory().mid(image.size(), 4096), QByteArray(4096, char(0xFF)));
    CH341 verifier(false);
    verifier.FileName = path;
    connect(&verifier, &CH341::PartChoice_Question, this,
            [&] { verifier.AnswerPartChoice(setup.section(QLatin1String("part="), 1)); });
    JobRecorder verified(&verifier);
    verifier.DoVerifyFlash();
    QCOMPARE(verified.verdictLines().last(), QStringLiteral("Match Found!"));

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
    // MT25QL01G ignores C7h; its identifier is also N25Q00AA13G's, of four dies: a C4h every
    // 32 MiB erases either.
    const auto erases = [&frames](char opcode) {
        return std::count_if(frames.cbegin(), frames.cend(),
                             [opcode](const QByteArray &frame) { return frame.at(0) == opcode; });
    };
    QCOMPARE(erases(char(0xC4)), kind == ChipKind::MT25QL01G ? 4 : 0);
    const auto byteAai = [](const QByteArray &frame) { return frame.startsWith(char(0xAF)); };
    QCOMPARE(std::any_of(frames.cbegin(), frames.cend(), byteAai), kind == ChipKind::SST25VF040);
}

void TestChips::largeParts_data()
{
    QTest::addColumn<ChipKind>("kind");
    // Opcodes of the write job's select windows (erase, programming, the image read back) and
    // how often each comes.
    QTest::addColumn<QString>("opcodes");
    // S25FL256S has no 4-byte mode: above 16 MiB it is read and programmed with 13h and 12h.
    // The read-back takes the chip in the bridge's whole-chip chunks, after the blank check of
    // its two ends.
    const auto reads = [](int mebibytes) {
        return QString::number(mebibytes * 1048576 / EmulatorHarness::readChunk() + 2);
    };
    QTest::newRow("S25FL256S: 13h and 12h with 4-byte addresses")
        << ChipKind::S25FL256S
        << QStringLiteral("C7:1 12:192 13:%1 02:0 03:0 B7:0 E9:0").arg(reads(32));
    // W25M512JV: two dies behind C2h, each erased and in 4-byte mode on its own.
    QTest::newRow("W25M512JV: two dies chosen by C2h")
        << ChipKind::W25M512JV
        << QStringLiteral("C7:2 02:192 03:%1 C2:12 B7:7 E9:9").arg(reads(64));
}

// The largest parts through the write, read and verify jobs: each byte of an image with
// distinct halves lands where it belongs.
void TestChips::largeParts()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, opcodes);
    m_emulator.install(kind);
    QByteArray image(int(m_emulator.memory().size()), char(0xFF));
    const int half = image.size() / 2;
    for (const int at : {0, half / 2 - 4096, half - 8192})
        for (const int die : {0, half})
            image.replace(die + at, 8192, RandomBytes(8192, uint(die + at)));
    const QString path = m_dir.filePath(QStringLiteral("large.bin"));
    QVERIFY(WriteFile(path, image));
    CH341 writer(false);
    writer.FileName = path;
    JobRecorder written(&writer);
    writer.DoWriteFlash();
    QCOMPARE(written.verdictLines().last(), QStringLiteral("Writing to Chip... OK"));
    QVERIFY(m_emulator.memory() == image);
    QCOMPARE(m_emulator.windowsByOpcode(opcodes), opcodes);
    // The rest reads the whole chip twice more: what it sends is the write's read-back again.
    m_emulator.chip().setRecording(false);

    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 reader(false);
    const QString dump = m_dir.filePath(QStringLiteral("dump.bin"));
    reader.FileName = dump;
    reader.DoReadFlash();
    QVERIFY(ReadFile(dump) == image);
    CH341 verifier(false);
    verifier.FileName = path;
    JobRecorder verified(&verifier);
    verifier.DoVerifyFlash();
    QCOMPARE(verified.verdictLines().last(), QStringLiteral("Match Found!"));
    QVERIFY(!m_emulator.chip().isFourByteMode());
    QCOMPARE(int(m_emulator.chip().activeDie()), 0);
}

void TestChips::eepromRowWalk_data()
{
    QTest::addColumn<QString>("part");
    QTest::addColumn<int>("rowPage");
    // The part's datasheet facts (tests/chips/spieepromfacts.tsv), apart from the row: the
    // model is built from these, so a row or derivation that disagrees fails.
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("page"); // 0: FRAM, no page buffer and no write cycle
    QTest::addColumn<int>("addressBytes");
    QTest::addColumn<bool>("a8");
    QMap<QString, QStringList> facts; // vendor and part: size, page, address bytes, A8
    QFile table(QStringLiteral(VARNOCK_SOURCE_DIR "/tests/chips/spieepromfacts.tsv"));
    QVERIFY(table.open(QIODevice::ReadOnly | QIODevice::Text));
    while (!table.atEnd()) {
        const QStringList fields = QString::fromUtf8(table.readLine()).trimmed().split('\t');
        if (fields.size() == 6 && !fields.at(0).startsWith('#'))
            facts.insert(fields.at(0) + ' ' + fields.at(1), fields.mid(2));
    }
    ChipListExtract reader(QStringLiteral(":/database/bin/chiplist.xml"));
    int status = 0;
    int walked = 0;
    for (const ChipRecord &row : reader.ExtractChipList(&status)) {
        if (row.spicmd != QLatin1String("95"))
            continue;
        ++walked;
        // Names that start with a digit carry a '_' in the list.
        const QString name = row.partName.startsWith('_') ? row.partName.mid(1) : row.partName;
        const QStringList known = facts.value(row.vendor + ' ' + name, {"0", "0", "0", "no"});
        QTest::addRow("%s %s", qPrintable(row.vendor), qPrintable(name))
            << name << row.page.toInt() << known.at(0).toInt() << known.at(1).toInt()
            << known.at(2).toInt() << (known.at(3) == QLatin1String("yes"));
    }
    QCOMPARE(walked, 165);
}

// Every 95-series row of the list, chosen by name, through the write (read back) and the read
// job on a model of its datasheet: the chip ends equal to the image, no WRITE runs past its
// page, and the job says how it reached the part.
void TestChips::eepromRowWalk()
{
    QFETCH(QString, part);
    QFETCH(int, rowPage);
    QFETCH(int, size);
    QFETCH(int, page);
    QFETCH(int, addressBytes);
    QFETCH(bool, a8);
    QVERIFY2(size > 0, "no datasheet facts for this row");
    emu::SpiEepromModel model;
    model.name = part.toStdString();
    model.sizeBytes = uint32_t(size);
    model.pageSize = uint32_t(page > 0 ? page : size);
    model.addressBytes = addressBytes;
    model.a8InOpcode = a8;
    if (page == 0)
        model.writeCycleNs = 0;
    m_emulator.install(model);
    m_emulator.setMemory(RandomBytes(size, 1));
    const QByteArray image = RandomBytes(size, quint32(size + rowPage));
    const QString path = m_dir.filePath(QStringLiteral("eeprom.bin"));
    QVERIFY(WriteFile(path, image));

    CH341 writer(false);
    writer.PartName = part;
    writer.FileName = path;
    // The virtual clock moves only with the polls: a host slowed by other work must not time
    // out a part that is still in its cycle.
    writer.PageProgramTimeoutMs = 60000;
    JobRecorder written(&writer);
    writer.DoWriteFlash();
    const QString reached = QStringLiteral("Reached by: SPI (25xx EEPROM), %1-Byte Addresses%2, "
                                           "%3-Byte Pages")
                                .arg(addressBytes)
                                .arg(a8 ? " and A8 in the Opcode" : "")
                                .arg(rowPage);
    QVERIFY2(m_emulator.memory() == image, "the chip does not hold the image");
    QCOMPARE(m_emulator.link().spiEeprom()->pageCrossings(), 0u);
    // A 4-Kbit part's upper half is written with A8 in the opcode (0Ah), its lower half with 02h.
    const QString writes = QStringLiteral("0A:%1 02:%1").arg(256 / rowPage);
    if (a8)
        QCOMPARE(m_emulator.windowsByOpcode(writes), writes);
    QCOMPARE(written.verdictLines().last(), QStringLiteral("Writing to Chip... OK"));
    QVERIFY2(written.lines().contains(reached), qPrintable(written.lines().join('\n')));
    QVERIFY(written.lines().contains(
        QStringLiteral("Chosen Part no: %1 Capacity (Byte): %2").arg(part).arg(size)));

    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 reader(false);
    const QString dump = m_dir.filePath(QStringLiteral("dump.bin"));
    reader.PartName = part;
    reader.FileName = dump;
    JobRecorder read(&reader);
    reader.DoReadFlash();
    QCOMPARE(read.lines().last(), ChecksumLine(image));
    QVERIFY(ReadFile(dump) == image);
}

void TestChips::askedChips_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<QString>("answer"); // "yes", "no" or a part; "-": nobody to ask
    QTest::addColumn<QString>("question");
    QTest::addColumn<QStringList>("lines"); // the job's last lines, a dump's name left out
    QTest::addColumn<int>("dumped");        // bytes; -1: no dump
    const QString sfdp =
        QStringLiteral("Chip Not in the Chip List, SFDP Found: JEDEC ID 0x4A4016, "
                       "Capacity (Byte): 4194304, Page (Byte): 256");
    const QString saved = QStringLiteral("Flash Chip Read File Saved in:");
    const QString failed = QStringLiteral("Failed to Initialize CH341 Programmer.");
    const QStringList refused = {sfdp, "No Chip Found in our Database based on this Flash IDs",
                                 failed};
    // A chip in no list that describes itself by SFDP is used only with consent.
    QTest::newRow("in no list, SFDP, yes: read with the table's size")
        << ChipKind::SfdpOnly << "yes"
        << "4A4016 4194304" << QStringList{sfdp, saved} << 4 * kMiB;
    QTest::newRow("in no list, SFDP, no") << ChipKind::SfdpOnly << "no"
                                          << "4A4016 4194304" << refused << -1;
    QTest::newRow("in no list, SFDP, nobody to ask") << ChipKind::SfdpOnly << "-"
                                                     << "" << refused << -1;
    // Rows of different sizes under one identifier: the chip's SFDP density picks them, else
    // the operator; without either the job ends before reading anything.
    QTest::newRow("W77Q32JW or W77Q16JW: SFDP gives 4 MiB")
        << ChipKind::W77Q32JW << "-"
        << ""
        << QStringList{"SFDP Capacity (Byte): 4194304 Picks Part no: W77Q32JW",
                       "Supply Voltage: 1.7-1.95 V", saved}
        << 4 * kMiB;
    QTest::newRow("AT25F512 or AT25F1024(A): the operator picks")
        << ChipKind::AT25F512 << "AT25F512"
        << "AT25F1024 AT25F1024A AT25F512"
        << QStringList{"Chosen Part no: AT25F512 Capacity (Byte): 65536",
                       "Supply Voltage: 2.7-3.6 V", saved}
        << 65536;
    QTest::newRow("AT25F512 or AT25F1024(A), nobody to ask")
        << ChipKind::AT25F512 << "-"
        << ""
        << QStringList{"Parts of Different Sizes Share this ID, None Chosen: AT25F1024, "
                       "AT25F1024A, AT25F512",
                       failed}
        << -1;
}

// Chips the list alone cannot name: read only as their SFDP table or the operator says.
void TestChips::askedChips()
{
    QFETCH(ChipKind, kind);
    QFETCH(QString, answer);
    QFETCH(QString, question);
    QFETCH(QStringList, lines);
    QFETCH(int, dumped);
    m_emulator.install(kind);
    const QByteArray contents = RandomBytes(int(m_emulator.memory().size()), 3);
    m_emulator.setMemory(contents);
    QList<QUrl> opened;
    UrlCatcher catcher(&opened);
    CH341 worker(false);
    const QString dump = m_dir.filePath(QStringLiteral("asked.bin"));
    QFile::remove(dump);
    worker.FileName = dump;
    JobRecorder recorder(&worker);
    QStringList asked;
    if (answer != QLatin1String("-")) {
        connect(&worker, &CH341::UnknownChip_Question, this, [&](QString id, qulonglong size) {
            asked << id << QString::number(size);
            worker.AnswerClearProtection(answer == QLatin1String("yes"));
        });
        connect(&worker, &CH341::PartChoice_Question, this, [&](QStringList parts) {
            asked << parts;
            worker.AnswerPartChoice(answer);
        });
    }
    worker.DoReadFlash();
    const QStringList logged = recorder.verdictLines();
    QCOMPARE(logged.mid(logged.size() - lines.size() - (dumped < 0 ? 0 : 1), lines.size()), lines);
    QCOMPARE(asked.join(' '), question);
    QCOMPARE(QFile::exists(dump), dumped >= 0);
    if (dumped >= 0)
        QVERIFY(ReadFile(dump) == contents.left(dumped));
    const QList<QByteArray> frames = m_emulator.frames();
    if (dumped < 0)
        QVERIFY(std::none_of(frames.cbegin(), frames.cend(),
                             [](const QByteArray &frame) { return frame.startsWith(0x03); }));
}

void TestChips::userRows_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<bool>("xdg");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("match");  // the match line the row gives, "%1": the file
    QTest::addColumn<QString>("writes"); // status writes (01h, 31h) and 50h the job sent
    const QString acme = "SPI\tACME\tAC25Q80\t123456\t256\t1048576\t\t\t\t\t\twinbond\t9F\t"
                         "datasheet\t\t2700-3600\n";
    QTest::newRow("a part no list knows, from the chosen list")
        << ChipKind::Unknown << false << acme
        << "Vendor: ACME Part no: AC25Q80 Capacity (Byte): 1048576 From: %1 line 3"
        << "35 ff 01 00 00 35 ff";
    QTest::newRow("the same from the user's own list, trailing cells left off")
        << ChipKind::Unknown << true << QString(acme).replace("\t\t2700-3600", "")
        << "Vendor: ACME Part no: AC25Q80 Capacity (Byte): 1048576 From: %1 line 3"
        << "35 ff 01 00 00 35 ff";
    // MT25QL256's one row clears its BP bits by 01h with Status Register-1 alone; a user's
    // row under the default layout, which does not know Status Register-2, reads it first
    // (35h) to write it back, where it answers.
    QTest::newRow("MT25QL256, built in, protected")
        << ChipKind::MT25QL256 << false << ""
        << "Vendor: MICRON Part no: MT25QL256 Capacity (Byte): 33554432"
        << "01 00";
    QTest::newRow("MT25QL256 as the user's default row, protected")
        << ChipKind::MT25QL256 << true
        << "SPI\tMicron\tmt25ql256\t20ba19\t256\t33554432\t\t\t\t\t\tdefault\t9F\tmine\t\t\n"
        << "Vendor: Micron Part no: mt25ql256 Capacity (Byte): 33554432 From: %1 line 3"
        << "35 ff 01 00";
}

// A user's row identifies a part the built-in list does not know, or replaces the built-in
// row of its id and part, facts and all: the job writes and verifies with it.
void TestChips::userRows()
{
    QFETCH(ChipKind, kind);
    QFETCH(bool, xdg);
    QFETCH(QString, rows);
    QFETCH(QString, match);
    QFETCH(QString, writes);
    const QString list = rows.isEmpty() ? QString() : writeUserList(rows, xdg);
    QVERIFY(rows.isEmpty() || !list.isEmpty());
    m_emulator.install(kind);
    m_emulator.setBlockProtect(0x1C);
    const QString path = m_dir.filePath(QStringLiteral("user.bin"));
    const QByteArray image = RandomBytes(8192 + 17, 5);
    QVERIFY(WriteFile(path, image));
    CH341 writer(false);
    writer.FileName = path;
    connect(&writer, &CH341::ClearProtection_Question, this,
            [&] { writer.AnswerClearProtection(true); });
    JobRecorder written(&writer);
    writer.DoWriteFlash();
    QVERIFY2(written.lines().contains(list.isEmpty() ? match
                                                     : match.arg(QDir::toNativeSeparators(list))),
             qPrintable(written.lines().join('\n')));
    QCOMPARE(written.verdictLines().last(), QStringLiteral("Writing to Chip... OK"));
    QStringList statusWrites;
    for (const QByteArray &frame : m_emulator.frames()) {
        if (frame.startsWith(0x01) || frame.startsWith(0x31) || frame.startsWith(0x35) ||
            frame == QByteArray(1, 0x50))
            statusWrites << QString::fromLatin1(frame.toHex(' '));
    }
    QCOMPARE(statusWrites.join(' '), writes);
    QCOMPARE(m_emulator.memory().left(image.size()), image);
    CH341 verifier(false);
    verifier.FileName = path;
    JobRecorder verified(&verifier);
    verifier.DoVerifyFlash();
    QCOMPARE(verified.verdictLines().last(), QStringLiteral("Match Found!"));
}

void TestChips::badUserRows_data()
{
    QTest::addColumn<QString>("row"); // "%1" the good row's cells, replaced one by one
    QTest::addColumn<QString>("fault");
    const QString good = "SPI\tACME\tAC25Q80\t123456\t256\t1048576\t\t\t\t\t\twinbond\t9F\t"
                         "datasheet\t\t2700-3600";
    const auto with = [&good](int column, const QString &value) {
        QStringList cells = good.split('\t');
        cells[column] = value;
        return cells.join('\t');
    };
    QTest::newRow("I2C group")
        << with(0, "I2C")
        << "Column group: \"I2C\" is not SPI, the only group a user's list may add to";
    QTest::newRow("no vendor") << with(1, "") << "Column vendor: empty";
    QTest::newRow("no part") << with(2, "") << "Column part: empty";
    QTest::newRow("id not hex") << with(3, "12345G") << "Column id: \"12345G\" is not hexadecimal";
    QTest::newRow("9Fh id of two bytes")
        << with(3, "1234")
        << "Column id: \"1234\" is not the three bytes of the 9Fh answer "
           "(6 digits)";
    QTest::newRow("REMS id of three bytes")
        << with(12, "90")
        << "Column id: \"123456\" is not the two bytes of the 90h answer (4 "
           "digits)";
    QTest::newRow("unknown idcmd")
        << with(12, "9E") << "Column idcmd: \"9E\" is none of 9F, 9F7F, 90, AB, 15";
    for (const char *size : {"1000000", "512", "2147483648", "8M"})
        QTest::newRow(qPrintable(QStringLiteral("size %1").arg(size)))
            << with(5, size)
            << QStringLiteral("Column size: \"%1\" is not a byte count, a power of two from "
                              "1024 to 1073741824")
                   .arg(size);
    for (const char *page : {"", "255", "2097152", "SST"})
        QTest::newRow(qPrintable(QStringLiteral("page \"%1\"").arg(page)))
            << with(4, page)
            << QStringLiteral("Column page: \"%1\" is neither a page size in bytes (a power of "
                              "two up to 65536 and the size) nor SSTB or SSTW")
                   .arg(page);
    QTest::newRow("DataFlash series")
        << with(6, "45")
        << "Column spicmd: \"45\": only 25-series flash may be added, with "
           "this column empty";
    QTest::newRow("otp not decimal")
        << with(7, "0x100") << "Column otp: \"0x100\" is not a decimal number";
    QTest::newRow("unknown layout") << with(11, "Winbond")
                                    << "Column protection: \"Winbond\" is no layout of "
                                       "chipdb/data/layouts.tsv";
    QTest::newRow("no layout")
        << with(11, "") << "Column protection: \"\" is no layout of chipdb/data/layouts.tsv";
    for (const char *erase : {"C7", "C4x1", "C2x", "C4x17"})
        QTest::newRow(qPrintable(QStringLiteral("erase %1").arg(erase)))
            << with(14, erase)
            << QStringLiteral("Column erase: \"%1\" is none of empty, 62, D8, C4xN, C2xN")
                   .arg(erase);
    for (const char *voltage : {"3.3", "3600-2700", "900-3600", "2700-6500", "2700-"})
        QTest::newRow(qPrintable(QStringLiteral("voltage %1").arg(voltage)))
            << with(15, voltage)
            << QStringLiteral("Column voltage: \"%1\" is not minimum-maximum in millivolts, "
                              "from 1000 to 6000")
                   .arg(voltage);
    QTest::newRow("a cell too many") << good + "\textra"
                                     << "17 columns, the header names 16";
    QTest::newRow("missing file") << "-"
                                  << "";
    QTest::newRow("a folder") << "/"
                              << "";
}

// A faulty row, or a list that cannot be read, ends the job with one red line naming the
// file, the line and the column before the programmer is opened.
void TestChips::badUserRows()
{
    QFETCH(QString, row);
    QFETCH(QString, fault);
    QString list;
    if (row == QLatin1String("-")) {
        list = m_dir.filePath(QStringLiteral("none.tsv"));
        SetChosenChipList(list);
        fault = QStringLiteral("Cannot Read Chip List %1: No such file or directory")
                    .arg(QDir::toNativeSeparators(list));
    } else if (row == QLatin1String("/")) {
        list = m_dir.path();
        SetChosenChipList(list);
        fault = QStringLiteral("Cannot Read Chip List %1: ").arg(QDir::toNativeSeparators(list));
    } else {
        // A good row first: the fault is on line 4.
        list = writeUserList(QStringLiteral("SPI\tACME\tAC25Q40\t123413\t256\t524288\t\t\t\t\t\t"
                                            "winbond\t9F\t\t\t\n") +
                                 row + '\n',
                             false);
        fault =
            QStringLiteral("Chip List %1 Line 4, %2").arg(QDir::toNativeSeparators(list), fault);
    }
    m_emulator.install(ChipKind::Unknown);
    const QByteArray before = m_emulator.memory();
    CH341 worker(false);
    JobRecorder recorder(&worker);
    worker.DoEraseFlash();
    QVERIFY(!recorder.logs.isEmpty());
    QVERIFY2(recorder.logs.first().message.startsWith(fault),
             qPrintable(recorder.logs.first().message));
    QCOMPARE(recorder.logs.first().colour, QStringLiteral("#ff0000"));
    QCOMPARE(recorder.lines(), (QStringList{recorder.logs.first().message,
                                            "Failed to Initialize CH341 Programmer."}));
    QCOMPARE(recorder.outcome, CH341::JobOutcome::Failed);
    QCOMPARE(m_emulator.transfers(), quint64(0));
    QCOMPARE(m_emulator.memory(), before);
}

void TestChips::rememberedSfdpChip_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kept"); // the line that says so, "%1": the user's list
    QTest::newRow("a new name") << "XY25Q32"
                                << "Part XY25Q32 Kept in %1 line 2";
    QTest::newRow("a built-in part's name, in another case")
        << "w25q64fv"
        << "Part w25q64fv Not Kept: a Chip List Already Has a Part of that Name";
}

// A chip no list knows, used by its SFDP table with consent, is kept in the user's own list
// under the name given, never over a row; the next job knows it by that row, asking nothing.
void TestChips::rememberedSfdpChip()
{
    QFETCH(QString, name);
    QFETCH(QString, kept);
    const QString list = UserChipListPath();
    m_emulator.install(ChipKind::SfdpOnly);
    CH341 first(false);
    first.RememberPart = name;
    connect(&first, &CH341::UnknownChip_Question, this,
            [&] { first.AnswerClearProtection(true); });
    JobRecorder firstJob(&first);
    first.DoReadID();
    QCOMPARE(firstJob.outcome, CH341::JobOutcome::Succeeded);
    const QString keptLine =
        kept.contains(QLatin1String("%1")) ? kept.arg(QDir::toNativeSeparators(list)) : kept;
    QVERIFY2(firstJob.lines().contains(keptLine), qPrintable(firstJob.lines().join('\n')));
    const bool isKept = !kept.contains(QLatin1String("Not Kept"));
    QCOMPARE(QFile::exists(list), isKept);
    if (!isKept)
        return;
    QFile table(QStringLiteral(VARNOCK_SOURCE_DIR "/chipdb/data/chips.tsv"));
    QVERIFY(table.open(QIODevice::ReadOnly));
    QCOMPARE(ReadFile(list), table.readLine() +
                                 "SPI\tSFDP\tXY25Q32\t4A4016\t256\t4194304\t\t\t\t\t\t"
                                 "default\t9F\tSFDP of the chip, " +
                                 QDate::currentDate().toString(Qt::ISODate).toLatin1() + "\t\t\n");
    CH341 next(false);
    JobRecorder nextJob(&next);
    next.DoReadID();
    QCOMPARE(nextJob.outcome, CH341::JobOutcome::Succeeded);
    QVERIFY2(nextJob.lines().contains(
                 QStringLiteral("Vendor: SFDP Part no: XY25Q32 Capacity (Byte): 4194304 From: "
                                "%1 line 2")
                     .arg(QDir::toNativeSeparators(list))),
             qPrintable(nextJob.lines().join('\n')));
}

void TestChips::userRowAgainstSfdp_data()
{
    QTest::addColumn<ChipKind>("kind");
    QTest::addColumn<int>("addressBits"); // SFDP's first word bits 18-17 made so; -1: as is
    QTest::addColumn<QString>("row");     // after the vendor
    QTest::addColumn<bool>("force");
    QTest::addColumn<QString>("red"); // the red line before the erase; LIST: the user's list
    const QString said = QStringLiteral("The Row of XY25Q32 (LIST line 3) Gives Capacity (Byte) "
                                        "%1, the Chip's SFDP 4194304: %2");
    const QString sfdpOnly = QStringLiteral("XY25Q32\t4A4016\t256\t%1\t\t\t\t\t\tdefault\t9F");
    QTest::newRow("the size SFDP gives")
        << ChipKind::SfdpOnly << -1 << sfdpOnly.arg(4 * kMiB) << false << QString();
    QTest::newRow("twice the size") << ChipKind::SfdpOnly << -1 << sfdpOnly.arg(8 * kMiB) << false
                                    << said.arg(8 * kMiB).arg("Not Used without --force-part");
    QTest::newRow("a quarter, forced: SFDP's size")
        << ChipKind::SfdpOnly << -1 << sfdpOnly.arg(kMiB) << true
        << said.arg(kMiB).arg("SFDP's Capacity Is Used (--force-part)");
    // Uniform 256 KiB sectors: no 4 KiB erase, and D8h erases four times what a D8 row says.
    const QString uniform =
        QStringLiteral("XY25Q128\t012018\t256\t16777216\t\t\t\t\t\tdefault\t9F\t\t%1");
    const QString erases = QStringLiteral("The Row of XY25Q128 (LIST line 3) Gives Erase %1, the "
                                          "Chip's SFDP Erase D8h of 262144 Bytes: %2");
    QTest::newRow("4 KiB by 20h, the chip's only erase 256 KiB")
        << ChipKind::S25FL128S256K << -1 << uniform.arg(QString()) << false
        << erases.arg("20h of 4096 Bytes", "Not Used without --force-part");
    QTest::newRow("64 KiB by D8h, forced: used as it stands")
        << ChipKind::S25FL128S256K << -1 << uniform.arg("D8") << true
        << erases.arg("D8h of 65536 Bytes", "Used as It Stands (--force-part)");
    QTest::newRow("16 MiB or less, SFDP: 4-byte addresses only")
        << ChipKind::W25Q64FV << 2
        << QStringLiteral("XY25Q64\tEF4017\t256\t8388608\t\t\t\t\t\twinbond\t9F") << false
        << QStringLiteral("The Row of XY25Q64 (LIST line 3) Gives 3-Byte Addresses, the Chip's "
                          "SFDP 4-Byte Addresses Only: Not Used without --force-part");
    QTest::newRow("above 16 MiB, SFDP: 3-byte addresses only")
        << ChipKind::W25Q256JV << 0
        << QStringLiteral("XY25Q256\tEF4019\t256\t33554432\t\t\t\t\t\twinbond\t9F") << false
        << QStringLiteral("The Row of XY25Q256 (LIST line 3) Gives 4-Byte Addresses, the Chip's "
                          "SFDP 3-Byte Addresses Only: Not Used without --force-part");
}

// A user's row is held against the chip's SFDP table (size, 4-byte need, erase sizes) before
// anything is erased.
void TestChips::userRowAgainstSfdp()
{
    QFETCH(ChipKind, kind);
    QFETCH(int, addressBits);
    QFETCH(QString, row);
    QFETCH(bool, force);
    QFETCH(QString, red);
    const QString list = writeUserList(QStringLiteral("SPI\tACME\t") + row + '\n', false);
    emu::ChipModel model = EmulatorHarness::modelOf(kind);
    if (addressBits >= 0) {
        // JESD216's first revision, as Winbond's parts answer it; bits 18-17 in its third byte.
        if (model.sfdp.empty())
            model.sfdp = emu::sfdpFirstRevisionTable(model.sizeBytes);
        model.sfdp[0x82] = uint8_t((model.sfdp[0x82] & ~0x06) | addressBits << 1);
    }
    m_emulator.install(model);
    const QByteArray before = RandomBytes(int(m_emulator.memory().size()), 9);
    m_emulator.setMemory(before);
    CH341 worker(false);
    worker.PartName = force ? row.section(QLatin1Char('\t'), 0, 0) : QString();
    worker.ForcePart = force;
    JobRecorder recorder(&worker);
    worker.DoEraseFlash();
    QStringList reds;
    for (const LogRecord &record : recorder.logs) {
        if (record.colour == QLatin1String("#ff0000"))
            reds << record.message;
    }
    const bool erased = red.isEmpty() || force;
    QCOMPARE(reds.value(0), red.replace(QLatin1String("LIST"), QDir::toNativeSeparators(list)));
    QCOMPARE(recorder.outcome, erased ? CH341::JobOutcome::Succeeded : CH341::JobOutcome::Failed);
    QCOMPARE(m_emulator.memory(), erased ? QByteArray(before.size(), char(0xFF)) : before);
}

VARNOCK_TEST_MAIN(TestChips)
#include "tst_chips.moc"
