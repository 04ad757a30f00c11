#pragma once

#include <QStringList>
#include <QVector>

#include "simmonitor.h"

// Differences between two states of simulated monitors, one readable line each
// ("ID 5 screen 2 byte 11: 0x03 -> 0x83"); empty when they hold the same.
QStringList monitorDifferences(const QVector<Sim::SimMonitor> &was, const QVector<Sim::SimMonitor> &is,
                               bool withTexts = true);
