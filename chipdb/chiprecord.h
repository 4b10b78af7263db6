#pragma once

#include <QMap>
#include <QString>
#include <QtGlobal>

// One row of the chip list, as read from one chip element.
struct ChipRecord
{
    QString protocol; // "SPI", "I2C" or "MicroWire"
    QString vendor;
    QString partName; // element name as written, leading underscore included
    QString id;       // upper-case hexadecimal identification answer, verbatim
    QString page;     // decimal page size, or the SST markers "SSTB" and "SSTW"
    qint32 size = 0;  // capacity in bytes
    QString spicmd;   // command series: "95", "45", "KB", or empty for 25-series flash
    quint16 otp = 0;
    quint8 addrtype = 0;
    quint8 addrbitlen = 0;
    // Supply voltage range in millivolts; 0: no source gives it.
    quint16 voltageMinMv = 0;
    quint16 voltageMaxMv = 0;
    // A row of a user's chip list carries its facts by name, as chips.tsv spells them (the
    // built-in rows' facts are compiled in): the protection layout, the identification
    // command and the whole-chip erase. Empty for a built-in row.
    QString layout;
    QString idcmd;
    QString erase;
    // Where a user's row comes from: "FILE line N"; empty for the built-in list.
    QString origin;
};

// Chip rows keyed by their ordinal among the chip elements, so ascending keys are file order.
using ChipList = QMap<quint16, ChipRecord>;
