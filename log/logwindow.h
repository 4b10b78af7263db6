#pragma once

#include "log/logfile.h"

#include <QColor>
#include <QPointer>
#include <QString>
#include <QTextEdit>

#include <optional>

// Renders log records into the log view, scrolled to show each, and hands each one to the log
// file; GUI thread only.
class LogWindow
{
public:
    // textEdit stays owned by the caller's form; the log file is created here and owned here.
    LogWindow(QTextEdit *textEdit, const QString &logFilePath, bool timeStamp, bool longMonthName,
              bool jalaliDate);

    // One record as the worker signals it: Weight 1 or less, 2, 3 and 4 become the codes 1 to
    // 4; a record with Weight 5 or more is dropped from both the view and the file.
    void AppendRecord(const QString &Message, const QColor &Colour, int Weight, bool Italic,
                      bool UnderLine, bool NewLine);

    // One record with a weight code 1 to 4 (codes outside are clamped into that range).
    void Append(const QString &text, int weightCode, const QColor &colour, bool underLine,
                bool italic, bool newLine);

    // A record that always stands on a line of its own. While a line is still open (the worker
    // announced a step and has not yet ended it), the record goes in above that line, in the
    // view and in the file, and the open line later ends as if nothing had come between.
    void AppendOwnLine(const QString &text, int weightCode, const QColor &colour);

    LogFile &logFile() { return m_logFile; }
    QTextEdit *textEdit() const { return m_textEdit; }

    // The code passed on for a record's Weight, or nothing when the record is dropped.
    static std::optional<int> weightCodeFor(int weight);
    // The font weight that renders a code: 1 Normal, 2 Bold, 3 DemiBold, 4 ExtraBold.
    static int fontWeightFor(int weightCode);

private:
    // Guarded so that a log outliving its view still files records instead of crashing.
    QPointer<QTextEdit> m_textEdit;
    LogFile m_logFile;
};
