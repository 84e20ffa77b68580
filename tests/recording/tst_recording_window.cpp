// The monitor window recording against a simulated transmitter on a
// pseudo-terminal (offscreen): the lines it writes, failures as gaps, a full
// disk, a folder it cannot write and a disk that does not answer while the
// polling goes on, the history on the chart after a restart with its
// breaks, the context menu and the export.
#include "dane.h"
#include "fenwire_sim.h"
#include "main.h"
#include "simdevice.h"
#include "testfiles.h"
#include "zapis.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtGui/QClipboard>
#include <QtGui/QContextMenuEvent>
#include <QtGui/QDesktopServices>
#include <QtTest/QtTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMenu>
#include <QtWidgets/QStatusBar>

#include <cmath>
#include <memory>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kReadingMs = 6000; // a tick and an exchange, or a failed one
const QByteArray kDegC = "\xC2\xB0""C";



QList<QByteArray> linesOf(const QByteArray &bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

// One second further at every reading, from a fixed moment.
std::function<QDateTime()> steppingClock(const QDateTime &start)
{
    auto next = std::make_shared<QDateTime>(start);
    return [next] {
        const QDateTime now = *next;
        *next = next->addSecs(1);
        return now;
    };
}

QByteArray portsSection(const QString &com1)
{
    QByteArray ini = "[ports]\nCOM1=" + com1.toUtf8() + "\n";
    for (int com = 2; com <= kComPortCount; ++com)
        ini += "COM" + QByteArray::number(com) + "=/nonexistent/fenwire-tty" + QByteArray::number(com) + "\n";
    return ini;
}

// A simulator, a working directory holding the window's files, the window.
class Bench
{
public:
    explicit Bench(const QByteArray &recordingIni = "[recording]\nRecord=1\nFolder=rec\n",
                   const fwsim::Config &config = fixedReadings(215, 453))
        : m_oldCwd(QDir::currentPath())
        , sim(config)
    {
        QVERIFY(m_dir.isValid());
        QString error;
        QVERIFY2(sim.start(&error), qPrintable(error));
        QVERIFY(QDir::setCurrent(m_dir.path()));
        ini = portsSection(sim.devicePath()) + recordingIni;
        QVERIFY(writeAll(QStringLiteral("fen_mon.ini"), ini));
        ready = true;
    }
    ~Bench()
    {
        if (window && window->Zapis())
            window->Zapis()->CzekajNaZapis(TZapisOdczytow::kZamknijMs);
        window.reset();
        QDir::setCurrent(m_oldCwd);
    }

    TForm_Main &open(std::function<QDateTime()> clock = {})
    {
        window = std::make_unique<TForm_Main>();
        if (clock)
            window->UstawZegar(std::move(clock));
        window->show();
        return *window;
    }

    bool waitForRecorded(int64_t count, int timeoutMs = kReadingMs * 3)
    {
        return QTest::qWaitFor([&] { return window->Zapis() && window->Zapis()->Stan().Zapisane >= count; },
                               timeoutMs);
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString dayFile(const QDate &day) const { return path(QStringLiteral("rec/") + NazwaPlikuDnia(day)); }

private:
    QTemporaryDir m_dir;
    QString m_oldCwd;

public:
    fwsim::Simulator sim;
    std::unique_ptr<TForm_Main> window;
    QByteArray ini;
    bool ready = false;
};

// Where a time falls on the chart, in pixels of the chart widget.
int columnOf(TTrendChart *chart, const QDateTime &time)
{
    return int(std::lround(chart->xAxis->coordToPixel(double(time.toMSecsSinceEpoch()) / 1000.0)));
}

bool redInColumn(const QImage &image, const QRect &plot, int x)
{
    for (int y = plot.top() + 1; y < plot.bottom(); ++y) {
        const QColor c = image.pixelColor(x, y);
        if (c.red() > 200 && c.green() < 60 && c.blue() < 60)
            return true;
    }
    return false;
}

int redPixels(const QImage &image)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            n += c.red() > 200 && c.green() < 60 && c.blue() < 60;
        }
    return n;
}

QMenu *openMenuAt(QWidget *widget, QContextMenuEvent::Reason reason)
{
    const QPoint pos = widget->rect().center();
    QContextMenuEvent event(reason, pos, widget->mapToGlobal(pos));
    QApplication::sendEvent(widget, &event);
    return qobject_cast<QMenu *>(QApplication::activePopupWidget());
}

class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls << url; }
};

} // namespace

class TstRecordingWindow : public QObject
{
    Q_OBJECT

private slots:
    void recordsEveryReadingByteForByte();
    void offByDefaultWritesNothing();
    void failuresRecordedAsGaps();
    void fullDiskShownOnceWhilePollingGoesOn();
    void unwritableFolderWhilePollingGoesOn();
    void stuckDiskDoesNotDelayThePolling();
    void historyAfterARestartWithItsBreaks();
    void historyKeepsToIleProbek();
    void contextMenu();
    void exportChartAsCsvAndPng();
    void copyReadingAndOpenFolder();
};

void TstRecordingWindow::recordsEveryReadingByteForByte()
{
    Bench bench;
    QVERIFY(bench.ready);
    const QDateTime start(QDate(2026, 12, 10), QTime(23, 59, 58, 250), Qt::OffsetFromUTC, 3600);
    TForm_Main &w = bench.open(steppingClock(start));
    QVERIFY(w.ZapisWlaczony());
    QVERIFY(bench.waitForRecorded(4));
    w.RxS_trans->SetOn(false);
    QVERIFY(w.Zapis()->CzekajNaZapis(5000));

    // Midnight starts the next day's file.
    const QByteArray tail = "," + kDegC + ",0,," + bench.sim.devicePath().toUtf8() + ",1";
    QCOMPARE(linesOf(readAll(bench.dayFile(QDate(2026, 12, 10)))),
             (QList<QByteArray>{kNaglowekZapisu.trimmed(), "2026-12-10T23:59:58.250+01:00,21.5,45.3" + tail,
                                "2026-12-10T23:59:59.250+01:00,21.5,45.3" + tail}));
    const QList<QByteArray> next = linesOf(readAll(bench.dayFile(QDate(2026, 12, 11))));
    QVERIFY(next.size() >= 3);
    QCOMPARE(next.mid(0, 3), (QList<QByteArray>{kNaglowekZapisu.trimmed(), "2026-12-11T00:00:00.250+01:00,21.5,45.3" + tail,
                                                "2026-12-11T00:00:01.250+01:00,21.5,45.3" + tail}));
    // Nothing else in the folder, and fen_mon.ini as it was.
    QCOMPARE(QDir(bench.path(QStringLiteral("rec"))).entryList(QDir::Files),
             (QStringList{QStringLiteral("2026-12-10.csv"), QStringLiteral("2026-12-11.csv")}));
    QCOMPARE(readAll(QStringLiteral("fen_mon.ini")), bench.ini);
}

void TstRecordingWindow::offByDefaultWritesNothing()
{
    Bench bench{QByteArray()};
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(!w.ZapisWlaczony());
    QTRY_VERIFY_WITH_TIMEOUT(w.Chart1->Series1()->dataCount() >= 2, kReadingMs * 2);
    QVERIFY(!QFileInfo::exists(bench.path(QStringLiteral("recordings"))));
    QVERIFY(!QFileInfo::exists(bench.path(QStringLiteral("rec"))));
}

void TstRecordingWindow::failuresRecordedAsGaps()
{
    Bench bench;
    QVERIFY(bench.ready);
    const QDateTime start(QDate(2026, 12, 10), QTime(12, 0, 0), Qt::OffsetFromUTC, 0);
    TForm_Main &w = bench.open(steppingClock(start));
    QVERIFY(bench.waitForRecorded(1));
    bench.sim.setFault(fwsim::Fault::Silence, 100);
    QVERIFY(bench.waitForRecorded(3, kReadingMs * 4));
    bench.sim.setFault(fwsim::Fault::None, 0);
    const int64_t before = w.Zapis()->Stan().Zapisane;
    QVERIFY(bench.waitForRecorded(before + 2, kReadingMs * 3));
    w.RxS_trans->SetOn(false);
    QVERIFY(w.Zapis()->CzekajNaZapis(5000));

    const QList<QByteArray> lines = linesOf(readAll(bench.dayFile(start.date())));
    int gaps = 0;
    bool goodAfterGap = false;
    const QByteArray end = "," + bench.sim.devicePath().toUtf8() + ",1";
    for (const QByteArray &line : lines.mid(1)) {
        QVERIFY2(line.endsWith(end), line.constData());
        const std::optional<TProbka> p = CzytajLinieZapisu(line);
        QVERIFY2(p, line.constData());
        if (p->Udany()) {
            goodAfterGap = gaps > 0;
            continue;
        }
        ++gaps;
        // Empty values, no unit, the status and its cause.
        QVERIFY2(line.contains("+00:00,,,," + QByteArray::number(p->Status) + ","), line.constData());
        QVERIFY(!p->Przyczyna.isEmpty());
    }
    QVERIFY(gaps >= 1);
    QVERIFY(goodAfterGap);
}

void TstRecordingWindow::fullDiskShownOnceWhilePollingGoesOn()
{
    Bench bench;
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(bench.waitForRecorded(1));
    const QString file = bench.dayFile(QDate::currentDate());
    QTRY_VERIFY(QFileInfo(file).size() > 0);

    rlimit old{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
    rlimit full = old;
    full.rlim_cur = rlim_t(QFileInfo(file).size() + 20); // not even one more line
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &full) == 0);
    QTRY_COMPARE_WITH_TIMEOUT(w.StatusPanel1->text(), QStringLiteral("Not recording"), kReadingMs * 2);
    QVERIFY2(w.StatusPanel1->toolTip().contains(file), qPrintable(w.StatusPanel1->toolTip()));
    // The polling and the display go on.
    const int polled = bench.sim.count(SF_MEASURE);
    QTRY_VERIFY_WITH_TIMEOUT(bench.sim.count(SF_MEASURE) >= polled + 2, kReadingMs * 2);
    QCOMPARE(w.led_t2->GetChar(), ch2);
    const QByteArray meanwhile = readAll(file);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &old) == 0);
    QVERIFY(meanwhile.endsWith('\n'));

    // Writing works again: the waiting readings are written, the words go.
    QTRY_VERIFY_WITH_TIMEOUT(w.StatusPanel1->text().isEmpty(), kReadingMs * 2);
    w.RxS_trans->SetOn(false);
    QVERIFY(w.Zapis()->CzekajNaZapis(5000));
    const QList<QByteArray> lines = linesOf(readAll(file));
    QCOMPARE(int64_t(lines.size() - 1), w.Zapis()->Stan().Zapisane);
    for (const QByteArray &line : lines.mid(1))
        QVERIFY2(CzytajLinieZapisu(line) && CzytajLinieZapisu(line)->Udany(), line.constData());
}

void TstRecordingWindow::unwritableFolderWhilePollingGoesOn()
{
    Bench bench;
    QVERIFY(bench.ready);
    QVERIFY(writeAll(bench.path(QStringLiteral("rec")), "a file where the folder should be"));
    TForm_Main &w = bench.open();
    QTRY_COMPARE_WITH_TIMEOUT(w.StatusPanel1->text(), QStringLiteral("Not recording"), kReadingMs * 2);
    const int polled = bench.sim.count(SF_MEASURE);
    QTRY_VERIFY_WITH_TIMEOUT(bench.sim.count(SF_MEASURE) >= polled + 2, kReadingMs * 2);
    // A failed poll has the panel: its words come first.
    bench.sim.setFault(fwsim::Fault::Silence, 100);
    QTRY_COMPARE_WITH_TIMEOUT(w.StatusPanel1->text(), QStringLiteral("No reply"), kReadingMs * 2);
    bench.sim.setFault(fwsim::Fault::None, 0);
    QTRY_COMPARE_WITH_TIMEOUT(w.StatusPanel1->text(), QStringLiteral("Not recording"), kReadingMs * 2);

    QVERIFY(QFile::remove(bench.path(QStringLiteral("rec"))));
    QTRY_VERIFY_WITH_TIMEOUT(w.StatusPanel1->text().isEmpty(), kReadingMs * 2);
    w.RxS_trans->SetOn(false);
    QVERIFY(w.Zapis()->CzekajNaZapis(5000));
    QVERIFY(linesOf(readAll(bench.dayFile(QDate::currentDate()))).size() >= 4);
}

void TstRecordingWindow::stuckDiskDoesNotDelayThePolling()
{
    Bench bench;
    QVERIFY(bench.ready);
    // Today's file a named pipe: the writer's open waits for a reader, as
    // a share that does not answer would.
    QVERIFY(QDir().mkpath(bench.path(QStringLiteral("rec"))));
    const QString file = bench.dayFile(QDate::currentDate());
    QVERIFY(::mkfifo(QFile::encodeName(file).constData(), 0600) == 0);
    TForm_Main &w = bench.open();
    QTRY_VERIFY_WITH_TIMEOUT(bench.sim.count(SF_MEASURE) >= 1, kReadingMs);
    const int64_t first = bench.sim.requests().back().atMs;
    QTRY_VERIFY_WITH_TIMEOUT(bench.sim.count(SF_MEASURE) >= 5, kReadingMs * 3);
    const int64_t fifth = bench.sim.requests().back().atMs;
    // One a second, as without recording (generous: a shared machine).
    QVERIFY2(fifth - first < 4 * 1000 + 1500, qPrintable(QString::number(fifth - first)));
    QTRY_VERIFY(w.Chart1->Series1()->dataCount() >= 4);
    QVERIFY(w.Zapis()->Stan().Czekajace >= 3);

    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 char buf[4096];
                                 ssize_t n;
                                 while ((n = ::read(fd, buf, sizeof buf)) > 0)
                                     got.append(buf, n);
                                 return w.Zapis()->Stan().Czekajace == 0 && got.count('\n') >= 5;
                             }()),
                             10000);
    w.RxS_trans->SetOn(false);
    QVERIFY(w.Zapis()->CzekajNaZapis(5000));
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        got.append(buf, n);
    ::close(fd);
    QVERIFY(got.startsWith(kNaglowekZapisu));
    for (const QByteArray &line : linesOf(got).mid(1))
        QVERIFY2(CzytajLinieZapisu(line), line.constData());
}

void TstRecordingWindow::historyAfterARestartWithItsBreaks()
{
    Bench bench;
    QVERIFY(bench.ready);
    const QDateTime now = QDateTime::currentDateTime();
    auto at = [&](int secondsAgo) { return now.addSecs(-secondsAgo); };
    {
        // The earlier run: 100 s to 80 s ago, a failure, good again until
        // 70 s ago, not running, then 40 s to 30 s ago.
        TZapisOdczytow earlier(bench.path(QStringLiteral("rec")));
        auto good = [&](int ago) {
            TProbka p;
            p.Czas = at(ago);
            p.Temperatura = 30.0; // apart from the humidity line, drawn over it
            p.Wilgotnosc = 70.0;
            p.Jednostka = QStringLiteral("\u00B0C");
            p.Port = bench.sim.devicePath();
            p.Adres = 1;
            earlier.Dodaj(p);
        };
        for (int ago = 100; ago >= 80; --ago)
            good(ago);
        TProbka failed;
        failed.Czas = at(79);
        failed.Status = 200;
        failed.Przyczyna = QStringLiteral("No reply");
        earlier.Dodaj(failed);
        for (int ago = 78; ago >= 70; --ago)
            good(ago);
        for (int ago = 40; ago >= 30; --ago)
            good(ago);
        QVERIFY(earlier.CzekajNaZapis(5000));
    }
    // Monitoring off: only the history is on the chart.
    QVERIFY(writeAll(QStringLiteral("fen_mon.ini"), bench.ini));
    TForm_Main &w = bench.open();
    w.RxS_trans->SetOn(false);
    w.Chart1->replot();

    auto value = [&](int ago, double plus = 0) {
        const double key = double(at(ago).toMSecsSinceEpoch()) / 1000.0 + plus;
        auto it = w.Chart1->Series1()->data()->findBegin(key, false);
        return it == w.Chart1->Series1()->data()->constEnd() || std::abs(it->key - key) > 1e-3 ? -1.0 : it->value;
    };
    QCOMPARE(value(100), 30.0);
    QVERIFY(std::isnan(value(79)));                           // the failure
    QVERIFY(std::isnan(value(70, TTrendChart::kOkresS)));     // the program was not running
    QVERIFY(std::isnan(value(30, TTrendChart::kOkresS)));     // until now
    QCOMPARE(w.Chart1->Readings().size(), std::size_t(21 + 1 + 9 + 11));

    const QImage image = w.Chart1->grab().toImage();
    const QRect plot = w.Chart1->axisRect()->rect();
    QVERIFY(redInColumn(image, plot, columnOf(w.Chart1, at(90))));
    QVERIFY(redInColumn(image, plot, columnOf(w.Chart1, at(35))));
    // No step line across the time the program did not run.
    QVERIFY(!redInColumn(image, plot, columnOf(w.Chart1, at(55))));
    QVERIFY(!redInColumn(image, plot, columnOf(w.Chart1, at(50))));
}

void TstRecordingWindow::historyKeepsToIleProbek()
{
    Bench bench;
    QVERIFY(bench.ready);
    UstawDomyslne();
    V_ParametryProgramu.ile_probek = 10;
    QVERIFY(SaveTransParams(QStringLiteral("set_monitor.dat")));
    const QDateTime now = QDateTime::currentDateTime();
    {
        TZapisOdczytow earlier(bench.path(QStringLiteral("rec")));
        for (int i = 0; i < 500; ++i) {
            TProbka p;
            p.Czas = now.addSecs(-600 + i);
            p.Temperatura = i;
            p.Jednostka = QStringLiteral("\u00B0C");
            earlier.Dodaj(p);
        }
        QVERIFY(earlier.CzekajNaZapis(5000));
    }
    TForm_Main &w = bench.open();
    w.RxS_trans->SetOn(false);
    QVERIFY(w.Chart1->Series1()->dataCount() <= 11);
    const std::vector<TProbka> shown = w.Chart1->Readings();
    QVERIFY(!shown.empty());
    QCOMPARE(*shown.back().Temperatura, 499.0);
}

void TstRecordingWindow::contextMenu()
{
    Bench bench(QByteArray("; kept\n[main]\nFlags=0\n"));
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(!w.ZapisWlaczony());

    QMenu *menu = openMenuAt(w.Chart1, QContextMenuEvent::Mouse);
    QVERIFY(menu);
    QStringList texts;
    for (QAction *a : menu->actions())
        if (!a->isSeparator())
            texts << a->text();
    QCOMPARE(texts, (QStringList{QStringLiteral("Record readings"), QStringLiteral("Save chart as PNG\u2026"),
                                 QStringLiteral("Export chart data as CSV\u2026"), QStringLiteral("Copy reading"),
                                 QStringLiteral("Open recordings folder")}));
    QAction *record = menu->findChild<QAction *>(QStringLiteral("actRecord"));
    QVERIFY(record->isCheckable() && !record->isChecked());
    record->trigger();
    menu->close();
    QVERIFY(w.ZapisWlaczony());
    QCOMPARE(readAll(QStringLiteral("fen_mon.ini")), bench.ini + "[recording]\nRecord=1\nFolder=recordings\n");
    QVERIFY(bench.waitForRecorded(1));
    QVERIFY(QFileInfo::exists(bench.path(QStringLiteral("recordings/")) + NazwaPlikuDnia(QDate::currentDate())));

    // The Menu key, on the digits (the desktop's platform turns the key into
    // this event); the choice shows.
    menu = openMenuAt(w.led_t1, QContextMenuEvent::Keyboard);
    QVERIFY(menu);
    record = menu->findChild<QAction *>(QStringLiteral("actRecord"));
    QVERIFY(record->isChecked());
    record->trigger();
    menu->close();
    QVERIFY(!w.ZapisWlaczony());
    QCOMPARE(readAll(QStringLiteral("fen_mon.ini")), bench.ini + "[recording]\nRecord=0\nFolder=recordings\n");

    // Not on the buttons' bar or the status bar.
    QVERIFY(!openMenuAt(w.StatusBar1, QContextMenuEvent::Mouse));
    QVERIFY(!openMenuAt(w.Panel1, QContextMenuEvent::Mouse));
}

void TstRecordingWindow::exportChartAsCsvAndPng()
{
    Bench bench;
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(bench.waitForRecorded(3));
    w.RxS_trans->SetOn(false);
    QTRY_COMPARE(w.ThreadsRunning, 0);
    QVERIFY(w.Zapis()->CzekajNaZapis(5000));

    // The chart's readings in the recording's columns: the same lines.
    QString error;
    QVERIFY2(w.EksportujWykresCsv(bench.path(QStringLiteral("chart.csv")), &error), qPrintable(error));
    QCOMPARE(readAll(bench.path(QStringLiteral("chart.csv"))), readAll(bench.dayFile(QDate::currentDate())));
    QVERIFY(!w.EksportujWykresCsv(bench.path(QStringLiteral("none/chart.csv")), &error));
    QVERIFY(!error.isEmpty());

    QVERIFY2(w.ZapiszWykresPng(bench.path(QStringLiteral("chart.png")), &error), qPrintable(error));
    QCOMPARE(TForm_Main::PlikPodwojny(bench.path(QStringLiteral("chart.png"))), bench.path(QStringLiteral("chart@2x.png")));
    const QImage single(bench.path(QStringLiteral("chart.png")));
    const QImage twice(bench.path(QStringLiteral("chart@2x.png")));
    QCOMPARE(single.size(), w.Chart1->size());
    QCOMPARE(twice.size(), w.Chart1->size() * 2);
    QVERIFY(redPixels(single) > 0);
    QVERIFY(redPixels(twice) > 2 * redPixels(single));
    QVERIFY(!w.ZapiszWykresPng(bench.path(QStringLiteral("none/chart.png")), &error));
}

void TstRecordingWindow::copyReadingAndOpenFolder()
{
    Bench bench(QByteArray(), fixedReadings(-205, 453));
    QVERIFY(bench.ready);
    const QDateTime start(QDate(2026, 12, 10), QTime(9, 30, 15), Qt::OffsetFromUTC, 0);
    TForm_Main &w = bench.open(steppingClock(start));
    QCOMPARE(w.TekstOdczytu(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!w.TekstOdczytu().isEmpty(), kReadingMs);
    QMenu *menu = openMenuAt(w.Chart1, QContextMenuEvent::Mouse);
    QVERIFY(menu);
    QAction *copy = menu->findChild<QAction *>(QStringLiteral("actCopyReading"));
    QVERIFY(copy->isEnabled());
    copy->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("-20.5 \u00B0C, 45.3 % (2026-12-10 09:30:15)"));

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    menu->findChild<QAction *>(QStringLiteral("actOpenFolder"))->trigger();
    menu->close();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(bench.path(QStringLiteral("recordings")))});
    QVERIFY(QFileInfo(bench.path(QStringLiteral("recordings"))).isDir());

    // Switched off, the digits show no reading to copy.
    w.RxS_trans->SetOn(false);
    QCOMPARE(w.TekstOdczytu(), QString());
}

QTEST_MAIN(TstRecordingWindow)
#include "tst_recording_window.moc"
