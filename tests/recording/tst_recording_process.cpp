// rh_monitor recording as a process (offscreen) against the simulator:
// killed with SIGKILL at random moments, over and over, its files hold only
// whole lines; a line a power cut tore is followed by a fresh one at the
// next start.
#include "dn_thr_trans_rh.h"
#include "fenwire_sim.h"
#include "simdevice.h"
#include "testfiles.h"
#include "zapis.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QProcess>
#include <QtCore/QRandomGenerator>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#include <csignal>

namespace {

constexpr int kStartMs = 10000;



// The header, then readings, each line with its line end. Returns the
// readings, or -1 with the first line that is not whole in A_Bad.
int readingsIn(const QByteArray &bytes, QByteArray *A_Bad)
{
    if (!bytes.startsWith(kNaglowekZapisu) || !bytes.endsWith('\n')) {
        *A_Bad = bytes.right(80);
        return -1;
    }
    int n = 0;
    QList<QByteArray> lines = bytes.mid(kNaglowekZapisu.size()).split('\n');
    lines.removeLast();
    for (const QByteArray &line : lines) {
        if (!CzytajLinieZapisu(line)) {
            *A_Bad = line;
            return -1;
        }
        ++n;
    }
    return n;
}

class Monitor
{
public:
    explicit Monitor(const QString &cwd, const QStringList &prefix = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("FENWIRE_FILES"));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(cwd);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (prefix.isEmpty())
            process.start(QStringLiteral(RH_MONITOR_PATH), QStringList());
        else
            process.start(prefix.front(), prefix.mid(1) + QStringList{QStringLiteral(RH_MONITOR_PATH)});
    }
    ~Monitor()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    QProcess process;
};

int64_t totalSize(const QDir &dir)
{
    int64_t size = 0;
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files))
        size += info.size();
    return size;
}

// The simulator started, and a monitor's folder whose fen_mon.ini maps
// COM1 to it and records into rec/.
bool recordingHome(fwsim::Simulator &sim, const QTemporaryDir &home)
{
    QString error;
    if (!sim.start(&error)) {
        qWarning("simulator: %s", qPrintable(error));
        return false;
    }
    return writeAll(home.filePath(QStringLiteral("fen_mon.ini")),
                    "[ports]\nCOM1=" + sim.devicePath().toUtf8() + "\n[recording]\nRecord=1\nFolder=rec\n");
}

} // namespace

class TstRecordingProcess : public QObject
{
    Q_OBJECT

private slots:
    void killedAnyMomentLeavesWholeLines();
    void fileSizeLimitWhilePollingGoesOn();
};

void TstRecordingProcess::killedAnyMomentLeavesWholeLines()
{
    fwsim::Simulator sim(fixedReadings(215, 453));
    QTemporaryDir home;
    QVERIFY(recordingHome(sim, home));
    const QDir rec(home.filePath(QStringLiteral("rec")));

    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("seed %u", seed);
    QRandomGenerator random(seed);
    constexpr int kRounds = 6;
    for (int round = 0; round < kRounds; ++round) {
        const int64_t before = totalSize(rec);
        Monitor monitor(home.path());
        QVERIFY(monitor.process.waitForStarted(kStartMs));
        // Its first line, then a moment anywhere within the next readings.
        QTRY_VERIFY_WITH_TIMEOUT(totalSize(rec) > before, kStartMs);
        QTest::qWait(int(random.bounded(2500)));
        ::kill(pid_t(monitor.process.processId()), SIGKILL);
        QVERIFY(monitor.process.waitForFinished(kStartMs));
        QCOMPARE(monitor.process.exitStatus(), QProcess::CrashExit);
    }
    int readings = 0;
    const QStringList files = rec.entryList(QDir::Files);
    QVERIFY(!files.isEmpty());
    for (const QString &name : files) {
        QVERIFY2(QDate::fromString(name.chopped(4), QStringLiteral("yyyy-MM-dd")).isValid(), qPrintable(name));
        QByteArray bad;
        const int n = readingsIn(readAll(rec.filePath(name)), &bad);
        QVERIFY2(n >= 0, bad.constData());
        readings += n;
    }
    QVERIFY(readings >= kRounds);

    // A power cut tore the last line: the next start goes on from a fresh one.
    const QString newest = rec.filePath(files.back());
    const QByteArray torn = "2026-12-10T18:00:00.0";
    QVERIFY(writeAll(newest, torn, QIODevice::Append));
    const QByteArray withTorn = readAll(newest);
    {
        Monitor monitor(home.path());
        QVERIFY(monitor.process.waitForStarted(kStartMs));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(newest).size() > withTorn.size() + 1 || rec.entryList(QDir::Files).size() > files.size(),
                                 kStartMs);
        monitor.process.terminate();
        QVERIFY(monitor.process.waitForFinished(kStartMs));
        QCOMPARE(monitor.process.exitStatus(), QProcess::NormalExit);
    }
    const QByteArray after = readAll(newest);
    QVERIFY(after.startsWith(withTorn + "\n"));
    if (after.size() > withTorn.size() + 1) {
        QByteArray bad;
        QVERIFY2(readingsIn(kNaglowekZapisu + after.mid(withTorn.size() + 1), &bad) >= 1, bad.constData());
    }
}

void TstRecordingProcess::fileSizeLimitWhilePollingGoesOn()
{
    fwsim::Simulator sim(fixedReadings(215, 453));
    QTemporaryDir home;
    QVERIFY(recordingHome(sim, home));
    // Today's file close to the limit (ulimit -f): room for a line or two.
    QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("rec"))));
    const QString file = home.filePath(QStringLiteral("rec/") + NazwaPlikuDnia(QDate::currentDate()));
    TProbka p;
    p.Czas = QDateTime::currentDateTime().addSecs(-60);
    p.Temperatura = 20.0;
    p.Jednostka = QStringLiteral("\u00B0C");
    QByteArray before = kNaglowekZapisu;
    while (before.size() < 480)
        before += LiniaZapisu(p);
    QVERIFY(writeAll(file, before));
    constexpr int kLimit = 600; // the parameter file (555 bytes) still fits

    Monitor monitor(home.path(), {QStringLiteral("prlimit"), QStringLiteral("--fsize=%1").arg(kLimit)});
    QVERIFY(monitor.process.waitForStarted(kStartMs));
    QTRY_VERIFY_WITH_TIMEOUT(sim.count(SF_MEASURE) >= 4, kStartMs);
    // Beyond the limit, and still polling, still alive.
    const int polled = sim.count(SF_MEASURE);
    QTRY_VERIFY_WITH_TIMEOUT(sim.count(SF_MEASURE) >= polled + 2, kStartMs);
    QCOMPARE(monitor.process.state(), QProcess::Running);
    const QByteArray after = readAll(file);
    QVERIFY(after.size() <= kLimit);
    QVERIFY(after.startsWith(before) && after.size() > before.size());
    QByteArray bad;
    QVERIFY2(readingsIn(after, &bad) >= 0, bad.constData());
    monitor.process.terminate();
    QVERIFY(monitor.process.waitForFinished(kStartMs));
    QCOMPARE(monitor.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TstRecordingProcess)
#include "tst_recording_process.moc"
