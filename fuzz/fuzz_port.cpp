#include "fuzz_port.h"

#include "dn_tools.h"
#include "dn_transmisja.h"

#include <algorithm>

namespace {

constexpr uint8_t kSetupNoDevice = 0x01;
constexpr uint8_t kSetupOpenRefused = 0x02;
constexpr uint8_t kSetupLostOnBaud = 0x04;
constexpr uint8_t kSetupEchoes = 0x08;

constexpr uint8_t kShapeKindMask = 0x03;
constexpr uint8_t kKindSilence = 0;
constexpr uint8_t kKindEchoFrame = 1;
constexpr uint8_t kKindRaw = 2;
constexpr uint8_t kKindDeviceLost = 3;
constexpr uint8_t kShapeBadCrc = 0x04;
constexpr uint8_t kShapeLengthField = 0x08;
constexpr uint8_t kShapeHeader = 0x10;
constexpr uint8_t kShapeCutShort = 0x20;
constexpr uint8_t kShapeOutputStuck = 0x40;
constexpr uint8_t kShapeTrailing = 0x80;

constexpr int kMaxPieces = 4;
// Longer than any frame: the link must cope with a line that keeps talking.
constexpr int kMaxRawBytes = 2 * kModbusBufferSize;
// The highest rate a Linux serial driver is asked for in practice.
constexpr int kDriverMaxBaud = 4000000;

void appendCrc(QByteArray &frame)
{
    const uint16_t crc =
        Get_MODBUS_CRC16(static_cast<int>(frame.size()), reinterpret_cast<const uint8_t *>(frame.constData()));
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
}

} // namespace

FuzzPort::FuzzPort(LineScript &script, int comNumber, int baud)
    : m_script(script)
    , m_comNumber(comNumber)
    , m_baud(baud)
{
    const uint8_t setup = m_script.u8();
    m_firstOpenNoDevice = (setup & kSetupNoDevice) != 0;
    m_firstOpenRefused = (setup & kSetupOpenRefused) != 0;
    m_losesDeviceOnBaudChange = (setup & kSetupLostOnBaud) != 0;
    m_echoes = (setup & kSetupEchoes) != 0;
    const QByteArray stale = m_script.bytes(m_script.u8());
    if (!stale.isEmpty())
        schedule(TickMS(), stale);
}

bool FuzzPort::DriverTakes(int baud)
{
    return baud > 0 && baud <= kDriverMaxBaud;
}

void FuzzPort::SetBaud(int baud)
{
    // Like the real port: a closed port only notes the rate, an open one
    // asks the driver, and a refused rate leaves the old one in force.
    if (m_open && baud != m_baud) {
        if (m_losesDeviceOnBaudChange) {
            m_losesDeviceOnBaudChange = false;
            loseDevice();
        }
        if (!DriverTakes(baud))
            throw EComError("the driver refused the baud rate");
    }
    m_baud = baud;
}

void FuzzPort::loseDevice()
{
    m_open = false;
    m_lost = true;
    throw EComError("device lost");
}

void FuzzPort::SetOpen(bool open)
{
    if (!open) {
        m_open = false;
        return;
    }
    if (m_open)
        return;
    if (m_firstOpenNoDevice) {
        m_firstOpenNoDevice = false;
        throw EBadId("no such device");
    }
    if (m_firstOpenRefused) {
        m_firstOpenRefused = false;
        throw EComError("device busy");
    }
    if (m_lost) {
        m_lost = false;
        throw EComError("the device was lost");
    }
    if (!DriverTakes(m_baud))
        throw EComError("the driver refused the baud rate");
    m_open = true;
}

int FuzzPort::InBuffUsed() const
{
    release();
    return static_cast<int>(m_in.size());
}

int FuzzPort::OutBuffUsed() const
{
    return TickMS() < m_outUntilMs ? m_outCount : 0;
}

void FuzzPort::FlushInBuffer()
{
    // Bytes still on their way arrive after the flush, as on a real line.
    release();
    m_in.clear();
    ++m_flushesIn;
}

void FuzzPort::FlushOutBuffer()
{
    m_outUntilMs = 0;
    ++m_flushesOut;
}

void FuzzPort::PutBlock(const uint8_t *bytes, int count)
{
    if (!m_open)
        throw EComError("port not open");
    Send send;
    send.frame = QByteArray(reinterpret_cast<const char *>(bytes), count);
    send.baud = m_baud;
    send.atMs = TickMS();
    // Where the link looks for the echo: only a whole frame can be one.
    send.echoLookedFor = IsGoodFrame(send.frame)
                         && (static_cast<uint8_t>(send.frame.at(1)) == kFunRead || EchoesTransmission());

    const uint8_t shape = m_script.u8();
    const uint8_t kind = shape & kShapeKindMask;
    if (kind == kKindDeviceLost) {
        send.failed = true;
        m_sends.push_back(send);
        loseDevice();
    }
    m_sends.push_back(send);
    if (m_echoes)
        schedule(send.atMs, m_sends.back().frame);

    QByteArray reply;
    if (kind == kKindEchoFrame)
        reply = replyFrame(m_sends.back().frame, shape);
    else if (kind == kKindRaw)
        reply = m_script.bytes(std::min<int>(m_script.u16(), kMaxRawBytes));

    int64_t at = send.atMs;
    if (kind != kKindSilence) {
        const int pieces = 1 + m_script.u8() % kMaxPieces;
        std::vector<int> sizes;
        for (int i = 0; i + 1 < pieces; ++i)
            sizes.push_back(m_script.u16());
        qsizetype from = 0;
        for (int i = 0; i < pieces; ++i) {
            const qsizetype size = i + 1 < pieces ? std::min<qsizetype>(sizes[i], reply.size() - from)
                                                  : reply.size() - from;
            at += m_script.u16();
            if (size > 0)
                schedule(at, reply.mid(from, size));
            from += size;
        }
    }
    if (shape & kShapeOutputStuck) {
        m_outCount = count;
        m_outUntilMs = send.atMs + m_script.u16();
    }
    if (shape & kShapeTrailing) {
        const QByteArray trailing = m_script.bytes(m_script.u8());
        at += m_script.u16();
        if (!trailing.isEmpty())
            schedule(at, trailing);
    }
}

QByteArray FuzzPort::replyFrame(const QByteArray &request, uint8_t shape)
{
    const QByteArray data = m_script.bytes(std::min<int>(m_script.u16(), kModbusMaxData));
    QByteArray header = request.left(3);
    if (shape & kShapeHeader)
        header = m_script.bytes(3).leftJustified(3, '\0');
    int length = static_cast<int>(data.size()) + kModbusMinFrame;
    if (shape & kShapeLengthField)
        length = m_script.u16();
    QByteArray frame = header;
    frame.append(static_cast<char>(length >> 8 & 0xFF));
    frame.append(static_cast<char>(length & 0xFF));
    frame.append(data);
    appendCrc(frame);
    if (shape & kShapeBadCrc)
        frame[frame.size() - 2] = static_cast<char>(frame.at(frame.size() - 2) ^ 0x5A);
    if (shape & kShapeCutShort)
        frame.truncate(m_script.u16());
    return frame;
}

void FuzzPort::GetBlock(uint8_t *bytes, int count)
{
    release();
    if (count < 0 || m_in.size() < count)
        throw EComError("fewer bytes buffered than asked for");
    std::copy_n(m_in.constData(), count, bytes);
    const QByteArray taken = m_in.left(count);
    m_in.remove(0, count);
    if (m_sends.empty()) {
        m_takenBefore += taken;
        return;
    }
    Send &send = m_sends.back();
    send.taken += taken;
    if (send.echoLookedFor && send.echo.isEmpty() && send.taken == send.frame) {
        send.echo = send.taken;
        send.taken.clear();
    }
}

void FuzzPort::schedule(int64_t atMs, const QByteArray &bytes)
{
    const auto later = std::upper_bound(m_pending.begin(), m_pending.end(), atMs,
                                        [](int64_t t, const Pending &p) { return t < p.atMs; });
    m_pending.insert(later, Pending{atMs, bytes});
}

void FuzzPort::release() const
{
    const int64_t now = TickMS();
    auto due = m_pending.begin();
    for (; due != m_pending.end() && due->atMs <= now; ++due) {
        // A full input buffer overruns as a UART's does: the newest bytes go.
        const qsizetype room = kComBufferSize - m_in.size();
        m_in.append(due->bytes.left(std::max<qsizetype>(room, 0)));
    }
    m_pending.erase(m_pending.begin(), due);
}

// ---------------------------------------------------------------------------

bool IsGoodFrame(const QByteArray &frame)
{
    const qsizetype size = frame.size();
    if (size < kModbusMinFrame || size > kModbusBufferSize)
        return false;
    const auto *b = reinterpret_cast<const uint8_t *>(frame.constData());
    if ((b[3] << 8 | b[4]) != size)
        return false;
    const uint16_t crc = Get_MODBUS_CRC16(static_cast<int>(size) - kModbusCrcSize, b);
    return b[size - 2] == (crc & 0xFF) && b[size - 1] == (crc >> 8);
}

QByteArray LineExchange::data() const
{
    return request.mid(kModbusHeaderSize, request.size() - kModbusMinFrame);
}

std::vector<LineExchange> LineExchanges(const FuzzPort &port)
{
    std::vector<LineExchange> out;
    for (const FuzzPort::Send &send : port.sends()) {
        if (out.empty() || out.back().request != send.frame) {
            LineExchange e;
            e.request = send.frame;
            e.firstBaud = send.baud;
            e.firstAtMs = send.atMs;
            out.push_back(e);
        }
        LineExchange &e = out.back();
        ++e.attempts;
        e.failed = send.failed;
        e.lastTaken = send.taken;
        e.lastAtMs = send.atMs;
    }
    return out;
}

int ExpectedExchangeStatus(const LineExchange &exchange)
{
    if (exchange.failed)
        return ST_SEND_FAILED;
    const QByteArray &taken = exchange.lastTaken;
    if (taken.size() < kModbusHeaderSize)
        return ST_NO_REPLY;
    const int length = static_cast<uint8_t>(taken.at(3)) << 8 | static_cast<uint8_t>(taken.at(4));
    if (length < kModbusMinFrame || length > kModbusBufferSize)
        return ST_CRC_ERROR;
    if (taken.size() == kModbusHeaderSize)
        return ST_NO_REPLY;
    return IsGoodFrame(taken) ? ST_OK : ST_CRC_ERROR;
}
