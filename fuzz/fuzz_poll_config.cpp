// rh_poll's configuration file as an operator may write it, or a disk may
// hand it back: any bytes as the file --config names. Either the file is
// refused with a reason, or what it comes to is a line the poller can run
// unattended for months: devices it can address, each once, an interval
// and a gap it can keep, a queue that holds something. An option given on
// the command line wins over the file.
//
// Script: u8 which option the command line gives as well; the rest is the
// file.
#include "fuzz_checks.h"
#include "line_script.h"
#include "poll_options.h"

#include "dn_urzadzenia.h"

#include <QtCore/QFile>
#include <cmath>
#include <optional>
#include <set>

namespace {

// What is refused is refused with words, none of which is empty.
std::optional<Options> parse(const QStringList &args)
{
    try {
        return parsePollOptions(args);
    } catch (const UsageError &e) {
        FUZZ_CHECK(!e.why.trimmed().isEmpty(), QStringLiteral("a refusal without a reason"));
        return std::nullopt;
    }
}

void checkRunnable(const Options &o)
{
    FUZZ_CHECK(!o.devices.empty() && o.devices.size() <= 247, QStringLiteral("%1 devices").arg(o.devices.size()));
    std::set<int> seen;
    for (const DeviceOptions &d : o.devices) {
        FUZZ_CHECK(d.address >= 1 && d.address <= kAdresyMonitora.Max, QStringLiteral("address %1").arg(d.address));
        FUZZ_CHECK(seen.insert(d.address).second, QStringLiteral("address %1 twice").arg(d.address));
        FUZZ_CHECK(!d.fwdl || (d.fwdlAddress >= 1 && d.fwdlAddress <= kAdresyMonitora.Max && d.fwdlBaud >= 50),
                   QStringLiteral("route %1:%2").arg(d.fwdlAddress).arg(d.fwdlBaud));
    }
    FUZZ_CHECK(o.baud >= 50 && o.baud <= 4000000, QStringLiteral("baud %1").arg(o.baud));
    FUZZ_CHECK(std::isfinite(o.interval) && o.interval >= 0.05 && o.interval <= 86400,
               QStringLiteral("interval %1").arg(o.interval));
    FUZZ_CHECK(o.gapMs >= 0 && o.gapMs <= 10000 && o.count >= 0, QStringLiteral("gap %1, count %2").arg(o.gapMs).arg(o.count));
    FUZZ_CHECK(o.port.device.isEmpty() || o.port.device.startsWith(QLatin1Char('/')),
               QStringLiteral("port %1").arg(o.port.device));
    if (o.mqtt) {
        FUZZ_CHECK(o.broker.queueLimit >= 1 && o.broker.expireAfter >= 60,
                   QStringLiteral("queue %1, expiry %2").arg(o.broker.queueLimit).arg(o.broker.expireAfter));
        FUZZ_CHECK(o.broker.port >= 0 && o.broker.port <= 65535 && !o.broker.host.isEmpty(),
                   QStringLiteral("broker %1:%2").arg(o.broker.host).arg(o.broker.port));
    } else {
        FUZZ_CHECK(o.forget.isEmpty(), QStringLiteral("forget without a broker"));
    }
}

struct Override
{
    const char *option;
    const char *value;
    bool (*holds)(const Options &o);
};

const Override kOverrides[] = {
    {"--interval", "2.5", [](const Options &o) { return o.interval == 2.5; }},
    {"--baud", "19200", [](const Options &o) { return o.baud == 19200; }},
    {"--gap", "7", [](const Options &o) { return o.gapMs == 7; }},
    {"--port", "/dev/ttyUSB7", [](const Options &o) { return o.port.device == QLatin1String("/dev/ttyUSB7"); }},
    {"--address", "5", [](const Options &o) { return o.devices.front().address == 5; }},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineScript script(data, size);
    const Override &given = kOverrides[script.u8() % std::size(kOverrides)];
    const QByteArray bytes = script.rest();

    // A name of its own each time: QSettings keeps files it has read, and a
    // file rewritten within the same clock tick could be taken from there.
    static int serial = 0;
    const QString file = FuzzTempPath(QStringLiteral("line%1.conf").arg(++serial));
    {
        QFile f(file);
        FUZZ_CHECK(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size(), QStringLiteral("cannot write"));
    }
    const QStringList args{QStringLiteral("rh_poll"), QStringLiteral("--config"), file};
    const std::optional<Options> o = parse(args);
    if (o) {
        checkRunnable(*o);
        const std::optional<Options> over =
            parse(args + QStringList{QLatin1String(given.option), QLatin1String(given.value)});
        if (over) {
            checkRunnable(*over);
            FUZZ_CHECK(given.holds(*over), QStringLiteral("%1 %2 lost to the file").arg(given.option, given.value));
        }
    }
    QFile::remove(file);
    return 0;
}
