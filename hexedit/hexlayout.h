#pragma once

#include <QByteArray>
#include <QString>

// Maps byte offsets of a hex view to rows and character columns and formats rows as text;
// it never paints, so its arithmetic can be checked on its own (GUI thread, no QObject).
//
// A row reads: address, two blanks, bytesPerLine hex pairs separated by one blank, two
// blanks, then one character per byte. Positions are counted in characters of a
// fixed-pitch font; the widget turns them into pixels.
class HexLayout
{
public:
    static constexpr int AreaGap = 2;
    // Two hex digits and the blank that follows them.
    static constexpr int PairStride = 3;
    static constexpr int MinBytesPerLine = 1;
    static constexpr int MaxBytesPerLine = 4096;
    static constexpr int MinAddressWidth = 1;
    static constexpr int MaxAddressWidth = 16;

    void setByteCount(qint64 count);
    qint64 byteCount() const { return m_byteCount; }

    // Out-of-range values are clamped to the nearest allowed value.
    void setBytesPerLine(int bytes);
    int bytesPerLine() const { return m_bytesPerLine; }
    void setAddressWidth(int digits);
    int addressWidth() const { return m_addressWidth; }

    void setHexCaps(bool upperCase) { m_hexCaps = upperCase; }
    bool hexCaps() const { return m_hexCaps; }
    void setAddressArea(bool shown) { m_addressArea = shown; }
    bool addressArea() const { return m_addressArea; }
    void setAsciiArea(bool shown) { m_asciiArea = shown; }
    bool asciiArea() const { return m_asciiArea; }

    qint64 rowCount() const;
    qint64 rowOf(qint64 offset) const;
    int columnOf(qint64 offset) const;
    qint64 rowStart(qint64 row) const;
    // Bytes held by a row: bytesPerLine except in a short last row, 0 outside the data.
    int bytesInRow(qint64 row) const;

    // Digits actually printed: addressWidth, widened so the last row's address never loses
    // its leading digits.
    int addressDigits() const;
    int hexStart() const;
    int hexWidth() const;
    int hexCharacter(int column) const;
    int asciiStart() const;
    int asciiCharacter(int column) const;
    int lineLength() const;
    // Byte column under a character position; positions left of the bytes give column 0,
    // positions right of them the last column, a blank belongs to the pair before it.
    int columnAt(int character) const;

    QString addressText(qint64 row) const;
    QString hexText(const QByteArray &data, qint64 row) const;
    QString asciiText(const QByteArray &data, qint64 row) const;
    // The whole row as shown; empty for a row outside the data.
    QString rowText(const QByteArray &data, qint64 row) const;
    // Bytes as hex pairs separated by one blank, in the case chosen by hexCaps.
    QString hexString(const QByteArray &bytes) const;

private:
    QChar digit(int nibble) const;

    qint64 m_byteCount = 0;
    int m_bytesPerLine = 16;
    int m_addressWidth = 8;
    bool m_hexCaps = true;
    bool m_addressArea = true;
    bool m_asciiArea = true;
};
