// The bridge's MQTT side: readings of the line published to a broker through
// libmosquitto, with Home Assistant discovery, availability and a Last Will,
// and a bounded queue that carries readings over a broker outage.
//
// Topics (prefix "fenwire" unless given):
//   <prefix>/<device id>/state          a reading's JSON object, QoS 1, in order
//   <prefix>/<device id>/availability   "online" / "offline", retained
//   <prefix>/bridge/<bridge id>/availability
//                                       "online" / "offline", retained; the
//                                       connection's Last Will is "offline"
//   <prefix>/bridge/<bridge id>/status  the line statistics, retained
//   <discovery prefix>/sensor/<device id>/{temperature,humidity}/config
//                                       Home Assistant discovery, retained
//
// The network runs in a thread of its own, so no call here waits for the
// broker: every call comes from the thread that made the object (rh_poll's
// main thread), takes a lock, and returns. The log callback is called on
// that thread too, from its event loop (and at the end of Stop()).
#pragma once

#include "bridge_reading.h"

#include <QtCore/QJsonObject>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <functional>
#include <memory>
#include <thread>

struct TMqttOptions
{
    QString host;         // broker host name or address
    int port = 0;         // 0: 1883, or 8883 with TLS
    QString user;         // empty: connect without a user name
    QString passwordFile; // its first line is the password; empty: none
    bool tls = false;
    QString caFile;       // PEM; empty with TLS: the system's certificates
    QString prefix = QStringLiteral("fenwire");
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    // Readings waiting for the broker; when full the oldest go first. The
    // few already handed to the connection (at most 20) are not counted:
    // they cannot be called back and are delivered first.
    int queueLimit = 100000;
    // Home Assistant marks a sensor unavailable when no state came for this
    // long; a few polling intervals. 0 leaves the key out (never expires).
    int expireAfter = 120;
    // Names the bridge: its client id ("fenwire-<id>") and its own topics.
    // Letters, digits, '_' and '-'; empty: this machine's host name.
    QString bridgeId;

    // "HOST[:PORT]", "[IPv6]:PORT" or a bare IPv6 address into host and
    // port; false with a message for a bad port.
    static bool ParseBroker(const QString &text, TMqttOptions *options, QString *error);
};

struct TMqttStats
{
    bool connected = false;
    qint64 published = 0;  // readings given to Publish()
    qint64 delivered = 0;  // acknowledged by the broker (PUBACK)
    qint64 dropped = 0;    // the oldest, pushed out of a full queue
    qint64 queued = 0;     // not acknowledged yet, in flight included
    qint64 maxQueued = 0;  // the most that ever waited at once
    qint64 reconnects = 0; // connections after the first
    qint64 unsent = 0;     // still queued when Stop() gave up
};

class TMqttBridge : public QObject
{
    Q_OBJECT

public:
    explicit TMqttBridge(const TMqttOptions &options, QObject *parent = nullptr);
    ~TMqttBridge() override; // Stop(2000) if Stop() was not called

    // Without one, log lines go to standard error. One line when the broker
    // is reached, when it is lost and when it is back, when the queue starts
    // dropping readings: never one per retry.
    void SetLog(std::function<void(const QString &line)> log);

    // Checks the options, reads the password file and starts connecting in
    // the background; false with a message when an option is wrong. A broker
    // that cannot be reached is not an error: readings wait for it.
    bool Start(QString *error);

    // A device of the line (again when the identification adds model,
    // serial number and firmware, or the kind turns out to have no
    // humidity): its discovery configs.
    void DeviceKnown(const TBridgeDevice &device);
    // "online" when the device answers, "offline" when it stops answering.
    void SetAvailable(const TBridgeDevice &device, bool online);
    // Queued, delivered in order with QoS 1; leaves the queue only once the
    // broker acknowledged it. A unit the discovery config does not show yet
    // republishes it.
    void Publish(const TBridgeReading &reading);
    // The line statistics (rh_poll sends them every minute).
    void PublishStatus(const QJsonObject &status);
    // A device taken out of the list: its discovery configs and its
    // availability are removed from the broker (empty retained messages).
    void Forget(const TBridgeDevice &device);

    // Delivers what is queued while the time allows and the broker is there,
    // says "offline" for every device and the bridge, and disconnects.
    void Stop(int timeoutMs);

    TMqttStats Statistics() const;

    QString BridgeAvailabilityTopic() const;
    QString StatusTopic() const;
    QString StateTopic(const TBridgeDevice &device) const;
    QString AvailabilityTopic(const TBridgeDevice &device) const;
    // object: "temperature" or "humidity"
    QString DiscoveryTopic(const TBridgeDevice &device, const QString &object) const;

    struct TShared; // what the network thread shares with this object

private:
    friend struct TShared;
    void drainLog();

    TMqttOptions m_options;
    std::function<void(const QString &)> m_log;
    std::shared_ptr<TShared> m_shared;
    std::thread m_thread;
    bool m_started = false;
    bool m_stopped = false;
};
