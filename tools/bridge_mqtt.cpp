#include "bridge_mqtt.h"

#include <QtCore/QFile>
#include <QtCore/QHash>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QMap>
#include <QtCore/QRegularExpression>
#include <QtCore/QSet>
#include <QtCore/QSysInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mosquitto.h>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int kDefaultPort = 1883;
constexpr int kDefaultTlsPort = 8883;
// A connection that stops carrying anything is declared dead after one and
// a half of these; it also bounds a TCP connect that never completes.
constexpr int kKeepAliveS = 30;
// Readings handed to libmosquitto at once: its own limit of QoS 1 messages
// in flight, so every one handed is on the wire and, after a reconnect,
// resent by the library in the order it was handed.
constexpr size_t kInFlight = 20;
// The backoff: 1 s, doubling, at most 60 s. libmosquitto's own
// reconnect grows by the square of the attempt (1, 4, 9 ... s), so the
// network thread runs its own.
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 60000;
// A connection that held this long starts the next outage's backoff at the
// first step again; one the broker drops at once (a second bridge with the
// same id) keeps doubling instead of reconnecting every second.
constexpr qint64 kSteadyMs = 10000;
// How long one turn of the network loop may sleep before it looks at a
// request to end; publishing wakes it at once.
constexpr int kLoopMs = 250;
// Stop() gives the goodbye (offline, DISCONNECT) this long even when the
// caller's time is up, and the network thread its turn past that.
constexpr int kGoodbyeMs = kLoopMs;
constexpr int kJoinGraceMs = 2 * kLoopMs + 500;
constexpr char kSystemCaPath[] = "/etc/ssl/certs";
constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";
const QString kTemperature = QStringLiteral("temperature");
const QString kHumidity = QStringLiteral("humidity");

qint64 nowMs()
{
    return std::chrono::duration_cast<Ms>(Clock::now().time_since_epoch()).count();
}

// One reading as it waits: its values without the device record, which is
// shared (see TShared::snapshots), so an hour of 32 devices fits in a few MB.
struct TQueued
{
    enum Flag : quint8 {
        HasTemperature = 1,
        HasHumidity = 2,
        ValidTime = 4,
        Handed = 8, // given to libmosquitto, waiting for its PUBACK
        Acked = 16,
    };
    qint64 timeMs = 0; // since the epoch; the output is UTC anyway
    double temperature = 0;
    double humidity = 0;
    quint32 device = 0; // index into TShared::snapshots
    quint32 cause = 0;  // 0: none, else index + 1 into TShared::causes
    qint32 status = 0;
    quint16 mid = 0;
    char unit = 'C';
    quint8 flags = 0;
};

static_assert(sizeof(TQueued) <= 40, "a queued reading stays small: an hour of a full line is 115 200 of them");

bool sameDevice(const TBridgeDevice &a, const TBridgeDevice &b)
{
    return a.port == b.port && a.address == b.address && a.name == b.name && a.model == b.model &&
           a.serial == b.serial && a.firmware == b.firmware && a.humidity == b.humidity;
}

bool validTopicPart(const QString &topic)
{
    const QByteArray t = topic.toUtf8();
    return !t.isEmpty() && !t.startsWith('/') && !t.endsWith('/') &&
           mosquitto_pub_topic_check(t.constData()) == MOSQ_ERR_SUCCESS;
}

const QRegularExpression &idPattern()
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_-]+$"));
    return re;
}

QString hostLabel(const QString &host, int port)
{
    return (host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host) + QLatin1Char(':') +
           QString::number(port);
}

// libmosquitto's texts are sentences; ours carry them in brackets.
QString sentence(const char *text)
{
    QString s = QString::fromUtf8(text);
    if (s.endsWith(QLatin1Char('.')))
        s.chop(1);
    return s;
}

QString failureText(int rc, int err)
{
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return QString::fromLocal8Bit(std::strerror(err));
    case MOSQ_ERR_CONN_LOST:
        return QStringLiteral("the connection closed");
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("no reply within %1 s").arg(kKeepAliveS * 3 / 2);
    case MOSQ_ERR_EAI:
        return QStringLiteral("host name not found");
    default:
        return sentence(mosquitto_strerror(rc));
    }
}

std::once_flag g_libInit;

} // namespace

struct TMqttBridge::TShared
{
    struct TDevice
    {
        TBridgeDevice device;
        int online = -1; // -1 until SetAvailable() said
        QChar unit = QLatin1Char('C'); // as the discovery config shows it
        quint32 snapshot = 0;
        bool hasSnapshot = false;
    };

    // Set by Start() before the thread runs, read-only afterwards.
    TMqttOptions options;
    QByteArray host;
    int port = 0;
    QString label; // host:port for the log
    QString bridgeAvailability;
    QString statusTopic;
    QString haStatusTopic;
    mosquitto *mosq = nullptr;

    mutable std::mutex mutex;
    std::condition_variable progress; // a connection, a PUBACK, the thread ending

    QMap<QString, TDevice> devices; // by id
    QSet<QString> forgotten;        // ids whose retained topics are cleared on each connection
    QByteArray status;

    std::deque<TQueued> queue; // oldest first; the first `handed` are with libmosquitto
    size_t handed = 0;
    // Device records and failure causes the queued readings refer to; few
    // and shared, emptied whenever the queue is.
    std::vector<TBridgeDevice> snapshots;
    std::vector<QByteArray> snapshotTopics;
    std::vector<QString> causes;
    QHash<QString, quint32> causeIndex;

    TMqttStats stats;

    bool connected = false; // CONNACK accepted and not lost since
    bool everConnected = false;
    bool down = false; // an outage was logged and has not ended
    bool dropsLogged = false;
    qint64 downSinceMs = 0;
    qint64 droppedBeforeDown = 0;
    qint64 connectedAtMs = 0;
    int retryMs = kFirstRetryMs;
    QString refusal;      // the broker's reason in a refused CONNACK
    QString libraryError; // libmosquitto's last error line (the TLS detail)

    bool stopping = false;
    bool disconnecting = false;
    bool quit = false;
    Clock::time_point quitDeadline;
    bool threadDone = false;

    TMqttBridge *owner = nullptr;
    QStringList pendingLog;
    bool drainPosted = false;

    ~TShared()
    {
        if (mosq)
            mosquitto_destroy(mosq);
    }

    // -- topics and payloads ------------------------------------------------

    QString deviceTopic(const QString &id, const char *leaf) const
    {
        return options.prefix + QLatin1Char('/') + id + QLatin1Char('/') + QLatin1String(leaf);
    }
    QString discoveryTopic(const QString &id, const QString &object) const
    {
        return options.discoveryPrefix + QStringLiteral("/sensor/") + id + QLatin1Char('/') + object +
               QStringLiteral("/config");
    }

    QByteArray sensorConfig(const TDevice &d, const QString &object) const
    {
        const TBridgeDevice &dev = d.device;
        const QString id = dev.id();
        const bool temperature = object == kTemperature;
        QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{QStringLiteral("fenwire_") + id}},
                           {QStringLiteral("name"), dev.name.isEmpty() ? id : dev.name},
                           {QStringLiteral("manufacturer"), QStringLiteral("Fenwire")}};
        if (!dev.model.isEmpty())
            device.insert(QStringLiteral("model"), dev.model);
        if (!dev.serial.isEmpty())
            device.insert(QStringLiteral("serial_number"), dev.serial);
        if (!dev.firmware.isEmpty())
            device.insert(QStringLiteral("sw_version"), dev.firmware);
        // Both topics, all of them online: a bridge that died (its Last Will)
        // makes every sensor unavailable at once, a device that stopped
        // answering only its own.
        const QJsonArray availability{QJsonObject{{QStringLiteral("topic"), bridgeAvailability}},
                                      QJsonObject{{QStringLiteral("topic"), deviceTopic(id, "availability")}}};
        QJsonObject c{
            {QStringLiteral("name"), temperature ? QStringLiteral("Temperature") : QStringLiteral("Humidity")},
            {QStringLiteral("unique_id"), QStringLiteral("fenwire_%1_%2").arg(id, object)},
            {QStringLiteral("state_topic"), deviceTopic(id, "state")},
            // A failed reading carries null, which renders as None: Home
            // Assistant shows the sensor as unknown.
            {QStringLiteral("value_template"), QStringLiteral("{{ value_json.%1 }}").arg(object)},
            {QStringLiteral("device_class"), object},
            {QStringLiteral("state_class"), QStringLiteral("measurement")},
            {QStringLiteral("unit_of_measurement"),
             temperature ? (d.unit == QLatin1Char('F') ? QStringLiteral("\u00B0F") : QStringLiteral("\u00B0C"))
                         : QStringLiteral("%")},
            {QStringLiteral("availability"), availability},
            {QStringLiteral("availability_mode"), QStringLiteral("all")},
            {QStringLiteral("device"), device}};
        if (options.expireAfter > 0)
            c.insert(QStringLiteral("expire_after"), options.expireAfter);
        return QJsonDocument(c).toJson(QJsonDocument::Compact);
    }

    QByteArray statePayload(const TQueued &q) const
    {
        TBridgeReading r;
        if (q.flags & TQueued::ValidTime)
            r.time = QDateTime::fromMSecsSinceEpoch(q.timeMs, Qt::UTC);
        r.device = snapshots[q.device];
        if (q.flags & TQueued::HasTemperature)
            r.temperature = q.temperature;
        if (q.flags & TQueued::HasHumidity)
            r.humidity = q.humidity;
        r.unit = QLatin1Char(q.unit);
        r.status = q.status;
        if (q.cause)
            r.cause = causes[q.cause - 1];
        return QJsonDocument(BridgeJson(r)).toJson(QJsonDocument::Compact);
    }

    // -- publishing (the lock held, connected) -------------------------------

    // Retained topics go with QoS 0: every connection publishes them anew
    // from what is held here, so one lost with a dying connection is replaced
    // on the next, and none can arrive after a newer one, as a QoS 1 message
    // still in flight would when libmosquitto resends it after a reconnect.
    void publishRetained(const QString &topic, const QByteArray &payload)
    {
        mosquitto_publish(mosq, nullptr, topic.toUtf8().constData(), int(payload.size()), payload.constData(), 0, true);
    }

    void publishConfigs(const TDevice &d)
    {
        if (!options.discovery)
            return;
        const QString id = d.device.id();
        publishRetained(discoveryTopic(id, kTemperature), sensorConfig(d, kTemperature));
        // A device found to have no humidity after all loses the sensor a
        // first guess may have announced.
        publishRetained(discoveryTopic(id, kHumidity), d.device.humidity ? sensorConfig(d, kHumidity) : QByteArray());
    }

    void publishAvailability(const TDevice &d)
    {
        if (d.online >= 0)
            publishRetained(deviceTopic(d.device.id(), "availability"), d.online ? kOnline : kOffline);
    }

    void clearForgotten(const QString &id)
    {
        if (options.discovery) {
            publishRetained(discoveryTopic(id, kTemperature), QByteArray());
            publishRetained(discoveryTopic(id, kHumidity), QByteArray());
        }
        publishRetained(deviceTopic(id, "availability"), QByteArray());
    }

    void publishEverything()
    {
        publishRetained(bridgeAvailability, kOnline);
        for (const QString &id : std::as_const(forgotten))
            clearForgotten(id);
        for (const TDevice &d : std::as_const(devices)) {
            publishConfigs(d);
            publishAvailability(d);
        }
        if (!status.isEmpty())
            publishRetained(statusTopic, status);
    }

    // Hands the oldest readings to libmosquitto, as many as may be in flight.
    void pump()
    {
        while (connected && !disconnecting && handed < queue.size() && handed < kInFlight) {
            TQueued &q = queue[handed];
            const QByteArray payload = statePayload(q);
            int mid = 0;
            const int rc = mosquitto_publish(mosq, &mid, snapshotTopics[q.device].constData(), int(payload.size()),
                                             payload.constData(), 1, false);
            // MOSQ_ERR_NO_CONN: the connection went a moment ago; the library
            // keeps the message and sends it on the next one.
            if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) {
                q.mid = quint16(mid);
                q.flags |= TQueued::Handed;
                ++handed;
            } else {
                // Never seen; a reading the library refuses must not hold up
                // every reading behind it.
                log(QStringLiteral("MQTT: a reading could not be published (%1); dropped")
                        .arg(QString::fromUtf8(mosquitto_strerror(rc))));
                queue.erase(queue.begin() + qptrdiff(handed));
                ++stats.dropped;
            }
        }
        stats.queued = qint64(queue.size());
    }

    // -- devices and readings (the lock held) --------------------------------

    // Registers or updates a device; *changed: its discovery configs differ
    // from what was published.
    TDevice &noteDevice(const TBridgeDevice &dev, bool *changed)
    {
        const QString id = dev.id();
        forgotten.remove(id);
        auto it = devices.find(id);
        if (it == devices.end()) {
            TDevice d;
            d.device = dev;
            *changed = true;
            return *devices.insert(id, d);
        }
        TBridgeDevice merged = it->device;
        // The identification adds to what is known; a reading's record made
        // before it came must not take it away again.
        merged.port = dev.port;
        merged.address = dev.address;
        merged.name = dev.name;
        merged.humidity = dev.humidity;
        if (!dev.model.isEmpty())
            merged.model = dev.model;
        if (!dev.serial.isEmpty())
            merged.serial = dev.serial;
        if (!dev.firmware.isEmpty())
            merged.firmware = dev.firmware;
        *changed = !sameDevice(merged, it->device);
        it->device = merged;
        return *it;
    }

    quint32 snapshotOf(TDevice &d, const TBridgeDevice &dev)
    {
        if (d.hasSnapshot && sameDevice(snapshots[d.snapshot], dev))
            return d.snapshot;
        snapshots.push_back(dev);
        snapshotTopics.push_back(deviceTopic(dev.id(), "state").toUtf8());
        d.snapshot = quint32(snapshots.size() - 1);
        d.hasSnapshot = true;
        return d.snapshot;
    }

    quint32 causeOf(const QString &cause)
    {
        if (cause.isEmpty())
            return 0;
        auto it = causeIndex.constFind(cause);
        if (it != causeIndex.constEnd())
            return *it;
        causes.push_back(cause);
        return *causeIndex.insert(cause, quint32(causes.size()));
    }

    // Nothing queued refers to the shared records any more.
    void forgetSnapshots()
    {
        snapshots.clear();
        snapshotTopics.clear();
        causes.clear();
        causeIndex.clear();
        for (TDevice &d : devices)
            d.hasSnapshot = false;
    }

    void enqueue(const TBridgeReading &r)
    {
        bool changed = false;
        TDevice &d = noteDevice(r.device, &changed);
        // A failed reading carries no unit of the device's (it says 'C'
        // whatever the device reports): only a good one may change it.
        if (r.status == 0 && r.temperature && d.unit != r.unit) {
            d.unit = r.unit;
            changed = true;
        }
        if (changed && connected)
            publishConfigs(d);

        if (queue.size() - handed >= size_t(options.queueLimit)) {
            // The oldest reading nobody has seen goes; those in flight cannot
            // be called back.
            if (handed < queue.size()) {
                queue.erase(queue.begin() + qptrdiff(handed));
                ++stats.dropped;
                if (!dropsLogged) {
                    dropsLogged = true;
                    log(QStringLiteral("MQTT: the queue is full (%1 readings); dropping the oldest")
                            .arg(options.queueLimit));
                }
            }
        }
        if (queue.empty())
            forgetSnapshots();
        TQueued q;
        if (r.time.isValid()) {
            q.timeMs = r.time.toMSecsSinceEpoch();
            q.flags |= TQueued::ValidTime;
        }
        if (r.temperature) {
            q.temperature = *r.temperature;
            q.flags |= TQueued::HasTemperature;
        }
        if (r.humidity) {
            q.humidity = *r.humidity;
            q.flags |= TQueued::HasHumidity;
        }
        q.device = snapshotOf(d, r.device);
        q.cause = causeOf(r.cause);
        q.status = r.status;
        q.unit = r.unit == QLatin1Char('F') ? 'F' : 'C';
        queue.push_back(q);
        ++stats.published;
        stats.maxQueued = std::max(stats.maxQueued, qint64(queue.size()));
        pump();
    }

    // -- the log ---------------------------------------------------------------

    // Lines go to the owner's thread: the log callback is rh_poll's code.
    void log(const QString &line)
    {
        pendingLog << line;
        if (owner && !drainPosted) {
            drainPosted = true;
            TMqttBridge *o = owner;
            QMetaObject::invokeMethod(o, [o] { o->drainLog(); }, Qt::QueuedConnection);
        }
    }

    // -- the connection (network thread) ---------------------------------------

    void noteFailure(int rc, int err)
    {
        connected = false;
        if (connectedAtMs && nowMs() - connectedAtMs >= kSteadyMs)
            retryMs = kFirstRetryMs;
        connectedAtMs = 0;
        if (down || stopping)
            return;
        const QString reason = !refusal.isEmpty() ? refusal
                               : rc == MOSQ_ERR_TLS && !libraryError.isEmpty() ? QStringLiteral("TLS: ") + libraryError
                                                                               : failureText(rc, err);
        down = true;
        downSinceMs = nowMs();
        droppedBeforeDown = stats.dropped;
        log(QStringLiteral("MQTT: %1 the broker %2 (%3); readings wait in the queue (up to %4)")
                .arg(everConnected ? QStringLiteral("lost") : QStringLiteral("cannot reach"), label, reason)
                .arg(options.queueLimit));
    }

    void onConnect(int rc)
    {
        if (rc != 0) {
            refusal = sentence(mosquitto_connack_string(rc));
            return;
        }
        connected = true;
        connectedAtMs = nowMs();
        if (everConnected)
            ++stats.reconnects;
        stats.connected = true;
        dropsLogged = false;
        if (down) {
            const qint64 dropped = stats.dropped - droppedBeforeDown;
            log(QStringLiteral("MQTT: the broker %1 is back after %2 s; delivering %3 queued readings%4")
                    .arg(label)
                    .arg((nowMs() - downSinceMs + 500) / 1000)
                    .arg(queue.size())
                    .arg(dropped ? QStringLiteral(" (%1 dropped while it was away)").arg(dropped) : QString()));
        } else if (!everConnected) {
            log(QStringLiteral("MQTT: connected to the broker %1").arg(label));
        }
        down = false;
        everConnected = true;
        publishEverything();
        if (options.discovery)
            mosquitto_subscribe(mosq, nullptr, haStatusTopic.toUtf8().constData(), 1);
        // Readings still in flight from the last connection are resent by
        // libmosquitto once this callback returns; handing newer ones now
        // would put them on the wire first. Their PUBACKs hand the rest.
        if (handed == 0)
            pump();
        progress.notify_all();
    }

    void onDisconnect()
    {
        connected = false;
        stats.connected = false;
        progress.notify_all();
    }

    void onPublish(int mid)
    {
        // QoS 0 messages report here too, when written; their ids are not
        // among the readings'.
        for (size_t i = 0; i < handed; ++i) {
            TQueued &q = queue[i];
            if (q.mid == mid && !(q.flags & TQueued::Acked)) {
                q.flags |= TQueued::Acked;
                break;
            }
        }
        while (handed > 0 && (queue.front().flags & TQueued::Acked)) {
            queue.pop_front();
            --handed;
            ++stats.delivered;
        }
        if (queue.empty())
            forgetSnapshots();
        pump();
        progress.notify_all();
    }

    void onMessage(const mosquitto_message *m)
    {
        // Home Assistant announces itself when it starts: it has forgotten
        // what was discovered unless the configs are still retained.
        if (options.discovery && connected && haStatusTopic == QString::fromUtf8(m->topic) &&
            QByteArray(static_cast<const char *>(m->payload), m->payloadlen) == kOnline)
            publishEverything();
    }

    void run();
};

// -- libmosquitto's callbacks, on the network thread ------------------------

namespace {

TMqttBridge::TShared *shared(void *userdata)
{
    return static_cast<TMqttBridge::TShared *>(userdata);
}

void onConnect(mosquitto *, void *userdata, int rc)
{
    auto *s = shared(userdata);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->onConnect(rc);
}

void onDisconnect(mosquitto *, void *userdata, int)
{
    auto *s = shared(userdata);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->onDisconnect();
}

void onPublish(mosquitto *, void *userdata, int mid)
{
    auto *s = shared(userdata);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->onPublish(mid);
}

void onMessage(mosquitto *, void *userdata, const mosquitto_message *m)
{
    auto *s = shared(userdata);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->onMessage(m);
}

void onLibraryLog(mosquitto *, void *userdata, int level, const char *text)
{
    if (level != MOSQ_LOG_ERR)
        return;
    auto *s = shared(userdata);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->libraryError = QString::fromUtf8(text);
}

} // namespace

// The network thread: connects, runs libmosquitto's loop, and after a
// failure waits out the backoff before the next attempt.
void TMqttBridge::TShared::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    bool first = true;
    for (;;) {
        const bool open = mosquitto_socket(mosq) >= 0;
        // Ending: at once, unless Stop() left a goodbye to write out.
        if (quit && (!open || !disconnecting || Clock::now() >= quitDeadline))
            break;
        if (!open) {
            if (disconnecting) {
                progress.wait(lock, [this] { return quit; });
                continue;
            }
            if (!first) {
                const int wait = retryMs;
                retryMs = std::min(retryMs * 2, kLastRetryMs);
                if (progress.wait_for(lock, Ms(wait), [this] { return quit; }))
                    continue;
            }
            refusal.clear();
            libraryError.clear();
            lock.unlock();
            // Non-blocking: the TCP connect, the TLS handshake and CONNACK
            // complete in the loop below; only a name lookup may wait here.
            const int rc = first ? mosquitto_connect_async(mosq, host.constData(), port, kKeepAliveS)
                                 : mosquitto_reconnect_async(mosq);
            const int err = errno;
            lock.lock();
            first = false;
            if (rc != MOSQ_ERR_SUCCESS && mosquitto_socket(mosq) < 0)
                noteFailure(rc, err);
            continue;
        }
        lock.unlock();
        const int rc = mosquitto_loop(mosq, kLoopMs, 1);
        const int err = errno;
        lock.lock();
        if (mosquitto_socket(mosq) < 0 && !disconnecting)
            noteFailure(rc, err);
    }
    connected = false;
    stats.connected = false;
    threadDone = true;
    progress.notify_all();
}

// -- the object ------------------------------------------------------------

bool TMqttOptions::ParseBroker(const QString &text, TMqttOptions *options, QString *error)
{
    QString host = text.trimmed();
    QString port;
    if (host.startsWith(QLatin1Char('['))) {
        const int close = host.indexOf(QLatin1Char(']'));
        if (close < 0) {
            *error = QStringLiteral("%1: a ']' is missing").arg(text);
            return false;
        }
        const QString rest = host.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':'))) {
            *error = QStringLiteral("%1: HOST[:PORT] expected").arg(text);
            return false;
        }
        port = rest.mid(1);
        host = host.mid(1, close - 1);
    } else if (host.count(QLatin1Char(':')) == 1) {
        port = host.section(QLatin1Char(':'), 1);
        host = host.section(QLatin1Char(':'), 0, 0);
    }
    if (host.isEmpty()) {
        *error = QStringLiteral("%1: the host is missing").arg(text);
        return false;
    }
    int p = 0;
    if (!port.isNull()) {
        bool ok = false;
        p = port.toInt(&ok);
        if (!ok || p < 1 || p > 65535) {
            *error = QStringLiteral("%1: the port must be 1 to 65535").arg(text);
            return false;
        }
    }
    options->host = host;
    options->port = p;
    return true;
}

TMqttBridge::TMqttBridge(const TMqttOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_shared(std::make_shared<TShared>())
{
    if (m_options.bridgeId.isEmpty()) {
        QString id = QSysInfo::machineHostName();
        id.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
        m_options.bridgeId = id.isEmpty() ? QStringLiteral("rh_poll") : id;
    }
    TShared &s = *m_shared;
    s.options = m_options;
    const QString bridge = m_options.prefix + QStringLiteral("/bridge/") + m_options.bridgeId;
    s.bridgeAvailability = bridge + QStringLiteral("/availability");
    s.statusTopic = bridge + QStringLiteral("/status");
    s.haStatusTopic = m_options.discoveryPrefix + QStringLiteral("/status");
}

TMqttBridge::~TMqttBridge()
{
    if (m_started && !m_stopped)
        Stop(2000);
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->owner = nullptr;
}

void TMqttBridge::SetLog(std::function<void(const QString &)> log)
{
    m_log = std::move(log);
}

bool TMqttBridge::Start(QString *error)
{
    const TMqttOptions &o = m_options;
    auto fail = [error](const QString &text) {
        *error = text;
        return false;
    };
    if (m_started)
        return fail(QStringLiteral("MQTT: already started"));
    if (o.host.isEmpty() || o.host.contains(QLatin1Char(' ')))
        return fail(QStringLiteral("MQTT: a broker host is needed"));
    if (o.port < 0 || o.port > 65535)
        return fail(QStringLiteral("MQTT: the port must be 1 to 65535"));
    if (!validTopicPart(o.prefix))
        return fail(QStringLiteral("MQTT: the topic prefix \"%1\" is not a topic (no '+', '#', or '/' at its ends)")
                        .arg(o.prefix));
    if (o.discovery && !validTopicPart(o.discoveryPrefix))
        return fail(QStringLiteral("MQTT: the discovery prefix \"%1\" is not a topic").arg(o.discoveryPrefix));
    if (o.queueLimit < 1)
        return fail(QStringLiteral("MQTT: the queue must hold at least one reading"));
    if (o.expireAfter < 0)
        return fail(QStringLiteral("MQTT: expire_after must be 0 or more seconds"));
    if (!idPattern().match(o.bridgeId).hasMatch())
        return fail(QStringLiteral("MQTT: the bridge id \"%1\" may hold only letters, digits, '_' and '-'")
                        .arg(o.bridgeId));
    QByteArray password;
    if (!o.passwordFile.isEmpty()) {
        if (o.user.isEmpty())
            return fail(QStringLiteral("MQTT: a password needs a user name"));
        QFile f(o.passwordFile);
        if (!f.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("MQTT: cannot read the password file %1: %2").arg(o.passwordFile, f.errorString()));
        password = f.readLine();
        while (password.endsWith('\n') || password.endsWith('\r'))
            password.chop(1);
        if (password.isEmpty())
            return fail(QStringLiteral("MQTT: the password file %1 is empty").arg(o.passwordFile));
    }
    if (o.tls && !o.caFile.isEmpty() && !QFile::exists(o.caFile))
        return fail(QStringLiteral("MQTT: no CA file %1").arg(o.caFile));

    std::call_once(g_libInit, [] { mosquitto_lib_init(); });
    TShared &s = *m_shared;
    s.host = o.host.toUtf8();
    s.port = o.port ? o.port : (o.tls ? kDefaultTlsPort : kDefaultPort);
    s.label = hostLabel(o.host, s.port);
    s.owner = this;
    if (s.mosq) { // a Start() that failed before
        mosquitto_destroy(s.mosq);
        s.mosq = nullptr;
    }

    // A clean session: what must survive a reconnect is kept here (and, for
    // the readings in flight, by libmosquitto), not by the broker.
    const QByteArray clientId = (QStringLiteral("fenwire-") + o.bridgeId).toUtf8();
    s.mosq = mosquitto_new(clientId.constData(), true, &s);
    if (!s.mosq)
        return fail(QStringLiteral("MQTT: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    // The loop runs in our own thread, so publishing from the main thread
    // must only queue and wake it.
    mosquitto_threaded_set(s.mosq, true);
    mosquitto_connect_callback_set(s.mosq, onConnect);
    mosquitto_disconnect_callback_set(s.mosq, onDisconnect);
    mosquitto_publish_callback_set(s.mosq, onPublish);
    mosquitto_message_callback_set(s.mosq, onMessage);
    mosquitto_log_callback_set(s.mosq, onLibraryLog);
    const QByteArray willTopic = s.bridgeAvailability.toUtf8();
    int rc = mosquitto_will_set(s.mosq, willTopic.constData(), int(std::strlen(kOffline)), kOffline, 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !o.user.isEmpty())
        rc = mosquitto_username_pw_set(s.mosq, o.user.toUtf8().constData(),
                                       password.isEmpty() ? nullptr : password.constData());
    if (rc != MOSQ_ERR_SUCCESS)
        return fail(QStringLiteral("MQTT: %1").arg(QString::fromUtf8(mosquitto_strerror(rc))));
    if (o.tls) {
        if (o.caFile.isEmpty()) {
            // libmosquitto wants a file or a folder even when told to use
            // the system's certificates: Debian keeps them here.
            mosquitto_int_option(s.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            rc = mosquitto_tls_set(s.mosq, nullptr, kSystemCaPath, nullptr, nullptr, nullptr);
        } else {
            rc = mosquitto_tls_set(s.mosq, QFile::encodeName(o.caFile).constData(), nullptr, nullptr, nullptr, nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("MQTT: TLS with CA file %1: %2")
                            .arg(o.caFile.isEmpty() ? QStringLiteral("(the system's)") : o.caFile,
                                 QString::fromUtf8(mosquitto_strerror(rc))));
    }

    m_started = true;
    std::shared_ptr<TShared> keep = m_shared;
    // The thread holds the shared state too: should a name lookup outlast
    // Stop(), it ends later on its own.
    m_thread = std::thread([keep] { keep->run(); });
    return true;
}

void TMqttBridge::DeviceKnown(const TBridgeDevice &device)
{
    TShared &s = *m_shared;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopping)
        return;
    bool changed = false;
    TShared::TDevice &d = s.noteDevice(device, &changed);
    if (changed && s.connected)
        s.publishConfigs(d);
}

void TMqttBridge::SetAvailable(const TBridgeDevice &device, bool online)
{
    TShared &s = *m_shared;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopping)
        return;
    bool changed = false;
    TShared::TDevice &d = s.noteDevice(device, &changed);
    const bool news = d.online != int(online);
    d.online = online;
    if (s.connected) {
        if (changed)
            s.publishConfigs(d);
        if (news)
            s.publishAvailability(d);
    }
}

void TMqttBridge::Publish(const TBridgeReading &reading)
{
    TShared &s = *m_shared;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.stopping)
        s.enqueue(reading);
}

void TMqttBridge::PublishStatus(const QJsonObject &status)
{
    TShared &s = *m_shared;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopping)
        return;
    s.status = QJsonDocument(status).toJson(QJsonDocument::Compact);
    if (s.connected)
        s.publishRetained(s.statusTopic, s.status);
}

void TMqttBridge::Forget(const TBridgeDevice &device)
{
    TShared &s = *m_shared;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopping)
        return;
    const QString id = device.id();
    s.devices.remove(id);
    s.forgotten.insert(id);
    if (s.connected)
        s.clearForgotten(id);
}

void TMqttBridge::Stop(int timeoutMs)
{
    if (!m_started || m_stopped)
        return;
    m_stopped = true;
    TShared &s = *m_shared;
    const Clock::time_point deadline = Clock::now() + Ms(std::max(0, timeoutMs));
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.stopping = true;
        // Deliver what waits while the broker is there to take it.
        s.progress.wait_until(lock, deadline, [&s] { return s.queue.empty() || !s.connected; });
        if (s.connected) {
            // A clean disconnect sends no Last Will: the bridge says it.
            for (const TShared::TDevice &d : std::as_const(s.devices))
                s.publishRetained(s.deviceTopic(d.device.id(), "availability"), kOffline);
            s.publishRetained(s.bridgeAvailability, kOffline);
            s.disconnecting = true;
            // Queued behind the messages above, so they are written first.
            mosquitto_disconnect(s.mosq);
        }
        s.stats.unsent = qint64(s.queue.size());
        s.quit = true;
        s.quitDeadline = std::max(deadline, Clock::now() + Ms(kGoodbyeMs));
        s.progress.notify_all();
        ended = s.progress.wait_until(lock, s.quitDeadline + Ms(kJoinGraceMs), [&s] { return s.threadDone; });
    }
    if (ended) {
        m_thread.join();
    } else {
        // Stuck in a name lookup: it ends when that returns.
        m_thread.detach();
    }
    drainLog();
}

TMqttStats TMqttBridge::Statistics() const
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->stats;
}

void TMqttBridge::drainLog()
{
    QStringList lines;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        lines.swap(m_shared->pendingLog);
        m_shared->drainPosted = false;
    }
    for (const QString &line : std::as_const(lines)) {
        if (m_log) {
            m_log(line);
        } else {
            std::fputs(qPrintable(line + QLatin1Char('\n')), stderr);
        }
    }
}

QString TMqttBridge::BridgeAvailabilityTopic() const
{
    return m_shared->bridgeAvailability;
}

QString TMqttBridge::StatusTopic() const
{
    return m_shared->statusTopic;
}

QString TMqttBridge::StateTopic(const TBridgeDevice &device) const
{
    return m_shared->deviceTopic(device.id(), "state");
}

QString TMqttBridge::AvailabilityTopic(const TBridgeDevice &device) const
{
    return m_shared->deviceTopic(device.id(), "availability");
}

QString TMqttBridge::DiscoveryTopic(const TBridgeDevice &device, const QString &object) const
{
    return m_shared->discoveryTopic(device.id(), object);
}
