// The main window, offscreen, on the emulated programmer: real buttons, real
// (non-native) file dialogs answered from their own event loop, real jobs on
// the worker thread. Tests look at the form, the log view's formats, the hex
// view, the progress bar and the emulated chip's memory.

#include "emulatorharness.h"
#include "testfiles.h"
#include "filedialogdriver.h"
#include "clickablelabel.h"
#include "mainwindow.h"
#include "hexedit/qhexedit.h"
#include "programmer/ch341.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(Qt::MouseButton)

namespace {
constexpr int kChipSize = 1024 * 1024; // W25Q80DV
constexpr int kJobTimeoutMs = 60000;
const QString kTitle = QStringLiteral("Varnock SPI Flasher version 1.0.2");
const QString kCompleted = QStringLiteral("Operation Completed. <Performed By version 1.0.2>");

// One run of equally formatted text in the log view.
struct LogRun
{
    QString text;
    QColor colour;
    int weight;
    bool italic;
    bool underline;
};

QList<QList<LogRun>> LogLines(const QTextEdit *log)
{
    QList<QList<LogRun>> lines;
    for (QTextBlock block = log->document()->begin(); block.isValid(); block = block.next()) {
        QList<LogRun> runs;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            runs.append({fragment.text(), format.foreground().color(), format.fontWeight(),
                         format.fontItalic(), format.fontUnderline()});
        }
        if (!runs.isEmpty())
            lines.append(runs);
    }
    return lines;
}

QString LineText(const QList<LogRun> &runs)
{
    QString text;
    for (const LogRun &run : runs)
        text += run.text;
    return text;
}

int CountLines(const QTextEdit *log, const QString &text)
{
    int count = 0;
    for (const QList<LogRun> &runs : LogLines(log))
        count += LineText(runs) == text ? 1 : 0;
    return count;
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void titleAndFixedSize();
    void formObjects_data();
    void formObjects();
    void formLayouts();
    void logoLabelSettings();
    void progressBarAndStatusBar();
    void hexViewLiesOverPlaceholder();
    void hexViewShowsWholeChip();
    void hexViewIsReadOnly();
    void progressNarrowing_data();
    void progressNarrowing();

    void cancelledDialog_data();
    void cancelledDialog();
    void saveDialogProposesDatedDump();
    void readJobDumpsChip();
    void writeJobProgramsFile();
    void eraseJobBlanksChip();
    void verifyJob_data();
    void verifyJob();
    void runningJob_data();
    void runningJob();
    void completionLines();
    void twoJobsInARowUseNewWorkers();
    void closeRefusedWhileRunning();
    void destroyedWindowLetsJobFinish();

    void logoPress_data();
    void logoPress();
    void logoCursorIsPointingHand();

private:
    template<typename T> T *child(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QPushButton *button(const char *name) const { return child<QPushButton>(name); }
    QTextEdit *log() const { return child<QTextEdit>("txtLog"); }
    QHexEdit *hexView() const { return m_window->findChild<QHexEdit *>(); }
    QLabel *statusLabel() const;
    bool waitForIdle();
    bool allJobControlsEnabled(bool enabled) const;
    QString imageFile(const QString &name, const QByteArray &contents);

    QTemporaryDir m_workingDir;
    QTemporaryDir m_files;
    QList<QUrl> m_opened;
    std::unique_ptr<UrlCatcher> m_urlCatcher;
    EmulatorHarness m_harness;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<FileDialogDriver> m_dialogs;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(m_workingDir.isValid());
    QVERIFY(m_files.isValid());
    // The window files its log under the working directory; keep it out of the build tree.
    QVERIFY(QDir::setCurrent(m_workingDir.path()));
    m_urlCatcher = std::make_unique<UrlCatcher>(&m_opened);
}

void TestMainWindow::init()
{
    m_harness.install(ChipKind::W25Q80DV);
    m_opened.clear();
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_dialogs = std::make_unique<FileDialogDriver>();
}

void TestMainWindow::cleanup()
{
    // A failed check may leave a job running; the window must outlive it.
    if (m_window)
        waitForIdle();
    m_dialogs.reset();
    m_window.reset();
}

QLabel *TestMainWindow::statusLabel() const
{
    const QList<QLabel *> labels =
        m_window->statusBar()->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
    return labels.size() == 1 ? labels.first() : nullptr;
}

bool TestMainWindow::waitForIdle()
{
    return QTest::qWaitFor(
        [this] { return !m_window->IsJobRunning() && button("btnRead")->isEnabled(); },
        kJobTimeoutMs);
}

bool TestMainWindow::allJobControlsEnabled(bool enabled) const
{
    for (const char *name : {"btnRead", "btnWrite", "btnVerify", "btnErase", "widget"}) {
        if (child<QWidget>(name)->isEnabled() != enabled)
            return false;
    }
    return true;
}

QString TestMainWindow::imageFile(const QString &name, const QByteArray &contents)
{
    const QString path = m_files.filePath(name);
    return WriteFile(path, contents) ? path : QString();
}

void TestMainWindow::titleAndFixedSize()
{
    QCOMPARE(m_window->windowTitle(), kTitle);
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("1.0.2"));
    QCOMPARE(m_window->size(), QSize(806, 714));
    QCOMPARE(m_window->minimumSize(), QSize(806, 714));
    QCOMPARE(m_window->maximumSize(), QSize(806, 714));
    QVERIFY(m_window->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint));
    QVERIFY(!m_window->windowFlags().testFlag(Qt::WindowFullscreenButtonHint));
    QCOMPARE(m_window->objectName(), QStringLiteral("MainWindow"));
}

void TestMainWindow::formObjects_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry"); // checked when valid
    QTest::addColumn<QString>("text");

    const QRect anyGeometry;
    QTest::newRow("centralwidget") << "centralwidget"
                                   << "QWidget"
                                   << "MainWindow" << anyGeometry << "";
    QTest::newRow("widget placeholder") << "widget"
                                        << "QWidget"
                                        << "centralwidget" << QRect(11, 49, 781, 172) << "";
    QTest::newRow("txtLog") << "txtLog"
                            << "QTextEdit"
                            << "centralwidget" << QRect(11, 226, 781, 192) << "";
    QTest::newRow("layoutWidget") << "layoutWidget"
                                  << "QWidget"
                                  << "centralwidget" << QRect(11, 11, 781, 31) << "";
    QTest::newRow("btnRead") << "btnRead"
                             << "QPushButton"
                             << "layoutWidget" << anyGeometry << "Read";
    QTest::newRow("btnWrite") << "btnWrite"
                              << "QPushButton"
                              << "layoutWidget" << anyGeometry << "Write";
    QTest::newRow("btnVerify") << "btnVerify"
                               << "QPushButton"
                               << "layoutWidget" << anyGeometry << "Verify";
    QTest::newRow("btnErase") << "btnErase"
                              << "QPushButton"
                              << "layoutWidget" << anyGeometry << "Erase";
    QTest::newRow("layoutWidget1") << "layoutWidget1"
                                   << "QWidget"
                                   << "centralwidget" << QRect(11, 450, 781, 230) << "";
    QTest::newRow("label") << "label"
                           << "ClickableLabel"
                           << "layoutWidget1" << anyGeometry << "";
    QTest::newRow("pgb") << "pgb"
                         << "QProgressBar"
                         << "layoutWidget1" << anyGeometry << "";
    QTest::newRow("sts") << "sts"
                         << "QStatusBar"
                         << "MainWindow" << anyGeometry << "";
}

void TestMainWindow::formObjects()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    auto *widget = m_window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QVERIFY(widget->parentWidget());
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    if (geometry.isValid())
        QCOMPARE(widget->geometry(), geometry);
    if (auto *pushButton = qobject_cast<QPushButton *>(widget))
        QCOMPARE(pushButton->text(), text);
}

void TestMainWindow::formLayouts()
{
    auto *central = child<QWidget>("centralwidget");
    QCOMPARE(m_window->centralWidget(), central);
    QCOMPARE(m_window->statusBar(), child<QStatusBar>("sts"));

    // Creation order decides the stacking: the placeholder, log, button row, logo block.
    QStringList order;
    for (QObject *object : central->children())
        order << object->objectName();
    QCOMPARE(order, QStringList({"widget", "txtLog", "layoutWidget", "layoutWidget1"}));

    auto *buttonRow = child<QWidget>("layoutWidget")->layout();
    QVERIFY(qobject_cast<QHBoxLayout *>(buttonRow));
    QCOMPARE(buttonRow->objectName(), QStringLiteral("horizontalLayout_2"));
    QCOMPARE(buttonRow->contentsMargins(), QMargins(0, 0, 0, 0));
    QStringList buttons;
    for (int i = 0; i < buttonRow->count(); ++i)
        buttons << buttonRow->itemAt(i)->widget()->objectName();
    QCOMPARE(buttons, QStringList({"btnRead", "btnWrite", "btnVerify", "btnErase"}));

    auto *column = qobject_cast<QVBoxLayout *>(child<QWidget>("layoutWidget1")->layout());
    QVERIFY(column);
    QCOMPARE(column->objectName(), QStringLiteral("verticalLayout"));
    QCOMPARE(column->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(column->count(), 2);
    auto *logoRow = qobject_cast<QHBoxLayout *>(column->itemAt(0)->layout());
    QVERIFY(logoRow);
    QCOMPARE(logoRow->objectName(), QStringLiteral("horizontalLayout"));
    QCOMPARE(column->itemAt(1)->widget(), child<QWidget>("pgb"));
    QCOMPARE(column->stretch(0), 0);
    QCOMPARE(column->stretch(1), 0);

    QCOMPARE(logoRow->count(), 3);
    QCOMPARE(logoRow->itemAt(1)->widget(), child<QWidget>("label"));
    const QSize spacerHints[] = {QSize(48, 20), QSize(78, 20)};
    const int spacerPositions[] = {0, 2};
    for (int i = 0; i < 2; ++i) {
        QSpacerItem *spacer = logoRow->itemAt(spacerPositions[i])->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), spacerHints[i]);
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(logoRow->stretch(spacerPositions[i]), 0);
    }
}

void TestMainWindow::logoLabelSettings()
{
    auto *label = child<ClickableLabel>("label");
    QVERIFY(label);
    QCOMPARE(label->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(label->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(label->sizePolicy().horizontalStretch(), 0);
    QCOMPARE(label->sizePolicy().verticalStretch(), 0);
    QCOMPARE(label->maximumSize(), QSize(511, 191));
    QVERIFY(label->hasScaledContents());
    QVERIFY(label->text().isEmpty());
    // The logo comes from the embedded resources, registered before the form is built.
    QVERIFY(!label->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(label->width() <= 511 && label->height() <= 191);
    QVERIFY(label->isVisible());
}

void TestMainWindow::progressBarAndStatusBar()
{
    auto *pgb = child<QProgressBar>("pgb");
    QCOMPARE(pgb->value(), 0);
    QCOMPARE(pgb->minimum(), 0);
    QCOMPARE(pgb->maximum(), 100);
    QCOMPARE(pgb->alignment(), Qt::AlignCenter);

    auto *sts = child<QStatusBar>("sts");
    QVERIFY(sts->autoFillBackground());
    QVERIFY(!sts->isSizeGripEnabled());
    QLabel *status = statusLabel();
    QVERIFY(status);
    QCOMPARE(status->text(), QStringLiteral("Idle."));
    // Stretched over the bar: nothing else shares its width.
    QVERIFY2(status->width() > sts->width() * 3 / 4,
             qPrintable(QStringLiteral("%1 of %2").arg(status->width()).arg(sts->width())));
}

void TestMainWindow::hexViewLiesOverPlaceholder()
{
    QHexEdit *hex = hexView();
    QVERIFY(hex);
    QCOMPARE(hex->parentWidget(), static_cast<QWidget *>(m_window.get()));
    QCOMPARE(hex->geometry(), QRect(11, 49, 781, 172));
    QVERIFY(hex->isVisible());
    QVERIFY(hex->data().isEmpty());
}

void TestMainWindow::hexViewShowsWholeChip()
{
    QByteArray chip = RandomBytes(kChipSize, 7);
    chip[kChipSize - 16] = char(0xAB);
    m_window->UpdateHexView(chip);

    QHexEdit *hex = hexView();
    QCOMPARE(hex->data(), chip);
    QCOMPARE(hex->rowCount(), qint64(65536));
    QVERIFY(hex->rowText(0).startsWith(QStringLiteral("00000000 ")));
    QVERIFY(hex->rowText(0xA).startsWith(QStringLiteral("000000A0 ")));
    const QString last = hex->rowText(65535);
    QVERIFY2(last.startsWith(QStringLiteral("000FFFF0 ")), qPrintable(last));
    // Upper-case digits, one blank between bytes.
    const QString lastBytes = QString::fromLatin1(chip.right(16).toHex(' ').toUpper());
    QVERIFY2(last.contains(lastBytes), qPrintable(last));
    QVERIFY(hex->rowText(65536).isEmpty());

    m_window->UpdateHexView(QByteArray());
    QCOMPARE(hex->rowCount(), qint64(0));
}

void TestMainWindow::hexViewIsReadOnly()
{
    const QByteArray data = RandomBytes(kChipSize, 3);
    m_window->UpdateHexView(data);
    QHexEdit *hex = hexView();
    hex->setFocus();
    // The caret still moves: one byte right, one row of 16 down.
    QTest::keyClick(hex, Qt::Key_Right);
    QTest::keyClick(hex, Qt::Key_Down);
    QCOMPARE(hex->cursorPosition(), qint64(17));
    QTest::keyClicks(hex, QStringLiteral("00ff"));
    QTest::keyClick(hex, Qt::Key_Delete);
    QTest::keyClick(hex, Qt::Key_Backspace);
    QCOMPARE(hex->data(), data);
}

void TestMainWindow::progressNarrowing_data()
{
    QTest::addColumn<qulonglong>("maximum");
    QTest::addColumn<qulonglong>("value");
    QTest::addColumn<int>("shownMaximum");
    QTest::addColumn<int>("shownValue");
    QTest::addColumn<QString>("text");

    QTest::newRow("whole chip, half read")
        << qulonglong(1048576) << qulonglong(524288) << 1048576 << 524288 << "50%";
    QTest::newRow("value keeps low 32 bits")
        << qulonglong(100) << (qulonglong(1) << 32) + 5 << 100 << 5 << "5%";
    QTest::newRow("maximum keeps low 32 bits")
        << (qulonglong(1) << 32) + 1000 << qulonglong(250) << 1000 << 250 << "25%";
    QTest::newRow("32 MiB chip done")
        << qulonglong(33554432) << qulonglong(33554432) << 33554432 << 33554432 << "100%";
}

void TestMainWindow::progressNarrowing()
{
    QFETCH(qulonglong, maximum);
    QFETCH(qulonglong, value);
    QFETCH(int, shownMaximum);
    QFETCH(int, shownValue);
    QFETCH(QString, text);

    auto *pgb = child<QProgressBar>("pgb");
    m_window->SetProgreesBar_MaxValue(maximum);
    m_window->UpdateProgreesBar_Value(value);
    QCOMPARE(pgb->minimum(), 0);
    QCOMPARE(pgb->maximum(), shownMaximum);
    QCOMPARE(pgb->value(), shownValue);
    QCOMPARE(pgb->text(), text);
}

void TestMainWindow::cancelledDialog_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QFileDialog::AcceptMode>("acceptMode");
    QTest::addColumn<QString>("message");

    QTest::newRow("read") << "btnRead"
                          << "Enter Saved File Name" << QFileDialog::AcceptSave
                          << "Please Select Saved File Name!";
    QTest::newRow("write") << "btnWrite"
                           << "Select Binary File" << QFileDialog::AcceptOpen
                           << "Please Select Binary File Name!";
    QTest::newRow("verify") << "btnVerify"
                            << "Select Binary File" << QFileDialog::AcceptOpen
                            << "Please Select Binary File Name!";
}

void TestMainWindow::cancelledDialog()
{
    QFETCH(QString, buttonName);
    QFETCH(QString, caption);
    QFETCH(QFileDialog::AcceptMode, acceptMode);
    QFETCH(QString, message);

    const QByteArray chip = RandomBytes(kChipSize, 11);
    m_harness.setMemory(chip);
    m_harness.resetCounters();
    m_dialogs->cancel();
    QTest::mouseClick(button(qPrintable(buttonName)), Qt::LeftButton);

    QCOMPARE(m_dialogs->shown().size(), 1);
    const FileDialogDriver::Shown &shown = m_dialogs->shown().first();
    QCOMPARE(shown.caption, caption);
    QCOMPARE(shown.nameFilters, QStringList({"*.bin"}));
    QCOMPARE(shown.acceptMode, acceptMode);
    QCOMPARE(shown.parent, static_cast<QWidget *>(m_window.get()));
    QCOMPARE(shown.directory, QDir(QCoreApplication::applicationDirPath()).canonicalPath());

    // Nothing started: no thread, no worker, not one USB exchange, controls still enabled.
    QVERIFY(!m_window->IsJobRunning());
    QVERIFY(!m_window->CurrentWorker());
    QVERIFY(allJobControlsEnabled(true));
    QCoreApplication::processEvents();
    QCOMPARE(m_harness.exchanges(), quint64(0));
    QCOMPARE(m_harness.memory(), chip);
    QCOMPARE(statusLabel()->text(), QStringLiteral("Idle."));

    const QList<QList<LogRun>> lines = LogLines(log());
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first().size(), 1);
    const LogRun &run = lines.first().first();
    QCOMPARE(run.text, message);
    QCOMPARE(run.colour, QColor("red"));
    QCOMPARE(run.weight, int(QFont::Normal));
    QVERIFY(!run.italic);
    QVERIFY(!run.underline);
}

void TestMainWindow::saveDialogProposesDatedDump()
{
    m_dialogs->cancel();
    // Whole seconds: the name carries no milliseconds.
    const QDateTime before = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    QTest::mouseClick(button("btnRead"), Qt::LeftButton);
    const QDateTime after = QDateTime::currentDateTime();

    QCOMPARE(m_dialogs->shown().size(), 1);
    const QStringList offered = m_dialogs->shown().first().selected;
    QCOMPARE(offered.size(), 1);
    const QFileInfo proposed(offered.first());
    QCOMPARE(proposed.dir().canonicalPath(),
             QDir(QCoreApplication::applicationDirPath()).canonicalPath());
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^dump_(\\d{8}_\\d{6})\\.bin$"))
            .match(proposed.fileName());
    QVERIFY2(match.hasMatch(), qPrintable(proposed.fileName()));
    const QDateTime stamp =
        QDateTime::fromString(match.captured(1), QStringLiteral("yyyyMMdd_HHmmss"));
    QVERIFY(stamp.isValid());
    QVERIFY2(stamp >= before && stamp <= after, qPrintable(match.captured(1)));
}

void TestMainWindow::readJobDumpsChip()
{
    const QByteArray chip = RandomBytes(kChipSize, 21);
    m_harness.setMemory(chip);
    const QString dump = m_files.filePath(QStringLiteral("dump_read.bin"));
    QFile::remove(dump);
    m_dialogs->acceptWith(dump);

    QTest::mouseClick(button("btnRead"), Qt::LeftButton);
    QVERIFY(m_window->IsJobRunning());
    QVERIFY(waitForIdle());

    QCOMPARE(ReadFile(dump), chip);
    QCOMPARE(m_harness.memory(), chip);
    // The bar keeps what the read sent last: the whole chip as maximum, then 0.
    QCOMPARE(child<QProgressBar>("pgb")->maximum(), kChipSize);
    QCOMPARE(child<QProgressBar>("pgb")->value(), 0);
    // A read never fills the hex view.
    QVERIFY(hexView()->data().isEmpty());
    QCOMPARE(CountLines(log(), kCompleted), 1);
}

void TestMainWindow::writeJobProgramsFile()
{
    m_harness.setMemory(RandomBytes(kChipSize, 31));
    // Not a whole number of pages, so the last page is partly programmed.
    const QByteArray image = RandomBytes(300 * 1024 + 77, 32);
    const QString path = imageFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());
    m_dialogs->acceptWith(path);

    QTest::mouseClick(button("btnWrite"), Qt::LeftButton);
    QVERIFY(m_window->IsJobRunning());
    QVERIFY(waitForIdle());

    const QByteArray memory = m_harness.memory();
    QCOMPARE(memory.left(image.size()), image);
    QCOMPARE(memory.mid(image.size()), QByteArray(kChipSize - image.size(), char(0xFF)));
    QCOMPARE(ReadFile(path), image);
    QCOMPARE(child<QProgressBar>("pgb")->maximum(), image.size());
    QVERIFY(hexView()->data().isEmpty());
    QCOMPARE(CountLines(log(), kCompleted), 1);
}

void TestMainWindow::eraseJobBlanksChip()
{
    m_harness.setMemory(RandomBytes(kChipSize, 41));
    QTest::mouseClick(button("btnErase"), Qt::LeftButton);
    // No dialog and no confirmation: the job is running already.
    QVERIFY(m_window->IsJobRunning());
    QVERIFY(waitForIdle());

    QVERIFY(m_dialogs->shown().isEmpty());
    QCOMPARE(m_harness.memory(), QByteArray(kChipSize, char(0xFF)));
    QCOMPARE(CountLines(log(), kCompleted), 1);
}

void TestMainWindow::verifyJob_data()
{
    QTest::addColumn<bool>("matches");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QColor>("verdictColour");

    QTest::newRow("match fills hex view") << true << "Match Found!" << QColor("green");
    QTest::newRow("mismatch leaves hex view") << false << "No Match Found!" << QColor("red");
}

void TestMainWindow::verifyJob()
{
    QFETCH(bool, matches);
    QFETCH(QString, verdict);
    QFETCH(QColor, verdictColour);

    const QByteArray chip = RandomBytes(kChipSize, 51);
    m_harness.setMemory(chip);
    QByteArray image = chip.left(8192 + 5);
    if (!matches)
        image[8192] = char(~image.at(8192));
    const QString path = imageFile(QStringLiteral("verify.bin"), image);
    QVERIFY(!path.isEmpty());
    const QByteArray earlier = QByteArray("shown before the job");
    m_window->UpdateHexView(earlier);
    m_dialogs->acceptWith(path);

    QTest::mouseClick(button("btnVerify"), Qt::LeftButton);
    QVERIFY(waitForIdle());

    QCOMPARE(CountLines(log(), verdict), 1);
    const QList<QList<LogRun>> lines = LogLines(log());
    for (const QList<LogRun> &runs : lines) {
        if (LineText(runs) == verdict)
            QCOMPARE(runs.first().colour, verdictColour);
    }
    QCOMPARE(hexView()->data(), matches ? image : earlier);
    QCOMPARE(m_harness.memory(), chip);
}

void TestMainWindow::runningJob_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<bool>("needsFile");
    QTest::addColumn<bool>("showsHexData");

    QTest::newRow("read") << "btnRead" << true << false;
    QTest::newRow("write") << "btnWrite" << true << false;
    QTest::newRow("verify") << "btnVerify" << true << true;
    QTest::newRow("erase") << "btnErase" << false << false;
}

void TestMainWindow::runningJob()
{
    QFETCH(QString, buttonName);
    QFETCH(bool, needsFile);
    QFETCH(bool, showsHexData);

    const QString path = m_files.filePath(QStringLiteral("running.bin"));
    QFile::remove(path);
    if (buttonName != QLatin1String("btnRead"))
        QVERIFY(WriteFile(path, QByteArray(4096, 'x')));
    m_dialogs->acceptWith(path);

    QTest::mouseClick(button(qPrintable(buttonName)), Qt::LeftButton);
    QCOMPARE(m_dialogs->shown().size(), needsFile ? 1 : 0);
    QVERIFY(m_window->IsJobRunning());
    CH341 *worker = m_window->CurrentWorker();
    QVERIFY(worker);
    QVERIFY(allJobControlsEnabled(false));

    // The worker stays alive until the window has handled its JobDone, which needs this
    // thread. Emitted from here, the signals reach the window at once: only a verify job
    // wires the hex view; every job wires the status label.
    const QByteArray probe("wiring probe");
    emit worker->UpdateHexView(probe);
    QCOMPARE(hexView()->data(), showsHexData ? probe : QByteArray());
    emit worker->Set_Label_Status_TEXT(QStringLiteral("probe"));
    QCOMPARE(statusLabel()->text(), QStringLiteral("probe"));
    // The hex view is not the placeholder's child, and the logo is never disabled.
    QVERIFY(hexView()->isEnabled());
    QVERIFY(child<QWidget>("label")->isEnabled());

    // Presses on disabled buttons start nothing: no dialog, no second job.
    for (const char *name : {"btnRead", "btnWrite", "btnVerify", "btnErase"})
        QTest::mouseClick(button(name), Qt::LeftButton);
    QCOMPARE(m_dialogs->shown().size(), needsFile ? 1 : 0);

    QVERIFY(waitForIdle());
    QVERIFY(allJobControlsEnabled(true));
    QCOMPARE(statusLabel()->text(), QStringLiteral("Idle."));
    QCOMPARE(CountLines(log(), kCompleted), 1);
    QCOMPARE(CountLines(log(), QStringLiteral("Connecting to Programmer... OK")), 1);
    QVERIFY(!m_window->CurrentWorker());
    // The chip never matches the file, so the verify leaves the probe in place.
    QCOMPARE(hexView()->data(), showsHexData ? probe : QByteArray());
}

void TestMainWindow::completionLines()
{
    QTest::mouseClick(button("btnErase"), Qt::LeftButton);
    QVERIFY(waitForIdle());

    const QList<QList<LogRun>> lines = LogLines(log());
    QVERIFY(lines.size() >= 2);
    const QList<LogRun> &completed = lines.at(lines.size() - 2);
    QCOMPARE(completed.size(), 1);
    QCOMPARE(completed.first().text, kCompleted);
    QCOMPARE(completed.first().weight, int(QFont::Bold));
    QCOMPARE(completed.first().weight, 75);
    QCOMPARE(completed.first().colour, QColor("black"));

    const QList<LogRun> &elapsed = lines.last();
    QCOMPARE(elapsed.size(), 2);
    QCOMPARE(elapsed.at(0).text, QStringLiteral("Elapsed Time: "));
    QCOMPARE(elapsed.at(0).weight, int(QFont::Normal));
    QCOMPARE(elapsed.at(0).colour, QColor("black"));
    QVERIFY2(QRegularExpression(QStringLiteral("^(0|[1-9]\\d*) seconds$"))
                 .match(elapsed.at(1).text)
                 .hasMatch(),
             qPrintable(elapsed.at(1).text));
    QCOMPARE(elapsed.at(1).weight, int(QFont::DemiBold));
    QCOMPARE(elapsed.at(1).weight, 63);
    QCOMPARE(elapsed.at(1).colour, QColor("black"));
    for (const LogRun &run : completed + elapsed) {
        QVERIFY(!run.italic);
        QVERIFY(!run.underline);
    }
    QCOMPARE(statusLabel()->text(), QStringLiteral("Idle."));

    // The same lines, time-stamped, in the day's log file under the working directory.
    const QDir logRoot(QDir::current().filePath(QStringLiteral("LOG/JobLog")));
    const QStringList days = logRoot.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(days.size(), 1);
    const QList<QByteArray> fileLines =
        ReadFile(logRoot.filePath(days.first() + QStringLiteral("/Log.txt"))).split('\n');
    QVERIFY(fileLines.size() >= 3);
    QVERIFY(fileLines.last().isEmpty());
    const QString stamp = QStringLiteral("^\\d{4}-\\w+-\\d{2} \\d{2}:\\d{2}:\\d{2} : ");
    const QRegularExpression completedLine(stamp + QRegularExpression::escape(kCompleted) + '$');
    const QRegularExpression elapsedLine(stamp + QStringLiteral("Elapsed Time: \\d+ seconds$"));
    const QString secondLast = QString::fromLocal8Bit(fileLines.at(fileLines.size() - 3));
    const QString last = QString::fromLocal8Bit(fileLines.at(fileLines.size() - 2));
    QVERIFY2(completedLine.match(secondLast).hasMatch(), qPrintable(secondLast));
    QVERIFY2(elapsedLine.match(last).hasMatch(), qPrintable(last));
}

void TestMainWindow::twoJobsInARowUseNewWorkers()
{
    QTest::mouseClick(button("btnErase"), Qt::LeftButton);
    QPointer<CH341> first = m_window->CurrentWorker();
    QVERIFY(first);
    QVERIFY(waitForIdle());
    QVERIFY(!first);

    const QByteArray chip = RandomBytes(kChipSize, 61);
    m_harness.setMemory(chip);
    const QString dump = m_files.filePath(QStringLiteral("second.bin"));
    QFile::remove(dump);
    m_dialogs->acceptWith(dump);
    QTest::mouseClick(button("btnRead"), Qt::LeftButton);
    CH341 *second = m_window->CurrentWorker();
    QVERIFY(second);
    QVERIFY(waitForIdle());

    // Had the first worker kept its wiring, the restarted thread would run its erase again.
    QCOMPARE(ReadFile(dump), chip);
    QCOMPARE(m_harness.memory(), chip);
    QCOMPARE(CountLines(log(), QStringLiteral("Connecting to Programmer... OK")), 2);
    QCOMPARE(CountLines(log(), kCompleted), 2);
}

void TestMainWindow::closeRefusedWhileRunning()
{
    const QString refusal =
        QStringLiteral("Operation in Progress! Please Wait Until it is Completed.");
    QTest::mouseClick(button("btnErase"), Qt::LeftButton);
    QVERIFY(m_window->IsJobRunning());
    // The worker's JobDone cannot have been delivered yet: no event was processed since.
    QVERIFY(!m_window->close());
    QVERIFY(m_window->isVisible());
    QCOMPARE(CountLines(log(), refusal), 1);

    const QList<QList<LogRun>> lines = LogLines(log());
    for (const QList<LogRun> &runs : lines) {
        if (LineText(runs) == refusal) {
            QCOMPARE(runs.size(), 1);
            QCOMPARE(runs.first().colour, QColor("red"));
            QCOMPARE(runs.first().weight, int(QFont::Normal));
        }
    }

    QVERIFY(waitForIdle());
    QVERIFY(m_window->isVisible());
    QCOMPARE(CountLines(log(), kCompleted), 1);
    QVERIFY(m_window->close());
    QVERIFY(!m_window->isVisible());
    QCOMPARE(CountLines(log(), refusal), 1);
}

void TestMainWindow::destroyedWindowLetsJobFinish()
{
    m_harness.setMemory(RandomBytes(kChipSize, 71));
    QTest::mouseClick(button("btnErase"), Qt::LeftButton);
    QPointer<CH341> worker = m_window->CurrentWorker();
    QVERIFY(worker);
    QVERIFY(m_window->IsJobRunning());

    // Destroying a running thread would abort the process; the erase runs to its end instead.
    m_window.reset();
    QVERIFY(!worker);
    QCOMPARE(m_harness.memory(), QByteArray(kChipSize, char(0xFF)));
    QVERIFY(!m_harness.isOpen());
    QVERIFY(m_harness.isReleased());
}

void TestMainWindow::logoPress_data()
{
    QTest::addColumn<Qt::MouseButton>("mouseButton");
    QTest::addColumn<int>("presses");
    QTest::addColumn<int>("opened");

    QTest::newRow("left opens page") << Qt::LeftButton << 1 << 1;
    QTest::newRow("each left press opens again") << Qt::LeftButton << 3 << 3;
    QTest::newRow("right opens nothing") << Qt::RightButton << 2 << 0;
    QTest::newRow("middle opens nothing") << Qt::MiddleButton << 2 << 0;
}

void TestMainWindow::logoPress()
{
    QFETCH(Qt::MouseButton, mouseButton);
    QFETCH(int, presses);
    QFETCH(int, opened);

    auto *label = child<ClickableLabel>("label");
    QSignalSpy clicks(label, &ClickableLabel::clicked);
    for (int i = 0; i < presses; ++i) {
        // The page opens on the press itself; no release follows.
        QTest::mousePress(label, mouseButton);
        QCOMPARE(m_opened.size(), mouseButton == Qt::LeftButton ? i + 1 : 0);
        QTest::mouseRelease(label, mouseButton);
    }
    QCOMPARE(clicks.size(), opened);
    QCOMPARE(m_opened.size(), opened);
    for (const QUrl &url : qAsConst(m_opened)) {
        QCOMPARE(url.scheme(), QStringLiteral("https"));
        QVERIFY(url.isValid());
        QVERIFY(!url.host().isEmpty());
    }
    QVERIFY(log()->document()->isEmpty());
}

void TestMainWindow::logoCursorIsPointingHand()
{
    QCOMPARE(child<ClickableLabel>("label")->cursor().shape(), Qt::PointingHandCursor);
    ClickableLabel standalone(nullptr);
    QCOMPARE(standalone.cursor().shape(), Qt::PointingHandCursor);
}

int main(int argc, char *argv[])
{
    // The toolkit's own dialogs, so the test can answer them from inside their event loop.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    // The worker's trace lines would drown the results.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
