// Round trip of one measurement exchange against the simulator over a
// pseudo-terminal: wall time (median, 99th percentile), CPU time of the
// exchanging thread, and heap allocations the exchange makes.
//
// Run by hand: build/bench/bench_exchange [count]
#include "dn_comport.h"
#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "fenwire_sim.h"

#include <QtCore/QCoreApplication>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <vector>

namespace {
thread_local bool t_counting = false;
thread_local long t_allocations = 0;
std::atomic<long> g_allocations{0};

double threadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}
} // namespace

void *operator new(std::size_t n)
{
    if (t_counting)
        ++t_allocations;
    ++g_allocations;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;

    fwsim::Config config;
    config.curve = false;
    fwsim::Simulator sim(config);
    if (!sim.start())
        return 1;
    TApdComPort port(1);
    port.SetDeviceName(sim.devicePath());

    // The first exchange opens the port; it is not what we measure.
    TRH_Parametry_Biezace d;
    int status = 0;
    GetCurrentMeasure(1, &port, status, d);

    std::vector<double> wall;
    double cpu = 0;
    long allocations = 0;
    long processAllocations = 0;
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const long before = g_allocations;
        const double c0 = threadCpuMs();
        const int64_t t0 = TickMS();
        t_allocations = 0;
        t_counting = true;
        GetCurrentMeasure(1, &port, status, d);
        t_counting = false;
        wall.push_back(double(TickMS() - t0));
        cpu += threadCpuMs() - c0;
        allocations += t_allocations;
        processAllocations += g_allocations - before;
        if (status != ST_OK)
            ++failures;
    }
    std::sort(wall.begin(), wall.end());
    const auto pct = [&](double p) { return wall[std::min(wall.size() - 1, size_t(p * wall.size()))]; };
    std::printf("exchanges %d (failed %d)\n", count, failures);
    std::printf("round trip: median %.0f ms, 99th percentile %.0f ms\n", pct(0.5), pct(0.99));
    std::printf("polling floor: 2 x 20 ms (one poll for the header, one for the rest)\n");
    std::printf("CPU of the exchanging thread: %.3f ms per exchange\n", cpu / count);
    std::printf("heap allocations per exchange: %.1f on the exchanging thread, %.1f in the process\n",
                double(allocations) / count, double(processAllocations) / count);
    return 0;
}
