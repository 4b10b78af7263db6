#pragma once

// CH341: the worker that carries out one job (identify, read, write, verify or
// erase a flash chip) against the programmer, on the worker thread. It reports
// through its signals, emits JobDone exactly once, last, and records before it
// how the job ended.

#include "chipfamily.h"
#include "updateplan.h"
#include "chipdb/chiprecord.h"

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <functional>
#include <cstdint>
#include <optional>

// Answers of the five identification commands.
struct FlashIDs
{
    QByteArray ID9FH;
    QByteArray ID90H;
    QByteArray IDABH;
    QByteArray ID15H;
    QByteArray ID4BH;
};

class CH341 : public QObject
{
    Q_OBJECT

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

    // The identified chip's family: its protection bits and quirks, the
    // layouts of all parts that share its identifier settled into one.
    const ChipFamily *Family = nullptr;

    // Busy waits end on these deadlines of the monotonic clock; tests shorten
    // them. A chip erase of 0 takes 25 s per MiB of ChipSize, at least 200 s.
    qint64 PageProgramTimeoutMs;
    qint64 StatusWriteTimeoutMs;
    qint64 ChipEraseTimeoutMs = 0;

    // The operator's answer to ClearProtection_Question or
    // UnknownChip_Question; any thread may call it. An answer given before the
    // question is asked is kept for it.
    void AnswerClearProtection(bool clear);
    // The operator's answer to PartChoice_Question: one of its parts, or empty
    // for none; any thread may call it.
    void AnswerPartChoice(const QString &part);

    // Recorded before JobDone and never changed after it: the front ends read it there, on
    // their own thread.
    JobOutcome Outcome() const { return m_outcome.load(); }

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
    // The chip is write protected; the job sleeps until AnswerClearProtection.
    // Unconnected, the job refuses the chip.
    void ClearProtection_Question(QString StatusRegister);
    // The chip is in no chip list but describes itself by SFDP; the job sleeps
    // until AnswerClearProtection (yes: use it). Unconnected, the job ends.
    void UnknownChip_Question(QString JedecId, qulonglong Size);
    // Parts of different sizes share the chip's identifier and its SFDP does
    // not tell them apart; the job sleeps until AnswerPartChoice. Unconnected,
    // the job ends.
    void PartChoice_Question(QStringList Parts);

public slots:
    void DoReadID();
    void DoReadFlash();
    void DoWriteFlash();
    void DoVerifyFlash();
    void DoEraseFlash();
    // Write with a backup first, erasing and programming only what the image changes.
    void DoUpdateFlash();

public:
    // Transport
    bool SelectChip();
    bool DeselectChip();
    qint64 SpiSend(int deselect, unsigned int length, QByteArray frame);
    void SpiReceive(int count, QByteArray &answer);
    // A pause the bridge makes between the commands queued around it.
    void PauseOnBridge(uint32_t microseconds);
    // Sends the queued commands now, so that a routine reports their failure
    // before it reports success. False when the job's transfers have failed.
    bool SendQueuedCommands();
    void ConfigureProgrammer();
    int InitializeProgrammer();
    int ReleaseAndClose();

    // Identification
    int ReadChipIDs(FlashIDs &ids);

    // Data and command routines
    int ReadFlashData(int size, QString chunkSpec, QByteArray *result);
    int WriteFlashData(int size, QString chunkSpec, QByteArray data);
    bool IsBusy();
    void WriteEnable();
    void WriteDisable();
    // 0xB7 / 0xE9, with write enable first where the family needs it.
    void EnterFourByteMode();
    void ExitFourByteMode();

    // Set when a select, stream or status read of this job failed: the
    // programmer was unplugged or stopped answering.
    bool TransferFailed = false;

private:
    enum class WaitResult { Ready, TransferFailed, TimedOut };
    enum class BlankCheck { Ends, WholeChip };
    // Status Register-1, -2 and -3 as a protection check read them; FFh: not read.
    struct StatusRegisters
    {
        uint8_t status1 = 0;
        uint8_t status2 = 0xFF;
        uint8_t status3 = 0xFF;
    };
    // What the chip's SFDP table says, where it has one.
    struct SfdpFacts
    {
        uint64_t density = 0; // bytes; 0: no valid table
        uint32_t pageSize = 256;
        QuadEnable quadEnable = QuadEnable::Unknown;
        // A 4 KiB erase throughout the array, by 20h.
        bool sectorErase = false;
        // The erase types listed: the opcode and the bytes it erases.
        QVector<QPair<uint8_t, uint32_t>> eraseTypes;
    };

    // Marks the job's transfers failed when a bridge call failed.
    bool BridgeCall(bool succeeded);

    int ConnectProgrammer();
    int IdentifyChip();
    // An answer that never arrived is no chip identifier: the device closes.
    int EndIdentificationOnTransferFailure();
    // Reads 9Fh twice more: a loose clip or long wires make the answers differ. False, having
    // logged the answers, when they do.
    bool IdentifierIsSteady(const FlashIDs &ids);
    // The chip-list ids the answers can stand for, the likeliest first.
    QStringList IdentificationKeys(const FlashIDs &ids);
    // Keeps the rows of the size in the socket: by the chip's SFDP density,
    // else as the operator chooses. False, having logged why, when none is.
    bool KeepRowsOfOneSize(QList<ChipRecord> &rows);
    QString AskForPart(const QStringList &parts);
    // The chip's layout, page and erase from the rows its identifier names
    // (and SFDP's Quad Enable Requirements, once read).
    void ApplySettlement();
    bool PartsDisagree() const;
    void Log(const QString &message, const char *colour, int weight = 1, bool newLine = true,
             bool italic = false);
    void LogOk();
    void LogInitializeFailure();
    void LogTransferFailure();
    void LogTimeout();
    void LogInvalidChunkSpec(const QString &chunkSpec);
    void LogRoutineFailure(int result);
    void EndJob();
    // The job file's absolute path as the log shows it; "-" is the standard stream.
    QString ShownFileName(const QString &standardStream) const;
    // The whole job file ("-": standard input), or false having logged why not.
    bool LoadJobFile(QByteArray &contents);
    // Loads the job's image, then connects and identifies the chip, which the
    // image must fit. False when the job has already ended.
    enum class EmptyImage { Refused, Allowed };
    bool StartImageJob(QByteArray &image, EmptyImage emptyImage);
    // Logs and refuses an image longer than the identified chip.
    bool RefuseOversizedImage(const QByteArray &image);
    // False, having logged why, when the chip stays protected: the operator
    // said no, nobody could be asked, or the protection cannot be cleared.
    bool MakeChipWritable();
    // The same for one die (the selected one).
    bool MakeDieWritable();
    bool AskToClearProtection(const QString &status);
    // Emits the question when someone listens to it and waits for the answer.
    bool AskOperator(const QMetaMethod &question, const std::function<void()> &ask);
    // Reads the SFDP header and basic flash parameter table.
    SfdpFacts ReadSfdp();
    // The table is read at most once a job.
    const SfdpFacts &ReadSfdpOnce();
    // A chip in no list that describes itself: used as the operator says.
    bool AcceptSfdpChip(const QString &jedecId);
    // Tries the layout's ways to clear, each only while the ones before it
    // changed nothing.
    bool ClearProtection(StatusRegisters status);
    // The status writes of one way to clear the protection, each after its enable.
    QList<QByteArray> ProtectionClearingWrites(uint8_t method,
                                               const StatusRegisters &status) const;
    bool MayTryAfterIgnored(uint8_t method, const StatusRegisters &status) const;
    void LogProtectionLocked(const StatusRegisters &status);
    // Status Register-1, and Status Register-2 (or the SST26 configuration
    // register) and -3 where the layout uses them; SST26 also the block register.
    bool ReadProtectionStatus(StatusRegisters &status);
    bool ReadsStatus2() const;
    bool ReadsStatus3() const;
    bool IsProtected(const StatusRegisters &status) const;
    // "1C", or "00 0x42" with Status Register-2: the text after "0x".
    QString StatusText(const StatusRegisters &status) const;
    // Logs, and returns true, when the erased chip holds anything but 0xFF:
    // in its first or last 4 KiB, or anywhere.
    bool RefuseNonBlankChip(BlankCheck blankCheck);
    // address: of the first byte that is not 0xFF, else unchanged. False
    // when the read failed.
    bool FindNonBlankAtEnds(int &address);
    bool FindNonBlankInChip(int &address);
    // Reads the chip from address 0 for as long as `expected`, in 4 KiB
    // chunks, stopping at the first chunk that differs. 1: every byte
    // matches; 0: difference is the first differing address and chipByte the
    // chip's byte there; negative: the read failed.
    int CompareWithChip(const QByteArray &expected, int &difference, uint8_t &chipByte);
    // The same over spans of the chip, expected holding the chip's whole wanted contents.
    int CompareWithChip(const QVector<ChipSpan> &spans, const QByteArray &expected,
                        int &difference, uint8_t &chipByte);
    bool RefuseEmptyImage(const QByteArray &image);
    // Reads back what a write programmed (spans of expected, the chip's wanted contents):
    // "OK" and the image's checksums, or where the chip differs.
    void ProveWritten(const QVector<ChipSpan> &spans, const QByteArray &expected,
                      const QByteArray &image);
    // The write job after loading: the whole chip erased, the image programmed and read back.
    void WriteAfterChipErase(const QByteArray &image);
    // One line: the CRC-32 and SHA-256 of bytes read or written.
    void LogChecksums(const QByteArray &bytes);
    bool ReadAt(uint32_t address, int count, QByteArray &data);
    // One status-type register: its opcode, then one byte clocked in.
    bool ReadRegister(uint8_t opcode, uint8_t &value);
    bool ReadStatus(uint8_t &status);
    // errorFlags: the status bits that end a wait as an error would.
    bool IsBusyUnless(uint8_t errorFlags);
    WaitResult WaitWhileErasing(bool tracePolls);
    // A status write waits out flags that may be protection bits instead.
    WaitResult WaitWhileProgramming(qint64 timeoutMs, bool statusWrite = false);
    // Page programming, several pages per exchange: per page write enable,
    // the program command, a pause the bridge makes and a status read.
    struct PageBatchPlan
    {
        uint32_t pauseUs;
        bool learning; // one page per exchange: the pause is not known to suffice
    };
    void QueuePage(const QByteArray &data, int offset, int length, bool fourByteAddress,
                   uint32_t pauseUs);
    // Queues the pages from offset on that one exchange carries, skipping
    // blank ones; returns where it stopped and lists the queued pages.
    int QueuePageBatch(const QByteArray &data, int offset, int chunk, bool fourByteAddress,
                       const PageBatchPlan &plan, QVector<int> &queued);
    // The index of the first status that shows the chip busy, -1 for none.
    int FirstBusyPage(const QByteArray &statuses);
    // Status text and progress value for each page in [from, to).
    void ReportWritten(int from, int to, int chunk, int length);
    // SST auto-address-increment programming for page texts "SSTW" and "SSTB", from base on.
    int WriteFlashDataAai(const QString &chunkSpec, const QByteArray &data, uint32_t base = 0);
    static bool IsErased(const QByteArray &data);
    // The update job's steps (ch341_update.cpp).
    enum class UnitEraseResult { Done, Failed, SectorEraseIgnored };
    bool ReadWholeChip(QByteArray &chip);
    // Saves the chip's contents in a new file in BackupFolder, or logs why not.
    bool SaveBackup(const QByteArray &chip);
    QString FreeBackupPath() const;
    UnitErases ChipUnitErases();
    qint64 WholeChipEraseUs() const;
    void UpdateChanged(const UpdatePlan &plan, const QByteArray &wanted, const QByteArray &image);
    UnitEraseResult EraseUnits(const QVector<UnitErase> &erases);
    int ProgramPlanned(const UpdatePlan &plan);
    // Ends a programming run: 4-byte mode off, write disable.
    void LeaveProgramming(bool fourByteAddress);
    // Refuses a chip that stays protected, sends the chip erase, waits for it
    // and checks the chip blank; logs "Erasing Chip... " and how it ended.
    // False when the job must stop.
    bool EraseWholeChip(bool tracePolls, BlankCheck blankCheck);
    // The chip's own whole-chip erase: C7h (on each die), C4h per die or D8h
    // per block, each waited for. False, having logged why, when one failed.
    bool SendWholeChipErase(bool tracePolls);
    // first: logs "Erasing Chip... " once the command is sent.
    bool EraseStep(const QByteArray &command, uint32_t address, bool tracePolls, bool first);
    // Stacked dies behind one chip select (Software Die Select); 1 otherwise.
    int StackedDies() const;
    uint32_t DieSize() const;
    // Whether reaching `extent` bytes of the chip (of each die) takes 4-byte addresses.
    bool NeedsFourByteAddress(uint32_t extent) const;
    // The address inside its die, the die selected first (in the same address mode).
    uint32_t DieAddress(uint32_t address, bool fourByteAddress);
    void SelectDie(int die);
    void SendDieSelect(int die);
    // Ends an addressed run: 4-byte mode off, the first die selected again.
    void LeaveAddressing(bool fourByteAddress);
    void SendSingleByteCommand(uint8_t opcode);
    // The read routine; with an expected image it stops after the first chunk
    // that differs from it and returns 0. A read that a job reports as its
    // own ends with the bar at 0; a read-back that proves a write or an erase
    // leaves it full.
    enum class ProgressEnd { Reset, Full };
    int ReadFlashChunks(int size, const QString &chunkSpec, QByteArray *result,
                        const QByteArray *expected, ProgressEnd progressEnd = ProgressEnd::Reset);
    // The same over spans of the chip, one after the other into result; expected (if any)
    // holds the chip's contents by address.
    int ReadFlashSpans(const QVector<ChipSpan> &spans, int chunk, QByteArray *result,
                       const QByteArray *expected, ProgressEnd progressEnd);
    QByteArray AddressedHeader(uint8_t opcode, uint32_t address, bool fourByteAddress) const;
    // The 4-byte-address twin of a read, program or erase opcode on parts
    // that have no 4-byte mode; the opcode itself otherwise.
    uint8_t FourByteOpcode(uint8_t opcode) const;
    // Logs a failed program or erase, and clears the error flags that would
    // keep the chip busy (Spansion P_ERR and E_ERR). False when none is set.
    bool ReportChipError(uint32_t address, bool erase);
    // Selects the chip, clocks the header and then count bytes in, deselects.
    bool ReadCommand(const QByteArray &header, int count, QByteArray &answer);
    // The read job's chunk, which verify and the read-backs read in as well.
    static const QString &WholeChipChunkSpec();
    static int ChunkSize(const QString &chunkSpec, int sstChunk);
    static QString StatusHex(uint8_t status);
    static QString AddressHex(uint32_t address);

    // The status register as the last status read found it.
    uint8_t m_lastStatus = 0;
    // SST26: the last block register read found a locked block.
    bool m_blocksLocked = false;
    QSemaphore m_protectionAnswered;
    std::atomic<bool> m_clearProtection{false};
    std::atomic<JobOutcome> m_outcome{JobOutcome::Failed};
    QString m_chosenPart;
    // The operator agreed to clear the protection (of any die).
    bool m_protectionConsent = false;
    // The rows the identifier names, of the size in the socket.
    QList<ChipRecord> m_candidates;
    SettledChip m_settled;
    std::optional<SfdpFacts> m_sfdp;
    int m_die = 0;
};
