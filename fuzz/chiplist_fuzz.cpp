// Feeds arbitrary bytes to the chip list reader as a document file and checks what it returns.

#include "chipdb/chiplistextract.h"

#include <QTemporaryFile>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

QTemporaryFile &document()
{
    static QTemporaryFile file;
    return file;
}

void require(bool condition)
{
    if (!condition)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    require(document().open());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QTemporaryFile &file = document();
    require(file.resize(0) && file.seek(0));
    require(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    require(file.flush());

    ChipListExtract reader(file.fileName());
    int status = 0;
    const ChipList all = reader.ExtractChipList(&status);
    require(status == 1);

    // Every lookup returns records of the list, under the same keys, whose id is the key.
    const QString keys[] = {all.isEmpty() ? QString() : all.last().id, QString(),
                            QStringLiteral("EF4017")};
    for (const QString &key : keys) {
        const ChipList found = reader.FindChipsByID(all, key);
        for (auto it = found.cbegin(); it != found.cend(); ++it) {
            require(it.value().id == key);
            require(all.value(it.key()).partName == it.value().partName);
        }
    }
    return 0;
}
