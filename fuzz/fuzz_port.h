// A serial port whose line is the fuzzer's script.
//
// Every request the link sends draws its answer from the script: silence, a
// frame that echoes the request (with a bad CRC, another header, any length
// field, cut short), or raw bytes; split into pieces that arrive at virtual
// times after the request, with bytes trailing after the reply that the next
// request finds stale. The port also fails the way a real one does: the
// first open refused, the device lost in the middle of a write, the driver
// refusing a baud rate, output that does not leave. A lost device closes the
// port, and the next open reports the loss once before the port opens again.
//
// Script layout, in the order the port reads it (numbers high byte first):
//
//   when the port is created
//     u8 setup      bit 0: the first open finds no device (EBadId)
//                   bit 1: the first open is refused (EComError)
//                   bit 2: the device is lost at the first rate change while open
//                   bit 3: the adapter echoes: every request comes back
//                          whole as it goes out, ahead of the reply
//     u8 n, n bytes stale input, buffered before the first request
//
//   at every request
//     u8 shape      bits 0-1: 0 silence, 1 echo frame, 2 raw bytes,
//                             3 the device is lost: the write fails
//                   bit 2: the frame's CRC is wrong
//                   bit 3: the length field comes from the script
//                   bit 4: address, function and sub-function come from the script
//                   bit 5: the frame is cut short
//                   bit 6: the request stays in the output buffer for a while
//                   bit 7: bytes trail after the reply
//     echo frame:   u16 data count, data; [bit 4: 3 header bytes];
//                   [bit 3: u16 length field]; [bit 5: u16 bytes kept]
//     raw bytes:    u16 count, bytes
//     reply bytes:  u8 pieces (1 + value % 4); u16 size of every piece but
//                   the last; u16 gap before every piece (the first counted
//                   from the request, the others from the piece before)
//     [bit 6: u16 ms the request stays unsent]
//     [bit 7: u8 n, n bytes, u16 gap after the reply]
#pragma once

#include "dn_comport.h"
#include "line_script.h"

#include <QtCore/QByteArray>
#include <cstdint>
#include <vector>

class FuzzPort : public TComPort
{
public:
    // One request as the port saw it.
    struct Send
    {
        QByteArray frame;     // as handed to PutBlock, CRC included
        int baud = 0;         // the port's rate when it went out
        int64_t atMs = 0;     // virtual time
        bool failed = false;  // the write failed: the device was lost
        // Every byte the link took before the next request, but the echo:
        // a first frame equal to the request, where the link looks for one
        // (a read's, or any once the port is known to echo).
        QByteArray taken;
        QByteArray echo;
        bool echoLookedFor = false;
    };

    // Reads the port's part of the script's head: create the port after
    // reading the target's own parameters.
    FuzzPort(LineScript &script, int comNumber, int baud);

    const std::vector<Send> &sends() const { return m_sends; }
    // Bytes the link took before its first request.
    const QByteArray &takenBeforeFirstSend() const { return m_takenBefore; }
    int flushesIn() const { return m_flushesIn; }
    int flushesOut() const { return m_flushesOut; }

    int ComNumber() const override { return m_comNumber; }
    int Baud() const override { return m_baud; }
    void SetBaud(int baud) override;
    TParity Parity() const override { return m_parity; }
    void SetParity(TParity parity) override { m_parity = parity; }
    int StopBits() const override { return kComStopBits; }
    bool Open() const override { return m_open; }
    void SetOpen(bool open) override;
    int InBuffUsed() const override;
    int OutBuffUsed() const override;
    void FlushInBuffer() override;
    void FlushOutBuffer() override;
    void PutBlock(const uint8_t *bytes, int count) override;
    void GetBlock(uint8_t *bytes, int count) override;

    // A rate a serial driver takes at all.
    static bool DriverTakes(int baud);

private:
    [[noreturn]] void loseDevice();
    struct Pending
    {
        int64_t atMs;
        QByteArray bytes;
    };
    void schedule(int64_t atMs, const QByteArray &bytes);
    void release() const;
    QByteArray replyFrame(const QByteArray &request, uint8_t shape);

    LineScript &m_script;
    const int m_comNumber;
    int m_baud;
    TParity m_parity = TParity::None;
    bool m_open = false;
    bool m_firstOpenNoDevice = false;
    bool m_firstOpenRefused = false;
    bool m_losesDeviceOnBaudChange = false;
    bool m_echoes = false;
    bool m_lost = false;
    int64_t m_outUntilMs = 0;
    int m_outCount = 0;
    int m_flushesIn = 0;
    int m_flushesOut = 0;
    mutable std::vector<Pending> m_pending; // by arrival time
    mutable QByteArray m_in;
    std::vector<Send> m_sends;
    QByteArray m_takenBefore;
};

// ---------------------------------------------------------------------------
// What the port's record says of the exchanges.

// A whole frame with a length field that matches its size and a correct CRC.
bool IsGoodFrame(const QByteArray &frame);

// One exchange as seen on the line: a run of identical requests (the link
// sends the same bytes on every attempt, and no transaction sends the same
// request twice in a row).
struct LineExchange
{
    QByteArray request;  // CRC included
    int attempts = 0;    // requests that went out or failed to
    bool failed = false; // the last write failed
    QByteArray lastTaken;
    int firstBaud = 0;
    int64_t firstAtMs = 0; // when the first and the last attempt went out
    int64_t lastAtMs = 0;
    // The reply the last attempt read whole with a correct CRC; empty when
    // it read none.
    QByteArray reply() const { return IsGoodFrame(lastTaken) ? lastTaken : QByteArray(); }
    uint8_t fun() const { return static_cast<uint8_t>(request.at(1)); }
    uint8_t sub() const { return static_cast<uint8_t>(request.at(2)); }
    uint8_t address() const { return static_cast<uint8_t>(request.at(0)); }
    // The request's data bytes.
    QByteArray data() const;
};

std::vector<LineExchange> LineExchanges(const FuzzPort &port);

// The status the exchange's last attempt must end with, judged from the
// bytes the link took: 0, 1, 2 or 200.
int ExpectedExchangeStatus(const LineExchange &exchange);
