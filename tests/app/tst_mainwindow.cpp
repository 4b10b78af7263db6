// The main window on the emulated programmer: real buttons, dialogs and worker jobs.

#include "failonwarning.h"
#include "clickablelabel.h"
#include "emulatorharness.h"
#include "emulator/emulatedch341.h"
#include "filedialogdriver.h"
#include "hexedit/qhexedit.h"
#include "log/logfile.h"
#include "mainwindow.h"
#include "programmer/identify/chiplists.h"
#include "programmer/jobs/ch341.h"
#include "testfiles.h"
#include "regionchoice.h"
#include "regionimages.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QCompleter>
#include <QDirIterator>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QPointer>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(Qt::MouseButton)

namespace {
// One run of equally formatted log text as "text{colour,weight}".
QString Run(const QString &text, const QColor &colour, int weight)
{
    return QStringLiteral("%1{%2,%3}").arg(text, colour.name()).arg(weight);
}

constexpr int kChipSize = 1024 * 1024; // W25Q80DV
const QString kCompletedLine = Run(
    QStringLiteral("Operation Completed. <Performed By version 1.0.2>"), Qt::black, QFont::Bold);
const QString kRefusal =
    Run(QStringLiteral("Operation in Progress! Please Wait Until it is Completed."), Qt::red,
        QFont::Normal);
const char *const kButtons[] = {"btnRead", "btnWrite", "btnVerify", "btnErase"};

QStringList LogLines(const QTextEdit *log)
{
    QStringList lines;
    for (QTextBlock block = log->document()->begin(); block.isValid(); block = block.next()) {
        QString line;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            line += Run(it.fragment().text(), format.foreground().color(), format.fontWeight());
        }
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    template<typename T = QWidget> T *child(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    void click(const char *name) { QTest::mouseClick(child(name), Qt::LeftButton); }
    QTextEdit *log() const { return child<QTextEdit>("txtLog"); }
    QHexEdit *hexView() const { return m_window->findChild<QHexEdit *>(); }
    QString statusText() const { return m_window->statusBar()->findChild<QLabel *>()->text(); }
    // The question the window shows the operator, once it is on screen.
    QMessageBox *visibleQuestion() const
    {
        QMessageBox *question = nullptr;
        const bool shown = QTest::qWaitFor([&] {
            question = m_window->findChild<QMessageBox *>();
            return question && question->isVisible();
        });
        return shown ? question : nullptr;
    }
    // Starts an erase of the 4 MiB part only its SFDP table describes, filled from seed.
    QByteArray eraseSfdpChip(int seed)
    {
        m_harness.install(ChipKind::SfdpOnly);
        const QByteArray chip = RandomBytes(4 * 1024 * 1024, seed);
        m_harness.setMemory(chip);
        click("btnErase");
        return chip;
    }
    bool waitForIdle()
    {
        return QTest::qWaitFor(
            [this] { return !m_window->IsJobRunning() && child("btnRead")->isEnabled(); }, 60000);
    }

    bool jobControlsEnabled(bool enabled) const
    {
        for (const char *name : kButtons) {
            if (child(name)->isEnabled() != enabled)
                return false;
        }
        return child("widget")->isEnabled() == enabled &&
               child("cmbSpiClock")->isEnabled() == enabled &&
               child("chkReadTwice")->isEnabled() == enabled;
    }

    QTemporaryDir m_workingDir;
    std::unique_ptr<QTemporaryDir> m_settings;
    QList<QUrl> m_opened;
    std::unique_ptr<UrlCatcher> m_urlCatcher;
    EmulatorHarness m_harness;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<FileDialogDriver> m_dialogs;

private slots:
    void initTestCase()
    {
        // Keeps the window's log files out of the build tree.
        QVERIFY(m_workingDir.isValid());
        QVERIFY(QDir::setCurrent(m_workingDir.path()));
        m_urlCatcher = std::make_unique<UrlCatcher>(&m_opened);
    }

    void init()
    {
        // Each case starts as on a first run: no folder chosen yet.
        m_settings = std::make_unique<QTemporaryDir>();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings->path());
        m_harness.install(ChipKind::W25Q80DV);
        // A chip an earlier case kept is not in this case's list.
        QFile::remove(UserChipListPath());
        m_opened.clear();
        m_window = std::make_unique<MainWindow>();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        m_dialogs = std::make_unique<FileDialogDriver>();
    }

    void cleanup()
    {
        // A failed check may leave a job running; the window must outlive it.
        if (m_window)
            waitForIdle();
        m_dialogs.reset();
        m_window.reset();
    }

    void formAndProgressNarrowing()
    {
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Varnock SPI Flasher version 1.0.2"));
        QCOMPARE(m_window->minimumSize(), QSize(806, 714));
        QCOMPARE(m_window->maximumSize(), QSize(806, 714));
        QCOMPARE(statusText(), QStringLiteral("Idle."));
        // The update mode's checkbox sits at the left of the strip between the log and the
        // logo, which keep their places.
        QCOMPARE(child("chkUpdate")->geometry(), QRect(11, 422, 380, 24));
        // Read twice sits beside it, left of the CH347's clock.
        auto *readTwice = child<QCheckBox>("chkReadTwice");
        QCOMPARE(readTwice->geometry(), QRect(395, 422, 160, 24));
        QVERIFY(readTwice->geometry().right() < child("lblSpiClock")->geometry().left());
        QCOMPARE(readTwice->text(), QStringLiteral("Read twice and compare"));
        QCOMPARE(log()->geometry(), QRect(11, 226, 781, 192));
        QCOMPARE(child("layoutWidget1")->geometry(), QRect(11, 450, 781, 230));
        // The part field lies under the strip, left of the logo: Auto first, then every part of
        // every group, EEPROMs too.
        QCOMPARE(child("lblPart")->geometry(), QRect(11, 452, 128, 20));
        QCOMPARE(child("cmbPart")->geometry(), QRect(11, 474, 128, 24));
        const QRect logo(child("label")->mapTo(child("centralwidget"), QPoint()),
                         child("label")->size());
        // The 24xx I2C speed mirrors it right of the logo, under the SPI clock.
        QCOMPARE(child("lblI2cSpeed")->geometry(), QRect(664, 452, 128, 20));
        QCOMPARE(child("cmbI2cSpeed")->geometry(), QRect(664, 474, 128, 24));
        for (const char *name : {"lblPart", "cmbPart", "lblI2cSpeed", "cmbI2cSpeed"})
            QVERIFY2(!logo.intersects(child(name)->geometry()), name);
        auto *part = child<QComboBox>("cmbPart");
        QCOMPARE(part->currentText(), QStringLiteral("Auto"));
        QCOMPARE(part->itemText(0), QStringLiteral("Auto"));
        QVERIFY(part->findText(QStringLiteral("WINBOND W25Q80DV")) > 0);
        QVERIFY(part->findText(QStringLiteral("24Cxxx 24C02")) > 0);
        // The logo comes from the embedded resources.
        QVERIFY(!child<QLabel>("label")->pixmap(Qt::ReturnByValue).isNull());

        // The worker counts in 64 bits; the bar keeps the low 32.
        auto *pgb = child<QProgressBar>("pgb");
        m_window->SetProgreesBar_MaxValue((qulonglong(1) << 32) + 1000);
        m_window->UpdateProgreesBar_Value((qulonglong(1) << 32) + 5);
        QCOMPARE(pgb->maximum(), 1000);
        QCOMPARE(pgb->value(), 5);
    }

    // The CH347's clock sits at the right of the strip between log and logo, every other widget
    // where it was; the choice is remembered and reaches the next job.
    void spiClockChoice()
    {
        const QList<QPair<const char *, QRect>> kept = {{"widget", {11, 49, 781, 172}},
                                                        {"txtLog", {11, 226, 781, 192}},
                                                        {"layoutWidget", {11, 11, 781, 31}},
                                                        {"layoutWidget1", {11, 450, 781, 230}}};
        for (const auto &widget : kept)
            QCOMPARE(child(widget.first)->geometry(), widget.second);
        auto *clock = child<QComboBox>("cmbSpiClock");
        for (const char *part : {"lblSpiClock", "cmbSpiClock"}) {
            const QRect at = child(part)->geometry();
            QVERIFY(at.top() >= 418 && at.bottom() < 450 && at.left() > 11 + 781 / 2 &&
                    at.right() <= 792);
        }
        QCOMPARE(clock->currentText(), QStringLiteral("15 MHz"));
        QCOMPARE(clock->count(), 5);
        QCOMPARE(clock->itemText(4), QStringLiteral("Auto"));
        clock->setCurrentIndex(clock->findText(QStringLiteral("30 MHz")));
        m_window = std::make_unique<MainWindow>();
        clock = child<QComboBox>("cmbSpiClock");
        QCOMPARE(clock->currentText(), QStringLiteral("30 MHz"));

        m_harness.install(
            std::make_unique<emu::EmulatedLink>(emu::w25q80dv(), ch341::BridgeKind::Ch347));
        click("btnErase");
        QVERIFY(waitForIdle());
        QVERIFY(LogLines(log()).contains(Run("SPI clock: 30 MHz", QColor("gray"), QFont::Normal)));
    }

    // The 24xx I2C speed is remembered; a 24xx part chosen in the part field is read at it,
    // then written, verified and erased.
    void i2cSpeedChoice()
    {
        auto *speed = child<QComboBox>("cmbI2cSpeed");
        QCOMPARE(speed->currentText(), QStringLiteral("100 kHz"));
        QCOMPARE(speed->count(), 4);
        speed->setCurrentIndex(speed->findText(QStringLiteral("400 kHz")));
        m_window = std::make_unique<MainWindow>();
        QCOMPARE(child<QComboBox>("cmbI2cSpeed")->currentText(), QStringLiteral("400 kHz"));

        m_harness.install(
            std::make_unique<emu::EmulatedLink>(emu::eeprom24c256(), ch341::BridgeKind::Ch341a));
        const QByteArray chip = RandomBytes(32768, 37);
        m_harness.link().socketMemory().assign(chip.begin(), chip.end());
        auto *part = child<QComboBox>("cmbPart");
        part->setCurrentIndex(part->findText(QStringLiteral("24Cxxx 24C256")));
        const QString path = m_workingDir.filePath(QStringLiteral("24c256.bin"));
        m_dialogs->answerWith(path);
        click("btnRead");
        QVERIFY(waitForIdle());
        QCOMPARE(ReadFile(path), chip);
        auto &bridge = dynamic_cast<emu::EmulatedCh341 &>(m_harness.link().firmware());
        QCOMPARE(bridge.streamMode() & 0x03, 2); // 400 kHz

        // The same part chosen, through Write, Verify and Erase.
        const QByteArray image = RandomBytes(32768, 38);
        QVERIFY(WriteFile(path, image));
        m_dialogs->answerWith(path);
        click("btnWrite");
        QVERIFY(waitForIdle());
        const auto socket = [this] {
            const std::vector<uint8_t> &memory = m_harness.link().socketMemory();
            return QByteArray(reinterpret_cast<const char *>(memory.data()), int(memory.size()));
        };
        QCOMPARE(socket(), image);
        m_dialogs->answerWith(path);
        click("btnVerify");
        QVERIFY(waitForIdle());
        QVERIFY(log()->toPlainText().contains(QStringLiteral("Match Found!")));
        click("btnErase");
        QVERIFY(waitForIdle());
        QCOMPARE(socket(), QByteArray(32768, char(0xFF)));
        QVERIFY(log()->toPlainText().contains(QStringLiteral("Erasing Chip... OK")));
    }

    // Read twice is remembered and reaches the next read: over a noisy line no dump is saved.
    void readTwiceChoice()
    {
        QVERIFY(!child<QCheckBox>("chkReadTwice")->isChecked());
        child<QCheckBox>("chkReadTwice")->click();
        m_window = std::make_unique<MainWindow>();
        QVERIFY(child<QCheckBox>("chkReadTwice")->isChecked());

        const QString path = m_workingDir.filePath(QStringLiteral("twice.bin"));
        for (const uint32_t noise : {2000000u, 0u}) {
            QFile::remove(path);
            m_harness.setMemory(RandomBytes(kChipSize, 23));
            m_harness.chip().setNoisyMiso(noise);
            m_dialogs->answerWith(path);
            click("btnRead");
            QVERIFY(waitForIdle());
            m_harness.chip().setNoisyMiso(0);
            const QStringList lines = LogLines(log());
            QCOMPARE(QFile::exists(path), noise == 0);
            QCOMPARE(lines.filter(QStringLiteral("Both Reads Agree")).size(), noise == 0 ? 1 : 0);
            QCOMPARE(lines.filter(QStringLiteral("The Two Reads Differ in ")).size(), 1);
        }
        QCOMPARE(ReadFile(path), RandomBytes(kChipSize, 23));
    }

    void progressShowsNewestEachRound()
    {
        // A read emits a status text and a progress value per chunk, faster than the window
        // paints. Whenever the GUI thread runs during the job (here after every 16th value),
        // the window shows the newest of each, and paints the bar once per round.
        m_harness.setMemory(RandomBytes(kChipSize, 42));
        CH341 job(false);
        job.FileName = m_workingDir.filePath(QStringLiteral("shown.bin"));
        connect(&job, &CH341::SetProgreesBar_MaxValue, m_window.get(),
                &MainWindow::SetProgreesBar_MaxValue);
        m_window->ShowProgressOf(&job);
        auto *pgb = child<QProgressBar>("pgb");
        QSignalSpy painted(pgb, &QProgressBar::valueChanged);
        QString text;
        int values = 0;
        QStringList stale;
        connect(&job, &CH341::Set_Label_Status_TEXT, this, [&text](QString t) { text = t; });
        connect(&job, &CH341::UpdateProgreesBar_Value, this, [&](qulonglong value) {
            if (++values % 16 != 0 || text.isEmpty())
                return;
            const int paintedBefore = painted.size();
            QCoreApplication::processEvents();
            if (statusText() != text || qulonglong(pgb->value()) != value ||
                painted.size() > paintedBefore + 1)
                stale << QString::asprintf("the window shows \"%s\", %d (painted %d times) while "
                                           "the job reported \"%s\", %llu",
                                           qPrintable(statusText()), pgb->value(),
                                           int(painted.size() - paintedBefore), qPrintable(text),
                                           value);
        });
        job.DoReadFlash();
        QVERIFY2(stale.isEmpty(), qPrintable(stale.value(0)));
    }

    void hexViewRowsAndReadOnly()
    {
        QHexEdit *hex = hexView();
        const QByteArray chip = RandomBytes(kChipSize, 7);
        m_window->UpdateHexView(chip);
        QCOMPARE(hex->rowCount(), qint64(65536));
        // Eight-digit addresses, upper-case bytes one blank apart.
        const QString last = hex->rowText(65535);
        const QString lastBytes = QString::fromLatin1(chip.right(16).toHex(' ').toUpper());
        QVERIFY2(last.startsWith(QStringLiteral("000FFFF0 ")) && last.contains(lastBytes),
                 qPrintable(last));

        // Typing changes nothing.
        hex->setFocus();
        QTest::keyClicks(hex, QStringLiteral("00ff"));
        QTest::keyClick(hex, Qt::Key_Delete);
        QTest::keyClick(hex, Qt::Key_Backspace);
        QCOMPARE(hex->data(), chip);
    }

    void cancelledDialog_data()
    {
        QTest::addColumn<QString>("buttonName");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("proposesDump");

        const QString openCaption = QStringLiteral("Select Binary File");
        const QString openMessage = QStringLiteral("Please Select Binary File Name!");
        QTest::newRow("read") << "btnRead" << QStringLiteral("Enter Saved File Name")
                              << QStringLiteral("Please Select Saved File Name!") << true;
        QTest::newRow("write") << "btnWrite" << openCaption << openMessage << false;
    }

    void cancelledDialog()
    {
        QFETCH(QString, buttonName);
        QFETCH(QString, caption);
        QFETCH(QString, message);
        QFETCH(bool, proposesDump);

        m_dialogs->answerWith(QString());
        const QDateTime before = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
        click(qPrintable(buttonName));
        const QDateTime after = QDateTime::currentDateTime();

        QCOMPARE(m_dialogs->shown().size(), 1);
        const FileDialogDriver::Shown &shown = m_dialogs->shown().first();
        QCOMPARE(shown.caption, caption);
        QCOMPARE(shown.directory, QDir(QCoreApplication::applicationDirPath()).canonicalPath());
        QCOMPARE(shown.filters, QStringList{QStringLiteral("*.bin")});
        if (proposesDump) {
            // Local time of the press, 24-hour clock: a 12-hour or month-for-minute format
            // names another moment.
            const QRegularExpressionMatch name =
                QRegularExpression(QStringLiteral("^dump_(\\d{8}_\\d{6})\\.bin$"))
                    .match(shown.name);
            QVERIFY2(name.hasMatch(), qPrintable(shown.name));
            const QDateTime stamp =
                QDateTime::fromString(name.captured(1), QStringLiteral("yyyyMMdd_HHmmss"));
            QVERIFY2(stamp >= before && stamp <= after, qPrintable(shown.name));
        } else {
            QCOMPARE(shown.name, QString());
        }
        // Nothing started: no job, controls enabled, only the red request in the log.
        QVERIFY(!m_window->IsJobRunning());
        QVERIFY(jobControlsEnabled(true));
        QCOMPARE(LogLines(log()), QStringList{Run(message, Qt::red, QFont::Normal)});
    }

    void dialogsStartInLastChosenFolder()
    {
        // Installed in a folder the operator cannot write to, the dialogs start at home.
        QCOMPARE(MainWindow::DefaultDialogFolder(QStringLiteral("/no/such/folder")),
                 QDir::homePath());
        QVERIFY(QDir(m_workingDir.path()).mkpath(QStringLiteral("chosen")));
        const QString chosen =
            QDir(m_workingDir.path()).canonicalPath() + QStringLiteral("/chosen");
        m_dialogs->answerWith(chosen + QStringLiteral("/dump.bin"));
        click("btnRead");
        QVERIFY(waitForIdle());
        // Kept for the next start too.
        m_window = std::make_unique<MainWindow>();
        m_dialogs->answerWith(QString());
        click("btnVerify");
        click("btnRead");
        const QList<FileDialogDriver::Shown> &shown = m_dialogs->shown();
        QCOMPARE(shown.size(), 3);
        QCOMPARE(shown.at(1).directory, chosen);
        QCOMPARE(shown.at(2).directory, chosen);
    }

    void job_data()
    {
        QTest::addColumn<QString>("buttonName");
        QTest::addColumn<QByteArray>("fileBefore"); // null: no file
        QTest::addColumn<QByteArray>("memoryAfter");
        QTest::addColumn<QByteArray>("fileAfter"); // null: not checked
        QTest::addColumn<int>("progressMaximum");  // -1: not checked
        QTest::addColumn<bool>("fillsHexView");
        QTest::addColumn<QString>("verdict"); // a log line, or empty
        QTest::addColumn<bool>("updateMode");

        const QByteArray chip = RandomBytes(kChipSize, 21);
        const QByteArray blank(kChipSize, char(0xFF));
        // The last page is partly programmed.
        const QByteArray image = RandomBytes(300 * 1024 + 77, 32);
        const QByteArray same = chip.left(8192 + 5);
        QByteArray differing = same;
        differing[8192] = char(~differing.at(8192));
        const QByteArray none;

        QTest::newRow("write programs file")
            << "btnWrite" << image << image + blank.mid(image.size()) << image << int(image.size())
            << false << QString() << false;
        QTest::newRow("verify match fills hex view")
            << "btnVerify" << same << chip << same << int(same.size()) << true
            << Run(QStringLiteral("Match Found!"), Qt::darkGreen, QFont::Normal) << false;
        // The chip kept in LOG/Backup first; erasing most of it, the whole chip is cheaper.
        QTest::newRow("write in update mode keeps a backup")
            << "btnWrite" << image << image + blank.mid(image.size()) << image << int(image.size())
            << false << QString() << true;
    }

    void job()
    {
        QFETCH(QString, buttonName);
        QFETCH(QByteArray, fileBefore);
        QFETCH(QByteArray, memoryAfter);
        QFETCH(QByteArray, fileAfter);
        QFETCH(int, progressMaximum);
        QFETCH(bool, fillsHexView);
        QFETCH(QString, verdict);
        QFETCH(bool, updateMode);

        m_harness.setMemory(RandomBytes(kChipSize, 21));
        if (updateMode)
            child<QCheckBox>("chkUpdate")->click();
        const QString path = m_workingDir.filePath(QStringLiteral("image.bin"));
        QFile::remove(path);
        if (!fileBefore.isNull())
            QVERIFY(WriteFile(path, fileBefore));
        const QByteArray earlier("shown before the job");
        m_window->UpdateHexView(earlier);
        m_dialogs->answerWith(path);
        // A chip erase counts no bytes: while it runs the bar shows it busy.
        auto *pgb = child<QProgressBar>("pgb");
        bool busyWhileErasing = false;
        QObject scope;
        connect(log()->document(), &QTextDocument::contentsChanged, &scope, [&] {
            if (log()->document()->lastBlock().text() == QLatin1String("Erasing Chip... "))
                busyWhileErasing = pgb->minimum() == 0 && pgb->maximum() == 0;
        });

        click(qPrintable(buttonName));
        const int dialogs = buttonName == QLatin1String("btnErase") ? 0 : 1;
        QCOMPARE(m_dialogs->shown().size(), dialogs);
        QVERIFY(m_window->IsJobRunning());
        QVERIFY(jobControlsEnabled(false));
        // JobDone cannot have been delivered: no event was processed since.
        QVERIFY(!m_window->close());
        QVERIFY(m_window->isVisible());

        QVERIFY(waitForIdle());
        QVERIFY(jobControlsEnabled(true));
        QCOMPARE(statusText(), QStringLiteral("Idle."));
        QCOMPARE(m_harness.memory(), memoryAfter);
        if (!fileAfter.isNull())
            QCOMPARE(ReadFile(path), fileAfter);
        if (progressMaximum >= 0)
            QCOMPARE(pgb->maximum(), progressMaximum);
        QCOMPARE(busyWhileErasing, buttonName == "btnWrite" || buttonName == "btnErase");
        QDirIterator backups(m_workingDir.filePath(QStringLiteral("LOG/Backup")), QDir::Files,
                             QDirIterator::Subdirectories);
        QCOMPARE(backups.hasNext(), updateMode);
        if (updateMode) {
            QCOMPARE(ReadFile(backups.next()), RandomBytes(kChipSize, 21));
            QVERIFY(QDir(m_workingDir.filePath(QStringLiteral("LOG"))).removeRecursively());
            // Remembered for the next start.
            QVERIFY(MainWindow().findChild<QCheckBox *>(QStringLiteral("chkUpdate"))->isChecked());
        }
        // Done, the bar stays full until the next job; a mismatch leaves it where it stopped.
        QCOMPARE(pgb->maximum() > 0 && pgb->value() == pgb->maximum(),
                 !verdict.contains(QLatin1String("No Match")));
        QCOMPARE(hexView()->data(), fillsHexView ? fileBefore : earlier);

        const QStringList lines = LogLines(log());
        QCOMPARE(lines.count(kRefusal), 1);
        if (!verdict.isEmpty())
            QCOMPARE(lines.count(verdict), 1);
        // The job ends on the completion line in bold, then the elapsed time, its figure
        // demi-bold.
        QCOMPARE(lines.value(lines.size() - 2), kCompletedLine);
        const QRegularExpression elapsed(
            '^' +
            QRegularExpression::escape(Run(QStringLiteral("Elapsed Time: "), Qt::black, 50)) +
            QStringLiteral("(0|[1-9]\\d*)") +
            QRegularExpression::escape(Run(QStringLiteral(" seconds"), Qt::black, 63)) + '$');
        QVERIFY2(elapsed.match(lines.last()).hasMatch(), qPrintable(lines.last()));
        QVERIFY(m_window->close());
    }

    void refusalLeavesOpenLineWhole()
    {
        // The first page's progress arrives while "Writing to Chip... " waits for its "OK".
        const QString path = m_workingDir.filePath(QStringLiteral("pages.bin"));
        QVERIFY(WriteFile(path, RandomBytes(1024, 81)));
        m_dialogs->answerWith(path);
        bool refused = false;
        QObject scope;
        connect(child<QProgressBar>("pgb"), &QProgressBar::valueChanged, &scope, [&](int value) {
            if (value > 0 && !refused &&
                log()->document()->lastBlock().text() == QLatin1String("Writing to Chip... "))
                refused = !m_window->close();
        });
        click("btnWrite");
        QVERIFY(waitForIdle());
        QVERIFY(refused);

        const QStringList lines = LogLines(log());
        const int refusal = lines.indexOf(kRefusal);
        QVERIFY(refusal >= 0);
        QCOMPARE(lines.value(refusal + 1),
                 Run(QStringLiteral("Writing to Chip... "), Qt::black, QFont::Normal) +
                     Run(QStringLiteral("OK"), Qt::blue, QFont::ExtraBold));
    }

    void logFollowsRecordsAndIsReadOnly()
    {
        QTextEdit *view = log();
        const auto shows = [view](const QString &text) {
            const QTextCursor found = view->document()->find(text);
            return !found.isNull() && view->viewport()->rect().contains(view->cursorRect(found));
        };
        for (int i = 0; i < 40; ++i)
            m_window->UpdateLogWindow_Text(QStringLiteral("record %1").arg(i), Qt::black, 1, false,
                                           false, true);
        // The operator scrolled back; a refused close must still be seen.
        view->verticalScrollBar()->setValue(0);
        QVERIFY(!shows(QStringLiteral("record 39")));
        click("btnErase");
        QVERIFY(!m_window->close());
        QVERIFY(shows(QStringLiteral("Operation in Progress!")));
        QVERIFY(waitForIdle());

        const QString logged = view->toPlainText();
        view->setFocus();
        QTest::keyClicks(view, QStringLiteral("12"));
        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(view->toPlainText(), logged);
    }

    void twoJobsInARowUseNewWorkers()
    {
        click("btnErase");
        QPointer<CH341> first = m_window->CurrentWorker();
        QVERIFY(first);
        QVERIFY(waitForIdle());
        QVERIFY(!first);

        const QByteArray chip = RandomBytes(kChipSize, 61);
        m_harness.setMemory(chip);
        const QString dump = m_workingDir.filePath(QStringLiteral("second.bin"));
        m_dialogs->answerWith(dump);
        click("btnRead");
        QVERIFY(m_window->CurrentWorker());
        QVERIFY(waitForIdle());

        // A first worker still wired up would erase again in the restarted thread.
        QCOMPARE(ReadFile(dump), chip);
        QCOMPARE(m_harness.memory(), chip);
        QCOMPARE(LogLines(log()).count(kCompletedLine), 2);
    }

    void eraseSaysNothingOnTerminal()
    {
        // Nothing filtered: a line the erase printed for the terminal or the journal lands here.
        static QStringList printed;
        QLoggingCategory::setFilterRules(QString());
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &text) { printed << text; });
        click("btnErase");
        QVERIFY(waitForIdle());
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        QCOMPARE(printed, QStringList());
    }

    void tracedJobs()
    {
        // VARNOCK_TRACE names the file; the log says where it goes, or why it cannot.
        m_window->TraceJobs(QStringLiteral("/no/such/folder/trace.txt"));
        QCOMPARE(LogLines(log()).last(), QStringLiteral("Cannot Write Trace File /no/such/folder/"
                                                        "trace.txt: No such file or directory"
                                                        "{#ff0000,50}"));
        const QString trace = m_workingDir.filePath(QStringLiteral("trace.txt"));
        m_window->TraceJobs(trace);
        QCOMPARE(LogLines(log()).last(), "USB Trace Written to " + trace + "{#808080,50}");
        click("btnErase");
        QVERIFY(waitForIdle());
        m_window.reset();
        const QByteArray written = ReadFile(trace);
        QVERIFY(written.contains(" OUT 02 ") && written.contains(" varnock.trace: st "));
        // Each job the window traced ends with its outcome.
        QVERIFY(written.endsWith(" job outcome: Succeeded\n"));
    }

    void destroyedWindowLetsJobFinish()
    {
        m_harness.setMemory(RandomBytes(kChipSize, 71));
        click("btnErase");
        QPointer<CH341> worker = m_window->CurrentWorker();
        QVERIFY(worker);

        // Destroying a running thread would abort; the erase runs to its end instead.
        m_window.reset();
        QVERIFY(!worker);
        QCOMPARE(m_harness.memory(), QByteArray(kChipSize, char(0xFF)));
        QVERIFY(!m_harness.isOpen());
        QVERIFY(m_harness.isReleased());
    }

    void protectedChipAsksOperator_data()
    {
        QTest::addColumn<QString>("answer"); // a button, a key, or "close": the window goes away
        QTest::addColumn<QString>("last");   // the job's last log line
        const QString refused =
            QStringLiteral("Chip is Write Protected! Status Register: 0x1C 0x00");
        QTest::newRow("yes: cleared, erased") << "Yes"
                                              << "Erasing Chip... OK";
        QTest::newRow("no: refused as before") << "No" << refused;
        QTest::newRow("Enter: No is the default") << "Enter" << refused;
        QTest::newRow("window destroyed while asking") << "close" << QString();
    }

    void protectedChipAsksOperator()
    {
        QFETCH(QString, answer);
        QFETCH(QString, last);
        const QByteArray chip = RandomBytes(kChipSize, 81);
        m_harness.setMemory(chip);
        m_harness.setBlockProtect(7);
        click("btnErase");
        QMessageBox *question = visibleQuestion();
        QVERIFY(question);
        QCOMPARE(question->text(),
                 QStringLiteral("The chip is write protected (Status Register: "
                                "0x1C 0x00). Clear the protection and continue?"));
        QVERIFY(m_window->IsJobRunning());
        if (answer == QLatin1String("close")) {
            // The worker must not wait for an answer nobody can give any more.
            m_window.reset();
            QCOMPARE(m_harness.memory(), chip);
            QVERIFY(m_harness.isReleased());
            return;
        }
        if (answer == QLatin1String("Enter"))
            QTest::keyClick(question, Qt::Key_Return);
        else
            question->button(answer == QLatin1String("Yes") ? QMessageBox::Yes : QMessageBox::No)
                ->click();
        QVERIFY(waitForIdle());
        const QStringList lines =
            log()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.at(lines.size() - 3), last);
        QCOMPARE(lines.contains(QStringLiteral("Clearing Write Protection... OK")),
                 answer == QLatin1String("Yes"));
        // Only the job that succeeded ends with the bar full.
        auto *pgb = child<QProgressBar>("pgb");
        QCOMPARE(pgb->value() == pgb->maximum(), answer == QLatin1String("Yes"));
        QCOMPARE(m_harness.memory(),
                 answer == QLatin1String("Yes") ? QByteArray(kChipSize, char(0xFF)) : chip);
    }

    void sfdpChipAsksOperator_data()
    {
        QTest::addColumn<QString>("answer"); // No, or Yes and the name kept (empty: not kept)
        QTest::addColumn<QString>("kept");
        QTest::newRow("no: nothing erased") << "No"
                                            << "";
        QTest::newRow("yes, kept: the next job knows it by its row") << "Yes"
                                                                     << "XY25Q32";
        QTest::newRow("yes, not kept") << "Yes"
                                       << "";
    }

    // A chip in no list asks through the same window-modal question; No ends the job, Yes
    // offers to keep it in the user's own list under a name.
    void sfdpChipAsksOperator()
    {
        QFETCH(QString, answer);
        QFETCH(QString, kept);
        const QByteArray chip = eraseSfdpChip(91);
        QMessageBox *question = visibleQuestion();
        QVERIFY(question);
        QCOMPARE(question->text(),
                 QStringLiteral("The chip (JEDEC ID 0x4A4016) is not in the chip list. Its SFDP "
                                "table gives 4194304 bytes. Use it with these parameters?"));
        question->button(answer == QLatin1String("Yes") ? QMessageBox::Yes : QMessageBox::No)
            ->click();
        const QString list = QDir::toNativeSeparators(UserChipListPath());
        if (answer == QLatin1String("Yes")) {
            QInputDialog *name = nullptr;
            QVERIFY(QTest::qWaitFor([&] {
                name = m_window->findChild<QInputDialog *>();
                return name && name->isVisible();
            }));
            QVERIFY(name->labelText().contains(list));
            QCOMPARE(name->textValue(), QStringLiteral("SFDP-4A4016"));
            name->setTextValue(kept);
            if (kept.isEmpty())
                name->reject();
            else
                name->accept();
        }
        QVERIFY(waitForIdle());
        const QString shown = log()->toPlainText();
        QCOMPARE(shown.contains(QStringLiteral("No Chip Found in our Database based on this "
                                               "Flash IDs")),
                 answer == QLatin1String("No"));
        QCOMPARE(m_harness.memory(),
                 answer == QLatin1String("No") ? chip : QByteArray(chip.size(), char(0xFF)));
        QCOMPARE(QFile::exists(UserChipListPath()), !kept.isEmpty());
        if (kept.isEmpty())
            return;
        QVERIFY(shown.contains(QStringLiteral("Part XY25Q32 Kept in %1 line 2").arg(list)));
        // The part field knows it now, and the next job asks nothing.
        QVERIFY(child<QComboBox>("cmbPart")->findText(QStringLiteral("SFDP XY25Q32")) > 0);
        log()->clear();
        click("btnErase");
        QVERIFY(waitForIdle());
        QVERIFY2(log()->toPlainText().contains(
                     QStringLiteral("Vendor: SFDP Part no: XY25Q32 Capacity (Byte): 4194304 "
                                    "From: %1 line 2\nSupply Voltage")
                         .arg(list)),
                 qPrintable(log()->toPlainText()));
    }

    void userRowAgainstSfdpAsks_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes: SFDP's size, the whole chip erased") << true;
        QTest::newRow("no: nothing erased") << false;
    }

    // A user's row that the chip's SFDP table contradicts asks the operator, nothing chosen by
    // default; the red line names no command-line option.
    void userRowAgainstSfdpAsks()
    {
        QFETCH(bool, yes);
        ChipRecord row;
        row.protocol = QStringLiteral("SPI");
        row.idcmd = QStringLiteral("9F");
        row.vendor = QStringLiteral("ACME");
        row.partName = QStringLiteral("XY25Q32");
        row.id = QStringLiteral("4A4016");
        row.page = QStringLiteral("256");
        row.size = kChipSize;
        row.layout = QStringLiteral("default");
        int line = 0;
        QString error;
        QVERIFY(AppendUserRow(row, QStringLiteral("a datasheet"), &line, error));
        const QByteArray chip = eraseSfdpChip(97);
        QMessageBox *question = visibleQuestion();
        QVERIFY(question);
        const QString origin = QDir::toNativeSeparators(UserChipListPath()) + " line 2";
        QCOMPARE(question->text(),
                 QStringLiteral("The row of XY25Q32 in your chip list (%1) gives Capacity (Byte) "
                                "1048576, the chip's SFDP table 4194304. Use the row all the "
                                "same, with SFDP's capacity where they differ?")
                     .arg(origin));
        for (QAbstractButton *button : question->buttons())
            QVERIFY(!qobject_cast<QPushButton *>(button)->isDefault());
        question->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
        QVERIFY(waitForIdle());
        QVERIFY(LogLines(log()).contains(
            Run(QStringLiteral("The Row of XY25Q32 (%1) Gives Capacity (Byte) 1048576, the "
                               "Chip's SFDP 4194304: %2")
                    .arg(origin, yes ? "SFDP's Capacity Is Used" : "Not Used"),
                Qt::red, QFont::Normal)));
        QCOMPARE(m_harness.memory(), yes ? QByteArray(chip.size(), char(0xFF)) : chip);
    }

    void partChoiceAsksOperator_data()
    {
        QTest::addColumn<QString>("answer"); // a part's button, "Cancel" or "Enter"
        QTest::newRow("AT25F512 chosen: erased") << "AT25F512";
        QTest::newRow("Cancel: nothing sent") << "Cancel";
        QTest::newRow("Enter: nothing is chosen by default") << "Enter";
    }

    // AT25F1024, AT25F1024A and AT25F512 share 1F60: the operator names the part in the socket.
    void partChoiceAsksOperator()
    {
        QFETCH(QString, answer);
        m_harness.install(ChipKind::AT25F512);
        const QByteArray chip = RandomBytes(64 * 1024, 93);
        m_harness.setMemory(chip);
        click("btnErase");
        QMessageBox *question = visibleQuestion();
        QVERIFY(question);
        QCOMPARE(question->text(),
                 QStringLiteral("Parts of different sizes share the chip's identifier, and the "
                                "chip does not tell which it is. Which part is in the socket?"));
        QStringList buttons;
        for (QAbstractButton *button : question->buttons())
            buttons << button->text();
        buttons.sort();
        QCOMPARE(buttons, QStringList({"AT25F1024", "AT25F1024A", "AT25F512", "Cancel"}));
        QAbstractButton *part = nullptr;
        for (QAbstractButton *button : question->buttons())
            part = button->text() == answer && answer.startsWith("AT") ? button : part;
        if (part)
            part->click();
        else if (answer == QLatin1String("Enter"))
            QTest::keyClick(question, Qt::Key_Return);
        else
            question->button(QMessageBox::Cancel)->click();
        QVERIFY(waitForIdle());
        const QString shown = log()->toPlainText();
        QCOMPARE(shown.contains(QStringLiteral("Chosen Part no: AT25F512 Capacity (Byte): 65536\n"
                                               "Supply Voltage: 2.7-3.6 V\n"
                                               "Erasing Chip... OK")),
                 part != nullptr);
        QCOMPARE(shown.contains(QStringLiteral("Parts of Different Sizes Share this ID, None "
                                               "Chosen: AT25F1024, AT25F1024A, AT25F512")),
                 part == nullptr);
        QCOMPARE(m_harness.memory(), part ? QByteArray(chip.size(), char(0xFF)) : chip);
        const QList<QByteArray> frames = m_harness.frames();
        QCOMPARE(std::any_of(frames.cbegin(), frames.cend(),
                             [](const QByteArray &frame) { return frame.startsWith(0x06); }),
                 part != nullptr);
    }

    void regionChoice_data()
    {
        QTest::addColumn<QString>("answer"); // "Write", "untick me" or "Cancel"
        QTest::newRow("Write: every region the file changes") << "Write";
        QTest::newRow("the ME region unticked: the chip keeps it") << "untick me";
        QTest::newRow("Cancel: nothing erased") << "Cancel";
    }

    // In update mode a file and a chip that both hold a descriptor: the operator chooses the
    // regions, each changed one ticked to begin with.
    void regionChoice()
    {
        using namespace regionimages;
        QFETCH(QString, answer);
        m_harness.install(ChipKind::W25Q64FV);
        const QByteArray chip = BiosImage(Generation::Ich8);
        m_harness.setMemory(chip);
        QByteArray image = chip;
        image.replace(0x100000, 4096, RandomBytes(4096, 61)); // me
        image.replace(0x400000, 4096, RandomBytes(4096, 62)); // bios
        const QString path = m_workingDir.filePath(QStringLiteral("bios.bin"));
        QVERIFY(WriteFile(path, image));
        child<QCheckBox>("chkUpdate")->click();
        m_dialogs->answerWith(path);
        click("btnWrite");
        RegionChoice *question = nullptr;
        QVERIFY(QTest::qWaitFor(
            [&] {
                question = m_window->findChild<RegionChoice *>();
                return question && question->isVisible();
            },
            30000));
        auto *list = question->findChild<QListWidget *>(QStringLiteral("regions"));
        QStringList shown;
        for (int i = 0; i < list->count(); ++i)
            shown << list->item(i)->text() +
                         (list->item(i)->checkState() == Qt::Checked ? " [x]" : " [ ]");
        QCOMPARE(shown, QStringList({"fd  0x000000-0x000FFF  the same in the file [ ]",
                                     "bios  0x302000-0x7FFFFF  changed by the file [x]",
                                     "me  0x001000-0x2FFFFF  changed by the file [x]",
                                     "gbe  0x300000-0x301FFF  the same in the file [ ]"}));
        if (answer == QLatin1String("untick me"))
            list->item(2)->setCheckState(Qt::Unchecked);
        auto *buttons = question->findChild<QDialogButtonBox *>();
        for (QAbstractButton *button : buttons->buttons())
            if (button->text() == (answer == QLatin1String("Cancel") ? "Cancel" : "Write"))
                button->click();
        QVERIFY(waitForIdle());
        QByteArray after = answer == QLatin1String("Cancel") ? chip : image;
        if (answer == QLatin1String("untick me"))
            after.replace(0x1000, 0x2FF000, chip.mid(0x1000, 0x2FF000));
        QVERIFY2(m_harness.memory() == after, "the chip does not hold the regions chosen");
        const QStringList lines = log()->toPlainText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.contains(
                     QStringLiteral("Region me: 0x001000-0x2FFFFF Kept as the Chip Holds It")),
                 answer == QLatin1String("untick me"));
        QCOMPARE(lines.contains(QStringLiteral("No Region Written: the Chip Is Unchanged")),
                 answer == QLatin1String("Cancel"));
        QVERIFY(QDir(m_workingDir.filePath(QStringLiteral("LOG"))).removeRecursively());
    }

    void partField_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("pick");   // the completion chosen; empty: the text as typed
        QTest::addColumn<QString>("answer"); // to the question of another id; empty: none
        QTest::addColumn<QString>("parts");  // those the match lines list, "> " the chosen one
        QTest::addColumn<QStringList>("reds");
        QTest::addColumn<bool>("erased");

        const QString all = QStringLiteral("W25Q80BL W25Q80BV W25Q80DV W25Q80RV");
        QTest::newRow("Auto: every row of the id") << ""
                                                   << ""
                                                   << "" << all << QStringList() << true;
        QTest::newRow("a fragment's completion: that row")
            << "q80d"
            << "WINBOND W25Q80DV"
            << "" << all + " > W25Q80DV" << QStringList() << true;
        QTest::newRow("the part typed alone, in any case")
            << "w25q80dv"
            << ""
            << "" << all + " > W25Q80DV" << QStringList() << true;
        const QString x80 = QStringLiteral("WINBOND W25X80");
        QTest::newRow("another id, yes: forced")
            << "25x8" << x80 << "Yes"
            << "W25X80"
            << QStringList{"Forced Part W25X80 (ID 0xEF3014) on a Chip Answering 0xEF4014: Its "
                           "Facts Are Used as They Stand"}
            << true;
        QTest::newRow("another id, no: declined")
            << "25x8" << x80 << "No"
            << ""
            << QStringList{"Part W25X80 Has ID 0xEF3014, the Chip Answers 0xEF4014: Not Used",
                           "Failed to Initialize CH341 Programmer."}
            << false;
        QTest::newRow("a name no list has: nothing started")
            << "XY99"
            << ""
            << ""
            << "" << QStringList{"Part XY99 Is in No Chip List"} << false;
        QTest::newRow("a 93xx part with its organisation: taken, the flash socket silent")
            << "M93C46-x8"
            << ""
            << ""
            << "> M93C46"
            << QStringList{"The Chip Does Not Answer: No Dummy 0 Before the Data of a Read, DO "
                           "Stays High",
                           "Check the Chip Sits in the 93xx Adapter in the 25xx Position of the "
                           "Socket, Pin 1 as Marked",
                           "Failed to Initialize CH341 Programmer."}
            << false;
    }

    // The part field acts as --part; an id that differs asks the operator, nothing chosen by
    // default, instead of --force-part.
    void partField()
    {
        QFETCH(QString, typed);
        QFETCH(QString, pick);
        QFETCH(QString, answer);
        QFETCH(QString, parts);
        QFETCH(QStringList, reds);
        QFETCH(bool, erased);
        const QByteArray chip = RandomBytes(kChipSize, 95);
        m_harness.setMemory(chip);
        auto *part = child<QComboBox>("cmbPart");
        if (!typed.isEmpty()) {
            part->lineEdit()->clear();
            QTest::keyClicks(part->lineEdit(), typed);
        }
        if (!pick.isEmpty()) {
            // Every completion holds the fragment, in any case.
            QAbstractItemView *popup = part->completer()->popup();
            QVERIFY(QTest::qWaitFor([popup] { return popup->isVisible(); }));
            const QAbstractItemModel *shown = popup->model();
            for (int row = 0; row < shown->rowCount(); ++row)
                QVERIFY(
                    shown->index(row, 0).data().toString().contains(typed, Qt::CaseInsensitive));
            const QModelIndexList found =
                shown->match(shown->index(0, 0), Qt::DisplayRole, pick, 1, Qt::MatchExactly);
            QCOMPARE(found.size(), 1);
            popup->setCurrentIndex(found.first());
            QTest::keyClick(popup, Qt::Key_Return);
            QCOMPARE(part->currentText(), pick);
        }
        click("btnErase");
        if (!answer.isEmpty()) {
            QMessageBox *question = visibleQuestion();
            QVERIFY(question);
            QCOMPARE(question->text(),
                     QStringLiteral("The chip answers ID 0xEF4014, part W25X80 has ID 0xEF3014. "
                                    "Use the facts of W25X80 on this chip all the same?"));
            // Neither answer is the default: Enter gives none.
            for (QAbstractButton *button : question->buttons())
                QVERIFY(!qobject_cast<QPushButton *>(button)->isDefault());
            QTest::keyClick(question, Qt::Key_Return);
            QVERIFY(question->isVisible());
            question->button(answer == QLatin1String("Yes") ? QMessageBox::Yes : QMessageBox::No)
                ->click();
        }
        QVERIFY(waitForIdle());
        QStringList listed;
        QStringList red;
        for (const QString &line : log()->toPlainText().split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("Vendor: WINBOND Part no: ")))
                listed << line.section(QLatin1Char(' '), 4, 4);
            if (line.startsWith(QLatin1String("Chosen Part no: ")))
                listed << QStringLiteral(">") << line.section(QLatin1Char(' '), 3, 3);
        }
        QCOMPARE(listed.join(QLatin1Char(' ')), parts);
        for (const QString &line : LogLines(log())) {
            if (line.endsWith(QLatin1String("{#ff0000,50}")))
                red << line.chopped(12);
        }
        QCOMPARE(red, reds);
        QCOMPARE(m_harness.memory(), erased ? QByteArray(kChipSize, char(0xFF)) : chip);
        if (typed == QLatin1String("XY99"))
            QCOMPARE(m_harness.transfers(), quint64(0));
        // Not remembered: the next start finds the chip by its id.
        m_window = std::make_unique<MainWindow>();
        QCOMPARE(child<QComboBox>("cmbPart")->currentText(), QStringLiteral("Auto"));
    }

    void logoPress_data()
    {
        QTest::addColumn<Qt::MouseButton>("mouseButton");
        QTest::addColumn<int>("opened"); // of three presses

        QTest::newRow("each left press opens the page") << Qt::LeftButton << 3;
        QTest::newRow("right opens nothing") << Qt::RightButton << 0;
        QTest::newRow("middle opens nothing") << Qt::MiddleButton << 0;
    }

    void logoPress()
    {
        QFETCH(Qt::MouseButton, mouseButton);
        QFETCH(int, opened);

        auto *label = child<ClickableLabel>("label");
        QCOMPARE(label->cursor().shape(), Qt::PointingHandCursor);
        for (int i = 0; i < 3; ++i) {
            // The page opens on the press itself, before any release.
            QTest::mousePress(label, mouseButton);
            QCOMPARE(m_opened.size(), opened ? i + 1 : 0);
            QTest::mouseRelease(label, mouseButton);
        }
        QCOMPARE(m_opened.size(), opened);
        if (opened)
            QCOMPARE(m_opened.first().scheme(), QStringLiteral("https"));
    }
};

int main(int argc, char *argv[])
{
    // The toolkit's own dialogs, answerable from inside their event loop.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    // The worker's trace lines would drown the results.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    TestMainWindow test;
    return TestSupport::ExecFailingOnWarnings(&test, argc, argv);
}

#include "tst_mainwindow.moc"
