#pragma once

// The chip-select windows a chip received, as text a test compares: one window a line, with
// its mnemonic, address and length ("PP 0x000100 len 256"), status polls of one wait as one
// window, and runs that repeat three times or more folded ("READ 0x000000..0x0FF000 step
// 0x1000 len 4096 x256", or "x390, addresses step 0x300:" over the repeated block).

#include <QByteArray>
#include <QList>
#include <QStringList>

// firstWindows gets each line's index among the frames.
QStringList Transcript(const QList<QByteArray> &frames, QList<int> *firstWindows = nullptr);
