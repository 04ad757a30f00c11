#pragma once

#include <QGroupBox>
#include <QList>

// A titled box that places each added widget on a grid of five columns,
// 30 pixels a row, and grows to fit.
class D_GroupBox : public QGroupBox
{
public:
    D_GroupBox(const QString &title, QWidget *parent);
    void addWidget(QWidget *w);

    QList<QWidget *> members;
    quint8 columns = 5;
    quint8 rows = 1;
};
