#include "failonwarning.h"
#include "log/logwindow.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <memory>
#include <vector>

namespace {
struct Record
{
    QString text;
    bool newLine;
    int weight;
    bool ownLine = false; // the window's own line, kept apart from an open one
};
using Records = std::vector<Record>;

const QDateTime StampTime(QDate(2026, 12, 5), QTime(20, 54, 14));
const QLocale English(QLocale::English, QLocale::UnitedStates);

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The format of the character at position as "colour weight [italic] [underline]".
QString formatAt(QTextEdit &edit, int position)
{
    QTextCursor cursor(edit.document());
    cursor.setPosition(position + 1);
    const QTextCharFormat format = cursor.charFormat();
    return QString("%1 %2%3%4")
        .arg(format.foreground().color().name())
        .arg(format.fontWeight())
        .arg(format.fontItalic() ? " italic" : "", format.fontUnderline() ? " underline" : "");
}
} // namespace
Q_DECLARE_METATYPE(Records)

class TestLog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QTextEdit m_edit;
    std::unique_ptr<LogWindow> m_log;
    QString m_path;
    int m_run = 0;
    QDateTime m_now;

    // A minute and a second pass after every record.
    void feed(const Records &records)
    {
        for (const Record &r : records) {
            if (r.ownLine)
                m_log->AppendOwnLine(r.text, r.weight, QColor("red"));
            else
                m_log->AppendRecord(r.text, QColor("black"), r.weight, false, false, r.newLine);
            m_now = m_now.addSecs(61);
        }
    }

private slots:
    void init()
    {
        m_edit.clear();
        m_path = m_dir.filePath(QStringLiteral("Log%1.txt").arg(++m_run));
        m_log = std::make_unique<LogWindow>(&m_edit, m_path, true, true, true);
        m_now = StampTime;
        m_log->logFile().setClock([this] { return m_now; });
        m_log->logFile().setLocale(English);
    }

    // Each row renders a formatted record, then a plain black one that must not inherit.
    void formatsDoNotCarryOver_data()
    {
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<bool>("underline");
        QTest::addColumn<QString>("shown");
        QTest::newRow("weight below 1 normal, italic")
            << QColor(Qt::blue) << -7 << true << false << "#0000ff 50 italic";
        QTest::newRow("2 bold") << QColor(Qt::green) << 2 << false << false << "#00ff00 75";
        QTest::newRow("3 demibold") << QColor(Qt::red) << 3 << false << false << "#ff0000 63";
        QTest::newRow("4 extrabold") << QColor(Qt::blue) << 4 << false << false << "#0000ff 81";
        QTest::newRow("invalid colour black, underline")
            << QColor() << 1 << false << true << "#000000 50 underline";
    }
    void formatsDoNotCarryOver()
    {
        QFETCH(QColor, colour);
        QFETCH(int, weight);
        QFETCH(bool, italic);
        QFETCH(bool, underline);
        m_log->AppendRecord("First", colour, weight, italic, underline, false);
        m_log->AppendRecord("Next", QColor("black"), 1, false, false, true);
        QTEST(formatAt(m_edit, 0), "shown");
        QCOMPARE(formatAt(m_edit, 5), QString("#000000 50"));
    }

    void recordLandsAtEndWhateverTheOperatorSelected()
    {
        feed({{"Line one", true, 1}});
        QTextCursor selection(m_edit.document());
        selection.setPosition(4, QTextCursor::KeepAnchor);
        m_edit.setTextCursor(selection);
        m_log->AppendRecord("Line two", QColor("red"), 1, false, false, true);
        QCOMPARE(m_edit.toPlainText(), QString("Line one\nLine two\n"));
        QCOMPARE(formatAt(m_edit, 9), QString("#ff0000 50"));
    }

    void fileLines_data()
    {
        QTest::addColumn<Records>("records");
        QTest::addColumn<QString>("view");
        QTest::addColumn<QByteArray>("file");
        // The stamp is the time the line is completed.
        QTest::newRow("continued records share one stamp; weight 5 and more dropped")
            << Records{{"A ", false, 1}, {"-", false, 5}, {"B ", false, 1}, {"C", true, 4}}
            << "A B C\n"
            << QByteArray("2026-December-05 20:57:17 : A B C\n");
        QTest::newRow("newline inside text, one prefix; the next line appended")
            << Records{{"two\nlines", true, 1}, {"next", true, 1}} << "two\nlines\nnext\n"
            << QByteArray("2026-December-05 20:54:14 : two\nlines\n"
                          "2026-December-05 20:55:15 : next\n");
        QTest::newRow("own line goes above the open line")
            << Records{{"Erasing Chip... ", false, 1}, {"Wait!", true, 1, true}, {"OK", true, 4}}
            << "Wait!\nErasing Chip... OK\n"
            << QByteArray("2026-December-05 20:55:15 : Wait!\n"
                          "2026-December-05 20:56:16 : Erasing Chip... OK\n");
        QTest::newRow("own line without an open line comes last")
            << Records{{"A", true, 1}, {"Wait!", true, 1, true}, {"B", true, 1}} << "A\nWait!\nB\n"
            << QByteArray("2026-December-05 20:54:14 : A\n2026-December-05 20:55:15 : Wait!\n"
                          "2026-December-05 20:56:16 : B\n");
        QTest::newRow("pending text is shown, not filed; a dropped record ends no line")
            << Records{{"Elapsed Time: ", false, 1}, {"x", true, 9}}
            << "Elapsed Time: " << QByteArray();
    }
    void fileLines()
    {
        QFETCH(Records, records);
        feed(records);
        QTEST(m_edit.toPlainText(), "view");
        QTEST(contents(m_path), "file");
    }

    void unopenableFileLosesOnlyThatRecord()
    {
        const QString folder = m_dir.filePath("later");
        LogWindow log(&m_edit, folder + "/Log.txt", false, true, true);
        log.AppendRecord("lost ", QColor("red"), 1, false, false, false);
        QCOMPARE(m_edit.toPlainText(), QString("lost "));
        QVERIFY(QDir().mkpath(folder)); // later records try again
        log.AppendRecord("kept", QColor("red"), 1, false, false, true);
        QCOMPARE(contents(folder + "/Log.txt"), QByteArray("kept\n"));
    }

    void logFilePath()
    {
        const QString work = m_dir.filePath("work");
        const QString blocked = m_dir.filePath("blocked");
        QVERIFY(QDir().mkpath(blocked) && QFile(blocked + "/LOG").open(QIODevice::WriteOnly));
        // A second start on the same day finds the folder already made.
        for (int start = 0; start < 2; ++start)
            QCOMPARE(LogFile::chooseLogFilePath(StampTime, work, "/opt/varnock", English),
                     work + "/LOG/JobLog/2026_December_05/Log.txt");
        // Beside the executable when no folder can be made.
        for (const QString &unusable : {QString("/proc"), blocked})
            QCOMPARE(LogFile::chooseLogFilePath(StampTime, unusable, "/opt/varnock", English),
                     QString("/opt/varnock/Log.txt"));
        // The update job's backups go beside the logs.
        QCOMPARE(LogFile::chooseBackupFolder(StampTime, work, "/opt/varnock", English),
                 work + "/LOG/Backup/2026_December_05");
        QCOMPARE(LogFile::chooseBackupFolder(StampTime, blocked, "/opt/varnock", English),
                 QString("/opt/varnock/LOG/Backup/2026_December_05"));
    }

    // Where neither folder takes the log, one line says so: both places, both reasons.
    void noLogFileSaysWhy()
    {
        const QString work = m_dir.filePath("work");
        const QString blocked = m_dir.filePath("blocked");
        const QString program = m_dir.filePath("program");
        QVERIFY(QDir().mkpath(blocked) && QFile(blocked + "/LOG").open(QIODevice::WriteOnly));
        QVERIFY(QDir().mkpath(program + "/Log.txt")); // a folder where the file would be
        QCOMPARE(LogFile::whyNoLogFile(StampTime, work, program, English), QString());
        QCOMPARE(LogFile::whyNoLogFile(StampTime, blocked, m_dir.path(), English), QString());
        QVERIFY(!QFile::exists(m_dir.filePath("Log.txt"))); // the test leaves nothing behind
        QCOMPARE(LogFile::whyNoLogFile(StampTime, blocked, program, English),
                 QString("No Log File Is Written: Cannot Make %1/LOG/JobLog/2026_December_05 (Not "
                         "a directory), Cannot Write %2/Log.txt (Is a directory)")
                     .arg(blocked, program));
    }
};

VARNOCK_TEST_MAIN(TestLog)
#include "tst_log.moc"
