// The regions of a chip on their own: layout lines, the checks of a selection, Intel flash
// descriptors of two generations, their comparison, and finding an FMAP by few reads.

#include "failonwarning.h"
#include "regionimages.h"
#include "regions/flashdescriptor.h"
#include "regions/fmap.h"
#include "regions/layoutfile.h"

#include <QtTest>

using namespace regionimages;

namespace {
constexpr quint32 kChipSize = 0x800000;

// "fd 0x000000-0x000FFF, bios 0x302000-0x7FFFFF"
QString Listed(const QVector<FlashRegion> &regions)
{
    QStringList names;
    for (const FlashRegion &region : regions)
        names << region.name + QLatin1Char(' ') + RangeText(region);
    return names.join(QStringLiteral(", "));
}

QString Listed(const SelectedRegions &selected)
{
    QStringList names;
    for (const SelectedRegion &one : selected.regions)
        names << Listed({one.region}) + (one.file.isEmpty() ? QString() : " > " + one.file);
    return names.join(QStringLiteral(", "));
}

// "a,b:b.bin" as --include options.
QVector<IncludedRegion> Includes(const QString &text)
{
    QVector<IncludedRegion> included;
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        included.append({item.section(':', 0, 0), item.section(':', 1)});
    return included;
}

// The FMAP sample: nested areas, one kept on update.
const QVector<FmapArea> kAreas = {
    {"WHOLE", 0, 0x800000},          {"SI_DESC", 0, 0x1000},
    {"FMAP", 0x100000, 0x1000},      {"RW_A", 0x200000, 0x100000},
    {"VBLOCK_A", 0x200000, 0x10000}, {"RW_VPD", 0x7F0000, 0x10000, 8}};
const QString kAreasListed =
    "WHOLE 0x000000-0x7FFFFF, SI_DESC 0x000000-0x000FFF, FMAP 0x100000-0x100FFF, "
    "RW_A 0x200000-0x2FFFFF, VBLOCK_A 0x200000-0x20FFFF, RW_VPD 0x7F0000-0x7FFFFF";
} // namespace

class TestRegions : public QObject
{
    Q_OBJECT

private slots:
    void layoutLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("regions");
        QTest::addColumn<QString>("error");
        QTest::newRow("one region") << "0:fff fd"
                                    << "fd 0x000000-0x000FFF"
                                    << "";
        QTest::newRow("0x, tabs, comments, blank lines, CRLF")
            << "# board\r\n\r\n0x0:0x00000FFF\tfd  # 4 KiB\r\n   \n00001000:2fffff me\r\n"
            << "fd 0x000000-0x000FFF, me 0x001000-0x2FFFFF"
            << "";
        QTest::newRow("regions nest") << "0:7fffff all\n0:fff fd\n"
                                      << "all 0x000000-0x7FFFFF, fd 0x000000-0x000FFF"
                                      << "";
        QTest::newRow("digits are always hex") << "4096:8191 dec"
                                               << "dec 0x004096-0x008191"
                                               << "";
        QTest::newRow("one byte, last of 4 GiB") << "ffffffff:ffffffff top"
                                                 << "top 0xFFFFFFFF-0xFFFFFFFF"
                                                 << "";
        QTest::newRow("name twice") << "0:fff a\n1000:1fff b\n2000:2fff a"
                                    << ""
                                    << "line 3: the name \"a\" is given twice (first on line 1)";
        QTest::newRow("line without a name keeps the next line")
            << "0:fff a\n1000:1fff\n2000:2fff b"
            << ""
            << "line 2: the range \"1000:1fff\" has no name";
        QTest::newRow("end before start") << "\n2000:1fff a"
                                          << ""
                                          << "line 2: region \"a\" ends at 1fff, before it "
                                             "starts at 2000";
        const QString notRegion =
            "line 1: \"%1\" is not a region; a region is written start:end name, both in "
            "hexadecimal";
        for (const char *line : {"0:fffg a", "0:fff my region", "0:fff a 1000:1fff b",
                                 "0:1ffffffff a", "0-fff a", ":fff a", "bios"})
            QTest::newRow(line) << line << "" << notRegion.arg(line);
        QTest::newRow("colon in a name")
            << "0:fff a:b"
            << ""
            << "line 1: the name \"a:b\" holds a colon, which --include NAME:FILE could not "
               "tell from its file";
        QTest::newRow("comments only") << "# nothing\n\n"
                                       << ""
                                       << "no region in it";
    }
    void layoutLines()
    {
        QFETCH(QString, text);
        const LayoutFile layout = ParseLayoutText(text);
        QTEST(layout.error, "error");
        QTEST(Listed(layout.regions), "regions");
    }

    void includedRegions_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("included");
        QTest::addColumn<quint32>("chipSize");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("error");
        const QString board = "0:fff fd\n1000:2fffff me\n300000:301fff gbe\n302000:7fffff bios\n"
                              "0:7fffff all";
        QTest::newRow("in include order, with files")
            << board << "bios:b.bin,fd" << kChipSize
            << "bios 0x302000-0x7FFFFF > b.bin, fd 0x000000-0x000FFF"
            << "";
        QTest::newRow("one nested in a region not included")
            << board << "gbe" << kChipSize << "gbe 0x300000-0x301FFF"
            << "";
        QTest::newRow("names not in the layout, each once")
            << board << "bios,BIOS,x,x" << kChipSize << ""
            << "No regions named \"BIOS\", \"x\" in the layout";
        QTest::newRow("one name not in the layout") << board << "ec" << kChipSize << ""
                                                    << "No region named \"ec\" in the layout";
        QTest::newRow("included overlap")
            << board << "bios,all" << kChipSize << ""
            << "Included regions \"bios\" 0x302000-0x7FFFFF (line 4) and \"all\" "
               "0x000000-0x7FFFFF (line 5) overlap";
        QTest::newRow("neighbours touch, no overlap")
            << board << "me,gbe" << kChipSize << "me 0x001000-0x2FFFFF, gbe 0x300000-0x301FFF"
            << "";
        QTest::newRow("included twice") << board << "fd,fd:x" << kChipSize << ""
                                        << "Region \"fd\" is included twice";
        QTest::newRow("past the chip's end")
            << board << "bios" << 0x400000u << ""
            << "Region \"bios\" 0x302000-0x7FFFFF (line 4) lies beyond the chip's last byte "
               "0x3FFFFF";
        QTest::newRow("chip not known yet") << board << "bios" << 0u << "bios 0x302000-0x7FFFFF"
                                            << "";
    }
    void includedRegions()
    {
        QFETCH(QString, layout);
        QFETCH(QString, included);
        QFETCH(quint32, chipSize);
        const SelectedRegions selected =
            IncludedRegions(ParseLayoutText(layout).regions, Includes(included), chipSize);
        QTEST(selected.error, "error");
        QTEST(Listed(selected), "selected");
    }

    // Every region of a layout file, included or not, must lie on the chip.
    void layoutOutsideChip()
    {
        QCOMPARE(
            RegionOutsideChip(ParseLayoutText("0:7fffff all\n0:800000 big").regions, kChipSize),
            "Region \"big\" 0x000000-0x800000 (line 2) lies beyond the chip's last byte "
            "0x7FFFFF");
    }

    void ranges_data()
    {
        QTest::addColumn<quint32>("offset");
        QTest::addColumn<quint32>("length");
        QTest::addColumn<quint32>("chipSize");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("error");
        QTest::newRow("no length: to the end")
            << 0x7FF000u << 0u << kChipSize << "range 0x7FF000-0x7FFFFF"
            << "";
        QTest::newRow("last byte") << 0x7FFFFFu << 1u << kChipSize << "range 0x7FFFFF-0x7FFFFF"
                                   << "";
        QTest::newRow("above 16 MiB")
            << 0x1FF0000u << 0x10000u << 0x2000000u << "range 0x1FF0000-0x1FFFFFF"
            << "";
        QTest::newRow("one byte past the end")
            << 0x7FF000u << 0x1001u << kChipSize << ""
            << "The range 0x7FF000-0x800000 runs past the chip's last byte 0x7FFFFF";
        QTest::newRow("offset at the end") << kChipSize << 0u << kChipSize << ""
                                           << "Offset 0x800000 lies beyond the chip's last byte "
                                              "0x7FFFFF";
        QTest::newRow("length wraps 4 GiB")
            << 0x1000u << 0xFFFFF000u << kChipSize << ""
            << "The range 0x001000-0xFFFFFFFF runs past the chip's last byte 0x7FFFFF";
    }
    void ranges()
    {
        RegionSelection selection;
        selection.source = RegionSelection::Source::Range;
        QFETCH(quint32, offset);
        QFETCH(quint32, length);
        QFETCH(quint32, chipSize);
        selection.offset = offset;
        selection.length = length;
        const SelectedRegions selected = RangeOfSelection(selection, chipSize);
        QTEST(selected.error, "error");
        QTEST(Listed(selected), "selected");
    }

    void descriptors_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("registers");
        QTest::addColumn<QString>("regions");
        const int found = int(FlashDescriptor::Status::Found);
        const int absent = int(FlashDescriptor::Status::Absent);
        const QString board = "fd 0x000000-0x000FFF, bios 0x302000-0x7FFFFF, "
                              "me 0x001000-0x2FFFFF, gbe 0x300000-0x301FFF";
        const QByteArray ich8 = Descriptor(Generation::Ich8);
        QTest::newRow("ICH8, 5 registers") << ich8 << found << 5 << board;
        QTest::newRow("100-series, up to 16 registers before the masters")
            << Descriptor(Generation::SunrisePoint) << found << 16 << board;
        QByteArray sixteen = Descriptor(Generation::SunrisePoint);
        PutDword(sixteen, kRegionSection + 4 * 8, RegionRegister(0x7F0000, 0x7FFFFF));
        PutDword(sixteen, kRegionSection + 4 * 15, RegionRegister(0x1000000, 0x1FFFFFF));
        QTest::newRow("16 regions: ec, reg15 above 16 MiB")
            << sixteen << found << 16
            << board + ", ec 0x7F0000-0x7FFFFF, reg15 0x1000000-0x1FFFFFF";
        QByteArray atZero = ich8;
        atZero.replace(0, 0x10, ich8.mid(0x10, 0x10));
        atZero.replace(0x10, 0x10, QByteArray(0x10, char(0xFF)));
        QTest::newRow("signature at 0x0") << atZero << found << 5 << board;
        QByteArray erased = ich8;
        PutDword(erased, kRegionSection + 4 * 4, 0xFFFFFFFF);
        PutDword(erased, kRegionSection + 4 * 3, 0x00007FFF);
        QTest::newRow("erased and unused registers name no region")
            << erased << found << 5
            << "fd 0x000000-0x000FFF, bios 0x302000-0x7FFFFF, me 0x001000-0x2FFFFF";
        QByteArray iccriba = ich8;
        PutDword(iccriba, 0x1C, 0x00310020);
        QTest::newRow("ICCRIBA of a later chipset: no masters as regions")
            << iccriba << found << 5 << board;
        QByteArray crowded = ich8;
        PutDword(crowded, 0x14, 0x07040003); // NR 7: eight registers
        PutDword(crowded, 0x18, 0x00100205); // masters at 0x50, after five
        PutDword(crowded, 0x50, 0x0A0B0000);
        QTest::newRow("more registers declared than fit") << crowded << found << 4 << board;
        QTest::newRow("no signature") << QByteArray(0x1000, char(0xFF)) << absent << 0 << "";
        QTest::newRow("shorter than 4 KiB") << ich8.left(0xFFF) << absent << 0 << "";
        QByteArray inMaps = ich8;
        PutDword(inMaps, 0x14, 0x04010003); // FRBA 0x10: on the signature
        QTest::newRow("region section on the maps")
            << inMaps << int(FlashDescriptor::Status::Invalid) << 0 << "";
    }
    void descriptors()
    {
        QFETCH(QByteArray, bytes);
        const int absent = int(FlashDescriptor::Status::Absent);
        const FlashDescriptor descriptor = ParseFlashDescriptor(bytes);
        QTEST(int(descriptor.status), "status");
        QTEST(descriptor.registerCount, "registers");
        QTEST(Listed(descriptor.regions), "regions");
        QCOMPARE(descriptor.error.isEmpty(),
                 descriptor.status != FlashDescriptor::Status::Invalid);
        QCOMPARE(descriptor.bytes, int(descriptor.status) == absent ? QByteArray() : bytes);
    }

    void descriptorComparison_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QStringList>("regions");
        QTest::addColumn<bool>("bytesDiffer");
        const QByteArray ich8 = Descriptor(Generation::Ich8);
        QTest::newRow("same") << ich8 << QStringList() << false;
        QByteArray moved = ich8;
        PutDword(moved, kRegionSection + 4, RegionRegister(0x202000, 0x7FFFFF));
        PutDword(moved, kRegionSection + 8, RegionRegister(0x1000, 0x1FFFFF));
        QTest::newRow("larger BIOS, smaller ME") << moved << QStringList{"bios", "me"} << true;
        QByteArray masters = ich8;
        PutDword(masters, 0x60, 0xFFFF0000);
        QTest::newRow("masters unlocked only") << masters << QStringList() << true;
        QByteArray platform = ich8;
        PutDword(platform, kRegionSection + 16, RegionRegister(0x7FF000, 0x7FFFFF));
        QTest::newRow("a region only the image uses") << platform << QStringList{"pd"} << true;
        QTest::newRow("other generation, same regions")
            << Descriptor(Generation::SunrisePoint) << QStringList() << true;
    }
    void descriptorComparison()
    {
        QFETCH(QByteArray, image);
        const DescriptorDifference difference = CompareDescriptors(
            ParseFlashDescriptor(image), ParseFlashDescriptor(Descriptor(Generation::Ich8)));
        QTEST(difference.regions, "regions");
        QTEST(difference.bytesDiffer, "bytesDiffer");
    }

    void fmap_data()
    {
        QTest::addColumn<QByteArray>("chip");
        QTest::addColumn<int>("status");
        QTest::addColumn<quint32>("offset");
        QTest::addColumn<QString>("areas");
        QTest::addColumn<QStringList>("emptyAreas");
        QTest::addColumn<bool>("probesOnly"); // found without reading the chip through
        const int found = int(Fmap::Status::Found);
        const int absent = int(Fmap::Status::Absent);
        const QByteArray map = FmapImage(kAreas, kChipSize);
        auto chipWith = [](QVector<QPair<quint32, QByteArray>> pieces) {
            QByteArray chip(kChipSize, char(0xFF));
            for (const auto &piece : pieces)
                chip.replace(piece.first, piece.second.size(), piece.second);
            return chip;
        };
        QTest::newRow("at 1 MiB, areas nest") << chipWith({{0x100000, map}}) << found << 0x100000u
                                              << kAreasListed << QStringList() << true;
        QTest::newRow("at 64 KiB, the smallest stride probed")
            << chipWith({{0x7E0000, map}}) << found << 0x7E0000u << kAreasListed << QStringList()
            << true;
        QTest::newRow("unaligned, by the scan")
            << chipWith({{0x123457, map}}) << found << 0x123457u << kAreasListed << QStringList()
            << false;
        QTest::newRow("signature across two scan blocks")
            << chipWith({{0x12FFFC, map}}) << found << 0x12FFFCu << kAreasListed << QStringList()
            << false;
        QByteArray version2 = map;
        version2[8] = 2;
        QTest::newRow("an invalid map first, a valid one after")
            << chipWith({{0x100000, version2}, {0x234567, map}}) << found << 0x234567u
            << kAreasListed << QStringList() << false;
        QByteArray small = map;
        PutDword(small, 18, 56 + 42 * 5); // an image too small for the map's own six areas
        QTest::newRow("size below the map's own")
            << chipWith({{0x100000, small}}) << absent << 0u << "" << QStringList() << false;
        QTest::newRow("areas past the chip's end")
            << chipWith({{kChipSize - 100, map}}) << absent << 0u << "" << QStringList() << false;
        QTest::newRow("zero-size area left out")
            << chipWith(
                   {{0x200000, FmapImage({{"RO", 0, 0x1000}, {"EMPTY", 0x300000, 0}}, kChipSize)}})
            << found << 0x200000u << "RO 0x000000-0x000FFF" << QStringList{"EMPTY"} << true;
        QTest::newRow("none") << chipWith({}) << absent << 0u << "" << QStringList() << false;
    }
    void fmap()
    {
        QFETCH(QByteArray, chip);
        qint64 bytesRead = 0;
        const Fmap found = FindFmap(kChipSize, [&](quint32 offset, quint32 length) {
            bytesRead += length;
            return chip.mid(offset, length);
        });
        QTEST(int(found.status), "status");
        QTEST(found.offset, "offset");
        QTEST(Listed(found.areas), "areas");
        QTEST(found.emptyAreas, "emptyAreas");
        QFETCH(bool, probesOnly);
        if (probesOnly)
            QVERIFY2(bytesRead < 0x4000, qPrintable(QString::number(bytesRead)));
        else // scanned up to the map, or through the chip when there is none
            QVERIFY(bytesRead > (found.found() ? found.offset : kChipSize - 1));
        QCOMPARE(found.name, found.found() ? "FMAP" : "");
    }

    void fmapReadFails()
    {
        int reads = 0;
        const Fmap found = FindFmap(kChipSize, [&](quint32, quint32 length) {
            return ++reads < 3 ? QByteArray(int(length), char(0xFF)) : QByteArray();
        });
        QCOMPARE(int(found.status), int(Fmap::Status::ReadFailed));
        QCOMPARE(reads, 3);
    }
};

VARNOCK_TEST_GUILESS_MAIN(TestRegions)
#include "tst_regions.moc"
