#include "programmer/transport/microwiretransport.h"

#include "programmer/transport/bridgepins.h"
#include "programmer/transport/spitransport.h"
#include "programmer/transport/tracecategory.h"
#include "bridge/ch341eeprom.h"

MicrowireTransport::MicrowireTransport(SpiTransport &failure)
    : m_spi(failure)
{
}

bool MicrowireTransport::failed() const
{
    return m_spi.failed();
}

bool MicrowireTransport::instruction(const QByteArray &out, uint32_t outBits, uint32_t inBits,
                                     QByteArray &in)
{
    if (m_spi.failed())
        return false;
    QByteArray samples(int((inBits + 7) / 8), char(0));
    const bool sent =
        m_spi.recordTransfer(CH341StreamMicrowire(BridgePins::DEVICE, outBits, out.constData(),
                                                  inBits, samples.data()) != 0);
    if (!sent) {
        qCDebug(varnockTrace) << "microwire.failed" << outBits << inBits;
        return false;
    }
    in = samples;
    return true;
}

bool MicrowireTransport::ready(bool &isReady)
{
    QByteArray sample;
    if (!instruction(QByteArray(), 0, 1, sample))
        return false;
    isReady = (uint8_t(sample.at(0)) & 0x80) != 0;
    return true;
}
