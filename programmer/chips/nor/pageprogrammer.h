#pragma once

// PageProgrammer: bytes programmed into the erased chip, by page program commands batched
// several to a USB exchange, or by SST auto-address-increment programming. Blank pages are
// skipped. Worker thread.

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

class ChipProgress;
class FlashChip;
struct ChipSpan;

// The chip list's page text: the page's bytes, or "SSTW" / "SSTB" for SST's word and byte
// auto-address-increment programming.
inline bool IsAaiPage(const QString &page)
{
    return page == QLatin1String("SSTW") || page == QLatin1String("SSTB");
}
// aaiBytes for an AAI part; 0 when the text is no size.
inline int PageBytes(const QString &page, int aaiBytes)
{
    if (IsAaiPage(page))
        return aaiBytes;
    bool ok = false;
    const int size = page.toInt(&ok, 10);
    return ok ? size : 0;
}

class PageProgrammer
{
public:
    enum Result {
        Done = 1,
        TransferFailed = -1,
        ChipRefused = -2, // see fault()
        TimedOut = -3,
        Stopped = -4, // asked to stop: every byte below reached() is programmed
    };
    enum class Fault {
        None,
        ProgramError, // the chip flagged a program error at faultAddress()
        LeftAaiMode,  // the chip left AAI mode before faultAddress()
    };
    enum class Method {
        Pages,   // page program (02h) of pageSize bytes
        WordAai, // SST: ADh, two bytes a step
        ByteAai, // SST: AFh, one byte a step
    };

    PageProgrammer(FlashChip &chip, ChipProgress &progress, qint64 pageTimeoutMs);

    // data from address 0 on; extent: how far into the chip the write reaches.
    Result program(Method method, int pageSize, const QByteArray &data, uint32_t extent);
    // The bytes of `data` inside the spans (data holds the chip's wanted contents by address,
    // 0xFF where nothing is programmed).
    Result programSpans(Method method, int pageSize, const QByteArray &data,
                        const QVector<ChipSpan> &spans);

    Fault fault() const { return m_fault; }
    // Micron: the Flag Status Register that reported the fault; 0 otherwise.
    uint8_t faultFlags() const;
    uint32_t faultAddress() const { return m_faultAddress; }
    // Where a stopped run ended.
    uint32_t reached() const { return m_reached; }

    static bool IsErased(const QByteArray &data);

private:
    // Several pages per exchange: per page write enable, the program command, a pause the
    // bridge makes and a status read.
    struct BatchPlan
    {
        uint32_t pauseUs;
        bool learning; // one page per exchange: the pause is not known to suffice
    };
    Result programPages(int pageSize, const QByteArray &data, uint32_t extent);
    void queuePage(const QByteArray &data, int offset, int length, bool fourByteAddress,
                   uint32_t pauseUs);
    // Queues the pages from offset on that one exchange carries, skipping blank ones; returns
    // where it stopped and lists the queued pages.
    int queueBatch(const QByteArray &data, int offset, int pageSize, bool fourByteAddress,
                   const BatchPlan &plan, QVector<int> &queued);
    // The index of the first status that shows the chip busy, -1 for none.
    int firstFlaggedPage(const QByteArray &statuses) const;
    int firstBusyPage(const QByteArray &statuses);
    // Progress for each page in [from, to).
    void reportWritten(int from, int to, int pageSize, int length);
    // Ends a programming run: 4-byte mode off, write disable, the first die selected.
    void leave(bool fourByteAddress);
    Result programAai(bool word, const QByteArray &data, uint32_t base);

    FlashChip &m_chip;
    ChipProgress &m_progress;
    qint64 m_pageTimeoutMs;
    Fault m_fault = Fault::None;
    uint32_t m_faultAddress = 0;
    uint32_t m_reached = 0;
};
