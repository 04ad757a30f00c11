#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QVector>

#include <functional>

#include "ctlargs.h"

namespace Fleet {
class Fleet;
struct Monitor;
}

// Runs one telvanor-ctl command on the fleet: monitors are searched, probed and
// read through each link's bus master, and written with the fleet's paced sends.
class CtlRunner : public QObject
{
    Q_OBJECT
public:
    explicit CtlRunner(const CtlRequest &request, QObject *parent = nullptr);
    ~CtlRunner() override;

    int run();

private:
    struct Plan {                 // what one screen of one monitor gets
        Fleet::Target target;
        Fleet::Monitor *device = nullptr;
        int screen = 0;
        ST_BasicData before, after;
        QVector<int> groups;
        QString umdText;
    };

    int fail(int status, const QString &line);
    int useLink(const Fleet::Target &t);
    int locate(const Fleet::Target &t, Fleet::Monitor **device);
    int readScreen(const Fleet::Target &t, int screen, Fleet::Monitor **device);
    // The monitor and the screens the options or TARGET@N name, checked against its type.
    int locateScreens(const Fleet::Target &t, Fleet::Monitor **device, QVector<int> *screens);
    int search(bool serial, const QString &port, QVector<Fleet::Target> *found);
    int expandAll();
    int checkUmdText(const Plan &plan);
    int send(const Plan &plan);
    bool waitUntil(const std::function<bool()> &done, int ms);
    bool ask(const std::function<void(std::function<void(bool)>)> &request);
    QString label(const Fleet::Target &t, int screen) const;

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
    int changeScreens(const std::function<int(const Fleet::Target &, const Fleet::Monitor &)> &check,
                      const std::function<void(Plan &)> &change);

    CtlRequest req;
    Fleet::Fleet *fleet = nullptr;
    int sendCount = 0;            // every frame asked for gets a key of its own
};
