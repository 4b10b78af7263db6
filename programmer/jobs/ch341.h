#pragma once

// CH341: the worker that carries out one job (identify, read, write, verify, erase or update
// a flash chip) against the programmer, on the worker thread. It reports through its signals,
// emits JobDone exactly once, last, and records before it how the job ended. The jobs read as
// their steps and log lines; the chip operations below them are the chip layer's (FlashChip
// and the units built on it), which talks to the bridge through SpiTransport.

#include "programmer/identify/chipidentification.h"
#include "programmer/identify/chiplists.h"
#include "programmer/chips/eeprom/eepromunit.h"
#include "programmer/chips/nor/chipreader.h"
#include "programmer/chips/nor/flashchip.h"
#include "programmer/jobs/joblog.h"
#include "programmer/jobs/operatoranswers.h"
#include "programmer/transport/i2ctransport.h"
#include "programmer/transport/microwiretransport.h"
#include "programmer/transport/spitransport.h"
#include "programmer/chips/updateplan.h"
#include "regions/flashdescriptor.h"
#include "regions/flashregion.h"

#include <QByteArray>
#include <QColor>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class DumpTarget;
struct RegionBytes;

class CH341 : public QObject
{
    Q_OBJECT

    // First, so that TransferFailed can show its failure.
    SpiTransport m_bus;
    // 24xx and 93xx parts: the same failure as m_bus.
    I2cTransport m_i2c{m_bus};
    MicrowireTransport m_wire{m_bus};

public:
    // How a job ended. A job that does not say otherwise failed.
    enum class JobOutcome {
        Failed,
        Succeeded,
        Declined, // the operator said no to a question the job asked
    };
    Q_ENUM(JobOutcome)

    explicit CH341(bool flag, QObject *parent = nullptr);

    void *DeviceHandle = nullptr;
    bool Flag = false;
    QString ProgModel;
    QString FileName;
    QByteArray Buffer;
    uint32_t ChipSize = 0;
    QString ChipSeries;
    QString ChipPage;
    // Where the update job keeps the chip's old contents (the front ends choose LOG/Backup/<date>
    // beside the job logs); made when needed.
    QString BackupFolder;
    // The read job, and the update job's backup, read the whole chip twice and go on only when
    // both reads agree.
    bool ReadTwice = false;
    // The I2C clock of a 24xx EEPROM's jobs in kHz (--i2c-speed): 20, 100, 400 or 750; any
    // other value runs at 100, which every 24xx part is rated for at every supply voltage.
    uint32_t I2cSpeedKHz = 100;
    // On a CH347: after identifying the chip at the clock chosen, the job tries each clock from
    // 60 MHz down and runs at the first one that reads the chip's start alike twice.
    bool AutoSpiClock = false;
    // The part the operator named for the socket (--part), in any case; empty for none. A part
    // without the chip's identifier ends the job; where parts of different sizes share it,
    // this one is taken without a question.
    QString PartName;
    // With PartName: the part's facts are used even where the chip answers another id
    // (--force-part), as the command line chose.
    bool ForcePart = ChosenPartForced();
    // A chip used by its SFDP table with consent is kept under this name in the user's own
    // chip list (--remember-part); empty: not kept.
    QString RememberPart = RememberedPartName();
    // The part of the chip the read, verify, write and update jobs take (--offset and
    // --length, --layout, --ifd, --fmap with --include); the whole chip by default.
    RegionSelection Regions;

    // Busy waits end on these deadlines of the monotonic clock; tests shorten them. A chip
    // erase of 0 takes 25 s per MiB of ChipSize, at least 200 s.
    qint64 PageProgramTimeoutMs;
    qint64 StatusWriteTimeoutMs;
    qint64 ChipEraseTimeoutMs = 0;

    // The operator's answer to ClearProtection_Question or UnknownChip_Question; any thread
    // may call it. An answer given before the question is asked is kept for it.
    void AnswerClearProtection(bool clear);
    // The operator's answer to UnknownChip_Question: yes also keeps the chip in the user's
    // own chip list under keepAs (empty: not kept); any thread may call it.
    void AnswerUnknownChip(bool use, const QString &keepAs);
    // The operator's answer to PartChoice_Question: one of its parts, or empty for none; any
    // thread may call it.
    void AnswerPartChoice(const QString &part);
    // The operator's answer to RegionChoice_Question: write (with the regions ticked) or
    // cancel the job; any thread may call it.
    void AnswerRegionChoice(bool write, const QStringList &regions);

    // Recorded before JobDone and never changed after it: the front ends read it there, on
    // their own thread.
    JobOutcome Outcome() const { return m_outcome.load(); }

    // Asks the job to stop at its next safe point (after the page, erase or status write in
    // flight) and to log what it left on the chip; any thread may call it.
    void RequestStop() { m_stopRequested = true; }
    bool StopRequested() const { return m_stopRequested.load(); }

signals:
    void UpdateProgreesBar_Value(qulonglong val);
    void SetProgreesBar_MaxValue(qulonglong val);
    void UpdateLogWindow_Text(QString Message, QColor Colour, int Weight, bool Italic,
                              bool UnderLine, bool NewLine);
    void Set_Label_Status_TEXT(QString val);
    void Set_Label_ProgModel_TEXT(QString val);
    void Set_Label_ProgStatus_TEXT(QString val);
    void JobDone();
    void UpdateHexView(QByteArray data);
    // The chip is write protected; the job sleeps until AnswerClearProtection. Unconnected,
    // the job refuses the chip.
    void ClearProtection_Question(QString StatusRegister);
    // The chip is in no chip list but describes itself by SFDP; the job sleeps until
    // AnswerClearProtection (yes: use it). Unconnected, the job ends.
    void UnknownChip_Question(QString JedecId, qulonglong Size);
    // Parts of different sizes share the chip's identifier and its SFDP does not tell them
    // apart; the job sleeps until AnswerPartChoice. Unconnected, the job ends.
    void PartChoice_Question(QStringList Parts);
    // The update's image and the chip both hold an Intel flash descriptor: which of the
    // image's regions (each with its range, the ones the image changes in Changed) to write.
    // The job sleeps until AnswerRegionChoice. Unconnected, the update writes the whole image.
    void RegionChoice_Question(QStringList Regions, QStringList Ranges, QStringList Changed);
    // The part named (PartName) has another id than the chip answers; the job sleeps until
    // AnswerClearProtection (yes: its facts are used, as with ForcePart). Unconnected,
    // ForcePart decides.
    void PartId_Question(QString Part, QString PartId, QString ChipId);
    // A user's row disagrees with the chip's SFDP table (what each gives); the job sleeps
    // until AnswerClearProtection (yes: used, at SFDP's size). Unconnected, ForcePart decides.
    void RowAgainstSfdp_Question(QString Part, QString Origin, QString RowGives,
                                 QString SfdpGives);

public slots:
    void DoReadID();
    void DoReadFlash();
    void DoWriteFlash();
    void DoVerifyFlash();
    void DoEraseFlash();
    // Write with a backup first, erasing and programming only what the image changes.
    void DoUpdateFlash();

public:
    bool SelectChip();
    bool DeselectChip();
    qint64 SpiSend(int deselect, unsigned int length, QByteArray frame);
    void SpiReceive(int count, QByteArray &answer);
    void ConfigureProgrammer();
    int InitializeProgrammer();
    int ReleaseAndClose();
    int ReadChipIDs(FlashIDs &ids);
    // 1 read; -1 the transfer failed; -2 the chip list's page text is not a size.
    int ReadFlashData(int size, QString chunkSpec, QByteArray *result);
    // The whole chip in the bridge's chunks, twice with ReadTwice: 1 read (and both reads
    // agree); 0 they differ, logged with nothingDone; -1 the transfer failed.
    int ReadWholeChip(QByteArray &contents, const QString &nothingDone);
    // The same over spans, their bytes one after the other.
    int ReadSpans(const QVector<ChipSpan> &spans, QByteArray &contents,
                  const QString &nothingDone);
    // 1 written; -1 the transfer failed; -2 refused (logged); -3 the chip stayed busy.
    int WriteFlashData(int size, QString chunkSpec, QByteArray data);
    bool IsBusy();
    void WriteEnable();
    void WriteDisable();

    // Set when a select, stream or status read of this job failed: the programmer was
    // unplugged or stopped answering.
    const bool &TransferFailed = m_bus.failed();

private:
    enum class EmptyImage { Refused, Allowed };

    int ConnectProgrammer();
    // AutoSpiClock's search; false, logged, when no clock reads the chip reliably.
    bool SettleSpiClock();
    // Loads the job's image, then connects and identifies the chip, which the image must fit.
    // False when the job has already ended.
    bool StartImageJob(QByteArray &image, EmptyImage emptyImage);
    void EndJob();
    // The part of the chip the job takes (Regions), resolved once the chip is known and logged
    // region by region; m_regions stays empty for the whole chip. imageSize: the file a write
    // or verify takes, from which a range gets its length; -1 for a read. False, logged, when
    // the selection does not fit the chip.
    bool ResolveRegions(int imageSize);
    bool SelectedRange(int imageSize, SelectedRegions &selected);
    // What the job finds on the chip for a Descriptor or an Fmap selection.
    bool FindChipLayout(QVector<FlashRegion> &layout);
    // The wanted bytes of every region: its own file, the image at the range's start, or the
    // image at the region's own offsets. False, logged, when a file does not fit its region.
    bool PlaceRegionBytes(const QByteArray &image, RegionBytes &placed);
    // With a Descriptor selection: false, logged, when the image's descriptor places the
    // regions differently from the chip's (unless forced).
    bool ImageFitsBoard(const QByteArray &image, const RegionBytes &placed);
    // The update's question which descriptor regions to write; wanted loses the image's bytes
    // of the regions the operator leaves out. False when the operator cancelled.
    bool ChooseRegions(const QByteArray &chip, const QByteArray &image, QByteArray &wanted);
    // The read job over m_regions: a range into FileName, regions into their own files or one
    // chip-sized dump.
    void ReadRegions();
    // The verify job over m_regions.
    void VerifyRegions(const QByteArray &image);
    // A read that failed or was stopped (its dumps cancelled): why, and the job's end.
    void EndFailedRead(int readResult);
    // Saves a dump and logs where, with its checksums; false, logged, when it cannot.
    bool SaveDump(DumpTarget &dump, const QString &shownPath, const QByteArray &contents);
    // A good read's end: the programmer released, the dump's folder shown.
    void EndRead(const QString &fileName, bool stream);
    // The read job's end: the folder of the file shown (and left in FileName), unless it is a
    // stream.
    void ShowDumpFolder(const QString &fileName, bool stream);
    // Emits the question when someone listens to it and waits for the yes or no.
    bool AskOperator(const QMetaMethod &question, const std::function<void()> &ask);
    // False, having logged why, when the chip stays protected: the operator said no, nobody
    // could be asked, or the protection cannot be cleared.
    bool MakeChipWritable();
    // consent: the operator agreed to clear the protection (of any die).
    bool MakeDieWritable(bool &consent);
    // Refuses a chip that stays protected, erases it whole and checks it blank, logging
    // "Erasing Chip... " and how it ended. False when the job must stop.
    bool EraseWholeChip(bool tracePolls, ChipReader::BlankCheck blankCheck);
    // The write job after loading: the whole chip erased, the image programmed and read back.
    // checksummed: what the checksum line is of (the job's file); the image itself when null.
    void WriteAfterChipErase(const QByteArray &image, const QByteArray *checksummed = nullptr);
    // The update job after the backup: only the units and pages that differ.
    void UpdateChanged(const UpdatePlan &plan, const QByteArray &wanted, const QByteArray &image);
    // Reads back what a write programmed (spans of expected, the chip's wanted contents): "OK"
    // and the image's checksums, or where the chip differs.
    void ProveWritten(const QVector<ChipSpan> &spans, const QByteArray &expected,
                      const QByteArray &image);
    // Where the job was asked to stop: one red line, "Interrupted <when>: <state>", with the
    // backup's path once the update has one.
    void LogInterrupted(const QString &when, const QString &state);
    // True, having logged the line, when a stop was asked for before this safe point.
    bool Interrupted(const QString &when, const QString &state);
    // What a stopped programming run left: the bytes below reached written, then rest.
    static QString WrittenState(uint32_t reached, const QString &written, const QString &rest);

    // Serial EEPROMs: chosen by name, never identified. The part --part names when it is an
    // EEPROM row.
    std::optional<EepromPart> ChosenEeprom(const QList<ChipRecord> &userRows) const;
    // Logs the chosen part and how it is reached, and checks that it answers: 1, or -1/-2
    // logged.
    int ReachEeprom(const EepromPart &part);
    // The chosen part's kind, on its bus; none for a kind no job reaches yet.
    std::unique_ptr<EepromUnit> EepromUnitFor(const EepromPart &part);
    // False, with the bridge's own red line, when the open bridge has no documented way to
    // the part's bus.
    bool BridgeReaches(const EepromPart &part);
    // Like ChipReader's read and compare, over the chosen EEPROM (results of EepromUnit).
    int ReadEeprom(const QVector<ChipSpan> &spans, QByteArray &result,
                   const QByteArray *expected = nullptr);
    int CompareWithEeprom(const QVector<ChipSpan> &spans, const QByteArray &expected,
                          int &difference, uint8_t &chipByte);
    // Page writes of wanted's spans (no erase), then the read-back; rest: what a stop leaves
    // beyond the written bytes.
    void WriteEepromPages(const QVector<ChipSpan> &pages, const QByteArray &wanted,
                          const QByteArray &image, const QString &rest);
    // The update after the backup: only the pages the image changes.
    void UpdateEeprom(const QByteArray &chip, const QByteArray &image);
    // Every page written 0xFF and read back.
    void EraseEeprom();
    // BP1:BP0 cleared with the operator's consent; false, logged, when the part stays
    // protected.
    bool MakeEepromWritable();

    // The bridge's stream mode: SPI most significant bit first, the I2C clock of I2cSpeedKHz.
    uint32_t StreamMode() const;

    FlashChip m_chip{m_bus};
    std::optional<EepromPart> m_eeprom;
    JobLog m_log{*this};
    JobProgress m_progress{*this};
    OperatorAnswers m_answers;
    std::atomic<JobOutcome> m_outcome{JobOutcome::Failed};
    std::atomic<bool> m_stopRequested{false};
    // Where a stopped WriteFlashData ended.
    uint32_t m_programmedTo = 0;
    // The regions the job takes once resolved; empty for the whole chip.
    QVector<SelectedRegion> m_regions;
    // The chip's descriptor, where a Descriptor selection read it.
    FlashDescriptor m_chipDescriptor;
    // The update's backup, as the log showed it; empty until it is saved.
    QString m_backupPath;
};
