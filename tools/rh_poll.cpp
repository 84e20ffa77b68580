// rh_poll: the monitor's measurement cycle without a window, for scripts,
// logging and a technician's look at the line.
//
// It uses the transaction classes and completion path of the monitor: one
// measurement transaction at a time, a tick that comes while one runs is
// dropped, and the reading is taken from the record when the completion
// event arrives.
#include "dn_comport.h"
#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "dn_transmisja.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QDateTime>
#include <QtCore/QMutex>
#include <QtCore/QRegularExpression>
#include <QtCore/QSocketNotifier>
#include <QtCore/QTextStream>
#include <QtCore/QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kExitBadArguments = 2;
constexpr int kExitNoGoodReading = 1;

struct Options
{
    int com = 1;
    QString device; // a path instead of the COM map
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

[[noreturn]] void fail(const QString &why)
{
    std::fprintf(stderr, "rh_poll: %s\n", qPrintable(why));
    std::exit(kExitBadArguments);
}

int parseInt(const QString &text, const char *what, int low, int high)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high)
        fail(QStringLiteral("%1 must be a whole number from %2 to %3, not '%4'").arg(QLatin1String(what)).arg(low).arg(high).arg(text));
    return v;
}

// --- what the line does -------------------------------------------------------

QString subFunctionName(uint8_t fun, uint8_t sub)
{
    switch (sub) {
    case SF_MEASURE: return QStringLiteral("measurement");
    case SF_PARAMS_WRITE: return QStringLiteral("parameters write");
    case SF_UNIT_WRITE: return QStringLiteral("unit write");
    case SF_RANGES_020_WRITE: return QStringLiteral("0-20 mA ranges write");
    case SF_RANGES_420_WRITE: return QStringLiteral("4-20 mA ranges write");
    case SF_FWDL_TRANSPARENT: return QStringLiteral("transparent mode");
    case SF_IDENTIFY: return QStringLiteral("identification");
    case SF_PARAMS_READ: return QStringLiteral("parameters read");
    case SF_ADC_TYPES_READ: return QStringLiteral("channel types read");
    case SF_ADC_TYPE_WRITE: return QStringLiteral("channel type write");
    case SF_ADC_CONFIG_READ: return QStringLiteral("configuration read");
    case SF_SERVICE_MODE: return QStringLiteral("service mode");
    default: return QStringLiteral("function %1 sub-function %2").arg(fun).arg(sub);
    }
}

struct LineStats
{
    QMutex mutex;
    bool trace = false;
    int requests = 0;
    int good = 0;
    int timeouts = 0;
    int crcErrors = 0;
    int wrongEchoes = 0;
    uint8_t lastHeader[3] = {};
    int64_t sentAt = 0;
    std::vector<int64_t> roundTrips;
};

LineStats &stats()
{
    static LineStats s;
    return s;
}

QString hex(const uint8_t *bytes, int count)
{
    return QByteArray(reinterpret_cast<const char *>(bytes), count).toHex(' ').toUpper();
}

void traceLine(const QString &text)
{
    const QString now = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    std::fprintf(stderr, "%s %s\n", qPrintable(now), qPrintable(text));
}

void onLine(const TLinkTraceEvent &e)
{
    LineStats &s = stats();
    QMutexLocker lock(&s.mutex);
    const QString com = QStringLiteral("COM%1").arg(e.comNumber);
    switch (e.kind) {
    case TLinkTraceEvent::Sent:
        ++s.requests;
        s.sentAt = TickMS();
        std::copy_n(e.bytes, 3, s.lastHeader);
        if (s.trace)
            traceLine(QStringLiteral("%1 -> %2  %3, length %4").arg(com, hex(e.bytes, e.count),
                      subFunctionName(e.bytes[1], e.bytes[2])).arg(e.bytes[3] << 8 | e.bytes[4]));
        break;
    case TLinkTraceEvent::Received: {
        const bool echo = std::equal(e.bytes, e.bytes + 3, s.lastHeader);
        if (e.crcOk) {
            ++s.good;
            s.roundTrips.push_back(TickMS() - s.sentAt);
            if (!echo)
                ++s.wrongEchoes;
        } else {
            ++s.crcErrors;
        }
        if (s.trace)
            traceLine(QStringLiteral("%1 <- %2  %3, length %4, CRC %5%6").arg(com, hex(e.bytes, e.count),
                      subFunctionName(e.bytes[1], e.bytes[2])).arg(e.bytes[3] << 8 | e.bytes[4])
                      .arg(e.crcOk ? QStringLiteral("ok") : QStringLiteral("BAD"),
                           echo ? QString() : QStringLiteral(", WRONG ECHO")));
        break;
    }
    case TLinkTraceEvent::BadLength:
        ++s.crcErrors;
        if (s.trace)
            traceLine(QStringLiteral("%1 <- %2  header with impossible length %3").arg(com, hex(e.bytes, e.count))
                      .arg(e.bytes[3] << 8 | e.bytes[4]));
        break;
    case TLinkTraceEvent::Timeout:
        ++s.timeouts;
        if (s.trace) {
            if (e.count == 0)
                traceLine(QStringLiteral("%1 time-out: no header (%2 bytes waiting)").arg(com).arg(e.pending));
            else
                traceLine(QStringLiteral("%1 time-out: header %2, then %3 of %4 bytes").arg(com, hex(e.bytes, e.count))
                          .arg(e.pending).arg((e.bytes[3] << 8 | e.bytes[4]) - e.count));
        }
        break;
    case TLinkTraceEvent::FlushedIn:
        if (s.trace)
            traceLine(QStringLiteral("%1 flushed %2 stale input bytes").arg(com).arg(e.count));
        break;
    case TLinkTraceEvent::FlushedOut:
        if (s.trace)
            traceLine(QStringLiteral("%1 flushed %2 unsent output bytes").arg(com).arg(e.count));
        break;
    case TLinkTraceEvent::PortFailure:
        if (s.trace)
            traceLine(QStringLiteral("%1 port failure: %2 %3").arg(com).arg(e.status).arg(Get_Trans_Error_Str(e.status)));
        break;
    }
}

void printSummary()
{
    LineStats &s = stats();
    QMutexLocker lock(&s.mutex);
    std::vector<int64_t> rt = s.roundTrips;
    std::sort(rt.begin(), rt.end());
    const QString median = rt.empty() ? QStringLiteral("-") : QStringLiteral("%1 ms").arg(rt[rt.size() / 2]);
    const QString worst = rt.empty() ? QStringLiteral("-") : QStringLiteral("%1 ms").arg(rt.back());
    std::fprintf(stderr,
                 "requests %d, good replies %d, time-outs %d, CRC errors %d, wrong echoes %d, "
                 "round trip median %s, worst %s\n",
                 s.requests, s.good, s.timeouts, s.crcErrors, s.wrongEchoes, qPrintable(median), qPrintable(worst));
}

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
        , m_handle(this)
        , m_out(stdout)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(static_cast<int>(o.interval * 1000));
        connect(&m_timer, &QTimer::timeout, this, &Poller::tick);
        if (o.csv)
            m_out << "time,temperature,humidity,unit,status_byte,mode_byte,status,text\n" << Qt::flush;
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

protected:
    bool event(QEvent *e) override
    {
        if (e->type() != WM_TRANS_DONE)
            return QObject::event(e);
        printReading();
        return true;
    }

private:
    void tick()
    {
        if (m_running || m_stopping)
            return; // dropped, not queued: one transaction at a time
        m_record.PrzezCentralke = m_options.fwdl;
        m_record.FwdlAdres = m_options.fwdlAddress;
        m_record.FwdlPredk = m_options.fwdlBaud;
        m_record.Status_Transmisji = ST_PENDING;
        auto *t = new TTHR_RH_Get_Current_Measure(false, m_handle.handle(), m_options.com, m_options.address,
                                                   m_options.baud, 1, &m_record, m_ports);
        t->OnTerminate = [this](TTHR_Trans_RH *) {
            m_running = false;
            ++m_ended;
            if (m_options.count > 0 && m_ended >= m_options.count)
                stop();
            finishIfIdle();
        };
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
        const QString text = Get_Trans_Error_Str(r.Status_Transmisji);
        if (m_options.csv) {
            m_out << time << ',' << tenths(r.Temperatura) << ',' << tenths(r.Wilgotnosc) << ',' << unit << ',' << st
                  << ',' << mode << ',' << r.Status_Transmisji << ",\"" << text << "\"\n";
        } else {
            m_out << time << "  T " << tenths(r.Temperatura).rightJustified(6) << "  RH "
                  << tenths(r.Wilgotnosc).rightJustified(5) << "  " << unit << "  status " << st << "  mode " << mode
                  << "  " << r.Status_Transmisji << ' ' << text << '\n';
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
    TWindowHandle m_handle;
    QTextStream m_out;
};

Options parseOptions(const QCoreApplication &app)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Polls a Fenwire transmitter for its current reading, one request at a time, and prints one line\n"
        "per reading: local time, temperature, humidity (empty when the device gave none), unit, the\n"
        "device's status and mode bytes, and the transaction status with its text."));
    p.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("COM1 ... COM8 (mapped in fen_mon.ini [ports]) or a device path."),
                                  QStringLiteral("port"), QStringLiteral("COM1"));
    const QCommandLineOption address(QStringLiteral("address"), QStringLiteral("Device address, 1 to 255."),
                                     QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption baud(QStringLiteral("baud"), QStringLiteral("Baud rate."), QStringLiteral("rate"),
                                  QStringLiteral("9600"));
    const QCommandLineOption parity(QStringLiteral("parity"), QStringLiteral("N, O or E."), QStringLiteral("p"),
                                    QStringLiteral("N"));
    const QCommandLineOption fwdl(QStringLiteral("fwdl"),
                                  QStringLiteral("Reach the device through an FWDL unit at this address and baud rate."),
                                  QStringLiteral("address:baud"));
    const QCommandLineOption interval(QStringLiteral("interval"), QStringLiteral("Seconds between requests."),
                                      QStringLiteral("s"), QStringLiteral("1"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Stop after this many readings."),
                                   QStringLiteral("n"));
    const QCommandLineOption csv(QStringLiteral("csv"), QStringLiteral("Comma-separated output with a header line."));
    const QCommandLineOption trace(QStringLiteral("trace"),
                                   QStringLiteral("Print every frame on the line, time-outs and flushes to stderr."));
    p.addOptions({port, address, baud, parity, fwdl, interval, count, csv, trace});
    if (!p.parse(app.arguments()))
        fail(p.errorText());
    if (p.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(p.helpText()), stdout);
        std::exit(0);
    }
    if (!p.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1' (see --help)").arg(p.positionalArguments().first()));

    Options o;
    const QString portText = p.value(port);
    const QRegularExpressionMatch com = QRegularExpression(QStringLiteral("^COM([0-9]+)$"),
                                                           QRegularExpression::CaseInsensitiveOption).match(portText);
    if (com.hasMatch()) {
        o.com = parseInt(com.captured(1), "the COM number", 1, kComPortCount);
    } else if (portText.startsWith(QLatin1Char('/'))) {
        o.device = portText;
    } else {
        fail(QStringLiteral("--port takes COM1 ... COM8 or a device path, not '%1'").arg(portText));
    }
    o.address = parseInt(p.value(address), "--address", 1, 255);
    o.baud = parseInt(p.value(baud), "--baud", 50, 4000000);
    const QString par = p.value(parity).toUpper();
    if (par == QLatin1String("N"))
        o.parity = TParity::None;
    else if (par == QLatin1String("O"))
        o.parity = TParity::Odd;
    else if (par == QLatin1String("E"))
        o.parity = TParity::Even;
    else
        fail(QStringLiteral("--parity takes N, O or E, not '%1'").arg(p.value(parity)));
    if (p.isSet(fwdl)) {
        const QStringList parts = p.value(fwdl).split(QLatin1Char(':'));
        if (parts.size() != 2)
            fail(QStringLiteral("--fwdl takes ADDRESS:BAUD, not '%1'").arg(p.value(fwdl)));
        o.fwdl = true;
        o.fwdlAddress = parseInt(parts.at(0), "the FWDL address", 1, 255);
        o.fwdlBaud = parseInt(parts.at(1), "the FWDL baud rate", 50, 4000000);
    }
    bool ok = false;
    o.interval = p.value(interval).toDouble(&ok);
    if (!ok || o.interval < 0.05 || o.interval > 86400)
        fail(QStringLiteral("--interval takes seconds from 0.05 to 86400, not '%1'").arg(p.value(interval)));
    if (p.isSet(count))
        o.count = parseInt(p.value(count), "--count", 1, 100000000);
    o.csv = p.isSet(csv);
    o.trace = p.isSet(trace);
    return o;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rh_poll"));
    const Options o = parseOptions(app);

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return kExitBadArguments;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    stats().trace = o.trace;
    SetLinkTraceHook(&onLine);

    int code = 0;
    {
        TApdComPorts ports;
        if (!o.device.isEmpty())
            ports.port(o.com).SetDeviceName(o.device);
        try {
            ports.port(o.com).SetParity(o.parity);
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
        code = app.exec();
        Tab_ApdComPort = {};
    }
    SetLinkTraceHook(nullptr);
    printSummary();
    return code;
}
