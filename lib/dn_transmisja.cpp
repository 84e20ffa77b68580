#include "dn_transmisja.h"

#include "dn_tools.h"

#include <algorithm>
#include <atomic>
#include <cstring>

TComPortTable Tab_ApdComPort{};

namespace {

// Modbus RTU CRC-16: reflected polynomial 0x8005, initial value 0xFFFF, no
// final XOR. It travels low byte first, as Modbus puts it on the wire.
constexpr uint16_t kCrcInit = 0xFFFF;
constexpr uint16_t kCrcPolyReflected = 0xA001;

// Stale input before a send means a late or unexpected reply: give it time
// to finish on the line so that the device is listening again when we talk.
constexpr int kStaleInputWaitMs = 400;
// Unsent output, or the remains of a frame with a bad CRC: a shorter pause
// lets the line fall quiet before the next attempt.
constexpr int kFlushWaitMs = 300;
// A reply wait sleeps at most this long at a time, so that the waiting
// thread's events are looked at as often as during a plain wait (WaitMS).
constexpr int kWaitSliceMs = 10;
// A port that cannot wake the waiting exchange is looked at after sleeps of
// this length: the clock counts whole milliseconds, so a shorter sleep could
// not see a later time, and at 9600 baud one character takes about as long.
constexpr int kPollStepMs = 1;

std::atomic<TLinkTraceHook> g_traceHook{nullptr};

void trace(TLinkTraceEvent::Kind kind, TComPort *port, const uint8_t *bytes = nullptr, int count = 0,
           bool crcOk = false, int status = 0, int pending = 0, const TPortFailure *failure = nullptr)
{
    const TLinkTraceHook hook = g_traceHook.load(std::memory_order_relaxed);
    if (hook)
        hook(TLinkTraceEvent{kind, port ? port->ComNumber() : 0, bytes, count, crcOk, status, pending, failure});
}

// After a frame with a bad CRC: throw away what is left of it on both sides.
// The port failing here changes nothing; the attempt has failed already.
void FlushBuffers(TComPort *port)
{
    try {
        const int in = port->InBuffUsed();
        if (in > 0) {
            port->FlushInBuffer();
            trace(TLinkTraceEvent::FlushedIn, port, nullptr, in);
            WaitMS(kFlushWaitMs);
        }
        const int out = port->OutBuffUsed();
        if (out > 0) {
            port->FlushOutBuffer();
            trace(TLinkTraceEvent::FlushedOut, port, nullptr, out);
            WaitMS(kFlushWaitMs);
        }
    } catch (const std::exception &) {
    }
}

// The first count bytes of a request followed by their CRC, low byte first,
// into frame (room for count + 2 bytes); returns that length, or 0 for a
// count no frame buffer can take.
int WireFrame(const TModbusBuffer &request, int count, uint8_t *frame)
{
    if (count < 0 || count > kModbusBufferSize - kModbusCrcSize)
        return 0;
    const uint16_t crc = Get_MODBUS_CRC16(count, request.data());
    std::memcpy(frame, request.data(), static_cast<size_t>(count));
    frame[count] = static_cast<uint8_t>(crc & 0xFF);
    frame[count + 1] = static_cast<uint8_t>(crc >> 8);
    return count + kModbusCrcSize;
}

// Waits until the input buffer holds at least count bytes or the clock has
// passed deadline; returns whether the bytes are there. It never ends before
// one or the other, and wakes as the bytes arrive on a port that signals.
bool WaitForBytes(TComPort *port, int count, int64_t deadline)
{
    for (;;) {
        if (port->InBuffUsed() >= count)
            return true;
        const int64_t now = TickMS();
        if (now > deadline)
            return false;
        ProcessThreadEvents();
        const int slice = static_cast<int>(std::min<int64_t>(deadline + 1 - now, kWaitSliceMs));
        if (!port->WaitForInput(count, slice))
            SleepMS(std::min(slice, kPollStepMs));
    }
}

} // namespace

uint16_t Get_MODBUS_CRC16(int A_Count, const uint8_t *A_Bufor)
{
    uint16_t crc = kCrcInit;
    for (int i = 0; i < A_Count; ++i) {
        uint8_t data = A_Bufor[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool flag = ((data ^ crc) & 1) != 0;
            data >>= 1;
            crc >>= 1;
            if (flag)
                crc ^= kCrcPolyReflected;
        }
    }
    return crc;
}

uint16_t Set_Modbus_Send_Buffer(TModbusBuffer &A_SendBuffer, int A_Adres, int A_Fun, int A_SubFun,
                                const uint8_t *A_Data, int A_countData)
{
    const int count = std::clamp(A_countData, 0, kModbusMaxData);
    uint8_t data[kModbusMaxData];
    if (count > 0)
        std::memcpy(data, A_Data, static_cast<size_t>(count));
    const uint16_t length = static_cast<uint16_t>(count + kModbusMinFrame);
    A_SendBuffer[0] = static_cast<uint8_t>(A_Adres);
    A_SendBuffer[1] = static_cast<uint8_t>(A_Fun);
    A_SendBuffer[2] = static_cast<uint8_t>(A_SubFun);
    A_SendBuffer[3] = static_cast<uint8_t>(length >> 8);
    A_SendBuffer[4] = static_cast<uint8_t>(length & 0xFF);
    if (count > 0)
        std::memcpy(A_SendBuffer.data() + kModbusHeaderSize, data, static_cast<size_t>(count));
    return static_cast<uint16_t>(count + kModbusHeaderSize);
}

uint16_t Send_Modbus(TComPort *A_ApdComport, const TModbusBuffer &A_Bufor, int A_count)
{
    if (A_count < 0 || A_count > kModbusBufferSize - kModbusCrcSize)
        return ST_CANCELED;
    uint16_t status = ST_OK;
    try {
        if (!A_ApdComport->Open())
            A_ApdComport->SetOpen(true);
        const int in = A_ApdComport->InBuffUsed();
        if (in > 0) {
            A_ApdComport->FlushInBuffer();
            trace(TLinkTraceEvent::FlushedIn, A_ApdComport, nullptr, in);
            WaitMS(kStaleInputWaitMs);
        }
        const int out = A_ApdComport->OutBuffUsed();
        if (out > 0) {
            A_ApdComport->FlushOutBuffer();
            trace(TLinkTraceEvent::FlushedOut, A_ApdComport, nullptr, out);
            WaitMS(kFlushWaitMs);
        }
        // The CRC goes into a copy: the caller sends the same request again
        // on the next attempt.
        uint8_t frame[kModbusBufferSize];
        WireFrame(A_Bufor, A_count, frame);
        A_ApdComport->PutBlock(frame, A_count + kModbusCrcSize);
        trace(TLinkTraceEvent::Sent, A_ApdComport, frame, A_count + kModbusCrcSize);
    } catch (const EBadId &) {
        status = ST_NO_PORT;
    } catch (const std::exception &) {
        status = ST_SEND_FAILED;
    }
    if (status != ST_OK && g_traceHook.load(std::memory_order_relaxed)) {
        const TPortFailure failure = A_ApdComport->LastFailure();
        trace(TLinkTraceEvent::PortFailure, A_ApdComport, nullptr, 0, false, status, 0, &failure);
    }
    return status;
}

bool Wait_for_Apd_Buffer(TComPort *A_Apd, int A_Count, int A_Timeout)
{
    return WaitForBytes(A_Apd, A_Count, TickMS() + A_Timeout);
}

void Check_And_Receive_Modbus_Buffer(TComPort *A_Apd, int A_Repeat, int A_Timeout, TModbusBuffer &A_buffer,
                                     const TModbusBuffer &A_RepeatBuffer, int A_ByteCount, int &A_Status)
{
    A_Status = ST_NO_REPLY;
    uint16_t Licznik = 0;
    try {
        // The request as it goes on the wire, to know its echo by. Only a
        // whole frame can come back as one.
        uint8_t sent[kModbusBufferSize];
        const int sentCount = WireFrame(A_RepeatBuffer, A_ByteCount, sent);
        const bool echoable = sentCount >= kModbusMinFrame && DlugoscRamki(sent) == sentCount;

        while (A_Status != ST_OK && Licznik < A_Repeat) {
            A_Status = Send_Modbus(A_Apd, A_RepeatBuffer, A_ByteCount);
            if (A_Status != ST_OK)
                break;
            A_Status = ST_NO_REPLY;
            uint16_t InMyBuffer = 0;
            int A_Count = 0;
            bool ok = false;
            bool badLength = false;

            // The reply's header is due within one timeout of the send, echo
            // or not: the echo crosses the line with the request and adds no
            // wait of its own.
            const int64_t headerDeadline = TickMS() + A_Timeout;
            // On a port known to echo, the first frame must be the request
            // handed back. On any other, a read's first frame may be: a
            // read's reply never equals its request (a write's does, the
            // device echoing what it wrote, so writes teach nothing).
            const bool echoDue = echoable && A_Apd->EchoesTransmission();
            bool lookForEcho = echoDue || (echoable && sent[1] == kFunRead);
            bool echoFailed = false; // the first frame, or nothing at all, was not the echo

            for (;;) {
                InMyBuffer = 0;
                ok = false;
                bool mayBeEcho = false;
                // WaitAdded: the header first, then the rest as its length says.
                try {
                    if (WaitForBytes(A_Apd, kModbusHeaderSize, headerDeadline)) {
                        A_Apd->GetBlock(A_buffer.data(), kModbusHeaderSize);
                        InMyBuffer = kModbusHeaderSize;
                        mayBeEcho = lookForEcho && std::memcmp(A_buffer.data(), sent, kModbusHeaderSize) == 0;
                        const int length = DlugoscRamki(A_buffer.data());
                        if (length < kModbusMinFrame || length > kModbusBufferSize) {
                            // Not a frame of ours, or one that would overrun the
                            // reply buffer: take it as a damaged frame.
                            badLength = true;
                            trace(TLinkTraceEvent::BadLength, A_Apd, A_buffer.data(), InMyBuffer);
                        } else {
                            A_Count = length - kModbusHeaderSize;
                            // An echo's rest is there as soon as its header is.
                            ok = WaitForBytes(A_Apd, A_Count, mayBeEcho ? headerDeadline : TickMS() + A_Timeout);
                        }
                    } else if (lookForEcho) {
                        // Nothing came back at all: an adapter that echoes
                        // would have handed the request back by now.
                        echoFailed = true;
                    }
                    if (!ok && !badLength)
                        trace(TLinkTraceEvent::Timeout, A_Apd, A_buffer.data(), InMyBuffer, false, 0,
                              A_Apd->InBuffUsed());
                } catch (const std::exception &) {
                    ok = false;
                }
                if (lookForEcho && InMyBuffer > 0 && !mayBeEcho)
                    echoFailed = true;

                if (badLength) {
                    A_Status = ST_CRC_ERROR;
                } else if (ok) {
                    // GetBlockAndCalcCRC
                    try {
                        A_Apd->GetBlock(A_buffer.data() + InMyBuffer, A_Count);
                        const int length = InMyBuffer + A_Count;
                        if (mayBeEcho && length == sentCount && std::memcmp(A_buffer.data(), sent, length) == 0) {
                            // Our own request: the reply follows it.
                            if (!echoDue)
                                A_Apd->SetEchoesTransmission(true);
                            trace(TLinkTraceEvent::Echo, A_Apd, A_buffer.data(), length, true);
                            lookForEcho = false;
                            continue;
                        }
                        if (lookForEcho)
                            echoFailed = true;
                        const uint16_t Crc_Odebrane =
                            static_cast<uint16_t>(A_buffer[length - 1] << 8 | A_buffer[length - 2]);
                        const uint16_t Crc_Liczone = Get_MODBUS_CRC16(length - kModbusCrcSize, A_buffer.data());
                        A_Status = Crc_Liczone == Crc_Odebrane ? ST_OK : ST_CRC_ERROR;
                        trace(TLinkTraceEvent::Received, A_Apd, A_buffer.data(), length, A_Status == ST_OK);
                    } catch (const std::exception &) {
                        A_Status = ST_CRC_ERROR;
                    }
                }
                break;
            }
            // The adapter was swapped for one that does not echo.
            if (echoDue && echoFailed)
                A_Apd->SetEchoesTransmission(false);
            if (A_Status == ST_CRC_ERROR)
                FlushBuffers(A_Apd);
            ++Licznik;
        }
    } catch (...) {
        A_Status = ST_CANCELED;
    }
}

bool ModbusReturnCompare(const uint8_t *A_BufferIn, const uint8_t *A_BufferSend)
{
    for (int i = 0; i < 3; ++i) {
        if (A_BufferIn[i] != A_BufferSend[i])
            return false;
    }
    return true;
}

QString Get_Trans_Error_Str(int A_ErrCode)
{
    switch (A_ErrCode) {
    case ST_NO_TEXT: return QString();
    case ST_OK: return QStringLiteral("Connected");
    case ST_SEND_FAILED:
    case ST_PORT_IN_USE: return QStringLiteral("Selected serial port already in use");
    case ST_CRC_ERROR:
    case ST_NO_ANSWER_3:
    case ST_NO_ANSWER_4:
    case ST_NO_ANSWER_9:
    case ST_NO_REPLY: return QStringLiteral("Device not responding");
    case ST_ERROR_49: return QStringLiteral("Error:   (49)");
    case ST_NOT_AUTHORIZED: return QStringLiteral("NOT Authorized");
    case ST_PLEASE_WAIT: return QStringLiteral("Please wait ...");
    case ST_CANCELED: return QStringLiteral("Connection canceled! ");
    case ST_NO_PORT:
    case ST_TRANS_FAILED: return QStringLiteral("Selected serial port not exist");
    case ST_IO_ERROR: return QStringLiteral("Eror I/O");
    case ST_PARAMS_FAILED: return QStringLiteral("Error:   (301)");
    case ST_UNKNOWN_DEVICE: return QStringLiteral("Unknown device");
    default: return QStringLiteral("Error:   (%1)").arg(A_ErrCode);
    }
}

TPrzyczyna PrzyczynaWymiany(int A_Status, const TComPort *A_Apd)
{
    TPrzyczyna c;
    c.Kod = A_Status;
    if ((A_Status == ST_SEND_FAILED || A_Status == ST_NO_PORT) && A_Apd)
        c.Port = A_Apd->LastFailure();
    return c;
}

QString Get_Cause_Str(const TPrzyczyna &A_Przyczyna)
{
    // A port that refused is told by what the system said, not by the
    // maker's guess ("already in use" for every refusal).
    if (A_Przyczyna.Port.Fault != TPortFault::None
        && (A_Przyczyna.Kod == ST_SEND_FAILED || A_Przyczyna.Kod == ST_NO_PORT))
        return PortFailureText(A_Przyczyna.Port);
    switch (A_Przyczyna.Kod) {
    case CS_NONE: return QString();
    case ST_CRC_ERROR: return QStringLiteral("Garbled reply (bad CRC or length)");
    case CS_WRONG_ECHO: return QStringLiteral("Reply to another request (wrong echo)");
    case CS_SHORT_REPLY: return QStringLiteral("Reply too short");
    case CS_NO_PORT_OBJECT: return QStringLiteral("No such COM port");
    case CS_NOT_ON_WIRE: return QStringLiteral("Value does not fit its byte on the wire");
    default: return Get_Trans_Error_Str(A_Przyczyna.Kod).trimmed();
    }
}

QString Get_Dornal_Device_Type(uint8_t A_Dev_Type, uint8_t A_SubType)
{
    switch (RodzajUrzadzenia(A_Dev_Type, A_SubType)) {
    case TRodzajUrzadzenia::FWTH01:
        // Only the FWTH-01's own variant carries the name; the maker never
        // named the others.
        return A_SubType == kFwth01Variant ? QStringLiteral("FWTH-01") : QString();
    case TRodzajUrzadzenia::FWTH02: return QStringLiteral("FWTH-02");
    case TRodzajUrzadzenia::FWT01: return QStringLiteral("FWT-01");
    case TRodzajUrzadzenia::FWT02: return QStringLiteral("FWT-02");
    case TRodzajUrzadzenia::FWADC01: return QStringLiteral("FWADC-01");
    case TRodzajUrzadzenia::Programator: return QStringLiteral("HERON programator");
    case TRodzajUrzadzenia::Ogolny:
    case TRodzajUrzadzenia::Nieznany: return QStringLiteral("<...>");
    }
    return QStringLiteral("<...>");
}

void GetFwadcChannelItems(QStringList &A_Items)
{
    A_Items = {
        QStringLiteral("PT-100"),        QStringLiteral("PT-500"),        QStringLiteral("PT-1000"),
        QStringLiteral("0 .. 20 mA"),    QStringLiteral("4 .. 20 mA"),    QStringLiteral("Termocouple-R"),
        QStringLiteral("Termocouple-S"), QStringLiteral("Termocouple-B"), QStringLiteral("Termocouple-J"),
        QStringLiteral("Termocouple-T"), QStringLiteral("Termocouple-E"), QStringLiteral("Termocouple-K"),
        QStringLiteral("Termocouple-N"),
    };
}

void SetLinkTraceHook(TLinkTraceHook hook)
{
    g_traceHook.store(hook);
}
