// rh_monitor as a person and a desktop start it: a real process (offscreen)
// against the simulator, ended by the signals a session sends, and killed
// at the one moment of a save that used to leave a stray file behind.
#include "dane.h"
#include "dn_thr_trans_rh.h"
#include "fenwire_sim.h"
#include "simdevice.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QStandardPaths>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>
#include <csignal>

namespace {

constexpr int kStartMs = 10000;
constexpr int kEndMs = 15000;

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// The lock QSerialPort keeps for a device while a program has it open.
QString lockFileOf(const QString &device)
{
    return QStringLiteral("/var/lock/LCK..") + QString(device).remove(0, 5).replace(QLatin1Char('/'), QLatin1Char('_'));
}

// A temporary home: the working directory a terminal would start the
// monitor in, and the configuration folder of the desktop's user.
struct Home
{
    QTemporaryDir root;
    QString cwd = root.filePath(QStringLiteral("work"));
    QString config = root.filePath(QStringLiteral("config")); // not there before the first start
    QString files = config + QStringLiteral("/fenwire");

    Home() { QDir().mkpath(cwd); }

    QProcessEnvironment environment(bool desktop) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        env.remove(QStringLiteral("FENWIRE_FILES"));
        if (desktop)
            env.insert(QStringLiteral("FENWIRE_FILES"), QStringLiteral("config")); // as the desktop entry's Exec
        return env;
    }
};

// The COM map of a test: COM1 on the simulator, the others nowhere real.
QByteArray portsFor(const QString &com1)
{
    QByteArray ini = "[ports]\nCOM1=" + com1.toUtf8() + "\n";
    for (int com = 2; com <= kComPortCount; ++com)
        ini += "COM" + QByteArray::number(com) + "=/nonexistent/fenwire-tty" + QByteArray::number(com) + "\n";
    return ini;
}

} // namespace

class TstMonitorProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // From a terminal the files live in the working directory; from the
    // desktop entry in the user's own folder, made on the first start, and
    // never in the folder the desktop starts programs in.
    void filesLiveWhereStarted_data()
    {
        QTest::addColumn<bool>("desktop");
        QTest::newRow("from a terminal: the working directory") << false;
        QTest::newRow("from the desktop entry: $XDG_CONFIG_HOME/fenwire") << true;
    }
    void filesLiveWhereStarted()
    {
        QFETCH(bool, desktop);
        Home home;
        fwsim::Simulator sim(fixedReadings(215, 453));
        QVERIFY(sim.start());
        const QString files = desktop ? home.files : home.cwd;
        if (!desktop)
            QVERIFY(writeFile(home.cwd + QStringLiteral("/fen_mon.ini"), portsFor(sim.devicePath())));

        QProcess p;
        p.setWorkingDirectory(home.cwd);
        p.setProcessEnvironment(home.environment(desktop));
        p.start(QStringLiteral(RH_MONITOR_PATH), QStringList());
        QVERIFY(p.waitForStarted());
        // A first start writes the defaults where the files live.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(files + QStringLiteral("/set_monitor.dat")).size() == kParamRecordSize,
                                 kStartMs);
        if (desktop) {
            // The folder was made for it; the desktop's folder got nothing.
            QVERIFY(filesIn(home.cwd).isEmpty());
            ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
            QVERIFY(p.waitForFinished(kEndMs));
            QCOMPARE(p.exitCode(), 0);
            // The second start finds its map there and polls the device.
            QVERIFY(writeFile(files + QStringLiteral("/fen_mon.ini"),
                              portsFor(sim.devicePath()) + readFile(files + QStringLiteral("/fen_mon.ini"))));
            p.start(QStringLiteral(RH_MONITOR_PATH), QStringList());
            QVERIFY(p.waitForStarted());
        }
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(SF_MEASURE) >= 1, kStartMs);
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(kEndMs));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(filesIn(files), (QStringList{QStringLiteral("fen_mon.ini"), QStringLiteral("set_monitor.dat")}));
        if (desktop)
            QVERIFY(filesIn(home.cwd).isEmpty());
        TMainPlacement placement;
        QVERIFY(LoadMainPlacement(placement, files + QStringLiteral("/fen_mon.ini")));
        QVERIFY(!placement.NormPos.isEmpty());
    }

    // The signals of a session and a terminal end the monitor as its close
    // box does: the placement written, the port and its lock let go, a
    // normal exit.
    void signalsEndAsClosingDoes_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void signalsEndAsClosingDoes()
    {
        QFETCH(int, signal);
        Home home;
        fwsim::Simulator sim(fixedReadings(215, 453));
        QVERIFY(sim.start());
        const QByteArray other = "; the user's own line\n[extra]\nkey=value\n";
        QVERIFY(writeFile(home.cwd + QStringLiteral("/fen_mon.ini"), other + portsFor(sim.devicePath())));
        QProcess p;
        p.setWorkingDirectory(home.cwd);
        p.setProcessEnvironment(home.environment(false));
        p.start(QStringLiteral(RH_MONITOR_PATH), QStringList());
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(SF_MEASURE) >= 2, kStartMs);
        const QString lock = lockFileOf(sim.devicePath());
        QVERIFY2(QFileInfo::exists(lock), qPrintable(lock));

        ::kill(static_cast<pid_t>(p.processId()), signal);
        QVERIFY(p.waitForFinished(kEndMs));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(!QFileInfo::exists(lock), qPrintable(lock));
        const QByteArray ini = readFile(home.cwd + QStringLiteral("/fen_mon.ini"));
        QVERIFY(ini.startsWith(other + portsFor(sim.devicePath())));
        TMainPlacement placement;
        QVERIFY(LoadMainPlacement(placement, home.cwd + QStringLiteral("/fen_mon.ini")));
        QVERIFY(!placement.NormPos.isEmpty());
        // Nothing polls the line any more.
        const int requests = sim.count(SF_MEASURE);
        QTest::qWait(1500);
        QCOMPARE(sim.count(SF_MEASURE), requests);
    }

    // Killed between linking a save's new file and renaming it over the old
    // one: the old file stands whole, the new one beside it under our name,
    // and the next start removes it, and nothing that only looks like it.
    void killedSaveLeavesNothingForGood()
    {
        const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
        QVERIFY2(!strace.isEmpty(), "strace is needed to kill the program at its rename");
        Home home;
        QVERIFY(QDir().mkpath(home.files));
        const QString dat = home.files + QStringLiteral("/set_monitor.dat");
        const QString ini = home.files + QStringLiteral("/fen_mon.ini");
        // A record cut short: the start replaces it with the defaults.
        const QByteArray shortRecord(kParamRecordSize - 1, '\x05');
        QVERIFY(writeFile(dat, shortRecord));
        QVERIFY(writeFile(ini, portsFor(QStringLiteral("/nonexistent/fenwire-tty1"))));
        const QString usersCopy = dat + QStringLiteral(".backup");
        const QString lookalike = dat + QStringLiteral(".aB3xYz");
        QVERIFY(writeFile(usersCopy, shortRecord));
        QVERIFY(writeFile(lookalike, shortRecord));

        // The rename of the save, by its first path (strace matches a
        // rename by that one): the staged file going over the old one.
        const QString staged = dat + QLatin1String(kSaveStagingSuffix);
        QProcess killed;
        killed.setWorkingDirectory(home.cwd);
        killed.setProcessEnvironment(home.environment(true));
        killed.start(strace, {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                              QStringLiteral("-P"), staged, QStringLiteral("-e"),
                              QStringLiteral("trace=rename,renameat,renameat2"), QStringLiteral("-e"),
                              QStringLiteral("inject=rename,renameat,renameat2:signal=SIGKILL"),
                              QStringLiteral(RH_MONITOR_PATH)});
        QVERIFY(killed.waitForFinished(kStartMs + kEndMs));
        // strace ends as its program did: killed.
        QVERIFY2(killed.exitStatus() == QProcess::CrashExit || killed.exitCode() == 128 + SIGKILL,
                 qPrintable(QString::number(killed.exitCode())));
        QCOMPARE(readFile(dat), shortRecord);
        QCOMPARE(QFileInfo(staged).size(), qint64(kParamRecordSize));

        QProcess next;
        next.setWorkingDirectory(home.cwd);
        next.setProcessEnvironment(home.environment(true));
        next.start(QStringLiteral(RH_MONITOR_PATH), QStringList());
        QVERIFY(next.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(dat).size() == kParamRecordSize, kStartMs);
        ::kill(static_cast<pid_t>(next.processId()), SIGTERM);
        QVERIFY(next.waitForFinished(kEndMs));
        QCOMPARE(next.exitCode(), 0);
        QCOMPARE(filesIn(home.files),
                 (QStringList{QStringLiteral("fen_mon.ini"), QStringLiteral("set_monitor.dat"),
                              QStringLiteral("set_monitor.dat.aB3xYz"), QStringLiteral("set_monitor.dat.backup")}));
        QCOMPARE(readFile(usersCopy), shortRecord);
    }

    // Only the variable's one value is known; a mistyped entry is told.
    void unknownFilesValueRefused()
    {
        Home home;
        QProcessEnvironment env = home.environment(false);
        env.insert(QStringLiteral("FENWIRE_FILES"), QStringLiteral("home"));
        QProcess p;
        p.setWorkingDirectory(home.cwd);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(RH_MONITOR_PATH), QStringList());
        QVERIFY(p.waitForFinished(kStartMs));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains(QStringLiteral("FENWIRE_FILES")));
        QVERIFY(filesIn(home.cwd).isEmpty());
        QVERIFY(!QFileInfo::exists(home.config));
    }
};

QTEST_GUILESS_MAIN(TstMonitorProcess)
#include "tst_monitor_process.moc"
