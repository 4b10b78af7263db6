#include "ch341.h"

#include <QDebug>

void CH341::DoEraseFlash()
{
    qDebug() << "CH341::DoEraseFlash";
    const int initialized = InitializeProgrammer();
    qDebug() << initialized;
    if (initialized != 1) {
        LogInitializeFailure();
        emit JobDone();
        return;
    }
    if (!EraseWholeChip(true)) {
        EndJob();
        return;
    }
    WriteDisable();
    if (!SendQueuedCommands())
        LogTransferFailure();
    EndJob();
}

void CH341::DoVerifyFlash()
{
    QByteArray image;
    if (!StartImageJob(image))
        return;
    Log(QStringLiteral("Reading from Chip... "), "black", 1, false);
    QByteArray chipData;
    // The verdict is known at the first chunk that differs: reading on would
    // only keep the operator waiting.
    const int readResult =
        TransferFailed ? -1 : ReadFlashChunks(image.size(), ChipPage, &chipData, &image);
    if (readResult < 0) {
        LogRoutineFailure(readResult);
        EndJob();
        return;
    }
    LogOk();
    if (readResult == 0 || image != chipData) {
        Log(QStringLiteral("No Match Found!"), "red");
    } else {
        Log(QStringLiteral("Match Found!"), "green");
        emit UpdateHexView(chipData);
    }
    EndJob();
}
