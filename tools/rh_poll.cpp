// rh_poll: the monitor's measurement cycle without a window, for scripts,
// logging and a technician's look at the line.
//
// It runs the monitor's measurement transaction the way the monitor does:
// one at a time, a tick that comes while one runs is dropped, and the
// reading is the record the transaction hands back when it has ended.
#include "dn_comport.h"
#include "poll_common.h"
#include "rh_poll_service.h"
#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "dn_transakcja.h"
#include "dn_transmisja.h"
#include "dn_urzadzenia.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QDateTime>
#include <QtCore/QSocketNotifier>
#include <QtCore/QTextStream>
#include <QtCore/QTimer>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kExitNoGoodReading = kExitFailed;

// The monitor's address bounds, but a poll of the broadcast address 0 would
// never be answered.
constexpr int kAdresPollMin = 1;

struct Options
{
    PortChoice port;
    int address = 1;
    int baud = 9600;
    TParity parity = TParity::None;
    bool fwdl = false;
    int fwdlAddress = 0;
    int fwdlBaud = 0;
    double interval = 1.0;
    int count = 0; // 0: until interrupted
    bool csv = false;
    bool trace = false;
};

// --- Ctrl+C ---------------------------------------------------------------------

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    (void)!::write(g_signalPipe[1], &c, 1);
}

// --- the polling cycle ------------------------------------------------------------

class Poller : public QObject
{
public:
    Poller(const Options &o, const TComPortTable &ports)
        : m_options(o)
        , m_ports(ports)
        , m_out(stdout)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(static_cast<int>(o.interval * 1000));
        connect(&m_timer, &QTimer::timeout, this, &Poller::tick);
        if (o.csv)
            m_out << "time,temperature,humidity,unit,status_byte,mode_byte,status,text,cause\n" << Qt::flush;
    }

    void start()
    {
        m_timer.start();
        tick();
    }

    // Ends after the transaction that runs now, if any.
    void stop()
    {
        m_stopping = true;
        m_timer.stop();
        finishIfIdle();
    }

    int exitCode() const { return m_goodReadings > 0 ? 0 : kExitNoGoodReading; }

private:
    void tick()
    {
        if (m_running || m_stopping)
            return; // dropped, not queued: one transaction at a time
        m_record.PrzezCentralke = m_options.fwdl;
        m_record.FwdlAdres = m_options.fwdlAddress;
        m_record.FwdlPredk = m_options.fwdlBaud;
        m_record.Status_Transmisji = kRecordPending;
        StartTransakcja<TTHR_RH_Get_Current_Measure, TRH_Parametry_Biezace>(
            this, m_ports, {m_options.port.com, m_options.address, m_options.baud}, m_record,
            [this](const TRH_Parametry_Biezace &reading, int) {
                m_record = reading;
                printReading();
                m_running = false;
                ++m_ended;
                if (m_options.count > 0 && m_ended >= m_options.count)
                    stop();
                finishIfIdle();
            });
        m_running = true;
    }

    void printReading()
    {
        const TRH_Parametry_Biezace r = m_record;
        if (r.Status_Transmisji == ST_OK)
            ++m_goodReadings;
        const auto tenths = [](int16_t v) {
            return v == kNoValue ? QString() : QString::number(v / 10.0, 'f', 1);
        };
        const QString unit = (r.Status & kStatusFahrenheit) ? QStringLiteral("F") : QStringLiteral("C");
        const QString time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
        const QString st = QStringLiteral("0x%1").arg(r.Status, 2, 16, QLatin1Char('0'));
        const QString mode = QStringLiteral("0x%1").arg(r.TrybPracy, 2, 16, QLatin1Char('0'));
        countFailure(r.Status_Transmisji, r.Przyczyna);
        if (m_options.csv) {
            // The status and its text as the monitor knows them, then why.
            m_out << time << ',' << tenths(r.Temperatura) << ',' << tenths(r.Wilgotnosc) << ',' << unit << ',' << st
                  << ',' << mode << ',' << r.Status_Transmisji << ",\"" << Get_Trans_Error_Str(r.Status_Transmisji)
                  << "\",\"" << causeField(r.Przyczyna) << "\"\n";
        } else {
            m_out << time << "  T " << tenths(r.Temperatura).rightJustified(6) << "  RH "
                  << tenths(r.Wilgotnosc).rightJustified(5) << "  " << unit << "  status " << st << "  mode " << mode
                  << "  " << outcomeText(r.Status_Transmisji, r.Przyczyna) << '\n';
        }
        m_out.flush();
    }

    void finishIfIdle()
    {
        if (m_stopping && !m_running)
            QCoreApplication::exit(exitCode());
    }

    const Options m_options;
    const TComPortTable m_ports;
    TRH_Parametry_Biezace m_record;
    QTimer m_timer;
    bool m_running = false;
    bool m_stopping = false;
    int m_ended = 0;
    int m_goodReadings = 0;
    QTextStream m_out;
};

Options parseOptions(const QStringList &args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Polls a Fenwire transmitter for its current reading, one request at a time, and prints one line\n"
        "per reading: local time, temperature, humidity (empty when the device gave none), unit, the\n"
        "device's status and mode bytes, and the transaction status with its text.\n\n"
        "Service commands (rh_poll COMMAND --help for each): identify, params, set-params, service-mode,\n"
        "adc-read, adc-write, find."));
    addCommonOptions(p);
    p.addOptions({
        {QStringLiteral("address"), QStringLiteral("Device address, %1 to %2.").arg(kAdresPollMin).arg(kAdresyMonitora.Max),
         QStringLiteral("n"), QStringLiteral("1")},
        {QStringLiteral("baud"), QStringLiteral("Baud rate."), QStringLiteral("rate"), QStringLiteral("9600")},
        {QStringLiteral("parity"), QStringLiteral("N, O or E."), QStringLiteral("p"), QStringLiteral("N")},
        {QStringLiteral("fwdl"), QStringLiteral("Reach the device through an FWDL unit at this address and baud rate."),
         QStringLiteral("address:baud")},
        {QStringLiteral("interval"), QStringLiteral("Seconds between requests."), QStringLiteral("s"), QStringLiteral("1")},
        {QStringLiteral("count"), QStringLiteral("Stop after this many readings."), QStringLiteral("n")},
        {QStringLiteral("csv"), QStringLiteral("Comma-separated output with a header line.")},
    });
    parseOrFail(p, args);

    Options o;
    o.port = parsePort(p.value(QStringLiteral("port")));
    o.address = parseInt(p.value(QStringLiteral("address")), QStringLiteral("--address"), kAdresPollMin,
                         kAdresyMonitora.Max);
    o.baud = parseInt(p.value(QStringLiteral("baud")), QStringLiteral("--baud"), 50, 4000000);
    o.parity = parseParity(p.value(QStringLiteral("parity")), QStringLiteral("--parity"));
    if (p.isSet(QStringLiteral("fwdl"))) {
        const QString v = p.value(QStringLiteral("fwdl"));
        const QStringList parts = v.split(QLatin1Char(':'));
        if (parts.size() != 2)
            fail(QStringLiteral("--fwdl takes ADDRESS:BAUD, not '%1'").arg(v));
        o.fwdl = true;
        o.fwdlAddress = parseInt(parts.at(0), QStringLiteral("the FWDL address"), kAdresPollMin, kAdresyMonitora.Max);
        o.fwdlBaud = parseInt(parts.at(1), QStringLiteral("the FWDL baud rate"), 50, 4000000);
    }
    bool ok = false;
    const QString interval = p.value(QStringLiteral("interval"));
    o.interval = interval.toDouble(&ok);
    if (!ok || o.interval < 0.05 || o.interval > 86400)
        fail(QStringLiteral("--interval takes seconds from 0.05 to 86400, not '%1'").arg(interval));
    if (p.isSet(QStringLiteral("count")))
        o.count = parseInt(p.value(QStringLiteral("count")), QStringLiteral("--count"), 1, 100000000);
    o.csv = p.isSet(QStringLiteral("csv"));
    o.trace = p.isSet(QStringLiteral("trace"));
    return o;
}

int runPoll(const QStringList &args)
{
    const Options o = parseOptions(args);

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return kExitFailed;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    TApdComPorts ports;
    if (!o.port.device.isEmpty())
        ports.port(o.port.com).SetDeviceName(o.port.device);
    try {
        ports.port(o.port.com).SetParity(o.parity);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "rh_poll: parity: %s\n", e.what());
    }
    Tab_ApdComPort = ports.table();

    Poller poller(o, ports.table());
    QSocketNotifier interrupted(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupted, &QSocketNotifier::activated, &poller, [&] {
        char c;
        (void)!::read(g_signalPipe[0], &c, 1);
        poller.stop();
    });
    QTimer::singleShot(0, &poller, &Poller::start);
    const int code = QCoreApplication::exec();
    Tab_ApdComPort = {};
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rh_poll"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FENWIRE_VERSION_TEXT));

    // "rh_poll COMMAND [options]"; without a command it polls.
    QStringList args = app.arguments();
    QString command;
    if (args.size() > 1 && !args.at(1).startsWith(QLatin1Char('-')))
        command = args.takeAt(1);

    bool trace = false;
    for (const QString &a : args)
        trace = trace || a == QLatin1String("--trace");
    installLineTrace(trace);

    int code;
    if (command.isEmpty() || command == QLatin1String("poll")) {
        code = runPoll(args);
    } else {
        code = runServiceCommand(command, args);
    }
    SetLinkTraceHook(nullptr);
    printLineSummary();
    return code;
}
