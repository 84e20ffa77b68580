// rh_poll as a script uses it: a real process against the simulator.
#include "dane.h"
#include "dn_thr_trans_rh.h"
#include "fenwire_sim.h"

#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtCore/QRegularExpression>
#include <QtSerialPort/QSerialPort>
#include <QtSerialPort/QSerialPortInfo>
#include <QtTest/QtTest>
#include <csignal>

namespace {

struct Result
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

// Any command line, the program first.
Result runCommand(const QStringList &command, int timeoutMs = 20000, const QString &workingDirectory = QString())
{
    QProcess p;
    if (!workingDirectory.isEmpty())
        p.setWorkingDirectory(workingDirectory);
    p.start(command.first(), command.mid(1));
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

Result run(const QStringList &args, int timeoutMs = 20000, const QString &workingDirectory = QString())
{
    return runCommand(QStringList{QStringLiteral(RH_POLL_PATH)} + args, timeoutMs, workingDirectory);
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
        QCOMPARE(r.out.at(0), QStringLiteral("time,temperature,humidity,unit,status_byte,mode_byte,status,text,cause,"
                                             "port,address,name,model,serial"));
        const QStringList fields = r.out.at(1).split(QLatin1Char(','));
        QCOMPARE(fields.mid(1), (QStringList{"-20.5", "45.3", "C", "0x00", "0x00", "0", "\"Connected\"", "\"\"",
                                             "\"" + sim.devicePath() + "\"", "1", "\"\"", "\"FWTH-01\"",
                                             "\"12345\""}));
        QVERIFY(QDateTime::fromString(fields.at(0), Qt::ISODateWithMs).isValid());
        // The device columns come from one identification at the start.
        QVERIFY2(r.err.contains(QStringLiteral("requests 4, good replies 4, time-outs 0")), qPrintable(r.err));
        QCOMPARE(sim.count(SF_MEASURE), 3);
        QCOMPARE(sim.count(SF_IDENTIFY), 1);
    }

    // A temperature-only device leaves the humidity column empty; a silent
    // line is a reading with its status, and the trace shows the line.
    void failedReadingsAndTrace()
    {
        fwsim::Config c;
        c.kind = fwsim::DeviceKind::FWT01;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        // The identification's four attempts, then the first reading's.
        sim.setFault(fwsim::Fault::Silence, 8);
        const Result r = run({QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--count"),
                              QStringLiteral("2"), QStringLiteral("--interval"), QStringLiteral("0.2"),
                              QStringLiteral("--csv"), QStringLiteral("--trace")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.size(), 3);
        // The status and text the monitor would show, and why.
        QVERIFY2(r.out.at(1).contains(QStringLiteral(
                     ",,,C,0x00,0x00,300,\"Selected serial port not exist\",\"200 Device not responding\",")),
                 qPrintable(r.out.at(1)));
        QVERIFY2(r.out.at(2).contains(QStringLiteral(",,C,0x00,0x00,0,\"Connected\",\"\"")), qPrintable(r.out.at(2)));
        QVERIFY2(r.err.contains(QStringLiteral("failed 1 x: 300 Device not responding (200)")), qPrintable(r.err));
        QVERIFY(r.err.contains(QStringLiteral("-> 01 46 00 00 07 4D 4A  measurement, length 7")));
        QVERIFY(r.err.contains(QStringLiteral("time-out: no header")));
        QVERIFY(r.err.contains(QStringLiteral("CRC ok")));
        QVERIFY2(r.err.contains(QStringLiteral("requests 9, good replies 1, time-outs 8")), qPrintable(r.err));
    }

    void missingPortIsAReading()
    {
        const Result r = run({QStringLiteral("--port"), QStringLiteral("/dev/fenwire-no-such-port"),
                              QStringLiteral("--count"), QStringLiteral("1")});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.out.size(), 1);
        QVERIFY2(r.out.at(0).endsWith(QStringLiteral("300 no such device /dev/fenwire-no-such-port (212)")),
                 qPrintable(r.out.at(0)));
    }

    // A failed reading says why, whatever the status the monitor shows: in
    // the reading line, the trace and the summary; a port that refused also
    // says what to do, in the trace and the summary. %1 is the device, %2
    // the test's own PID, %3 the device's group.
    void failuresKeepTheirCause_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reading");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QStringList>("advice");
        QTest::newRow("silent device") << "silence" << "300 Device not responding (200)" << "time-out: no header"
                                       << QStringList();
        QTest::newRow("garbled reply") << "crc" << "300 Garbled reply (bad CRC or length) (2)" << "CRC BAD"
                                       << QStringList();
        QTest::newRow("another request's reply") << "echo" << "300 Reply to another request (wrong echo)"
                                                 << "WRONG ECHO" << QStringList();
        QTest::newRow("port held by another program")
            << "held" << "300 %1 is in use by tst_rh_poll (PID %2) (1)"
            << "port failure: 1 %1 is in use by tst_rh_poll (PID %2)"
            << QStringList{"tst_rh_poll (PID %2) holds %1", "/LCK..", "kill %2"};
        QTest::newRow("port the user may not open: only its owner may")
            << "permission" << "300 permission denied on %1 (only root may use it) (1)"
            << "port failure: 1 permission denied on %1 (only root may use it)"
            << QStringList{"only its owner root may use it, not its group %3", "sudo adduser nobody %3",
                           "log in again"};
        QTest::newRow("port the user may not open: its group may")
            << "group" << "300 permission denied on %1 (join group %3) (1)"
            << "port failure: 1 permission denied on %1 (join group %3)"
            << QStringList{"belongs to group %3, which you are not in", "sudo adduser nobody %3",
                           "log out and in again"};
        QTest::newRow("no such device")
            << "missing" << "300 no such device %1 (212)" << "port failure: 212 no such device %1"
            << QStringList{"There is no device %1.", "adapter"};
    }
    void failuresKeepTheirCause()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reading);
        QFETCH(QString, trace);
        QFETCH(QStringList, advice);
        fwsim::Simulator sim;
        QVERIFY(sim.start());
        const QString device = fault == QLatin1String("missing") ? QStringLiteral("/dev/fenwire-no-such-port")
                                                                 : sim.devicePath();
        QStringList command{QStringLiteral(RH_POLL_PATH), QStringLiteral("--port"), device, QStringLiteral("--count"),
                            QStringLiteral("1"), QStringLiteral("--trace")};
        QSerialPort holder(device);
        if (fault == QLatin1String("held")) {
            // Another program on the line: it holds the port and its lock.
            QVERIFY(holder.open(QIODevice::ReadWrite));
        } else if (fault == QLatin1String("permission") || fault == QLatin1String("group")) {
            // A user outside the device's group; as root, the test plays one.
            QFileDevice::Permissions mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
            if (fault == QLatin1String("group"))
                mode |= QFileDevice::ReadGroup | QFileDevice::WriteGroup;
            QVERIFY(QFile::setPermissions(device, mode));
            command = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                  QStringLiteral("--clear-groups")} + command;
            command.prepend(QStringLiteral("setpriv"));
        } else if (fault == QLatin1String("missing")) {
            // Nothing to do: the device is not there.
        } else {
            fwsim::Fault f = fwsim::Fault::None;
            f = fault == QLatin1String("silence") ? fwsim::Fault::Silence
                : fault == QLatin1String("crc")   ? fwsim::Fault::BadCrc
                                                  : fwsim::Fault::WrongEcho;
            sim.setFault(f, 4);
        }
        const Result r = runCommand(command);
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const QString group = QFileInfo(device).group();
        for (QString *text : {&reading, &trace})
            text->replace(QStringLiteral("%1"), device).replace(QStringLiteral("%2"), pid).replace(QStringLiteral("%3"), group);
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.out.size(), 1);
        QVERIFY2(r.out.at(0).endsWith(reading), qPrintable(r.out.at(0)));
        QVERIFY2(r.err.contains(trace), qPrintable(r.err));
        QVERIFY2(r.err.contains(QStringLiteral("failed 1 x: ") + reading), qPrintable(r.err));
        // What to do, in the trace below the failure and in the summary.
        for (QString words : advice) {
            words.replace(QStringLiteral("%1"), device).replace(QStringLiteral("%2"), pid).replace(QStringLiteral("%3"), group);
            const qsizetype inTrace = r.err.indexOf(trace);
            const qsizetype inSummary = r.err.indexOf(QStringLiteral("what to do: "));
            QVERIFY2(r.err.indexOf(words, inTrace) > inTrace, qPrintable(words + '\n' + r.err));
            QVERIFY2(inSummary > 0 && r.err.indexOf(words, inSummary) > inSummary, qPrintable(words + '\n' + r.err));
        }
    }

    // An adapter pulled out while rh_poll reads it: every failed reading
    // says it went away, the first as the later ones, and the readings come
    // back with it.
    void unpluggedAdapterIsGone()
    {
        fwsim::Simulator sim;
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("ttyFW"));
        QVERIFY(sim.setLink(link));
        QProcess p;
        p.start(QStringLiteral(RH_POLL_PATH), {QStringLiteral("--port"), link, QStringLiteral("--count"),
                                               QStringLiteral("7"), QStringLiteral("--interval"),
                                               QStringLiteral("0.3")});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(SF_MEASURE) >= 1, 10000);
        QTest::qWait(100); // the reply on its way, well before the next reading
        // The link goes with the device: the freed pseudo-terminal's number is
        // soon another test's, and the link would lead there.
        sim.unplug();
        QFile::remove(link);
        QTest::qWait(1000);
        QVERIFY(sim.replug());
        QVERIFY(p.waitForFinished(20000));
        const QStringList lines =
            QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(lines.size(), 7);
        int failed = 0;
        for (const QString &line : lines) {
            if (line.contains(QStringLiteral(" 0 Connected")))
                continue;
            ++failed;
            QVERIFY2(line.contains(QStringLiteral("300 %1 disappeared while in use (").arg(link)),
                     qPrintable(lines.join('\n')));
        }
        QVERIFY2(failed >= 2, qPrintable(lines.join('\n')));
        QVERIFY2(lines.first().contains(QStringLiteral(" 0 Connected")), qPrintable(lines.join('\n')));
        QVERIFY2(lines.last().contains(QStringLiteral(" 0 Connected")), qPrintable(lines.join('\n')));
        QVERIFY2(err.contains(QStringLiteral("what to do: ") + link + QStringLiteral(" disappeared while in use: the "
                                                                                   "adapter was unplugged")),
                 qPrintable(err));
    }

    // The adapters present and the COM map, as the settings window offers
    // them (a pseudo-terminal is no adapter: this machine's own list, and
    // a map that points at one).
    void portsListsAdaptersAndMap()
    {
        fwsim::Simulator sim;
        QVERIFY(sim.start());
        QTemporaryDir dir;
        {
            QFile ini(dir.filePath(QStringLiteral("fen_mon.ini")));
            QVERIFY(ini.open(QIODevice::WriteOnly));
            ini.write("[main]\nFlags=0\n[ports]\nCOM2=" + sim.devicePath().toUtf8() + "\nCOM5=/dev/fenwire-gone\n");
        }
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral(RH_POLL_PATH), {QStringLiteral("ports")});
        QVERIFY(p.waitForFinished(10000));
        const QStringList lines =
            QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
        QCOMPARE(p.exitCode(), present.isEmpty() ? 1 : 0);
        for (const QSerialPortInfo &info : present) {
            QVERIFY2(lines.filter(QRegularExpression(QStringLiteral("^%1  ").arg(QRegularExpression::escape(
                                                         info.systemLocation()))))
                             .size() == 1,
                     qPrintable(lines.join('\n')));
            if (!info.serialNumber().isEmpty())
                QVERIFY(lines.contains(QStringLiteral("  serial        ") + info.serialNumber()));
        }
        if (present.isEmpty())
            QCOMPARE(lines.first(), QStringLiteral("no serial adapter present"));
        QVERIFY2(lines.contains(QStringLiteral("COM map (fen_mon.ini [ports]):")), qPrintable(lines.join('\n')));
        QVERIFY2(lines.contains(QStringLiteral("COM2  %1  present, not a serial adapter").arg(sim.devicePath())),
                 qPrintable(lines.join('\n')));
        QVERIFY2(lines.contains(QStringLiteral("COM5  /dev/fenwire-gone  not present")), qPrintable(lines.join('\n')));
    }

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("COM9") << QStringList{"--port", "COM9"} << "from 1 to 8";
        QTest::newRow("address 0") << QStringList{"--address", "0"} << "--address";
        QTest::newRow("address 251") << QStringList{"--address", "251"} << "--address";
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

    // The service commands against each device kind the way a script uses them.
    void identifyAndParams()
    {
        fwsim::Config c;
        c.address = 5;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        Result r = run({QStringLiteral("identify"), QStringLiteral("--port"), sim.devicePath()});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains(QStringLiteral("device          FWTH-01 (type 1, variant 0)")));
        QVERIFY(r.out.contains(QStringLiteral("serial          12345")));
        QVERIFY(r.out.contains(QStringLiteral("produced        2014-03-09")));

        // An FWTH-01 needs its service mode first; the command sees to it.
        r = run({QStringLiteral("set-params"), QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--baud"),
                 QStringLiteral("19200"), QStringLiteral("--address"), QStringLiteral("9"), QStringLiteral("--unit"),
                 QStringLiteral("F")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(sim.count(SF_SERVICE_MODE) >= 1);
        QCOMPARE(sim.state().address, 9);
        QCOMPARE(sim.state().baud, 19200);
        QCOMPARE(sim.state().parity, 0); // not given: kept as read
        QVERIFY(sim.state().fahrenheit);

        // Left at a speed nobody remembers: find it.
        r = run({QStringLiteral("find"), QStringLiteral("--port"), sim.devicePath()}, 60000);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("19200 N: identification FWTH-01 serial 12345, measurement (13-byte reply)")),
                 qPrintable(r.out.join('\n')));
        for (const QString &line : r.out)
            QVERIFY2(!line.startsWith(QStringLiteral("9600 ")), "the device no longer listens at 9600");

        r = run({QStringLiteral("params"), QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--at"),
                 QStringLiteral("9:19200")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains(QStringLiteral("address         9")));
        QVERIFY(r.out.contains(QStringLiteral("unit            F")));
    }

    // A device out of its service mode answers only its own address at its
    // own speed. On the simulator the first device of a line answers the
    // service address too, so the second is the one find must ask by address.
    void findAtTheGivenAddress()
    {
        fwsim::Config first;
        first.address = 9;
        first.baud = 38400;
        first.curve = false;
        fwsim::Config second = first;
        second.kind = fwsim::DeviceKind::FWT01;
        second.address = 12;
        fwsim::Simulator sim(std::vector<fwsim::Config>{first, second});
        QVERIFY(sim.start());
        const QString port = sim.devicePath();

        Result r = run({QStringLiteral("find"), QStringLiteral("--port"), port, QStringLiteral("--line-parity"),
                        QStringLiteral("N")},
                       60000);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("38400 N: identification FWTH-01 serial 12345, measurement (13-byte reply)")),
                 qPrintable(r.out.join('\n')));
        for (const QString &line : r.out)
            QVERIFY2(!line.contains(QStringLiteral("FWT-01")), "only the service address was asked");

        r = run({QStringLiteral("find"), QStringLiteral("--port"), port, QStringLiteral("--at"), QStringLiteral("12"),
                 QStringLiteral("--line-parity"), QStringLiteral("N")},
                60000);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral(
                     "38400 N address 12: identification FWT-01 serial 12345, measurement (11-byte reply)")),
                 qPrintable(r.out.join('\n')));
        const QString poll = QStringLiteral("rh_poll --port %1 --address 12 --baud 38400 --parity N").arg(port);
        QVERIFY2(r.out.contains(poll), qPrintable(r.out.join('\n')));
        // The one answering only at the service address gets the command that reads its own address.
        QVERIFY2(r.out.contains(QStringLiteral("rh_poll params --port %1 --at 247:38400 --line-parity N   # its own address")
                                    .arg(port)),
                 qPrintable(r.out.join('\n')));
        QVERIFY2(r.err.contains(QStringLiteral("find: 57600 N, ")), qPrintable(r.err));

        // Without --at, the address of the monitor's parameter file in the
        // working directory, its speed first.
        QTemporaryDir dir;
        TParametryProgramu monitor;
        monitor.trans.adresRS485 = 12;
        monitor.trans.Predkosc = 38400;
        QVERIFY(SaveParamsFile(dir.filePath(QLatin1String(kParamFileName)), monitor));
        const Result fromFile = run({QStringLiteral("find"), QStringLiteral("--port"), port,
                                     QStringLiteral("--line-parity"), QStringLiteral("N")},
                                    60000, dir.path());
        QCOMPARE(fromFile.exitCode, 0);
        QVERIFY2(fromFile.out.contains(QStringLiteral(
                     "38400 N address 12: identification FWT-01 serial 12345, measurement (11-byte reply)")),
                 qPrintable(fromFile.out.join('\n')));
        QVERIFY2(fromFile.err.startsWith(QStringLiteral("find: also at address 12, the monitor's (set_monitor.dat)\n")),
                 qPrintable(fromFile.err));
        QVERIFY2(fromFile.err.indexOf(QStringLiteral("find: 38400 N")) < fromFile.err.indexOf(QStringLiteral("find: 1200 N")),
                 qPrintable(fromFile.err));

        // The printed command line is ready to use.
        QStringList command = poll.split(QLatin1Char(' '));
        command[0] = QStringLiteral(RH_POLL_PATH);
        r = runCommand(command + QStringList{QStringLiteral("--count"), QStringLiteral("1")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.size(), 1);
        QVERIFY2(r.out.at(0).contains(QStringLiteral("T   21.5")), qPrintable(r.out.at(0)));
    }

    // --scan identifies every address of its range at each speed.
    void findScan()
    {
        fwsim::Config first;
        first.address = 3;
        first.baud = 19200;
        fwsim::Config second = first;
        second.kind = fwsim::DeviceKind::FWT01;
        second.address = 5;
        second.serial = 4711;
        fwsim::Simulator sim(std::vector<fwsim::Config>{first, second});
        QVERIFY(sim.start());
        const QString port = sim.devicePath();
        const Result r = run({QStringLiteral("find"), QStringLiteral("--port"), port, QStringLiteral("--scan"),
                              QStringLiteral("1-6"), QStringLiteral("--line-parity"), QStringLiteral("N")},
                             60000);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("19200 N address 3: identification FWTH-01 serial 12345")),
                 qPrintable(r.out.join('\n')));
        QVERIFY2(r.out.contains(QStringLiteral("19200 N address 5: identification FWT-01 serial 4711")),
                 qPrintable(r.out.join('\n')));
        QVERIFY(r.out.contains(QStringLiteral("rh_poll --port %1 --address 3 --baud 19200 --parity N").arg(port)));
        QVERIFY(r.out.contains(QStringLiteral("rh_poll --port %1 --address 5 --baud 19200 --parity N").arg(port)));
        // Each address once at each of the seven speeds, one attempt each.
        int identifications = 0;
        for (const fwsim::Request &q : sim.requests())
            identifications += q.frame.at(2) == char(SF_IDENTIFY) && uint8_t(q.frame.at(0)) == 4 ? 1 : 0;
        QCOMPARE(identifications, 7);
        QCOMPARE(r.err.count(QStringLiteral("find: ")), 7);
        QVERIFY2(r.err.contains(QStringLiteral(" left")), qPrintable(r.err));
        QVERIFY(r.err.contains(QStringLiteral("requests 56,")));
    }

    // Ctrl+C ends a long scan with what it found so far.
    void findScanInterrupted()
    {
        fwsim::Config c;
        c.address = 2;
        c.baud = 1200;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        QProcess p;
        p.start(QStringLiteral(RH_POLL_PATH), {QStringLiteral("find"), QStringLiteral("--port"), sim.devicePath(),
                                               QStringLiteral("--scan"), QStringLiteral("1-247")});
        QVERIFY(p.waitForStarted());
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromUtf8(p.readAllStandardOutput())).contains(QStringLiteral("address 2:")),
                                 20000);
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        out += QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(out.contains(QStringLiteral("interrupted; found so far:")), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("rh_poll --port %1 --address 2 --baud 1200 --parity N").arg(sim.devicePath())),
                 qPrintable(out));
        // It stopped at once, long before the 1200 baud addresses were done.
        QVERIFY(sim.requests().size() < 247);
    }

    void adcModule()
    {
        fwsim::Config c;
        c.kind = fwsim::DeviceKind::FWADC01;
        c.address = 7;
        c.adcType1 = 0;
        c.adcType2 = 3;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        Result r = run({QStringLiteral("adc-write"), QStringLiteral("--port"), sim.devicePath(), QStringLiteral("--type1"),
                        QStringLiteral("4 .. 20 mA"), QStringLiteral("--range020"), QStringLiteral("1,2,3,4"),
                        QStringLiteral("--address"), QStringLiteral("12")},
                       60000);
        QCOMPARE(r.exitCode, 0);
        const fwsim::State st = sim.state();
        QCOMPARE(st.adcType1, 4);
        QCOMPARE(st.adcType2, 3);
        QCOMPARE(st.adcRanges[0], uint16_t(1));
        QCOMPARE(st.adcRanges[3], uint16_t(4));
        QCOMPARE(st.address, 12);

        r = run({QStringLiteral("adc-read"), QStringLiteral("--port"), sim.devicePath()});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains(QStringLiteral("channel 1       4 .. 20 mA (4)")));
        QVERIFY(r.out.contains(QStringLiteral("address         12")));
    }

    // The commands decide as the service window does: an FWTH-01 of a later
    // variant gets its service mode before its parameters are read.
    void laterFwth01VariantGetsServiceMode()
    {
        fwsim::Config c;
        c.variant = 2;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        const Result r = run({QStringLiteral("params"), QStringLiteral("--port"), sim.devicePath()});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(sim.count(SF_SERVICE_MODE), 1);
        QVERIFY(r.out.contains(QStringLiteral("address         1")));
    }

    void serviceCommandErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown command") << QStringList{"calibrate"} << 2 << "unknown command";
        QTest::newRow("set-params with nothing to set") << QStringList{"set-params"} << 2 << "nothing to write";
        QTest::newRow("unlisted baud") << QStringList{"set-params", "--baud", "31250"} << 2 << "--baud";
        QTest::newRow("address above 247") << QStringList{"adc-write", "--address", "300"} << 2 << "--address";
        // A transmitter takes 1 to 245, as the service window allows; the module up to 247.
        QTest::newRow("transmitter address 246") << QStringList{"set-params", "--address", "246"} << 2 << "1 to 245";
        QTest::newRow("module address 248") << QStringList{"adc-write", "--address", "248"} << 2 << "1 to 247";
        QTest::newRow("channel type 13") << QStringList{"adc-write", "--type1", "13"} << 2 << "--type1";
        QTest::newRow("three ranges") << QStringList{"adc-write", "--range420", "1,2,3"} << 2 << "four values";
        QTest::newRow("no port") << QStringList{"identify", "--port", "/dev/fenwire-no-such-port"} << 1
                                 << "Selected serial port not exist";
    }
    void serviceCommandErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const Result r = run(args);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2((r.err + r.out.join('\n')).contains(message), qPrintable(r.err));
    }

    // The two programs together, as the demo and a technician use them.
    void againstTheSimulatorProgram()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("ttyFW"));
        QProcess sim;
        sim.start(QStringLiteral(FENWIRE_SIM_PATH),
                  {QStringLiteral("--kind"), QStringLiteral("fwt01"), QStringLiteral("--address"), QStringLiteral("3"),
                   QStringLiteral("--temperature"), QStringLiteral("-20.5"), QStringLiteral("--link"), link});
        QVERIFY(sim.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(link), 5000);
        const Result r = run({QStringLiteral("--port"), link, QStringLiteral("--address"), QStringLiteral("3"),
                              QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--interval"),
                              QStringLiteral("0.2")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.size(), 2);
        QVERIFY2(r.out.at(0).contains(QStringLiteral("T  -20.5  RH        C")), qPrintable(r.out.at(0)));
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QVERIFY(!QFileInfo::exists(link));

        QProcess bad;
        bad.start(QStringLiteral(FENWIRE_SIM_PATH), {QStringLiteral("--kind"), QStringLiteral("fwxx")});
        QVERIFY(bad.waitForFinished(5000));
        QCOMPARE(bad.exitCode(), 2);
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
