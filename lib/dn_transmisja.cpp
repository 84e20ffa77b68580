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
// The input buffer is looked at after each step of this length; the reply
// timeouts therefore have a resolution of a little over one step.
constexpr int kPollStepMs = 20;

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
        const uint16_t crc = Get_MODBUS_CRC16(A_count, A_Bufor.data());
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
        std::memcpy(frame, A_Bufor.data(), static_cast<size_t>(A_count));
        frame[A_count] = static_cast<uint8_t>(crc & 0xFF);
        frame[A_count + 1] = static_cast<uint8_t>(crc >> 8);
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
    const int64_t start = TickMS();
    do {
        WaitMS(kPollStepMs);
    } while (A_Apd->InBuffUsed() < A_Count && TickMS() <= start + A_Timeout);
    return A_Apd->InBuffUsed() >= A_Count;
}

void Check_And_Receive_Modbus_Buffer(TComPort *A_Apd, int A_Repeat, int A_Timeout, TModbusBuffer &A_buffer,
                                     const TModbusBuffer &A_RepeatBuffer, int A_ByteCount, int &A_Status)
{
    A_Status = ST_NO_REPLY;
    uint16_t Licznik = 0;
    try {
        while (A_Status != ST_OK && Licznik < A_Repeat) {
            A_Status = Send_Modbus(A_Apd, A_RepeatBuffer, A_ByteCount);
            if (A_Status != ST_OK)
                break;
            A_Status = ST_NO_REPLY;
            uint16_t InMyBuffer = 0;
            int A_Count = 0;
            bool ok = false;
            bool badLength = false;

            // WaitAdded: the header first, then the rest as its length says.
            try {
                if (Wait_for_Apd_Buffer(A_Apd, kModbusHeaderSize, A_Timeout)) {
                    A_Apd->GetBlock(A_buffer.data(), kModbusHeaderSize);
                    InMyBuffer = kModbusHeaderSize;
                    const int length = DlugoscRamki(A_buffer.data());
                    if (length < kModbusMinFrame || length > kModbusBufferSize) {
                        // Not a frame of ours, or one that would overrun the
                        // reply buffer: take it as a damaged frame.
                        badLength = true;
                        trace(TLinkTraceEvent::BadLength, A_Apd, A_buffer.data(), InMyBuffer);
                    } else {
                        A_Count = length - kModbusHeaderSize;
                        ok = Wait_for_Apd_Buffer(A_Apd, A_Count, A_Timeout);
                    }
                }
                if (!ok && !badLength)
                    trace(TLinkTraceEvent::Timeout, A_Apd, A_buffer.data(), InMyBuffer, false, 0,
                          A_Apd->InBuffUsed());
            } catch (const std::exception &) {
                ok = false;
            }

            if (badLength) {
                A_Status = ST_CRC_ERROR;
            } else if (ok) {
                // GetBlockAndCalcCRC
                try {
                    A_Apd->GetBlock(A_buffer.data() + InMyBuffer, A_Count);
                    const int length = InMyBuffer + A_Count;
                    const uint16_t Crc_Odebrane =
                        static_cast<uint16_t>(A_buffer[length - 1] << 8 | A_buffer[length - 2]);
                    const uint16_t Crc_Liczone = Get_MODBUS_CRC16(length - kModbusCrcSize, A_buffer.data());
                    A_Status = Crc_Liczone == Crc_Odebrane ? ST_OK : ST_CRC_ERROR;
                    trace(TLinkTraceEvent::Received, A_Apd, A_buffer.data(), length, A_Status == ST_OK);
                } catch (const std::exception &) {
                    A_Status = ST_CRC_ERROR;
                }
            }
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
