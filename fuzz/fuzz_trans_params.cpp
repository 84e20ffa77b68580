// A transmitter's line settings and unit: the read (parameters, then the
// unit from a measurement frame) and the write (unit, then parameters).
//
// Script: u8 what (bit 0: read or write); u8 route (fuzz_checks.h); u8
// address; the baud rate; for a write: the record's baud rate, u16 address,
// u16 parity code, u8 unit; then the line (fuzz_port.h).
#include "fuzz_checks.h"

namespace {

// The parameters reply: baud rate byte, parity code and address.
constexpr int kParamsBaud = 5;
constexpr int kParamsParity = 6;
constexpr int kParamsAddress = 7;
constexpr int kParamsMinFrame = 10;

// A unit of 1 or 0 from the status byte of a measurement frame.
bool unitFits(uint8_t unit, const QByteArray &reply)
{
    const int length = static_cast<int>(reply.size());
    const auto bit4 = [&](const MeasureLayout &l) { return (uint8_t(reply.at(l.status)) & kStatusFahrenheit) ? 1 : 0; };
    if (const MeasureLayout *l = MeasureLayoutOf(length)) {
        // A 15-byte frame keeps its status byte where the 13-byte one does;
        // a reader that knows no unit there reports Celsius.
        return unit == bit4(*l) || (length == 15 && unit == 0);
    }
    if (IsAmbiguousMeasureLength(length))
        return unit == 0 || unit == bit4(*MeasureLayoutOf(length & 0xFF));
    return unit == 0;
}

void checkRead(const FuzzPort &port, uint8_t address, int status, const TPWTTrans &d)
{
    const PlannedOp params{Ops::ParamsRead, RequestFrame(Ops::ParamsRead, address)};
    const PlannedOp unit{Ops::UnitRead, RequestFrame(Ops::UnitRead, address)};
    const MatchedExchanges matched(port, {params, unit});
    const QByteArray reply = matched[0] ? matched[0]->reply() : QByteArray();
    const bool ok = !reply.isEmpty() && Echoes(reply, params.request) && reply.size() >= kParamsMinFrame;
    FUZZ_CHECK(status == (ok ? ST_OK : ST_PARAMS_FAILED),
               QStringLiteral("status %1 for the reply %2").arg(status).arg(Hex(reply)));
    FUZZ_CHECK(d.Status_Transmisji == status, QStringLiteral("record status %1").arg(d.Status_Transmisji));
    if (!ok) {
        FUZZ_CHECK(!matched[1], QStringLiteral("the unit was read after a failed parameters read"));
        return;
    }
    FUZZ_CHECK(d.predkosc == uint8_t(reply.at(kParamsBaud)) * kBaudByteStep
                   && d.parzystosc == uint8_t(reply.at(kParamsParity)) && d.adres == uint8_t(reply.at(kParamsAddress)),
               QStringLiteral("read %1 baud, parity %2, address %3 from %4")
                   .arg(d.predkosc)
                   .arg(d.parzystosc)
                   .arg(d.adres)
                   .arg(Hex(reply)));
    const QByteArray unitReply = matched[1] ? matched[1]->reply() : QByteArray();
    FUZZ_CHECK(unitFits(d.FahrCels, unitReply),
               QStringLiteral("unit %1 from %2").arg(d.FahrCels).arg(Hex(unitReply)));
}

void checkWrite(const FuzzPort &port, uint8_t address, int status, const TPWTTrans &before, const TPWTTrans &d)
{
    FUZZ_CHECK(d.predkosc == before.predkosc && d.adres == before.adres && d.parzystosc == before.parzystosc
                   && d.FahrCels == before.FahrCels,
               QStringLiteral("the write changed the settings it was given"));
    FUZZ_CHECK(d.Status_Transmisji == status, QStringLiteral("record status %1").arg(d.Status_Transmisji));
    const bool fits = before.predkosc > 0 && before.predkosc % kBaudByteStep == 0
        && before.predkosc / kBaudByteStep <= 0xFF && before.adres <= 0xFF && before.parzystosc <= 0xFF;
    if (!fits) {
        // Sent, such a setting would reach the device as another one.
        FUZZ_CHECK(status == ST_PARAMS_FAILED && port.sends().empty(),
                   QStringLiteral("%1 baud, address %2, parity %3: status %4 after %5 sends")
                       .arg(before.predkosc)
                       .arg(before.adres)
                       .arg(before.parzystosc)
                       .arg(status)
                       .arg(port.sends().size()));
        return;
    }
    const QByteArray unitData(1, char(before.FahrCels));
    QByteArray paramsData;
    paramsData.append(char(before.predkosc / kBaudByteStep));
    paramsData.append(char(before.parzystosc));
    paramsData.append(char(before.adres));
    const PlannedOp unit{Ops::UnitWrite, RequestFrame(Ops::UnitWrite, address, unitData)};
    const PlannedOp params{Ops::ParamsWrite, RequestFrame(Ops::ParamsWrite, address, paramsData)};
    const MatchedExchanges matched(port, {unit, params});
    if (matched[1])
        FUZZ_CHECK(status == EchoedStatus(*matched[1], ST_PARAMS_FAILED),
                   QStringLiteral("status %1 for %2").arg(status).arg(Hex(matched[1]->lastTaken)));
    else
        FUZZ_CHECK(IsOpenFailure(status), QStringLiteral("the parameters were not sent: status %1").arg(status));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineScript script(data, size);
    const bool write = script.flag();
    const PortRoute route = ReadPortRoute(script);
    const uint8_t address = script.u8();
    const int baud = ReadBaud(script);
    TPWTTrans before;
    before.Status_Transmisji = 0x5A5A;
    if (write) {
        before.predkosc = ReadBaud(script);
        before.adres = script.u16();
        before.parzystosc = script.u16();
        before.FahrCels = script.u8();
    }

    FuzzPort port(script, route.portCom, 9600);
    const TComPortTable ports = PortTable(port);
    TPWTTrans d = before;
    int status = -1;
    if (write) {
        DirectTransaction<TTHR_RH_Set_Trans> t(route.transactionCom, address, baud, &d, ports);
        status = t.Run();
    } else {
        DirectTransaction<TTHR_RH_Get_Trans> t(route.transactionCom, address, baud, &d, ports);
        status = t.Run();
    }

    if (!route.found()) {
        FUZZ_CHECK(status == ST_TRANS_FAILED && port.sends().empty() && d.Status_Transmisji == before.Status_Transmisji,
                   QStringLiteral("no port object: status %1").arg(status));
        return 0;
    }
    if (write)
        checkWrite(port, address, status, before, d);
    else
        checkRead(port, address, status, d);
    return 0;
}
