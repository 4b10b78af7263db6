#include "chipdb/chiplistextract.h"

#include <QFile>
#include <QProcess>
#include <QResource>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString shippedList = QStringLiteral(":/database/bin/chiplist.xml");

// One record as "key:protocol|vendor|partName|id|page|size|spicmd|otp|addrtype|addrbitlen".
QString describe(quint16 key, const ChipRecord &r)
{
    return QStringLiteral("%1:%2|%3|%4|%5|%6|%7|%8|%9|%10|%11")
        .arg(key)
        .arg(r.protocol, r.vendor, r.partName, r.id, r.page)
        .arg(r.size)
        .arg(r.spicmd)
        .arg(r.otp)
        .arg(r.addrtype)
        .arg(r.addrbitlen);
}

QStringList describe(const ChipList &list)
{
    QStringList lines;
    for (auto it = list.cbegin(); it != list.cend(); ++it)
        lines << describe(it.key(), it.value());
    return lines;
}

QStringList partNames(const ChipList &list)
{
    QStringList names;
    for (const ChipRecord &r : list)
        names << r.vendor + ' ' + r.partName;
    return names;
}

ChipList readShipped()
{
    int status = 0;
    const ChipList list = ChipListExtract(shippedList).ExtractChipList(&status);
    return status == 1 ? list : ChipList();
}

ChipRecord findPart(const ChipList &list, const QString &vendor, const QString &part)
{
    for (const ChipRecord &r : list) {
        if (r.vendor == vendor && r.partName == part)
            return r;
    }
    return {};
}

} // namespace

class TestChipDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void extract_data();
    void extract();
    void numbers_data();
    void numbers();
    void unopenable_data();
    void unopenable();
    void findById_data();
    void findById();

    void shippedListIsZlibCompressed();
    void shippedListMatchesCommittedFileAndTable();
    void shippedListShape();
    void namedRows_data();
    void namedRows();
    void sharedIdentifiers_data();
    void sharedIdentifiers();
    void emptyKeyFindsRowsWithoutId();
    void everyRowIsPlausible();

private:
    QString writeDocument(const QByteArray &content);

    QTemporaryDir m_dir;
    int m_documents = 0;
};

QString TestChipDb::writeDocument(const QByteArray &content)
{
    const QString path = m_dir.filePath(QStringLiteral("doc%1.xml").arg(m_documents++));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return path;
}

void TestChipDb::extract_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QStringList>("records");

    QTest::newRow("chip in group and vendor")
        << QByteArray("<chiplist><SPI><WINBOND><W25Q64FV id=\"EF4017\" page=\"256\" "
                      "size=\"8388608\"/></WINBOND></SPI></chiplist>")
        << QStringList{"0:SPI|WINBOND|W25Q64FV|EF4017|256|8388608||0|0|0"};
    QTest::newRow("Microwire group reported as MicroWire")
        << QByteArray("<chiplist><Microwire><Microchip><M93C46 size=\"128\" addrbitlen=\"6\"/>"
                      "</Microchip></Microwire></chiplist>")
        << QStringList{"0:MicroWire|Microchip|M93C46|||128||0|0|6"};
    QTest::newRow("group with attributes is still a group")
        << QByteArray("<chiplist><I2C page=\"1\"><V><_24C02 page=\"1\" addrtype=\"1\"/></V>"
                      "</I2C></chiplist>")
        << QStringList{"0:I2C|V|_24C02||1|0||0|1|0"};
    QTest::newRow("chip before any vendor is under chiplist")
        << QByteArray("<chiplist><SPI><A size=\"1\"/></SPI></chiplist>")
        << QStringList{"0:SPI|chiplist|A|||1||0|0|0"};
    QTest::newRow("chip before any group has no protocol")
        << QByteArray("<chiplist><A size=\"1\"/><SPI/></chiplist>")
        << QStringList{"0:|chiplist|A|||1||0|0|0"};
    QTest::newRow("vendor with an attribute is a chip and keeps the vendor")
        << QByteArray("<chiplist><SPI><V><W id=\"1\"><C id=\"2\"/></W></V></SPI></chiplist>")
        << QStringList{"0:SPI|V|W|1||0||0|0|0", "1:SPI|V|C|2||0||0|0|0"};
    QTest::newRow("vendor stays in force across groups")
        << QByteArray("<chiplist><SPI><V><A id=\"1\"/></V></SPI><I2C><B page=\"8\"/></I2C>"
                      "</chiplist>")
        << QStringList{"0:SPI|V|A|1||0||0|0|0", "1:I2C|V|B||8|0||0|0|0"};
    QTest::newRow("group names are case-sensitive")
        << QByteArray("<chiplist><spi><A id=\"1\"/></spi></chiplist>")
        << QStringList{"0:|spi|A|1||0||0|0|0"};
    QTest::newRow("only an ignored attribute still makes a record")
        << QByteArray("<chiplist><SPI><V><M45PE16 script=\"blockerase.pas\"/></V></SPI>"
                      "</chiplist>")
        << QStringList{"0:SPI|V|M45PE16|||0||0|0|0"};
    QTest::newRow("texts are kept verbatim")
        << QByteArray("<c><SPI><V><P id=\" ef4017\" page=\"SSTW\" spicmd=\"kb\" /></V></SPI></c>")
        << QStringList{"0:SPI|V|P| ef4017|SSTW|0|kb|0|0|0"};
    QTest::newRow("malformed attribute ends reading after earlier records")
        << QByteArray("<c><SPI><V><A id=\"1\"/><B id=\"2\"/><C id=3/><D id=\"4\"/></V></SPI></c>")
        << QStringList{"0:SPI|V|A|1||0||0|0|0", "1:SPI|V|B|2||0||0|0|0"};
    QTest::newRow("truncated document keeps what was read")
        << QByteArray("<?xml version=\"1.0\"?><c><SPI><V><A id=\"1\"/><B id=")
        << QStringList{"0:SPI|V|A|1||0||0|0|0"};
    QTest::newRow("empty file") << QByteArray() << QStringList();
    QTest::newRow("not XML") << QByteArray("\x00\xFF binary", 9) << QStringList();
}

void TestChipDb::extract()
{
    QFETCH(QByteArray, document);
    QFETCH(QStringList, records);
    const QString path = writeDocument(document);
    QVERIFY(!path.isEmpty());

    int status = 0;
    ChipListExtract reader(path);
    QCOMPARE(describe(reader.ExtractChipList(&status)), records);
    QCOMPARE(status, 1);
}

void TestChipDb::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint32>("size");
    QTest::addColumn<quint16>("otp");
    QTest::addColumn<quint8>("addrbits");

    QTest::newRow("plain decimal") << "300" << 300 << quint16(300) << quint8(44);
    QTest::newRow("largest 32-bit value")
        << "2147483647" << 2147483647 << quint16(0xFFFF) << quint8(0xFF);
    QTest::newRow("above 32-bit range") << "2147483648" << 0 << quint16(0) << quint8(0);
    QTest::newRow("otp keeps low 16 bits") << "70000" << 70000 << quint16(4464) << quint8(112);
    QTest::newRow("negative") << "-1" << -1 << quint16(0xFFFF) << quint8(0xFF);
    QTest::newRow("hexadecimal prefix") << "0x10" << 0 << quint16(0) << quint8(0);
    QTest::newRow("trailing letters") << "256K" << 0 << quint16(0) << quint8(0);
    QTest::newRow("empty") << "" << 0 << quint16(0) << quint8(0);
}

void TestChipDb::numbers()
{
    QFETCH(QString, text);
    QFETCH(qint32, size);
    QFETCH(quint16, otp);
    QFETCH(quint8, addrbits);
    const QString path = writeDocument(
        QStringLiteral("<c size=\"%1\" otp=\"%1\" addrtype=\"%1\" addrbitlen=\"%1\"/>")
            .arg(text)
            .toUtf8());

    int status = 0;
    const ChipList list = ChipListExtract(path).ExtractChipList(&status);
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().size, size);
    QCOMPARE(list.first().otp, otp);
    QCOMPARE(list.first().addrtype, addrbits);
    QCOMPARE(list.first().addrbitlen, addrbits);
}

void TestChipDb::unopenable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
    QTest::newRow("missing file") << "missing" << -1;
    QTest::newRow("directory") << "directory" << -2;
    QTest::newRow("no read permission") << "unreadable" << -2;
}

void TestChipDb::unopenable()
{
    QFETCH(QString, kind);
    QFETCH(int, status);
    QString path = m_dir.filePath(kind);
    if (kind == "directory") {
        QVERIFY(QDir(m_dir.path()).mkpath(kind));
    } else if (kind == "unreadable") {
        path = writeDocument("<c><SPI><V><A id=\"1\"/></V></SPI></c>");
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        if (QFile(path).open(QIODevice::ReadOnly))
            QSKIP("file permissions do not bind this user");
    }

    int result = 0;
    QVERIFY(ChipListExtract(path).ExtractChipList(&result).isEmpty());
    QCOMPARE(result, status);
}

void TestChipDb::findById_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QList<quint16>>("keys");

    QTest::newRow("all matches under their own keys") << "EF4017" << QList<quint16>{1, 3};
    QTest::newRow("lower case matches nothing") << "ef4017" << QList<quint16>{};
    QTest::newRow("prefix 0x matches nothing") << "0xEF4017" << QList<quint16>{};
    QTest::newRow("no trimming") << "EF4017 " << QList<quint16>{};
    QTest::newRow("no numeric comparison") << "00" << QList<quint16>{};
    QTest::newRow("zero id") << "0" << QList<quint16>{4};
    QTest::newRow("empty key finds rows without id") << "" << QList<quint16>{0, 2};
}

void TestChipDb::findById()
{
    QFETCH(QString, key);
    QFETCH(QList<quint16>, keys);
    const QString path =
        writeDocument("<c><SPI><V><A size=\"1\"/><B id=\"EF4017\"/><C page=\"1\"/>"
                      "<D id=\"EF4017\"/><E id=\"0\"/></V></SPI></c>");
    ChipListExtract reader(path);
    int status = 0;
    const ChipList all = reader.ExtractChipList(&status);
    QCOMPARE(all.size(), 5);

    const ChipList found = reader.FindChipsByID(all, key);
    QCOMPARE(found.keys(), keys);
    for (quint16 k : keys)
        QCOMPARE(describe(k, found.value(k)), describe(k, all.value(k)));
}

void TestChipDb::shippedListIsZlibCompressed()
{
    QResource resource(shippedList);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::ZlibCompression);
    QVERIFY(resource.size() < resource.uncompressedSize() / 4);
}

void TestChipDb::shippedListMatchesCommittedFileAndTable()
{
    const QString source = QStringLiteral(VARNOCK_SOURCE_DIR);
    QFile embedded(shippedList);
    QFile committed(source + "/resources/database/bin/chiplist.xml");
    QVERIFY(embedded.open(QIODevice::ReadOnly));
    QVERIFY(committed.open(QIODevice::ReadOnly));
    const QByteArray document = committed.readAll();
    QCOMPARE(embedded.readAll(), document);

    // Lines end with CR LF, and nothing but the comment leaves ASCII.
    QCOMPARE(document.count('\n'), document.count("\r\n"));
    QVERIFY(document.endsWith("</chiplist>\r\n"));

    const QString python = QStringLiteral(PYTHON3_EXECUTABLE);
    if (python.isEmpty())
        QSKIP("python3 not found, cannot regenerate the chip list");
    QProcess generator;
    generator.start(python,
                    {source + "/tools/gen_chiplist.py", source + "/chipdb/data/chips.tsv", "-"});
    QVERIFY(generator.waitForFinished(30000));
    QCOMPARE(generator.exitCode(), 0);
    QVERIFY2(generator.readAllStandardOutput() == document,
             "chiplist.xml is out of date: run tools/gen_chiplist.py");
}

void TestChipDb::shippedListShape()
{
    const ChipList list = readShipped();
    QCOMPARE(list.size(), 897);
    QCOMPARE(list.firstKey(), quint16(0));
    QCOMPARE(list.lastKey(), quint16(896));

    // Groups and vendors appear in this order, each exactly once.
    const QStringList vendorOrder =
        QStringLiteral(
            "SPI:KB90XX SPI:ADESTO SPI:AMIC SPI:APLUS SPI:Boya SPI:CATALYST_CSI SPI:EON SPI:PMC "
            "SPI:PFLASH SPI:PUYA SPI:TERRA SPI:Generalplus SPI:DEUTRON SPI:EFST SPI:EXCELSEMI "
            "SPI:FIDELIX SPI:GIANTEC SPI:GIGADEVICE SPI:ICE SPI:ICMIC SPI:INTEGRAL SPI:INTEL "
            "SPI:ISSI SPI:KHIC SPI:MACRONIX SPI:MICROCHIP SPI:MICRON SPI:MSHINE SPI:NANTRONICS "
            "SPI:NEXFLASH SPI:NUMONYX SPI:PCT SPI:RAMTRON SPI:RENESAS SPI:ROHM SPI:SAIFUN "
            "SPI:SANYO "
            "SPI:SEIKO SPI:SIEMENS SPI:SPANSION SPI:SST SPI:ST SPI:WINBOND SPI:XICOR SPI:XMC "
            "SPI:ZEMPRO SPI:Zbit SPI:Berg_Micro SPI:ATMEL SPI:ACE SPI:ATO SPI:DOUQI SPI:Fremont "
            "SPI:Fudan SPI:Genitop SPI:Paragon I2C:_24Cxxx MicroWire:Microchip")
            .split(' ');
    QStringList seen;
    for (const ChipRecord &r : list) {
        const QString groupVendor = r.protocol + ':' + r.vendor;
        if (seen.isEmpty() || seen.last() != groupVendor) {
            QVERIFY2(!seen.contains(groupVendor), qPrintable(groupVendor));
            seen << groupVendor;
        }
    }
    QStringList expected = vendorOrder;
    expected.erase(std::remove_if(expected.begin(), expected.end(),
                                  [&](const QString &v) { return !seen.contains(v); }),
                   expected.end());
    QCOMPARE(seen, expected);
}

void TestChipDb::namedRows_data()
{
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("part");
    QTest::addColumn<QString>("record");

    const auto row = [](const char *name, const char *vendor, const char *part, const char *rec) {
        QTest::newRow(name) << QString(vendor) << QString(part) << QString(rec);
    };
    row("25-series flash", "WINBOND", "W25Q64FV",
        "SPI|WINBOND|W25Q64FV|EF4017|256|8388608||0|0|0");
    row("KB row", "KB90XX", "KB9012", "SPI|KB90XX|KB9012|0|128|131072|KB|0|0|0");
    row("SSTW row", "SST", "SST25VF016B", "SPI|SST|SST25VF016B|BF2541|SSTW|2097152||0|0|0");
    row("SSTB row", "SST", "SST25VF040", "SPI|SST|SST25VF040|BF44|SSTB|524288||0|0|0");
    row("PCT twin", "PCT", "PCT25VF016B", "SPI|PCT|PCT25VF016B|BF2541|256|2097152||0|0|0");
    row("DataFlash", "ATMEL", "AT45DB041D", "SPI|ATMEL|AT45DB041D|1F2400|264|540672|45|0|0|0");
    row("95 EEPROM", "CATALYST_CSI", "CAT25010", "SPI|CATALYST_CSI|CAT25010||16|128|95|0|0|0");
    row("otp row", "EON", "EN25Q64", "SPI|EON|EN25Q64|1C3017|256|8388608||32752|0|0");
    row("script row", "NUMONYX", "M45PE16", "SPI|NUMONYX|M45PE16|204015|256|2097152||0|0|0");
    row("largest", "MICRON", "MT25QL02GC", "SPI|MICRON|MT25QL02GC|20BA22|256|268435456||0|0|0");
    row("underscore name", "_24Cxxx", "_24C02", "I2C|_24Cxxx|_24C02||1|256||0|1|0");
    row("Microwire", "Microchip", "M93C46", "MicroWire|Microchip|M93C46|||128||0|0|6");
}

void TestChipDb::namedRows()
{
    QFETCH(QString, vendor);
    QFETCH(QString, part);
    QFETCH(QString, record);
    QCOMPARE(describe(0, findPart(readShipped(), vendor, part)).mid(2), record);
}

void TestChipDb::sharedIdentifiers_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QStringList>("parts");
    QTest::addColumn<QString>("lastPage");

    QTest::newRow("EF4017") << "EF4017"
                            << QStringList{"SPANSION S25FL064K", "WINBOND W25Q64BV",
                                           "WINBOND W25Q64CV", "WINBOND W25Q64FV",
                                           "WINBOND W25Q64JV"}
                            << "256";
    QTest::newRow("BF2541") << "BF2541" << QStringList{"PCT PCT25VF016B", "SST SST25VF016B"}
                            << "SSTW";
    QTest::newRow("1F2600") << "1F2600" << QStringList{"ATMEL AT45DB161D"} << "528";
    QTest::newRow("lower case") << "ef4017" << QStringList{} << "";
    QTest::newRow("failed read") << "FFFFFFFF" << QStringList{} << "";
}

void TestChipDb::sharedIdentifiers()
{
    QFETCH(QString, key);
    QFETCH(QStringList, parts);
    QFETCH(QString, lastPage);
    const ChipList all = readShipped();
    const ChipList found = ChipListExtract(shippedList).FindChipsByID(all, key);
    QCOMPARE(partNames(found), parts);
    if (!found.isEmpty())
        QCOMPARE(found.last().page, lastPage);
}

void TestChipDb::emptyKeyFindsRowsWithoutId()
{
    const ChipList all = readShipped();
    ChipListExtract reader(shippedList);
    const ChipList withoutId = reader.FindChipsByID(all, QString());
    int expected = 0;
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        const bool listed = withoutId.contains(it.key());
        QCOMPARE(listed, it.value().id.isEmpty());
        expected += listed;
    }
    QCOMPARE(withoutId.size(), expected);
    QCOMPARE(withoutId.size(), 190);

    const ChipList macronix = reader.FindChipsByID(all, QStringLiteral("C22017"));
    QCOMPARE(macronix.size(), 13);
    // Keys are ordinals in the whole list, not renumbered from 0.
    for (auto it = macronix.cbegin(); it != macronix.cend(); ++it) {
        QCOMPARE(it.value().partName, all.value(it.key()).partName);
        QCOMPARE(it.value().size, 8388608);
    }
    QVERIFY(macronix.firstKey() > 0);
}

void TestChipDb::everyRowIsPlausible()
{
    const ChipList all = readShipped();
    const QRegularExpression idForm(QStringLiteral("^(0|[0-9A-F]{4}|[0-9A-F]{6})$"));
    const QRegularExpression pageForm(QStringLiteral("^(1|4|8|16|32|64|128|256|264|528|1056|"
                                                     "SSTB|SSTW)$"));
    QMap<QString, ChipRecord> lastOfId;
    QMap<QString, qint32> smallestOfId;
    for (const ChipRecord &r : all) {
        const QString name = r.vendor + ' ' + r.partName;
        QVERIFY2(r.size > 0, qPrintable(name));
        QVERIFY2(r.id.isEmpty() || idForm.match(r.id).hasMatch(), qPrintable(name));
        QVERIFY2(r.page.isEmpty() || pageForm.match(r.page).hasMatch(), qPrintable(name));
        QVERIFY2(r.page.isEmpty() == (r.protocol == "MicroWire" || r.vendor == "RAMTRON"),
                 qPrintable(name));
        QVERIFY2(!r.page.startsWith("SST") || r.vendor == "SST", qPrintable(name));
        QVERIFY2(r.otp == 0 || r.otp == r.size / 256 - 16, qPrintable(name));
        QVERIFY2(r.spicmd != "95" || r.id.isEmpty(), qPrintable(name));
        QVERIFY2(!r.partName.startsWith("AT45") || r.spicmd == "45", qPrintable(name));
        if (!r.id.isEmpty()) {
            lastOfId[r.id] = r;
            smallestOfId[r.id] = qMin(smallestOfId.value(r.id, r.size), r.size);
        }
    }
    // Identification keeps the last match, so the smallest capacity must come last.
    for (auto it = lastOfId.cbegin(); it != lastOfId.cend(); ++it)
        QVERIFY2(it.value().size == smallestOfId.value(it.key()), qPrintable(it.key()));
}

QTEST_GUILESS_MAIN(TestChipDb)
#include "tst_chipdb.moc"
