#pragma once

// The chip lists a job looks the chip up in: the built-in list (embedded), the user's own
// ($XDG_DATA_HOME/varnock-spi-flasher/chips.tsv) and the one the command line names
// (--chip-list). The user's rows are in chips.tsv's columns; each is checked, facts resolved
// by name against the layouts, before the programmer is touched. Worker thread.

#include "chipdb/chiprecord.h"

#include <QList>
#include <QString>

// The user's own list, whether or not it exists.
QString UserChipListPath();
// The list --chip-list names, read by every job after the user's own; empty for none. Set
// before the first job.
void SetChosenChipList(const QString &path);
QString ChosenChipList();

// Whether --force-part uses the facts of the part --part names on a chip that answers another
// id. Set before the first job; each worker starts with it.
void SetChosenPartForced(bool force);
bool ChosenPartForced();

// The name --remember-part keeps a chip used by its SFDP table under (empty: none); set before
// the first job.
void SetRememberedPartName(const QString &name);
QString RememberedPartName();

// Adds the row to the end of the user's own list (made, with its header, where there is none),
// atomically: the file is whole before or after. *line: the row's line. False with the reason.
bool AppendUserRow(const ChipRecord &row, const QString &basis, int *line, QString &error);

// The rows of the user's own list (where it exists) and the chosen one, checked. False with
// one line naming the file, the line, the column and what is wrong, or why a file cannot be
// read.
bool ReadUserChipLists(QList<ChipRecord> &rows, QString &error);
// One file's rows, checked; a missing file is an error.
bool ReadUserChipList(const QString &path, QList<ChipRecord> &rows, QString &error);

// Whether the row is of the part so named, without regard to case (the built-in list writes a
// part number that begins with a digit with an underscore).
bool IsPartNamed(const ChipRecord &row, const QString &name);

// The built-in list with the user's rows in it: one with the id and part name of a built-in
// row replaces it, any other is added after them.
ChipList KnownChips(const QList<ChipRecord> &userRows);
