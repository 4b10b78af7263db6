#pragma once

#include "hexedit/hexlayout.h"

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QColor>

// Read-only, virtualised hex view: paints only the rows under the dirty rectangle, lets the
// caret and a selection move over the bytes and copies the selection as hex (GUI thread).
// Typing never changes a byte; readOnly, overwriteMode and highlighting are kept for
// callers that set them, and highlightingColor would mark changed bytes, of which a
// read-only view has none.
class QHexEdit : public QAbstractScrollArea
{
    Q_OBJECT
    Q_PROPERTY(bool addressArea READ addressArea WRITE setAddressArea)
    Q_PROPERTY(bool asciiArea READ asciiArea WRITE setAsciiArea)
    Q_PROPERTY(bool highlighting READ highlighting WRITE setHighlighting)
    Q_PROPERTY(bool overwriteMode READ overwriteMode WRITE setOverwriteMode)
    Q_PROPERTY(bool readOnly READ isReadOnly WRITE setReadOnly)
    Q_PROPERTY(QColor highlightingColor READ highlightingColor WRITE setHighlightingColor)
    Q_PROPERTY(QColor addressAreaColor READ addressAreaColor WRITE setAddressAreaColor)
    Q_PROPERTY(QColor selectionColor READ selectionColor WRITE setSelectionColor)
    Q_PROPERTY(QColor addressFontColor READ addressFontColor WRITE setAddressFontColor)
    Q_PROPERTY(QColor asciiAreaColor READ asciiAreaColor WRITE setAsciiAreaColor)
    Q_PROPERTY(QColor asciiFontColor READ asciiFontColor WRITE setAsciiFontColor)
    Q_PROPERTY(QColor hexFontColor READ hexFontColor WRITE setHexFontColor)
    Q_PROPERTY(int addressWidth READ addressWidth WRITE setAddressWidth)
    Q_PROPERTY(int bytesPerLine READ bytesPerLine WRITE setBytesPerLine)
    Q_PROPERTY(bool hexCaps READ hexCaps WRITE setHexCaps)
    Q_PROPERTY(QByteArray data READ data WRITE setData)

public:
    explicit QHexEdit(QWidget *parent = nullptr);

    bool addressArea() const { return m_layout.addressArea(); }
    void setAddressArea(bool shown);
    bool asciiArea() const { return m_layout.asciiArea(); }
    void setAsciiArea(bool shown);
    bool highlighting() const { return m_highlighting; }
    void setHighlighting(bool on);
    bool overwriteMode() const { return m_overwriteMode; }
    void setOverwriteMode(bool on);
    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool on);

    QColor highlightingColor() const { return m_highlightingColor; }
    void setHighlightingColor(const QColor &color);
    QColor addressAreaColor() const { return m_addressAreaColor; }
    void setAddressAreaColor(const QColor &color);
    QColor selectionColor() const { return m_selectionColor; }
    void setSelectionColor(const QColor &color);
    QColor addressFontColor() const { return m_addressFontColor; }
    void setAddressFontColor(const QColor &color);
    QColor asciiAreaColor() const { return m_asciiAreaColor; }
    void setAsciiAreaColor(const QColor &color);
    QColor asciiFontColor() const { return m_asciiFontColor; }
    void setAsciiFontColor(const QColor &color);
    QColor hexFontColor() const { return m_hexFontColor; }
    void setHexFontColor(const QColor &color);

    // Values outside 1..16 digits or 1..4096 bytes are clamped.
    int addressWidth() const { return m_layout.addressWidth(); }
    void setAddressWidth(int digits);
    int bytesPerLine() const { return m_layout.bytesPerLine(); }
    void setBytesPerLine(int bytes);
    bool hexCaps() const { return m_layout.hexCaps(); }
    void setHexCaps(bool upperCase);

    QByteArray data() const { return m_data; }
    // Replaces the whole content, puts the caret on the first byte, drops the selection and
    // scrolls to the top left.
    void setData(const QByteArray &data);

    const HexLayout &layout() const { return m_layout; }
    qint64 rowCount() const { return m_layout.rowCount(); }
    qint64 firstVisibleRow() const;
    // Rows that fit completely into the viewport, at least one.
    int visibleRowCount() const;
    QString rowText(qint64 row) const;
    // Rows formatted by the most recent paint: never more than the rows it had to show.
    int paintedRowCount() const { return m_paintedRowCount; }

    // The caret sits on a byte; it is 0 for empty data.
    qint64 cursorPosition() const { return m_cursor; }
    void setCursorPosition(qint64 position);
    // Selected bytes are [selectionStart, selectionEnd); both equal the caret when none is.
    qint64 selectionStart() const;
    qint64 selectionEnd() const;
    QString selectedHex() const;
    void selectAll();
    void copy() const;
    // Byte under a point of the viewport, from the hex or the character area.
    qint64 offsetAt(const QPoint &viewportPos) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    qint64 lastOffset() const;
    bool moveCursorFor(QKeyEvent *event);
    void moveCursor(qint64 position, bool extendSelection);
    void ensureCursorVisible();
    void relayout();
    void updateMetrics();
    void adjustScrollBars();
    qreal characterX(int character) const;
    void paintAreaBackgrounds(QPainter &painter, const QRect &dirty) const;
    void paintRow(QPainter &painter, qint64 row, int y);
    void paintSelection(QPainter &painter, qint64 row, int y) const;
    void paintCursor(QPainter &painter, qint64 row, int y) const;

    QByteArray m_data;
    HexLayout m_layout;

    bool m_highlighting = false;
    bool m_overwriteMode = true;
    bool m_readOnly = false;
    QColor m_highlightingColor = QColor(0xFF, 0xFF, 0x99);
    QColor m_addressAreaColor;
    QColor m_selectionColor;
    QColor m_addressFontColor;
    QColor m_asciiAreaColor;
    QColor m_asciiFontColor;
    QColor m_hexFontColor;

    qint64 m_cursor = 0;
    qint64 m_anchor = 0;
    bool m_hasSelection = false;

    qreal m_charWidth = 1;
    int m_lineHeight = 1;
    int m_ascent = 0;
    int m_paintedRowCount = 0;
};
