// rh_poll as the bridge between a simulated line and a real Mosquitto broker,
// the way a plant runs it: state messages per device, Home Assistant
// discovery, availability, the Last Will, and a broker that goes away.
#include "dn_thr_trans_rh.h"
#include "fenwire_sim.h"
#include "mqtt_broker.h"
#include "mqtt_subscriber.h"
#include "simdevice.h"

#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtTest/QtTest>

namespace {

constexpr int kWaitMs = 15000;

fwsim::Config at(int address, fwsim::DeviceKind kind, int temperature)
{
    fwsim::Config c = fixedReadings(temperature, 453, kind);
    c.address = address;
    return c;
}

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

// The bridge as a process of its own, ended by its own handle.
struct Bridge
{
    Bridge(const QString &port, int brokerPort, const QStringList &extra = {})
    {
        process.start(QStringLiteral(RH_POLL_PATH),
                      QStringList{QStringLiteral("--port"), port, QStringLiteral("--address"), QStringLiteral("1,2"),
                                  QStringLiteral("--device"), QStringLiteral("2=boiler-room"), QStringLiteral("--interval"),
                                  QStringLiteral("0.5"), QStringLiteral("--mqtt"),
                                  QStringLiteral("127.0.0.1:%1").arg(brokerPort), QStringLiteral("--mqtt-id"),
                                  QStringLiteral("line1"), QStringLiteral("--format"), QStringLiteral("jsonl")}
                          + extra);
    }
    ~Bridge()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    QProcess process;
};

} // namespace

class TstRhPollMqtt : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Readings of each device on its own state topic, as the JSON lines
    // object; discovery configs for what each device has; availability
    // online; the line statistics; and, once the bridge is killed, its Last
    // Will.
    void bridgeToTheBroker()
    {
        TBroker broker;
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        fwsim::Simulator sim(std::vector<fwsim::Config>{at(1, fwsim::DeviceKind::FWTH01, 215),
                                                        at(2, fwsim::DeviceKind::FWT01, -205)});
        QVERIFY(sim.start());
        TSubscriber watcher;
        QVERIFY(watcher.connect(broker.port(), {QStringLiteral("fenwire/#"), QStringLiteral("homeassistant/#")}));

        Bridge bridge(sim.devicePath(), broker.port());
        const QString id1 = QFileInfo(sim.devicePath()).fileName() + QStringLiteral("_1");
        QTRY_VERIFY_WITH_TIMEOUT(watcher.on(QStringLiteral("fenwire/%1/state").arg(id1)).size() >= 2, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(watcher.on(QStringLiteral("fenwire/boiler-room/state")).size() >= 2, kWaitMs);

        const QJsonObject s1 = json(watcher.last(QStringLiteral("fenwire/%1/state").arg(id1)));
        QCOMPARE(s1.value("temperature").toDouble(), 21.5);
        QCOMPARE(s1.value("humidity").toDouble(), 45.3);
        QCOMPARE(s1.value("model").toString(), QStringLiteral("FWTH-01"));
        QCOMPARE(s1.value("serial").toString(), QStringLiteral("12345"));
        const QJsonObject s2 = json(watcher.last(QStringLiteral("fenwire/boiler-room/state")));
        QCOMPARE(s2.value("name").toString(), QStringLiteral("boiler-room"));
        QCOMPARE(s2.value("temperature").toDouble(), -20.5);
        QVERIFY(s2.value("humidity").isNull());

        QCOMPARE(watcher.last(QStringLiteral("fenwire/%1/availability").arg(id1)), QByteArray("online"));
        QCOMPARE(watcher.last(QStringLiteral("fenwire/bridge/line1/availability")), QByteArray("online"));

        // Home Assistant: temperature for both, humidity only where there is one.
        const QJsonObject t1 = json(watcher.last(QStringLiteral("homeassistant/sensor/%1/temperature/config").arg(id1)));
        QCOMPARE(t1.value("state_topic").toString(), QStringLiteral("fenwire/%1/state").arg(id1));
        QCOMPARE(t1.value("device_class").toString(), QStringLiteral("temperature"));
        QCOMPARE(t1.value("state_class").toString(), QStringLiteral("measurement"));
        QCOMPARE(t1.value("unit_of_measurement").toString(), QStringLiteral("°C"));
        QVERIFY(t1.value("expire_after").toInt() >= 60);
        QCOMPARE(t1.value("device").toObject().value("model").toString(), QStringLiteral("FWTH-01"));
        QVERIFY(!json(watcher.last(QStringLiteral("homeassistant/sensor/%1/humidity/config").arg(id1))).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(
            watcher.last(QStringLiteral("homeassistant/sensor/boiler-room/humidity/config")).isEmpty(), kWaitMs);
        QVERIFY(!json(watcher.last(QStringLiteral("homeassistant/sensor/boiler-room/temperature/config"))).isEmpty());

        // Killed, the bridge leaves its Last Will.
        bridge.process.kill();
        QVERIFY(bridge.process.waitForFinished());
        QTRY_COMPARE_WITH_TIMEOUT(watcher.last(QStringLiteral("fenwire/bridge/line1/availability")),
                                  QByteArray("offline"), kWaitMs);
    }

    // A device that stops answering goes offline; SIGTERM ends the bridge
    // with every device and the bridge offline.
    void availabilityFollowsTheDevices()
    {
        TBroker broker;
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        fwsim::Simulator sim(std::vector<fwsim::Config>{at(1, fwsim::DeviceKind::FWTH01, 215),
                                                        at(2, fwsim::DeviceKind::FWT01, -205)});
        QVERIFY(sim.start());
        TSubscriber watcher;
        QVERIFY(watcher.connect(broker.port(), {QStringLiteral("fenwire/#")}));
        Bridge bridge(sim.devicePath(), broker.port());
        QTRY_COMPARE_WITH_TIMEOUT(watcher.last(QStringLiteral("fenwire/boiler-room/availability")),
                                  QByteArray("online"), kWaitMs);
        QVERIFY(sim.setFaultRate(2, fwsim::Fault::Silence, 1.0));
        QTRY_COMPARE_WITH_TIMEOUT(watcher.last(QStringLiteral("fenwire/boiler-room/availability")),
                                  QByteArray("offline"), kWaitMs);
        // The state comes through its queue, the availability at once.
        QTRY_COMPARE_WITH_TIMEOUT(json(watcher.last(QStringLiteral("fenwire/boiler-room/state"))).value("status").toInt(),
                                  300, kWaitMs);
        const QJsonObject failed = json(watcher.last(QStringLiteral("fenwire/boiler-room/state")));
        QCOMPARE(failed.value("cause").toString(), QStringLiteral("200 Device not responding"));

        ::kill(static_cast<pid_t>(bridge.process.processId()), SIGTERM);
        QVERIFY(bridge.process.waitForFinished(15000));
        QCOMPARE(bridge.process.exitStatus(), QProcess::NormalExit);
        const QString id1 = QFileInfo(sim.devicePath()).fileName() + QStringLiteral("_1");
        QTRY_COMPARE_WITH_TIMEOUT(watcher.last(QStringLiteral("fenwire/%1/availability").arg(id1)), QByteArray("offline"),
                                  kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.last(QStringLiteral("fenwire/bridge/line1/availability")),
                                  QByteArray("offline"), kWaitMs);
        const QString err = QString::fromUtf8(bridge.process.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("MQTT: ")), qPrintable(err));
    }

    // The broker stopped for 10 s and started again: the bridge keeps
    // polling, and every reading of those 10 s arrives once it is back, in
    // order, each with its own time.
    void brokerAwayAndBack()
    {
        TBroker broker;
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        fwsim::Simulator sim(std::vector<fwsim::Config>{at(1, fwsim::DeviceKind::FWTH01, 215)});
        QVERIFY(sim.start());
        Bridge bridge(sim.devicePath(), broker.port(), {QStringLiteral("--no-discovery")});
        {
            TSubscriber first;
            QVERIFY(first.connect(broker.port(), {QStringLiteral("fenwire/+/state")}));
            QTRY_VERIFY_WITH_TIMEOUT(!first.messages().isEmpty(), kWaitMs);
        }
        broker.stop();
        const int before = sim.count(SF_MEASURE);
        QTest::qWait(10000);
        const int polledMeanwhile = sim.count(SF_MEASURE) - before;
        QVERIFY2(polledMeanwhile >= 15, qPrintable(QString::number(polledMeanwhile)));

        TSubscriber watcher(QStringLiteral("watcher"), true);
        QVERIFY2(broker.start(), qPrintable(broker.output()));
        QVERIFY(watcher.connect(broker.port(), {QStringLiteral("fenwire/+/state")}));
        // Every reading the bridge took while the broker was away.
        QTRY_VERIFY_WITH_TIMEOUT(watcher.messages().size() >= polledMeanwhile, 90000);
        bridge.process.kill();
        bridge.process.waitForFinished();
        QList<QDateTime> times;
        for (const TMessage &m : watcher.messages())
            times << QDateTime::fromString(json(m.payload).value("time").toString(), Qt::ISODateWithMs);
        for (int i = 1; i < times.size(); ++i)
            QVERIFY2(times.at(i) > times.at(i - 1), "in order, each with its own time");
        // Taken while the broker was away, not when it came back.
        QVERIFY(times.first().secsTo(times.last()) >= 9);
    }
};

QTEST_GUILESS_MAIN(TstRhPollMqtt)
#include "tst_rh_poll_mqtt.moc"
