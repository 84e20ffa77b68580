// The bridge's MQTT side against a real Mosquitto broker of the test's own,
// seen from the broker as Home Assistant or a logger sees it: state messages,
// discovery configs, availability and the Last Will, and readings carried
// over a broker that goes away.
#include "bridge_mqtt.h"
#include "mqtt_broker.h"
#include "mqtt_subscriber.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QProcess>
#include <QtCore/QTimer>
#include <QtTest/QtTest>

namespace {

// Any one message on loopback comes at once; this bounds a broken case.
constexpr int kWaitMs = 10000;
// After an outage the bridge's next attempt comes at most 16 s after it
// noticed (1 + 2 + 4 + 8 s of backoff), whatever the outage's length here.
constexpr int kBackMs = 40000;

TBridgeDevice transmitter(int address, const QString &name = QString(), bool humidity = true)
{
    TBridgeDevice d;
    d.port = QStringLiteral("/dev/ttyUSB0");
    d.address = address;
    d.name = name;
    d.humidity = humidity;
    return d;
}

TBridgeReading readingOf(const TBridgeDevice &d, std::optional<double> t, std::optional<double> h,
                         QChar unit = QLatin1Char('C'))
{
    TBridgeReading r;
    r.time = QDateTime::currentDateTimeUtc();
    r.device = d;
    r.temperature = t;
    r.humidity = d.humidity ? h : std::nullopt;
    r.unit = unit;
    return r;
}

QJsonObject object(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

TMqttOptions optionsFor(int port, const QString &bridgeId = QStringLiteral("test"))
{
    TMqttOptions o;
    o.host = QStringLiteral("127.0.0.1");
    o.port = port;
    o.bridgeId = bridgeId;
    return o;
}

int linesWith(const QStringList &log, const QString &part)
{
    int n = 0;
    for (const QString &l : log)
        n += l.contains(part) ? 1 : 0;
    return n;
}

// The broker keeps a watcher's session on disk from here on: once it was
// stopped with the session in place, a later restart (after a SIGKILL too)
// brings the session back, and the broker queues for the watcher whatever
// the bridge delivers before the watcher has reconnected.
bool keepSession(TBroker &broker, TSubscriber &watcher, const QStringList &filters)
{
    if (!watcher.connect(broker.port(), filters))
        return false;
    broker.stop();
    if (!broker.start())
        return false;
    return QTest::qWaitFor([&watcher] { return watcher.subscribed(); }, kWaitMs);
}

} // namespace

class TstBridgeMqtt : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What one bridge run leaves on the broker: each reading's JSON on its
    // device's state topic, a discovery config per sensor, the devices' and
    // the bridge's availability, the status; later changes republish what
    // they change; Stop() says offline everywhere.
    void stateDiscoveryAndAvailability()
    {
        TBroker broker;
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        TSubscriber watch;
        QVERIFY(watch.connect(broker.port(), {QStringLiteral("#")}));

        TMqttOptions o = optionsFor(broker.port());
        o.expireAfter = 90;
        TMqttBridge bridge(o);
        QStringList log;
        bridge.SetLog([&log](const QString &l) { log << l; });
        QString error;
        QVERIFY2(bridge.Start(&error), qPrintable(error));

        TBridgeDevice a = transmitter(3);
        a.model = QStringLiteral("FWTH-01");
        a.serial = QStringLiteral("12345");
        a.firmware = QStringLiteral("1.07");
        TBridgeDevice b = transmitter(4, QStringLiteral("Cold room"), false); // not identified yet
        bridge.DeviceKnown(a);
        bridge.DeviceKnown(b);
        bridge.SetAvailable(a, true);
        bridge.SetAvailable(b, true);
        const TBridgeReading ra = readingOf(a, -20.5, 45.3);
        TBridgeReading rb = readingOf(b, std::nullopt, std::nullopt);
        rb.status = 300;
        rb.cause = QStringLiteral("200 Device not responding");
        bridge.Publish(ra);
        bridge.Publish(rb);
        const QJsonObject status{{QStringLiteral("requests"), 10}, {QStringLiteral("timeouts"), 1}};
        bridge.PublishStatus(status);

        const QString stateA = QStringLiteral("fenwire/ttyUSB0_3/state");
        const QString stateB = QStringLiteral("fenwire/Cold_room/state");
        QCOMPARE(bridge.StateTopic(a), stateA);
        QTRY_COMPARE_WITH_TIMEOUT(watch.on(stateA).size(), 1, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(watch.on(stateB).size(), 1, kWaitMs);
        QCOMPARE(object(watch.last(stateA)), BridgeJson(ra));
        QCOMPARE(object(watch.last(stateB)), BridgeJson(rb));

        const QString tempA = QStringLiteral("homeassistant/sensor/ttyUSB0_3/temperature/config");
        QCOMPARE(bridge.DiscoveryTopic(a, QStringLiteral("temperature")), tempA);
        QTRY_VERIFY_WITH_TIMEOUT(!watch.last(tempA).isEmpty(), kWaitMs);
        // Both availability topics must say online (availability_mode all),
        // since one connection has one Last Will: the bridge's.
        const QJsonObject expected = object(R"({
            "name": "Temperature",
            "unique_id": "fenwire_ttyUSB0_3_temperature",
            "state_topic": "fenwire/ttyUSB0_3/state",
            "value_template": "{{ value_json.temperature }}",
            "device_class": "temperature",
            "state_class": "measurement",
            "unit_of_measurement": "\u00b0C",
            "availability": [{"topic": "fenwire/bridge/test/availability"},
                             {"topic": "fenwire/ttyUSB0_3/availability"}],
            "availability_mode": "all",
            "expire_after": 90,
            "device": {"identifiers": ["fenwire_ttyUSB0_3"], "name": "ttyUSB0_3", "manufacturer": "Fenwire",
                       "model": "FWTH-01", "serial_number": "12345", "sw_version": "1.07"}})");
        QVERIFY(!expected.isEmpty());
        QCOMPARE(object(watch.last(tempA)), expected);
        const QJsonObject humA =
            object(watch.last(QStringLiteral("homeassistant/sensor/ttyUSB0_3/humidity/config")));
        QCOMPARE(humA.value(QStringLiteral("unique_id")).toString(), QStringLiteral("fenwire_ttyUSB0_3_humidity"));
        QCOMPARE(humA.value(QStringLiteral("device_class")).toString(), QStringLiteral("humidity"));
        QCOMPARE(humA.value(QStringLiteral("unit_of_measurement")).toString(), QStringLiteral("%"));
        QCOMPARE(humA.value(QStringLiteral("value_template")).toString(), QStringLiteral("{{ value_json.humidity }}"));

        // A temperature-only device gets no humidity sensor; until it is
        // identified its device block has only what the user gave.
        const QString tempB = QStringLiteral("homeassistant/sensor/Cold_room/temperature/config");
        const QString humB = QStringLiteral("homeassistant/sensor/Cold_room/humidity/config");
        QTRY_VERIFY_WITH_TIMEOUT(!watch.last(tempB).isEmpty(), kWaitMs);
        const QJsonObject deviceB = object(watch.last(tempB)).value(QStringLiteral("device")).toObject();
        QCOMPARE(deviceB, object(R"({"identifiers": ["fenwire_Cold_room"], "name": "Cold room",
                                     "manufacturer": "Fenwire"})"));
        for (const TMessage &m : watch.on(humB))
            QVERIFY2(m.payload.isEmpty(), m.payload.constData());

        QCOMPARE(watch.last(QStringLiteral("fenwire/ttyUSB0_3/availability")), QByteArray("online"));
        QCOMPARE(watch.last(QStringLiteral("fenwire/Cold_room/availability")), QByteArray("online"));
        QCOMPARE(watch.last(QStringLiteral("fenwire/bridge/test/availability")), QByteArray("online"));
        QTRY_COMPARE_WITH_TIMEOUT(object(watch.last(QStringLiteral("fenwire/bridge/test/status"))), status, kWaitMs);

        // The first reading in Fahrenheit, then the identification: the
        // config follows each. A failed reading in between says 'C', as
        // every failed one does, and must not turn the sensor back.
        bridge.Publish(readingOf(b, 70.1, std::nullopt, QLatin1Char('F')));
        QTRY_COMPARE_WITH_TIMEOUT(object(watch.last(tempB)).value(QStringLiteral("unit_of_measurement")).toString(),
                                  QStringLiteral("\u00B0F"), kWaitMs);
        bridge.Publish(rb);
        b.model = QStringLiteral("FWT-01");
        b.serial = QStringLiteral("777");
        bridge.DeviceKnown(b);
        QTRY_COMPARE_WITH_TIMEOUT(object(watch.last(tempB)).value(QStringLiteral("device")).toObject().value(
                                      QStringLiteral("serial_number")),
                                  QJsonValue(QStringLiteral("777")), kWaitMs);
        QCOMPARE(object(watch.last(tempB)).value(QStringLiteral("unit_of_measurement")).toString(),
                 QStringLiteral("\u00B0F"));

        // A device that stops answering.
        bridge.SetAvailable(a, false);
        QTRY_COMPARE_WITH_TIMEOUT(watch.last(QStringLiteral("fenwire/ttyUSB0_3/availability")), QByteArray("offline"),
                                  kWaitMs);

        // Someone who comes later finds the configs, the availability and the
        // status retained, and no state: readings are not retained.
        TSubscriber late;
        QVERIFY(late.connect(broker.port(), {QStringLiteral("#")}));
        QTRY_VERIFY_WITH_TIMEOUT(!late.last(tempB).isEmpty(), kWaitMs);
        QTest::qWait(200);
        QCOMPARE(object(late.last(tempB)), object(watch.last(tempB)));
        QCOMPARE(late.last(QStringLiteral("fenwire/ttyUSB0_3/availability")), QByteArray("offline"));
        QCOMPARE(late.last(QStringLiteral("fenwire/bridge/test/availability")), QByteArray("online"));
        QCOMPARE(object(late.last(QStringLiteral("fenwire/bridge/test/status"))), status);
        for (const TMessage &m : late.messages()) {
            QVERIFY2(m.retained, qPrintable(m.topic));
            QVERIFY2(!m.topic.endsWith(QLatin1String("/state")), qPrintable(m.topic));
        }

        bridge.Stop(5000);
        QTRY_COMPARE_WITH_TIMEOUT(watch.last(QStringLiteral("fenwire/bridge/test/availability")), QByteArray("offline"),
                                  kWaitMs);
        QCOMPARE(watch.last(QStringLiteral("fenwire/Cold_room/availability")), QByteArray("offline"));
        const TMqttStats st = bridge.Statistics();
        QCOMPARE(st.published, qint64(4));
        QCOMPARE(st.delivered, qint64(4));
        QCOMPARE(st.dropped, qint64(0));
        QCOMPARE(st.unsent, qint64(0));
        QCOMPARE(log, QStringList{QStringLiteral("MQTT: connected to the broker 127.0.0.1:%1").arg(broker.port())});
    }

    // Home Assistant forgets what it discovered when it restarts unless it
    // finds it again; it says "online" on homeassistant/status.
    void homeAssistantRestart_data()
    {
        QTest::addColumn<bool>("discovery");
        QTest::newRow("discovery on") << true;
        QTest::newRow("--no-discovery") << false;
    }
    void homeAssistantRestart()
    {
        QFETCH(bool, discovery);
        TBroker broker;
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        TSubscriber watch;
        QVERIFY(watch.connect(broker.port(), {QStringLiteral("#")}));
        TMqttOptions o = optionsFor(broker.port());
        o.discovery = discovery;
        TMqttBridge bridge(o);
        QString error;
        QVERIFY(bridge.Start(&error));
        const TBridgeDevice a = transmitter(1);
        bridge.DeviceKnown(a);
        bridge.SetAvailable(a, true);
        const QString config = QStringLiteral("homeassistant/sensor/ttyUSB0_1/temperature/config");
        const QString available = QStringLiteral("fenwire/ttyUSB0_1/availability");
        QTRY_COMPARE_WITH_TIMEOUT(watch.last(available), QByteArray("online"), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(watch.on(config).size(), discovery ? 1 : 0, kWaitMs);

        watch.publish(QStringLiteral("homeassistant/status"), "online");
        if (discovery) {
            QTRY_COMPARE_WITH_TIMEOUT(watch.on(config).size(), 2, kWaitMs);
            QTRY_COMPARE_WITH_TIMEOUT(watch.on(available).size(), 2, kWaitMs);
            QCOMPARE(object(watch.on(config).at(1).payload), object(watch.on(config).at(0).payload));
        } else {
            QTest::qWait(1500);
            for (const TMessage &m : watch.messages())
                QVERIFY2(!m.topic.startsWith(QLatin1String("homeassistant/sensor/")), qPrintable(m.topic));
        }
        // An "offline" (Home Assistant stopping) asks for nothing.
        const int configs = int(watch.on(config).size());
        watch.publish(QStringLiteral("homeassistant/status"), "offline");
        QTest::qWait(500);
        QCOMPARE(int(watch.on(config).size()), configs);
    }

    // --forget: the device's retained configs and availability leave the
    // broker, whether the bridge is connected when told or not yet.
    void forget_data()
    {
        QTest::addColumn<bool>("beforeConnection");
        QTest::newRow("while connected") << false;
        QTest::newRow("before the connection") << true;
    }
    void forget()
    {
        QFETCH(bool, beforeConnection);
        TBroker broker;
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        TSubscriber watch;
        QVERIFY(watch.connect(broker.port(), {QStringLiteral("#")}));
        const TBridgeDevice a = transmitter(2);
        const QStringList topics{QStringLiteral("homeassistant/sensor/ttyUSB0_2/temperature/config"),
                                 QStringLiteral("homeassistant/sensor/ttyUSB0_2/humidity/config"),
                                 QStringLiteral("fenwire/ttyUSB0_2/availability")};
        QString error;
        {
            // An earlier run that knew the device.
            TMqttBridge earlier(optionsFor(broker.port(), QStringLiteral("earlier")));
            QVERIFY(earlier.Start(&error));
            earlier.DeviceKnown(a);
            earlier.SetAvailable(a, true);
            for (const QString &t : topics)
                QTRY_VERIFY_WITH_TIMEOUT(!watch.last(t).isEmpty(), kWaitMs);
            earlier.Stop(2000);
        }
        watch.clear();

        TMqttBridge bridge(optionsFor(broker.port()));
        if (beforeConnection)
            bridge.Forget(a);
        QVERIFY(bridge.Start(&error));
        if (!beforeConnection) {
            QTRY_VERIFY_WITH_TIMEOUT(bridge.Statistics().connected, kWaitMs);
            bridge.Forget(a);
        }
        for (const QString &t : topics) {
            QTRY_VERIFY_WITH_TIMEOUT(!watch.last(t).isNull(), kWaitMs);
            QCOMPARE(watch.last(t), QByteArray(""));
        }
        TSubscriber late;
        QVERIFY(late.connect(broker.port(), {QStringLiteral("#")}));
        QTRY_COMPARE_WITH_TIMEOUT(late.last(QStringLiteral("fenwire/bridge/test/availability")), QByteArray("online"),
                                  kWaitMs);
        QTest::qWait(200);
        for (const QString &t : topics)
            QVERIFY2(late.on(t).isEmpty(), qPrintable(t));
    }

    // A bridge killed outright (power, OOM killer, kill -9) is offline by its
    // Last Will; the devices' own topics still say online, which is why the
    // discovery config asks for both.
    void lastWillWhenKilled()
    {
        TBroker broker;
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        TSubscriber watch;
        QVERIFY(watch.connect(broker.port(), {QStringLiteral("#")}));
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start(QStringLiteral(PROBE_PATH), {QStringLiteral("--port"), QString::number(broker.port()),
                                                 QStringLiteral("--bridge-id"), QStringLiteral("killed")});
        QVERIFY(probe.waitForStarted());
        const QString bridgeTopic = QStringLiteral("fenwire/bridge/killed/availability");
        QTRY_COMPARE_WITH_TIMEOUT(watch.last(bridgeTopic), QByteArray("online"), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(watch.on(QStringLiteral("fenwire/ttyUSB0_2/state")).size() >= 2, kWaitMs);

        probe.kill();
        QVERIFY(probe.waitForFinished(5000));
        QTRY_COMPARE_WITH_TIMEOUT(watch.last(bridgeTopic), QByteArray("offline"), kWaitMs);
        QCOMPARE(watch.last(QStringLiteral("fenwire/ttyUSB0_1/availability")), QByteArray("online"));

        TSubscriber late;
        QVERIFY(late.connect(broker.port(), {bridgeTopic}));
        QTRY_COMPARE_WITH_TIMEOUT(late.on(bridgeTopic).size(), 1, kWaitMs);
        QCOMPARE(late.on(bridgeTopic).at(0).payload, QByteArray("offline"));
        QVERIFY(late.on(bridgeTopic).at(0).retained);
    }

    // The broker goes away while readings keep coming: every reading taken
    // meanwhile reaches the subscriber once it is back, in order, with the
    // time it was taken; a broker that dies with readings unacknowledged
    // loses none of them, since a reading leaves the queue only on PUBACK.
    void brokerOutage_data()
    {
        QTest::addColumn<bool>("killed");
        QTest::addColumn<int>("awayMs");
        QTest::newRow("stopped for 10 s") << false << 10000;
        QTest::newRow("killed with readings in flight") << true << 2000;
    }
    void brokerOutage()
    {
        QFETCH(bool, killed);
        QFETCH(int, awayMs);
        TBroker broker;
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        TSubscriber watch(QStringLiteral("outage-watch"), false);
        const QString state = QStringLiteral("fenwire/ttyUSB0_1/state");
        QVERIFY(keepSession(broker, watch, {state}));

        TMqttBridge bridge(optionsFor(broker.port()));
        QStringList log;
        bridge.SetLog([&log](const QString &l) { log << l; });
        QString error;
        QVERIFY(bridge.Start(&error));
        const TBridgeDevice dev = transmitter(1);
        bridge.DeviceKnown(dev);

        QList<QJsonObject> sent;
        QList<bool> away; // taken while the bridge knew the broker was away
        auto take = [&] {
            const TBridgeReading r = readingOf(dev, 0.1 * double(sent.size()), 40.0);
            away << !bridge.Statistics().connected;
            sent << BridgeJson(r);
            bridge.Publish(r);
        };
        QTimer tick;
        connect(&tick, &QTimer::timeout, this, take);
        tick.start(200);
        QTRY_VERIFY_WITH_TIMEOUT(bridge.Statistics().delivered >= 5, kWaitMs);

        if (killed) {
            broker.freeze();
            const qint64 before = bridge.Statistics().published;
            take();
            take();
            take();
            QTest::qWait(500);
            // Handed to the connection and written; nobody acknowledged them.
            QVERIFY(bridge.Statistics().delivered <= before);
            QVERIFY(bridge.Statistics().queued >= 3);
            broker.kill();
        } else {
            broker.stop();
        }
        QTest::qWait(awayMs);
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        QTRY_VERIFY_WITH_TIMEOUT(bridge.Statistics().connected, kBackMs);
        QTest::qWait(600); // a few taken after it is back
        tick.stop();
        QTRY_COMPARE_WITH_TIMEOUT(bridge.Statistics().delivered, qint64(sent.size()), kWaitMs);

        // Each reading by its temperature, which counts them (several may be
        // taken within one millisecond); its time must be its own.
        QHash<QString, int> index;
        auto key = [](const QJsonObject &o) { return QString::number(o.value(QStringLiteral("temperature")).toDouble(), 'g', 17); };
        for (int i = 0; i < sent.size(); ++i)
            index.insert(key(sent.at(i)), i);
        QVector<int> count(sent.size(), 0);
        QVector<int> firstSeen;
        auto tally = [&] {
            count.fill(0);
            firstSeen.clear();
            for (const TMessage &m : watch.on(state)) {
                const QJsonObject o = object(m.payload);
                const int i = index.value(key(o), -1);
                QVERIFY2(i >= 0, m.payload.constData());
                QCOMPARE(o, sent.at(i));
                if (count[i]++ == 0)
                    firstSeen << i;
            }
        };
        QTRY_VERIFY_WITH_TIMEOUT((tally(), firstSeen.size() == sent.size()), kWaitMs);
        for (int i = 0; i < sent.size(); ++i) {
            QCOMPARE(firstSeen.at(i), i);
            // A reading written just before the broker went may come twice
            // (QoS 1 is at least once); one taken while it was away, once.
            if (away.at(i))
                QCOMPARE(count.at(i), 1);
        }
        const int whileAway = int(away.count(true));
        QVERIFY2(whileAway >= awayMs / 200 - 2, qPrintable(QString::number(whileAway)));
        const TMqttStats st = bridge.Statistics();
        QCOMPARE(st.dropped, qint64(0));
        QCOMPARE(st.reconnects, qint64(1));
        QTRY_COMPARE_WITH_TIMEOUT(linesWith(log, QStringLiteral("is back after")), 1, kWaitMs);
        QCOMPARE(linesWith(log, QStringLiteral("MQTT: lost the broker")), 1);
        bridge.Stop(2000);
    }

    // A full queue gives up its oldest readings, counts them, and delivers
    // the rest in order once the broker is there.
    void fullQueueDropsTheOldest()
    {
        TBroker broker;
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        TSubscriber watch(QStringLiteral("queue-watch"), false);
        const QString state = QStringLiteral("fenwire/ttyUSB0_1/state");
        QVERIFY(keepSession(broker, watch, {state}));
        broker.stop();

        TMqttOptions o = optionsFor(broker.port());
        o.queueLimit = 10;
        TMqttBridge bridge(o);
        QStringList log;
        bridge.SetLog([&log](const QString &l) { log << l; });
        QString error;
        QVERIFY(bridge.Start(&error));
        QTRY_COMPARE_WITH_TIMEOUT(linesWith(log, QStringLiteral("MQTT: cannot reach the broker")), 1, kWaitMs);
        const TBridgeDevice dev = transmitter(1);
        for (int i = 0; i < 25; ++i)
            bridge.Publish(readingOf(dev, i, 50.0));
        TMqttStats st = bridge.Statistics();
        QCOMPARE(st.dropped, qint64(15));
        QCOMPARE(st.queued, qint64(10));
        QCOMPARE(st.maxQueued, qint64(10));

        QVERIFY2(broker.start(), qPrintable(broker.output()));
        QTRY_COMPARE_WITH_TIMEOUT(bridge.Statistics().delivered, qint64(10), kBackMs);
        QTRY_COMPARE_WITH_TIMEOUT(watch.on(state).size(), 10, kWaitMs);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(object(watch.on(state).at(i).payload).value(QStringLiteral("temperature")).toDouble(),
                     double(15 + i));
        QCOMPARE(linesWith(log, QStringLiteral("the queue is full (10 readings); dropping the oldest")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(linesWith(log, QStringLiteral("(15 dropped while it was away)")), 1, kWaitMs);
        bridge.Stop(2000);
    }

    // Credentials and TLS against listeners that want them; a refusal is
    // logged once, however often the bridge tries again.
    void credentialsAndTls_data()
    {
        QTest::addColumn<int>("listener");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("logged");
        const QString tls = QStringLiteral(FENWIRE_TLS_DIR);
        QTest::newRow("user and password") << 1 << false << QString() << "secret" << "connected to the broker";
        QTest::newRow("wrong password") << 1 << false << QString() << "guess" << "not authorised";
        QTest::newRow("TLS with the broker's CA") << 2 << true << tls + "/ca.crt" << "secret"
                                                  << "connected to the broker";
        QTest::newRow("TLS with another CA") << 2 << true << tls + "/other_ca.crt" << "secret"
                                             << "certificate verify failed";
        QTest::newRow("TLS with the system's CAs") << 2 << true << QString() << "secret"
                                                   << "certificate verify failed";
    }
    void credentialsAndTls()
    {
        QFETCH(int, listener);
        QFETCH(bool, tls);
        QFETCH(QString, caFile);
        QFETCH(QString, password);
        QFETCH(QString, logged);
        const QString certs = QStringLiteral(FENWIRE_TLS_DIR);
        TBroker broker(QStringLiteral("listener %port1 127.0.0.1\n"
                                      "allow_anonymous false\n"
                                      "password_file %dir/passwd\n"
                                      "listener %port2 127.0.0.1\n"
                                      "allow_anonymous false\n"
                                      "password_file %dir/passwd\n"
                                      "cafile %1/ca.crt\ncertfile %1/server.crt\nkeyfile %1/server.key\n")
                           .arg(certs),
                       2);
        QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                                   {QStringLiteral("-b"), QStringLiteral("-c"), broker.dir() + QStringLiteral("/passwd"),
                                    QStringLiteral("bridge"), QStringLiteral("secret")}),
                 0);
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        TSubscriber watch;
        QVERIFY(watch.connect(broker.port(), {QStringLiteral("fenwire/#")}));

        QTemporaryDir dir;
        const QString passwordFile = dir.filePath(QStringLiteral("password"));
        {
            QFile f(passwordFile);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(password.toUtf8() + "\n"); // as `echo secret > file` leaves it
        }
        TMqttOptions o = optionsFor(broker.port(listener));
        o.host = tls ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1");
        o.user = QStringLiteral("bridge");
        o.passwordFile = passwordFile;
        o.tls = tls;
        o.caFile = caFile;
        TMqttBridge bridge(o);
        QStringList log;
        bridge.SetLog([&log](const QString &l) { log << l; });
        QString error;
        QVERIFY2(bridge.Start(&error), qPrintable(error));
        const TBridgeDevice dev = transmitter(1);
        bridge.Publish(readingOf(dev, 21.5, 40.0));
        QTRY_COMPARE_WITH_TIMEOUT(linesWith(log, logged), 1, kWaitMs);
        if (logged.startsWith(QLatin1String("connected"))) {
            QTRY_COMPARE_WITH_TIMEOUT(watch.on(QStringLiteral("fenwire/ttyUSB0_1/state")).size(), 1, kWaitMs);
        } else {
            // Tried again at 1 s and 3 s: still refused, still one line.
            QTest::qWait(3500);
            QCOMPARE(log.size(), 1);
            QVERIFY(!bridge.Statistics().connected);
            QCOMPARE(bridge.Statistics().queued, qint64(1));
            QVERIFY(watch.on(QStringLiteral("fenwire/ttyUSB0_1/state")).isEmpty());
        }
        bridge.Stop(1000);
    }

    void badOptions_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("no host") << "host" << "" << "a broker host is needed";
        QTest::newRow("port 70000") << "port" << "70000" << "1 to 65535";
        QTest::newRow("prefix with +") << "prefix" << "fen+wire" << "is not a topic";
        QTest::newRow("prefix with #") << "prefix" << "fenwire/#" << "is not a topic";
        QTest::newRow("prefix ending in /") << "prefix" << "fenwire/" << "is not a topic";
        QTest::newRow("empty prefix") << "prefix" << "" << "is not a topic";
        QTest::newRow("discovery prefix with +") << "discoveryPrefix" << "home+" << "discovery prefix";
        QTest::newRow("password without a user") << "passwordWithoutUser" << "" << "needs a user name";
        QTest::newRow("no password file") << "passwordFile" << "/nonexistent/password" << "cannot read the password file";
        QTest::newRow("empty password file") << "passwordFile" << "EMPTY" << "is empty";
        QTest::newRow("no CA file") << "caFile" << "/nonexistent/ca.crt" << "no CA file";
        QTest::newRow("bridge id with a slash") << "bridgeId" << "a/b" << "bridge id";
        QTest::newRow("queue of 0") << "queueLimit" << "0" << "at least one reading";
    }
    void badOptions()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, message);
        QTemporaryDir dir;
        TMqttOptions o = optionsFor(FreeLoopbackPort());
        if (field == QLatin1String("host")) {
            o.host = value;
        } else if (field == QLatin1String("port")) {
            o.port = value.toInt();
        } else if (field == QLatin1String("prefix")) {
            o.prefix = value;
        } else if (field == QLatin1String("discoveryPrefix")) {
            o.discoveryPrefix = value;
        } else if (field == QLatin1String("passwordWithoutUser")) {
            o.passwordFile = QStringLiteral(FENWIRE_TLS_DIR "/ca.crt");
        } else if (field == QLatin1String("passwordFile")) {
            o.user = QStringLiteral("bridge");
            o.passwordFile = value;
            if (value == QLatin1String("EMPTY")) {
                o.passwordFile = dir.filePath(QStringLiteral("empty"));
                QFile f(o.passwordFile);
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write("\n");
            }
        } else if (field == QLatin1String("caFile")) {
            o.tls = true;
            o.caFile = value;
        } else if (field == QLatin1String("bridgeId")) {
            o.bridgeId = value;
        } else if (field == QLatin1String("queueLimit")) {
            o.queueLimit = value.toInt();
        }
        TMqttBridge bridge(o);
        QString error;
        QVERIFY(!bridge.Start(&error));
        QVERIFY2(error.contains(message), qPrintable(error));
    }

    void parseBroker_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("host") << "broker.local" << "broker.local" << 0;
        QTest::newRow("host:port") << "10.0.0.5:1884" << "10.0.0.5" << 1884;
        QTest::newRow("[IPv6]:port") << "[::1]:1885" << "::1" << 1885;
        QTest::newRow("bare IPv6") << "fe80::1" << "fe80::1" << 0;
        QTest::newRow("port 0") << "broker:0" << "" << -1;
        QTest::newRow("port text") << "broker:mqtt" << "" << -1;
        QTest::newRow("no host") << ":1883" << "" << -1;
        QTest::newRow("unclosed bracket") << "[::1:1883" << "" << -1;
    }
    void parseBroker()
    {
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(int, port);
        TMqttOptions o;
        QString error;
        const bool ok = TMqttOptions::ParseBroker(text, &o, &error);
        QCOMPARE(ok, port >= 0);
        if (ok) {
            QCOMPARE(o.host, host);
            QCOMPARE(o.port, port);
        } else {
            QVERIFY2(error.contains(text), qPrintable(error));
        }
    }
};

QTEST_GUILESS_MAIN(TstBridgeMqtt)
#include "tst_bridge_mqtt.moc"
