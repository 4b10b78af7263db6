#pragma once

// Layout files in flashrom's syntax: a "start:end name" line per region, both hexadecimal
// ("0x" optional), the end inclusive; "#" begins a comment, blank lines are ignored.

#include "regions/flashregion.h"

struct LayoutFile
{
    QVector<FlashRegion> regions; // in file order, each with its line
    QString error;                // "line N: reason", empty when the text parsed
    bool ok() const { return error.isEmpty(); }
};

LayoutFile ParseLayoutText(const QString &text);
// Reads and parses fileName; the error names the file.
LayoutFile ReadLayoutFile(const QString &fileName);
