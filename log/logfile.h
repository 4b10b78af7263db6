#pragma once

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QString>

#include <functional>

// Appends completed log lines, time-stamped, to one text file; GUI thread only.
//
// The file is opened and closed for every record, so no handle stays open and a file removed
// or a disk unplugged between records costs only the records that could not be written.
class LogFile
{
public:
    using Clock = std::function<QDateTime()>;

    // Binds the file to fileName without opening it. jalaliDate is accepted for the
    // constructor's signature; lines always carry the Gregorian prefix.
    LogFile(const QString &fileName, bool timeStamp, bool longMonthName, bool jalaliDate);

    // Returns false when the file could not be opened; then the text is neither written nor
    // kept for the next line. A text without newLine waits in pendingText() until a record
    // with newLine completes the line.
    bool Write(const QString &text, bool newLine);
    // Writes text as a whole line of its own now; pendingText() stays for the line it belongs to.
    bool WriteOwnLine(const QString &text);

    QString fileName() const { return m_fileName; }
    QString pendingText() const { return m_pendingText; }
    bool timeStamp() const { return m_timeStamp; }
    bool longMonthName() const { return m_longMonthName; }
    bool jalaliDate() const { return m_jalaliDate; }

    // Seams: the time of day and the locale that spells the month names.
    void setClock(Clock clock);
    void setLocale(const QLocale &locale);

    // "yyyy-MMMM-dd hh:mm:ss : " (or with the month's number), empty without timeStamp.
    QString linePrefix(const QDateTime &when) const;

    // The path of the day's log file: <workingDirectory>/LOG/JobLog/<date folder>/Log.txt,
    // or <executableDirectory>/Log.txt when the date folder cannot be made.
    static QString chooseLogFilePath(const QDateTime &now, const QString &workingDirectory,
                                     const QString &executableDirectory,
                                     const QLocale &locale = QLocale::system());
    // The same for this process: local time now, current directory, executable's directory.
    static QString chooseLogFilePath();
    // Why neither place chooseLogFilePath tries can take the log: one line naming each folder
    // tried and the reason; empty when the log can be written.
    static QString whyNoLogFile(const QDateTime &now, const QString &workingDirectory,
                                const QString &executableDirectory,
                                const QLocale &locale = QLocale::system());
    static QString whyNoLogFile();

    // Where the update job keeps its backups: LOG/Backup/<date folder> beside the day's log
    // file, in the working directory or, where its LOG folder cannot be made, the executable's
    // directory. Not made here.
    static QString chooseBackupFolder(const QDateTime &now, const QString &workingDirectory,
                                      const QString &executableDirectory,
                                      const QLocale &locale = QLocale::system());
    static QString chooseBackupFolder();

    // "yyyy_MMMM_dd" with every blank and ":" replaced by "_", e.g. "2026_December_05".
    static QString dateFolderName(const QDateTime &now, const QLocale &locale);

private:
    // Writes the stamped line to the open file and closes it.
    void writeLine(const QString &content);

    QString m_fileName;
    QFile m_file;
    bool m_timeStamp;
    bool m_longMonthName;
    bool m_jalaliDate;
    QString m_pendingText;
    Clock m_clock;
    QLocale m_locale;
};
