#pragma once

// MainWindow: the flasher's single window; starts one job at a time on
// workerThread and shows what the worker reports. GUI thread.

#include "latestvaluerelay.h"

#include <QColor>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QThread>

#include <functional>
#include <memory>

QT_BEGIN_NAMESPACE
class QDialog;
class QLabel;
class Ui_MainWindow;
QT_END_NAMESPACE

class CH341;
class JobTrace;
class LogWindow;
class QHexEdit;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    bool IsJobRunning() const;
    // The running job's worker; null before the first job and once a job's worker has
    // deleted itself.
    CH341 *CurrentWorker() const;
    // Shows the job's status texts and progress values, skipping any that
    // arrive faster than the window can paint them; the newest is always shown.
    void ShowProgressOf(CH341 *job);
    // Where the file dialogs start before the operator has chosen a file: the program's
    // folder when the operator may write there, else the home folder.
    static QString DefaultDialogFolder(const QString &programFolder);
    // Writes the jobs' USB transfers and trace lines to the file at path from now on (none
    // for an empty path), and says so in the log.
    void TraceJobs(const QString &path);

public slots:
    void UpdateLogWindow_Text(QString Message, QColor Colour, int Weight, bool Italic,
                              bool UnderLine, bool NewLine);
    void Set_Label_Status_TEXT(QString val);
    void UpdateProgreesBar_Value(qulonglong val);
    void SetProgreesBar_MaxValue(qulonglong val);
    void JobDone();
    void UpdateHexView(QByteArray data);
    // Asks the operator whether the worker may clear the chip's protection.
    void ClearProtection_Question(QString StatusRegister);
    // Asks the operator whether the worker may use a chip known only by its SFDP table.
    void UnknownChip_Question(QString JedecId, qulonglong Size);
    // Asks the operator which of the parts sharing the chip's identifier is in the socket.
    void PartChoice_Question(QStringList Parts);
    // Asks the operator which descriptor regions of the image the update writes.
    void RegionChoice_Question(QStringList Regions, QStringList Ranges, QStringList Changed);
    // Asks the operator whether the part chosen in the part field is used on a chip that
    // answers another id.
    void PartId_Question(QString Part, QString PartId, QString ChipId);
    // Asks the operator whether a row of the user's chip list that the chip's SFDP table
    // contradicts is used all the same.
    void RowAgainstSfdp_Question(QString Part, QString Origin, QString RowGives,
                                 QString SfdpGives);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void btnRead_Clicked();
    void btnWrite_Clicked();
    void btnVerify_Clicked();
    void btnErase_Clicked();

private:
    using JobSlot = void (CH341::*)();

    void SetUpHexView();
    void StartJob(const QString &fileName, JobSlot job, bool showHexData);
    void SetJobControlsEnabled(bool enabled);
    enum class DefaultAnswer { No, None };
    // A window-modal yes/no question; the answer goes to the worker that asked, or a yes to
    // yes where it is given.
    void AskOperator(const QString &text, DefaultAnswer defaultAnswer = DefaultAnswer::No,
                     const std::function<void(CH341 *)> &yes = {});
    // After a yes to a chip known by its SFDP table: under which name it is kept in the
    // user's own chip list, if at all.
    void AskNameToKeep(const QString &jedecId);
    // Shows a window-modal question; once closed, answer tells the worker that asked.
    void ShowQuestion(QDialog *question, const std::function<void(CH341 *)> &answer);
    // A job that succeeded shows a full bar; a busy bar stops being busy.
    void ShowJobEndOnBar(bool succeeded);
    QString AskForImageFile();
    // The folder of the last file chosen in a dialog, in this run or an earlier one.
    static QString DialogFolder();
    static void RememberDialogFolder(const QString &fileName);
    // The CH347's SPI clock: the one chosen last, in this run or an earlier one.
    void SetUpSpiClockChoice();
    // The 24xx EEPROMs' I2C clock, remembered like the SPI clock; read when a job starts.
    void SetUpI2cSpeedChoice();
    void UseChosenSpiClock();
    // The part field: Auto, then every part the chip lists know (the user's included) as
    // "VENDOR PART", matched by any part of the text as the operator types.
    void SetUpPartChoice();
    void ListKnownParts();
    // The part the field names for the next job, empty for Auto. False, logged in red, when
    // no chip list has it.
    bool ChosenPart(QString &part);
    void OpenHomePage();

    Ui_MainWindow *ui;
    QLabel *lblStatus;
    QPointer<CH341> worker;
    QThread workerThread;
    std::unique_ptr<LogWindow> operatorLog;
    QElapsedTimer jobTimer;
    // Time the running job spent waiting for the operator's answers.
    qint64 questionMs = 0;
    QHexEdit *hexEdit;
    LatestValueRelay<QString> statusRelay;
    LatestValueRelay<qulonglong> progressRelay;
    std::unique_ptr<JobTrace> trace;
};
