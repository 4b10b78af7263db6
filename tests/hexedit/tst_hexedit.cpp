#include "hexedit/hexlayout.h"
#include "hexedit/qhexedit.h"

#include <QClipboard>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QScrollBar>
#include <QtMath>
#include <QtTest>

namespace {

constexpr int OneMiB = 1024 * 1024;
constexpr int SixteenMiB = 16 * OneMiB;

// Bytes 00, 01, 02 ... wrapping at FF, so every offset's value is known.
QByteArray counting(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i & 0xFF);
    return bytes;
}

HexLayout layoutFor(qint64 byteCount, int bytesPerLine = 16)
{
    HexLayout layout;
    layout.setBytesPerLine(bytesPerLine);
    layout.setByteCount(byteCount);
    return layout;
}

struct PropertyCase
{
    const char *name;
    QVariant mainWindowValue;
    QVariant otherValue;
};

// Every property, the value the main window gives it, and a different one.
const QList<PropertyCase> &propertyCases()
{
    static const QList<PropertyCase> cases = {
        {"addressArea", true, false},
        {"asciiArea", true, false},
        {"highlighting", true, false},
        {"overwriteMode", true, false},
        {"readOnly", true, false},
        {"highlightingColor", QColor("red"), QColor(10, 20, 30)},
        {"addressAreaColor", QColor(208, 208, 208, 255), QColor(11, 21, 31, 128)},
        {"selectionColor", QColor("blue"), QColor(12, 22, 32)},
        {"addressFontColor", QColor("black"), QColor(13, 23, 33)},
        {"asciiAreaColor", QColor("white"), QColor(14, 24, 34)},
        {"asciiFontColor", QColor("red"), QColor(15, 25, 35)},
        {"hexFontColor", QColor("red"), QColor(16, 26, 36)},
        {"addressWidth", 8, 6},
        {"bytesPerLine", 16, 32},
        {"hexCaps", true, false},
    };
    return cases;
}

void configureLikeMainWindow(QHexEdit &view)
{
    for (const PropertyCase &property : propertyCases())
        QVERIFY(view.setProperty(property.name, property.mainWindowValue));
}

void showView(QHexEdit &view, const QByteArray &data)
{
    configureLikeMainWindow(view);
    view.setData(data);
    view.resize(781, 172);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
}

qreal charWidth(const QHexEdit &view)
{
    return QFontMetricsF(view.font()).horizontalAdvance(QLatin1Char('0'));
}

int lineHeight(const QHexEdit &view)
{
    return qCeil(QFontMetricsF(view.font()).height());
}

// Centre of a character cell in viewport coordinates, for a row on screen.
QPoint cellCentre(const QHexEdit &view, int character, qint64 row)
{
    const int x = qRound((character + 0.5) * charWidth(view));
    return QPoint(x - view.horizontalScrollBar()->value(),
                  int(row - view.firstVisibleRow()) * lineHeight(view) + lineHeight(view) / 2);
}

} // namespace

class TestHexEdit : public QObject
{
    Q_OBJECT

private slots:
    void layoutPositions_data()
    {
        QTest::addColumn<int>("bytesPerLine");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("hexCharacter");
        QTest::addColumn<int>("asciiCharacter");

        // Address 8 digits + 2 blanks: pairs from character 10, characters after 2 more blanks.
        QTest::newRow("first byte") << 16 << qint64(0) << qint64(0) << 0 << 10 << 59;
        QTest::newRow("last byte of row 0") << 16 << qint64(15) << qint64(0) << 15 << 55 << 74;
        QTest::newRow("first byte of row 1") << 16 << qint64(16) << qint64(1) << 0 << 10 << 59;
        QTest::newRow("last of 16 MiB")
            << 16 << qint64(SixteenMiB - 1) << qint64(1048575) << 15 << 55 << 74;
        QTest::newRow("8 per line") << 8 << qint64(19) << qint64(2) << 3 << 19 << 38;
    }

    void layoutPositions()
    {
        QFETCH(int, bytesPerLine);
        QFETCH(qint64, offset);
        QFETCH(qint64, row);
        QFETCH(int, column);
        const HexLayout layout = layoutFor(SixteenMiB, bytesPerLine);
        QCOMPARE(layout.rowOf(offset), row);
        QCOMPARE(layout.columnOf(offset), column);
        QCOMPARE(layout.rowStart(row) + column, offset);
        QTEST(layout.hexCharacter(column), "hexCharacter");
        QTEST(layout.asciiCharacter(column), "asciiCharacter");
    }

    void layoutRowCount_data()
    {
        QTest::addColumn<qint64>("byteCount");
        QTest::addColumn<int>("bytesPerLine");
        QTest::addColumn<qint64>("rows");
        QTest::addColumn<int>("bytesInLastRow");

        QTest::newRow("empty data has no rows") << qint64(0) << 16 << qint64(0) << 0;
        QTest::newRow("one byte") << qint64(1) << 16 << qint64(1) << 1;
        QTest::newRow("exactly one row") << qint64(16) << 16 << qint64(1) << 16;
        QTest::newRow("one byte into row 2") << qint64(17) << 16 << qint64(2) << 1;
        QTest::newRow("short last row") << qint64(100) << 16 << qint64(7) << 4;
        QTest::newRow("1 MiB") << qint64(OneMiB) << 16 << qint64(65536) << 16;
        QTest::newRow("16 MiB") << qint64(SixteenMiB) << 16 << qint64(1048576) << 16;
        QTest::newRow("one byte per line") << qint64(5) << 1 << qint64(5) << 1;
    }

    void layoutRowCount()
    {
        QFETCH(qint64, byteCount);
        QFETCH(int, bytesPerLine);
        QFETCH(qint64, rows);
        const HexLayout layout = layoutFor(byteCount, bytesPerLine);
        QCOMPARE(layout.rowCount(), rows);
        QTEST(layout.bytesInRow(rows - 1), "bytesInLastRow");
        QCOMPARE(layout.bytesInRow(rows), 0);
    }

    void layoutRowText_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("bytesPerLine");
        QTest::addColumn<int>("addressWidth");
        QTest::addColumn<bool>("hexCaps");
        QTest::addColumn<bool>("areas");
        QTest::addColumn<qint64>("row");
        QTest::addColumn<QString>("text");

        const QByteArray abc = QByteArray("ABCDEFGHIJKLMNOPQRS");
        const QString blanks(64, ' ');
        QTest::newRow("full row, upper-case, 8-digit address")
            << abc << 16 << 8 << true << true << qint64(0)
            << "00000000  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP";
        QTest::newRow("short last row keeps the character column aligned")
            << abc << 16 << 8 << true << true << qint64(1)
            << "00000010  51 52 53" + blanks.left(39) + "  QRS";
        QTest::newRow("hexCaps off: lower-case digits and addresses")
            << counting(0x1C) << 16 << 8 << false << true << qint64(1)
            << "00000010  10 11 12 13 14 15 16 17 18 19 1a 1b" + blanks.left(12) +
                   "  ............";
        QTest::newRow("non-printable bytes show as dots")
            << QByteArray::fromHex("00 1F 20 7E 7F 80 FF 41") << 8 << 8 << true << true
            << qint64(0) << "00000000  00 1F 20 7E 7F 80 FF 41  .. ~...A";
        QTest::newRow("address widened past addressWidth")
            << counting(0x10001) << 16 << 4 << true << true << qint64(0x1000)
            << "10000  00" + blanks.left(45) + "  .";
        QTest::newRow("areas hidden leave only the pairs")
            << abc << 16 << 8 << true << false << qint64(1) << "51 52 53";
        QTest::newRow("row outside the data is empty")
            << abc << 16 << 8 << true << true << qint64(2) << QString();
        QTest::newRow("empty data has no row 0")
            << QByteArray() << 16 << 8 << true << true << qint64(0) << QString();
    }

    void layoutRowText()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, bytesPerLine);
        QFETCH(int, addressWidth);
        QFETCH(bool, hexCaps);
        QFETCH(bool, areas);
        QFETCH(qint64, row);
        HexLayout layout = layoutFor(data.size(), bytesPerLine);
        layout.setAddressWidth(addressWidth);
        layout.setHexCaps(hexCaps);
        layout.setAddressArea(areas);
        layout.setAsciiArea(areas);
        QTEST(layout.rowText(data, row), "text");
    }

    void layoutColumnAt_data()
    {
        QTest::addColumn<int>("character");
        QTest::addColumn<int>("column");

        QTest::newRow("address area maps to the first byte") << 3 << 0;
        QTest::newRow("second digit of pair 0") << 11 << 0;
        QTest::newRow("blank after pair 0 belongs to it") << 12 << 0;
        QTest::newRow("first digit of pair 1") << 13 << 1;
        QTest::newRow("first gap blank stays with the last pair") << 57 << 15;
        QTest::newRow("first character") << 59 << 0;
        QTest::newRow("tenth character") << 68 << 9;
        QTest::newRow("right of the characters") << 200 << 15;
        QTest::newRow("negative position") << -5 << 0;
    }

    void layoutColumnAt()
    {
        QFETCH(int, character);
        QTEST(layoutFor(64).columnAt(character), "column");
    }

    void badSettingsAreClamped()
    {
        // bytesPerLine, addressWidth as set, then as kept.
        const int cases[][4] = {{0, 0, 1, 1}, {-16, -8, 1, 1}, {100000, 40, 4096, 16}};
        for (const auto &c : cases) {
            QHexEdit view;
            view.setData(counting(100));
            view.setBytesPerLine(c[0]);
            view.setAddressWidth(c[1]);
            QCOMPARE(view.bytesPerLine(), c[2]);
            QCOMPARE(view.addressWidth(), c[3]);
            QCOMPARE(view.rowCount(), (100 + c[2] - 1) / c[2]);
        }
    }

    void grabPaintsOnlyVisibleRows_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("one short row") << 5;
        QTest::newRow("16 MiB") << SixteenMiB;
    }

    void grabPaintsOnlyVisibleRows()
    {
        QFETCH(int, size);
        QHexEdit view;
        showView(view, QByteArray(size, '\x5A'));
        QVERIFY(!view.grab().isNull());
        const qint64 shown = std::min<qint64>(view.rowCount(), view.visibleRowCount() + 1);
        QVERIFY(view.paintedRowCount() <= shown);
        QVERIFY(view.paintedRowCount() >=
                std::min<qint64>(view.rowCount(), view.visibleRowCount()));
    }

    void paintOfOneRowStripFormatsOneRow()
    {
        QHexEdit view;
        showView(view, counting(SixteenMiB));
        QVERIFY(view.visibleRowCount() >= 4);
        QWidget *viewport = view.viewport();
        QPixmap target(viewport->size());
        const QRect thirdRow(0, 2 * lineHeight(view), viewport->width(), lineHeight(view));
        viewport->render(&target, thirdRow.topLeft(), QRegion(thirdRow));
        QCOMPARE(view.paintedRowCount(), 1);
    }

    void endOfSixteenMiBShowsLastAddress()
    {
        QHexEdit view;
        showView(view, counting(SixteenMiB));
        QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(view.cursorPosition(), qint64(SixteenMiB - 1));
        const int rows = view.visibleRowCount();
        QCOMPARE(view.verticalScrollBar()->maximum(), 1048576 - rows);
        QCOMPARE(view.firstVisibleRow(), qint64(1048576 - rows));
        const QString lastRow = view.rowText(view.firstVisibleRow() + rows - 1);
        QVERIFY2(lastRow.startsWith("00FFFFF0  F0 F1 F2"), qPrintable(lastRow));
        QVERIFY(lastRow.endsWith("FF  ................"));
    }

    void keyboardMovesCaretAndSelection_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<qint64>("cursor");
        QTest::addColumn<qint64>("selectionStart");
        QTest::addColumn<qint64>("selectionEnd");

        const struct
        {
            const char *name;
            int size;
            qint64 start;
            const char *keys;
            qint64 cursor, selectionStart, selectionEnd;
        } cases[] = {
            {"right", 100, 0, "Right, Right", 2, 2, 2},
            {"left stops at the first byte", 100, 1, "Left, Left", 0, 0, 0},
            {"right stops at the last byte", 100, 98, "Right, Right, Right", 99, 99, 99},
            {"down one row", 100, 3, "Down", 19, 19, 19},
            {"down into a short last row stops on its last byte", 100, 90, "Down", 99, 99, 99},
            {"up in the first row stays", 100, 5, "Up", 5, 5, 5},
            {"home: start of the row", 100, 37, "Home", 32, 32, 32},
            {"end: last byte of a full row", 100, 37, "End", 47, 47, 47},
            {"end of the short last row", 100, 97, "End", 99, 99, 99},
            {"ctrl+end", 100, 50, "Ctrl+End", 99, 99, 99},
            {"ctrl+home", 100, 50, "Ctrl+Home", 0, 0, 0},
            {"shift+right selects anchor to caret", 100, 4, "Shift+Right, Shift+Right", 6, 4, 7},
            {"shift+left selects backwards", 100, 10, "Shift+Left", 9, 9, 11},
            {"shift+down spans rows", 100, 2, "Shift+Down", 18, 2, 19},
            {"shift+ctrl+end selects the last byte too", 100, 95, "Shift+Ctrl+End", 99, 95, 100},
            {"plain move drops the selection", 100, 4, "Shift+Right, Right", 6, 6, 6},
            {"ctrl+a selects everything", 100, 40, "Ctrl+A", 99, 0, 100},
            {"empty data keeps the caret at 0", 0, 0, "Right, Ctrl+End, Shift+Left, Ctrl+A", 0, 0,
             0},
        };
        for (const auto &c : cases)
            QTest::newRow(c.name) << c.size << c.start << QString(c.keys) << c.cursor
                                  << c.selectionStart << c.selectionEnd;
    }

    void keyboardMovesCaretAndSelection()
    {
        QFETCH(int, size);
        QFETCH(qint64, start);
        QFETCH(QString, keys);
        QHexEdit view;
        showView(view, counting(size));
        view.setCursorPosition(start);
        QTest::keySequence(&view, QKeySequence(keys));
        QTEST(view.cursorPosition(), "cursor");
        QTEST(view.selectionStart(), "selectionStart");
        QTEST(view.selectionEnd(), "selectionEnd");
    }

    void pageKeysMoveByVisibleRows()
    {
        QHexEdit view;
        showView(view, counting(OneMiB));
        const qint64 page = 16 * view.visibleRowCount();
        view.setCursorPosition(3);
        QTest::keyClick(&view, Qt::Key_PageDown);
        QCOMPARE(view.cursorPosition(), 3 + page);
        QTest::keyClick(&view, Qt::Key_PageDown, Qt::ShiftModifier);
        QCOMPARE(view.selectionStart(), 3 + page);
        QCOMPARE(view.selectionEnd(), 3 + 2 * page + 1);
        QTest::keySequence(&view, QKeySequence("PgUp, PgUp, PgUp"));
        QCOMPARE(view.cursorPosition(), qint64(3)); // the first row reached, its column kept
        view.setCursorPosition(OneMiB - 20);
        QTest::keyClick(&view, Qt::Key_PageDown);
        QCOMPARE(view.cursorPosition(), qint64(OneMiB - 1));
    }

    void typingChangesNoByte_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("read-only") << true;
        QTest::newRow("even with readOnly cleared") << false;
    }

    void typingChangesNoByte()
    {
        QFETCH(bool, readOnly);
        QHexEdit view;
        const QByteArray original = counting(64);
        showView(view, original);
        view.setReadOnly(readOnly);
        view.setCursorPosition(5);
        QTest::keyClicks(&view, "ff00AZ 9");
        QTest::keySequence(&view, QKeySequence("Backspace, Del, Ins, Return"));
        QTest::keySequence(&view, QKeySequence("Ctrl+V, Ctrl+X, Ctrl+Z"));
        QCOMPARE(view.data(), original);
        QCOMPARE(view.cursorPosition(), qint64(5));
    }

    void copyPutsHexOnClipboard_data()
    {
        QTest::addColumn<bool>("hexCaps");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("clipboard");

        QTest::newRow("upper-case pairs with blanks")
            << true << qint64(0x0A) << "Shift+Right, Shift+Right, Ctrl+C"
            << "0A 0B 0C";
        QTest::newRow("lower-case when hexCaps is off")
            << false << qint64(0xFA) << "Shift+Right, Shift+Right, Ctrl+C"
            << "fa fb fc";
        QTest::newRow("across a row boundary")
            << true << qint64(0x0E) << "Shift+Right, Shift+Right, Shift+Right, Ctrl+C"
            << "0E 0F 10 11";
        QTest::newRow("backwards selection copies in address order")
            << true << qint64(0x21) << "Shift+Left, Ctrl+C"
            << "20 21";
        QTest::newRow("select all") << true << qint64(0xF0) << "Ctrl+A, Ctrl+C"
                                    << QString(counting(0x100).toHex(' ').toUpper());
        QTest::newRow("no selection leaves the clipboard alone") << true << qint64(4) << "Ctrl+C"
                                                                 << "untouched";
    }

    void copyPutsHexOnClipboard()
    {
        QFETCH(bool, hexCaps);
        QFETCH(qint64, start);
        QFETCH(QString, keys);
        QHexEdit view;
        showView(view, counting(0x100));
        view.setHexCaps(hexCaps);
        view.setCursorPosition(start);
        QGuiApplication::clipboard()->setText("untouched");
        QTest::keySequence(&view, QKeySequence(keys));
        QTEST(QGuiApplication::clipboard()->text(), "clipboard");
    }

    void mouseSetsCaretAndSelects()
    {
        QHexEdit view;
        showView(view, counting(256));
        const HexLayout &layout = view.layout();
        QWidget *viewport = view.viewport();
        const auto at = [&](int character, qint64 row) {
            return cellCentre(view, character, row);
        };

        // The second digit of byte 0x23's pair, then byte 0x4C's character.
        QTest::mouseClick(viewport, Qt::LeftButton, {}, at(layout.hexCharacter(3) + 1, 2));
        QCOMPARE(view.cursorPosition(), qint64(0x23));
        QCOMPARE(view.selectionEnd(), view.selectionStart());
        QTest::mouseClick(viewport, Qt::LeftButton, {}, at(layout.asciiCharacter(12), 4));
        QCOMPARE(view.cursorPosition(), qint64(0x4C));

        QTest::mouseClick(viewport, Qt::LeftButton, Qt::ShiftModifier,
                          at(layout.hexCharacter(1), 5));
        QCOMPARE(view.selectionStart(), qint64(0x4C));
        QCOMPARE(view.selectionEnd(), qint64(0x52));

        // Drag from byte 0x11 back to byte 0x05.
        QTest::mousePress(viewport, Qt::LeftButton, {}, at(layout.hexCharacter(1), 1));
        QMouseEvent move(QEvent::MouseMove, at(layout.hexCharacter(5), 0), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &move);
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, at(layout.hexCharacter(5), 0));
        QCOMPARE(view.cursorPosition(), qint64(0x05));
        QCOMPARE(view.selectionStart(), qint64(0x05));
        QCOMPARE(view.selectionEnd(), qint64(0x12));
    }

    void setDataResetsCaretSelectionAndScroll()
    {
        QHexEdit view;
        showView(view, counting(OneMiB));
        view.setCursorPosition(OneMiB / 2);
        QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
        QVERIFY(view.firstVisibleRow() > 0);

        view.setData(counting(40));
        QCOMPARE(view.rowCount(), qint64(3));
        QCOMPARE(view.cursorPosition(), qint64(0));
        QCOMPARE(view.selectionEnd(), qint64(0));
        QCOMPARE(view.firstVisibleRow(), qint64(0));
        QCOMPARE(view.verticalScrollBar()->maximum(), 0);
        view.setData(QByteArray());
        QCOMPARE(view.rowCount(), qint64(0));
        QCOMPARE(view.selectedHex(), QString());
    }

    void areasPaintTheirColours()
    {
        QHexEdit view;
        showView(view, counting(64));
        const HexLayout &layout = view.layout();
        // Pixels in blanks, where no glyph can cover the background.
        const auto pixel = [&view](int character) {
            const QImage image = view.viewport()->grab().toImage();
            return QColor(image.pixel(qFloor((character + 0.5) * charWidth(view)), 2));
        };
        const int gapAfterAddress = layout.addressDigits();
        const int blankAfterPair0 = layout.hexCharacter(0) + 2;
        const int gapBeforeCharacters = layout.asciiStart() - 1;

        QCOMPARE(pixel(gapAfterAddress), QColor(208, 208, 208));
        QCOMPARE(pixel(gapBeforeCharacters), QColor("white"));
        QCOMPARE(pixel(blankAfterPair0), view.palette().base().color());
        view.setAsciiAreaColor(QColor(1, 2, 3));
        QCOMPARE(pixel(gapBeforeCharacters), QColor(1, 2, 3));
        view.selectAll();
        QCOMPARE(pixel(blankAfterPair0), QColor("blue"));
        view.setAddressArea(false);
        QCOMPARE(pixel(2), QColor("blue"));
    }

    void propertyRoundTrip_data()
    {
        QTest::addColumn<QVariant>("value");
        for (const PropertyCase &property : propertyCases())
            QTest::newRow(property.name) << property.otherValue;
        QTest::newRow("data") << QVariant(QByteArray("\x00\x01\xFF", 3));
    }

    void propertyRoundTrip()
    {
        QFETCH(QVariant, value);
        const char *name = QTest::currentDataTag();
        QHexEdit view;
        configureLikeMainWindow(view);
        QVERIFY(view.metaObject()->indexOfProperty(name) >= 0);
        QVERIFY(view.property(name) != value);
        QVERIFY(view.setProperty(name, value));
        QCOMPARE(view.property(name), value);
    }
};

QTEST_MAIN(TestHexEdit)
#include "tst_hexedit.moc"
