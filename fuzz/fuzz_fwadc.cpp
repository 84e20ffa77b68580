// The ADC module: its read (a measurement, then the configuration) and its
// write (channel types, scale values, then the line settings), with the
// module's pauses between the steps.
//
// Script: u8 what (bit 0: read or write); u8 route (fuzz_checks.h); u8
// address; the baud rate; for a write: u8 address, u8 unit, u8 and u8 the
// channel types, eight u16 scale values; then the line (fuzz_port.h).
#include "fuzz_checks.h"

#include <array>

namespace {

// The configuration reply.
constexpr int kCfgUnit = 5;
constexpr int kCfgRanges = 6; // eight words, high byte first
constexpr int kCfgAddress = 24;
constexpr int kCfgType1 = 25;
constexpr int kCfgType2 = 26;
constexpr int kCfgMinFrame = 29;
// The channel types reply.
constexpr int kTypesMinFrame = 9;

// The module's pauses after each set-up write: it stores the setting and
// re-initialises the channel first.
constexpr int kTypeSettleMs = 1500;
constexpr int kRangesLeadMs = 1000;
constexpr int kRangesSettleMs = 1500;

std::array<uint16_t, 8> rangesOf(const TFwadc_Informacja &f)
{
    return {f.Kanal1Range0201, f.Kanal1Range0202, f.Kanal2Range0201, f.Kanal2Range0202,
            f.Kanal1Range4201, f.Kanal1Range4202, f.Kanal2Range4201, f.Kanal2Range4202};
}

bool isCurrentLoop(int type)
{
    return type == FCT_020MA || type == FCT_420MA;
}

void checkRead(const FuzzPort &port, uint8_t address, int status, const TFwadc_Informacja &f)
{
    const PlannedOp measure{Ops::Measure, RequestFrame(Ops::Measure, address)};
    const PlannedOp config{Ops::AdcConfigRead, RequestFrame(Ops::AdcConfigRead, address)};
    const MatchedExchanges matched(port, {measure, config});
    FUZZ_CHECK(f.Status_Transmisji == status, QStringLiteral("record status %1").arg(f.Status_Transmisji));

    const QByteArray m = matched[0] ? matched[0]->reply() : QByteArray();
    if (m.isEmpty() || !Echoes(m, measure.request)) {
        FUZZ_CHECK(status == ST_TRANS_FAILED && !matched[1], QStringLiteral("failed measurement: status %1").arg(status));
        return;
    }
    // The port opened for the measurement: the configuration read reaches the line.
    FUZZ_CHECK(matched[1], QStringLiteral("no configuration read after a good measurement"));
    int want = EchoedStatus(*matched[1], ST_UNKNOWN_DEVICE);
    const QByteArray c = matched[1]->reply();
    if (want == ST_OK && c.size() < kCfgMinFrame)
        want = ST_UNKNOWN_DEVICE;
    FUZZ_CHECK(status == want, QStringLiteral("status %1 for %2, due %3").arg(status).arg(Hex(matched[1]->lastTaken)).arg(want));
    if (status != ST_OK)
        return;

    const auto b = [&](int i) { return uint8_t(c.at(i)); };
    std::array<uint16_t, 8> ranges{};
    for (int i = 0; i < 8; ++i)
        ranges[size_t(i)] = static_cast<uint16_t>(BeWord(c, kCfgRanges + 2 * i));
    FUZZ_CHECK(f.Adres == b(kCfgAddress) && f.Jednostka == b(kCfgUnit) && f.Kanal1Typ == b(kCfgType1)
                   && f.Kanal2Typ == b(kCfgType2) && rangesOf(f) == ranges,
               QStringLiteral("configuration read wrong from %1").arg(Hex(c)));

    // The error flags come from the measurement's status and mode bytes.
    const auto flagsFrom = [&](const MeasureLayout &l) {
        const uint8_t st = uint8_t(m.at(l.status));
        return f.PrzetwornikUszkodzony == (uint8_t(m.at(l.mode)) == kFwadcConverterDamaged)
            && f.Kanal1Error == ((st & kFwadcChannel1Error) != 0) && f.Kanal2Error == ((st & kFwadcChannel2Error) != 0);
    };
    const bool noFlags = !f.PrzetwornikUszkodzony && !f.Kanal1Error && !f.Kanal2Error;
    const int length = static_cast<int>(m.size());
    bool fits;
    if (const MeasureLayout *l = MeasureLayoutOf(length))
        fits = flagsFrom(*l);
    else if (IsAmbiguousMeasureLength(length))
        fits = noFlags || flagsFrom(*MeasureLayoutOf(length & 0xFF));
    else
        fits = noFlags;
    FUZZ_CHECK(fits, QStringLiteral("error flags %1%2%3 from %4")
                         .arg(f.PrzetwornikUszkodzony)
                         .arg(f.Kanal1Error)
                         .arg(f.Kanal2Error)
                         .arg(Hex(m)));
}

// The write's requests in their order; which go out depends on the module.
std::vector<PlannedOp> writePlan(const TFwadc_Informacja &d, uint8_t address)
{
    QByteArray ranges020;
    QByteArray ranges420;
    const std::array<uint16_t, 8> r = rangesOf(d);
    for (int i = 0; i < 8; ++i) {
        QByteArray &to = i < 4 ? ranges020 : ranges420;
        to.append(char(r[size_t(i)] >> 8));
        to.append(char(r[size_t(i)] & 0xFF));
    }
    // The module always ends at 9600 baud, no parity.
    QByteArray params;
    params.append(char(9600 / kBaudByteStep));
    params.append(char(PC_NONE));
    params.append(char(d.Adres));
    const auto type = [&](int channel, int code) {
        return RequestFrame(Ops::AdcTypeWrite, address, QByteArray(1, char(channel)) + char(code));
    };
    return {
        {Ops::AdcTypesRead, RequestFrame(Ops::AdcTypesRead, address)},
        {Ops::AdcTypeWrite, type(kFwadcChannel1, d.Kanal1Typ)},
        {Ops::AdcTypeWrite, type(kFwadcChannel2, d.Kanal2Typ)},
        {Ops::AdcRanges020Write, RequestFrame(Ops::AdcRanges020Write, address, ranges020)},
        {Ops::AdcRanges420Write, RequestFrame(Ops::AdcRanges420Write, address, ranges420)},
        {Ops::UnitWrite, RequestFrame(Ops::UnitWrite, address, QByteArray(1, char(d.Jednostka & 0xFF)))},
        {Ops::ParamsWrite, RequestFrame(Ops::ParamsWrite, address, params)},
    };
}

// Walks the write as the module must see it and checks every step's request,
// its pause and the final status.
class WriteWalk
{
public:
    WriteWalk(const FuzzPort &port, const TFwadc_Informacja &d, uint8_t address)
        : m_d(d)
        , m_matched(port, writePlan(d, address))
    {
    }

    int run()
    {
        int status = step(TypesRead, ST_UNKNOWN_DEVICE, 0);
        int k1 = -1;
        int k2 = -1;
        if (status == ST_OK) {
            const QByteArray types = m_matched[TypesRead]->reply();
            if (types.size() < kTypesMinFrame) {
                status = ST_UNKNOWN_DEVICE;
            } else {
                k1 = uint8_t(types.at(5));
                k2 = uint8_t(types.at(6));
            }
        }
        if (status != ST_OK)
            return finish(status);
        int pause = 0;
        if (k1 != m_d.Kanal1Typ) {
            status = step(Type1, ST_UNKNOWN_DEVICE, kTypeSettleMs);
            pause = kTypeSettleMs;
        }
        if (status == ST_OK && k2 != m_d.Kanal2Typ) {
            status = step(Type2, ST_UNKNOWN_DEVICE, pause);
            pause = kTypeSettleMs;
        }
        // Scale values go out only while a channel reads as a current loop.
        if (status == ST_OK && (isCurrentLoop(k1) || isCurrentLoop(k2))) {
            const int first = step(Ranges020, ST_UNKNOWN_DEVICE, pause + kRangesLeadMs);
            const int second = step(Ranges420, ST_UNKNOWN_DEVICE, 0);
            status = first != ST_OK ? first : second;
            pause = kRangesSettleMs;
        }
        if (status == ST_OK) {
            // The unit write's own outcome does not count.
            step(Unit, ST_OK, pause);
            status = step(Params, ST_PARAMS_FAILED, 0);
        }
        return finish(status);
    }

private:
    enum Step { TypesRead, Type1, Type2, Ranges020, Ranges420, Unit, Params, StepCount };

    // The step's exchange must be on the line, at least pauseMs after the
    // exchange before it; returns its status.
    int step(Step s, int echoFailure, int pauseMs)
    {
        m_due[s] = true;
        const LineExchange *e = m_matched[s];
        if (!e) {
            // A step reaches the line unless the port cannot open: at the
            // first step, or after the device was lost (the open reports it).
            FUZZ_CHECK(s == TypesRead || (m_previous && m_previous->failed),
                       QStringLiteral("step %1 of the write did not reach the line").arg(int(s)));
            if (s != TypesRead)
                return ST_SEND_FAILED;
            m_openFailed = true;
            return -1;
        }
        if (m_previous)
            FUZZ_CHECK(e->firstAtMs - m_previous->lastAtMs >= pauseMs,
                       QStringLiteral("step %1 came %2 ms after the one before, the module needs %3")
                           .arg(int(s))
                           .arg(e->firstAtMs - m_previous->lastAtMs)
                           .arg(pauseMs));
        m_previous = e;
        return EchoedStatus(*e, echoFailure);
    }

    int finish(int status)
    {
        for (int s = 0; s < StepCount; ++s)
            FUZZ_CHECK(m_due[s] || !m_matched[size_t(s)],
                       QStringLiteral("step %1 of the write was sent though not due").arg(s));
        return m_openFailed ? -1 : status;
    }

    const TFwadc_Informacja &m_d;
    MatchedExchanges m_matched;
    std::array<bool, StepCount> m_due{};
    const LineExchange *m_previous = nullptr;
    bool m_openFailed = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineScript script(data, size);
    const bool write = script.flag();
    const PortRoute route = ReadPortRoute(script);
    const uint8_t address = script.u8();
    const int baud = ReadBaud(script);
    TFwadc_Informacja before;
    before.Status_Transmisji = 0x5A5A;
    if (write) {
        before.Adres = script.u8();
        before.Jednostka = script.u8();
        // Mostly the module's own codes, a few beyond them.
        before.Kanal1Typ = script.u8() % 16;
        before.Kanal2Typ = script.u8() % 16;
        before.Kanal1Range0201 = script.u16();
        before.Kanal1Range0202 = script.u16();
        before.Kanal2Range0201 = script.u16();
        before.Kanal2Range0202 = script.u16();
        before.Kanal1Range4201 = script.u16();
        before.Kanal1Range4202 = script.u16();
        before.Kanal2Range4201 = script.u16();
        before.Kanal2Range4202 = script.u16();
    }

    FuzzPort port(script, route.portCom, 9600);
    const TComPortTable ports = PortTable(port);
    TFwadc_Informacja d = before;
    int status = -1;
    if (write) {
        DirectTransaction<TTHR_RH_SetFwadc> t(route.transactionCom, address, baud, &d, ports);
        status = t.Run();
    } else {
        DirectTransaction<TTHR_RH_GetFwadc> t(route.transactionCom, address, baud, &d, ports);
        status = t.Run();
    }

    if (!route.found()) {
        FUZZ_CHECK(status == ST_TRANS_FAILED && port.sends().empty() && d.Status_Transmisji == before.Status_Transmisji,
                   QStringLiteral("no port object: status %1").arg(status));
        return 0;
    }
    if (!write) {
        checkRead(port, address, status, d);
        return 0;
    }
    FUZZ_CHECK(d.Status_Transmisji == status, QStringLiteral("record status %1").arg(d.Status_Transmisji));
    FUZZ_CHECK(d.Adres == before.Adres && d.Jednostka == before.Jednostka && d.Kanal1Typ == before.Kanal1Typ
                   && d.Kanal2Typ == before.Kanal2Typ && rangesOf(d) == rangesOf(before),
               QStringLiteral("the write changed the set-up it was given"));
    const int want = WriteWalk(port, before, address).run();
    if (want == -1)
        FUZZ_CHECK(IsOpenFailure(status), QStringLiteral("nothing sent, status %1").arg(status));
    else
        FUZZ_CHECK(status == want, QStringLiteral("status %1, due %2").arg(status).arg(want));
    return 0;
}
