#pragma once

// CH341: the worker that carries out one job (identify, read, write, verify or
// erase a flash chip) against the programmer, on the worker thread. It reports
// through its signals, emits JobDone exactly once, last, and records before it
// how the job ended.

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

struct ChipFamily;

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

    // The identified chip's family: its protection bits and quirks.
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

public slots:
    void DoReadID();
    void DoReadFlash();
    void DoWriteFlash();
    void DoVerifyFlash();
    void DoEraseFlash();

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

    // Marks the job's transfers failed when a bridge call failed.
    bool BridgeCall(bool succeeded);

    int ConnectProgrammer();
    int IdentifyChip();
    // An answer that never arrived is no chip identifier: the device closes.
    int EndIdentificationOnTransferFailure();
    // The chip-list ids the answers can stand for, the likeliest first.
    QStringList IdentificationKeys(const FlashIDs &ids);
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
    bool AskToClearProtection(const QString &status);
    // Emits the question when someone listens to it and waits for the answer.
    bool AskOperator(const QMetaMethod &question, const std::function<void()> &ask);
    // Reads the SFDP header and basic flash parameter table: the density in
    // bytes, or 0 when there is no valid table.
    uint64_t ReadSfdpDensity(uint32_t &pageSize);
    // A chip in no list that describes itself: used as the operator says.
    bool AcceptSfdpChip(const QString &jedecId);
    bool ClearProtection(uint8_t status1, uint8_t status2);
    // The status writes that clear the protection, each after its enable.
    QList<QByteArray> ProtectionClearingWrites(uint8_t status1, uint8_t status2) const;
    void LogProtectionLocked(uint8_t status1, uint8_t status2);
    // Status Register-1, and Status Register-2 (or the SST26 configuration
    // register) where the layout uses it; SST26 also the block register.
    bool ReadProtectionStatus(uint8_t &status1, uint8_t &status2);
    bool ReadsStatus2() const;
    bool IsProtected(uint8_t status1, uint8_t status2) const;
    // "1C", or "00 0x42" with Status Register-2: the text after "0x".
    QString StatusText(uint8_t status1, uint8_t status2) const;
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
    bool RefuseEmptyImage(const QByteArray &image);
    // Reads back what the write job programmed: "OK", or where the chip differs.
    void ProveWritten(const QByteArray &image);
    bool ReadAt(uint32_t address, int count, QByteArray &data);
    // One status-type register: its opcode, then one byte clocked in.
    bool ReadRegister(uint8_t opcode, uint8_t &value);
    bool ReadStatus(uint8_t &status);
    WaitResult WaitWhileErasing(bool tracePolls);
    WaitResult WaitWhileProgramming(qint64 timeoutMs);
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
    // SST auto-address-increment programming for page texts "SSTW" and "SSTB".
    int WriteFlashDataAai(const QString &chunkSpec, const QByteArray &data);
    // Ends a programming run: 4-byte mode off, write disable.
    void LeaveProgramming(bool fourByteAddress);
    // Refuses a chip that stays protected, sends the chip erase, waits for it
    // and checks the chip blank; logs "Erasing Chip... " and how it ended.
    // False when the job must stop.
    bool EraseWholeChip(bool tracePolls, BlankCheck blankCheck);
    void SendSingleByteCommand(uint8_t opcode);
    // The read routine; with an expected image it stops after the first chunk
    // that differs from it and returns 0. A read that a job reports as its
    // own ends with the bar at 0; a read-back that proves a write or an erase
    // leaves it full.
    enum class ProgressEnd { Reset, Full };
    int ReadFlashChunks(int size, const QString &chunkSpec, QByteArray *result,
                        const QByteArray *expected, ProgressEnd progressEnd = ProgressEnd::Reset);
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
};
