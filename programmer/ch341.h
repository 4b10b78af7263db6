#pragma once

// CH341: the worker that carries out one job (identify, read, write, verify or
// erase a flash chip) against the programmer, on the worker thread. It reports
// only through its signals and emits JobDone exactly once, last.

#include <QByteArray>
#include <QColor>
#include <QObject>
#include <QString>

#include <cstdint>

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
    explicit CH341(bool flag, QObject *parent = nullptr);

    void *DeviceHandle = nullptr;
    bool Flag = false;
    QString ProgModel;
    QString FileName;
    QByteArray Buffer;
    uint32_t ChipSize = 0;
    QString ChipSeries;
    QString ChipPage;

    // Limits on status polls; each poll is two blocking USB exchanges of at
    // least one 1 ms full-speed frame each. Tests shorten them.
    int PageProgramPollLimit;
    qint64 ChipErasePollLimit() const;

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

    // Set when a select, stream or status read of this job failed: the
    // programmer was unplugged or stopped answering.
    bool TransferFailed = false;

private:
    enum class WaitResult { Ready, TransferFailed, TimedOut };

    int ConnectProgrammer();
    int IdentifyChip();
    void Log(const QString &message, const char *colour, int weight = 1, bool newLine = true,
             bool italic = false);
    void LogOk();
    void LogInitializeFailure();
    void LogTransferFailure();
    void LogTimeout();
    void LogInvalidChunkSpec(const QString &chunkSpec);
    void LogRoutineFailure(int result);
    void EndJob();
    bool LoadJobFile(QByteArray &contents);
    // Connects, identifies the chip and loads the job's image, which must fit
    // the chip. False when the job has already ended.
    bool StartImageJob(QByteArray &image);
    // Logs and refuses an image longer than the identified chip.
    bool RefuseOversizedImage(const QByteArray &image);
    bool RefuseProtectedChip();
    bool ReadStatus(uint8_t &status);
    WaitResult WaitWhileErasing(bool tracePolls);
    WaitResult WaitWhileProgramming();
    // Refuses a protected chip, sends the chip erase and waits for it; logs
    // "Erasing Chip... " and how it ended. False when the job must stop.
    bool EraseWholeChip(bool tracePolls);
    void SendSingleByteCommand(uint8_t opcode);
    // The read routine; with an expected image it stops after the first chunk
    // that differs from it and returns 0.
    int ReadFlashChunks(int size, const QString &chunkSpec, QByteArray *result,
                        const QByteArray *expected);
    static QByteArray AddressedHeader(uint8_t opcode, uint32_t address, bool fourByteAddress);
    static int ChunkSize(const QString &chunkSpec, int sstChunk);
};
