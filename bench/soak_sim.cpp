// The line of bench/soak.sh: one FWTH-01 at address 1, 9600 baud, on a
// pseudo-terminal behind a link, that spoils a random few of its replies -
// about 1 % with a bad CRC, 0.5 % not at all, 0.2 % cut short, 0.1 % as
// garbage and 0.1 % with a bogus length field - and times the polls it sees.
// On SIGTERM or SIGINT it prints what it saw and ends.
//
//   build/bench/soak_sim LINK [SEED]
#include "dn_tools.h"
#include "fenwire_sim.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

namespace {

struct FaultShare
{
    fwsim::Fault fault;
    double share;
    const char *name;
};
constexpr std::array<FaultShare, 5> kFaults{{
    {fwsim::Fault::BadCrc, 0.010, "bad CRC"},
    {fwsim::Fault::Silence, 0.005, "silence"},
    {fwsim::Fault::Partial, 0.002, "partial"},
    {fwsim::Fault::Garbage, 0.001, "garbage"},
    {fwsim::Fault::BadLength, 0.001, "bogus length"},
}};
// The bogus length fields: below any frame, and beyond any buffer.
constexpr std::array<int, 2> kBogusLengths{3, 600};
// The request log is looked at this often: well inside the pause between a
// failed attempt and the next, so the next request gets the fault drawn.
constexpr int kWatchStepMs = 2;
constexpr uint32_t kDefaultSeed = 0x50AC;

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int)
{
    g_stop = 1;
}

double percentile(std::vector<int64_t> sorted, double p)
{
    if (sorted.empty())
        return 0;
    std::sort(sorted.begin(), sorted.end());
    return double(sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))]);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: soak_sim LINK [SEED]\n");
        return 2;
    }
    const uint32_t seed = argc > 2 ? uint32_t(std::strtoul(argv[2], nullptr, 0)) : kDefaultSeed;
    fwsim::Simulator sim;
    QString error;
    if (!sim.start(&error) || !sim.setLink(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "soak_sim: %s\n", qPrintable(error));
        return 1;
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> draw(0.0, 1.0);
    std::array<int, kFaults.size()> faulted{};
    int requests = 0;
    bool spoiled = false;     // a fault was drawn for the request to come
    bool previousGood = true; // the request before got a good reply
    std::vector<int64_t> pollStarts;
    int seen = 0;
    while (!g_stop) {
        const QList<fwsim::Request> log = sim.requests();
        for (; seen < log.size(); ++seen) {
            ++requests;
            // A poll starts with the request after a good reply; the others
            // are its further attempts.
            if (previousGood)
                pollStarts.push_back(log.at(seen).atMs);
            previousGood = log.at(seen).answered && !spoiled;
            const double u = draw(rng);
            double edge = 0;
            spoiled = false;
            for (size_t i = 0; i < kFaults.size(); ++i) {
                edge += kFaults[i].share;
                if (u < edge) {
                    const int param = kFaults[i].fault == fwsim::Fault::BadLength ? kBogusLengths[rng() % 2] : 0;
                    sim.setFault(kFaults[i].fault, 1, param);
                    ++faulted[i];
                    spoiled = true;
                    break;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kWatchStepMs));
    }

    std::vector<int64_t> periods;
    for (size_t i = 1; i < pollStarts.size(); ++i)
        periods.push_back(pollStarts[i] - pollStarts[i - 1]);
    std::printf("requests %d, faults drawn:", requests);
    for (size_t i = 0; i < kFaults.size(); ++i)
        std::printf("%s %s %d", i ? "," : "", kFaults[i].name, faulted[i]);
    std::printf("\n");
    std::printf("poll period over %zu polls: median %.0f ms, 1st percentile %.0f ms, 99th percentile %.0f ms, "
                "longest gap %.0f ms\n",
                periods.size(), percentile(periods, 0.5), percentile(periods, 0.01), percentile(periods, 0.99),
                periods.empty() ? 0.0 : double(*std::max_element(periods.begin(), periods.end())));
    return 0;
}
