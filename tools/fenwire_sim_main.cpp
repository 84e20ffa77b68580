// fenwire-sim: one simulated Fenwire device on a pseudo-terminal, for
// demonstrations and for technicians without a device at hand.

#include "dn_comport.h"
#include "fenwire_sim.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QSocketNotifier>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kExitBadOptions = 2;
constexpr int kMinAddress = 1;
constexpr int kMaxAddress = 247;
constexpr int kDefaultDelayMs = 500; // longer than one reply timeout of the measurement
constexpr int kTenthsMin = -32768;
constexpr int kTenthsMax = 32767;

// The rates a Fenwire transmitter and an FWDL unit can be set to.
const QList<int> kBauds{1200, 2400, 4800, 9600, 19200, 38400, 57600};

struct FaultRow {
    const char *name;
    fwsim::Fault fault;
};
constexpr FaultRow kFaultRows[] = {
    {"silence", fwsim::Fault::Silence}, {"crc", fwsim::Fault::BadCrc},        {"echo", fwsim::Fault::WrongEcho},
    {"partial", fwsim::Fault::Partial}, {"delay", fwsim::Fault::Delay},       {"length", fwsim::Fault::BadLength},
    {"garbage", fwsim::Fault::Garbage},
};

struct ParityRow {
    char letter;
    TParity parity;
};
constexpr ParityRow kParityRows[] = {{'N', TParity::None}, {'O', TParity::Odd}, {'E', TParity::Even}};

// The parity code a device reports: 0 none, 1 odd, 2 even.
int parityCode(TParity p)
{
    switch (p) {
    case TParity::Odd: return 1;
    case TParity::Even: return 2;
    default: return 0;
    }
}

// A signal handler may only write to a descriptor; the event loop reads the
// other end and quits in its own time.
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[0], &byte, 1);
}

class OptionError
{
public:
    explicit OptionError(QString text)
        : m_text(std::move(text))
    {
    }
    const QString &text() const { return m_text; }

private:
    QString m_text;
};

int intOption(const QCommandLineParser &p, const QString &name, int low, int high)
{
    bool ok = false;
    const int v = p.value(name).toInt(&ok);
    if (!ok || v < low || v > high)
        throw OptionError(QStringLiteral("--%1 must be a whole number from %2 to %3, not \"%4\"")
                              .arg(name)
                              .arg(low)
                              .arg(high)
                              .arg(p.value(name)));
    return v;
}

int baudValue(const QString &text, const QString &what)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || !kBauds.contains(v)) {
        QStringList rates;
        for (int b : kBauds)
            rates << QString::number(b);
        throw OptionError(
            QStringLiteral("%1 must be one of %2, not \"%3\"").arg(what, rates.join(QStringLiteral(", ")), text));
    }
    return v;
}

int tenthsOption(const QCommandLineParser &p, const QString &name)
{
    bool ok = false;
    const double v = p.value(name).toDouble(&ok);
    const double tenths = std::round(v * 10.0);
    if (!ok || !std::isfinite(v) || tenths < kTenthsMin || tenths > kTenthsMax)
        throw OptionError(QStringLiteral("--%1 must be a number from %2 to %3, not \"%4\"")
                              .arg(name)
                              .arg(kTenthsMin / 10.0)
                              .arg(kTenthsMax / 10.0)
                              .arg(p.value(name)));
    return int(tenths);
}

struct Settings {
    fwsim::Config config;
    QString link;
    fwsim::Fault fault = fwsim::Fault::None;
    std::optional<int> faultCount;
    double faultRate = 1.0;
    int faultParam = 0;
};

Settings readSettings(const QCommandLineParser &p)
{
    Settings s;
    fwsim::Config &c = s.config;
    if (p.isSet(QStringLiteral("kind"))) {
        const QString name = p.value(QStringLiteral("kind")).toLower();
        if (!fwsim::kindFromName(name, c.kind))
            throw OptionError(QStringLiteral("unknown --kind \"%1\"; use %2")
                                  .arg(p.value(QStringLiteral("kind")), fwsim::kindNames().join(QStringLiteral(", "))));
    }
    if (p.isSet(QStringLiteral("address")))
        c.address = intOption(p, QStringLiteral("address"), kMinAddress, kMaxAddress);
    if (p.isSet(QStringLiteral("baud")))
        c.baud = baudValue(p.value(QStringLiteral("baud")), QStringLiteral("--baud"));
    if (p.isSet(QStringLiteral("parity"))) {
        const QString v = p.value(QStringLiteral("parity")).toUpper();
        bool found = false;
        for (const ParityRow &row : kParityRows)
            if (v == QString(QLatin1Char(row.letter))) {
                c.parity = parityCode(row.parity);
                found = true;
            }
        if (!found)
            throw OptionError(
                QStringLiteral("--parity must be N, O or E, not \"%1\"").arg(p.value(QStringLiteral("parity"))));
    }
    c.fahrenheit = p.isSet(QStringLiteral("fahrenheit"));
    if (p.isSet(QStringLiteral("temperature"))) {
        c.temperature = tenthsOption(p, QStringLiteral("temperature"));
        c.curve = false;
    }
    if (p.isSet(QStringLiteral("humidity"))) {
        c.humidity = tenthsOption(p, QStringLiteral("humidity"));
        c.curve = false;
    }
    if (p.isSet(QStringLiteral("fwdl"))) {
        const QStringList parts = p.value(QStringLiteral("fwdl")).split(QLatin1Char(':'));
        bool ok = false;
        const int address = parts.value(0).toInt(&ok);
        if (parts.size() != 2 || !ok || address < kMinAddress || address > kMaxAddress)
            throw OptionError(QStringLiteral("--fwdl must be ADDRESS:BAUD with an address from %1 to %2, not \"%3\"")
                                  .arg(kMinAddress)
                                  .arg(kMaxAddress)
                                  .arg(p.value(QStringLiteral("fwdl"))));
        c.fwdl = true;
        c.fwdlAddress = address;
        c.fwdlBaud = baudValue(parts[1], QStringLiteral("the baud rate of --fwdl"));
    }
    c.charTime = p.isSet(QStringLiteral("char-time"));
    s.link = p.value(QStringLiteral("link"));

    const bool count = p.isSet(QStringLiteral("fault-count"));
    const bool rate = p.isSet(QStringLiteral("fault-rate"));
    if (p.isSet(QStringLiteral("fault"))) {
        const QString name = p.value(QStringLiteral("fault")).toLower();
        for (const FaultRow &row : kFaultRows)
            if (name == QLatin1String(row.name))
                s.fault = row.fault;
        if (s.fault == fwsim::Fault::None)
            throw OptionError(QStringLiteral("unknown --fault \"%1\"; use silence, crc, echo, partial, delay, "
                                             "length or garbage")
                                  .arg(p.value(QStringLiteral("fault"))));
        if (count && rate)
            throw OptionError(QStringLiteral("give --fault-count or --fault-rate, not both"));
        if (count)
            s.faultCount = intOption(p, QStringLiteral("fault-count"), 1, INT32_MAX);
        if (rate) {
            bool ok = false;
            s.faultRate = p.value(QStringLiteral("fault-rate")).toDouble(&ok);
            if (!ok || !(s.faultRate > 0.0 && s.faultRate <= 1.0))
                throw OptionError(QStringLiteral("--fault-rate must be a fraction above 0 and at most 1, not \"%1\"")
                                      .arg(p.value(QStringLiteral("fault-rate"))));
        }
        if (s.fault == fwsim::Fault::Delay)
            s.faultParam = p.isSet(QStringLiteral("delay-ms"))
                               ? intOption(p, QStringLiteral("delay-ms"), 0, INT32_MAX)
                               : kDefaultDelayMs;
        if (s.fault == fwsim::Fault::BadLength && p.isSet(QStringLiteral("length-field")))
            s.faultParam = intOption(p, QStringLiteral("length-field"), 0, 0xFFFF);
    } else if (count || rate || p.isSet(QStringLiteral("delay-ms")) || p.isSet(QStringLiteral("length-field"))) {
        throw OptionError(QStringLiteral("--fault-count, --fault-rate, --delay-ms and --length-field need --fault"));
    }
    return s;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fenwire-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                .arg(FENWIRE_VERSION_MAJOR)
                                                .arg(FENWIRE_VERSION_MINOR)
                                                .arg(FENWIRE_VERSION_PATCH));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulates one Fenwire device on a pseudo-terminal. Prints the device path (for example /dev/pts/5)\n"
        "and serves until stopped with Ctrl+C. Point Fenwire Monitor's port at that path, or at the --link path.\n"
        "The device answers at its own address and at the service address 247, only at its own baud rate.\n"
        "\n"
        "Examples:\n"
        "  fenwire-sim --kind fwt01 --temperature -20.5\n"
        "  fenwire-sim --address 5 --baud 19200 --link /tmp/fenwire0 --verbose\n"
        "  fenwire-sim --fault silence --fault-rate 0.2      (one reply in five goes missing)\n"
        "  fenwire-sim --fwdl 100:19200                      (behind an FWDL unit at address 100)"));
    const QCommandLineOption help = p.addHelpOption();
    const QCommandLineOption version = p.addVersionOption();
    p.addOptions({
        {QStringLiteral("kind"), QStringLiteral("Device: %1 (fwth01 by default).").arg(fwsim::kindNames().join(QStringLiteral(", "))),
         QStringLiteral("kind")},
        {QStringLiteral("address"), QStringLiteral("The device's RS-485 address, 1 to 247 (default 1)."),
         QStringLiteral("n")},
        {QStringLiteral("baud"), QStringLiteral("The device's baud rate, 1200 to 57600 (default 9600)."),
         QStringLiteral("rate")},
        {QStringLiteral("parity"), QStringLiteral("The parity the device reports: N, O or E (default N)."),
         QStringLiteral("N|O|E")},
        {QStringLiteral("fahrenheit"), QStringLiteral("Report temperatures in degrees Fahrenheit.")},
        {QStringLiteral("temperature"),
         QStringLiteral("A fixed temperature in degrees, e.g. -20.5, instead of the slow wave."), QStringLiteral("t")},
        {QStringLiteral("humidity"),
         QStringLiteral("A fixed humidity in percent, e.g. 45.3, instead of the slow wave."), QStringLiteral("h")},
        {QStringLiteral("link"), QStringLiteral("Also make PATH a symbolic link to the device (kept while running)."),
         QStringLiteral("path")},
        {QStringLiteral("fwdl"),
         QStringLiteral("Put the device behind an FWDL unit at ADDRESS:BAUD; it then hears one request after each "
                        "transparent-mode command."),
         QStringLiteral("address:baud")},
        {QStringLiteral("char-time"), QStringLiteral("Delay replies by the time their bytes take on a real line.")},
        {QStringLiteral("fault"),
         QStringLiteral("Misbehave: silence, crc (wrong CRC), echo (wrong sub-function), partial (4 bytes), delay, "
                        "length (bogus length field) or garbage. Every reply unless --fault-count or --fault-rate."),
         QStringLiteral("kind")},
        {QStringLiteral("fault-count"), QStringLiteral("Only the first N replies get the fault."), QStringLiteral("n")},
        {QStringLiteral("fault-rate"), QStringLiteral("This fraction of replies gets the fault, e.g. 0.1."),
         QStringLiteral("f")},
        {QStringLiteral("delay-ms"), QStringLiteral("How late a delayed reply comes (default 500)."),
         QStringLiteral("ms")},
        {QStringLiteral("length-field"), QStringLiteral("The frame length a bogus-length reply announces (default 3)."),
         QStringLiteral("n")},
        {QStringLiteral("verbose"), QStringLiteral("One line per request and reply on standard error.")},
    });

    if (!p.parse(app.arguments())) {
        std::fprintf(stderr, "fenwire-sim: %s\nTry fenwire-sim --help.\n", qPrintable(p.errorText()));
        return kExitBadOptions;
    }
    if (p.isSet(help))
        p.showHelp(0);
    if (p.isSet(version))
        p.showVersion();
    if (!p.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "fenwire-sim: unexpected argument \"%s\"\nTry fenwire-sim --help.\n",
                     qPrintable(p.positionalArguments().first()));
        return kExitBadOptions;
    }

    Settings settings;
    try {
        settings = readSettings(p);
    } catch (const OptionError &e) {
        std::fprintf(stderr, "fenwire-sim: %s\n", qPrintable(e.text()));
        return kExitBadOptions;
    }

    fwsim::Simulator sim(settings.config);
    if (p.isSet(QStringLiteral("verbose")))
        sim.setTrace([](const QString &line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
    if (settings.fault != fwsim::Fault::None) {
        if (settings.faultCount)
            sim.setFault(settings.fault, *settings.faultCount, settings.faultParam);
        else
            sim.setFaultRate(settings.fault, settings.faultRate, settings.faultParam);
    }

    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "fenwire-sim: %s\n", qPrintable(error));
        return 1;
    }
    if (!settings.link.isEmpty() && !sim.setLink(settings.link, &error)) {
        std::fprintf(stderr, "fenwire-sim: %s\n", qPrintable(error));
        return 1;
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        std::perror("fenwire-sim: socketpair");
        return 1;
    }
    QSocketNotifier stopper(g_signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&stopper, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::printf("%s\n", qPrintable(sim.devicePath()));
    std::fflush(stdout);
    if (p.isSet(QStringLiteral("verbose"))) {
        QString what = QStringLiteral("%1 at address %2, %3 baud")
                           .arg(fwsim::kindName(settings.config.kind))
                           .arg(settings.config.address)
                           .arg(settings.config.baud);
        if (!settings.link.isEmpty())
            what += QStringLiteral(", link ") + settings.link;
        std::fprintf(stderr, "fenwire-sim: %s\n", qPrintable(what));
    }

    const int rc = app.exec();
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    return rc;
}
