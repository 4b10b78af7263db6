#pragma once

// What the chip list says of a part's supply voltage, as the log shows it, and whether the
// part needs a 1.8 V adapter on a programmer that drives its lines at 3.3 V (CH341A, CH347).
// Worker thread.

#include <QList>
#include <QString>

struct ChipRecord;

// "2.7-3.6 V" where every row names the same range; "2.7-3.6 V (A) or 1.65-2.0 V (B, C): the
// Marking on the Chip Decides" where the rows of one identifier differ; empty where no row
// names one.
QString SupplyVoltageText(const QList<ChipRecord> &rows);
// Every row a part of at most 2.0 V: the programmer's 3.3 V may damage it.
bool NeedsLowVoltageAdapter(const QList<ChipRecord> &rows);
// The highest supply of the rows, in volts ("2.0").
QString HighestSupplyText(const QList<ChipRecord> &rows);
