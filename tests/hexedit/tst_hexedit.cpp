#include "hexedit/hexlayout.h"
#include "hexedit/qhexedit.h"

#include <QClipboard>
#include <QFontMetricsF>
#include <QGuiApplication>
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

void showView(QHexEdit &view, const QByteArray &data)
{
    view.setData(data);
    view.resize(781, 172);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
}

} // namespace

class TestHexEdit : public QObject
{
    Q_OBJECT

private slots:
    // Where the last byte lands. Address 8 digits + 2 blanks: pairs from character 10,
    // characters after 2 more blanks.
    void layoutLastByte_data()
    {
        QTest::addColumn<qint64>("byteCount");
        QTest::addColumn<int>("bytesPerLine");
        QTest::addColumn<qint64>("rows");
        QTest::addColumn<int>("bytesInLastRow");
        QTest::addColumn<int>("hexCharacter");
        QTest::addColumn<int>("asciiCharacter");

        QTest::newRow("one byte") << qint64(1) << 16 << qint64(1) << 1 << 10 << 59;
        QTest::newRow("exactly one row") << qint64(16) << 16 << qint64(1) << 16 << 55 << 74;
        QTest::newRow("one byte into row 2") << qint64(17) << 16 << qint64(2) << 1 << 10 << 59;
        QTest::newRow("short last row") << qint64(100) << 16 << qint64(7) << 4 << 19 << 62;
        QTest::newRow("1 MiB") << qint64(OneMiB) << 16 << qint64(65536) << 16 << 55 << 74;
        QTest::newRow("16 MiB") << qint64(SixteenMiB) << 16 << qint64(1048576) << 16 << 55 << 74;
        QTest::newRow("8 per line") << qint64(20) << 8 << qint64(3) << 4 << 19 << 38;
    }

    void layoutLastByte()
    {
        QFETCH(qint64, byteCount);
        QFETCH(int, bytesPerLine);
        QFETCH(qint64, rows);
        const HexLayout layout = layoutFor(byteCount, bytesPerLine);
        const qint64 last = byteCount - 1;
        const int column = layout.columnOf(last);
        QCOMPARE(layout.rowCount(), rows);
        QCOMPARE(layout.rowOf(last), rows - 1);
        QCOMPARE(layout.rowStart(rows - 1) + column, last);
        QTEST(layout.bytesInRow(rows - 1), "bytesInLastRow");
        QCOMPARE(layout.bytesInRow(rows), 0);
        QTEST(layout.hexCharacter(column), "hexCharacter");
        QTEST(layout.asciiCharacter(column), "asciiCharacter");
    }

    void layoutRowText_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("bytesPerLine");
        QTest::addColumn<bool>("hexCaps");
        QTest::addColumn<qint64>("row");
        QTest::addColumn<QString>("text");

        const QByteArray abc = QByteArray("ABCDEFGHIJKLMNOPQRS");
        const QString blanks(64, ' ');
        QTest::newRow("full row, upper-case, 8-digit address")
            << abc << 16 << true << qint64(0)
            << "00000000  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP";
        QTest::newRow("short last row keeps the character column aligned")
            << abc << 16 << true << qint64(1) << "00000010  51 52 53" + blanks.left(39) + "  QRS";
        QTest::newRow("hexCaps off: lower-case digits and addresses")
            << counting(0x1C) << 16 << false << qint64(1)
            << "00000010  10 11 12 13 14 15 16 17 18 19 1a 1b" + blanks.left(12) +
                   "  ............";
        QTest::newRow("non-printable bytes show as dots")
            << QByteArray::fromHex("00 1F 20 7E 7F 80 FF 41") << 8 << true << qint64(0)
            << "00000000  00 1F 20 7E 7F 80 FF 41  .. ~...A";
        QTest::newRow("row outside the data is empty") << abc << 16 << true << qint64(2) << "";
        QTest::newRow("empty data has no row 0") << QByteArray() << 16 << true << qint64(0) << "";
    }

    void layoutRowText()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, bytesPerLine);
        QFETCH(bool, hexCaps);
        QFETCH(qint64, row);
        HexLayout layout = layoutFor(data.size(), bytesPerLine);
        layout.setHexCaps(hexCaps);
        QTEST(layout.rowText(data, row), "text");
    }

    void paintsOnlyVisibleRows()
    {
        QHexEdit view;
        showView(view, counting(SixteenMiB));
        QVERIFY(!view.grab().isNull());
        QVERIFY(view.paintedRowCount() >= view.visibleRowCount());
        QVERIFY(view.paintedRowCount() <= view.visibleRowCount() + 1);

        // A dirty strip one row high formats that row alone.
        QWidget *viewport = view.viewport();
        const int lineHeight = qCeil(QFontMetricsF(view.font()).height());
        const QRect thirdRow(0, 2 * lineHeight, viewport->width(), lineHeight);
        QPixmap target(viewport->size());
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
        QCOMPARE(
            view.rowText(view.firstVisibleRow() + rows - 1),
            QString(
                "00FFFFF0  F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF  ................"));
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
            {"left stops at the first byte", 100, 1, "Left, Left", 0, 0, 0},
            {"right stops at the last byte", 100, 98, "Right, Right, Right", 99, 99, 99},
            {"down one row", 100, 3, "Down", 19, 19, 19},
            {"down into a short last row stops on its last byte", 100, 90, "Down", 99, 99, 99},
            {"up in the first row stays", 100, 5, "Up", 5, 5, 5},
            {"home: start of the row", 100, 37, "Home", 32, 32, 32},
            {"end of the short last row", 100, 97, "End", 99, 99, 99},
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

    void typingChangesNoByte()
    {
        QHexEdit view;
        const QByteArray original = counting(64);
        showView(view, original);
        view.setReadOnly(false);
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

        QTest::newRow("upper-case pairs across a row boundary")
            << true << qint64(0x0E) << "Shift+Right, Shift+Right, Ctrl+C"
            << "0E 0F 10";
        QTest::newRow("lower-case when hexCaps is off")
            << false << qint64(0xFA) << "Shift+Right, Ctrl+C"
            << "fa fb";
        QTest::newRow("backwards selection copies in address order")
            << true << qint64(0x21) << "Shift+Left, Ctrl+C"
            << "20 21";
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

    void setDataResetsCaretSelectionAndScroll()
    {
        QHexEdit view;
        showView(view, counting(OneMiB));
        view.setCursorPosition(OneMiB / 2);
        QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
        view.setData(counting(40));
        QCOMPARE(view.cursorPosition(), qint64(0));
        QCOMPARE(view.selectionEnd(), qint64(0));
        QCOMPARE(view.firstVisibleRow(), qint64(0));
        QCOMPARE(view.verticalScrollBar()->maximum(), 0);
    }
};

QTEST_MAIN(TestHexEdit)
#include "tst_hexedit.moc"
