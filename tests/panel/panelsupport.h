#pragma once

#include <QTest>

#include <QComboBox>
#include <QRadioButton>

#include "datastream.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

// Chooses "RS422" and a serial port by name, as an operator would. Pseudo-terminals
// are not in the port list, so the name is added to it first.
inline bool chooseSerialPort(MainWindow *w, const QString &path)
{
    QTest::mousePress(w->ui->radioButton_2, Qt::LeftButton);
    QTest::mouseRelease(w->ui->radioButton_2, Qt::LeftButton);
    if (dataStream->linkMode != DataStream::LinkSerial || !w->ui->comboBox->isEnabled())
        return false;
    w->ui->comboBox->addItem(path);
    w->ui->comboBox->setCurrentText(path);
    return true;
}
