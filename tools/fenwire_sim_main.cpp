// fenwire-sim: simulated Fenwire devices on one line on a pseudo-terminal,
// for demonstrations and for technicians without a device at hand.

#include "dn_comport.h"
#include "fenwire_sim.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QHash>
#include <QtCore/QSocketNotifier>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/socket.h>
#include <vector>
#include <unistd.h>

namespace {

constexpr int kExitBadOptions = 2;
constexpr int kMinAddress = 1;
constexpr int kMaxAddress = 247;
constexpr int kDefaultDelayMs = 500; // longer than one reply timeout of the measurement
constexpr int kTenthsMin = -32768;
constexpr int kTenthsMax = 32767;
// A turnaround beyond any reply timeout of the program is a silent device.
constexpr int kMaxTurnaroundMs = 60000;

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

// Option values by name, from the command line or from one --device list:
// both speak of a device with the same names.
class Values
{
public:
    explicit Values(QString dashes)
        : m_dashes(std::move(dashes))
    {
    }
    bool has(const QString &key) const { return m_values.contains(key); }
    QString value(const QString &key) const { return m_values.value(key); }
    void set(const QString &key, const QString &value) { m_values.insert(key, value); }
    // The name as the user wrote it: "--address" on the command line, "address" in a list.
    QString name(const QString &key) const { return m_dashes + key; }

private:
    QHash<QString, QString> m_values;
    QString m_dashes;
};

// The names that describe one device.
const QStringList kDeviceKeys{
    QStringLiteral("kind"),       QStringLiteral("address"),     QStringLiteral("baud"),
    QStringLiteral("parity"),     QStringLiteral("fahrenheit"),  QStringLiteral("temperature"),
    QStringLiteral("humidity"),   QStringLiteral("fwdl"),        QStringLiteral("turnaround"),
    QStringLiteral("fault"),      QStringLiteral("fault-count"), QStringLiteral("fault-rate"),
    QStringLiteral("delay-ms"),   QStringLiteral("length-field"),
};
const QStringList kFlagKeys{QStringLiteral("fahrenheit")};
const QStringList kFaultKeys{QStringLiteral("fault"), QStringLiteral("fault-count"), QStringLiteral("fault-rate"),
                             QStringLiteral("delay-ms"), QStringLiteral("length-field")};

int intValue(const Values &v, const QString &key, int low, int high)
{
    bool ok = false;
    const int n = v.value(key).toInt(&ok);
    if (!ok || n < low || n > high)
        throw OptionError(QStringLiteral("%1 must be a whole number from %2 to %3, not \"%4\"")
                              .arg(v.name(key))
                              .arg(low)
                              .arg(high)
                              .arg(v.value(key)));
    return n;
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

int tenthsValue(const Values &v, const QString &key)
{
    bool ok = false;
    const double n = v.value(key).toDouble(&ok);
    const double tenths = std::round(n * 10.0);
    if (!ok || !std::isfinite(n) || tenths < kTenthsMin || tenths > kTenthsMax)
        throw OptionError(QStringLiteral("%1 must be a number from %2 to %3, not \"%4\"")
                              .arg(v.name(key))
                              .arg(kTenthsMin / 10.0)
                              .arg(kTenthsMax / 10.0)
                              .arg(v.value(key)));
    return int(tenths);
}

// One device as the options describe it, with the fault it starts with.
struct Device {
    fwsim::Config config;
    fwsim::Fault fault = fwsim::Fault::None;
    std::optional<int> faultCount;
    double faultRate = 1.0;
    int faultParam = 0;
    QString given; // the --device list it came from, for messages
};

// Changes what the values give and keeps the rest of the device as it is.
void readDevice(const Values &v, Device &d)
{
    fwsim::Config &c = d.config;
    const QString kind = QStringLiteral("kind");
    if (v.has(kind) && !fwsim::kindFromName(v.value(kind).toLower(), c.kind))
        throw OptionError(QStringLiteral("unknown %1 \"%2\"; use %3")
                              .arg(v.name(kind), v.value(kind), fwsim::kindNames().join(QStringLiteral(", "))));
    if (v.has(QStringLiteral("address")))
        c.address = intValue(v, QStringLiteral("address"), kMinAddress, kMaxAddress);
    if (v.has(QStringLiteral("baud")))
        c.baud = baudValue(v.value(QStringLiteral("baud")), v.name(QStringLiteral("baud")));
    if (v.has(QStringLiteral("parity"))) {
        const QString text = v.value(QStringLiteral("parity")).toUpper();
        bool found = false;
        for (const ParityRow &row : kParityRows)
            if (text == QString(QLatin1Char(row.letter))) {
                c.parity = parityCode(row.parity);
                found = true;
            }
        if (!found)
            throw OptionError(QStringLiteral("%1 must be N, O or E, not \"%2\"")
                                  .arg(v.name(QStringLiteral("parity")), v.value(QStringLiteral("parity"))));
    }
    if (v.has(QStringLiteral("fahrenheit")))
        c.fahrenheit = true;
    if (v.has(QStringLiteral("temperature"))) {
        c.temperature = tenthsValue(v, QStringLiteral("temperature"));
        c.curve = false;
    }
    if (v.has(QStringLiteral("humidity"))) {
        c.humidity = tenthsValue(v, QStringLiteral("humidity"));
        c.curve = false;
    }
    if (v.has(QStringLiteral("fwdl"))) {
        const QString name = v.name(QStringLiteral("fwdl"));
        const QString text = v.value(QStringLiteral("fwdl"));
        const QStringList parts = text.split(QLatin1Char(':'));
        bool ok = false;
        const int address = parts.value(0).toInt(&ok);
        if (parts.size() != 2 || !ok || address < kMinAddress || address > kMaxAddress)
            throw OptionError(QStringLiteral("%1 must be ADDRESS:BAUD with an address from %2 to %3, not \"%4\"")
                                  .arg(name)
                                  .arg(kMinAddress)
                                  .arg(kMaxAddress)
                                  .arg(text));
        c.fwdl = true;
        c.fwdlAddress = address;
        c.fwdlBaud = baudValue(parts[1], QStringLiteral("the baud rate of ") + name);
    }
    if (v.has(QStringLiteral("turnaround")))
        c.turnaroundMs = intValue(v, QStringLiteral("turnaround"), 0, kMaxTurnaroundMs);

    // A device's own fault replaces the one it would take from the command line.
    const bool anyFault = std::any_of(kFaultKeys.begin(), kFaultKeys.end(), [&v](const QString &k) { return v.has(k); });
    if (!anyFault)
        return;
    d.fault = fwsim::Fault::None;
    d.faultCount.reset();
    d.faultRate = 1.0;
    d.faultParam = 0;
    const bool count = v.has(QStringLiteral("fault-count"));
    const bool rate = v.has(QStringLiteral("fault-rate"));
    if (!v.has(QStringLiteral("fault")))
        throw OptionError(QStringLiteral("%1, %2, %3 and %4 need %5")
                              .arg(v.name(QStringLiteral("fault-count")), v.name(QStringLiteral("fault-rate")),
                                   v.name(QStringLiteral("delay-ms")), v.name(QStringLiteral("length-field")),
                                   v.name(QStringLiteral("fault"))));
    const QString name = v.value(QStringLiteral("fault")).toLower();
    for (const FaultRow &row : kFaultRows)
        if (name == QLatin1String(row.name))
            d.fault = row.fault;
    if (d.fault == fwsim::Fault::None)
        throw OptionError(QStringLiteral("unknown %1 \"%2\"; use silence, crc, echo, partial, delay, length or garbage")
                              .arg(v.name(QStringLiteral("fault")), v.value(QStringLiteral("fault"))));
    if (count && rate)
        throw OptionError(QStringLiteral("give %1 or %2, not both")
                              .arg(v.name(QStringLiteral("fault-count")), v.name(QStringLiteral("fault-rate"))));
    if (count)
        d.faultCount = intValue(v, QStringLiteral("fault-count"), 1, INT32_MAX);
    if (rate) {
        bool ok = false;
        d.faultRate = v.value(QStringLiteral("fault-rate")).toDouble(&ok);
        if (!ok || !(d.faultRate > 0.0 && d.faultRate <= 1.0))
            throw OptionError(QStringLiteral("%1 must be a fraction above 0 and at most 1, not \"%2\"")
                                  .arg(v.name(QStringLiteral("fault-rate")), v.value(QStringLiteral("fault-rate"))));
    }
    if (d.fault == fwsim::Fault::Delay)
        d.faultParam = v.has(QStringLiteral("delay-ms")) ? intValue(v, QStringLiteral("delay-ms"), 0, INT32_MAX)
                                                         : kDefaultDelayMs;
    if (d.fault == fwsim::Fault::BadLength && v.has(QStringLiteral("length-field")))
        d.faultParam = intValue(v, QStringLiteral("length-field"), 0, 0xFFFF);
}

// KIND[@ADDRESS][,KEY=VALUE...]: the first item may name the kind and the
// address; every other item is a device option without its dashes.
Values deviceList(const QString &text)
{
    Values v{QString()};
    if (text.trimmed().isEmpty())
        throw OptionError(QStringLiteral("the list is empty; give at least a kind, e.g. fwth01@3"));
    const QStringList items = text.split(QLatin1Char(','));
    for (int i = 0; i < items.size(); ++i) {
        const QString item = items[i].trimmed();
        if (item.isEmpty())
            throw OptionError(QStringLiteral("an empty item"));
        const int eq = int(item.indexOf(QLatin1Char('=')));
        QList<QPair<QString, QString>> pairs;
        if (eq < 0 && kFlagKeys.contains(item.toLower())) {
            pairs.append({item.toLower(), QString()});
        } else if (eq < 0 && i == 0) {
            const int at = int(item.indexOf(QLatin1Char('@')));
            pairs.append({QStringLiteral("kind"), item.left(at < 0 ? item.size() : at)});
            if (at >= 0)
                pairs.append({QStringLiteral("address"), item.mid(at + 1)});
        } else if (eq < 0) {
            throw OptionError(QStringLiteral("\"%1\" is not KEY=VALUE").arg(item));
        } else {
            const QString key = item.left(eq).trimmed().toLower();
            if (!kDeviceKeys.contains(key))
                throw OptionError(QStringLiteral("unknown key \"%1\"; use %2")
                                      .arg(item.left(eq).trimmed(), kDeviceKeys.join(QStringLiteral(", "))));
            if (kFlagKeys.contains(key))
                throw OptionError(QStringLiteral("%1 takes no value").arg(key));
            pairs.append({key, item.mid(eq + 1).trimmed()});
        }
        for (const auto &pair : pairs) {
            if (v.has(pair.first))
                throw OptionError(QStringLiteral("%1 given twice").arg(pair.first));
            v.set(pair.first, pair.second);
        }
    }
    return v;
}

struct Settings {
    std::vector<Device> devices;
    QString link;
};

Settings readSettings(const QCommandLineParser &p)
{
    // The device options of the command line describe the one device, or
    // with --device the defaults of every device in the lists.
    Values given{QStringLiteral("--")};
    for (const QString &key : kDeviceKeys)
        if (p.isSet(key))
            given.set(key, p.value(key));
    Device base;
    readDevice(given, base);
    base.config.charTime = p.isSet(QStringLiteral("char-time"));
    base.config.echo = p.isSet(QStringLiteral("echo"));

    Settings s;
    s.link = p.value(QStringLiteral("link"));
    for (const QString &text : p.values(QStringLiteral("device"))) {
        Device d = base;
        d.given = text;
        try {
            readDevice(deviceList(text), d);
        } catch (const OptionError &e) {
            throw OptionError(QStringLiteral("--device \"%1\": %2").arg(text, e.text()));
        }
        s.devices.push_back(d);
    }
    if (s.devices.empty())
        s.devices.push_back(base);

    // Two devices at one address would answer the same frames at once (and
    // the faults of the command line go to a device by its address); a
    // unit has one baud rate whoever stands behind it.
    for (size_t i = 0; i < s.devices.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            const fwsim::Config &a = s.devices[j].config;
            const fwsim::Config &b = s.devices[i].config;
            if (a.address == b.address)
                throw OptionError(QStringLiteral("--device \"%1\" and --device \"%2\" are both at address %3; "
                                                 "every device needs an address of its own")
                                      .arg(s.devices[j].given, s.devices[i].given)
                                      .arg(a.address));
            if (a.fwdl && b.fwdl && a.fwdlAddress == b.fwdlAddress && a.fwdlBaud != b.fwdlBaud)
                throw OptionError(QStringLiteral("--device \"%1\" and --device \"%2\" put the FWDL unit at address "
                                                 "%3 at %4 and %5 baud; one unit has one baud rate")
                                      .arg(s.devices[j].given, s.devices[i].given)
                                      .arg(a.fwdlAddress)
                                      .arg(a.fwdlBaud)
                                      .arg(b.fwdlBaud));
        }
    }
    return s;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fenwire-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3.%4")
                                                .arg(FENWIRE_VERSION_MAJOR)
                                                .arg(FENWIRE_VERSION_MINOR)
                                                .arg(FENWIRE_VERSION_PATCH)
                                                .arg(FENWIRE_VERSION_BUILD));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulates Fenwire devices on one RS-485 line on a pseudo-terminal. Prints the device path (for example\n"
        "/dev/pts/5) and serves until stopped with Ctrl+C. Point Fenwire Monitor's port at that path, or at the\n"
        "--link path. A device answers at its own address and at the service address 247, only at its own baud\n"
        "rate.\n"
        "\n"
        "Several devices: give --device once for each, as KIND[@ADDRESS][,KEY=VALUE...]. The keys are the\n"
        "device options below without their dashes (kind, address, baud, parity, temperature, humidity,\n"
        "fahrenheit without a value, fwdl, turnaround, fault, fault-count, fault-rate, delay-ms, length-field);\n"
        "those options given outside --device are the defaults of every device, and a device's own fault\n"
        "replaces the default one. Every device needs an address of its own. At the service address 247 only\n"
        "one device may answer, as on a real line: the first in the list that hears the frame (at its baud\n"
        "rate) and would reply. --char-time, --echo and --link belong to the line.\n"
        "\n"
        "Examples:\n"
        "  fenwire-sim --kind fwt01 --temperature -20.5\n"
        "  fenwire-sim --address 5 --baud 19200 --link /tmp/fenwire0 --verbose\n"
        "  fenwire-sim --fault silence --fault-rate 0.2      (one reply in five goes missing)\n"
        "  fenwire-sim --fwdl 100:19200                      (behind an FWDL unit at address 100)\n"
        "  fenwire-sim --device fwth01@1 --device fwt01@2,temperature=-20.5 \\\n"
        "              --device kind=fwadc01,address=3,fault=crc,fault-rate=0.01\n"
        "  fenwire-sim --char-time --echo                    (the timing of the line, an adapter that echoes)"));
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
        {QStringLiteral("device"),
         QStringLiteral("One device of the line: KIND[@ADDRESS][,KEY=VALUE...], e.g. fwt01@2,temperature=-20.5 "
                        "(see above). Repeat for each device."),
         QStringLiteral("list")},
        {QStringLiteral("turnaround"),
         QStringLiteral("How long a device waits between a request and its reply, 0 to %1 ms (default 5).")
             .arg(kMaxTurnaroundMs),
         QStringLiteral("ms")},
        {QStringLiteral("char-time"),
         QStringLiteral("Model the time bytes take on the line: a reply waits until the request would have left "
                        "it, and its bytes come at the line's pace.")},
        {QStringLiteral("echo"),
         QStringLiteral("Hand every byte received straight back, at any baud rate, as a two-wire adapter that hears "
                        "its own transmitter does.")},
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

    std::vector<fwsim::Config> configs;
    for (const Device &d : settings.devices)
        configs.push_back(d.config);
    fwsim::Simulator sim(configs);
    if (p.isSet(QStringLiteral("verbose")))
        sim.setTrace([](const QString &line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
    // Every device has an address of its own, so the address finds it.
    for (const Device &d : settings.devices) {
        if (d.fault == fwsim::Fault::None)
            continue;
        if (d.faultCount)
            sim.setFault(d.config.address, d.fault, *d.faultCount, d.faultParam);
        else
            sim.setFaultRate(d.config.address, d.fault, d.faultRate, d.faultParam);
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
        for (const Device &d : settings.devices) {
            QString what = QStringLiteral("%1 at address %2, %3 baud")
                               .arg(fwsim::kindName(d.config.kind))
                               .arg(d.config.address)
                               .arg(d.config.baud);
            if (d.config.fwdl)
                what += QStringLiteral(", behind the FWDL unit at %1:%2").arg(d.config.fwdlAddress).arg(d.config.fwdlBaud);
            std::fprintf(stderr, "fenwire-sim: %s\n", qPrintable(what));
        }
        if (!settings.link.isEmpty())
            std::fprintf(stderr, "fenwire-sim: link %s\n", qPrintable(settings.link));
    }

    const int rc = app.exec();
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    return rc;
}
