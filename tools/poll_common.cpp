#include "poll_common.h"

#include "dn_tools.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QEventLoop>
#include <QtCore/QMutex>
#include <QtCore/QRegularExpression>
#include <QtCore/QMap>
#include <QtCore/QTime>
#include <algorithm>
#include <cstdio>
#include <vector>

void fail(const QString &why)
{
#ifdef FENWIRE_FUZZ_REFUSALS
    // Under the fuzzer a refusal is an outcome to check, not the end.
    throw UsageError{why};
#endif
    std::fprintf(stderr, "rh_poll: %s\n", qPrintable(why));
    std::exit(kExitBadArguments);
}

int parseInt(const QString &text, const QString &what, int low, int high)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok || v < low || v > high)
        fail(QStringLiteral("%1 must be a whole number from %2 to %3, not '%4'").arg(what).arg(low).arg(high).arg(text));
    return v;
}

TParity parseParity(const QString &text, const QString &what)
{
    const QString p = text.toUpper();
    if (p == QLatin1String("N"))
        return TParity::None;
    if (p == QLatin1String("O"))
        return TParity::Odd;
    if (p == QLatin1String("E"))
        return TParity::Even;
    fail(QStringLiteral("%1 takes N, O or E, not '%2'").arg(what, text));
}

PortChoice parsePort(const QString &text)
{
    PortChoice c;
    const QRegularExpressionMatch com =
        QRegularExpression(QStringLiteral("^COM([0-9]+)$"), QRegularExpression::CaseInsensitiveOption).match(text);
    if (com.hasMatch())
        c.com = parseInt(com.captured(1), QStringLiteral("the COM number"), 1, kComPortCount);
    else if (text.startsWith(QLatin1Char('/')))
        c.device = text;
    else
        fail(QStringLiteral("--port takes COM1 ... COM8 or a device path, not '%1'").arg(text));
    return c;
}

// Options every command takes: where the device is, and the trace.
void addCommonOptions(QCommandLineParser &p)
{
    p.addHelpOption();
    p.addVersionOption();
    p.addOption({QStringLiteral("port"), QStringLiteral("COM1 ... COM8 (mapped in fen_mon.ini [ports]) or a device path."),
                 QStringLiteral("port"), QStringLiteral("COM1")});
    p.addOption({QStringLiteral("trace"),
                 QStringLiteral("Print every frame on the line, time-outs and flushes to stderr.")});
}

void parseOrFail(QCommandLineParser &p, const QStringList &args)
{
    if (!p.parse(args))
        fail(p.errorText());
    if (p.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(p.helpText()), stdout);
        std::exit(0);
    }
    if (p.isSet(QStringLiteral("version")))
        p.showVersion();
    if (!p.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1' (see --help)").arg(p.positionalArguments().first()));
}

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

namespace {

// What one address, or the whole line, saw.
struct Counters
{
    int requests = 0;
    int good = 0;
    int timeouts = 0;
    int crcErrors = 0;
    int wrongEchoes = 0;
    std::vector<int64_t> roundTrips;

    QString summary() const
    {
        std::vector<int64_t> rt = roundTrips;
        std::sort(rt.begin(), rt.end());
        const QString median = rt.empty() ? QStringLiteral("-") : QStringLiteral("%1 ms").arg(rt[rt.size() / 2]);
        const QString worst = rt.empty() ? QStringLiteral("-") : QStringLiteral("%1 ms").arg(rt.back());
        return QStringLiteral("requests %1, good replies %2, time-outs %3, CRC errors %4, wrong echoes %5, "
                              "round trip median %6, worst %7")
            .arg(requests)
            .arg(good)
            .arg(timeouts)
            .arg(crcErrors)
            .arg(wrongEchoes)
            .arg(median, worst);
    }
};

struct LineStats
{
    QMutex mutex;
    bool print = false;
    Counters line;
    // By the address of the request: a reply, a time-out or a damaged frame
    // counts for the device that was asked.
    QMap<int, Counters> devices;
    uint8_t lastHeader[3] = {};
    int64_t sentAt = 0;
    QMap<QString, int> failures; // outcome text -> how often
    QMap<int, QString> names;    // address -> the device's label in the summary
    QStringList extra;           // further summary lines of the caller
    QStringList advice;          // what to do about each port failure seen, once each
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

int lengthField(const uint8_t *frame)
{
    return FrameLengthField(frame);
}

// The exchange's own statuses are shown with their number: they are what a
// technician compares with the trace. The transaction's findings have words only.
bool isExchangeStatus(int code)
{
    switch (code) {
    case ST_SEND_FAILED:
    case ST_CRC_ERROR:
    case ST_NO_REPLY:
    case ST_CANCELED:
    case ST_NO_PORT: return true;
    default: return false;
    }
}

void traceLine(const QString &text)
{
    const QString now = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    std::fprintf(stderr, "%s %s\n", qPrintable(now), qPrintable(text));
}

// Runs on the exchanging thread, under the lock: the summary's counters
// and the trace lines stay in the order things happened.
void onLine(const TLinkTraceEvent &e)
{
    LineStats &s = stats();
    QMutexLocker lock(&s.mutex);
    const QString com = QStringLiteral("COM%1").arg(e.comNumber);
    switch (e.kind) {
    case TLinkTraceEvent::Sent:
        ++s.line.requests;
        ++s.devices[e.bytes[0]].requests;
        s.sentAt = TickMS();
        std::copy_n(e.bytes, 3, s.lastHeader);
        if (s.print)
            traceLine(QStringLiteral("%1 -> %2  %3, length %4")
                          .arg(com, hex(e.bytes, e.count), subFunctionName(e.bytes[1], e.bytes[2]))
                          .arg(lengthField(e.bytes)));
        break;
    case TLinkTraceEvent::Received: {
        const bool echo = std::equal(e.bytes, e.bytes + 3, s.lastHeader);
        for (Counters *c : {&s.line, &s.devices[s.lastHeader[0]]}) {
            if (e.crcOk) {
                ++c->good;
                c->roundTrips.push_back(TickMS() - s.sentAt);
                if (!echo)
                    ++c->wrongEchoes;
            } else {
                ++c->crcErrors;
            }
        }
        if (s.print)
            traceLine(QStringLiteral("%1 <- %2  %3, length %4, CRC %5%6")
                          .arg(com, hex(e.bytes, e.count), subFunctionName(e.bytes[1], e.bytes[2]))
                          .arg(lengthField(e.bytes))
                          .arg(e.crcOk ? QStringLiteral("ok") : QStringLiteral("BAD"),
                               echo ? QString() : QStringLiteral(", WRONG ECHO")));
        break;
    }
    case TLinkTraceEvent::Echo:
        if (s.print)
            traceLine(QStringLiteral("%1 <- %2  echo of the request (the adapter hands back what it sends)")
                          .arg(com, hex(e.bytes, e.count)));
        break;
    case TLinkTraceEvent::BadLength:
        ++s.line.crcErrors;
        ++s.devices[s.lastHeader[0]].crcErrors;
        if (s.print)
            traceLine(QStringLiteral("%1 <- %2  header with impossible length %3")
                          .arg(com, hex(e.bytes, e.count))
                          .arg(lengthField(e.bytes)));
        break;
    case TLinkTraceEvent::Timeout:
        ++s.line.timeouts;
        ++s.devices[s.lastHeader[0]].timeouts;
        if (!s.print)
            break;
        if (e.count == 0)
            traceLine(QStringLiteral("%1 time-out: no header (%2 bytes waiting)").arg(com).arg(e.pending));
        else
            traceLine(QStringLiteral("%1 time-out: header %2, then %3 of %4 bytes")
                          .arg(com, hex(e.bytes, e.count))
                          .arg(e.pending)
                          .arg(lengthField(e.bytes) - e.count));
        break;
    case TLinkTraceEvent::FlushedIn:
        if (s.print)
            traceLine(QStringLiteral("%1 flushed %2 stale input bytes").arg(com).arg(e.count));
        break;
    case TLinkTraceEvent::FlushedOut:
        if (s.print)
            traceLine(QStringLiteral("%1 flushed %2 unsent output bytes").arg(com).arg(e.count));
        break;
    case TLinkTraceEvent::PortFailure: {
        TPrzyczyna cause;
        cause.Kod = e.status;
        if (e.failure)
            cause.Port = *e.failure;
        // The reading line keeps to a few words; the trace and the summary
        // tell the user what to do.
        const QString advice = PortFailureAdvice(cause.Port);
        if (!advice.isEmpty() && !s.advice.contains(advice))
            s.advice << advice;
        if (s.print) {
            traceLine(QStringLiteral("%1 port failure: %2").arg(com, outcomeText(e.status, cause)));
            if (!advice.isEmpty())
                traceLine(QStringLiteral("%1   %2").arg(com, advice));
        }
        break;
    }
    }
}

} // namespace

void installLineTrace(bool print)
{
    stats().print = print;
    SetLinkTraceHook(&onLine);
}

void printLineSummary()
{
    LineStats &s = stats();
    QMutexLocker lock(&s.mutex);
    std::fprintf(stderr, "%s\n", qPrintable(s.line.summary()));
    // Per device once there is more than one on the line.
    if (s.devices.size() > 1 || !s.names.isEmpty()) {
        for (auto it = s.devices.cbegin(); it != s.devices.cend(); ++it) {
            const QString name = s.names.value(it.key());
            std::fprintf(stderr, "  address %d%s: %s\n", it.key(),
                         name.isEmpty() ? "" : qPrintable(QStringLiteral(" (%1)").arg(name)),
                         qPrintable(it.value().summary()));
        }
    }
    for (auto it = s.failures.cbegin(); it != s.failures.cend(); ++it)
        std::fprintf(stderr, "failed %d x: %s\n", it.value(), qPrintable(it.key()));
    for (const QString &advice : s.advice)
        std::fprintf(stderr, "what to do: %s\n", qPrintable(advice));
    for (const QString &line : s.extra)
        std::fprintf(stderr, "%s\n", qPrintable(line));
}

namespace {

QJsonObject countersJson(const Counters &c)
{
    std::vector<int64_t> rt = c.roundTrips;
    std::sort(rt.begin(), rt.end());
    QJsonObject o;
    o.insert(QStringLiteral("requests"), c.requests);
    o.insert(QStringLiteral("good"), c.good);
    o.insert(QStringLiteral("timeouts"), c.timeouts);
    o.insert(QStringLiteral("crcErrors"), c.crcErrors);
    o.insert(QStringLiteral("wrongEchoes"), c.wrongEchoes);
    o.insert(QStringLiteral("medianMs"), rt.empty() ? QJsonValue() : QJsonValue(qint64(rt[rt.size() / 2])));
    o.insert(QStringLiteral("worstMs"), rt.empty() ? QJsonValue() : QJsonValue(qint64(rt.back())));
    return o;
}

} // namespace

QJsonObject lineStatistics()
{
    LineStats &s = stats();
    QMutexLocker lock(&s.mutex);
    QJsonObject o = countersJson(s.line);
    QJsonObject devices;
    for (auto it = s.devices.cbegin(); it != s.devices.cend(); ++it)
        devices.insert(QString::number(it.key()), countersJson(it.value()));
    o.insert(QStringLiteral("devices"), devices);
    return o;
}

void nameInSummary(int address, const QString &name)
{
    LineStats &s = stats();
    QMutexLocker lock(&s.mutex);
    s.names.insert(address, name);
}

void addSummaryLine(const QString &line)
{
    LineStats &s = stats();
    QMutexLocker lock(&s.mutex);
    s.extra << line;
}

QString outcomeText(int status, const TPrzyczyna &cause)
{
    const QString words = Get_Cause_Str(cause);
    if (status == ST_OK || words.isEmpty())
        return QStringLiteral("%1 %2").arg(status).arg(Get_Trans_Error_Str(status));
    if (cause.Kod == status)
        return QStringLiteral("%1 %2").arg(status).arg(words);
    if (isExchangeStatus(cause.Kod))
        return QStringLiteral("%1 %2 (%3)").arg(status).arg(words).arg(cause.Kod);
    return QStringLiteral("%1 %2").arg(status).arg(words);
}

QString causeField(const TPrzyczyna &cause)
{
    const QString words = Get_Cause_Str(cause);
    if (words.isEmpty())
        return QString();
    return isExchangeStatus(cause.Kod) ? QStringLiteral("%1 %2").arg(cause.Kod).arg(words) : words;
}

void countFailure(int status, const TPrzyczyna &cause)
{
    if (status == ST_OK)
        return;
    LineStats &s = stats();
    QMutexLocker lock(&s.mutex);
    ++s.failures[outcomeText(status, cause)];
}
