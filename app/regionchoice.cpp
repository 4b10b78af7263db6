#include "regionchoice.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

RegionChoice::RegionChoice(const QStringList &regions, const QStringList &ranges,
                           const QStringList &changed, QWidget *parent)
    : QDialog(parent)
    , m_list(new QListWidget(this))
{
    setObjectName(QStringLiteral("regionChoice"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("The file and the chip both hold an Intel flash "
                                                "descriptor. Which regions should be written? "
                                                "The others stay as the chip holds them."),
                                 this));
    m_list->setObjectName(QStringLiteral("regions"));
    for (int i = 0; i < regions.size(); ++i) {
        const bool changes = changed.contains(regions.at(i));
        auto *item =
            new QListWidgetItem(QStringLiteral("%1  %2  %3")
                                    .arg(regions.at(i), ranges.value(i),
                                         changes ? QStringLiteral("changed by the file")
                                                 : QStringLiteral("the same in the file")),
                                m_list);
        item->setData(Qt::UserRole, regions.at(i));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(changes ? Qt::Checked : Qt::Unchecked);
    }
    layout->addWidget(m_list);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    buttons->addButton(QStringLiteral("Write"), QDialogButtonBox::AcceptRole)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QStringList RegionChoice::chosen() const
{
    QStringList names;
    for (int i = 0; i < m_list->count(); ++i)
        if (m_list->item(i)->checkState() == Qt::Checked)
            names << m_list->item(i)->data(Qt::UserRole).toString();
    return names;
}
