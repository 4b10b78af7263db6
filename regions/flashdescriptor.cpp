#include "regions/flashdescriptor.h"

FlashDescriptor ParseFlashDescriptor(const QByteArray &bytes)
{
    Q_UNUSED(bytes)
    return {};
}

DescriptorDifference CompareDescriptors(const FlashDescriptor &image, const FlashDescriptor &chip)
{
    DescriptorDifference difference;
    difference.bytesDiffer = image.bytes != chip.bytes;
    return difference;
}
