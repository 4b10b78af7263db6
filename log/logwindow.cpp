#include "logwindow.h"

#include <QFont>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>

#include <algorithm>

namespace {
constexpr int NormalCode = 1;
constexpr int ExtraBoldCode = 4;
} // namespace

LogWindow::LogWindow(QTextEdit *textEdit, const QString &logFilePath, bool timeStamp,
                     bool longMonthName, bool jalaliDate)
    : m_textEdit(textEdit)
    , m_logFile(logFilePath, timeStamp, longMonthName, jalaliDate)
{
}

void LogWindow::AppendRecord(const QString &Message, const QColor &Colour, int Weight, bool Italic,
                             bool UnderLine, bool NewLine)
{
    const std::optional<int> code = weightCodeFor(Weight);
    if (!code)
        return;
    Append(Message, *code, Colour, UnderLine, Italic, NewLine);
}

void LogWindow::Append(const QString &text, int weightCode, const QColor &colour, bool underLine,
                       bool italic, bool newLine)
{
    if (m_textEdit) {
        // Whatever the operator selected or clicked, a record lands at the end and replaces
        // nothing.
        m_textEdit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
        // All four are set for every record so that no format carries over from the last one.
        m_textEdit->setFontWeight(fontWeightFor(weightCode));
        // An invalid colour would leave the pen undefined; black keeps the text readable.
        m_textEdit->setTextColor(colour.isValid() ? colour : QColor(Qt::black));
        m_textEdit->setFontItalic(italic);
        m_textEdit->setFontUnderline(underLine);
        m_textEdit->insertPlainText(newLine ? text + QLatin1Char('\n') : text);
        m_textEdit->ensureCursorVisible();
    }
    m_logFile.Write(text, newLine);
}

void LogWindow::AppendOwnLine(const QString &text, int weightCode, const QColor &colour)
{
    if (m_textEdit) {
        // The open line is the document's last block; with none open that block is empty and
        // the record simply ends up last.
        QTextCursor cursor(m_textEdit->document());
        cursor.movePosition(QTextCursor::End);
        cursor.movePosition(QTextCursor::StartOfBlock);
        QTextCharFormat format;
        format.setFontWeight(fontWeightFor(weightCode));
        format.setForeground(colour.isValid() ? colour : QColor(Qt::black));
        cursor.insertText(text, format);
        cursor.insertBlock();
        // The view's own cursor sits on the open line, just below the record.
        m_textEdit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
        m_textEdit->ensureCursorVisible();
    }
    m_logFile.WriteOwnLine(text);
}

std::optional<int> LogWindow::weightCodeFor(int weight)
{
    if (weight > ExtraBoldCode)
        return std::nullopt;
    return std::max(weight, NormalCode);
}

int LogWindow::fontWeightFor(int weightCode)
{
    switch (std::clamp(weightCode, NormalCode, ExtraBoldCode)) {
    case 2:
        return QFont::Bold;
    case 3:
        return QFont::DemiBold;
    case 4:
        return QFont::ExtraBold;
    default:
        return QFont::Normal;
    }
}
