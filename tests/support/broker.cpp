#include "broker.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

Broker::Broker()
{
    QTcpServer probe; // a free port, given back for the broker
    listenPort = probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
    QFile config(dir.filePath(QStringLiteral("mosquitto.conf")));
    if (config.open(QIODevice::WriteOnly))
        config.write("listener " + QByteArray::number(listenPort) + " 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 0\nset_tcp_nodelay true\n");
    process.setProcessChannelMode(QProcess::MergedChannels); // its log, for a failure
}

bool Broker::start(QString *why)
{
    process.start(QStringLiteral("/usr/sbin/mosquitto"), {QStringLiteral("-c"), dir.filePath(QStringLiteral("mosquitto.conf"))});
    QTcpSocket probe; // its port takes a connection: it listens
    const bool up = QTest::qWaitFor([&] {
        probe.abort();
        probe.connectToHost(QHostAddress::LocalHost, listenPort);
        return process.state() == QProcess::NotRunning || probe.waitForConnected(1000);
    }, 10000) && process.state() == QProcess::Running;
    if (!up && why)
        *why = QStringLiteral("mosquitto on port %1: %2 %3").arg(listenPort).arg(process.errorString(), process.readAll());
    return up;
}
