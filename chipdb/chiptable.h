#pragma once

// ChipTable: a tab-separated chip table as chipdb/data/chips.tsv is written: a header line
// naming the columns, then one row a line; lines that begin with "#" and empty lines are
// notes. Only the cells are read here; what they mean is the reader's business.

#include <QList>
#include <QString>
#include <QStringList>

struct ChipTableLine
{
    int number = 0; // in the file, from 1
    QStringList cells;
};

struct ChipTable
{
    QStringList header;
    QList<ChipTableLine> lines;
};

// False with the system's reason in *error when the file cannot be read.
bool ReadChipTable(const QString &path, ChipTable &table, QString *error);

// "2700-3600": the supply range in millivolts, the minimum below the maximum.
bool ParseVoltageRange(const QString &text, quint16 &minimumMv, quint16 &maximumMv);
