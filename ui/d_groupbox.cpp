#include "d_groupbox.h"

D_GroupBox::D_GroupBox(const QString &title, QWidget *parent) : QGroupBox(parent)
{
    setTitle(title);
}

void D_GroupBox::addWidget(QWidget *w)
{
    w->setParent(this);
    w->show();
    members.append(w);
    const quint8 n = static_cast<quint8>(members.size() - 1);
    rows = static_cast<quint8>(n / columns + 1);
    resize(600, rows * 30 + 20);
    w->move((n % columns) * 580 / columns + 10, (n / columns) * 30 + 20);
}
