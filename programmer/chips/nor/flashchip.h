#pragma once

// FlashChip: the chip in the socket, as the chip layer knows it once it is identified: its
// facts (size, page, layout, dies, erase, address mode, SFDP) and the operations every other
// chip operation is built of: single-byte commands, status registers, busy waits, 4-byte
// addressing and die selection. It reports by return values only. Before identification it
// acts as a plain 25-series chip of no known size. Worker thread.

#include "programmer/chips/nor/chipfamily.h"
#include "programmer/chips/nor/sfdp.h"
#include "chipdb/chiprecord.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

class ChipProgress;
class SpiTransport;

enum class WaitResult { Ready, TransferFailed, TimedOut };

class FlashChip
{
public:
    explicit FlashChip(SpiTransport &bus);

    SpiTransport &bus() { return m_bus; }
    // A transfer of the job failed: the chip gets nothing more.
    bool failed() const;

    // Identification: the chip-list rows its identifier names (of one size), or a chip known
    // only by its SFDP table, which has 256-byte pages.
    void identifyAs(const QList<ChipRecord> &rows);
    void identifyBySfdp(uint32_t size);
    // Settles the rows again, now that SFDP's Quad Enable Requirements may be known.
    void settle();
    // Rows that share the identifier but protect differently.
    bool partsDisagree() const;
    // The table is read at most once a job.
    const SfdpFacts &sfdp();

    // nullptr until identified.
    const ChipFamily *family() const { return m_family; }
    const SettledChip &settled() const { return m_settled; }
    const QList<ChipRecord> &rows() const { return m_rows; }
    uint32_t size() const { return m_size; }
    // The chip list's page text: "256", "SSTW" ...
    const QString &page() const { return m_page; }
    // The chip list's command series: empty for the 25 series.
    const QString &series() const { return m_series; }

    void command(uint8_t opcode);
    void writeEnable();
    void writeDisable();
    // One status-type register: its opcode, then one byte clocked in.
    bool readRegister(uint8_t opcode, uint8_t &value);
    bool readStatus(uint8_t &status);
    // The status register as the last status read found it.
    uint8_t lastStatus() const { return m_lastStatus; }
    void setLastStatus(uint8_t status) { m_lastStatus = status; }
    // A failed status read counts as not busy, so a programmer that stops answering ends every
    // busy wait at once.
    bool isBusy();
    // errorFlags: the status bits that end a wait as an error would.
    bool isBusyUnless(uint8_t errorFlags);
    // A status write waits out flags that may be protection bits instead.
    WaitResult waitWhileProgramming(qint64 timeoutMs, bool statusWrite = false);
    // timeoutMs 0: 25 s per MiB, at least 200 s.
    WaitResult waitWhileErasing(qint64 timeoutMs, ChipProgress &progress, bool tracePolls);
    // Clears the error flags that keep a chip busy after a failed program or erase (Spansion
    // P_ERR and E_ERR). False when none was set in the last status read.
    bool clearErrorFlags();
    // Micron: the Flag Status Register (70h) read after a program or erase; an error found
    // there is cleared (50h) and the register kept for the log. False: no error (or no such
    // register), or the read failed.
    bool takeFlagErrors();
    uint8_t lastFlagStatus() const { return m_lastFlagStatus; }
    // The status read a batch of pages queues after each page, and what its answer means.
    uint8_t pageStatusOpcode() const;
    bool pageStatusBusy(uint8_t answer) const;
    bool pageStatusFlagged(uint8_t answer) const;

    // 0xB7 / 0xE9, with write enable first where the layout needs it.
    void enterFourByteMode();
    void exitFourByteMode();
    // Whether reaching `extent` bytes of the chip (of each die) takes 4-byte addresses.
    bool needsFourByteAddress(uint32_t extent) const;
    // Stacked dies behind one chip select (Software Die Select); 1 otherwise.
    int stackedDies() const;
    uint32_t dieSize() const;
    int selectedDie() const { return m_die; }
    void selectDie(int die);
    // Sends the die select even where the chip should already have that die.
    void sendDieSelect(int die);
    // The address inside its die, the die selected first (in the same address mode).
    uint32_t dieAddress(uint32_t address, bool fourByteAddress);
    // Ends an addressed run: 4-byte mode off, the first die selected again.
    void leaveAddressing(bool fourByteAddress);
    // Every die back in 3-byte mode: an earlier job cut short may have left one in 4-byte
    // mode, or another die selected. False when sending that failed.
    bool resetAddressing();
    QByteArray addressedHeader(uint8_t opcode, uint32_t address, bool fourByteAddress) const;
    // One select window: the header out, then count bytes in.
    bool readCommand(const QByteArray &header, int count, QByteArray &answer);

private:
    // The 4-byte-address twin of a read, program or erase opcode on parts that have no 4-byte
    // mode; the opcode itself otherwise.
    uint8_t fourByteOpcode(uint8_t opcode) const;

    SpiTransport &m_bus;
    QList<ChipRecord> m_rows;
    std::optional<SfdpFacts> m_sfdp;
    SettledChip m_settled;
    const ChipFamily *m_family = nullptr;
    uint32_t m_size = 0;
    QString m_page;
    QString m_series;
    uint8_t m_lastStatus = 0;
    uint8_t m_lastFlagStatus = 0;
    int m_die = 0;
};
