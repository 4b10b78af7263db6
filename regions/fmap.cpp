#include "regions/fmap.h"

Fmap FindFmap(quint32 chipSize, const FlashReader &read)
{
    Q_UNUSED(chipSize)
    Q_UNUSED(read)
    return {};
}

Fmap ParseFmapAt(const QByteArray &bytes, quint32 offset)
{
    Q_UNUSED(bytes)
    Q_UNUSED(offset)
    return {};
}
