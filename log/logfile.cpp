#include "logfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
const QString LogFileName = QStringLiteral("Log.txt");
const QString LogFolder = QStringLiteral("/LOG/JobLog/");
const QString BackupFolder = QStringLiteral("/LOG/Backup/");
const QString LongDatePattern = QStringLiteral("yyyy-MMMM-dd hh:mm:ss");
const QString NumericDatePattern = QStringLiteral("yyyy-MM-dd hh:mm:ss");
const QString FolderDatePattern = QStringLiteral("yyyy_MMMM_dd");
const QString PrefixSeparator = QStringLiteral(" : ");

// Why mkpath could not make folder: the first folder missing on the way is made again to learn
// what stops it.
QString WhyFolderCannotBeMade(const QString &folder)
{
    QString missing = QDir::cleanPath(QDir(folder).absolutePath());
    for (QString parent = QFileInfo(missing).path();
         parent != missing && !QFileInfo::exists(parent); parent = QFileInfo(parent).path())
        missing = parent;
    const QByteArray path = QFile::encodeName(missing);
    if (::mkdir(path.constData(), 0777) == 0) {
        ::rmdir(path.constData());
        return QStringLiteral("Unknown error");
    }
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Why fileName cannot be appended to; empty when it can. A file made to find out is removed.
QString WhyFileCannotBeAppended(const QString &fileName)
{
    const bool existed = QFileInfo::exists(fileName);
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return file.errorString();
    file.close();
    if (!existed)
        file.remove();
    return QString();
}
} // namespace

LogFile::LogFile(const QString &fileName, bool timeStamp, bool longMonthName, bool jalaliDate)
    : m_fileName(fileName)
    , m_file(fileName)
    , m_timeStamp(timeStamp)
    , m_longMonthName(longMonthName)
    , m_jalaliDate(jalaliDate)
    , m_clock(&QDateTime::currentDateTime)
    , m_locale(QLocale::system())
{
}

bool LogFile::Write(const QString &text, bool newLine)
{
    // Not QIODevice::Text: "\n" must reach the file as the single byte 0x0A on every system.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;

    if (!newLine) {
        m_pendingText += text;
        m_file.close();
        return true;
    }

    writeLine(m_pendingText + text);
    m_pendingText.clear();
    return true;
}

bool LogFile::WriteOwnLine(const QString &text)
{
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    writeLine(text);
    return true;
}

void LogFile::writeLine(const QString &content)
{
    // The stamp is the moment the line is completed, not the moment its first piece came.
    const QString line = linePrefix(m_clock()) + content + QLatin1Char('\n');
    m_file.write(line.toLocal8Bit());
    m_file.close();
}

void LogFile::setClock(Clock clock)
{
    if (clock)
        m_clock = std::move(clock);
}

void LogFile::setLocale(const QLocale &locale)
{
    m_locale = locale;
}

QString LogFile::linePrefix(const QDateTime &when) const
{
    if (!m_timeStamp)
        return QString();
    const QString &pattern = m_longMonthName ? LongDatePattern : NumericDatePattern;
    return m_locale.toString(when, pattern) + PrefixSeparator;
}

QString LogFile::chooseLogFilePath(const QDateTime &now, const QString &workingDirectory,
                                   const QString &executableDirectory, const QLocale &locale)
{
    const QString folder = workingDirectory + LogFolder + dateFolderName(now, locale);
    // mkpath also succeeds when the folder is already there (a second start on the same day).
    if (QDir().mkpath(folder) && QDir(folder).exists())
        return folder + QLatin1Char('/') + LogFileName;
    return executableDirectory + QLatin1Char('/') + LogFileName;
}

QString LogFile::chooseLogFilePath()
{
    return chooseLogFilePath(QDateTime::currentDateTime(), QDir::currentPath(),
                             QCoreApplication::applicationDirPath());
}

QString LogFile::whyNoLogFile(const QDateTime &now, const QString &workingDirectory,
                              const QString &executableDirectory, const QLocale &locale)
{
    const QString folder = workingDirectory + LogFolder + dateFolderName(now, locale);
    if (QDir().mkpath(folder) && QDir(folder).exists())
        return QString();
    const QString folderReason = WhyFolderCannotBeMade(folder);
    const QString fallback = executableDirectory + QLatin1Char('/') + LogFileName;
    const QString fallbackReason = WhyFileCannotBeAppended(fallback);
    if (fallbackReason.isEmpty())
        return QString();
    return QStringLiteral("No Log File Is Written: Cannot Make %1 (%2), Cannot Write %3 (%4)")
        .arg(QDir::toNativeSeparators(QDir::cleanPath(folder)), folderReason,
             QDir::toNativeSeparators(QDir::cleanPath(fallback)), fallbackReason);
}

QString LogFile::whyNoLogFile()
{
    return whyNoLogFile(QDateTime::currentDateTime(), QDir::currentPath(),
                        QCoreApplication::applicationDirPath());
}

QString LogFile::chooseBackupFolder(const QDateTime &now, const QString &workingDirectory,
                                    const QString &executableDirectory, const QLocale &locale)
{
    const bool inWorkingDirectory =
        chooseLogFilePath(now, workingDirectory, executableDirectory, locale)
            .startsWith(workingDirectory + LogFolder);
    return (inWorkingDirectory ? workingDirectory : executableDirectory) + BackupFolder +
           dateFolderName(now, locale);
}

QString LogFile::chooseBackupFolder()
{
    return chooseBackupFolder(QDateTime::currentDateTime(), QDir::currentPath(),
                              QCoreApplication::applicationDirPath());
}

QString LogFile::dateFolderName(const QDateTime &now, const QLocale &locale)
{
    QString name = locale.toString(now, FolderDatePattern);
    name.replace(QLatin1Char(' '), QLatin1Char('_'));
    name.replace(QLatin1Char(':'), QLatin1Char('_'));
    return name;
}
