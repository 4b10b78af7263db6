#include "failonwarning.h"
#include "chipdb/chiplistextract.h"
#include "chipdb/chiptable.h"
#include "testfiles.h"

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

ChipList readShipped()
{
    int status = 0;
    const ChipList list = ChipListExtract(shippedList).ExtractChipList(&status);
    return status == 1 ? list : ChipList();
}

} // namespace

class TestChipDb : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_documents = 0;

    QString writeDocument(const QByteArray &content)
    {
        const QString path = m_dir.filePath(QStringLiteral("doc%1.xml").arg(m_documents++));
        return WriteFile(path, content) ? path : QString();
    }

private slots:
    void extract_data()
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
        QTest::newRow("group name wins over attributes")
            << QByteArray("<chiplist><I2C page=\"1\"><V><_24C02 page=\"1\" addrtype=\"1\"/></V>"
                          "</I2C></chiplist>")
            << QStringList{"0:I2C|V|_24C02||1|0||0|1|0"};
        QTest::newRow("chip before any vendor is under chiplist")
            << QByteArray("<chiplist><SPI><A size=\"1\"/></SPI></chiplist>")
            << QStringList{"0:SPI|chiplist|A|||1||0|0|0"};
        QTest::newRow("vendor with an attribute is a chip and keeps the vendor")
            << QByteArray("<chiplist><SPI><V><W id=\"1\"><C id=\"2\"/></W></V></SPI></chiplist>")
            << QStringList{"0:SPI|V|W|1||0||0|0|0", "1:SPI|V|C|2||0||0|0|0"};
        QTest::newRow("group names are case-sensitive")
            << QByteArray("<chiplist><spi><A id=\"1\"/></spi></chiplist>")
            << QStringList{"0:|spi|A|1||0||0|0|0"};
        QTest::newRow("otp keeps the low 16 bits, addresses the low 8")
            << QByteArray("<c otp=\"70000\" addrtype=\"70000\" size=\"-1\"/>")
            << QStringList{"0:||c|||-1||4464|112|0"};
        QTest::newRow("hexadecimal is no number")
            << QByteArray("<c size=\"0x10\" otp=\"0x10\" addrbitlen=\"0x10\"/>")
            << QStringList{"0:||c|||0||0|0|0"};
        QTest::newRow("above 32-bit range and trailing letters are no number")
            << QByteArray("<c size=\"2147483648\" otp=\"256K\" addrtype=\"\"/>")
            << QStringList{"0:||c|||0||0|0|0"};
        QTest::newRow("malformed attribute ends reading after earlier records")
            << QByteArray(
                   "<c><SPI><V><A id=\"1\"/><B id=\"2\"/><C id=3/><D id=\"4\"/></V></SPI></c>")
            << QStringList{"0:SPI|V|A|1||0||0|0|0", "1:SPI|V|B|2||0||0|0|0"};
        QTest::newRow("truncated document keeps what was read")
            << QByteArray("<?xml version=\"1.0\"?><c><SPI><V><A id=\"1\"/><B id=")
            << QStringList{"0:SPI|V|A|1||0||0|0|0"};
        QTest::newRow("empty file") << QByteArray() << QStringList();
    }

    void extract()
    {
        QFETCH(QByteArray, document);
        const QString path = writeDocument(document);
        QVERIFY(!path.isEmpty());

        int status = 0;
        QTEST(describe(ChipListExtract(path).ExtractChipList(&status)), "records");
        QCOMPARE(status, 1);
    }

    void unopenable_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("status");
        QTest::newRow("missing file") << "missing" << -1;
        QTest::newRow("directory") << "directory" << -2;
        QTest::newRow("no read permission") << "unreadable" << -2;
    }

    void unopenable()
    {
        QFETCH(QString, kind);
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
        QTEST(result, "status");
    }

    void shippedListIsCompressedAndGenerated()
    {
        QResource resource(shippedList);
        QCOMPARE(resource.compressionAlgorithm(), QResource::ZlibCompression);
        QVERIFY(resource.size() < resource.uncompressedSize() / 4);
        QCOMPARE(readShipped().size(), 904);

        const QString source = QStringLiteral(VARNOCK_SOURCE_DIR);
        const QByteArray document = ReadFile(source + "/resources/database/bin/chiplist.xml");
        QCOMPARE(ReadFile(shippedList), document);
        QCOMPARE(document.count('\n'), document.count("\r\n"));
        QVERIFY(document.endsWith("</chiplist>\r\n"));

        const QString python = QStringLiteral(PYTHON3_EXECUTABLE);
        if (python.isEmpty())
            QSKIP("python3 not found, cannot regenerate the chip list");
        QProcess generator;
        generator.start(
            python, {source + "/tools/gen_chiplist.py", source + "/chipdb/data/chips.tsv", "-"});
        QVERIFY(generator.waitForFinished(30000));
        QCOMPARE(generator.exitCode(), 0);
        QVERIFY2(generator.readAllStandardOutput() == document,
                 "chiplist.xml is out of date: run tools/gen_chiplist.py");
    }

    void namedRows_data()
    {
        QTest::addColumn<QString>("part");
        QTest::addColumn<QString>("record");

        const auto row = [](const char *name, const char *part, const char *record) {
            QTest::newRow(name) << QString(part) << QString(record);
        };
        row("KB row", "KB9012", "SPI|KB90XX|KB9012|0|128|131072|KB|0|0|0");
        row("SSTW row", "SST25VF016B", "SPI|SST|SST25VF016B|BF2541|SSTW|2097152||0|0|0");
        row("SSTB row", "SST25VF040", "SPI|SST|SST25VF040|BF44|SSTB|524288||0|0|0");
        row("DataFlash", "AT45DB041D", "SPI|ATMEL|AT45DB041D|1F2400|264|540672|45|0|0|0");
        row("95 EEPROM", "CAT25010", "SPI|CATALYST_CSI|CAT25010||16|128|95|0|0|0");
        row("otp row", "EN25Q64", "SPI|EON|EN25Q64|1C3017|256|8388608||32752|0|0");
        row("Microwire", "M93C46", "MicroWire|Microchip|M93C46|||128||0|0|6");
    }

    void namedRows()
    {
        QFETCH(QString, part);
        QFETCH(QString, record);
        QStringList matches;
        for (const ChipRecord &r : readShipped()) {
            if (r.partName == part)
                matches << describe(0, r).mid(2);
        }
        QVERIFY2(matches.contains(record), qPrintable(matches.join(", ")));
    }

    void sharedIdentifiers_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QStringList>("parts");

        // Identification keeps the last match, so the order decides the part shown.
        QTest::newRow("EF4017") << "EF4017"
                                << QStringList{"566 S25FL064K", "694 W25Q64BV", "695 W25Q64CV",
                                               "697 W25Q64FV", "699 W25Q64JV"};
        QTest::newRow("BF2541") << "BF2541" << QStringList{"482 PCT25VF016B", "593 SST25VF016B"};
        QTest::newRow("1F2600") << "1F2600" << QStringList{"855 AT45DB161D"};
        QTest::newRow("C22017") << "C22017" << QStringList{"319 MX25L6405",  "320 MX25L6405D",
                                                           "321 MX25L6406E", "322 MX25L6408D",
                                                           "323 MX25L6408E", "324 MX25L6433F",
                                                           "325 MX25L6435E", "326 MX25L6436E",
                                                           "327 MX25L6436F", "329 MX25L6445E",
                                                           "331 MX25L6465E", "332 MX25L6473E",
                                                           "333 MX25L6473F"};
        QTest::newRow("lower case") << "ef4017" << QStringList{};
        QTest::newRow("no trimming") << "EF4017 " << QStringList{};
    }

    void sharedIdentifiers()
    {
        QFETCH(QString, key);
        const ChipList found = ChipListExtract(shippedList).FindChipsByID(readShipped(), key);
        QStringList parts;
        for (auto it = found.cbegin(); it != found.cend(); ++it)
            parts << QStringLiteral("%1 %2").arg(it.key()).arg(it.value().partName);
        QTEST(parts, "parts");
    }

    void shippedRows()
    {
        // The read and write routines size their chunks by the page; Microwire has none.
        const ChipList all = readShipped();
        QStringList wrong;
        QList<quint16> withoutId;
        for (auto it = all.cbegin(); it != all.cend(); ++it) {
            const ChipRecord &r = it.value();
            if (r.page.isEmpty() == (r.protocol != QLatin1String("MicroWire")))
                wrong << r.protocol + ' ' + r.vendor + ' ' + r.partName;
            if (r.id.isEmpty())
                withoutId << it.key();
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(", ")));
        // An empty key finds the rows without an identifier.
        QCOMPARE(withoutId.size(), 190);
        QCOMPARE(ChipListExtract(shippedList).FindChipsByID(all, QString()).keys(), withoutId);
    }

    // A user's table: notes and empty lines skipped, the header first, each row with its
    // line number and its cells as written, trailing cells left off kept short.
    void table_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("read"); // "header", then "line:cell|cell"
        QTest::newRow("header and a row")
            << QByteArray("group\tpart\nSPI\tA\n") << QStringList{"group|part", "2:SPI|A"};
        QTest::newRow("notes, empty lines and CRLF")
            << QByteArray("# mine\r\n\r\ngroup\tpart\r\n# next\r\nSPI\tA\r\n\nSPI\r\n")
            << QStringList{"group|part", "5:SPI|A", "7:SPI"};
        QTest::newRow("a row without its last line end, cells kept as written")
            << QByteArray("a\tb\tc\n x \t\t") << QStringList{"a|b|c", "2: x ||"};
        QTest::newRow("only notes") << QByteArray("# nothing\n") << QStringList{""};
        QTest::newRow("empty file") << QByteArray() << QStringList{""};
    }

    void table()
    {
        QFETCH(QByteArray, text);
        const QString path = m_dir.filePath(QStringLiteral("table%1.tsv").arg(m_documents++));
        QVERIFY(WriteFile(path, text));
        ChipTable table;
        QString error;
        QVERIFY(ReadChipTable(path, table, &error));
        QStringList read{table.header.join('|')};
        for (const ChipTableLine &line : table.lines)
            read << QStringLiteral("%1:%2").arg(line.number).arg(line.cells.join('|'));
        QTEST(read, "read");
        QVERIFY(!ReadChipTable(m_dir.filePath(QStringLiteral("absent.tsv")), table, &error));
        QCOMPARE(error, QStringLiteral("No such file or directory"));
    }
};

VARNOCK_TEST_GUILESS_MAIN(TestChipDb)
#include "tst_chipdb.moc"
