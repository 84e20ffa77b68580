// The identification and the service mode: the service window's first two
// transaction bodies, the identification with and without the FWDL step.
//
// Script: u8 what (bit 0: identification or service mode); u8 route
// (fuzz_checks.h); u8 address; the baud rate; the record: 17 bytes of a
// previous identification, u8 through the FWDL unit, i32 its address, its
// baud rate; then the line (fuzz_port.h).
#include "fuzz_checks.h"

#include <array>

namespace {

// The identification reply's data, from its first data byte. The two
// multi-byte numbers come low byte first: the device sends a memory image.
constexpr int kIdDataSize = 17;

struct Identity
{
    uint8_t type, variant;
    uint16_t serial;
    uint8_t year, month, day;
    std::array<char, 4> version;
    int32_t makerSerial;
    uint8_t reserved1, reserved2;
    bool operator==(const Identity &o) const
    {
        return type == o.type && variant == o.variant && serial == o.serial && year == o.year && month == o.month
            && day == o.day && version == o.version && makerSerial == o.makerSerial && reserved1 == o.reserved1
            && reserved2 == o.reserved2;
    }
};

Identity fromData(QByteArray data)
{
    // What the frame does not hold reads as zero.
    data = data.left(kIdDataSize).leftJustified(kIdDataSize, '\0');
    const auto b = [&](int i) { return static_cast<uint8_t>(data.at(i)); };
    Identity id{};
    id.type = b(0);
    id.variant = b(1);
    id.serial = static_cast<uint16_t>(b(2) | b(3) << 8);
    id.year = b(4);
    id.month = b(5);
    id.day = b(6);
    for (int i = 0; i < 4; ++i)
        id.version[size_t(i)] = data.at(7 + i);
    id.makerSerial = static_cast<int32_t>(uint32_t(b(11)) | uint32_t(b(12)) << 8 | uint32_t(b(13)) << 16
                                          | uint32_t(b(14)) << 24);
    id.reserved1 = b(15);
    id.reserved2 = b(16);
    return id;
}

Identity of(const TPWT_ID_Informacja &r)
{
    return {r.ID.Dev_Type, r.ID.Dev_Type_Details, r.ID.Serial_Number, r.Year, r.Month, r.Day,
            r.Version, r.Dornal_serial_Number, r.Reserved1, r.Reserved2};
}

void put(TPWT_ID_Informacja &r, const Identity &id)
{
    r.ID.Dev_Type = id.type;
    r.ID.Dev_Type_Details = id.variant;
    r.ID.Serial_Number = id.serial;
    r.Year = id.year;
    r.Month = id.month;
    r.Day = id.day;
    r.Version = id.version;
    r.Dornal_serial_Number = id.makerSerial;
    r.Reserved1 = id.reserved1;
    r.Reserved2 = id.reserved2;
}

QString describe(const Identity &id)
{
    return QStringLiteral("type %1.%2 serial %3 date %4-%5-%6 version %7 maker %8 reserved %9 %10")
        .arg(id.type)
        .arg(id.variant)
        .arg(id.serial)
        .arg(id.year)
        .arg(id.month)
        .arg(id.day)
        .arg(Hex(QByteArray(id.version.data(), 4)))
        .arg(id.makerSerial)
        .arg(id.reserved1)
        .arg(id.reserved2);
}

bool sameInputs(const TPWT_ID_Informacja &a, const TPWT_ID_Informacja &b)
{
    return a.FwdlAdres == b.FwdlAdres && a.FwdlPredk == b.FwdlPredk && a.FwdlTransparent == b.FwdlTransparent;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineScript script(data, size);
    const bool serviceMode = script.flag();
    const PortRoute route = ReadPortRoute(script);
    const uint8_t address = script.u8();
    const int baud = ReadBaud(script);
    TPWT_ID_Informacja before;
    put(before, fromData(script.bytes(kIdDataSize)));
    before.Status_Transmisji = 0x5A5A;
    before.FwdlTransparent = script.flag();
    before.FwdlAdres = script.i32();
    before.FwdlPredk = ReadBaud(script);

    FuzzPort port(script, route.portCom, 9600);
    const TComPortTable ports = PortTable(port);
    TPWT_ID_Informacja d = before;
    int status = -1;
    int portBaud = 0;
    if (serviceMode) {
        DirectTransaction<TTHR_RH_EnterServiceMode> t(route.transactionCom, address, baud, &d, ports);
        portBaud = port.Baud();
        status = t.Run();
    } else {
        DirectTransaction<TTHR_RH_Get_ID> t(route.transactionCom, address, baud, &d, ports);
        portBaud = port.Baud();
        status = t.Run();
    }

    FUZZ_CHECK(sameInputs(d, before), QStringLiteral("the FWDL inputs changed"));
    if (!route.found()) {
        FUZZ_CHECK(status == ST_TRANS_FAILED && port.sends().empty(), QStringLiteral("no port object: status %1").arg(status));
        FUZZ_CHECK(of(d) == of(before) && d.Status_Transmisji == before.Status_Transmisji,
                   QStringLiteral("no port object, and the record changed"));
        return 0;
    }
    FUZZ_CHECK(d.Status_Transmisji == status,
               QStringLiteral("record status %1, status %2").arg(d.Status_Transmisji).arg(status));
    FUZZ_CHECK(port.Baud() == portBaud || !FuzzPort::DriverTakes(portBaud) || !port.Open(),
               QStringLiteral("the port ended at %1 baud, not %2").arg(port.Baud()).arg(portBaud));

    if (serviceMode) {
        // The identity goes back exactly as the identification brought it.
        const std::array<uint8_t, 4> identity = before.ID.ID_TAB();
        const QByteArray expectedIdentity(reinterpret_cast<const char *>(identity.data()), 4);
        const QByteArray wire = QByteArray(1, char(before.ID.Dev_Type)) + char(before.ID.Dev_Type_Details)
            + char(before.ID.Serial_Number & 0xFF) + char(before.ID.Serial_Number >> 8);
        FUZZ_CHECK(expectedIdentity == wire, QStringLiteral("identity bytes %1").arg(Hex(expectedIdentity)));
        const MatchedExchanges matched(port, {{Ops::ServiceMode, RequestFrame(Ops::ServiceMode, address, wire)}});
        if (matched[0])
            FUZZ_CHECK(status == ExpectedExchangeStatus(*matched[0]), QStringLiteral("status %1").arg(status));
        else
            FUZZ_CHECK(IsOpenFailure(status), QStringLiteral("nothing sent, status %1").arg(status));
        FUZZ_CHECK(of(d) == of(before), QStringLiteral("the service mode changed the identity"));
        return 0;
    }

    std::vector<PlannedOp> plan;
    if (before.FwdlTransparent)
        plan.push_back({Ops::FwdlTransparent,
                        RequestFrame(Ops::FwdlTransparent, static_cast<uint8_t>(before.FwdlAdres & 0xFF))});
    plan.push_back({Ops::Identify, RequestFrame(Ops::Identify, address)});
    const MatchedExchanges matched(port, plan);
    const LineExchange *id = matched.back();
    if (before.FwdlTransparent && matched.front())
        FUZZ_CHECK(matched.front()->firstBaud == before.FwdlPredk || matched.front()->firstBaud == portBaud,
                   QStringLiteral("the FWDL command went at %1 baud").arg(matched.front()->firstBaud));
    // Whatever became of the FWDL step, the device is asked at its own rate.
    CheckRequestsAtRate(port, plan.front().request, portBaud);
    if (!id) {
        FUZZ_CHECK(IsOpenFailure(status), QStringLiteral("nothing sent, status %1").arg(status));
    } else {
        // Any good frame identifies, whatever it echoes.
        FUZZ_CHECK(status == ExpectedExchangeStatus(*id), QStringLiteral("status %1 for %2").arg(status).arg(Hex(id->lastTaken)));
    }
    if (status == ST_OK) {
        const QByteArray reply = id->reply();
        const Identity want = fromData(reply.mid(kModbusHeaderSize, reply.size() - kModbusMinFrame));
        FUZZ_CHECK(of(d) == want, QStringLiteral("identified %1 from %2, due %3").arg(describe(of(d)), Hex(reply), describe(want)));
    } else {
        FUZZ_CHECK(of(d) == of(before), QStringLiteral("a failed identification changed the record"));
    }
    return 0;
}
