// rh_poll as a bridge: several transmitters on one simulated line, polled in
// turn, written for other programs, configured from a file.
#include "dn_thr_trans_rh.h"
#include "fenwire_sim.h"
#include "simdevice.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>
#include <csignal>

namespace {

struct Result
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

Result run(const QStringList &args, int timeoutMs = 30000)
{
    QProcess p;
    p.start(QStringLiteral(RH_POLL_PATH), args);
    Result r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

fwsim::Config at(int address, fwsim::DeviceKind kind, int temperature, int humidity = 453)
{
    fwsim::Config c = fixedReadings(temperature, humidity, kind);
    c.address = address;
    return c;
}

// Three devices: a transmitter with humidity, a temperature-only one, and a
// third one; the tests make it misbehave.
std::vector<fwsim::Config> threeDevices()
{
    return {at(1, fwsim::DeviceKind::FWTH01, 215), at(2, fwsim::DeviceKind::FWT01, -205),
            at(3, fwsim::DeviceKind::FWTH02, 230, 500)};
}

QList<QJsonObject> jsonLines(const QStringList &lines)
{
    QList<QJsonObject> objects;
    for (const QString &l : lines) {
        QJsonParseError e{};
        const QJsonDocument d = QJsonDocument::fromJson(l.toUtf8(), &e);
        if (e.error == QJsonParseError::NoError && d.isObject())
            objects << d.object();
    }
    return objects;
}

// When the requests of a sub-function to an address reached the line.
QList<int64_t> requestTimes(const fwsim::Simulator &sim, int address, uint8_t sub = SF_MEASURE)
{
    QList<int64_t> times;
    for (const fwsim::Request &r : sim.requests()) {
        if (r.frame.size() > 2 && uint8_t(r.frame.at(0)) == address && uint8_t(r.frame.at(2)) == sub)
            times << r.atMs;
    }
    return times;
}

} // namespace

class TstBridge : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each device answers with its own readings and is labelled by its
    // identification; JSON lines carry every field, null where a reading
    // has no value.
    void jsonLinesForEveryDevice()
    {
        fwsim::Simulator sim(threeDevices());
        QVERIFY(sim.start());
        const Result r = run({QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--address"),
                              QStringLiteral("1-3"), QStringLiteral("--device"), QStringLiteral("2=boiler-room"),
                              QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--interval"),
                              QStringLiteral("0.3"), QStringLiteral("--format"), QStringLiteral("jsonl")});
        QCOMPARE(r.exitCode, 0);
        const QList<QJsonObject> objects = jsonLines(r.out);
        QCOMPARE(objects.size(), 6);
        QCOMPARE(r.out.size(), 6); // nothing but readings on standard output
        const QStringList keys{"address", "cause", "humidity", "model", "name", "port",
                               "serial", "status", "temperature", "time", "unit"};
        for (const QJsonObject &o : objects) {
            QCOMPARE(o.keys(), keys);
            QCOMPARE(o.value("port").toString(), sim.devicePath());
            QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"))
                        .match(o.value("time").toString())
                        .hasMatch());
        }
        // In turn, device by device.
        QCOMPARE(objects.at(0).value("address").toInt(), 1);
        QCOMPARE(objects.at(1).value("address").toInt(), 2);
        QCOMPARE(objects.at(2).value("address").toInt(), 3);
        QCOMPARE(objects.at(0).value("temperature").toDouble(), 21.5);
        QCOMPARE(objects.at(0).value("humidity").toDouble(), 45.3);
        QCOMPARE(objects.at(0).value("model").toString(), QStringLiteral("FWTH-01"));
        QCOMPARE(objects.at(0).value("serial").toString(), QStringLiteral("12345"));
        QCOMPARE(objects.at(1).value("name").toString(), QStringLiteral("boiler-room"));
        QCOMPARE(objects.at(1).value("temperature").toDouble(), -20.5);
        QVERIFY(objects.at(1).value("humidity").isNull());
        QCOMPARE(objects.at(1).value("model").toString(), QStringLiteral("FWT-01"));
        QCOMPARE(objects.at(2).value("model").toString(), QStringLiteral("FWTH-02"));
        QCOMPARE(objects.at(2).value("humidity").toDouble(), 50.0);
        for (const QJsonObject &o : objects) {
            QCOMPARE(o.value("status").toInt(), 0);
            QVERIFY(o.value("cause").isNull());
        }
        // Identified once each, at its own address; never on every poll.
        for (int address : {1, 2, 3})
            QCOMPARE(requestTimes(sim, address, SF_IDENTIFY).size(), 1);
        // Statistics by device and for the line.
        QVERIFY2(r.err.contains(QStringLiteral("requests 9, good replies 9")), qPrintable(r.err));
        QVERIFY2(r.err.contains(QStringLiteral("address 2 (boiler-room): requests 3, good replies 3")),
                 qPrintable(r.err));
    }

    // A silent device costs only its own attempts: the others keep their
    // cadence, it is labelled by port and address, and its going silent is
    // logged once.
    void silentDeviceCostsOnlyItsOwnAttempts()
    {
        fwsim::Simulator sim(threeDevices());
        QVERIFY(sim.start());
        QVERIFY(sim.setFaultRate(2, fwsim::Fault::Silence, 1.0));
        // Room for the silent device's first turn: its identification's four
        // attempts and its measurement's four.
        constexpr int kIntervalMs = 3000;
        const Result r = run({QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--address"),
                              QStringLiteral("1,2,3"), QStringLiteral("--count"), QStringLiteral("3"),
                              QStringLiteral("--interval"), QStringLiteral("3"), QStringLiteral("--format"),
                              QStringLiteral("jsonl")});
        QCOMPARE(r.exitCode, 0);
        const QList<QJsonObject> objects = jsonLines(r.out);
        QCOMPARE(objects.size(), 9);
        for (int i = 0; i < objects.size(); ++i) {
            const QJsonObject &o = objects.at(i);
            if (o.value("address").toInt() == 2) {
                QCOMPARE(o.value("status").toInt(), 300);
                QCOMPARE(o.value("cause").toString(), QStringLiteral("200 Device not responding"));
                QVERIFY(o.value("temperature").isNull());
                QVERIFY(o.value("model").isNull());
            } else {
                QCOMPARE(o.value("status").toInt(), 0);
            }
        }
        const QList<int64_t> first = requestTimes(sim, 1);
        QCOMPARE(first.size(), 3);
        for (int i = 1; i < first.size(); ++i) {
            const int64_t period = first.at(i) - first.at(i - 1);
            QVERIFY2(period > kIntervalMs - 200 && period < kIntervalMs + 500, qPrintable(QString::number(period)));
        }
        // Four attempts per reading, one identification's four at the start.
        QCOMPARE(requestTimes(sim, 2).size(), 3 * 4);
        QCOMPARE(r.err.count(QStringLiteral("address 2 stopped answering")), 1);
        QVERIFY2(r.err.contains(QStringLiteral("cycles 3, of which 0 did not fit in the interval")), qPrintable(r.err));
    }

    // A cycle longer than the interval: the next one starts at once, and the
    // summary counts how often.
    void cyclesThatDoNotFitAreCounted()
    {
        fwsim::Simulator sim(threeDevices());
        QVERIFY(sim.start());
        QVERIFY(sim.setFaultRate(3, fwsim::Fault::Silence, 1.0));
        const Result r = run({QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--address"),
                              QStringLiteral("1-3"), QStringLiteral("--count"), QStringLiteral("3"),
                              QStringLiteral("--interval"), QStringLiteral("0.2")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.contains(QStringLiteral("cycles 3, of which 2 did not fit in the interval")), qPrintable(r.err));
    }

    // After every reply the line stays quiet for the gap before the next
    // request goes out.
    void gapAfterEveryReply()
    {
        fwsim::Simulator sim(threeDevices());
        QVERIFY(sim.start());
        constexpr int kGapMs = 150;
        const Result r = run({QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--address"),
                              QStringLiteral("1-3"), QStringLiteral("--count"), QStringLiteral("1"),
                              QStringLiteral("--gap"), QString::number(kGapMs), QStringLiteral("--format"),
                              QStringLiteral("jsonl")});
        QCOMPARE(r.exitCode, 0);
        const QList<int64_t> m1 = requestTimes(sim, 1);
        const QList<int64_t> i2 = requestTimes(sim, 2, SF_IDENTIFY);
        const QList<int64_t> m2 = requestTimes(sim, 2);
        QCOMPARE(m1.size(), 1);
        QCOMPARE(i2.size(), 1);
        QCOMPARE(m2.size(), 1);
        // Device 1's reading, the gap, device 2's identification, its
        // measurement at once (the same turn), the gap.
        QVERIFY2(i2.first() - m1.first() >= kGapMs, qPrintable(QString::number(i2.first() - m1.first())));
        QVERIFY2(m2.first() - i2.first() < kGapMs, qPrintable(QString::number(m2.first() - i2.first())));
    }

    // InfluxDB line protocol for Telegraf: tags, fields, nanoseconds; no
    // humidity for a device without it; a failed reading as its status only.
    void influxLines()
    {
        std::vector<fwsim::Config> devices = threeDevices();
        fwsim::Simulator sim(devices);
        QVERIFY(sim.start());
        QVERIFY(sim.setFaultRate(3, fwsim::Fault::Silence, 1.0));
        const Result r = run({QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--address"),
                              QStringLiteral("1-3"), QStringLiteral("--device"), QStringLiteral("1=boiler room"),
                              QStringLiteral("--count"), QStringLiteral("1"), QStringLiteral("--format"),
                              QStringLiteral("influx")});
        QCOMPARE(r.out.size(), 3);
        const QString port = sim.devicePath();
        QVERIFY2(QRegularExpression(QStringLiteral("^fenwire,port=%1,address=1,name=boiler\\\\ room,serial=12345 "
                                                   "temperature=21\\.5,humidity=45\\.3 \\d{19}$")
                                        .arg(QRegularExpression::escape(port)))
                     .match(r.out.at(0))
                     .hasMatch(),
                 qPrintable(r.out.at(0)));
        QVERIFY2(QRegularExpression(QStringLiteral("^fenwire,port=%1,address=2 temperature=-20\\.5 \\d{19}$")
                                        .arg(QRegularExpression::escape(port)))
                     .match(r.out.at(1))
                     .hasMatch(),
                 qPrintable(r.out.at(1)));
        QVERIFY2(QRegularExpression(QStringLiteral("^fenwire,port=%1,address=3 status=300i \\d{19}$")
                                        .arg(QRegularExpression::escape(port)))
                     .match(r.out.at(2))
                     .hasMatch(),
                 qPrintable(r.out.at(2)));
        // Time stamps in nanoseconds of the reading's own time.
        const qint64 ns = r.out.at(0).section(QLatin1Char(' '), -1).toLongLong();
        QVERIFY(qAbs(ns / 1000000 - QDateTime::currentMSecsSinceEpoch()) < 60000);
    }

    // CSV as before, with the device columns after.
    void csvWithDeviceColumns()
    {
        fwsim::Simulator sim(threeDevices());
        QVERIFY(sim.start());
        const Result r = run({QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--address"),
                              QStringLiteral("1,2"), QStringLiteral("--device"), QStringLiteral("2=boiler"),
                              QStringLiteral("--count"), QStringLiteral("1"), QStringLiteral("--csv")});
        QCOMPARE(r.out.size(), 3);
        QCOMPARE(r.out.at(0), QStringLiteral("time,temperature,humidity,unit,status_byte,mode_byte,status,text,cause,"
                                             "port,address,name,model,serial"));
        QVERIFY2(r.out.at(2).endsWith(QStringLiteral(",-20.5,,C,0x00,0x00,0,\"Connected\",\"\",\"%1\",2,\"boiler\","
                                                     "\"FWT-01\",\"\"")
                                          .arg(sim.devicePath())),
                 qPrintable(r.out.at(2)));
    }

    // Everything the options say, a configuration file says too; an option
    // given on the command line wins.
    void configurationFile()
    {
        fwsim::Simulator sim(threeDevices());
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("line.conf"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[line]\nport=%1\ninterval=0.3\ncount=5\n\n[devices]\naddress=1,3\n\n"
                               "[device.3]\nname=roof\n\n[output]\nformat=jsonl\n")
                    .arg(sim.devicePath())
                    .toUtf8());
        f.close();
        const Result r = run({QStringLiteral("--config"), file, QStringLiteral("--count"), QStringLiteral("1")});
        QCOMPARE(r.exitCode, 0);
        const QList<QJsonObject> objects = jsonLines(r.out);
        QCOMPARE(objects.size(), 2);
        QCOMPARE(objects.at(0).value("address").toInt(), 1);
        QCOMPARE(objects.at(1).value("address").toInt(), 3);
        QCOMPARE(objects.at(1).value("name").toString(), QStringLiteral("roof"));
    }

    void badLinesAndFiles_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("config"); // a file's text, or empty
        QTest::addColumn<QString>("message");
        QTest::newRow("range backwards") << QStringList{"--address", "7-5"} << "" << "backwards";
        QTest::newRow("range past 250") << QStringList{"--address", "249-251"} << "" << "--address";
        QTest::newRow("not an address") << QStringList{"--address", "1,x"} << "" << "--address";
        QTest::newRow("empty device name") << QStringList{"--device", "3="} << "" << "empty name";
        QTest::newRow("device route without baud") << QStringList{"--device", "3=a,fwdl=100"} << ""
                                                   << "ADDRESS:BAUD";
        QTest::newRow("unknown format") << QStringList{"--format", "xml"} << "" << "--format";
        QTest::newRow("gap too long") << QStringList{"--gap", "60000"} << "" << "--gap";
        QTest::newRow("missing file") << QStringList{"--config", "/nonexistent/line.conf"} << "" << "cannot read";
        QTest::newRow("unknown key") << QStringList{} << "[line]\nspeed=9600\n" << "unknown key 'line/speed'";
        QTest::newRow("bad value in the file") << QStringList{} << "[line]\ninterval=soon\n" << "--interval";
        QTest::newRow("interval not a number") << QStringList{} << "[line]\ninterval=nan\n" << "--interval";
    }
    void badLinesAndFiles()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, config);
        QFETCH(QString, message);
        QTemporaryDir dir;
        if (!config.isEmpty()) {
            const QString file = dir.filePath(QStringLiteral("bad.conf"));
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(config.toUtf8());
            f.close();
            args << QStringLiteral("--config") << file;
        }
        const Result r = run(args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
    }

    // The adapter pulled out and put back while the bridge runs: the port's
    // failure is logged once when it starts and once when it ends, not for
    // every device and every reading, and polling goes on by itself.
    void adapterUnpluggedAndBack()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("ttyFW"));
        fwsim::Simulator sim(threeDevices());
        QVERIFY(sim.start());
        QVERIFY(sim.setLink(link));
        QProcess p;
        p.start(QStringLiteral(RH_POLL_PATH), {QStringLiteral("--port"), link, QStringLiteral("--address"),
                                               QStringLiteral("1-3"), QStringLiteral("--interval"),
                                               QStringLiteral("0.3")});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(SF_MEASURE) >= 3, 10000);
        // The link goes with the device: the freed pseudo-terminal's number is
        // soon another test's, and the link would lead there.
        sim.unplug();
        QFile::remove(link);
        QTest::qWait(1500);
        QVERIFY(sim.replug());
        sim.clearRequests();
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(SF_MEASURE) >= 6, 15000);
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        const QStringList lines = err.split(QLatin1Char('\n'));
        const QStringList events = lines.filter(QStringLiteral(" rh_poll: "));
        // The loss, possibly its follow-up (gone, then no such device while
        // it is out), and the way back; nothing per device.
        QVERIFY2(events.size() >= 2 && events.size() <= 3, qPrintable(events.join(QLatin1Char('\n'))));
        QVERIFY2(events.last().contains(QStringLiteral("works again after")), qPrintable(events.join(QLatin1Char('\n'))));
        QVERIFY2(lines.filter(QStringLiteral("stopped answering")).isEmpty(), qPrintable(err));
    }

    // A service manager's SIGTERM ends the bridge like Ctrl+C: the reading
    // under way is finished and the summary is written.
    void terminatedCleanly()
    {
        fwsim::Simulator sim(threeDevices());
        QVERIFY(sim.start());
        QProcess p;
        p.start(QStringLiteral(RH_POLL_PATH), {QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--address"),
                                               QStringLiteral("1-3"), QStringLiteral("--format"),
                                               QStringLiteral("jsonl")});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(SF_MEASURE) >= 3, 10000);
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("good replies")), qPrintable(err));
        QVERIFY(!jsonLines(QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'))).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstBridge)
#include "tst_bridge.moc"
