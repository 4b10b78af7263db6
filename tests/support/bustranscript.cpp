#include "bustranscript.h"

#include <QHash>
#include <QString>

#include <tuple>

namespace {
// One chip-select window as text, %1 standing for its address if it has one.
struct Window
{
    QString shape;
    qint64 address = -1;
    int digits = 6;
    int index = 0; // among the job's windows
};

QString Hex(qint64 value, int digits = 1)
{
    return "0x" + QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

// Each window's mnemonic, address, length and a status write's value. A run of status polls is
// one window: how often the chip answers busy is timing, not the job.
QList<Window> Windows(const QList<QByteArray> &frames)
{
    static const QHash<int, QString> names = {
        {0x01, "WRSR"},  {0x02, "PP"},    {0x03, "READ"},   {0x04, "WRDI"}, {0x05, "RDSR"},
        {0x06, "WREN"},  {0x15, "RDSR3"}, {0x35, "RDSR2"},  {0x4B, "RUID"}, {0x50, "EWSR"},
        {0x90, "REMS"},  {0x9F, "RDID"},  {0xAB, "RES"},    {0xAD, "AAI"},  {0xAF, "AAI"},
        {0xB7, "EN4B"},  {0xC7, "CE"},    {0xE9, "EX4B"},   {0xC4, "DE"},   {0xD8, "BE"},
        {0xC5, "WREAR"}, {0x20, "SE"},    {0x5A, "RDSFDP"}, {0x70, "RFSR"}, {0x2B, "RDSCUR"}};
    QList<Window> windows;
    bool fourByteMode = false;
    bool aaiMode = false;
    for (int i = 0; i < frames.size(); ++i) {
        const QByteArray &frame = frames.at(i);
        if (frame.isEmpty() || (frame == "\x05\xFF" && i > 0 && frames.at(i - 1) == frame))
            continue;
        const int opcode = quint8(frame.at(0));
        Window window{names.value(opcode, QString(frame.left(8).toHex(' ').toUpper())), -1, 6, i};
        // Only the first AAI command of a run carries an address.
        const bool aai = opcode == 0xAD || opcode == 0xAF;
        const bool addressed = opcode == 0x02 || opcode == 0x03 || opcode == 0xC4 ||
                               opcode == 0xD8 || opcode == 0x20 || opcode == 0x5A;
        const int addressLength = addressed || (aai && !aaiMode) ? (fourByteMode ? 4 : 3) : 0;
        aaiMode = (aaiMode || aai) && opcode != 0x04;
        fourByteMode = opcode == 0xB7 || (fourByteMode && opcode != 0xE9);
        if (opcode == 0x01 || opcode == 0xC5 || !names.contains(opcode)) {
            window.shape += ' ' + frame.mid(1).toHex(' ').toUpper();
        } else if (addressLength > 0 && frame.size() > addressLength) {
            window.address = 0;
            for (int k = 1; k <= addressLength; ++k)
                window.address = window.address << 8 | quint8(frame.at(k));
            window.digits = 2 * addressLength;
            window.shape += QStringLiteral(" %1");
            if (frame.size() > 1 + addressLength)
                window.shape += " len " + QString::number(frame.size() - 1 - addressLength);
        } else if (frame.size() > 1) {
            window.shape += QStringLiteral(" len %1").arg(frame.size() - 1);
        }
        windows << window;
    }
    return windows;
}

// How often the block of `period` windows at `at` repeats, each time with the same shapes and
// every address one `step` further.
int Repeats(const QList<Window> &windows, int at, int period, qint64 &step)
{
    int repeats = 1;
    for (; at + (repeats + 1) * period <= windows.size(); ++repeats) {
        for (int k = at + repeats * period; k < at + (repeats + 1) * period; ++k) {
            const Window &now = windows.at(k);
            const Window &before = windows.at(k - period);
            if (step == 0 && now.address >= 0)
                step = now.address - before.address;
            if (now.shape != before.shape ||
                (now.address >= 0 && (step <= 0 || now.address - before.address != step)))
                return repeats;
        }
    }
    return repeats;
}

} // namespace

// The job's windows one a line, runs that repeat three times or more folded: one window as
// "READ 0x000000..0x0FF000 step 0x1000 len 4096 x256", several as "x390, addresses step
// 0x300:" over their first block. firstWindows gets each line's window index.
QStringList Transcript(const QList<QByteArray> &frames, QList<int> *firstWindows)
{
    const QList<Window> windows = Windows(frames);
    QStringList lines;
    for (int at = 0; at < windows.size();) {
        int period = 1;
        int repeats = 1;
        qint64 step = 0;
        for (int p = 1; p <= 8 && at + 3 * p <= windows.size(); ++p) {
            qint64 s = 0;
            const int r = Repeats(windows, at, p, s);
            if (r > 2 && r * p > repeats * period)
                std::tie(period, repeats, step) = std::make_tuple(p, r, s);
        }
        const auto text = [](const Window &w, const QString &address) {
            return w.address < 0 ? w.shape : w.shape.arg(address);
        };
        const Window &first = windows.at(at);
        if (firstWindows)
            firstWindows->append(first.index);
        if (repeats == 1)
            lines << text(first, Hex(first.address, first.digits));
        else if (period == 1)
            lines << text(first, Hex(first.address, first.digits) + ".." +
                                     Hex(first.address + step * (repeats - 1), first.digits) +
                                     " step " + Hex(step)) +
                         QStringLiteral(" x%1").arg(repeats);
        else
            lines << QStringLiteral("x%1").arg(repeats) +
                         (step ? ", addresses step " + Hex(step) + ':' : QStringLiteral(":"));
        for (int k = at; period > 1 && k < at + period; ++k) {
            lines << "  " + text(windows.at(k), Hex(windows.at(k).address, windows.at(k).digits));
            if (firstWindows)
                firstWindows->append(windows.at(k).index);
        }
        at += period * repeats;
    }
    return lines;
}
