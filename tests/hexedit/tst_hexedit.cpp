#include "failonwarning.h"
#include "hexedit/hexlayout.h"
#include "hexedit/qhexedit.h"

#include <QClipboard>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QScrollBar>
#include <QtMath>
#include <QtTest>

namespace {

constexpr int SixteenMiB = 16 * 1024 * 1024;

// Bytes 00, 01, 02 ... wrapping at FF, so every offset's value is known.
QByteArray counting(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i & 0xFF);
    return bytes;
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
        QTest::newRow("no row after an exact multiple of 16")
            << abc.left(16) << 16 << true << qint64(1) << "";
        QTest::newRow("empty data has no row 0") << QByteArray() << 16 << true << qint64(0) << "";
    }

    void layoutRowText()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, bytesPerLine);
        QFETCH(bool, hexCaps);
        QFETCH(qint64, row);
        QFETCH(QString, text);
        HexLayout layout;
        layout.setBytesPerLine(bytesPerLine);
        layout.setByteCount(data.size());
        layout.setHexCaps(hexCaps);
        QCOMPARE(layout.rowText(data, row), text);
        // Each byte's pair and character sit where the layout says, the characters last.
        const int count = layout.bytesInRow(row);
        for (qint64 offset = layout.rowStart(row); offset < layout.rowStart(row) + count;
             ++offset) {
            const int column = layout.columnOf(offset);
            QCOMPARE(layout.rowOf(offset), row);
            QCOMPARE(text.mid(layout.hexCharacter(column), 2).toLatin1().toUpper(),
                     data.mid(int(offset), 1).toHex().toUpper());
            QCOMPARE(layout.asciiCharacter(column), text.size() - count + column);
        }
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

    // Ctrl+End reaches the last address of 16 MiB; new data then starts again at its top.
    void endOfSixteenMiBThenNewData()
    {
        QHexEdit view;
        showView(view, counting(SixteenMiB));
        QTest::keySequence(&view, QKeySequence("Ctrl+End, Shift+Left"));
        QCOMPARE(view.cursorPosition(), qint64(SixteenMiB - 2));
        const int rows = view.visibleRowCount();
        QCOMPARE(view.verticalScrollBar()->maximum(), 1048576 - rows);
        QCOMPARE(view.firstVisibleRow(), qint64(1048576 - rows));
        QCOMPARE(
            view.rowText(view.firstVisibleRow() + rows - 1),
            QString(
                "00FFFFF0  F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF  ................"));

        view.setData(QByteArray());
        QCOMPARE(view.firstVisibleRow(), qint64(0));
        QCOMPARE(view.verticalScrollBar()->maximum(), 0);
        // Empty data keeps the caret at 0 whatever is pressed.
        for (const char *keys : {"", "Right, Ctrl+End, Shift+Left, Ctrl+A"}) {
            QTest::keySequence(&view, QKeySequence(keys));
            QCOMPARE(view.cursorPosition(), qint64(0));
            QCOMPARE(view.selectionEnd(), qint64(0));
        }
    }

    // Every row starts on 100 bytes; no key changes a byte.
    void keyboardMovesCaretAndSelection_data()
    {
        QTest::addColumn<qint64>("start");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<qint64>("cursor");
        QTest::addColumn<qint64>("selectionStart");
        QTest::addColumn<qint64>("selectionEnd");
        QTest::addColumn<QString>("clipboard"); // hex pairs in upper case
        const auto row = [](const char *name, qint64 start, const char *keys, qint64 cursor,
                            qint64 selectionStart, qint64 selectionEnd,
                            const char *clipboard = "untouched") {
            QTest::newRow(name) << start << QString(keys) << cursor << selectionStart
                                << selectionEnd << QString(clipboard);
        };
        row("left stops at the first byte", 1, "Left, Left", 0, 0, 0);
        row("right stops at the last byte", 98, "Right, Right, Right", 99, 99, 99);
        row("down one row", 3, "Down", 19, 19, 19);
        row("down into a short last row stops on its last byte", 90, "Down", 99, 99, 99);
        row("up in the first row stays", 5, "Up", 5, 5, 5);
        row("home: start of the row", 37, "Home", 32, 32, 32);
        row("end of the short last row", 97, "End", 99, 99, 99);
        row("ctrl+home; copy without a selection copies nothing", 50, "Ctrl+Home, Ctrl+C", 0, 0,
            0);
        row("shift+right selects anchor to caret", 4, "Shift+Right, Shift+Right", 6, 4, 7);
        row("shift+down spans rows", 2, "Shift+Down", 18, 2, 19);
        row("shift+ctrl+end selects the last byte too", 95, "Shift+Ctrl+End", 99, 95, 100);
        row("plain move drops the selection", 4, "Shift+Right, Right", 6, 6, 6);
        row("ctrl+a selects everything", 40, "Ctrl+A", 99, 0, 100);
        row("copy across a row boundary", 14, "Shift+Right, Shift+Right, Ctrl+C", 16, 14, 17,
            "0E 0F 10");
        row("copy of a backwards selection in address order", 43, "Shift+Left, Ctrl+C", 42, 42, 44,
            "2A 2B");
        row("editing keys", 5, "Backspace, Del, Ins, Return", 5, 5, 5);
        row("paste, cut, undo", 5, "Ctrl+V, Ctrl+X, Ctrl+Z", 5, 5, 5);
    }

    void keyboardMovesCaretAndSelection()
    {
        QFETCH(qint64, start);
        QFETCH(QString, keys);
        QFETCH(QString, clipboard);
        QHexEdit view;
        showView(view, counting(100));
        view.setReadOnly(false);
        view.setCursorPosition(start);
        QGuiApplication::clipboard()->setText("untouched");
        QTest::keyClicks(&view, "ff00AZ 9");
        QTest::keySequence(&view, QKeySequence(keys));
        QTEST(view.cursorPosition(), "cursor");
        QTEST(view.selectionStart(), "selectionStart");
        QTEST(view.selectionEnd(), "selectionEnd");
        QCOMPARE(view.data(), counting(100));
        QCOMPARE(QGuiApplication::clipboard()->text(), clipboard);
        if (clipboard != "untouched") {
            view.setHexCaps(false);
            QTest::keySequence(&view, QKeySequence::Copy);
            QCOMPARE(QGuiApplication::clipboard()->text(), clipboard.toLower());
        }
    }
};

VARNOCK_TEST_MAIN(TestHexEdit)
#include "tst_hexedit.moc"
