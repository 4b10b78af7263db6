// Times one read of the embedded chip list, as every identification does, and prints the median.

#include "chipdb/chiplistextract.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    constexpr int runs = 50;
    const QString path = QStringLiteral(":/database/bin/chiplist.xml");

    std::vector<qint64> nanoseconds;
    int records = 0;
    for (int run = 0; run < runs; ++run) {
        int status = 0;
        QElapsedTimer timer;
        timer.start();
        ChipListExtract reader(path);
        const ChipList list = reader.ExtractChipList(&status);
        const ChipList matches = reader.FindChipsByID(list, QStringLiteral("EF4017"));
        nanoseconds.push_back(timer.nsecsElapsed());
        if (status != 1 || matches.isEmpty())
            return 1;
        records = list.size();
    }
    std::sort(nanoseconds.begin(), nanoseconds.end());
    const qint64 median = nanoseconds[runs / 2];
    QTextStream(stdout) << "chip list: " << records << " records, median of " << runs
                        << " reads and lookups: " << QString::number(median / 1e6, 'f', 3)
                        << " ms (min " << QString::number(nanoseconds.front() / 1e6, 'f', 3)
                        << " ms, max " << QString::number(nanoseconds.back() / 1e6, 'f', 3)
                        << " ms)\n";
    return 0;
}
