#include "poll_options.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QFileInfo>
#include <QtCore/QSettings>
#include <algorithm>
#include <cmath>
#include <map>

namespace {

// The monitor's address bounds, but a poll of the broadcast address 0 would
// never be answered.
constexpr int kAdresPollMin = 1;
constexpr int kMaxGapMs = 10000;
constexpr int kMaxDevices = 247;
// Home Assistant marks a sensor unavailable after this many intervals
// without a state, and never sooner than a minute.
constexpr int kExpireIntervals = 3;
constexpr int kExpireMinS = 60;

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

} // namespace

Options parsePollOptions(const QStringList &args)
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
    // Written so that a "nan" (which toDouble takes) is refused too.
    if (!ok || !(o.interval >= 0.05 && o.interval <= 86400))
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
