#include "rh_poll_bridge.h"

#include "bridge_mqtt.h"
#include "bridge_reading.h"
#include "dn_comport.h"
#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "dn_transakcja.h"
#include "dn_transmisja.h"
#include "dn_urzadzenia.h"
#include "poll_common.h"
#include "poll_options.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QDateTime>
#include <QtCore/QFileInfo>
#include <QtCore/QJsonDocument>
#include <QtCore/QSettings>
#include <QtCore/QSocketNotifier>
#include <QtCore/QTextStream>
#include <QtCore/QTimer>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <map>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kExitNoGoodReading = kExitFailed;

// A device that did not answer its identification is asked again this
// seldom: the identification only labels readings, polls come first.
constexpr int64_t kIdentifyRetryMs = 10 * 60 * 1000;
// The line statistics go to the broker this often.
constexpr int kStatusPeriodMs = 60 * 1000;
// On the way out the queue gets this long to reach the broker.
constexpr int kMqttStopMs = 5000;

// --- Signals ----------------------------------------------------------------------

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    (void)!::write(g_signalPipe[1], &c, 1);
}

void logLine(const QString &text)
{
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    std::fprintf(stderr, "%s rh_poll: %s\n", qPrintable(now), qPrintable(text));
    std::fflush(stderr);
}

QString duration(int64_t ms)
{
    const int64_t s = ms / 1000;
    if (s < 60)
        return QStringLiteral("%1 s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60);
    return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
}

// --- One device of the line ------------------------------------------------------------

struct Device
{
    DeviceOptions options;
    TBridgeDevice bridge;
    TRH_Parametry_Biezace record;
    bool identified = false;
    int64_t nextIdentifyMs = 0;   // a failed identification waits this long
    bool answering = true;        // until the first failure says otherwise
    int64_t silentSinceMs = 0;
    std::optional<bool> online;   // what the broker was last told
    QString label() const
    {
        return options.name.isEmpty() ? QStringLiteral("address %1").arg(options.address)
                                      : QStringLiteral("address %1 (%2)").arg(options.address).arg(options.name);
    }
};

bool isPortFailure(const TPrzyczyna &c)
{
    return c.Kod == ST_SEND_FAILED || c.Kod == ST_NO_PORT;
}

// --- The polling cycle ------------------------------------------------------------------

// Every device of the list in turn, one exchange at a time, each once per
// interval. A device that fails costs only its own attempts; a cycle that
// cannot fit in the interval is followed at once by the next, and counted.
class Poller : public QObject
{
public:
    Poller(const Options &o, const TComPortTable &ports)
        : m_options(o)
        , m_ports(ports)
        , m_out(stdout)
    {
        for (const DeviceOptions &d : o.devices) {
            Device dev;
            dev.options = d;
            dev.bridge.port = o.portText;
            dev.bridge.address = d.address;
            dev.bridge.name = d.name;
            m_devices.push_back(dev);
            if (!d.name.isEmpty())
                nameInSummary(d.address, d.name);
        }
        m_next.setSingleShot(true);
        m_next.setTimerType(Qt::PreciseTimer);
        connect(&m_next, &QTimer::timeout, this, &Poller::step);
        writeHeader();
    }

    // False with a message when the broker's options are wrong.
    bool startBroker(QString *error)
    {
        if (!m_options.mqtt)
            return true;
        m_mqtt = std::make_unique<TMqttBridge>(m_options.broker);
        m_mqtt->SetLog([](const QString &line) { logLine(line); });
        if (!m_mqtt->Start(error))
            return false;
        for (const QString &gone : m_options.forget) {
            TBridgeDevice d;
            d.port = m_options.portText;
            bool isAddress = false;
            d.address = gone.toInt(&isAddress);
            if (!isAddress)
                d.name = gone;
            m_mqtt->Forget(d);
        }
        for (const Device &d : m_devices)
            m_mqtt->DeviceKnown(d.bridge);
        connect(&m_status, &QTimer::timeout, this, &Poller::publishStatus);
        m_status.start(kStatusPeriodMs);
        return true;
    }

    void start()
    {
        m_cycleStartMs = TickMS();
        step();
    }

    // Ends after the transaction that runs now, if any.
    void stop()
    {
        m_stopping = true;
        m_next.stop();
        finishIfIdle();
    }

    int exitCode() const { return m_goodReadings > 0 ? 0 : kExitNoGoodReading; }

    void summarize()
    {
        addSummaryLine(QStringLiteral("cycles %1, of which %2 did not fit in the interval").arg(m_cycles).arg(m_overruns));
        if (m_mqtt) {
            m_mqtt->Stop(kMqttStopMs);
            const TMqttStats s = m_mqtt->Statistics();
            addSummaryLine(QStringLiteral("MQTT: %1 readings published, %2 delivered, %3 dropped from a full queue, "
                                          "%4 still queued at the end, %5 reconnections")
                               .arg(s.published)
                               .arg(s.delivered)
                               .arg(s.dropped)
                               .arg(s.unsent)
                               .arg(s.reconnects));
        }
    }

private:
    int64_t intervalMs() const { return static_cast<int64_t>(m_options.interval * 1000); }

    // The next exchange of the cycle, or the wait for the next cycle.
    void step()
    {
        if (m_stopping || m_running)
            return;
        if (m_index >= m_devices.size()) {
            ++m_cycles;
            if (m_options.count > 0 && m_cycles >= m_options.count) {
                stop();
                return;
            }
            m_index = 0;
            const int64_t due = m_cycleStartMs + intervalMs();
            const int64_t now = TickMS();
            if (now >= due) {
                // No silent drift: the late cycle starts now, and says so.
                ++m_overruns;
                m_cycleStartMs = now;
            } else {
                m_cycleStartMs = due;
                m_next.start(static_cast<int>(due - now));
                return;
            }
        }
        Device &d = m_devices[m_index];
        // Identified on its first turn, so that its readings carry its
        // model from the first; one that did not answer is asked again only
        // now and then, and only while it answers its measurements. Plain
        // text shows no labels: there the line is spared the request.
        if (m_labelled && !d.identified && d.answering && TickMS() >= d.nextIdentifyMs)
            identify(d);
        else
            measure(d);
    }

    TCelTransakcji target(const Device &d) const
    {
        return {m_options.port.com, d.options.address, m_options.baud};
    }

    void measure(Device &d)
    {
        d.record.PrzezCentralke = d.options.fwdl;
        d.record.FwdlAdres = d.options.fwdlAddress;
        d.record.FwdlPredk = d.options.fwdlBaud;
        d.record.Status_Transmisji = kRecordPending;
        const size_t index = m_index;
        m_running = true;
        StartTransakcja<TTHR_RH_Get_Current_Measure, TRH_Parametry_Biezace>(
            this, m_ports, target(d), d.record, [this, index](const TRH_Parametry_Biezace &reading, int) {
                Device &dev = m_devices[index];
                dev.record = reading;
                taken(dev);
                advance();
            });
    }

    // Sub-function 21 at the device's own address: it labels the readings
    // with model, serial number and firmware.
    void identify(Device &d)
    {
        TPWT_ID_Informacja id;
        id.FwdlTransparent = d.options.fwdl;
        id.FwdlAdres = d.options.fwdlAddress;
        id.FwdlPredk = d.options.fwdlBaud;
        const size_t index = m_index;
        m_running = true;
        StartTransakcja<TTHR_RH_Get_ID, TPWT_ID_Informacja>(
            this, m_ports, target(d), id, [this, index](const TPWT_ID_Informacja &result, int status) {
                Device &dev = m_devices[index];
                if (status == ST_OK) {
                    dev.identified = true;
                    const uint8_t type = result.ID.Dev_Type;
                    const uint8_t variant = result.ID.Dev_Type_Details;
                    dev.bridge.model = Get_Dornal_Device_Type(type, variant);
                    if (dev.bridge.model.isEmpty())
                        dev.bridge.model = QStringLiteral("type %1 variant %2").arg(type).arg(variant);
                    if (PodajeNumerIDate(type, variant))
                        dev.bridge.serial = QString::number(result.ID.Serial_Number);
                    const auto &v = result.Version;
                    const auto end = std::find(v.begin(), v.end(), '\0');
                    dev.bridge.firmware = QString::fromLatin1(v.data(), int(end - v.begin())).trimmed();
                    if (m_mqtt)
                        m_mqtt->DeviceKnown(dev.bridge);
                } else {
                    dev.nextIdentifyMs = TickMS() + kIdentifyRetryMs;
                }
                // The measurement of this turn follows at once.
                m_running = false;
                if (!m_stopping)
                    measure(dev);
                else
                    finishIfIdle();
            });
    }

    // After every reply, a quiet gap before the next request.
    void advance()
    {
        m_running = false;
        ++m_index;
        if (m_stopping) {
            finishIfIdle();
            return;
        }
        m_next.start(m_options.gapMs);
    }

    void taken(Device &d)
    {
        const TRH_Parametry_Biezace &r = d.record;
        const bool ok = r.Status_Transmisji == ST_OK;
        if (ok) {
            ++m_goodReadings;
            const bool humidity = r.Wilgotnosc != kNoValue;
            if (humidity != d.bridge.humidity) {
                d.bridge.humidity = humidity;
                if (m_mqtt)
                    m_mqtt->DeviceKnown(d.bridge); // no humidity sensor for it
            }
        }
        noteEvents(d);
        countFailure(r.Status_Transmisji, r.Przyczyna);
        write(d);
        if (m_mqtt) {
            if (d.online != ok) {
                d.online = ok;
                m_mqtt->SetAvailable(d.bridge, ok);
            }
            m_mqtt->Publish(reading(d));
        }
    }

    // Once when a device stops answering, once when it is back; a port
    // that refuses is the line's event, not every device's.
    void noteEvents(Device &d)
    {
        const TRH_Parametry_Biezace &r = d.record;
        const int64_t now = TickMS();
        if (r.Status_Transmisji == ST_OK) {
            if (m_portFailing) {
                logLine(QStringLiteral("%1 works again after %2").arg(m_options.portText, duration(now - m_portSinceMs)));
                m_portFailing = false;
            }
            if (!d.answering)
                logLine(QStringLiteral("%1 answers again after %2").arg(d.label(), duration(now - d.silentSinceMs)));
            d.answering = true;
            return;
        }
        if (isPortFailure(r.Przyczyna)) {
            const QString text = Get_Cause_Str(r.Przyczyna);
            if (!m_portFailing || text != m_portText) {
                logLine(text); // the words name the device already
                if (!m_portFailing)
                    m_portSinceMs = now;
            }
            m_portFailing = true;
            m_portText = text;
            return;
        }
        if (d.answering) {
            logLine(QStringLiteral("%1 stopped answering: %2")
                        .arg(d.label(), outcomeText(r.Status_Transmisji, r.Przyczyna)));
            d.answering = false;
            d.silentSinceMs = now;
        }
    }

    TBridgeReading reading(const Device &d) const
    {
        const TRH_Parametry_Biezace &r = d.record;
        TBridgeReading b;
        b.time = QDateTime::currentDateTimeUtc();
        b.device = d.bridge;
        b.unit = (r.Status & kStatusFahrenheit) ? QLatin1Char('F') : QLatin1Char('C');
        b.status = r.Status_Transmisji;
        if (r.Status_Transmisji == ST_OK) {
            if (r.Temperatura != kNoValue)
                b.temperature = r.Temperatura / 10.0;
            if (r.Wilgotnosc != kNoValue)
                b.humidity = r.Wilgotnosc / 10.0;
        } else {
            b.cause = causeField(r.Przyczyna);
        }
        return b;
    }

    void writeHeader()
    {
        if (m_options.format == Format::Csv)
            m_out << "time,temperature,humidity,unit,status_byte,mode_byte,status,text,cause,port,address,name,model,"
                     "serial\n"
                  << Qt::flush;
    }

    static QString csvQuoted(const QString &text)
    {
        QString t = text;
        t.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        return QLatin1Char('"') + t + QLatin1Char('"');
    }

    void write(const Device &d)
    {
        const TRH_Parametry_Biezace &r = d.record;
        const auto tenths = [](int16_t v) {
            return v == kNoValue ? QString() : QString::number(v / 10.0, 'f', 1);
        };
        const QString unit = (r.Status & kStatusFahrenheit) ? QStringLiteral("F") : QStringLiteral("C");
        const QString time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
        const QString st = QStringLiteral("0x%1").arg(r.Status, 2, 16, QLatin1Char('0'));
        const QString mode = QStringLiteral("0x%1").arg(r.TrybPracy, 2, 16, QLatin1Char('0'));
        switch (m_options.format) {
        case Format::Csv:
            // The status and its text as the monitor knows them, then why,
            // then which device.
            m_out << time << ',' << tenths(r.Temperatura) << ',' << tenths(r.Wilgotnosc) << ',' << unit << ',' << st
                  << ',' << mode << ',' << r.Status_Transmisji << ',' << csvQuoted(Get_Trans_Error_Str(r.Status_Transmisji))
                  << ',' << csvQuoted(causeField(r.Przyczyna)) << ',' << csvQuoted(d.bridge.port) << ','
                  << d.options.address << ',' << csvQuoted(d.bridge.name) << ',' << csvQuoted(d.bridge.model) << ','
                  << csvQuoted(d.bridge.serial) << '\n';
            break;
        case Format::Jsonl:
            m_out << QJsonDocument(BridgeJson(reading(d))).toJson(QJsonDocument::Compact) << '\n';
            break;
        case Format::Influx:
            m_out << BridgeInflux(reading(d)) << '\n';
            break;
        case Format::Text:
            m_out << time << "  T " << tenths(r.Temperatura).rightJustified(6) << "  RH "
                  << tenths(r.Wilgotnosc).rightJustified(5) << "  " << unit << "  status " << st << "  mode " << mode
                  << "  " << outcomeText(r.Status_Transmisji, r.Przyczyna);
            // One device reads as it always has; several say which one.
            if (m_devices.size() > 1 || !d.options.name.isEmpty())
                m_out << "  [" << d.label() << ']';
            m_out << '\n';
            break;
        }
        m_out.flush();
    }

    void publishStatus()
    {
        QJsonObject status = lineStatistics();
        status.insert(QStringLiteral("time"), BridgeTime(QDateTime::currentDateTimeUtc()));
        status.insert(QStringLiteral("port"), m_options.portText);
        status.insert(QStringLiteral("cycles"), m_cycles);
        status.insert(QStringLiteral("overruns"), m_overruns);
        const TMqttStats s = m_mqtt->Statistics();
        status.insert(QStringLiteral("queued"), s.queued);
        status.insert(QStringLiteral("dropped"), s.dropped);
        m_mqtt->PublishStatus(status);
    }

    void finishIfIdle()
    {
        if (m_stopping && !m_running && !m_finished) {
            m_finished = true;
            QCoreApplication::exit(exitCode());
        }
    }

    const Options m_options;
    const TComPortTable m_ports;
    const bool m_labelled = m_options.format != Format::Text;
    std::vector<Device> m_devices;
    QTimer m_next;
    size_t m_index = 0;
    int64_t m_cycleStartMs = 0;
    int m_cycles = 0;
    int m_overruns = 0;
    bool m_running = false;
    bool m_stopping = false;
    bool m_finished = false;
    int m_goodReadings = 0;
    bool m_portFailing = false;
    int64_t m_portSinceMs = 0;
    QString m_portText;
    QTextStream m_out;
    std::unique_ptr<TMqttBridge> m_mqtt;
    QTimer m_status;
};

} // namespace

int runPoll(const QStringList &args)
{
    const Options o = parsePollOptions(args);
    installLineTrace(o.trace);

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return kExitFailed;
    // A service manager stops the bridge with SIGTERM, a terminal with
    // Ctrl+C, a closed terminal with SIGHUP: all end it the same clean way.
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGHUP, onSignal);

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
    QString error;
    if (!poller.startBroker(&error))
        fail(error);
    QSocketNotifier interrupted(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupted, &QSocketNotifier::activated, &poller, [&] {
        char c;
        (void)!::read(g_signalPipe[0], &c, 1);
        poller.stop();
    });
    QTimer::singleShot(0, &poller, &Poller::start);
    const int code = QCoreApplication::exec();
    poller.summarize();
    Tab_ApdComPort = {};
    return code;
}
