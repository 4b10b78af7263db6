#include "chiplistextract.h"

#include "chiptable.h"

#include <QFile>
#include <QXmlStreamReader>

namespace {

enum ExtractStatus { Read = 1, FileMissing = -1, FileUnreadable = -2 };

// The whole text as a decimal number in the signed 32-bit range, otherwise 0.
qint32 decimalValue(const QStringRef &text)
{
    bool ok = false;
    const qint32 value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

void setStatus(int *status, ExtractStatus value)
{
    if (status)
        *status = value;
}

// Group elements name the protocol of the chips that follow; "Microwire" is reported
// with a capital W.
bool protocolOfGroup(const QStringRef &elementName, QString &protocol)
{
    if (elementName == QLatin1String("SPI"))
        protocol = QStringLiteral("SPI");
    else if (elementName == QLatin1String("I2C"))
        protocol = QStringLiteral("I2C");
    else if (elementName == QLatin1String("Microwire"))
        protocol = QStringLiteral("MicroWire");
    else
        return false;
    return true;
}

} // namespace

ChipListExtract::ChipListExtract(const QString &fileName, QObject *parent)
    : QObject(parent)
    , fileName(fileName)
{
}

ChipListExtract::~ChipListExtract() = default;

ChipList ChipListExtract::ExtractChipList(int *status)
{
    QFile file(fileName);
    if (!file.exists()) {
        setStatus(status, FileMissing);
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        setStatus(status, FileUnreadable);
        return {};
    }

    ChipList chipList;
    QString group;
    QString vendor;
    quint16 ordinal = 0;
    // A well-formedness error also ends the stream: what was read so far is the result.
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringRef name = xml.name();
        if (protocolOfGroup(name, group))
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        if (attributes.isEmpty()) {
            vendor = name.toString();
            continue;
        }
        ChipRecord record;
        record.partName = name.toString();
        record.protocol = group;
        record.vendor = vendor;
        fillAttributes(record, attributes);
        chipList.insert(ordinal++, record);
    }
    file.close();
    setStatus(status, Read);
    return chipList;
}

ChipList ChipListExtract::FindChipsByID(ChipList chipList, QString id)
{
    ChipList found;
    for (auto it = chipList.cbegin(); it != chipList.cend(); ++it) {
        if (it.value().id == id)
            found.insert(it.key(), it.value());
    }
    return found;
}

// "2700-3600": the supply range in millivolts; anything else leaves it unknown.
void ChipListExtract::fillVoltage(ChipRecord &record, const QStringRef &value)
{
    ParseVoltageRange(value.toString(), record.voltageMinMv, record.voltageMaxMv);
}

void ChipListExtract::fillAttributes(ChipRecord &record, const QXmlStreamAttributes &attributes)
{
    for (const QXmlStreamAttribute &attribute : attributes) {
        const QStringRef name = attribute.name();
        const QStringRef value = attribute.value();
        if (name == QLatin1String("id"))
            record.id = value.toString();
        else if (name == QLatin1String("page"))
            record.page = value.toString();
        else if (name == QLatin1String("size"))
            record.size = decimalValue(value);
        else if (name == QLatin1String("spicmd"))
            record.spicmd = value.toString();
        else if (name == QLatin1String("otp"))
            record.otp = static_cast<quint16>(decimalValue(value));
        else if (name == QLatin1String("addrtype"))
            record.addrtype = static_cast<quint8>(decimalValue(value));
        else if (name == QLatin1String("addrbitlen"))
            record.addrbitlen = static_cast<quint8>(decimalValue(value));
        else if (name == QLatin1String("voltage"))
            fillVoltage(record, value);
    }
}
