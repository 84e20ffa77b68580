// Round trip of one measurement exchange against the simulator over a
// pseudo-terminal: wall time (median, 99th percentile) beside the floor the
// line itself sets, CPU time of the exchanging thread, and heap allocations
// the exchange makes. Four lines: a bare pty (bytes cross at once) without
// and with the device's turnaround, and a 9600 baud line whose bytes take
// their wire time, without and with an adapter that echoes.
//
// Run by hand: build/bench/bench_exchange [count]
#include "dn_comport.h"
#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "fenwire_sim.h"

#include <QtCore/QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <vector>

namespace {
thread_local bool t_counting = false;
thread_local long t_allocations = 0;
std::atomic<long> g_allocations{0};

// The simulator's line: 11 bits a character (start, 8 data, 2 stop), the
// measurement request 7 characters and an FWTH-01's reply 13.
constexpr int kBitsPerChar = 11;
constexpr int kRequestChars = 7;
constexpr int kReplyChars = 13;
constexpr int kLineBaud = 9600;
constexpr int kTurnaroundMs = 5;

double threadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double wireMs(int chars, int baud)
{
    return chars * kBitsPerChar * 1000.0 / baud;
}

struct Line
{
    const char *name;
    bool charTime;
    int turnaroundMs;
    bool echo;
};

void measure(const Line &line, int count)
{
    fwsim::Config config;
    config.curve = false;
    config.charTime = line.charTime;
    config.turnaroundMs = line.turnaroundMs;
    config.echo = line.echo;
    fwsim::Simulator sim(config);
    if (!sim.start()) {
        std::printf("%s: the simulator did not start\n", line.name);
        return;
    }
    TApdComPort port(1); // 9600 baud, as the simulated device
    port.SetDeviceName(sim.devicePath());

    // The first exchange opens the port (and learns an echo); it is not
    // what we measure.
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
        const double t0 = nowMs();
        t_allocations = 0;
        t_counting = true;
        GetCurrentMeasure(1, &port, status, d);
        t_counting = false;
        wall.push_back(nowMs() - t0);
        cpu += threadCpuMs() - c0;
        allocations += t_allocations;
        processAllocations += g_allocations - before;
        if (status != ST_OK)
            ++failures;
    }
    std::sort(wall.begin(), wall.end());
    const auto pct = [&](double p) { return wall[std::min(wall.size() - 1, size_t(p * wall.size()))]; };
    const double request = line.charTime ? wireMs(kRequestChars, kLineBaud) : 0;
    const double reply = line.charTime ? wireMs(kReplyChars, kLineBaud) : 0;
    const double floor = request + line.turnaroundMs + reply;
    std::printf("%s (%d exchanges, %d failed%s)\n", line.name, count, failures,
                line.echo && port.EchoesTransmission() ? ", echo learned" : "");
    std::printf("  round trip: median %.1f ms, 99th percentile %.1f ms\n", pct(0.5), pct(0.99));
    if (floor > 0)
        std::printf("  floor:      %.1f ms (request %.1f + turnaround %d + reply %.1f): median %.2f x, "
                    "99th percentile %.2f x\n",
                    floor, request, line.turnaroundMs, reply, pct(0.5) / floor, pct(0.99) / floor);
    else
        std::printf("  floor:      0 ms (bytes cross the pty at once, no turnaround)\n");
    std::printf("  CPU of the exchanging thread: %.3f ms per exchange\n", cpu / count);
    std::printf("  heap allocations per exchange: %.1f on the exchanging thread, %.1f in the process\n",
                double(allocations) / count, double(processAllocations) / count);
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
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const Line lines[] = {
        {"bare pty, no turnaround", false, 0, false},
        {"bare pty, 5 ms turnaround", false, kTurnaroundMs, false},
        {"9600 baud line, 5 ms turnaround", true, kTurnaroundMs, false},
        {"9600 baud line, 5 ms turnaround, adapter that echoes", true, kTurnaroundMs, true},
    };
    for (const Line &line : lines)
        measure(line, count);
    return 0;
}
