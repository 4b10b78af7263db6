#pragma once

// PollTrain: how many write-cycle polls ride behind a page write in its own USB exchange, so
// the host learns of the cycle's end without a round trip per poll. It starts at a guess, then
// takes what the last page needed and a little more (the cycle's time varies); a train that
// ended before the cycle leaves the rest to the deadline's polling, and the next one is twice
// as long. Worker thread.

#include <QtGlobal>

class PollTrain
{
public:
    int length() const { return m_length; }
    // firstReady: the number of the first poll that found the cycle over, counted from 0;
    // length() when none did. True when one did.
    bool learn(int firstReady)
    {
        const bool ended = firstReady < m_length;
        m_length = qMin(ended ? firstReady + kMargin : 2 * m_length, kLongest);
        return ended;
    }

private:
    static constexpr int kFirst = 32;
    // A 5 ms cycle is about 140 polls of a 24xx at 400 kHz on the CH341A; the train only
    // outgrows a cycle by doubling once.
    static constexpr int kLongest = 512;
    static constexpr int kMargin = 1;

    int m_length = kFirst;
};
