#pragma once

// ChipProgress: how the chip layer tells whoever runs it how far a long operation has come,
// without texts: the job turns these into its progress bar and status line.

#include <QtGlobal>

enum class ChipActivity {
    Read,  // bytes read
    Write, // bytes programmed
    Erase, // erase units done
};

class ChipProgress
{
public:
    virtual ~ChipProgress() = default;
    virtual void started(ChipActivity activity, qulonglong total) = 0;
    virtual void advanced(ChipActivity activity, qulonglong done, qulonglong total) = 0;
    // The bar goes back to empty: a read the job reports as its own ends so.
    virtual void reset() = 0;
    // The first command of a whole-chip erase has gone out.
    virtual void eraseSent() = 0;
    // A status poll found the chip still erasing.
    virtual void erasePolled() = 0;
    // The job is asked to stop: a long operation ends at its next safe point (before a batch
    // of pages, a unit erase or a chunk read, never inside one) and says how far it came.
    virtual bool stopRequested() const { return false; }
};
