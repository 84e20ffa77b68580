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

// The monitor's address bounds, but a poll of the broadcast address 0 would
// never be answered.
constexpr int kAdresPollMin = 1;
// Some transmitters need a quiet line after their reply before the next
// request; 20 ms is several character times even at 1200 baud.
constexpr int kDefaultGapMs = 20;
constexpr int kMaxGapMs = 10000;
// A device that did not answer its identification is asked again this
// seldom: the identification only labels readings, polls come first.
constexpr int64_t kIdentifyRetryMs = 10 * 60 * 1000;
constexpr int kMaxDevices = 247;
// The line statistics go to the broker this often.
constexpr int kStatusPeriodMs = 60 * 1000;
// Home Assistant marks a sensor unavailable after this many intervals
// without a state, and never sooner than a minute.
constexpr int kExpireIntervals = 3;
constexpr int kExpireMinS = 60;
// On the way out the queue gets this long to reach the broker.
constexpr int kMqttStopMs = 5000;

enum class Format { Text, Csv, Jsonl, Influx };

struct DeviceOptions
{
    int address = 1;
    QString name;
    bool fwdl = false;
    int fwdlAddress = 0;
    int fwdlBaud = 0;
};

struct Options
{
    PortChoice port;
    QString portText = QStringLiteral("COM1");
    int baud = kPredkoscSerwis;
    TParity parity = TParity::None;
    std::vector<DeviceOptions> devices;
    double interval = 1.0;
    int count = 0; // cycles; 0: until interrupted
    int gapMs = kDefaultGapMs;
    Format format = Format::Text;
    bool trace = false;
    bool mqtt = false;
    TMqttOptions broker;
    QStringList forget; // addresses or names whose retained configs go
};

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

// --- Options and the configuration file ---------------------------------------------------

std::pair<int, int> parseRoute(const QString &text, const QString &what)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 2)
        fail(QStringLiteral("%1 takes ADDRESS:BAUD, not '%2'").arg(what, text));
    return {parseInt(parts.at(0), what + QStringLiteral(" address"), kAdresPollMin, kAdresyMonitora.Max),
            parseInt(parts.at(1), what + QStringLiteral(" baud rate"), 50, 4000000)};
}

// "1,2,5-7" in the order given, each address once.
std::vector<int> parseAddressList(const QString &text)
{
    std::vector<int> list;
    const auto add = [&](int a) {
        if (std::find(list.begin(), list.end(), a) == list.end())
            list.push_back(a);
    };
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QStringList range = part.trimmed().split(QLatin1Char('-'));
        if (range.size() == 1) {
            add(parseInt(range.at(0), QStringLiteral("--address"), kAdresPollMin, kAdresyMonitora.Max));
        } else if (range.size() == 2) {
            const int first = parseInt(range.at(0), QStringLiteral("--address"), kAdresPollMin, kAdresyMonitora.Max);
            const int last = parseInt(range.at(1), QStringLiteral("--address"), kAdresPollMin, kAdresyMonitora.Max);
            if (last < first)
                fail(QStringLiteral("--address range '%1' runs backwards").arg(part));
            for (int a = first; a <= last; ++a)
                add(a);
        } else {
            fail(QStringLiteral("--address takes addresses and ranges like 1,2,5-7, not '%1'").arg(text));
        }
    }
    return list;
}

// "3=boiler-room", "3=boiler-room,fwdl=100:19200" or "3,fwdl=100:19200".
DeviceOptions parseDevice(const QString &text)
{
    DeviceOptions d;
    const QStringList parts = text.split(QLatin1Char(','));
    const QString head = parts.first();
    const int eq = head.indexOf(QLatin1Char('='));
    d.address = parseInt(eq < 0 ? head : head.left(eq), QStringLiteral("--device address"), kAdresPollMin,
                         kAdresyMonitora.Max);
    if (eq >= 0) {
        d.name = head.mid(eq + 1).trimmed();
        if (d.name.isEmpty())
            fail(QStringLiteral("--device '%1' has an empty name").arg(text));
    }
    for (const QString &extra : parts.mid(1)) {
        if (!extra.startsWith(QLatin1String("fwdl=")))
            fail(QStringLiteral("--device takes ADDRESS[=NAME][,fwdl=ADDRESS:BAUD], not '%1'").arg(text));
        d.fwdl = true;
        std::tie(d.fwdlAddress, d.fwdlBaud) = parseRoute(extra.mid(5), QStringLiteral("--device fwdl"));
    }
    return d;
}

Format parseFormat(const QString &text)
{
    if (text == QLatin1String("text"))
        return Format::Text;
    if (text == QLatin1String("csv"))
        return Format::Csv;
    if (text == QLatin1String("jsonl"))
        return Format::Jsonl;
    if (text == QLatin1String("influx"))
        return Format::Influx;
    fail(QStringLiteral("--format takes text, csv, jsonl or influx, not '%1'").arg(text));
}

bool parseBool(const QString &text, const QString &what)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("true") || t == QLatin1String("yes") || t == QLatin1String("1") || t == QLatin1String("on"))
        return true;
    if (t == QLatin1String("false") || t == QLatin1String("no") || t == QLatin1String("0") || t == QLatin1String("off"))
        return false;
    fail(QStringLiteral("%1 takes true or false, not '%2'").arg(what, text));
}

// The configuration file as the options it stands for. Sections [line],
// [devices], [output] and one [device.N] per named or routed device; an
// option given on the command line wins over the file.
struct FileOptions
{
    std::map<QString, QString> values; // option name -> value
    QStringList devices;               // --device values
};

FileOptions readConfig(const QString &file)
{
    if (!QFileInfo(file).isReadable())
        fail(QStringLiteral("cannot read the configuration file '%1'").arg(file));
    QSettings ini(file, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        fail(QStringLiteral("the configuration file '%1' is not a valid INI file").arg(file));
    // Each key of the file and the option it sets.
    static const std::map<QString, QString> kKeys{
        {QStringLiteral("line/port"), QStringLiteral("port")},
        {QStringLiteral("line/baud"), QStringLiteral("baud")},
        {QStringLiteral("line/parity"), QStringLiteral("parity")},
        {QStringLiteral("line/interval"), QStringLiteral("interval")},
        {QStringLiteral("line/gap"), QStringLiteral("gap")},
        {QStringLiteral("line/count"), QStringLiteral("count")},
        {QStringLiteral("line/fwdl"), QStringLiteral("fwdl")},
        {QStringLiteral("devices/address"), QStringLiteral("address")},
        {QStringLiteral("output/format"), QStringLiteral("format")},
        {QStringLiteral("output/trace"), QStringLiteral("trace")},
        {QStringLiteral("mqtt/host"), QStringLiteral("mqtt")},
        {QStringLiteral("mqtt/user"), QStringLiteral("mqtt-user")},
        {QStringLiteral("mqtt/password-file"), QStringLiteral("mqtt-password-file")},
        {QStringLiteral("mqtt/tls"), QStringLiteral("mqtt-tls")},
        {QStringLiteral("mqtt/ca-file"), QStringLiteral("mqtt-ca")},
        {QStringLiteral("mqtt/prefix"), QStringLiteral("mqtt-prefix")},
        {QStringLiteral("mqtt/id"), QStringLiteral("mqtt-id")},
        {QStringLiteral("mqtt/discovery"), QStringLiteral("discovery")},
        {QStringLiteral("mqtt/queue"), QStringLiteral("queue")},
        {QStringLiteral("mqtt/forget"), QStringLiteral("forget")},
    };
    FileOptions o;
    for (const QString &key : ini.allKeys()) {
        // QSettings hands a value with commas back as a list.
        const QVariant v = ini.value(key);
        const QString value = v.typeId() == QMetaType::QStringList ? v.toStringList().join(QLatin1Char(','))
                                                                   : v.toString();
        if (key.startsWith(QLatin1String("device."))) {
            const int slash = key.indexOf(QLatin1Char('/'));
            const QString address = key.mid(7, slash - 7);
            const QString field = key.mid(slash + 1);
            if (field == QLatin1String("name"))
                o.devices << address + QLatin1Char('=') + value;
            else if (field == QLatin1String("fwdl"))
                o.devices << address + QStringLiteral(",fwdl=") + value;
            else
                fail(QStringLiteral("%1: unknown key '%2'").arg(file, key));
            continue;
        }
        const auto it = kKeys.find(key);
        if (it == kKeys.end())
            fail(QStringLiteral("%1: unknown key '%2'").arg(file, key));
        o.values[it->second] = value;
    }
    return o;
}

Options parseOptions(const QStringList &args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Polls Fenwire transmitters on one line for their current readings, one request at a time, each\n"
        "device once per interval, and prints one line per reading (text: local time, temperature,\n"
        "humidity, unit, the device's status and mode bytes, and the outcome with its cause).\n\n"
        "Service commands (rh_poll COMMAND --help for each): identify, params, set-params, service-mode,\n"
        "adc-read, adc-write, find, ports."));
    addCommonOptions(p);
    p.addOptions({
        {QStringLiteral("address"),
         QStringLiteral("Device addresses, %1 to %2: a list with ranges, e.g. 1,2,5-7.")
             .arg(kAdresPollMin)
             .arg(kAdresyMonitora.Max),
         QStringLiteral("list")},
        {QStringLiteral("device"),
         QStringLiteral("A device's name and route: ADDRESS=NAME[,fwdl=ADDRESS:BAUD]; repeatable."),
         QStringLiteral("spec")},
        {QStringLiteral("baud"), QStringLiteral("Baud rate."), QStringLiteral("rate")},
        {QStringLiteral("parity"), QStringLiteral("N, O or E."), QStringLiteral("p")},
        {QStringLiteral("fwdl"), QStringLiteral("Reach every device through an FWDL unit at this address and baud rate."),
         QStringLiteral("address:baud")},
        {QStringLiteral("interval"), QStringLiteral("Seconds between readings of a device (default 1)."),
         QStringLiteral("s")},
        {QStringLiteral("gap"), QStringLiteral("Milliseconds of quiet line after every reply (default 20)."),
         QStringLiteral("ms")},
        {QStringLiteral("count"), QStringLiteral("Stop after this many readings of each device."), QStringLiteral("n")},
        {QStringLiteral("format"), QStringLiteral("text, csv, jsonl or influx (default text)."), QStringLiteral("f")},
        {QStringLiteral("csv"), QStringLiteral("The same as --format csv.")},
        {QStringLiteral("config"), QStringLiteral("Read the options from this INI file; options given here win."),
         QStringLiteral("file")},
        {QStringLiteral("mqtt"), QStringLiteral("Publish to this MQTT broker: HOST[:PORT]."), QStringLiteral("host")},
        {QStringLiteral("mqtt-user"), QStringLiteral("The broker's user name."), QStringLiteral("name")},
        {QStringLiteral("mqtt-password-file"), QStringLiteral("A file whose first line is the broker's password."),
         QStringLiteral("file")},
        {QStringLiteral("mqtt-tls"), QStringLiteral("Talk TLS to the broker (port 8883 unless given).")},
        {QStringLiteral("mqtt-ca"), QStringLiteral("The CA certificate (PEM) that signed the broker's; implies --mqtt-tls."),
         QStringLiteral("file")},
        {QStringLiteral("mqtt-prefix"), QStringLiteral("The topics' prefix (default fenwire)."), QStringLiteral("prefix")},
        {QStringLiteral("mqtt-id"), QStringLiteral("The bridge's name on the broker (default: the host name)."),
         QStringLiteral("id")},
        {QStringLiteral("no-discovery"), QStringLiteral("No Home Assistant discovery configs.")},
        {QStringLiteral("queue"), QStringLiteral("Readings kept while the broker is away (default 100000)."),
         QStringLiteral("n")},
        {QStringLiteral("forget"), QStringLiteral("Remove these devices (addresses or names) from Home Assistant."),
         QStringLiteral("list")},
    });
    parseOrFail(p, args);

    FileOptions file;
    if (p.isSet(QStringLiteral("config")))
        file = readConfig(p.value(QStringLiteral("config")));
    // An option given wins; else the file's value; else the default.
    const auto value = [&](const char *name, const QString &fallback = QString()) -> QString {
        const QString n = QLatin1String(name);
        if (p.isSet(n))
            return p.value(n);
        const auto it = file.values.find(n);
        return it != file.values.end() ? it->second : fallback;
    };
    const auto given = [&](const char *name) {
        return p.isSet(QLatin1String(name)) || file.values.count(QLatin1String(name)) > 0;
    };

    Options o;
    o.portText = value("port", QStringLiteral("COM1"));
    o.port = parsePort(o.portText);
    o.baud = parseInt(value("baud", QString::number(kPredkoscSerwis)), QStringLiteral("--baud"), 50, 4000000);
    o.parity = parseParity(value("parity", QStringLiteral("N")), QStringLiteral("--parity"));
    DeviceOptions route;
    if (given("fwdl")) {
        route.fwdl = true;
        std::tie(route.fwdlAddress, route.fwdlBaud) = parseRoute(value("fwdl"), QStringLiteral("--fwdl"));
    }
    bool ok = false;
    const QString interval = value("interval", QStringLiteral("1"));
    o.interval = interval.toDouble(&ok);
    if (!ok || o.interval < 0.05 || o.interval > 86400)
        fail(QStringLiteral("--interval takes seconds from 0.05 to 86400, not '%1'").arg(interval));
    if (given("count"))
        o.count = parseInt(value("count"), QStringLiteral("--count"), 1, 100000000);
    o.gapMs = parseInt(value("gap", QString::number(kDefaultGapMs)), QStringLiteral("--gap"), 0, kMaxGapMs);
    o.format = p.isSet(QStringLiteral("csv")) ? Format::Csv : parseFormat(value("format", QStringLiteral("text")));
    o.trace = p.isSet(QStringLiteral("trace"))
        || (file.values.count(QStringLiteral("trace")) && parseBool(file.values[QStringLiteral("trace")], QStringLiteral("trace")));

    if (given("mqtt")) {
        o.mqtt = true;
        QString error;
        if (!TMqttOptions::ParseBroker(value("mqtt"), &o.broker, &error))
            fail(QStringLiteral("--mqtt: %1").arg(error));
        o.broker.user = value("mqtt-user");
        o.broker.passwordFile = value("mqtt-password-file");
        o.broker.caFile = value("mqtt-ca");
        o.broker.tls = p.isSet(QStringLiteral("mqtt-tls")) || !o.broker.caFile.isEmpty()
            || (file.values.count(QStringLiteral("mqtt-tls")) && parseBool(value("mqtt-tls"), QStringLiteral("mqtt-tls")));
        if (given("mqtt-prefix"))
            o.broker.prefix = value("mqtt-prefix");
        o.broker.bridgeId = value("mqtt-id");
        o.broker.discovery = !p.isSet(QStringLiteral("no-discovery"))
            && !(file.values.count(QStringLiteral("discovery")) && !parseBool(value("discovery"), QStringLiteral("discovery")));
        if (given("queue"))
            o.broker.queueLimit = parseInt(value("queue"), QStringLiteral("--queue"), 1, 100000000);
        o.broker.expireAfter = std::max(kExpireMinS, int(std::ceil(kExpireIntervals * o.interval)));
        if (given("forget")) {
            for (const QString &f : value("forget").split(QLatin1Char(','), Qt::SkipEmptyParts))
                o.forget << f.trimmed();
        }
    } else {
        for (const char *n : {"mqtt-user", "mqtt-password-file", "mqtt-tls", "mqtt-ca", "mqtt-prefix", "mqtt-id",
                              "no-discovery", "queue", "forget"}) {
            if (given(n))
                fail(QStringLiteral("--%1 goes with --mqtt").arg(QLatin1String(n)));
        }
    }

    // The address list first, then devices named only by --device.
    std::vector<int> addresses;
    if (given("address"))
        addresses = parseAddressList(value("address"));
    QStringList specs = p.values(QStringLiteral("device"));
    if (specs.isEmpty())
        specs = file.devices;
    std::map<int, DeviceOptions> named;
    for (const QString &spec : specs) {
        const DeviceOptions d = parseDevice(spec);
        DeviceOptions &n = named[d.address];
        n.address = d.address;
        if (!d.name.isEmpty())
            n.name = d.name;
        if (d.fwdl) {
            n.fwdl = true;
            n.fwdlAddress = d.fwdlAddress;
            n.fwdlBaud = d.fwdlBaud;
        }
        if (std::find(addresses.begin(), addresses.end(), d.address) == addresses.end())
            addresses.push_back(d.address);
    }
    if (addresses.empty())
        addresses.push_back(1);
    if (int(addresses.size()) > kMaxDevices)
        fail(QStringLiteral("--address lists more than %1 devices").arg(kMaxDevices));
    for (int a : addresses) {
        DeviceOptions d = route;
        d.address = a;
        const auto it = named.find(a);
        if (it != named.end()) {
            d.name = it->second.name;
            if (it->second.fwdl) {
                d.fwdl = true;
                d.fwdlAddress = it->second.fwdlAddress;
                d.fwdlBaud = it->second.fwdlBaud;
            }
        }
        o.devices.push_back(d);
    }
    return o;
}

} // namespace

int runPoll(const QStringList &args)
{
    const Options o = parseOptions(args);
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
