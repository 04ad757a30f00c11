#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class QTimer;

// Frames to many monitors at once, each monitor at the panel's pace: one
// monitor's frames go out at least pauseMs apart, while frames to different
// monitors do not wait for each other. A request still waiting for its
// monitor's turn is replaced by a newer one with the same key, so a burst of
// changes collapses to the latest; the frame is made by the request's send
// function when the turn comes, from the state of that moment.
class PacedSender : public QObject
{
    Q_OBJECT
public:
    using Send = std::function<void()>;

    explicit PacedSender(int pauseMs, QObject *parent = nullptr);
    ~PacedSender() override;

    // Sends at once when the monitor's last frame went out pauseMs ago or more
    // (or never), otherwise when its turn comes.
    void request(const QString &monitor, const QString &key, Send send);

private:
    struct Monitor {
        QElapsedTimer last;  // invalid until the first frame
        QVector<QPair<QString, Send>> queue;
        QTimer *timer = nullptr;
    };
    void pump(const QString &monitor);

    QHash<QString, Monitor *> monitors;
    int pauseMs;
};
