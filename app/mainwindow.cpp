#include "mainwindow.h"
#include "regionchoice.h"

#include "ui_mainwindow.h"
#include "clickablelabel.h"
#include "version.h"
#include "hexedit/qhexedit.h"
#include "log/logfile.h"
#include "log/logwindow.h"
#include "programmer/identify/chiplists.h"
#include "programmer/jobs/ch341.h"
#include "bridge/ch341bridges.h"
#include "programmer/jobs/tracelog.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCompleter>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QStatusBar>
#include <QUrl>

#include <cstdio>

namespace {
const QString kHomePage = QStringLiteral("https://www.varnock.com/");
const QString kBinaryFilter = QStringLiteral("*.bin");
// Where the last file dialog's choice was made, kept between runs.
const QString kSettingsOrganization = QStringLiteral("varnock");
const QString kSettingsApplication = QStringLiteral("varnock-spi-flasher");
const QString kLastFolderKey = QStringLiteral("dialogs/lastFolder");
const QString kSpiClockKey = QStringLiteral("bridge/spiClockKHz");
// The clocks a CH347 offers that the window does; 15 MHz reads and programs reliably
// through clips.
const struct
{
    const char *text;
    int kHz;
} kSpiClocks[] = {
    {"7.5 MHz", 7500}, {"15 MHz", 15000}, {"30 MHz", 30000}, {"60 MHz", 60000}, {"Auto", 0}};
constexpr int kDefaultSpiClockKHz = 15000;
// Auto identifies the chip at the default clock, then the job finds the fastest reliable one.
constexpr int kAutoSpiClockKHz = 0;
const QString kI2cSpeedKey = QStringLiteral("bridge/i2cSpeedKHz");
const QString kUpdateModeKey = QStringLiteral("jobs/updateMode");
const QString kReadTwiceKey = QStringLiteral("jobs/readTwice");
// The part field's first item: the chip is found by its identifier.
const QString kAutoPart = QStringLiteral("Auto");
// The completions and the list are wider than the field, so that "VENDOR PART" shows whole.
constexpr int kPartListWidth = 300;
// The chip erase counts no bytes; while this line is open the bar shows it busy.
const QString kErasingChip = QStringLiteral("Erasing Chip... ");

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui_MainWindow)
    , statusRelay(this, [this](const QString &text) { Set_Label_Status_TEXT(text); })
    , progressRelay(this, [this](qulonglong value) { UpdateProgreesBar_Value(value); })
{
    ui->setupUi(this);
    lblStatus = new QLabel(this);
    hexEdit = new QHexEdit(this);
    SetUpHexView();
    statusBar()->addWidget(lblStatus, 1);

    setWindowFlag(Qt::WindowFullscreenButtonHint, false);
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint, true);
    // Without a window manager hint the size would still be changeable on X11.
    setFixedSize(size());

    QCoreApplication::setApplicationVersion(ApplicationVersion());
    setWindowTitle(QStringLiteral("Varnock SPI Flasher version ") +
                   QCoreApplication::applicationVersion());
    lblStatus->setText(QStringLiteral("Idle."));

    connect(ui->btnRead, &QPushButton::clicked, this, &MainWindow::btnRead_Clicked);
    connect(ui->btnWrite, &QPushButton::clicked, this, &MainWindow::btnWrite_Clicked);
    connect(ui->btnErase, &QPushButton::clicked, this, &MainWindow::btnErase_Clicked);
    connect(ui->btnVerify, &QPushButton::clicked, this, &MainWindow::btnVerify_Clicked);
    ui->chkUpdate->setChecked(
        QSettings(kSettingsOrganization, kSettingsApplication).value(kUpdateModeKey).toBool());
    connect(ui->chkUpdate, &QCheckBox::toggled, this, [](bool checked) {
        QSettings(kSettingsOrganization, kSettingsApplication).setValue(kUpdateModeKey, checked);
    });
    ui->chkReadTwice->setChecked(
        QSettings(kSettingsOrganization, kSettingsApplication).value(kReadTwiceKey).toBool());
    connect(ui->chkReadTwice, &QCheckBox::toggled, this, [](bool checked) {
        QSettings(kSettingsOrganization, kSettingsApplication).setValue(kReadTwiceKey, checked);
    });

    operatorLog =
        std::make_unique<LogWindow>(ui->txtLog, LogFile::chooseLogFilePath(), true, true, true);
    // A log that no folder can take says so, in the window and where a terminal shows it.
    const QString noLogFile = LogFile::whyNoLogFile();
    if (!noLogFile.isEmpty()) {
        operatorLog->AppendRecord(noLogFile, QColor(QStringLiteral("red")), 1, false, false, true);
        std::fprintf(stderr, "%s\n", noLogFile.toLocal8Bit().constData());
    }

    connect(ui->label, &ClickableLabel::clicked, this, &MainWindow::OpenHomePage);
    SetUpSpiClockChoice();
    SetUpI2cSpeedChoice();
    SetUpPartChoice();
}

MainWindow::~MainWindow()
{
    // A job waiting for the operator's answer would wait for ever: nobody is left to ask.
    if (worker && workerThread.isRunning())
        worker->AnswerClearProtection(false);
    // Destroying a running thread aborts the process; a job cannot be cut short, so the
    // window outlives it.
    workerThread.quit();
    workerThread.wait();
    delete ui;
}

void MainWindow::TraceJobs(const QString &path)
{
    if (path.isEmpty())
        return;
    // One trace at a time: the last one ends before the next begins.
    trace.reset();
    trace = std::make_unique<JobTrace>(
        path, JobTrace::Summary,
        QStringLiteral("Varnock SPI Flasher %1: window").arg(ApplicationVersion()));
    const QString shownPath = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (trace->errorString().isEmpty())
        UpdateLogWindow_Text(QStringLiteral("USB Trace Written to %1").arg(shownPath),
                             QColor(QStringLiteral("gray")), 1, false, false, true);
    else
        UpdateLogWindow_Text(
            QStringLiteral("Cannot Write Trace File %1: %2").arg(shownPath, trace->errorString()),
            QColor(QStringLiteral("red")), 1, false, false, true);
}

bool MainWindow::IsJobRunning() const
{
    return workerThread.isRunning();
}

CH341 *MainWindow::CurrentWorker() const
{
    return worker;
}

void MainWindow::ShowProgressOf(CH341 *job)
{
    // Direct: the relays take the values on the worker thread and post at most one queued
    // call each; the connections end with the job's worker.
    connect(
        job, &CH341::Set_Label_Status_TEXT, job,
        [this](QString text) { statusRelay.store(std::move(text)); }, Qt::DirectConnection);
    connect(
        job, &CH341::UpdateProgreesBar_Value, job,
        [this](qulonglong value) { progressRelay.store(value); }, Qt::DirectConnection);
}

void MainWindow::SetUpHexView()
{
    hexEdit->setProperty("addressArea", true);
    hexEdit->setProperty("asciiArea", true);
    hexEdit->setProperty("highlighting", true);
    hexEdit->setProperty("overwriteMode", true);
    hexEdit->setProperty("readOnly", true);
    hexEdit->setProperty("highlightingColor", QColor(Qt::red));
    hexEdit->setProperty("addressAreaColor", QColor(208, 208, 208, 255));
    hexEdit->setProperty("selectionColor", QColor(Qt::blue));
    hexEdit->setProperty("addressFontColor", QColor(Qt::black));
    hexEdit->setProperty("asciiAreaColor", QColor(Qt::white));
    hexEdit->setProperty("asciiFontColor", QColor(Qt::red));
    hexEdit->setProperty("hexFontColor", QColor(Qt::red));
    hexEdit->setProperty("addressWidth", 8);
    hexEdit->setProperty("bytesPerLine", 16);
    hexEdit->setProperty("hexCaps", true);
    // The view lies over the placeholder, in window coordinates, not inside it.
    hexEdit->setGeometry(ui->widget->geometry());
    hexEdit->show();
}

void MainWindow::UpdateLogWindow_Text(QString Message, QColor Colour, int Weight, bool Italic,
                                      bool UnderLine, bool NewLine)
{
    operatorLog->AppendRecord(Message, Colour, Weight, Italic, UnderLine, NewLine);
}

void MainWindow::Set_Label_Status_TEXT(QString val)
{
    lblStatus->setText(val);
}

void MainWindow::UpdateProgreesBar_Value(qulonglong val)
{
    ui->pgb->setValue(static_cast<int>(static_cast<uint32_t>(val)));
}

void MainWindow::SetProgreesBar_MaxValue(qulonglong val)
{
    ui->pgb->setMaximum(static_cast<int>(static_cast<uint32_t>(val)));
}

void MainWindow::UpdateHexView(QByteArray data)
{
    hexEdit->setProperty("data", data);
}

void MainWindow::JobDone()
{
    // The job's last status text and progress value are shown before it is done.
    statusRelay.deliver();
    progressRelay.deliver();
    // The worker recorded how its job ended before JobDone, and lives until the thread ends.
    const bool succeeded = worker && worker->Outcome() == CH341::JobOutcome::Succeeded;
    workerThread.quit();
    workerThread.wait();
    if (!workerThread.isFinished())
        return;
    SetJobControlsEnabled(true);
    // The job may have kept a chip in the user's list.
    ListKnownParts();
    ShowJobEndOnBar(succeeded);
    lblStatus->setText(QStringLiteral("Idle."));
    UpdateLogWindow_Text(QStringLiteral("Operation Completed. <Performed By version %1>")
                             .arg(QCoreApplication::applicationVersion()),
                         QColor("black"), 2, false, false, true);
    UpdateLogWindow_Text(QStringLiteral("Elapsed Time: "), QColor("black"), 1, false, false,
                         false);
    const qint64 seconds = (jobTimer.elapsed() - questionMs) / 1000;
    UpdateLogWindow_Text(QString::number(seconds) + QStringLiteral(" seconds"), QColor("black"), 3,
                         false, false, true);
}

void MainWindow::ShowJobEndOnBar(bool succeeded)
{
    // A read leaves its bar at 0; the operator should see the job finished until the next.
    if (ui->pgb->maximum() == 0)
        ui->pgb->setRange(0, 1);
    if (succeeded)
        ui->pgb->setValue(ui->pgb->maximum());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A job cannot be interrupted: closing now would leave the chip half
    // written and destroy a running thread.
    if (IsJobRunning()) {
        // The worker may have a step's line open ("Erasing Chip... "); the refusal must not
        // split it.
        operatorLog->AppendOwnLine(QStringLiteral("Operation in Progress! Please Wait Until it "
                                                  "is Completed."),
                                   1, QColor("red"));
        event->ignore();
        return;
    }
    event->accept();
}

void MainWindow::btnRead_Clicked()
{
    const QString proposed =
        QStringLiteral("dump_%1.bin")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss")));
    const QString fileName =
        QFileDialog::getSaveFileName(this, QStringLiteral("Enter Saved File Name"),
                                     DialogFolder() + QLatin1Char('/') + proposed, kBinaryFilter);
    if (fileName.isEmpty()) {
        UpdateLogWindow_Text(QStringLiteral("Please Select Saved File Name!"), QColor("red"), 1,
                             false, false, true);
        return;
    }
    RememberDialogFolder(fileName);
    StartJob(fileName, &CH341::DoReadFlash, false);
}

QString MainWindow::AskForImageFile()
{
    const QString fileName = QFileDialog::getOpenFileName(
        this, QStringLiteral("Select Binary File"), DialogFolder(), kBinaryFilter);
    if (fileName.isEmpty())
        UpdateLogWindow_Text(QStringLiteral("Please Select Binary File Name!"), QColor("red"), 1,
                             false, false, true);
    else
        RememberDialogFolder(fileName);
    return fileName;
}

QString MainWindow::DefaultDialogFolder(const QString &programFolder)
{
    // Installed, the program lives in /usr/bin: the operator's files belong at home.
    return QFileInfo(programFolder).isWritable() ? programFolder : QDir::homePath();
}

QString MainWindow::DialogFolder()
{
    const QString chosen =
        QSettings(kSettingsOrganization, kSettingsApplication).value(kLastFolderKey).toString();
    if (!chosen.isEmpty() && QFileInfo(chosen).isDir())
        return chosen;
    return DefaultDialogFolder(QCoreApplication::applicationDirPath());
}

void MainWindow::RememberDialogFolder(const QString &fileName)
{
    QSettings(kSettingsOrganization, kSettingsApplication)
        .setValue(kLastFolderKey, QFileInfo(fileName).absolutePath());
}

void MainWindow::SetUpSpiClockChoice()
{
    for (const auto &clock : kSpiClocks)
        ui->cmbSpiClock->addItem(QString::fromLatin1(clock.text), clock.kHz);
    const int remembered = QSettings(kSettingsOrganization, kSettingsApplication)
                               .value(kSpiClockKey, kDefaultSpiClockKHz)
                               .toInt();
    const int index = ui->cmbSpiClock->findData(remembered);
    ui->cmbSpiClock->setCurrentIndex(index >= 0 ? index
                                                : ui->cmbSpiClock->findData(kDefaultSpiClockKHz));
    UseChosenSpiClock();
    connect(ui->cmbSpiClock, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        QSettings(kSettingsOrganization, kSettingsApplication)
            .setValue(kSpiClockKey, ui->cmbSpiClock->currentData());
        UseChosenSpiClock();
    });
}

void MainWindow::SetUpI2cSpeedChoice()
{
    for (const uint32_t kHz : I2cTransport::kSpeedsKHz)
        ui->cmbI2cSpeed->addItem(QStringLiteral("%1 kHz").arg(kHz), kHz);
    const uint remembered = QSettings(kSettingsOrganization, kSettingsApplication)
                                .value(kI2cSpeedKey, I2cTransport::kDefaultSpeedKHz)
                                .toUInt();
    const int index = ui->cmbI2cSpeed->findData(remembered);
    ui->cmbI2cSpeed->setCurrentIndex(
        index >= 0 ? index : ui->cmbI2cSpeed->findData(I2cTransport::kDefaultSpeedKHz));
    connect(ui->cmbI2cSpeed, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        QSettings(kSettingsOrganization, kSettingsApplication)
            .setValue(kI2cSpeedKey, ui->cmbI2cSpeed->currentData());
    });
}

void MainWindow::UseChosenSpiClock()
{
    // The default asks for nothing, so a CH341A has no choice to ignore.
    const int kHz = ui->cmbSpiClock->currentData().toInt();
    CH341SetSpiClock(0, kHz == kDefaultSpiClockKHz ? 0 : uint32_t(kHz));
}

void MainWindow::SetUpPartChoice()
{
    auto *completer = new QCompleter(ui->cmbPart->model(), ui->cmbPart);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setFilterMode(Qt::MatchContains);
    completer->setCompletionMode(QCompleter::PopupCompletion);
    completer->popup()->setMinimumWidth(kPartListWidth);
    ui->cmbPart->setCompleter(completer);
    ui->cmbPart->view()->setMinimumWidth(kPartListWidth);
    // Not remembered: every start begins at Auto, so a part chosen for one chip is not
    // forced on the next.
    ListKnownParts();
}

void MainWindow::ListKnownParts()
{
    // A faulty user list is the job's to report, in red, when it starts.
    QList<ChipRecord> userRows;
    QString fault;
    if (!ReadUserChipLists(userRows, fault))
        userRows.clear();
    const QString typed = ui->cmbPart->currentText();
    ui->cmbPart->clear();
    ui->cmbPart->addItem(kAutoPart);
    QSet<QString> listed;
    // The built-in list writes a name that begins with a digit with an underscore.
    const auto bare = [](const QString &name) {
        return name.startsWith(QLatin1Char('_')) ? name.mid(1) : name;
    };
    for (const ChipRecord &row : KnownChips(userRows)) {
        const QString part = bare(row.partName);
        const QString text = bare(row.vendor) + QLatin1Char(' ') + part;
        if (!listed.contains(text)) {
            listed.insert(text);
            ui->cmbPart->addItem(text, part);
        }
    }
    const int item = typed.isEmpty() ? 0 : ui->cmbPart->findText(typed, Qt::MatchFixedString);
    if (item >= 0)
        ui->cmbPart->setCurrentIndex(item);
    else
        ui->cmbPart->setEditText(typed);
}

bool MainWindow::ChosenPart(QString &part)
{
    const QString typed = ui->cmbPart->currentText().trimmed();
    part.clear();
    if (typed.isEmpty() || typed.compare(kAutoPart, Qt::CaseInsensitive) == 0)
        return true;
    // A 93xx part may carry its organisation ("M93C46-x8"); the list holds the part alone.
    int wordBits = 16;
    const QString text = WithoutOrganisation(typed, wordBits);
    // "VENDOR PART" as listed, or the part alone, in any case.
    const int item = ui->cmbPart->findText(text, Qt::MatchFixedString);
    if (item > 0)
        part = ui->cmbPart->itemData(item).toString();
    for (int i = 1; part.isEmpty() && i < ui->cmbPart->count(); ++i) {
        if (ui->cmbPart->itemData(i).toString().compare(text, Qt::CaseInsensitive) == 0)
            part = text;
    }
    if (part.isEmpty())
        UpdateLogWindow_Text(QStringLiteral("Part %1 Is in No Chip List").arg(typed),
                             QColor("red"), 1, false, false, true);
    else
        part += typed.mid(text.size());
    return !part.isEmpty();
}

void MainWindow::btnWrite_Clicked()
{
    const QString fileName = AskForImageFile();
    if (!fileName.isEmpty())
        StartJob(fileName,
                 ui->chkUpdate->isChecked() ? &CH341::DoUpdateFlash : &CH341::DoWriteFlash, false);
}

void MainWindow::btnVerify_Clicked()
{
    const QString fileName = AskForImageFile();
    if (!fileName.isEmpty())
        StartJob(fileName, &CH341::DoVerifyFlash, true);
}

void MainWindow::btnErase_Clicked()
{
    StartJob(QString(), &CH341::DoEraseFlash, false);
}

void MainWindow::StartJob(const QString &fileName, JobSlot job, bool showHexData)
{
    QString part;
    if (!ChosenPart(part))
        return;
    // The worker has no parent: it lives on workerThread and deletes itself
    // once the thread has finished.
    worker = new CH341(false, nullptr);
    worker->PartName = part;
    if (!fileName.isEmpty())
        worker->FileName = fileName;
    worker->BackupFolder = LogFile::chooseBackupFolder();
    worker->ReadTwice = ui->chkReadTwice->isChecked();
    // The clock an automatic job settled on must not carry over to the next job.
    UseChosenSpiClock();
    worker->AutoSpiClock = ui->cmbSpiClock->currentData().toInt() == kAutoSpiClockKHz;
    worker->I2cSpeedKHz = ui->cmbI2cSpeed->currentData().toUInt();
    ui->pgb->setValue(0);
    // Before the log view's slot, so the bar has changed by the time the record shows.
    connect(worker, &CH341::UpdateLogWindow_Text, this, [this](const QString &Message) {
        if (Message == kErasingChip)
            ui->pgb->setRange(0, 0);
    });
    connect(worker, &CH341::UpdateLogWindow_Text, this, &MainWindow::UpdateLogWindow_Text);
    connect(worker, &CH341::SetProgreesBar_MaxValue, this, &MainWindow::SetProgreesBar_MaxValue);
    ShowProgressOf(worker);
    if (showHexData)
        connect(worker, &CH341::UpdateHexView, this, &MainWindow::UpdateHexView);
    connect(worker, &CH341::JobDone, this, &MainWindow::JobDone);
    if (trace && trace->errorString().isEmpty())
        trace->Follow(worker);
    connect(worker, &CH341::ClearProtection_Question, this, &MainWindow::ClearProtection_Question);
    connect(worker, &CH341::UnknownChip_Question, this, &MainWindow::UnknownChip_Question);
    connect(worker, &CH341::PartChoice_Question, this, &MainWindow::PartChoice_Question);
    connect(worker, &CH341::RegionChoice_Question, this, &MainWindow::RegionChoice_Question);
    connect(worker, &CH341::PartId_Question, this, &MainWindow::PartId_Question);
    connect(worker, &CH341::RowAgainstSfdp_Question, this, &MainWindow::RowAgainstSfdp_Question);
    connect(&workerThread, &QThread::started, worker, job);
    connect(&workerThread, &QThread::finished, worker, &QObject::deleteLater);
    worker->moveToThread(&workerThread);
    SetJobControlsEnabled(false);
    jobTimer.start();
    questionMs = 0;
    workerThread.start(QThread::InheritPriority);
}

void MainWindow::ClearProtection_Question(QString StatusRegister)
{
    AskOperator(QStringLiteral("The chip is write protected (Status Register: 0x%1). Clear the "
                               "protection and continue?")
                    .arg(StatusRegister));
}

void MainWindow::UnknownChip_Question(QString JedecId, qulonglong Size)
{
    AskOperator(QStringLiteral("The chip (JEDEC ID 0x%1) is not in the chip list. Its SFDP table "
                               "gives %2 bytes. Use it with these parameters?")
                    .arg(JedecId)
                    .arg(Size),
                DefaultAnswer::No, [this, JedecId](CH341 *) { AskNameToKeep(JedecId); });
}

void MainWindow::AskNameToKeep(const QString &jedecId)
{
    auto *question = new QInputDialog(this);
    question->setWindowTitle(windowTitle());
    question->setLabelText(
        QStringLiteral("Keep the chip in your chip list (%1), so that the next job knows it "
                       "without asking? Its part name:")
            .arg(QDir::toNativeSeparators(UserChipListPath())));
    question->setTextValue(QStringLiteral("SFDP-") + jedecId);
    question->setOkButtonText(QStringLiteral("Keep"));
    question->setCancelButtonText(QStringLiteral("Do Not Keep"));
    ShowQuestion(question, [question](CH341 *asking) {
        const bool keep = question->result() == QDialog::Accepted;
        asking->AnswerUnknownChip(true, keep ? question->textValue().trimmed() : QString());
    });
}

void MainWindow::PartChoice_Question(QStringList Parts)
{
    // No part is chosen for the operator: Enter and Escape cancel.
    auto *question = new QMessageBox(
        QMessageBox::Question, windowTitle(),
        QStringLiteral("Parts of different sizes share the chip's identifier, and the chip does "
                       "not tell which it is. Which part is in the socket?"),
        QMessageBox::Cancel, this);
    for (const QString &part : Parts)
        question->addButton(part, QMessageBox::AcceptRole)->setProperty("part", part);
    question->setDefaultButton(QMessageBox::Cancel);
    question->setEscapeButton(QMessageBox::Cancel);
    ShowQuestion(question, [question](CH341 *asking) {
        QAbstractButton *clicked = question->clickedButton();
        asking->AnswerPartChoice(clicked ? clicked->property("part").toString() : QString());
    });
}

void MainWindow::RegionChoice_Question(QStringList Regions, QStringList Ranges,
                                       QStringList Changed)
{
    // Window-modal like the other questions; closing it cancels the job.
    auto *question = new RegionChoice(Regions, Ranges, Changed, this);
    question->setWindowTitle(windowTitle());
    question->setAttribute(Qt::WA_DeleteOnClose);
    QElapsedTimer thinking;
    thinking.start();
    QPointer<CH341> asking = worker;
    connect(question, &QDialog::finished, this, [this, question, asking, thinking](int result) {
        questionMs += thinking.elapsed();
        if (asking)
            asking->AnswerRegionChoice(result == QDialog::Accepted, question->chosen());
    });
    question->open();
}

void MainWindow::PartId_Question(QString Part, QString PartId, QString ChipId)
{
    AskOperator(QStringLiteral("The chip answers ID 0x%1, part %2 has ID 0x%3. Use the facts of "
                               "%2 on this chip all the same?")
                    .arg(ChipId, Part, PartId),
                DefaultAnswer::None);
}

void MainWindow::RowAgainstSfdp_Question(QString Part, QString Origin, QString RowGives,
                                         QString SfdpGives)
{
    AskOperator(QStringLiteral("The row of %1 in your chip list (%2) gives %3, the chip's SFDP "
                               "table %4. Use the row all the same, with SFDP's capacity where "
                               "they differ?")
                    .arg(Part, Origin, RowGives, SfdpGives),
                DefaultAnswer::None);
}

void MainWindow::AskOperator(const QString &text, DefaultAnswer defaultAnswer,
                             const std::function<void(CH341 *)> &yes)
{
    auto *question = new QMessageBox(QMessageBox::Question, windowTitle(), text,
                                     QMessageBox::Yes | QMessageBox::No, this);
    if (defaultAnswer == DefaultAnswer::No) {
        question->setDefaultButton(QMessageBox::No);
    } else {
        // A dialog makes its first button the default where none is: Enter must answer
        // nothing here.
        for (QAbstractButton *button : question->buttons())
            qobject_cast<QPushButton *>(button)->setAutoDefault(false);
    }
    question->setEscapeButton(QMessageBox::No);
    ShowQuestion(question, [question, yes](CH341 *asking) {
        const bool saidYes = question->clickedButton() == question->button(QMessageBox::Yes);
        if (saidYes && yes)
            yes(asking);
        else
            asking->AnswerClearProtection(saidYes);
    });
}

void MainWindow::ShowQuestion(QDialog *question, const std::function<void(CH341 *)> &answer)
{
    // Window-modal and answered through a signal: the window stays responsive, and a
    // closing window can still answer for the operator.
    question->setAttribute(Qt::WA_DeleteOnClose);
    QElapsedTimer thinking;
    thinking.start();
    QPointer<CH341> asking = worker;
    connect(question, &QDialog::finished, this, [this, asking, thinking, answer] {
        questionMs += thinking.elapsed();
        if (asking)
            answer(asking);
    });
    question->open();
}

void MainWindow::SetJobControlsEnabled(bool enabled)
{
    ui->btnRead->setEnabled(enabled);
    ui->btnWrite->setEnabled(enabled);
    ui->btnErase->setEnabled(enabled);
    ui->btnVerify->setEnabled(enabled);
    ui->chkUpdate->setEnabled(enabled);
    ui->chkReadTwice->setEnabled(enabled);
    ui->widget->setEnabled(enabled);
    // The clock is read when a job opens the bridge.
    ui->cmbSpiClock->setEnabled(enabled);
    ui->cmbI2cSpeed->setEnabled(enabled);
    ui->cmbPart->setEnabled(enabled);
}

void MainWindow::OpenHomePage()
{
    QDesktopServices::openUrl(QUrl(kHomePage, QUrl::TolerantMode));
}
