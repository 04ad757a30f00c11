#include "pacedsender.h"

#include <QTimer>

PacedSender::PacedSender(int pause, QObject *parent) : QObject(parent), pauseMs(pause) {}

PacedSender::~PacedSender()
{
    qDeleteAll(monitors);
}

void PacedSender::request(const QString &monitor, const QString &key, Send send)
{
    Monitor *&m = monitors[monitor];
    if (!m) {
        m = new Monitor;
        m->timer = new QTimer(this);
        m->timer->setSingleShot(true);
        m->timer->setTimerType(Qt::PreciseTimer);
        connect(m->timer, &QTimer::timeout, this, [this, monitor] { pump(monitor); });
    }
    for (auto &entry : m->queue) {
        if (entry.first == key) {
            entry.second = std::move(send);
            return;
        }
    }
    m->queue.append({key, std::move(send)});
    if (!m->timer->isActive())
        pump(monitor);
}

void PacedSender::pump(const QString &monitor)
{
    Monitor *m = monitors.value(monitor);
    if (!m || m->queue.isEmpty())
        return;
    const qint64 since = m->last.isValid() ? m->last.elapsed() : pauseMs;
    if (since < pauseMs) {
        m->timer->start(static_cast<int>(pauseMs - since));
        return;
    }
    // Taken off the queue before it runs: the send may ask for the next frame.
    const Send send = m->queue.takeFirst().second;
    m->last.start();
    m->timer->start(pauseMs);
    send();
}
