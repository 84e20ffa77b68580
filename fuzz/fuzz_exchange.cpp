// The exchange itself: one request, its attempts, waits and flushes, against
// every shape of reply the line can bring.
//
// Script: u8 row (modulo 16: the catalogue's rows; 13 and above: u8 attempts, signed,
// and u16 timeout of the script's own); u8 address; u16 data count, data;
// u8 bit 0: the request length comes from the script (i16) instead of the
// builder's; then the line (fuzz_port.h).
#include "dn_tools.h"
#include "dn_transmisja.h"
#include "fuzz_checks.h"

#include <array>
#include <cstring>

namespace {

constexpr std::array<TModbusOp, 13> kCatalogue{
    Ops::Measure,      Ops::Identify,          Ops::ParamsRead,        Ops::UnitRead,     Ops::UnitWrite,
    Ops::ParamsWrite,  Ops::ServiceMode,       Ops::FwdlTransparent,   Ops::AdcTypesRead, Ops::AdcTypeWrite,
    Ops::AdcRanges020Write, Ops::AdcRanges420Write, Ops::AdcConfigRead,
};

// The longest timeout a script of its own may ask for; the catalogue's is 8 s.
constexpr int kMaxScriptTimeoutMs = 10000;

// The waits of one attempt at most: the stale-input and unsent-output
// flushes before the send (400 and 300 ms), the header and the rest of the
// frame (a timeout each plus one 20 ms poll, each wait a 10 ms step late),
// and the two flushes after a bad CRC (300 ms each).
int64_t attemptBoundMs(int timeout)
{
    constexpr int kSlackMs = 10;
    constexpr int kPollMs = 20 + kSlackMs;
    return (400 + kSlackMs) + (300 + kSlackMs) + 2 * (timeout + kPollMs) + 2 * (300 + kSlackMs);
}

struct TraceCounts
{
    int sent = 0;
    int received = 0;
    int flushedIn = 0;
    int flushedOut = 0;
    int badLength = 0;
};
TraceCounts g_trace;
volatile unsigned g_traceSink = 0;

// A technician's trace reads every byte it is handed: a pointer beyond
// its frame shows up here under AddressSanitizer.
void traceHook(const TLinkTraceEvent &event)
{
    FUZZ_CHECK(event.count >= 0 && event.count <= kComBufferSize,
               QStringLiteral("trace event of %1 bytes").arg(event.count));
    FUZZ_CHECK(event.count == 0 || event.bytes != nullptr || event.kind == TLinkTraceEvent::FlushedIn
                   || event.kind == TLinkTraceEvent::FlushedOut,
               QStringLiteral("trace event of %1 bytes without them").arg(event.count));
    if (event.bytes && event.kind != TLinkTraceEvent::FlushedIn && event.kind != TLinkTraceEvent::FlushedOut) {
        unsigned sum = 0;
        for (int i = 0; i < event.count; ++i)
            sum += event.bytes[i];
        g_traceSink = g_traceSink + sum;
    }
    switch (event.kind) {
    case TLinkTraceEvent::Sent: ++g_trace.sent; break;
    case TLinkTraceEvent::Received: ++g_trace.received; break;
    case TLinkTraceEvent::FlushedIn: ++g_trace.flushedIn; break;
    case TLinkTraceEvent::FlushedOut: ++g_trace.flushedOut; break;
    case TLinkTraceEvent::BadLength: ++g_trace.badLength; break;
    default: break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineScript script(data, size);
    const size_t row = script.u8() % 16;
    TModbusOp op = kCatalogue[row % kCatalogue.size()];
    if (row >= kCatalogue.size()) {
        op.Attempts = static_cast<int8_t>(script.u8()) % 6;
        op.Timeout = script.u16() % (kMaxScriptTimeoutMs + 1);
    }
    const uint8_t address = script.u8();
    const QByteArray payload = script.bytes(script.u16() % (kModbusMaxData + 1));
    const bool ownLength = script.flag();
    const int ownLengthValue = static_cast<int16_t>(script.u16());

    TModbusBuffer request{};
    const uint16_t built = Set_Modbus_Send_Buffer(request, address, op.Fun, op.SubFun,
                                                  reinterpret_cast<const uint8_t *>(payload.constData()),
                                                  static_cast<int>(payload.size()));
    FUZZ_CHECK(built == payload.size() + kModbusHeaderSize, QStringLiteral("built %1 bytes").arg(built));
    const int byteCount = ownLength ? ownLengthValue : built;
    const bool countValid = byteCount >= 0 && byteCount <= kModbusBufferSize - kModbusCrcSize;

    FuzzPort port(script, 1, 9600);
    const TModbusBuffer requestBefore = request;
    TModbusBuffer reply{};
    int status = -1;
    g_trace = {};
    SetLinkTraceHook(traceHook);
    const int64_t start = TickMS();
    Check_And_Receive_Modbus_Buffer(&port, op.Attempts, op.Timeout, reply, request, byteCount, status);
    const int64_t spent = TickMS() - start;
    SetLinkTraceHook(nullptr);

    FUZZ_CHECK(IsExchangeStatus(status), QStringLiteral("status %1").arg(status));
    FUZZ_CHECK(request == requestBefore, QStringLiteral("the exchange altered the caller's request"));

    const std::vector<FuzzPort::Send> &sends = port.sends();
    const std::vector<LineExchange> exchanges = LineExchanges(port);
    FUZZ_CHECK(exchanges.size() <= 1, QStringLiteral("the attempts sent different bytes"));
    const int attempts = static_cast<int>(sends.size());

    if (op.Attempts <= 0) {
        FUZZ_CHECK(status == ST_NO_REPLY && attempts == 0,
                   QStringLiteral("%1 attempts allowed: status %2 after %3 sends").arg(op.Attempts).arg(status).arg(attempts));
        return 0;
    }
    if (!countValid) {
        FUZZ_CHECK(status == ST_CANCELED && attempts == 0,
                   QStringLiteral("request of %1 bytes: status %2 after %3 sends").arg(byteCount).arg(status).arg(attempts));
        return 0;
    }

    // The bytes on the wire: the request as built, then its CRC, low byte first.
    QByteArray expected(reinterpret_cast<const char *>(request.data()), byteCount);
    const uint16_t crc = Get_MODBUS_CRC16(byteCount, request.data());
    expected.append(static_cast<char>(crc & 0xFF));
    expected.append(static_cast<char>(crc >> 8));
    for (const FuzzPort::Send &send : sends)
        FUZZ_CHECK(send.frame == expected, QStringLiteral("sent %1, built %2").arg(Hex(send.frame), Hex(expected)));

    FUZZ_CHECK(attempts <= op.Attempts, QStringLiteral("%1 sends, %2 allowed").arg(attempts).arg(op.Attempts));
    FUZZ_CHECK(attempts == op.Attempts || IsOneOf(status, {ST_OK, ST_SEND_FAILED, ST_NO_PORT}),
               QStringLiteral("stopped after %1 of %2 attempts with status %3").arg(attempts).arg(op.Attempts).arg(status));

    if (attempts == 0) {
        // Only the port refusing to open keeps the request off the line.
        FUZZ_CHECK(IsOneOf(status, {ST_SEND_FAILED, ST_NO_PORT}), QStringLiteral("nothing sent, status %1").arg(status));
    } else {
        // The outcome is that of the last attempt, as its bytes tell it.
        const int want = ExpectedExchangeStatus(exchanges.front());
        FUZZ_CHECK(status == want, QStringLiteral("status %1, the last attempt read %2 (status %3 due)")
                                       .arg(status)
                                       .arg(Hex(exchanges.front().lastTaken))
                                       .arg(want));
    }

    // The link takes a header, then exactly the rest of the frame it announces.
    FUZZ_CHECK(port.takenBeforeFirstSend().isEmpty(), QStringLiteral("bytes taken before the request"));
    int whole = 0;
    for (const FuzzPort::Send &send : sends) {
        const QByteArray &t = send.taken;
        const int announced = t.size() >= kModbusHeaderSize ? (uint8_t(t[3]) << 8 | uint8_t(t[4])) : -1;
        FUZZ_CHECK(t.isEmpty() || t.size() == kModbusHeaderSize || t.size() == announced,
                   QStringLiteral("the link took %1").arg(Hex(t)));
        FUZZ_CHECK(t.size() <= kModbusBufferSize, QStringLiteral("the link took %1 bytes").arg(t.size()));
        if (t.size() > kModbusHeaderSize)
            ++whole;
    }

    if (status == ST_OK) {
        const QByteArray &frame = sends.back().taken;
        FUZZ_CHECK(IsGoodFrame(frame), QStringLiteral("accepted %1").arg(Hex(frame)));
        FUZZ_CHECK(std::memcmp(reply.data(), frame.constData(), static_cast<size_t>(frame.size())) == 0,
                   QStringLiteral("the reply buffer does not hold the frame read"));
    }

    FUZZ_CHECK(spent <= op.Attempts * attemptBoundMs(op.Timeout),
               QStringLiteral("%1 ms for %2 attempts of %3 ms").arg(spent).arg(op.Attempts).arg(op.Timeout));

    // The trace tells what happened on the line, no more and no less.
    int wentOut = 0;
    for (const FuzzPort::Send &send : sends)
        wentOut += send.failed ? 0 : 1;
    FUZZ_CHECK(g_trace.sent == wentOut, QStringLiteral("%1 sends traced of %2").arg(g_trace.sent).arg(wentOut));
    FUZZ_CHECK(g_trace.received == whole, QStringLiteral("%1 frames traced of %2").arg(g_trace.received).arg(whole));
    FUZZ_CHECK(g_trace.flushedIn == port.flushesIn(),
               QStringLiteral("%1 input flushes traced of %2").arg(g_trace.flushedIn).arg(port.flushesIn()));
    FUZZ_CHECK(g_trace.flushedOut == port.flushesOut(),
               QStringLiteral("%1 output flushes traced of %2").arg(g_trace.flushedOut).arg(port.flushesOut()));
    return 0;
}
