#include "hexlayout.h"

#include <QtGlobal>

#include <algorithm>

namespace {

constexpr char FirstPrintable = 0x20;
constexpr char LastPrintable = 0x7E;
constexpr QChar NonPrintable = QLatin1Char('.');
constexpr QChar Blank = QLatin1Char(' ');

int hexDigitsFor(qint64 value)
{
    int digits = 1;
    while (value >>= 4)
        ++digits;
    return digits;
}

} // namespace

void HexLayout::setByteCount(qint64 count)
{
    m_byteCount = std::max<qint64>(0, count);
}

void HexLayout::setBytesPerLine(int bytes)
{
    m_bytesPerLine = std::clamp(bytes, MinBytesPerLine, MaxBytesPerLine);
}

void HexLayout::setAddressWidth(int digits)
{
    m_addressWidth = std::clamp(digits, MinAddressWidth, MaxAddressWidth);
}

qint64 HexLayout::rowCount() const
{
    return (m_byteCount + m_bytesPerLine - 1) / m_bytesPerLine;
}

qint64 HexLayout::rowOf(qint64 offset) const
{
    return offset / m_bytesPerLine;
}

int HexLayout::columnOf(qint64 offset) const
{
    return int(offset % m_bytesPerLine);
}

qint64 HexLayout::rowStart(qint64 row) const
{
    return row * m_bytesPerLine;
}

int HexLayout::bytesInRow(qint64 row) const
{
    if (row < 0 || row >= rowCount())
        return 0;
    return int(std::min<qint64>(m_bytesPerLine, m_byteCount - rowStart(row)));
}

int HexLayout::addressDigits() const
{
    const qint64 lastAddress = rowCount() > 0 ? rowStart(rowCount() - 1) : 0;
    return std::max(m_addressWidth, hexDigitsFor(lastAddress));
}

int HexLayout::hexStart() const
{
    return m_addressArea ? addressDigits() + AreaGap : 0;
}

int HexLayout::hexWidth() const
{
    return PairStride * m_bytesPerLine - 1;
}

int HexLayout::hexCharacter(int column) const
{
    return hexStart() + PairStride * column;
}

int HexLayout::asciiStart() const
{
    return hexStart() + hexWidth() + AreaGap;
}

int HexLayout::asciiCharacter(int column) const
{
    return asciiStart() + column;
}

int HexLayout::lineLength() const
{
    return m_asciiArea ? asciiStart() + m_bytesPerLine : hexStart() + hexWidth();
}

int HexLayout::columnAt(int character) const
{
    const int lastColumn = m_bytesPerLine - 1;
    const int hexEnd = hexStart() + hexWidth();
    if (m_asciiArea && character >= hexEnd + AreaGap / 2)
        return std::clamp(character - asciiStart(), 0, lastColumn);
    return std::clamp((character - hexStart()) / PairStride, 0, lastColumn);
}

QChar HexLayout::digit(int nibble) const
{
    static const char upper[] = "0123456789ABCDEF";
    static const char lower[] = "0123456789abcdef";
    return QLatin1Char(m_hexCaps ? upper[nibble] : lower[nibble]);
}

QString HexLayout::addressText(qint64 row) const
{
    const int digits = addressDigits();
    quint64 address = quint64(rowStart(row));
    QString text(digits, QLatin1Char('0'));
    for (int i = digits - 1; i >= 0 && address != 0; --i, address >>= 4)
        text[i] = digit(int(address & 0xF));
    return text;
}

QString HexLayout::hexText(const QByteArray &data, qint64 row) const
{
    const int count = bytesInRow(row);
    if (count == 0)
        return QString();
    return hexString(data.mid(int(rowStart(row)), count));
}

QString HexLayout::asciiText(const QByteArray &data, qint64 row) const
{
    const int count = bytesInRow(row);
    const qint64 start = rowStart(row);
    QString text(count, NonPrintable);
    for (int i = 0; i < count; ++i) {
        const char byte = data.at(int(start + i));
        if (byte >= FirstPrintable && byte <= LastPrintable)
            text[i] = QLatin1Char(byte);
    }
    return text;
}

QString HexLayout::rowText(const QByteArray &data, qint64 row) const
{
    if (bytesInRow(row) == 0)
        return QString();
    const QString gap(AreaGap, Blank);
    QString text;
    text.reserve(lineLength());
    if (m_addressArea)
        text += addressText(row) + gap;
    text += hexText(data, row);
    if (m_asciiArea) {
        text = text.leftJustified(hexStart() + hexWidth(), Blank);
        text += gap + asciiText(data, row);
    }
    return text;
}

QString HexLayout::hexString(const QByteArray &bytes) const
{
    if (bytes.isEmpty())
        return QString();
    QString text(PairStride * bytes.size() - 1, Blank);
    for (int i = 0; i < bytes.size(); ++i) {
        const auto byte = quint8(bytes.at(i));
        text[PairStride * i] = digit(byte >> 4);
        text[PairStride * i + 1] = digit(byte & 0xF);
    }
    return text;
}
