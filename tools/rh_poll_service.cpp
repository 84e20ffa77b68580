#include "rh_poll_service.h"

#include "dane.h"
#include "dn_adaptery.h"
#include "dn_comport.h"
#include "dn_serwis.h"
#include "dn_thr_trans_rh.h"
#include "dn_transakcja.h"
#include "dn_transmisja.h"
#include "dn_urzadzenia.h"
#include "poll_common.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QFileInfo>
#include <QtCore/QTextStream>
#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

struct Target
{
    PortChoice port;
    int address = kAdresSerwis;
    int baud = kPredkoscSerwis;
    TParity parity = TParity::None;
    bool fwdl = false;
    int fwdlAddress = 0;
    int fwdlBaud = 0;
};

// Opens the ports for a command and closes them with it.
class Session
{
public:
    explicit Session(const Target &t)
        : m_target(t)
    {
        if (!t.port.device.isEmpty())
            m_ports.port(t.port.com).SetDeviceName(t.port.device);
        try {
            m_ports.port(t.port.com).SetParity(t.parity);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "rh_poll: parity: %s\n", e.what());
        }
        Tab_ApdComPort = m_ports.table();
    }
    ~Session() { Tab_ApdComPort = {}; }

    template<class T, class R>
    int run(R &record)
    {
        return WykonajTransakcje<T>(m_ports.table(), {m_target.port.com, m_target.address, m_target.baud}, record);
    }

    TApdComPort &port() { return m_ports.port(m_target.port.com); }
    const Target &target() const { return m_target; }

private:
    Target m_target;
    TApdComPorts m_ports;
};

QString statusLine(int status)
{
    return QStringLiteral("%1 %2").arg(status).arg(Get_Trans_Error_Str(status));
}

// A transmitter's parity code as its letter; a code no parity has, as it came.
QString parityName(int code)
{
    const std::optional<TParity> parity = KodUrzadzeniaNaParity(code);
    return parity ? ParityLitera(*parity) : QString::number(code);
}

QString channelTypeName(int code)
{
    QStringList names;
    GetFwadcChannelItems(names);
    return code >= 0 && code < names.size() ? names.at(code) : QString::number(code);
}

void printField(const char *name, const QString &value)
{
    out() << QString::fromLatin1(name).leftJustified(16) << value << '\n';
}

void printIdentity(const TPWT_ID_Informacja &id)
{
    printField("device", QStringLiteral("%1 (type %2, variant %3)")
                             .arg(Get_Dornal_Device_Type(id.ID.Dev_Type, id.ID.Dev_Type_Details))
                             .arg(id.ID.Dev_Type)
                             .arg(id.ID.Dev_Type_Details));
    printField("serial", QString::number(id.ID.Serial_Number));
    printField("produced", QString::asprintf("%4d-%2.2d-%2.2d", kRokBazowy + id.Year, id.Month, id.Day));
    printField("version", QString::fromLatin1(id.Version.data(), int(id.Version.size())));
    printField("maker's serial", QString::number(id.Dornal_serial_Number));
}

void printParams(const TPWTTrans &p)
{
    printField("baud", QString::number(p.predkosc));
    printField("parity", parityName(p.parzystosc));
    printField("address", QString::number(p.adres));
    printField("unit", p.FahrCels ? QStringLiteral("F") : QStringLiteral("C"));
}

void printAdc(const TFwadc_Informacja &a)
{
    printField("address", QString::number(a.Adres));
    printField("unit", a.Jednostka ? QStringLiteral("F") : QStringLiteral("C"));
    printField("converter", a.PrzetwornikUszkodzony ? QStringLiteral("DAMAGED") : QStringLiteral("ok"));
    printField("channel 1", QStringLiteral("%1 (%2)%3").arg(channelTypeName(a.Kanal1Typ)).arg(a.Kanal1Typ)
                                .arg(a.Kanal1Error ? QStringLiteral(", ERROR") : QString()));
    printField("channel 2", QStringLiteral("%1 (%2)%3").arg(channelTypeName(a.Kanal2Typ)).arg(a.Kanal2Typ)
                                .arg(a.Kanal2Error ? QStringLiteral(", ERROR") : QString()));
    printField("0-20 mA", QStringLiteral("channel 1 %1 %2, channel 2 %3 %4")
                              .arg(a.Kanal1Range0201).arg(a.Kanal1Range0202).arg(a.Kanal2Range0201).arg(a.Kanal2Range0202));
    printField("4-20 mA", QStringLiteral("channel 1 %1 %2, channel 2 %3 %4")
                              .arg(a.Kanal1Range4201).arg(a.Kanal1Range4202).arg(a.Kanal2Range4201).arg(a.Kanal2Range4202));
}

// The status as the service window would show it, and why it failed.
int finish(int status, const TPrzyczyna &cause = {})
{
    printField("status", statusLine(status));
    if (status != ST_OK) {
        const QString why = causeField(cause);
        if (!why.isEmpty())
            printField("cause", why);
        countFailure(status, cause);
    }
    out().flush();
    return status == ST_OK ? 0 : kExitFailed;
}

std::pair<int, int> parseAddressBaud(const QString &text, const QString &what)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 2)
        fail(QStringLiteral("%1 takes ADDRESS:BAUD, not '%2'").arg(what, text));
    return {parseInt(parts.at(0), what + QStringLiteral(" address"), 1, 255),
            parseInt(parts.at(1), what + QStringLiteral(" baud rate"), 50, 4000000)};
}

int parseListedBaud(const QString &text)
{
    const int baud = parseInt(text, QStringLiteral("--baud"), 1, 4000000);
    if (!JestPredkosciaNadajnika(baud)) {
        QStringList listed;
        for (int b : kPredkosciNadajnika)
            listed << QString::number(b);
        fail(QStringLiteral("--baud takes one of %1, not '%2'").arg(listed.join(QStringLiteral(", ")), text));
    }
    return baud;
}

int parseAddress(const QString &text, const TZakresAdresow &bounds)
{
    return parseInt(text, QStringLiteral("--address"), bounds.Min, bounds.Max);
}

uint16_t parseDeviceParity(const QString &text)
{
    // N, O and E all have a device code.
    return *ParityNaKodUrzadzenia(parseParity(text, QStringLiteral("--parity")));
}

uint8_t parseUnit(const QString &text)
{
    const QString u = text.toUpper();
    if (u == QLatin1String("C"))
        return 0;
    if (u == QLatin1String("F"))
        return 1;
    fail(QStringLiteral("--unit takes C or F, not '%1'").arg(text));
}

int parseChannelType(const QString &text, const QString &what)
{
    QStringList names;
    GetFwadcChannelItems(names);
    const int byName = names.indexOf(text);
    if (byName >= 0)
        return byName;
    return parseInt(text, what + QStringLiteral(" (a type name or code)"), 0, int(names.size()) - 1);
}

std::array<uint16_t, 4> parseRanges(const QString &text, const QString &what)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        fail(QStringLiteral("%1 takes four values CH1A,CH1B,CH2A,CH2B, not '%2'").arg(what, text));
    std::array<uint16_t, 4> v{};
    for (int i = 0; i < 4; ++i)
        v[size_t(i)] = static_cast<uint16_t>(parseInt(parts.at(i), what, 0, 65535));
    return v;
}

// Identification, with the FWDL step when the target asks for it.
int identify(Session &s, TPWT_ID_Informacja &id)
{
    id.FwdlTransparent = s.target().fwdl;
    id.FwdlAdres = s.target().fwdlAddress;
    id.FwdlPredk = s.target().fwdlBaud;
    return s.run<TTHR_RH_Get_ID>(id);
}

// The service window's workflow up to the device's page: identification,
// then the service mode where the device needs it (an FWTH-01 takes
// parameter requests only there). A command is not a window: it ends at the
// first failure instead of trying again on the next step.
struct Prepared
{
    int status = ST_OK;
    TPrzyczyna cause;
    TSerwis::TKrok next = TSerwis::TKrok::Nic; // the page's first request
};

Prepared prepareForService(Session &s, TSerwis &w)
{
    Prepared p;
    for (;;) {
        const TSerwis::TKrok step = w.Krok();
        if (step == TSerwis::TKrok::CzytajId) {
            TPWT_ID_Informacja id;
            p.status = identify(s, id);
            p.cause = id.Przyczyna;
            w.PoCzytaniuId(id);
        } else if (step == TSerwis::TKrok::TrybSerwisowy) {
            TPWT_ID_Informacja id = w.IdInfo;
            p.status = s.run<TTHR_RH_EnterServiceMode>(id);
            p.cause = id.Przyczyna;
            w.PoTrybieSerwisowym(id);
        } else {
            p.next = step;
            return p;
        }
        if (p.status != ST_OK)
            return p;
    }
}

// --- the commands ------------------------------------------------------------------

int cmdIdentify(Session &s, const QCommandLineParser &)
{
    TPWT_ID_Informacja id;
    const int status = identify(s, id);
    if (status == ST_OK)
        printIdentity(id);
    return finish(status, id.Przyczyna);
}

int cmdServiceMode(Session &s, const QCommandLineParser &)
{
    TPWT_ID_Informacja id;
    int status = identify(s, id);
    if (status == ST_OK) {
        printIdentity(id);
        status = s.run<TTHR_RH_EnterServiceMode>(id);
    }
    return finish(status, id.Przyczyna);
}

// The transmitter's settings as the page reads them; the workflow records
// them as the window would.
int readParams(Session &s, TSerwis &w, TPWTTrans &p)
{
    const int status = s.run<TTHR_RH_Get_Trans>(p);
    w.PoCzytaniuTrans(p);
    return status;
}

int cmdParams(Session &s, const QCommandLineParser &)
{
    TSerwis w;
    const Prepared ready = prepareForService(s, w);
    if (ready.status != ST_OK)
        return finish(ready.status, ready.cause);
    TPWTTrans p;
    const int status = readParams(s, w, p);
    if (status == ST_OK)
        printParams(w.KalibTrans);
    return finish(status, p.Przyczyna);
}

int cmdSetParams(Session &s, const QCommandLineParser &a)
{
    const bool all = a.isSet(QStringLiteral("baud")) && a.isSet(QStringLiteral("parity"))
        && a.isSet(QStringLiteral("address")) && a.isSet(QStringLiteral("unit"));
    TSerwis w;
    const Prepared ready = prepareForService(s, w);
    if (ready.status != ST_OK)
        return finish(ready.status, ready.cause);
    TPWTTrans p;
    // What the command does not change, the device keeps: read it first.
    if (!all) {
        const int status = readParams(s, w, p);
        if (status != ST_OK)
            return finish(status, p.Przyczyna);
        p = w.KalibTrans;
    }
    if (a.isSet(QStringLiteral("baud")))
        p.predkosc = parseListedBaud(a.value(QStringLiteral("baud")));
    if (a.isSet(QStringLiteral("parity")))
        p.parzystosc = parseDeviceParity(a.value(QStringLiteral("parity")));
    if (a.isSet(QStringLiteral("address")))
        p.adres = static_cast<uint16_t>(parseAddress(a.value(QStringLiteral("address")), kAdresyNadajnika));
    if (a.isSet(QStringLiteral("unit")))
        p.FahrCels = parseUnit(a.value(QStringLiteral("unit")));
    w.KalibTrans = p;
    w.ZadajZapisuTrans();
    const int status = s.run<TTHR_RH_Set_Trans>(p);
    w.PoZapisieTrans(p);
    printParams(p);
    return finish(status, p.Przyczyna);
}

int cmdAdcRead(Session &s, const QCommandLineParser &)
{
    TFwadc_Informacja adc;
    const int status = s.run<TTHR_RH_GetFwadc>(adc);
    if (status == ST_OK)
        printAdc(adc);
    return finish(status, adc.Przyczyna);
}

int cmdAdcWrite(Session &s, const QCommandLineParser &a)
{
    // Check every value before anything goes to the module.
    std::optional<int> type1, type2, address;
    std::optional<uint8_t> unit;
    std::optional<std::array<uint16_t, 4>> r020, r420;
    if (a.isSet(QStringLiteral("type1")))
        type1 = parseChannelType(a.value(QStringLiteral("type1")), QStringLiteral("--type1"));
    if (a.isSet(QStringLiteral("type2")))
        type2 = parseChannelType(a.value(QStringLiteral("type2")), QStringLiteral("--type2"));
    if (a.isSet(QStringLiteral("address")))
        address = parseAddress(a.value(QStringLiteral("address")), kAdresyModulu);
    if (a.isSet(QStringLiteral("unit")))
        unit = parseUnit(a.value(QStringLiteral("unit")));
    if (a.isSet(QStringLiteral("range020")))
        r020 = parseRanges(a.value(QStringLiteral("range020")), QStringLiteral("--range020"));
    if (a.isSet(QStringLiteral("range420")))
        r420 = parseRanges(a.value(QStringLiteral("range420")), QStringLiteral("--range420"));

    TFwadc_Informacja adc;
    int status = s.run<TTHR_RH_GetFwadc>(adc);
    if (status != ST_OK)
        return finish(status, adc.Przyczyna);
    if (type1)
        adc.Kanal1Typ = *type1;
    if (type2)
        adc.Kanal2Typ = *type2;
    if (address)
        adc.Adres = static_cast<uint8_t>(*address);
    if (unit)
        adc.Jednostka = *unit;
    if (r020) {
        adc.Kanal1Range0201 = (*r020)[0];
        adc.Kanal1Range0202 = (*r020)[1];
        adc.Kanal2Range0201 = (*r020)[2];
        adc.Kanal2Range0202 = (*r020)[3];
    }
    if (r420) {
        adc.Kanal1Range4201 = (*r420)[0];
        adc.Kanal1Range4202 = (*r420)[1];
        adc.Kanal2Range4201 = (*r420)[2];
        adc.Kanal2Range4202 = (*r420)[3];
    }
    status = s.run<TTHR_RH_SetFwadc>(adc);
    printAdc(adc);
    return finish(status, adc.Przyczyna);
}

// --- find --------------------------------------------------------------------------

// What find asks besides the service address, from the command line.
struct FindPlan
{
    int atAddress = 0;                    // --at ADDRESS[:BAUD], 0 when not given
    int atBaud = 0;                       // its speed, asked first; 0 when not given
    bool atMonitors = false;              // no --at: the address the monitor polls
    int scanFirst = 0, scanLast = -1;     // --scan FIRST-LAST; empty when not given
    std::optional<TParity> parity;        // --line-parity given: only that one
};

FindPlan parseFindPlan(const QCommandLineParser &p)
{
    FindPlan plan;
    if (p.isSet(QStringLiteral("at"))) {
        // Every speed is tried: the address alone will do, a speed is tried first.
        const QString at = p.value(QStringLiteral("at"));
        if (at.contains(QLatin1Char(':')))
            std::tie(plan.atAddress, plan.atBaud) = parseAddressBaud(at, QStringLiteral("--at"));
        else
            plan.atAddress = parseInt(at, QStringLiteral("--at address"), 1, 255);
    } else {
        // The address the monitor polls, from its parameter file in the
        // working directory (where fen_mon.ini and its [ports] map are), its
        // speed tried first.
        TParametryProgramu monitor;
        if (LoadParamsFile(QLatin1String(kParamFileName), monitor) && monitor.trans.adresRS485 >= 1
            && monitor.trans.adresRS485 != kAdresSerwis) {
            plan.atAddress = monitor.trans.adresRS485;
            plan.atMonitors = true;
            const auto &speeds = kPredkosciNadajnika;
            if (std::find(speeds.begin(), speeds.end(), monitor.trans.Predkosc) != speeds.end())
                plan.atBaud = monitor.trans.Predkosc;
        }
    }
    if (p.isSet(QStringLiteral("scan"))) {
        const QString scan = p.value(QStringLiteral("scan"));
        const QStringList ends = scan.split(QLatin1Char('-'));
        if (ends.size() != 2)
            fail(QStringLiteral("--scan takes FIRST-LAST, not '%1'").arg(scan));
        plan.scanFirst = parseInt(ends.at(0), QStringLiteral("--scan first address"), 1, kAdresSerwis);
        plan.scanLast = parseInt(ends.at(1), QStringLiteral("--scan last address"), plan.scanFirst, kAdresSerwis);
    }
    if (p.isSet(QStringLiteral("line-parity")))
        plan.parity = parseParity(p.value(QStringLiteral("line-parity")), QStringLiteral("--line-parity"));
    return plan;
}

// Ctrl+C ends a find after the request on the line: what it found so far is
// still worth printing.
volatile std::sig_atomic_t g_findInterrupted = 0;

void onFindInterrupt(int)
{
    g_findInterrupted = 1;
}

// One try of a request, as the sweep makes it: no second attempt.
int tryOnce(const TModbusOp &op, uint8_t address, TComPort *port, TModbusBuffer &reply)
{
    TModbusOp once = op;
    once.Attempts = 1;
    bool echo = false;
    const int status = ExchangeOp(once, address, port, nullptr, 0, reply, &echo);
    return status == ST_OK && (!op.Echo || echo) ? ST_OK : status;
}

struct FindAnswer
{
    int address;
    int baud;
    TParity parity;
    bool identified = false;
    uint8_t type = 0, variant = 0;
    uint16_t serial = 0;
};

QString durationText(int64_t ms)
{
    const int64_t s = (ms + 500) / 1000;
    if (s < 60)
        return QStringLiteral("%1 s").arg(s);
    return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// Progress of a find on standard error: a line rewritten in place on a
// terminal, a line per speed and parity otherwise.
class FindProgress
{
public:
    explicit FindProgress(int64_t asks)
        : m_asks(asks)
        , m_start(TickMS())
        , m_terminal(::isatty(STDERR_FILENO) == 1)
    {
    }
    ~FindProgress()
    {
        if (m_terminal && m_shown)
            std::fprintf(stderr, "\n");
    }
    void asked(int64_t n = 1) { m_done += n; }
    void show(const QString &where, int found, bool step)
    {
        if (!m_terminal && !step)
            return;
        // Until something was asked, every request is taken as a silent one.
        const int64_t spent = TickMS() - m_start;
        const int64_t left = m_done > 0 ? spent * (m_asks - m_done) / m_done : m_asks * Ops::Identify.Timeout;
        const QString line = QStringLiteral("find: %1, %2 of %3 requests, %4 found, about %5 left")
                                 .arg(where)
                                 .arg(m_done)
                                 .arg(m_asks)
                                 .arg(found)
                                 .arg(durationText(left));
        if (m_terminal)
            std::fprintf(stderr, "\r%-78s", qPrintable(line));
        else
            std::fprintf(stderr, "%s\n", qPrintable(line));
        std::fflush(stderr);
        m_shown = true;
    }

private:
    const int64_t m_asks;
    int64_t m_done = 0;
    const int64_t m_start;
    const bool m_terminal;
    bool m_shown = false;
};

QString identityText(const FindAnswer &a)
{
    return QStringLiteral("identification %1 serial %2").arg(Get_Dornal_Device_Type(a.type, a.variant)).arg(a.serial);
}

// A device whose settings are unknown: at every speed and parity the
// transmitter page offers, identification and a measurement at the service
// address (a device in its service mode answers there) and at the address
// the user gives (one that is not answers only its own address, at its own
// speed), and with --scan an identification at every address of a range.
int cmdFind(Session &s, const QCommandLineParser &a)
{
    const FindPlan plan = parseFindPlan(a);
    TApdComPort &port = s.port();
    const QString portName = a.value(QStringLiteral("port"));
    if (plan.atMonitors)
        std::fprintf(stderr, "find: also at address %d, the monitor's (%s)\n", plan.atAddress, kParamFileName);

    std::vector<int> bauds(kPredkosciNadajnika.begin(), kPredkosciNadajnika.end());
    if (plan.atBaud > 0) {
        bauds.erase(std::remove(bauds.begin(), bauds.end(), plan.atBaud), bauds.end());
        bauds.insert(bauds.begin(), plan.atBaud);
    }
    std::vector<TParity> parities{TParity::None, TParity::Odd, TParity::Even};
    if (plan.parity)
        parities = {*plan.parity};
    // Identification and measurement at these; identification alone at the
    // rest of the scan.
    std::vector<int> asked{kAdresSerwis};
    if (plan.atAddress > 0 && plan.atAddress != kAdresSerwis)
        asked.push_back(plan.atAddress);
    std::vector<int> scanned;
    for (int address = plan.scanFirst; address <= plan.scanLast; ++address) {
        if (std::find(asked.begin(), asked.end(), address) == asked.end())
            scanned.push_back(address);
    }
    const int64_t perSetting = int64_t(asked.size()) * 2 + int64_t(scanned.size());
    FindProgress progress(perSetting * int64_t(bauds.size() * parities.size()));

    g_findInterrupted = 0;
    struct sigaction interrupt {};
    interrupt.sa_handler = onFindInterrupt;
    sigemptyset(&interrupt.sa_mask);
    struct sigaction before {};
    sigaction(SIGINT, &interrupt, &before);

    std::vector<FindAnswer> answers;
    const auto stopped = [] { return g_findInterrupted != 0; };
    for (size_t b = 0; b < bauds.size() && !stopped(); ++b) {
        const int baud = bauds[b];
        for (size_t q = 0; q < parities.size() && !stopped(); ++q) {
            const TParity parity = parities[q];
            const QString setting = QStringLiteral("%1 %2").arg(baud).arg(ParityLitera(parity));
            progress.show(setting, int(answers.size()), true);
            try {
                port.SetBaud(baud);
                port.SetParity(parity);
            } catch (const std::exception &e) {
                out() << setting << ": not possible on this port (" << e.what() << ")\n";
                out().flush();
                progress.asked(perSetting);
                continue;
            }
            const auto found = [&](int address, const QStringList &what) {
                out() << setting;
                if (address != kAdresSerwis)
                    out() << " address " << address;
                out() << ": " << what.join(QStringLiteral(", ")) << '\n';
                out().flush();
            };
            TModbusBuffer reply{};
            for (int address : asked) {
                if (stopped())
                    break;
                FindAnswer answer{address, baud, parity};
                QStringList what;
                if (tryOnce(Ops::Identify, uint8_t(address), &port, reply) == ST_OK) {
                    const uint8_t *id = reply.data() + kModbusHeaderSize;
                    answer.identified = true;
                    answer.type = id[IdOffsets::DevType];
                    answer.variant = id[IdOffsets::DevTypeDetails];
                    answer.serial = uint16_t(id[IdOffsets::SerialNumber] | id[IdOffsets::SerialNumber + 1] << 8);
                    what << identityText(answer);
                }
                progress.asked();
                if (!stopped() && tryOnce(Ops::Measure, uint8_t(address), &port, reply) == ST_OK)
                    what << QStringLiteral("measurement (%1-byte reply)").arg(reply[4]);
                progress.asked();
                if (!what.isEmpty()) {
                    answers.push_back(answer);
                    found(address, what);
                }
            }
            for (int address : scanned) {
                if (stopped())
                    break;
                if (tryOnce(Ops::Identify, uint8_t(address), &port, reply) == ST_OK) {
                    const uint8_t *id = reply.data() + kModbusHeaderSize;
                    FindAnswer answer{address, baud, parity, true, id[IdOffsets::DevType],
                                      id[IdOffsets::DevTypeDetails],
                                      uint16_t(id[IdOffsets::SerialNumber] | id[IdOffsets::SerialNumber + 1] << 8)};
                    answers.push_back(answer);
                    found(address, {identityText(answer)});
                }
                progress.asked();
                progress.show(QStringLiteral("%1 address %2").arg(setting).arg(address), int(answers.size()), false);
            }
        }
    }
    sigaction(SIGINT, &before, nullptr);
    if (stopped())
        out() << "interrupted; found so far:\n";

    if (answers.empty()) {
        QStringList where{QString::number(kAdresSerwis)};
        if (asked.size() > 1)
            where << QString::number(plan.atAddress);
        if (!scanned.empty())
            where << QStringLiteral("%1-%2").arg(plan.scanFirst).arg(plan.scanLast);
        out() << "nothing answered at address " << where.join(QStringLiteral(", ")) << '\n';
        out().flush();
        return kExitFailed;
    }
    // A device found at an address of its own is polled there; one that
    // answered only at the service address tells its own in its settings.
    out() << "to reach what answered:\n";
    for (const FindAnswer &f : answers) {
        const QString parity = ParityLitera(f.parity);
        if (f.address != kAdresSerwis) {
            out() << QStringLiteral("rh_poll --port %1 --address %2 --baud %3 --parity %4")
                         .arg(portName).arg(f.address).arg(f.baud).arg(parity)
                  << '\n';
            continue;
        }
        const bool alsoOwn = f.identified
            && std::any_of(answers.begin(), answers.end(), [&](const FindAnswer &o) {
                   return o.address != kAdresSerwis && o.identified && o.baud == f.baud && o.parity == f.parity
                       && o.type == f.type && o.serial == f.serial;
               });
        if (!alsoOwn)
            out() << QStringLiteral("rh_poll params --port %1 --at %2:%3 --line-parity %4   # its own address")
                         .arg(portName).arg(kAdresSerwis).arg(f.baud).arg(parity)
                  << '\n';
    }
    out().flush();
    return 0;
}

// Whether an option this command defines was given (asking about one it
// does not define would only draw a warning).
bool given(const QCommandLineParser &p, const QString &name)
{
    return p.optionNames().contains(name);
}

struct Command
{
    const char *name;
    const char *description;
    int (*run)(Session &, const QCommandLineParser &);
    bool writes;
};

const Command kCommands[] = {
    {"identify", "Reads the device's type, serial number, production date and version.", cmdIdentify, false},
    {"params", "Reads a transmitter's baud rate, parity, address and temperature unit.", cmdParams, false},
    {"set-params", "Writes a transmitter's baud rate, parity, address and unit (what is not given stays).",
     cmdSetParams, true},
    {"service-mode", "Identifies the device and sends it the service-mode command.", cmdServiceMode, false},
    {"adc-read", "Reads the FWADC-01 module's channel types, scale values, address and unit.", cmdAdcRead, false},
    {"adc-write", "Writes the FWADC-01 module's setup (what is not given stays); it ends at 9600 baud, no parity.",
     cmdAdcWrite, true},
    {"find",
     "Looks for a device across every speed and parity: at the service address, at --at ADDRESS, and with --scan "
     "FIRST-LAST at every address of a range.",
     cmdFind, false},
};

// --- ports: the adapters present and the COM map ----------------------------------

QString usbId(const TAdapter &a)
{
    return QString::asprintf("%04x:%04x", a.VendorId & 0xFFFF, a.ProductId < 0 ? 0 : a.ProductId & 0xFFFF);
}

int cmdPorts(const QStringList &args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "rh_poll ports: lists the serial adapters present, with their names and identifiers, and the COM\n"
        "number each is mapped to in section [ports] of fen_mon.ini (in the working directory), then the\n"
        "map itself. Exit status 0 when an adapter is present, 1 when none is."));
    p.addHelpOption();
    p.addVersionOption();
    parseOrFail(p, args);

    const QString ini = QString::fromLatin1(kComMapFileName);
    const TAdapterList adapters = ListAdapters();
    const QMap<int, QString> map = ComPortMap(ini);
    // Which COM numbers reach each adapter, and how: the map, or the rules
    // for a COM number without a key.
    QMap<QString, QStringList> comsOf;
    for (int com = 1; com <= kComPortCount; ++com) {
        const QString device = ComDeviceName(com, ini, adapters);
        const std::optional<TAdapter> a = FindAdapter(adapters, device);
        if (!a)
            continue;
        QString name = QStringLiteral("COM%1").arg(com);
        if (!map.contains(com))
            name += com == 1 && map.isEmpty() && OnlyUsbAdapter(adapters)
                ? QStringLiteral(" (nothing mapped: the only USB adapter)")
                : QStringLiteral(" (no key: its default name)");
        comsOf[a->Device] << name;
    }

    if (adapters.isEmpty())
        out() << "no serial adapter present\n";
    for (const TAdapter &a : adapters) {
        const QStringList coms = comsOf.value(a.Device);
        out() << a.Device << "  " << (coms.isEmpty() ? QStringLiteral("not mapped") : coms.join(QStringLiteral(", ")))
              << '\n';
        const auto row = [](const char *name, const QString &value) {
            if (!value.isEmpty())
                out() << "  " << QString::fromLatin1(name).leftJustified(14) << value << '\n';
        };
        row("by-id", a.ById);
        row("description", a.Description);
        row("manufacturer", a.Manufacturer);
        row("serial", a.SerialNumber);
        row("USB id", a.Usb() ? usbId(a) : QString());
    }

    out() << "COM map (" << ini << " [" << kComMapSection << "]):";
    if (map.isEmpty())
        out() << " nothing mapped";
    out() << '\n';
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const std::optional<TAdapter> a = FindAdapter(adapters, it.value());
        QString state;
        if (a)
            state = a->Device == it.value() ? QStringLiteral("present") : QStringLiteral("-> %1").arg(a->Device);
        else if (QFileInfo::exists(it.value()))
            state = QStringLiteral("present, not a serial adapter");
        else
            state = QStringLiteral("not present");
        out() << QStringLiteral("COM%1").arg(it.key()).leftJustified(6) << it.value() << "  " << state << '\n';
    }
    out().flush();
    return adapters.isEmpty() ? kExitFailed : 0;
}

} // namespace

int runServiceCommand(const QString &command, const QStringList &args)
{
    // Nothing goes on the line: no port, no session.
    if (command == QLatin1String("ports"))
        return cmdPorts(args);

    const Command *cmd = nullptr;
    for (const Command &c : kCommands) {
        if (command == QLatin1String(c.name))
            cmd = &c;
    }
    if (!cmd)
        fail(QStringLiteral("unknown command '%1' (see --help)").arg(command));

    QCommandLineParser p;
    const QString reached = command == QLatin1String("find")
        ? QStringLiteral("--at ADDRESS[:BAUD] adds that address at every speed (the speed given first); without it,\n"
                         "the address and speed of set_monitor.dat in the working directory. --line-parity keeps to one parity.")
        : QStringLiteral("The device is reached at the service address %1 at %2 baud unless --at says otherwise.")
              .arg(kAdresSerwis)
              .arg(kPredkoscSerwis);
    p.setApplicationDescription(QStringLiteral("rh_poll %1: %2\n%3")
                                    .arg(QLatin1String(cmd->name), QLatin1String(cmd->description), reached));
    addCommonOptions(p);
    p.addOptions({
        {QStringLiteral("at"), QStringLiteral("Reach the device at this address and baud rate."),
         QStringLiteral("address:baud")},
        {QStringLiteral("line-parity"), QStringLiteral("Parity of the port: N, O or E."), QStringLiteral("p"),
         QStringLiteral("N")},
        {QStringLiteral("fwdl"), QStringLiteral("Identify through an FWDL unit at this address and baud rate."),
         QStringLiteral("address:baud")},
    });
    if (command == QLatin1String("set-params")) {
        p.addOptions({
            {QStringLiteral("baud"), QStringLiteral("New baud rate."), QStringLiteral("rate")},
            {QStringLiteral("parity"), QStringLiteral("New parity: N, O or E."), QStringLiteral("p")},
            {QStringLiteral("address"),
             QStringLiteral("New address, %1 to %2.").arg(kAdresyNadajnika.Min).arg(kAdresyNadajnika.Max),
             QStringLiteral("n")},
            {QStringLiteral("unit"), QStringLiteral("New temperature unit: C or F."), QStringLiteral("u")},
        });
    } else if (command == QLatin1String("find")) {
        p.addOptions({
            {QStringLiteral("scan"),
             QStringLiteral("Also identify every address from FIRST to LAST (1 to %1) at each speed and parity; "
                            "progress on standard error, Ctrl+C prints what was found so far.")
                 .arg(kAdresSerwis),
             QStringLiteral("first-last")},
        });
    } else if (command == QLatin1String("adc-write")) {
        p.addOptions({
            {QStringLiteral("type1"), QStringLiteral("Channel 1 type: a name (\"PT-100\") or code 0-12."),
             QStringLiteral("type")},
            {QStringLiteral("type2"), QStringLiteral("Channel 2 type."), QStringLiteral("type")},
            {QStringLiteral("range020"), QStringLiteral("0-20 mA scale values CH1A,CH1B,CH2A,CH2B (tenths)."),
             QStringLiteral("values")},
            {QStringLiteral("range420"), QStringLiteral("4-20 mA scale values CH1A,CH1B,CH2A,CH2B (tenths)."),
             QStringLiteral("values")},
            {QStringLiteral("address"),
             QStringLiteral("New module address, %1 to %2.").arg(kAdresyModulu.Min).arg(kAdresyModulu.Max),
             QStringLiteral("n")},
            {QStringLiteral("unit"), QStringLiteral("Temperature unit: C or F."), QStringLiteral("u")},
        });
    }
    parseOrFail(p, args);
    if (cmd->writes) {
        bool any = false;
        for (const char *o : {"baud", "parity", "address", "unit", "type1", "type2", "range020", "range420"})
            any = any || given(p, QLatin1String(o));
        if (!any)
            fail(QStringLiteral("%1: nothing to write (see --help)").arg(command));
    }

    Target t;
    t.port = parsePort(p.value(QStringLiteral("port")));
    t.parity = parseParity(p.value(QStringLiteral("line-parity")), QStringLiteral("--line-parity"));
    if (command == QLatin1String("find"))
        parseFindPlan(p); // its --at needs no speed
    else if (p.isSet(QStringLiteral("at")))
        std::tie(t.address, t.baud) = parseAddressBaud(p.value(QStringLiteral("at")), QStringLiteral("--at"));
    if (p.isSet(QStringLiteral("fwdl"))) {
        t.fwdl = true;
        std::tie(t.fwdlAddress, t.fwdlBaud) = parseAddressBaud(p.value(QStringLiteral("fwdl")), QStringLiteral("--fwdl"));
    }
    // Values of a write are checked before anything is sent.
    if (given(p, QStringLiteral("baud")))
        parseListedBaud(p.value(QStringLiteral("baud")));
    if (given(p, QStringLiteral("parity")))
        parseParity(p.value(QStringLiteral("parity")), QStringLiteral("--parity"));
    if (given(p, QStringLiteral("address")))
        parseAddress(p.value(QStringLiteral("address")),
                     command == QLatin1String("adc-write") ? kAdresyModulu : kAdresyNadajnika);
    if (given(p, QStringLiteral("unit")))
        parseUnit(p.value(QStringLiteral("unit")));

    Session session(t);
    return cmd->run(session, p);
}
