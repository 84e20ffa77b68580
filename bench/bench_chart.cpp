// Add-and-redraw time of the trend chart: one reading in, one out, and a
// full replot, with the series already at ile_probek points.
//
// Run by hand: QT_QPA_PLATFORM=offscreen build/bench/bench_chart
#include "main.h"

#include <QtCore/QElapsedTimer>
#include <QtWidgets/QApplication>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void measure(int ileProbek, int rounds)
{
    TTrendChart chart;
    chart.resize(384, 250); // the size the main window gives it
    chart.SetRanges(-10, 50, 0, 100);
    chart.show();
    double t = 1.7e9;
    for (int i = 0; i <= ileProbek; ++i, t += 1.0)
        chart.AddReadingAt(t, 20 + (i % 50) / 10.0, 45 + (i % 70) / 10.0, ileProbek);
    chart.replot();

    std::vector<double> add, redraw;
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i, t += 1.0) {
        timer.start();
        chart.AddReadingAt(t, 21.5, 45.0, ileProbek);
        add.push_back(timer.nsecsElapsed() / 1e3);
        timer.start();
        chart.replot(QCustomPlot::rpImmediateRefresh);
        redraw.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(add.begin(), add.end());
    std::sort(redraw.begin(), redraw.end());
    std::printf("ile_probek %6d: add median %6.1f us, redraw median %6.2f ms, 99th percentile %6.2f ms\n",
                ileProbek, add[add.size() / 2], redraw[redraw.size() / 2],
                redraw[std::min(redraw.size() - 1, size_t(redraw.size() * 0.99))]);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    measure(1000, 200);
    measure(100000, 50);
    return 0;
}
