// The bridge's queue over a broker outage of an hour at 32 devices polled
// once a second: 115 200 readings, more than the default bound of 100 000.
// Reports the readings dropped, the heap the queue holds (per reading), the
// time Publish() takes, and, once a local broker is back, the time to
// deliver the backlog (every reading acknowledged by the broker).
//
// Run by hand: build/bench/bench_mqtt_queue [devices] [seconds] [queue]
#include "bridge_mqtt.h"
#include "mqtt_broker.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <sys/resource.h>
#include <vector>

namespace {

size_t heapInUse()
{
    return mallinfo2().uordblks;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Waits while the bridge's thread works, with the log lines on their way.
template <typename Done>
bool waitFor(Done done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int devices = argc > 1 ? std::atoi(argv[1]) : 32;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 3600;
    TMqttOptions o;
    if (argc > 3)
        o.queueLimit = std::atoi(argv[3]);

    // The broker's port, then the broker away: the outage.
    TBroker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "mosquitto did not start:\n%s\n", qPrintable(broker.output()));
        return 1;
    }
    broker.stop();
    o.host = QStringLiteral("127.0.0.1");
    o.port = broker.port();
    o.bridgeId = QStringLiteral("bench");
    TMqttBridge bridge(o);
    bridge.SetLog([](const QString &line) { std::fprintf(stderr, "  %s\n", qPrintable(line)); });
    QString error;
    if (!bridge.Start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }

    std::vector<TBridgeDevice> line(size_t(std::max(1, devices)));
    for (size_t i = 0; i < line.size(); ++i) {
        line[i].port = QStringLiteral("/dev/ttyUSB0");
        line[i].address = int(i + 1);
        line[i].model = QStringLiteral("FWTH-01");
        line[i].serial = QString::number(10000 + i);
        line[i].firmware = QStringLiteral("1.07");
        bridge.DeviceKnown(line[i]);
        bridge.SetAvailable(line[i], true);
    }
    const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-seconds);
    const size_t heapBefore = heapInUse();
    std::vector<double> callUs;
    callUs.reserve(size_t(seconds) * line.size());
    QElapsedTimer fill;
    fill.start();
    for (int s = 0; s < seconds; ++s) {
        for (size_t d = 0; d < line.size(); ++d) {
            TBridgeReading r;
            r.time = start.addSecs(s);
            r.device = line[d];
            r.temperature = 20.0 + 0.1 * ((s + int(d)) % 100);
            r.humidity = 40.0 + 0.1 * (s % 200);
            if ((s + int(d)) % 997 == 0) { // now and then a silent device
                r.temperature.reset();
                r.humidity.reset();
                r.status = 300;
                r.cause = QStringLiteral("200 Device not responding");
            }
            QElapsedTimer call;
            call.start();
            bridge.Publish(r);
            callUs.push_back(double(call.nsecsElapsed()) / 1e3);
        }
    }
    const double fillMs = double(fill.nsecsElapsed()) / 1e6;
    const size_t heapAfter = heapInUse();
    const TMqttStats filled = bridge.Statistics();
    std::sort(callUs.begin(), callUs.end());
    const auto at = [&callUs](double q) { return callUs[size_t(q * double(callUs.size() - 1))]; };
    std::printf("outage: %d devices x %d s = %lld readings, queue bound %d\n", int(line.size()), seconds,
                static_cast<long long>(filled.published), o.queueLimit);
    std::printf("  queued %lld, dropped as oldest %lld\n", static_cast<long long>(filled.queued),
                static_cast<long long>(filled.dropped));
    std::printf("  heap held by the queue: %.2f MB, %.1f bytes per queued reading\n",
                double(heapAfter - heapBefore) / 1e6, double(heapAfter - heapBefore) / double(filled.queued));
    std::printf("  Publish(): %.2f us mean, median %.2f us, 99%% %.2f us, max %.1f us\n",
                fillMs * 1e3 / double(callUs.size()), at(0.5), at(0.99), callUs.back());

    // The broker is back; the bridge finds it at its next attempt.
    QElapsedTimer back;
    back.start();
    if (!broker.start()) {
        std::fprintf(stderr, "mosquitto did not start again:\n%s\n", qPrintable(broker.output()));
        return 1;
    }
    if (!waitFor([&bridge] { return bridge.Statistics().connected; }, 70000)) {
        std::fprintf(stderr, "the bridge did not reconnect\n");
        return 1;
    }
    const double reconnectS = double(back.elapsed()) / 1e3;
    QElapsedTimer deliver;
    deliver.start();
    const double cpuBefore = cpuSeconds();
    const qint64 backlog = filled.queued;
    if (!waitFor([&bridge, backlog] { return bridge.Statistics().delivered >= backlog; }, 600000)) {
        std::fprintf(stderr, "the backlog was not delivered in 10 minutes\n");
        return 1;
    }
    const double deliverS = double(deliver.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("broker back: reconnected after %.1f s (the backoff)\n", reconnectS);
    std::printf("  backlog of %lld delivered (PUBACK) in %.2f s: %.0f readings/s, %.2f s CPU of this process\n",
                static_cast<long long>(backlog), deliverS, double(backlog) / deliverS, cpu);
    std::printf("  heap after delivery: %.2f MB above the start\n", double(heapInUse() - heapBefore) / 1e6);
    bridge.Stop(5000);
    broker.stop();
    return 0;
}
