#include "log/logwindow.h"

#include <QFile>
#include <QFont>
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
};
using Records = std::vector<Record>;

const QDateTime StampTime(QDate(2026, 12, 5), QTime(20, 54, 14));
const QLocale English(QLocale::English, QLocale::UnitedStates);
const QByteArray Stamp = "2026-December-05 20:54:14 : ";

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The format of the character at position, as the document stores it.
QTextCharFormat formatAt(QTextDocument *document, int position)
{
    QTextCursor cursor(document);
    cursor.setPosition(position + 1);
    return cursor.charFormat();
}
} // namespace
Q_DECLARE_METATYPE(Records)

class TestLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QTextEdit *m_edit = nullptr;
    std::unique_ptr<LogWindow> m_log;
    QString m_path;
    int m_run = 0;

    void feed(const Records &records)
    {
        for (const Record &r : records)
            m_log->AppendRecord(r.text, QColor("black"), r.weight, false, false, r.newLine);
    }

private slots:
    void init()
    {
        m_edit = new QTextEdit;
        m_path = m_dir.filePath(QStringLiteral("Log%1.txt").arg(++m_run));
        QFile::remove(m_path);
        m_log = std::make_unique<LogWindow>(m_edit, m_path, true, true, true);
        m_log->logFile().setClock([] { return StampTime; });
        m_log->logFile().setLocale(English);
    }
    void cleanup()
    {
        m_log.reset();
        delete m_edit;
    }

    void weightCodes_data()
    {
        QTest::addColumn<int>("weight");
        QTest::addColumn<int>("fontWeight"); // -1: the record is dropped
        QTest::newRow("0 renders normal") << 0 << 50;
        QTest::newRow("negative renders normal") << -7 << 50;
        QTest::newRow("1 normal") << 1 << 50;
        QTest::newRow("2 bold") << 2 << 75;
        QTest::newRow("3 demibold, not bold") << 3 << 63;
        QTest::newRow("4 extrabold") << 4 << 81;
        QTest::newRow("5 dropped") << 5 << -1;
        QTest::newRow("large dropped") << 1000 << -1;
    }
    void weightCodes()
    {
        QFETCH(int, weight);
        QFETCH(int, fontWeight);
        m_log->AppendRecord("Text", QColor("blue"), weight, false, false, true);
        if (fontWeight < 0) {
            QVERIFY(m_edit->document()->isEmpty());
            QCOMPARE(contents(m_path), QByteArray("<missing>"));
            return;
        }
        QCOMPARE(m_edit->toPlainText(), QString("Text\n"));
        QCOMPARE(formatAt(m_edit->document(), 0).fontWeight(), fontWeight);
        QCOMPARE(contents(m_path), Stamp + "Text\n");
    }

    // Each row renders a formatted record, then a plain black one that must not inherit.
    void formatsDoNotCarryOver_data()
    {
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<bool>("underline");
        QTest::addColumn<QColor>("shown");
        QTest::newRow("italic device name")
            << QColor("gray") << 1 << true << false << QColor("gray");
        QTest::newRow("underline") << QColor("black") << 1 << false << true << QColor("black");
        QTest::newRow("extrabold OK") << QColor("blue") << 4 << false << false << QColor("blue");
        QTest::newRow("red failure") << QColor("red") << 1 << false << false << QColor("red");
        QTest::newRow("green verdict") << QColor("green") << 2 << true << true << QColor("green");
        QTest::newRow("invalid colour black")
            << QColor() << 1 << false << false << QColor("black");
    }
    void formatsDoNotCarryOver()
    {
        QFETCH(QColor, colour);
        QFETCH(int, weight);
        QFETCH(bool, italic);
        QFETCH(bool, underline);
        QFETCH(QColor, shown);
        m_log->AppendRecord("First", colour, weight, italic, underline, false);
        m_log->AppendRecord("Next", QColor("black"), 1, false, false, true);
        const QTextCharFormat first = formatAt(m_edit->document(), 0);
        QCOMPARE(first.foreground().color(), shown);
        QCOMPARE(first.fontWeight(), LogWindow::fontWeightFor(weight));
        QCOMPARE(first.fontItalic(), italic);
        QCOMPARE(first.fontUnderline(), underline);
        const QTextCharFormat next = formatAt(m_edit->document(), 5);
        QCOMPARE(next.foreground().color(), QColor("black"));
        QCOMPARE(next.fontWeight(), int(QFont::Normal));
        QVERIFY(!next.fontItalic());
        QVERIFY(!next.fontUnderline());
    }

    void recordLandsAtEndWhateverTheOperatorSelected()
    {
        feed({{"Line one", true, 1}});
        QTextCursor selection(m_edit->document());
        selection.setPosition(0);
        selection.setPosition(4, QTextCursor::KeepAnchor);
        m_edit->setTextCursor(selection);
        m_log->AppendRecord("Line two", QColor("red"), 1, false, false, true);
        QCOMPARE(m_edit->toPlainText(), QString("Line one\nLine two\n"));
        QVERIFY(!m_edit->textCursor().hasSelection());
        QCOMPARE(formatAt(m_edit->document(), 9).foreground().color(), QColor("red"));
    }

    void fileLines_data()
    {
        QTest::addColumn<Records>("records");
        QTest::addColumn<QString>("view");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("announcement and OK share one stamp")
            << Records{{"Connecting to Programmer... ", false, 1}, {"OK", true, 4}}
            << "Connecting to Programmer... OK\n"
            << Stamp + "Connecting to Programmer... OK\n";
        QTest::newRow("three continued records")
            << Records{{"A ", false, 1}, {"B ", false, 1}, {"C ", false, 1}, {"D", true, 1}}
            << "A B C D\n"
            << Stamp + "A B C D\n";
        QTest::newRow("weight 5 dropped from both")
            << Records{{"A", false, 1}, {"hidden", false, 5}, {"B", true, 1}, {"x", true, 9}}
            << "AB\n"
            << Stamp + "AB\n";
        QTest::newRow("newline inside text, one prefix")
            << Records{{"two\nlines", true, 1}} << "two\nlines\n"
            << Stamp + "two\nlines\n";
        QTest::newRow("pending text is shown, not filed")
            << Records{{"Elapsed Time: ", false, 1}} << "Elapsed Time: " << QByteArray();
        QTest::newRow("completed line leaves nothing pending")
            << Records{{"One ", false, 1}, {"done", true, 1}, {"Two", true, 2}}
            << "One done\nTwo\n"
            << Stamp + "One done\n" + Stamp + "Two\n";
    }
    void fileLines()
    {
        QFETCH(Records, records);
        QFETCH(QString, view);
        QFETCH(QByteArray, file);
        feed(records);
        QCOMPARE(m_edit->toPlainText(), view);
        QCOMPARE(contents(m_path), file);
    }

    void prefix_data()
    {
        QTest::addColumn<bool>("timeStamp");
        QTest::addColumn<bool>("longMonthName");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("long month")
            << true << true << QTime(20, 54, 14) << "2026-December-05 20:54:14 : ";
        QTest::newRow("month number")
            << true << false << QTime(20, 54, 14) << "2026-12-05 20:54:14 : ";
        QTest::newRow("hours padded, 24h")
            << true << true << QTime(8, 4, 9) << "2026-December-05 08:04:09 : ";
        QTest::newRow("no time stamp") << false << true << QTime(20, 54, 14) << "";
    }
    void prefix()
    {
        QFETCH(bool, timeStamp);
        QFETCH(bool, longMonthName);
        QFETCH(QTime, time);
        QFETCH(QString, prefix);
        LogFile file(m_path, timeStamp, longMonthName, true); // jalali: Gregorian anyway
        file.setLocale(English);
        file.setClock([time] { return QDateTime(StampTime.date(), time); });
        QVERIFY(file.Write("Part ", false));
        QVERIFY(file.Write("end", true));
        QCOMPARE(contents(m_path), (prefix + "Part end\n").toLocal8Bit());
    }

    void stampIsTakenWhenLineCompletes()
    {
        QDateTime now = StampTime;
        m_log->logFile().setClock([&now] { return now; });
        m_log->AppendRecord("Setting Programmer... ", QColor("black"), 1, false, false, false);
        now = now.addSecs(61);
        m_log->AppendRecord("OK", QColor("blue"), 4, false, false, true);
        QCOMPARE(contents(m_path),
                 QByteArray("2026-December-05 20:55:15 : Setting Programmer... OK\n"));
    }

    void unopenableFileLosesOnlyThatRecord()
    {
        const QString folder = m_dir.filePath("later");
        LogWindow log(m_edit, folder + "/Log.txt", false, true, true);
        QVERIFY(!log.logFile().Write("lost ", false));
        log.AppendRecord("shown", QColor("red"), 1, false, false, true);
        QCOMPARE(m_edit->toPlainText(), QString("shown\n"));
        QCOMPARE(log.logFile().pendingText(), QString());
        QVERIFY(QDir().mkpath(folder)); // later records try again
        log.AppendRecord("kept", QColor("red"), 1, false, false, true);
        QCOMPARE(contents(folder + "/Log.txt"), QByteArray("kept\n"));
    }

    void viewGoneStillFiles()
    {
        delete m_edit;
        m_edit = nullptr;
        feed({{"No view", true, 1}});
        QCOMPARE(contents(m_path), Stamp + "No view\n");
    }

    void dateFolderName_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("folder");
        QTest::newRow("english") << English << QDate(2026, 12, 5) << "2026_December_05";
        QTest::newRow("day padded") << English << QDate(2027, 1, 1) << "2027_January_01";
        QTest::newRow("blank in month name") << QLocale(QLocale::Vietnamese) << QDate(2026, 12, 5)
                                             << QString::fromUtf8("2026_th\u00e1ng_12_05");
    }
    void dateFolderName()
    {
        QFETCH(QLocale, locale);
        QFETCH(QDate, date);
        QFETCH(QString, folder);
        QCOMPARE(LogFile::dateFolderName(QDateTime(date, QTime(23, 59, 59)), locale), folder);
    }

    void secondStartAppendsToSameFile()
    {
        const QString work = m_dir.filePath("work");
        QVERIFY(QDir().mkpath(work));
        const QString expected = work + "/LOG/JobLog/2026_December_05/Log.txt";
        for (const char *text : {"first run", "second run"}) {
            const QString path =
                LogFile::chooseLogFilePath(StampTime.addSecs(-3600), work, "/exe", English);
            QCOMPARE(path, expected);
            LogWindow log(m_edit, path, true, true, true);
            log.logFile().setLocale(English);
            log.logFile().setClock([] { return StampTime; });
            log.AppendRecord(text, QColor("black"), 1, false, false, true);
        }
        QCOMPARE(contents(expected), Stamp + "first run\n" + Stamp + "second run\n");
    }

    void fallbackBesideExecutable_data()
    {
        QTest::addColumn<QString>("work");
        QTest::newRow("read-only folder") << "readonly";
        QTest::newRow("read-only file system") << "/proc";
        QTest::newRow("LOG is a file") << "blocked";
    }
    void fallbackBesideExecutable()
    {
        QFETCH(QString, work);
        if (work == "readonly") {
            work = m_dir.filePath(work);
            QVERIFY(QDir().mkpath(work));
            QFile::setPermissions(work, QFile::ReadOwner | QFile::ExeOwner);
            if (QDir().mkdir(work + "/probe")) // root ignores permissions
                QSKIP("the folder stays writable for this user");
        } else if (work == "blocked") {
            work = m_dir.filePath(work);
            QVERIFY(QDir().mkpath(work));
            QFile blocker(work + "/LOG");
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        QCOMPARE(LogFile::chooseLogFilePath(StampTime, work, "/opt/varnock", English),
                 QString("/opt/varnock/Log.txt"));
    }
};

QTEST_MAIN(TestLog)
#include "tst_log.moc"
