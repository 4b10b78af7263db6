#include "qhexedit.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QtMath>

#include <algorithm>
#include <climits>

namespace {

constexpr int HexDigitsPerByte = 2;

} // namespace

QHexEdit::QHexEdit(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    const QPalette colors = palette();
    m_addressAreaColor = colors.alternateBase().color();
    m_selectionColor = colors.highlight().color();
    m_addressFontColor = colors.text().color();
    m_asciiAreaColor = colors.base().color();
    m_asciiFontColor = colors.text().color();
    m_hexFontColor = colors.text().color();

    setFocusPolicy(Qt::StrongFocus);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    updateMetrics();
    adjustScrollBars();
}

void QHexEdit::setAddressArea(bool shown)
{
    m_layout.setAddressArea(shown);
    relayout();
}

void QHexEdit::setAsciiArea(bool shown)
{
    m_layout.setAsciiArea(shown);
    relayout();
}

void QHexEdit::setHighlighting(bool on)
{
    m_highlighting = on;
    viewport()->update();
}

void QHexEdit::setOverwriteMode(bool on)
{
    m_overwriteMode = on;
}

void QHexEdit::setReadOnly(bool on)
{
    m_readOnly = on;
}

void QHexEdit::setHighlightingColor(const QColor &color)
{
    m_highlightingColor = color;
    viewport()->update();
}

void QHexEdit::setAddressAreaColor(const QColor &color)
{
    m_addressAreaColor = color;
    viewport()->update();
}

void QHexEdit::setSelectionColor(const QColor &color)
{
    m_selectionColor = color;
    viewport()->update();
}

void QHexEdit::setAddressFontColor(const QColor &color)
{
    m_addressFontColor = color;
    viewport()->update();
}

void QHexEdit::setAsciiAreaColor(const QColor &color)
{
    m_asciiAreaColor = color;
    viewport()->update();
}

void QHexEdit::setAsciiFontColor(const QColor &color)
{
    m_asciiFontColor = color;
    viewport()->update();
}

void QHexEdit::setHexFontColor(const QColor &color)
{
    m_hexFontColor = color;
    viewport()->update();
}

void QHexEdit::setAddressWidth(int digits)
{
    m_layout.setAddressWidth(digits);
    relayout();
}

void QHexEdit::setBytesPerLine(int bytes)
{
    m_layout.setBytesPerLine(bytes);
    relayout();
    ensureCursorVisible();
}

void QHexEdit::setHexCaps(bool upperCase)
{
    m_layout.setHexCaps(upperCase);
    viewport()->update();
}

void QHexEdit::setData(const QByteArray &data)
{
    m_data = data;
    m_layout.setByteCount(m_data.size());
    m_cursor = 0;
    m_anchor = 0;
    m_hasSelection = false;
    relayout();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
}

qint64 QHexEdit::firstVisibleRow() const
{
    return verticalScrollBar()->value();
}

int QHexEdit::visibleRowCount() const
{
    return std::max(1, viewport()->height() / m_lineHeight);
}

QString QHexEdit::rowText(qint64 row) const
{
    return m_layout.rowText(m_data, row);
}

void QHexEdit::setCursorPosition(qint64 position)
{
    moveCursor(position, false);
    ensureCursorVisible();
}

qint64 QHexEdit::selectionStart() const
{
    return m_hasSelection ? std::min(m_anchor, m_cursor) : m_cursor;
}

qint64 QHexEdit::selectionEnd() const
{
    return m_hasSelection ? std::max(m_anchor, m_cursor) + 1 : m_cursor;
}

QString QHexEdit::selectedHex() const
{
    const qint64 start = selectionStart();
    return m_layout.hexString(m_data.mid(int(start), int(selectionEnd() - start)));
}

void QHexEdit::selectAll()
{
    if (m_data.isEmpty())
        return;
    m_anchor = 0;
    m_cursor = lastOffset();
    m_hasSelection = true;
    viewport()->update();
}

void QHexEdit::copy() const
{
    if (selectionEnd() > selectionStart())
        QGuiApplication::clipboard()->setText(selectedHex());
}

qint64 QHexEdit::offsetAt(const QPoint &viewportPos) const
{
    if (m_data.isEmpty())
        return 0;
    const qint64 row = std::clamp<qint64>(
        firstVisibleRow() + qFloor(qreal(viewportPos.y()) / m_lineHeight), 0, rowCount() - 1);
    const int character = qFloor((viewportPos.x() + horizontalScrollBar()->value()) / m_charWidth);
    return std::min(m_layout.rowStart(row) + m_layout.columnAt(character), lastOffset());
}

void QHexEdit::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    const QRect dirty = event->rect();
    painter.fillRect(dirty, palette().base());
    paintAreaBackgrounds(painter, dirty);

    m_paintedRowCount = 0;
    const qint64 first = firstVisibleRow();
    const qint64 firstDirty = first + std::max(0, dirty.top()) / m_lineHeight;
    const qint64 lastDirty = std::min(rowCount() - 1, first + dirty.bottom() / m_lineHeight);
    for (qint64 row = firstDirty; row <= lastDirty; ++row) {
        paintRow(painter, row, int(row - first) * m_lineHeight);
        ++m_paintedRowCount;
    }
}

void QHexEdit::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    adjustScrollBars();
}

void QHexEdit::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        relayout();
    }
}

void QHexEdit::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (!moveCursorFor(event)) {
        // No editing: every other key, printable or not, leaves the bytes as they are.
        event->ignore();
        return;
    }
    event->accept();
}

void QHexEdit::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    moveCursor(offsetAt(event->pos()), event->modifiers().testFlag(Qt::ShiftModifier));
    ensureCursorVisible();
}

void QHexEdit::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton)) {
        event->ignore();
        return;
    }
    const qint64 offset = offsetAt(event->pos());
    if (offset == m_cursor && !m_hasSelection)
        return;
    moveCursor(offset, true);
    ensureCursorVisible();
}

// Ends a drag; the selection is already complete.
void QHexEdit::mouseReleaseEvent(QMouseEvent *event)
{
    event->setAccepted(event->button() == Qt::LeftButton);
}

void QHexEdit::scrollContentsBy(int, int)
{
    viewport()->update();
}

qint64 QHexEdit::lastOffset() const
{
    return std::max<qint64>(0, m_data.size() - 1);
}

bool QHexEdit::moveCursorFor(QKeyEvent *event)
{
    const qint64 line = bytesPerLine();
    const qint64 page = line * visibleRowCount();
    const qint64 row = m_layout.rowOf(m_cursor);
    const qint64 rowStart = m_layout.rowStart(row);
    const qint64 rowEnd = rowStart + std::max(1, m_layout.bytesInRow(row)) - 1;
    // Moving up past the first row keeps the column; moving down past the last byte stops
    // on it.
    const auto up = [this, line](qint64 distance) {
        return m_cursor >= distance ? m_cursor - distance : m_cursor % line;
    };
    const auto down = [this](qint64 distance) {
        return std::min(m_cursor + distance, lastOffset());
    };
    const struct
    {
        QKeySequence::StandardKey move;
        QKeySequence::StandardKey select;
        qint64 target;
    } moves[] = {
        {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, m_cursor + 1},
        {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, m_cursor - 1},
        {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, down(line)},
        {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, up(line)},
        {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, down(page)},
        {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, up(page)},
        {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, rowStart},
        {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, rowEnd},
        {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, 0},
        {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, lastOffset()},
    };
    for (const auto &move : moves) {
        const bool select = event->matches(move.select);
        if (select || event->matches(move.move)) {
            moveCursor(move.target, select);
            ensureCursorVisible();
            return true;
        }
    }
    return false;
}

// The selection runs from the anchor byte to the caret byte, both included.
void QHexEdit::moveCursor(qint64 position, bool extendSelection)
{
    if (extendSelection && !m_hasSelection && !m_data.isEmpty()) {
        m_anchor = m_cursor;
        m_hasSelection = true;
    } else if (!extendSelection) {
        m_hasSelection = false;
    }
    m_cursor = std::clamp<qint64>(position, 0, lastOffset());
    viewport()->update();
}

void QHexEdit::ensureCursorVisible()
{
    const qint64 row = m_layout.rowOf(m_cursor);
    const qint64 first = firstVisibleRow();
    if (row < first)
        verticalScrollBar()->setValue(int(row));
    else if (row >= first + visibleRowCount())
        verticalScrollBar()->setValue(int(row - visibleRowCount() + 1));

    const int column = m_layout.columnOf(m_cursor);
    const int left = qFloor(m_layout.hexCharacter(column) * m_charWidth);
    const int right = qCeil((m_layout.hexCharacter(column) + HexDigitsPerByte) * m_charWidth);
    QScrollBar *horizontal = horizontalScrollBar();
    if (left < horizontal->value())
        horizontal->setValue(left);
    else if (right > horizontal->value() + viewport()->width())
        horizontal->setValue(right - viewport()->width());
}

void QHexEdit::relayout()
{
    adjustScrollBars();
    viewport()->update();
}

void QHexEdit::updateMetrics()
{
    const QFontMetricsF metrics(font());
    m_charWidth = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char('0')));
    m_lineHeight = std::max(1, qCeil(metrics.height()));
    m_ascent = qCeil(metrics.ascent());
}

// The vertical bar counts rows, not pixels: even bytesPerLine 1 on the largest QByteArray
// stays inside its int range.
void QHexEdit::adjustScrollBars()
{
    const int rows = visibleRowCount();
    const qint64 lastFirstRow = std::max<qint64>(0, rowCount() - rows);
    QScrollBar *vertical = verticalScrollBar();
    vertical->setRange(0, int(std::min<qint64>(lastFirstRow, INT_MAX)));
    vertical->setPageStep(rows);
    vertical->setSingleStep(1);

    const int lineWidth = qCeil(m_layout.lineLength() * m_charWidth);
    QScrollBar *horizontal = horizontalScrollBar();
    horizontal->setRange(0, std::max(0, lineWidth - viewport()->width()));
    horizontal->setPageStep(viewport()->width());
    horizontal->setSingleStep(qCeil(m_charWidth));
}

qreal QHexEdit::characterX(int character) const
{
    return character * m_charWidth - horizontalScrollBar()->value();
}

// The address background takes the first blank after the addresses, the character area
// background the last blank before the characters and everything to the right edge.
void QHexEdit::paintAreaBackgrounds(QPainter &painter, const QRect &dirty) const
{
    const qreal top = dirty.top();
    const qreal height = dirty.height();
    if (m_layout.addressArea()) {
        const qreal right = characterX(m_layout.addressDigits() + HexLayout::AreaGap / 2);
        painter.fillRect(QRectF(characterX(0), top, right - characterX(0), height),
                         m_addressAreaColor);
    }
    if (m_layout.asciiArea()) {
        const qreal left = characterX(m_layout.asciiStart() - HexLayout::AreaGap / 2);
        painter.fillRect(QRectF(left, top, viewport()->width() - left, height), m_asciiAreaColor);
    }
}

void QHexEdit::paintRow(QPainter &painter, qint64 row, int y)
{
    paintSelection(painter, row, y);
    const int baseline = y + m_ascent;
    if (m_layout.addressArea()) {
        painter.setPen(m_addressFontColor);
        painter.drawText(QPointF(characterX(0), baseline), m_layout.addressText(row));
    }
    painter.setPen(m_hexFontColor);
    painter.drawText(QPointF(characterX(m_layout.hexStart()), baseline),
                     m_layout.hexText(m_data, row));
    if (m_layout.asciiArea()) {
        painter.setPen(m_asciiFontColor);
        painter.drawText(QPointF(characterX(m_layout.asciiStart()), baseline),
                         m_layout.asciiText(m_data, row));
    }
    paintCursor(painter, row, y);
}

void QHexEdit::paintSelection(QPainter &painter, qint64 row, int y) const
{
    const qint64 rowStart = m_layout.rowStart(row);
    const qint64 first = std::max(selectionStart(), rowStart);
    const qint64 end = std::min(selectionEnd(), rowStart + m_layout.bytesInRow(row));
    if (first >= end)
        return;
    const int firstColumn = int(first - rowStart);
    const int lastColumn = int(end - 1 - rowStart);
    const qreal hexLeft = characterX(m_layout.hexCharacter(firstColumn));
    const qreal hexRight = characterX(m_layout.hexCharacter(lastColumn) + HexDigitsPerByte);
    painter.fillRect(QRectF(hexLeft, y, hexRight - hexLeft, m_lineHeight), m_selectionColor);
    if (m_layout.asciiArea()) {
        const qreal asciiLeft = characterX(m_layout.asciiCharacter(firstColumn));
        const qreal asciiRight = characterX(m_layout.asciiCharacter(lastColumn + 1));
        painter.fillRect(QRectF(asciiLeft, y, asciiRight - asciiLeft, m_lineHeight),
                         m_selectionColor);
    }
}

void QHexEdit::paintCursor(QPainter &painter, qint64 row, int y) const
{
    if (m_data.isEmpty() || m_layout.rowOf(m_cursor) != row)
        return;
    const int column = m_layout.columnOf(m_cursor);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(m_hexFontColor);
    painter.drawRect(QRectF(characterX(m_layout.hexCharacter(column)), y,
                            HexDigitsPerByte * m_charWidth - 1, m_lineHeight - 1));
    if (m_layout.asciiArea()) {
        painter.setPen(m_asciiFontColor);
        painter.drawRect(QRectF(characterX(m_layout.asciiCharacter(column)), y, m_charWidth - 1,
                                m_lineHeight - 1));
    }
}
