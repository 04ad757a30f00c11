#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QVector>

#include <functional>

#include "ctlargs.h"

class DataStream;
class MachineDevice;

// Runs one telvanor-ctl command with the panel's protocol object: monitors are
// searched, probed, read and written exactly as the window does, through
// DataStream, its frame builders and its paced, target-fixed sends.
class CtlRunner : public QObject
{
    Q_OBJECT
public:
    explicit CtlRunner(const CtlRequest &request, QObject *parent = nullptr);
    ~CtlRunner() override;

    int run();

private:
    struct Known {
        int type = -1;
        std::uint8_t id = 0;
    };
    struct Plan {                 // what one screen of one monitor gets
        CtlTarget target;
        MachineDevice *device = nullptr;
        int screen = 0;
        ST_BasicData before, after;
        QVector<int> groups;
        QString umdText;
    };

    int fail(int status, const QString &line);
    int useLink(const CtlTarget &t);
    int locate(const CtlTarget &t, MachineDevice **device);
    int readScreen(const CtlTarget &t, int screen, MachineDevice **device);
    // The monitor and the screens the options or TARGET@N name, checked against its type.
    int locateScreens(const CtlTarget &t, MachineDevice **device, QVector<int> *screens);
    int search(bool serial, const QString &port, QVector<CtlTarget> *found);
    int expandAll();
    int checkUmdText(const Plan &plan);
    bool send(const Plan &plan);
    bool waitUntil(const std::function<bool()> &done, int ms);
    QJsonObject fieldsJson(const ST_BasicData &record, int type) const;
    QString label(const CtlTarget &t, int screen) const;
    QVector<int> changedGroups(const ST_BasicData &a, const ST_BasicData &b, int type) const;

    int discover();
    int get();
    int setFields();
    int umd();
    int save();
    int load();
    int copy();
    int watch();
    int tallyBridge();
    int applyPlans(QVector<Plan> &plans);
    // A change to the screens of every target: each monitor is reached and
    // checked (check may refuse it) before any screen is read, then each screen
    // is read and change() fills in its plan.
    int changeScreens(const std::function<int(const CtlTarget &, const MachineDevice &)> &check,
                      const std::function<void(Plan &)> &change);

    CtlRequest req;
    DataStream *ds = nullptr;
    QString linkKey;              // "lan" or "serial:PORT" once a link is in use
    QHash<QString, Known> known;  // monitors probed or found, by CtlTarget::key()
    int replies = 0;              // settings replies received
};
