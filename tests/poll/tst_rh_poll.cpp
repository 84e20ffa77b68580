// rh_poll as a script uses it: a real process against the simulator.
#include "fenwire_sim.h"

#include <QtCore/QProcess>
#include <QtTest/QtTest>
#include <csignal>

namespace {

struct Result
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

Result run(const QStringList &args, int timeoutMs = 20000)
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

} // namespace

class TstRhPoll : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void csvReadings()
    {
        fwsim::Config c;
        c.curve = false;
        c.temperature = -205;
        c.humidity = 453;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        const Result r = run({QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--count"),
                              QStringLiteral("3"), QStringLiteral("--interval"), QStringLiteral("0.2"),
                              QStringLiteral("--csv")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.size(), 4);
        QCOMPARE(r.out.at(0), QStringLiteral("time,temperature,humidity,unit,status_byte,mode_byte,status,text"));
        const QStringList fields = r.out.at(1).split(QLatin1Char(','));
        QCOMPARE(fields.mid(1), (QStringList{"-20.5", "45.3", "C", "0x00", "0x00", "0", "\"Connected\""}));
        QVERIFY(QDateTime::fromString(fields.at(0), Qt::ISODateWithMs).isValid());
        QVERIFY2(r.err.contains(QStringLiteral("requests 3, good replies 3, time-outs 0")), qPrintable(r.err));
        QCOMPARE(sim.count(0), 3);
    }

    // A temperature-only device leaves the humidity column empty; a silent
    // line is a reading with its status, and the trace shows the line.
    void failedReadingsAndTrace()
    {
        fwsim::Config c;
        c.kind = fwsim::DeviceKind::FWT01;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        sim.setFault(fwsim::Fault::Silence, 4);
        const Result r = run({QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--count"),
                              QStringLiteral("2"), QStringLiteral("--interval"), QStringLiteral("0.2"),
                              QStringLiteral("--csv"), QStringLiteral("--trace")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.size(), 3);
        QVERIFY2(r.out.at(1).endsWith(QStringLiteral(",,,C,0x00,0x00,300,\"Selected serial port not exist\"")),
                 qPrintable(r.out.at(1)));
        QVERIFY2(r.out.at(2).contains(QStringLiteral(",,C,0x00,0x00,0,\"Connected\"")), qPrintable(r.out.at(2)));
        QVERIFY(r.err.contains(QStringLiteral("-> 01 46 00 00 07 4D 4A  measurement, length 7")));
        QVERIFY(r.err.contains(QStringLiteral("time-out: no header")));
        QVERIFY(r.err.contains(QStringLiteral("CRC ok")));
        QVERIFY2(r.err.contains(QStringLiteral("requests 5, good replies 1, time-outs 4")), qPrintable(r.err));
    }

    void missingPortIsAReading()
    {
        const Result r = run({QStringLiteral("--port"), QStringLiteral("/dev/fenwire-no-such-port"),
                              QStringLiteral("--count"), QStringLiteral("1")});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.out.size(), 1);
        QVERIFY(r.out.at(0).endsWith(QStringLiteral("300 Selected serial port not exist")));
    }

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("COM9") << QStringList{"--port", "COM9"} << "from 1 to 8";
        QTest::newRow("address 0") << QStringList{"--address", "0"} << "--address";
        QTest::newRow("baud text") << QStringList{"--baud", "fast"} << "--baud";
        QTest::newRow("parity X") << QStringList{"--parity", "X"} << "--parity";
        QTest::newRow("fwdl without baud") << QStringList{"--fwdl", "100"} << "ADDRESS:BAUD";
        QTest::newRow("interval 0") << QStringList{"--interval", "0"} << "--interval";
        QTest::newRow("unknown option") << QStringList{"--colour"} << "colour";
        QTest::newRow("stray argument") << QStringList{"now"} << "now";
    }
    void badArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const Result r = run(args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
    }

    // Ctrl+C ends the run after the reading under way, with the summary.
    void interrupted()
    {
        fwsim::Simulator sim;
        QVERIFY(sim.start());
        QProcess p;
        p.start(QStringLiteral(RH_POLL_PATH), {QStringLiteral("--port"), sim.devicePath(),
                                               QStringLiteral("--interval"), QStringLiteral("0.2")});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(0) >= 2, 10000);
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains(QStringLiteral("round trip median")));
    }
};

QTEST_GUILESS_MAIN(TstRhPoll)
#include "tst_rh_poll.moc"
