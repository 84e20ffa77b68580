// The measurement and the FWDL unit's transparent mode: GetCurrentMeasure,
// the monitor's transaction body with and without the FWDL step,
// SetFWDL_TransparentMOde and FwdlTransparentStep.
//
// Script: u8 what (modulo 4: measurement, transaction, transparent mode,
// FWDL step); u8 route (fuzz_checks.h); u8 address; the baud rate; the
// record: u8 through the FWDL unit, i32 its address, its baud rate, i16
// temperature, i16 humidity, u8 status, u8 mode, u8 radio fields; then the
// line (fuzz_port.h).
#include "dn_tools.h"
#include "fuzz_checks.h"

namespace {

enum What { Measurement, Transaction, TransparentMode, FwdlStep, WhatCount };

TRH_Parametry_Biezace readRecord(LineScript &s)
{
    TRH_Parametry_Biezace d;
    d.PrzezCentralke = s.flag();
    d.FwdlAdres = s.i32();
    d.FwdlPredk = ReadBaud(s);
    d.Temperatura = static_cast<int16_t>(s.u16());
    d.Wilgotnosc = static_cast<int16_t>(s.u16());
    d.Status = s.u8();
    d.TrybPracy = s.u8();
    const uint8_t radio = s.u8();
    d.Nr_Seryjny_Radio = radio;
    d.OstatniaProbka_Radio = radio / 4.0;
    d.Signal = radio;
    d.Battery = static_cast<uint8_t>(~radio);
    d.LastAnswer = static_cast<int16_t>(-radio);
    d.RadioDT = radio * 2.0;
    d.IdLogger = radio * 7;
    return d;
}

// The fields a measurement neither reads nor writes.
void checkCarried(const TRH_Parametry_Biezace &before, const TRH_Parametry_Biezace &after)
{
    FUZZ_CHECK(after.PrzezCentralke == before.PrzezCentralke && after.FwdlAdres == before.FwdlAdres
                   && after.FwdlPredk == before.FwdlPredk,
               QStringLiteral("the FWDL inputs changed"));
    FUZZ_CHECK(after.Nr_Seryjny_Radio == before.Nr_Seryjny_Radio
                   && after.OstatniaProbka_Radio == before.OstatniaProbka_Radio && after.Signal == before.Signal
                   && after.Battery == before.Battery && after.LastAnswer == before.LastAnswer
                   && after.RadioDT == before.RadioDT && after.IdLogger == before.IdLogger,
               QStringLiteral("the radio fields changed"));
}

// What a measurement leaves in its record, judged from its exchange.
void checkMeasurement(const TRH_Parametry_Biezace &before, const TRH_Parametry_Biezace &after, int status,
                      const LineExchange *exchange)
{
    const QByteArray reply = exchange ? exchange->reply() : QByteArray();
    const bool accepted = !reply.isEmpty() && Echoes(reply, exchange->request);
    FUZZ_CHECK(status == (accepted ? ST_OK : ST_TRANS_FAILED),
               QStringLiteral("status %1 for the reply %2").arg(status).arg(Hex(reply)));
    FUZZ_CHECK(after.Status_Transmisji == status,
               QStringLiteral("record status %1, status %2").arg(after.Status_Transmisji).arg(status));
    checkCarried(before, after);

    if (!accepted) {
        FUZZ_CHECK(after.Temperatura == kNoValue && after.Wilgotnosc == kNoValue,
                   QStringLiteral("a failed measurement left readings %1 and %2")
                       .arg(after.Temperatura)
                       .arg(after.Wilgotnosc));
        FUZZ_CHECK(after.Status == before.Status && after.TrybPracy == before.TrybPracy,
                   QStringLiteral("a failed measurement changed the status bytes"));
        return;
    }
    const bool unchanged = after.Temperatura == before.Temperatura && after.Wilgotnosc == before.Wilgotnosc
        && after.Status == before.Status && after.TrybPracy == before.TrybPracy;
    const int length = static_cast<int>(reply.size());
    const MeasureLayout *layout = MeasureLayoutOf(length);
    if (!layout && IsAmbiguousMeasureLength(length)) {
        if (unchanged)
            return;
        layout = MeasureLayoutOf(length & 0xFF);
    }
    if (!layout) {
        FUZZ_CHECK(unchanged, QStringLiteral("a reply of %1 bytes changed the readings").arg(length));
        return;
    }
    const int16_t humidity = layout->humidity < 0 ? kNoValue : BeWord(reply, layout->humidity);
    FUZZ_CHECK(after.Temperatura == BeWord(reply, layout->temperature) && after.Wilgotnosc == humidity
                   && after.Status == uint8_t(reply.at(layout->status))
                   && after.TrybPracy == uint8_t(reply.at(layout->mode)),
               QStringLiteral("readings %1, %2, status %3, mode %4 from %5")
                   .arg(after.Temperatura)
                   .arg(after.Wilgotnosc)
                   .arg(after.Status)
                   .arg(after.TrybPracy)
                   .arg(Hex(reply)));
}

// The transparent-mode command goes at the unit's rate, unless the driver
// refused it. Afterwards the port is back at its own rate, unless the driver
// does not take that rate or the device was lost (the next open reports it).
void checkFwdlStep(const FuzzPort &port, const LineExchange *fwdl, int unitBaud, int portBaud)
{
    if (fwdl)
        FUZZ_CHECK(fwdl->firstBaud == unitBaud || fwdl->firstBaud == portBaud,
                   QStringLiteral("the FWDL command went at %1 baud").arg(fwdl->firstBaud));
    FUZZ_CHECK(port.Baud() == portBaud || !FuzzPort::DriverTakes(portBaud) || !port.Open(),
               QStringLiteral("the port stayed at %1 baud after the FWDL step, not %2").arg(port.Baud()).arg(portBaud));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineScript script(data, size);
    const int what = script.u8() % WhatCount;
    const PortRoute route = ReadPortRoute(script);
    const uint8_t address = script.u8();
    const int baud = ReadBaud(script);
    const TRH_Parametry_Biezace before = readRecord(script);
    const uint8_t unitAddress = static_cast<uint8_t>(before.FwdlAdres & 0xFF);
    const PlannedOp measure{Ops::Measure, RequestFrame(Ops::Measure, address)};
    const PlannedOp transparent{Ops::FwdlTransparent, RequestFrame(Ops::FwdlTransparent, unitAddress)};

    FuzzPort port(script, route.portCom, 9600);

    switch (what) {
    case Measurement: {
        TRH_Parametry_Biezace d = before;
        int status = -1;
        GetCurrentMeasure(address, &port, status, d);
        const MatchedExchanges matched(port, {measure});
        checkMeasurement(before, d, status, matched[0]);
        break;
    }
    case Transaction: {
        TRH_Parametry_Biezace d = before;
        const TComPortTable ports = PortTable(port);
        DirectTransaction<TTHR_RH_Get_Current_Measure> t(route.transactionCom, address, baud, &d, ports);
        const int portBaud = port.Baud();
        const int status = t.Run();
        if (!route.found()) {
            FUZZ_CHECK(status == ST_TRANS_FAILED && port.sends().empty(),
                       QStringLiteral("no port object: status %1 after %2 sends").arg(status).arg(port.sends().size()));
            checkCarried(before, d);
            FUZZ_CHECK(d.Temperatura == before.Temperatura && d.Wilgotnosc == before.Wilgotnosc
                           && d.Status == before.Status && d.TrybPracy == before.TrybPracy
                           && d.Status_Transmisji == before.Status_Transmisji,
                       QStringLiteral("no port object, and the record changed"));
            break;
        }
        FUZZ_CHECK(portBaud == baud, QStringLiteral("the port is at %1 baud, the transaction asked %2").arg(portBaud).arg(baud));
        std::vector<PlannedOp> plan;
        if (before.PrzezCentralke)
            plan.push_back(transparent);
        plan.push_back(measure);
        const MatchedExchanges matched(port, plan);
        const LineExchange *m = matched.back();
        checkMeasurement(before, d, status, m);
        if (before.PrzezCentralke)
            checkFwdlStep(port, matched.front(), before.FwdlPredk, portBaud);
        // Whatever became of the FWDL step, the device is asked at its own rate.
        CheckRequestsAtRate(port, transparent.request, portBaud);
        break;
    }
    case TransparentMode: {
        int status = -1;
        SetFWDL_TransparentMOde(unitAddress, &port, status);
        const MatchedExchanges matched(port, {transparent});
        if (matched[0])
            FUZZ_CHECK(status == EchoedStatus(*matched[0], ST_UNKNOWN_DEVICE),
                       QStringLiteral("status %1 for %2").arg(status).arg(Hex(matched[0]->lastTaken)));
        else
            FUZZ_CHECK(IsOpenFailure(status), QStringLiteral("nothing sent, status %1").arg(status));
        break;
    }
    case FwdlStep: {
        port.SetBaud(baud);
        const int64_t start = TickMS();
        FwdlTransparentStep(&port, before.FwdlAdres, before.FwdlPredk);
        const MatchedExchanges matched(port, {transparent});
        checkFwdlStep(port, matched[0], before.FwdlPredk, baud);
        FUZZ_CHECK(TickMS() - start <= Ops::FwdlTransparent.Attempts * (2 * Ops::FwdlTransparent.Timeout + 1500),
                   QStringLiteral("the FWDL step took %1 ms").arg(TickMS() - start));
        break;
    }
    }
    return 0;
}
