#include "ch341.h"

#include "chipfamily.h"
#include "spiopcodes.h"
#include "tracelog.h"
#include "bridge/ch341dll.h"
#include "chipdb/chiplistextract.h"

// The resource collection lives in a static library; referencing its
// initializer keeps the linker from dropping it.
static void RegisterResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {
const QString kChipListPath = QStringLiteral(":/database/bin/chiplist.xml");

struct IdCommand
{
    QByteArray FlashIDs::*member;
    uint8_t opcode;
    unsigned int frameLength;
    int answerLength;
    bool prefilled; // answer buffer starts as four 0xFF bytes, else empty
};

// The five identification cycles, in the order they are sent.
const IdCommand kIdCommands[] = {
    {&FlashIDs::ID9FH, SpiOpcode::RDID, 1, 3, true},
    {&FlashIDs::ID90H, SpiOpcode::REMS, 4, 2, false},
    {&FlashIDs::IDABH, SpiOpcode::RES, 4, 1, false},
    {&FlashIDs::ID15H, SpiOpcode::RDSR3, 1, 2, true},
    {&FlashIDs::ID4BH, SpiOpcode::RDUID, 4, 17, true},
};

QByteArray IdFrame(const IdCommand &command)
{
    QByteArray frame(1, char(command.opcode));
    if (command.frameLength > 1)
        frame.append(QByteArray(int(command.frameLength) - 1, '\0'));
    return frame;
}
} // namespace

int CH341::ReadChipIDs(FlashIDs &ids)
{
    for (const IdCommand &command : kIdCommands) {
        SpiSend(0, command.frameLength, IdFrame(command));
        QByteArray answer = command.prefilled ? QByteArray(4, char(0xFF)) : QByteArray();
        SpiReceive(command.answerLength, answer);
        ids.*command.member = answer;
    }
    qCDebug(varnockTrace) << "id.ID9FH" << ids.ID9FH.toHex();
    qCDebug(varnockTrace) << "id.ID90H" << ids.ID90H.toHex();
    qCDebug(varnockTrace) << "id.IDABH" << ids.IDABH.toHex();
    qCDebug(varnockTrace) << "id.ID15H" << ids.ID15H.toHex();
    qCDebug(varnockTrace) << "id.ID4BH" << ids.ID4BH.toHex();
    return 1;
}

int CH341::IdentifyChip()
{
    // A job cut short by a failed transfer sends the chip nothing more, so an
    // SST chip may still be in auto-address-increment mode, deaf to all but
    // status reads and write disable.
    WriteDisable();
    FlashIDs ids;
    ReadChipIDs(ids);
    qCDebug(varnockTrace) << ids.ID9FH.toHex();
    // An answer that never arrived is no chip identifier.
    if (TransferFailed) {
        LogTransferFailure();
        CH341CloseDevice(0);
        return -2;
    }

    static const bool registered = (RegisterResources(), true);
    Q_UNUSED(registered);
    ChipListExtract reader(kChipListPath, nullptr);
    int status = 0;
    const ChipList chips = reader.ExtractChipList(&status);

    const QString key = QString::fromLatin1(ids.ID9FH.toHex()).toUpper();
    const ChipList matches = reader.FindChipsByID(chips, key);
    if (matches.isEmpty()) {
        Log(QStringLiteral("No Chip Found in our Database based on this Flash IDs"), "red");
        CH341CloseDevice(0);
        return -2;
    }

    Log(QStringLiteral("Chip(s) Found based on JDEC ID: "), "black", 1, false);
    Log(QStringLiteral("0x") + key, "blue");
    for (const ChipRecord &chip : matches) {
        Log(QStringLiteral("Vendor: "), "black", 1, false);
        Log(chip.vendor, "blue", 1, false);
        Log(QStringLiteral(" Part no: "), "black", 1, false);
        Log(chip.partName, "blue", 1, false);
        Log(QStringLiteral(" Capacity (Byte): "), "black", 1, false);
        Log(QString::number(static_cast<uint32_t>(chip.size)), "blue");
        ChipSize = static_cast<uint32_t>(chip.size);
        ChipSeries = chip.spicmd;
        ChipPage = chip.page;
        Family = &FamilyOfChip(chip.partName, uint8_t(ids.ID9FH.at(0)));
    }

    if (ChipSeries == QLatin1String("45") || ChipSeries == QLatin1String("95")) {
        Log(QStringLiteral(
                "This Software Only Support 25 Series SPI Flash your chip Series is : %1")
                .arg(ChipSeries),
            "red");
        CH341CloseDevice(0);
        return -3;
    }
    // An earlier job cut short may have left the chip in 4-byte mode.
    if (ChipSize > kThreeByteAddressLimit) {
        ExitFourByteMode();
        if (!SendQueuedCommands()) {
            LogTransferFailure();
            CH341CloseDevice(0);
            return -2;
        }
    }
    return 1;
}

void CH341::DoReadID()
{
    if (InitializeProgrammer() != 1) {
        LogInitializeFailure();
        emit JobDone();
        return;
    }
    FlashIDs ids;
    ReadChipIDs(ids);
    qCDebug(varnockTrace) << ids.ID9FH.toHex();
    if (TransferFailed)
        LogTransferFailure();
    EndJob();
}
