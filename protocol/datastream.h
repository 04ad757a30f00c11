#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QVector>

#include "basicdata.h"
#include "frames.h"
#include "machinedevice.h"
#include "portdevice.h"

class QTimer;

Q_DECLARE_LOGGING_CATEGORY(lcProtocol)

// The protocol object of the panel: builds and sends the frames of the settings
// record, paces full sends, searches for monitors and parses their replies.
class DataStream : public QObject
{
    Q_OBJECT
public:
    enum LinkMode { LinkSerial = 0, LinkNetwork = 32 };

    static constexpr int GroupPauseMs = 500;
    static constexpr int SearchStepMs = 50;
    static constexpr int ReplyTimeoutMs = 1000;
    static constexpr int ReplyTimeSlackMs = 50;   // timers of one second may fire this much early
    static constexpr int TimeoutsTolerated = 8;   // the ninth time-out is reported
    static constexpr int SearchSettleMs = 1000;
    static constexpr int LastSerialId = 126;
    static constexpr int LastReportedId = 125;
    // Order of a full send: commands 0, 1, 2, 4, 3, 5.
    static constexpr int FullSendGroups[6] = {5, 1, 2, 3, 4, 6};

    // Where a whole-record send goes and what it carries, fixed when the send
    // starts: the pauses between its packet groups run the event loop, and what
    // the operator picks meanwhile must not redirect the rest of it.
    struct SendTarget {
        int link = LinkNetwork;
        QString portName;          // serial port the send started on
        std::uint8_t deviceId = 0;
        QString ipAddr;
        bool toAll = false;
        std::uint8_t screenMask = 0x01;
        bool deviceType2 = false;
        ST_BasicData record;
        QString umdText;
    };

    explicit DataStream(QObject *parent = nullptr);
    ~DataStream() override;

    // Sending
    void sendGroup(int group);
    void transmit(const char *frame, int length);
    int selectDevice(int index, int screen);
    void bindForDevice(const QString &ipAddr);
    void setScreen(int screen);
    int currentScreen() const;
    void sendAllToScreen(int screen);
    // Sends the current screen's record to each of the screens, in order, to the
    // device current when the call starts. Returns false when it was cut short.
    bool sendAllToScreens(const QVector<int> &screens);
    // The current device, screen, record and UMD text as a send target.
    SendTarget currentTarget() const;
    // One screen (0-7) of a listed device on the current link as a send target.
    SendTarget targetFor(const MachineDevice &device, int screen, const ST_BasicData &record, const QString &umdText) const;
    // The listed device with this address (network) or ID (serial line); nullptr if none.
    MachineDevice *listedDevice(const QString &ipAddr, int id) const;
    // Every packet group of the target's record, 500 ms apart, to the target
    // alone. The rest is dropped when the link is switched or the application
    // quits during a pause; returns false then.
    bool sendRecord(const SendTarget &target);
    // The same for the given packet groups only, in the order given.
    bool sendGroups(const SendTarget &target, const QVector<int> &groups);
    int copyDeviceSettings(int from, int to);
    void setUmdSlotOn(int slot, int on);
    void setUmdSlotColor(int slot, int color);
    void setMvWindowSource(int window, int source);
    void enableMv();
    void disableMv();
    static int waitMs(int ms);
    // True once the application has been told to quit: pauses end at once and
    // nothing more is sent.
    static bool quitting();

    // Search
    void startSearch();
    void finishSearch();
    // Asks one known monitor for its search reply (by address on the network,
    // by ID on the serial line); its reply lists it as a search would and
    // announces it with signalFoundDevice.
    void probe(const QString &ipAddr, std::uint8_t id);

    // Receiving
    void parseFrame();
    void addDevice(MachineDevice *device);

    // Empties deviceList; the current device becomes the placeholder again.
    void clearDeviceList();

    // True when curDevice is a listed device rather than the placeholder.
    bool hasCurrentDevice() const { return curDevice != placeholder; }

    PortDevice *port = nullptr;
    QByteArray recvFrame;
    int linkMode = LinkNetwork;
    QString senderIp;
    QList<MachineDevice *> deviceList;
    MachineDevice *curDevice = nullptr;
    bool sendToAll = false;
    ST_BasicData basicData;
    QString umdText;
    QTimer *searchTimer = nullptr;
    QTimer *recvTimer = nullptr;
    bool searching = false;
    QString probedIp;            // network monitor whose search reply is awaited outside a search
    int timeoutCount = 0;
    int scanId = 0;

signals:
    void signalFoundDevice(QString str);
    void signalRecvBasicData(ST_BasicData bsData);
    void signalSearchCompleted();
    void signalUartSearchProgress(uchar id);
    void signalDeviceTimeout();
    void signalUpdateDevice();
    void signalIDIP_Error();

public slots:
    void slotUartRecvFrame(QByteArray ba);
    void slotUdpRecvFrame(QString ipAddr, QByteArray ba);
    void slotFindDevice();
    void slotRecvTimerTimeout();

private:
    Frame::Header settingHeader() const;
    void sendSettingCommand(int group);
    void setFieldAndSend(Field field, int value, int group);
    bool stillOn(const SendTarget &target) const;
    void transmitTo(const SendTarget &target, const QByteArray &frame);
    void storeAndSend(int group);
    void parseSearchReply();
    void parseSettingsReply();

    MachineDevice *placeholder = nullptr; // current device until one is selected; never listed
    QElapsedTimer readSentAt;             // when the read request now awaiting its reply went out
};

// The panel's one protocol object, created by the main window.
extern DataStream *dataStream;
