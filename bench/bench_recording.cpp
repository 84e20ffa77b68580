// Start-up of the monitor with recording on: the history read from a
// folder holding DAYS days of recordings at one reading a second (default
// a year), against an empty folder. Measures the history read alone and
// the main window's construction and first showing (offscreen), each the
// median of several runs. The year is written once into a temporary
// folder (about 2 GB; removed at the end).
//
//   build/bench/bench_recording [DAYS]
#include "dane.h"
#include "main.h"
#include "zapis.h"

#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kReadingsPerDay = 86400;
constexpr int kRunsHistory = 21;
constexpr int kRunsWindow = 7;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One day of readings, one a second, written as the recorder writes them.
bool writeDay(const QString &folder, const QDate &day)
{
    QFile file(QDir(folder).filePath(NazwaPlikuDnia(day)));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray out = kNaglowekZapisu;
    out.reserve(kReadingsPerDay * 64);
    const QDateTime start(day, QTime(0, 0), Qt::OffsetFromUTC, 3600);
    TProbka p;
    p.Jednostka = QStringLiteral("\u00B0C");
    p.Port = QStringLiteral("/dev/ttyUSB0");
    p.Adres = 1;
    for (int s = 0; s < kReadingsPerDay; ++s) {
        p.Czas = start.addSecs(s);
        p.Temperatura = 20.0 + (s % 100) / 10.0;
        p.Wilgotnosc = 40.0 + (s % 200) / 10.0;
        out += LiniaZapisu(p);
    }
    return file.write(out) == out.size();
}

struct Figures
{
    double historyMs;
    double windowMs;
    std::size_t points;
};

Figures measure(const QString &home)
{
    QDir::setCurrent(home);
    std::vector<double> history, window;
    std::size_t points = 0;
    for (int i = 0; i < kRunsHistory; ++i) {
        QElapsedTimer t;
        t.start();
        const std::vector<TProbka> h = CzytajHistorie(home + QStringLiteral("/rec"), V_ParametryProgramu.ile_probek + 1);
        history.push_back(double(t.nsecsElapsed()) / 1e6);
        points = h.size();
    }
    for (int i = 0; i < kRunsWindow; ++i) {
        QElapsedTimer t;
        t.start();
        {
            TForm_Main w;
            w.show();
            QApplication::processEvents();
            window.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        QApplication::processEvents();
    }
    return {median(history), median(window), points};
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int days = argc > 1 ? std::max(1, atoi(argv[1])) : 365;

    QTemporaryDir empty, year;
    const QByteArray ini = "[ports]\nCOM1=/nonexistent/fenwire-bench\n[recording]\nRecord=1\nFolder=rec\n";
    for (QTemporaryDir *d : {&empty, &year}) {
        QFile f(d->filePath(QStringLiteral("fen_mon.ini")));
        if (!f.open(QIODevice::WriteOnly) || f.write(ini) != ini.size() || !QDir().mkpath(d->filePath(QStringLiteral("rec"))))
            return 1;
    }
    QElapsedTimer t;
    t.start();
    const QDate today = QDate::currentDate();
    for (int d = 0; d < days; ++d) {
        if (!writeDay(year.filePath(QStringLiteral("rec")), today.addDays(-d))) {
            std::fprintf(stderr, "cannot write the recordings\n");
            return 1;
        }
    }
    qint64 bytes = 0;
    for (const QFileInfo &info : QDir(year.filePath(QStringLiteral("rec"))).entryInfoList(QDir::Files))
        bytes += info.size();
    std::printf("%d days of recordings, %.2f GB, written in %.1f s\n", days, double(bytes) / 1e9,
                double(t.elapsed()) / 1000.0);

    const Figures e = measure(empty.path());
    const Figures y = measure(year.path());
    std::printf("history read (%zu samples): empty folder %.3f ms, %d days %.3f ms (median of %d)\n", y.points,
                e.historyMs, days, y.historyMs, kRunsHistory);
    std::printf("main window made and shown: empty folder %.1f ms, %d days %.1f ms (median of %d)\n", e.windowMs, days,
                y.windowMs, kRunsWindow);
    QDir::setCurrent(QDir::tempPath());
    return 0;
}
