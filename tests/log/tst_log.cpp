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
    bool ownLine = false; // the window's own record that must not join an open line
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

    QTemporaryDir m_dir;
    QTextEdit *m_edit = nullptr;
    std::unique_ptr<LogWindow> m_log;
    QString m_path;
    int m_run = 0;

    void feed(const Records &records)
    {
        for (const Record &r : records) {
            if (r.ownLine)
                m_log->AppendOwnLine(r.text, r.weight, QColor("red"));
            else
                m_log->AppendRecord(r.text, QColor("black"), r.weight, false, false, r.newLine);
        }
    }

private slots:
    void init()
    {
        m_edit = new QTextEdit;
        m_path = m_dir.filePath(QStringLiteral("Log%1.txt").arg(++m_run));
        m_log = std::make_unique<LogWindow>(m_edit, m_path, true, true, true);
        m_log->logFile().setClock([] { return StampTime; });
        m_log->logFile().setLocale(English);
    }
    void cleanup()
    {
        m_log.reset();
        delete m_edit;
    }

    // Each row renders a formatted record, then a plain black one that must not inherit.
    void formatsDoNotCarryOver_data()
    {
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<bool>("underline");
        QTest::addColumn<QColor>("shown");
        QTest::addColumn<int>("fontWeight");
        const auto row = [](const char *name, QColor colour, int weight, bool italic,
                            bool underline, QColor shown, int fontWeight) {
            QTest::newRow(name) << colour << weight << italic << underline << shown << fontWeight;
        };
        row("negative weight normal", Qt::blue, -7, false, false, Qt::blue, 50);
        row("2 bold", Qt::green, 2, false, false, Qt::green, 75);
        row("3 demibold", Qt::red, 3, false, false, Qt::red, 63);
        row("4 extrabold", Qt::blue, 4, false, false, Qt::blue, 81);
        row("italic", Qt::gray, 1, true, false, Qt::gray, 50);
        row("underline", Qt::red, 1, false, true, Qt::red, 50);
        row("invalid colour black", QColor(), 1, false, false, Qt::black, 50);
    }
    void formatsDoNotCarryOver()
    {
        QFETCH(QColor, colour);
        QFETCH(int, weight);
        QFETCH(bool, italic);
        QFETCH(bool, underline);
        m_log->AppendRecord("First", colour, weight, italic, underline, false);
        m_log->AppendRecord("Next", QColor("black"), 1, false, false, true);
        const QTextCharFormat first = formatAt(m_edit->document(), 0);
        QTEST(first.foreground().color(), "shown");
        QTEST(first.fontWeight(), "fontWeight");
        QCOMPARE(first.fontItalic(), italic);
        QCOMPARE(first.fontUnderline(), underline);
        const QTextCharFormat next = formatAt(m_edit->document(), 5);
        QCOMPARE(next.foreground().color(), QColor("black"));
        QCOMPARE(next.fontWeight(), 50);
        QVERIFY(!next.fontItalic() && !next.fontUnderline());
    }

    void recordLandsAtEndWhateverTheOperatorSelected()
    {
        feed({{"Line one", true, 1}});
        QTextCursor selection(m_edit->document());
        selection.setPosition(4, QTextCursor::KeepAnchor);
        m_edit->setTextCursor(selection);
        m_log->AppendRecord("Line two", QColor("red"), 1, false, false, true);
        QCOMPARE(m_edit->toPlainText(), QString("Line one\nLine two\n"));
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
        QTest::newRow("weight 5 and more dropped from both")
            << Records{{"A", false, 1}, {"hidden", false, 5}, {"B", true, 1}, {"x", true, 9}}
            << "AB\n"
            << Stamp + "AB\n";
        QTest::newRow("newline inside text, one prefix")
            << Records{{"two\nlines", true, 1}} << "two\nlines\n"
            << Stamp + "two\nlines\n";
        QTest::newRow("own line goes above the open line")
            << Records{{"Erasing Chip... ", false, 1}, {"Wait!", true, 1, true}, {"OK", true, 4}}
            << "Wait!\nErasing Chip... OK\n"
            << Stamp + "Wait!\n" + Stamp + "Erasing Chip... OK\n";
        QTest::newRow("own line without an open line comes last")
            << Records{{"A", true, 1}, {"Wait!", true, 1, true}, {"B", true, 1}} << "A\nWait!\nB\n"
            << Stamp + "A\n" + Stamp + "Wait!\n" + Stamp + "B\n";
        QTest::newRow("pending text is shown, not filed")
            << Records{{"Elapsed Time: ", false, 1}} << "Elapsed Time: " << QByteArray();
    }
    void fileLines()
    {
        QFETCH(Records, records);
        feed(records);
        QTEST(m_edit->toPlainText(), "view");
        QTEST(contents(m_path), "file");
    }

    void stampIsTakenWhenLineCompletes()
    {
        QDateTime now = StampTime;
        m_log->logFile().setClock([&now] { return now; });
        feed({{"Setting Programmer... ", false, 1}});
        now = now.addSecs(61);
        feed({{"OK", true, 4}});
        QCOMPARE(contents(m_path),
                 QByteArray("2026-December-05 20:55:15 : Setting Programmer... OK\n"));
    }

    void unopenableFileLosesOnlyThatRecord()
    {
        const QString folder = m_dir.filePath("later");
        LogWindow log(m_edit, folder + "/Log.txt", false, true, true);
        log.AppendRecord("lost ", QColor("red"), 1, false, false, false);
        QCOMPARE(m_edit->toPlainText(), QString("lost "));
        QVERIFY(QDir().mkpath(folder)); // later records try again
        log.AppendRecord("kept", QColor("red"), 1, false, false, true);
        QCOMPARE(contents(folder + "/Log.txt"), QByteArray("kept\n"));
    }

    void secondStartAppendsToSameFile()
    {
        const QString work = m_dir.filePath("work");
        QVERIFY(QDir().mkpath(work));
        const QString expected = work + "/LOG/JobLog/2026_December_05/Log.txt";
        for (const char *text : {"first run", "second run"}) {
            const QString path = LogFile::chooseLogFilePath(StampTime, work, "/exe", English);
            QCOMPARE(path, expected);
            LogWindow log(m_edit, path, true, true, true);
            log.logFile().setLocale(English);
            log.logFile().setClock([] { return StampTime; });
            log.AppendRecord(text, QColor("black"), 1, false, false, true);
        }
        QCOMPARE(contents(expected), Stamp + "first run\n" + Stamp + "second run\n");
    }

    void fallbackBesideExecutableWhenNoFolderCanBeMade()
    {
        const QString blocked = m_dir.filePath("blocked");
        QVERIFY(QDir().mkpath(blocked));
        QVERIFY(QFile(blocked + "/LOG").open(QIODevice::WriteOnly));
        for (const QString &work : {QString("/proc"), blocked})
            QCOMPARE(LogFile::chooseLogFilePath(StampTime, work, "/opt/varnock", English),
                     QString("/opt/varnock/Log.txt"));
    }
};

QTEST_MAIN(TestLog)
#include "tst_log.moc"
