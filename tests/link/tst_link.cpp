// The link against an in-memory port: frames, CRC, attempts, statuses and
// the waits, where exact control of what arrives when is the point.
#include "dn_bufor.h"
#include "dn_strings.h"
#include "dn_tools.h"
#include "dn_transmisja.h"
#include "frames.h"
#include "memport.h"

#include <QtTest/QtTest>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>

namespace {

// The measurement request to address 1: 01 46 00 00 07, CRC 4D 4A.
const char *const kMeasureRequest = "01 46 00 00 07 4D 4A";
const QByteArray kGoodReply = replyFrame(1, 70, 0, hexFrame("01 C5 00 D7 00 00")); // 45.3 %, 21.5 C

struct Exchange
{
    int status = -1;
    int64_t elapsedMs = 0;
    std::unique_ptr<TModbusBuffer> reply = std::make_unique<TModbusBuffer>();
};

// The parameters write to address 1 (19200 baud, no parity, address 1); the
// device's reply echoes the data written, so it equals the request.
const QByteArray kParamsWriteData = hexFrame("40 00 01");

Exchange exchange(MemPort &port, int repeat = 4, int timeout = 200, uint8_t fun = kFunRead, uint8_t sub = 0,
                  const QByteArray &data = {})
{
    TModbusBuffer request{};
    const uint16_t n = Set_Modbus_Send_Buffer(request, 1, fun, sub, reinterpret_cast<const uint8_t *>(data.constData()),
                                              static_cast<int>(data.size()));
    Exchange e;
    const int64_t start = TickMS();
    Check_And_Receive_Modbus_Buffer(&port, repeat, timeout, *e.reply, request, n, e.status);
    e.elapsedMs = TickMS() - start;
    return e;
}

// The shortest of a few runs of what f times: a machine shared with other
// work can stall any single run, never all of them.
template<class F>
int64_t bestOf(int runs, F &&f)
{
    int64_t best = INT64_MAX;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, f());
    return best;
}

std::atomic<int> g_echoEvents{0};
void countEchoes(const TLinkTraceEvent &e)
{
    if (e.kind == TLinkTraceEvent::Echo)
        ++g_echoEvents;
}

} // namespace

class TstLink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void crc_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("crc");
        // The catalogue check value of CRC-16/MODBUS.
        QTest::newRow("123456789") << QByteArray("123456789") << 0x4B37;
        // The measurement request to address 1 goes out as ... 4D 4A.
        QTest::newRow("01 46 00 00 07") << hexFrame("01 46 00 00 07") << 0x4A4D;
        QTest::newRow("empty") << QByteArray() << 0xFFFF;
    }
    void crc()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, crc);
        const QByteArray before = bytes;
        QCOMPARE(Get_MODBUS_CRC16(static_cast<int>(bytes.size()), reinterpret_cast<const uint8_t *>(bytes.constData())),
                 crc);
        QCOMPARE(bytes, before);
    }

    void buildRequest()
    {
        TModbusBuffer a{};
        QCOMPARE(Set_Modbus_Send_Buffer(a, 1, kFunRead, 0, nullptr, 0), 5);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(a.data()), 5), hexFrame("01 46 00 00 07"));

        // Data placed at the start of the very send buffer give the same frame
        // as data from an array of their own.
        const uint8_t data[] = {32, 2, 5};
        TModbusBuffer separate{};
        TModbusBuffer inPlace{};
        std::copy(std::begin(data), std::end(data), inPlace.begin());
        QCOMPARE(Set_Modbus_Send_Buffer(separate, 0x1FF, 0x147, 1, data, 3), 8);
        QCOMPARE(Set_Modbus_Send_Buffer(inPlace, 0x1FF, 0x147, 1, inPlace.data(), 3), 8);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(inPlace.data()), 8), hexFrame("FF 47 01 00 0A 20 02 05"));
        QCOMPARE(inPlace, separate);
    }

    void sendLeavesRequestAlone()
    {
        MemPort port;
        TModbusBuffer request{};
        const uint16_t n = Set_Modbus_Send_Buffer(request, 1, kFunRead, 0, nullptr, 0);
        const TModbusBuffer before = request;
        QCOMPARE(Send_Modbus(&port, request, n), ST_OK);
        QCOMPARE(Send_Modbus(&port, request, n), ST_OK);
        QCOMPARE(request, before);
        QVERIFY(port.Open());
        QCOMPARE(port.sent().size(), 2);
        QCOMPARE(port.sent().at(0).frame, hexFrame(kMeasureRequest));
        QCOMPARE(port.sent().at(1).frame, hexFrame(kMeasureRequest));
    }

    // What comes back on each send, and what the exchange makes of it.
    void exchangeOutcome_data()
    {
        QTest::addColumn<QList<QByteArray>>("replies"); // per send; empty = silence
        QTest::addColumn<int>("repeat");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("sends");

        const QByteArray silence;
        QByteArray swapped = kGoodReply;
        std::swap(swapped[swapped.size() - 1], swapped[swapped.size() - 2]);
        const QByteArray otherDevice = replyFrame(9, 70, 22, hexFrame("20 02 05"));

        QTest::newRow("good reply at once") << QList<QByteArray>{kGoodReply} << 4 << int(ST_OK) << 1;
        QTest::newRow("other address passes the CRC-only check")
            << QList<QByteArray>{otherDevice} << 4 << int(ST_OK) << 1;
        QTest::newRow("swapped CRC on every send")
            << QList<QByteArray>{swapped, swapped, swapped, swapped} << 4 << int(ST_CRC_ERROR) << 4;
        QTest::newRow("answers the third send only")
            << QList<QByteArray>{silence, silence, kGoodReply} << 4 << int(ST_OK) << 3;
        QTest::newRow("CRC error then silence ends as silence")
            << QList<QByteArray>{swapped, silence} << 2 << int(ST_NO_REPLY) << 2;
        QTest::newRow("no attempts") << QList<QByteArray>{kGoodReply} << 0 << int(ST_NO_REPLY) << 0;
        QTest::newRow("silence") << QList<QByteArray>{} << 3 << int(ST_NO_REPLY) << 3;
        QTest::newRow("length field below 7")
            << QList<QByteArray>{withCrc(hexFrame("01 46 00 00 03"))} << 1 << int(ST_CRC_ERROR) << 1;
        QTest::newRow("length field beyond the buffer")
            << QList<QByteArray>{withCrc(hexFrame("01 46 00 02 58") + QByteArray(600, '\x55'))} << 1
            << int(ST_CRC_ERROR) << 1;
    }
    void exchangeOutcome()
    {
        QFETCH(QList<QByteArray>, replies);
        QFETCH(int, repeat);
        QFETCH(int, status);
        QFETCH(int, sends);

        MemPort port;
        port.responder = [&](MemPort &p, int index, const QByteArray &) {
            if (index < replies.size() && !replies.at(index).isEmpty())
                p.arrive(replies.at(index));
        };
        const Exchange e = exchange(port, repeat, 60);
        QCOMPARE(e.status, status);
        QCOMPARE(port.sent().size(), sends);
        for (const MemPort::Sent &s : port.sent())
            QCOMPARE(s.frame, hexFrame(kMeasureRequest));
        if (status == ST_OK) {
            const QByteArray got(reinterpret_cast<const char *>(e.reply->data()), replies.at(sends - 1).size());
            QCOMPARE(got, replies.at(sends - 1));
        }
    }

    void portFailures_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addColumn<int>("status");
        QTest::newRow("port does not exist") << int(MemPort::OpenFailure::BadId) << int(ST_NO_PORT);
        QTest::newRow("port busy") << int(MemPort::OpenFailure::Busy) << int(ST_SEND_FAILED);
    }
    void portFailures()
    {
        QFETCH(int, failure);
        QFETCH(int, status);
        MemPort port;
        port.openFailure = static_cast<MemPort::OpenFailure>(failure);
        const Exchange e = exchange(port, 4);
        QCOMPARE(e.status, status);
        QCOMPARE(port.sent().size(), 0);
        QVERIFY2(e.elapsedMs < 100, "a refused port is not retried");
    }

    // A partial reply ends its attempt as a timeout; the next send throws the
    // stale bytes away and waits 400 ms before it goes out.
    void partialReplyFlushedBeforeNextSend()
    {
        MemPort port;
        port.responder = [](MemPort &p, int index, const QByteArray &) {
            p.arrive(index == 0 ? kGoodReply.left(4) : kGoodReply);
        };
        const Exchange e = exchange(port, 4, 100);
        QCOMPARE(e.status, int(ST_OK));
        const QList<MemPort::Sent> sent = port.sent();
        QCOMPARE(sent.size(), 2);
        QCOMPARE(port.flushesIn(), 1);
        QVERIFY2(sent.at(1).atMs - sent.at(0).atMs >= 100 + 400, "timeout plus the stale-input wait");
    }

    // The reply's rest may arrive after the header; each wait has its own timeout.
    void headerThenRestWithinTimeouts()
    {
        MemPort port;
        port.responder = [](MemPort &p, int, const QByteArray &) {
            // The rest comes after one timeout from the send, but well within
            // the fresh one that starts when the header has been seen.
            p.arrive(kGoodReply.left(5), 150);
            p.arrive(kGoodReply.mid(5), 280);
        };
        const Exchange e = exchange(port, 1, 200);
        QCOMPARE(e.status, int(ST_OK));
        QCOMPARE(port.sent().size(), 1);
    }

    void timeoutIsAtLeastItsLength()
    {
        MemPort port;
        const Exchange e = exchange(port, 1, 200);
        QCOMPARE(e.status, int(ST_NO_REPLY));
        QVERIFY2(e.elapsedMs >= 200, qPrintable(QString::number(e.elapsedMs)));
        QVERIFY2(e.elapsedMs < 1000, qPrintable(QString::number(e.elapsedMs)));
    }

    // A reply wait ends once its bytes are there, and never before its bytes
    // or its time-out: on a port that wakes the waiting exchange and on one
    // the link must poll.
    void replyWaits_data()
    {
        QTest::addColumn<bool>("signalling");
        QTest::newRow("port that signals") << true;
        QTest::newRow("port that cannot signal") << false;
    }
    void replyWaits()
    {
        QFETCH(bool, signalling);
        MemPort port;
        port.signalling = signalling;

        port.arrive(QByteArray(5, 'x'));
        const int64_t there = bestOf(5, [&] {
            const int64_t start = TickMS();
            const bool got = Wait_for_Apd_Buffer(&port, 5, 500);
            return got ? TickMS() - start : INT64_MAX;
        });
        QVERIFY2(there < 10, qPrintable(QStringLiteral("bytes already there took %1 ms").arg(there)));
        port.FlushInBuffer();

        // Bytes on their way: not before they are there, and soon after.
        const int64_t late = bestOf(3, [&] {
            port.FlushInBuffer();
            port.arrive(QByteArray(5, 'x'), 60);
            const int64_t start = TickMS();
            const bool got = Wait_for_Apd_Buffer(&port, 5, 500);
            const int64_t took = TickMS() - start;
            return got && took >= 60 ? took : INT64_MAX;
        });
        QVERIFY2(late < 60 + 10, qPrintable(QStringLiteral("bytes due at 60 ms seen at %1 ms").arg(late)));

        // A time-out is never shorter than its length, and not a poll step longer.
        port.FlushInBuffer();
        port.arrive(QByteArray(5, 'x'));
        const int64_t timeout = bestOf(3, [&] {
            const int64_t start = TickMS();
            const bool got = Wait_for_Apd_Buffer(&port, 6, 100);
            const int64_t took = TickMS() - start;
            return !got && took >= 100 ? took : INT64_MAX;
        });
        QVERIFY2(timeout < 100 + 10, qPrintable(QStringLiteral("a 100 ms time-out took %1 ms").arg(timeout)));

        QVERIFY(Wait_for_Apd_Buffer(&port, -1, 0));
    }

    // An exchange reads the reply as it arrives: no poll step on top of the
    // device's own time, with the echo of an adapter or without.
    void exchangeReadsReplyAsItArrives_data()
    {
        QTest::addColumn<bool>("signalling");
        QTest::addColumn<bool>("echo");
        QTest::newRow("port that signals") << true << false;
        QTest::newRow("port that signals, adapter that echoes") << true << true;
        QTest::newRow("port that cannot signal") << false << false;
    }
    void exchangeReadsReplyAsItArrives()
    {
        QFETCH(bool, signalling);
        QFETCH(bool, echo);
        MemPort port;
        port.signalling = signalling;
        port.echo = echo;
        port.SetEchoesTransmission(echo);
        port.responder = [](MemPort &p, int, const QByteArray &) {
            p.arrive(kGoodReply.left(5), 30);
            p.arrive(kGoodReply.mid(5), 40);
        };
        const int64_t best = bestOf(3, [&] {
            const Exchange e = exchange(port, 1, 200);
            return e.status == ST_OK && e.elapsedMs >= 40 ? e.elapsedMs : INT64_MAX;
        });
        QVERIFY2(best < 40 + 10, qPrintable(QStringLiteral("a reply complete at 40 ms read at %1 ms").arg(best)));
        QCOMPARE(port.EchoesTransmission(), echo);
    }

    // A plain wait is never shorter than asked, and ends about then; the
    // first sleep is always a whole 10 ms step.
    void plainWaits_data()
    {
        QTest::addColumn<int>("ms");
        QTest::addColumn<int>("atLeast");
        QTest::newRow("0 still sleeps one step") << 0 << 10;
        QTest::newRow("11") << 11 << 11;
        QTest::newRow("101") << 101 << 101;
        QTest::newRow("301 (a flush wait)") << 301 << 301;
    }
    void plainWaits()
    {
        QFETCH(int, ms);
        QFETCH(int, atLeast);
        const int64_t best = bestOf(3, [&] {
            const int64_t start = TickMS();
            WaitMS(ms);
            const int64_t took = TickMS() - start;
            return took >= atLeast ? took : INT64_MAX;
        });
        QVERIFY2(best != INT64_MAX, "a wait ended before its length");
        QVERIFY2(best < atLeast + 6, qPrintable(QStringLiteral("WaitMS(%1) took %2 ms").arg(ms).arg(best)));
    }

    // An adapter that hands our transmission back: learned from a read,
    // taken off before every reply from then on, forgotten when it stops.
    void echo_data()
    {
        QTest::addColumn<bool>("adapterEchoes");
        QTest::addColumn<bool>("knownBefore");
        QTest::addColumn<int>("fun");
        QTest::addColumn<QList<QByteArray>>("replies"); // per send; empty = silence
        QTest::addColumn<int>("repeat");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("sends");
        QTest::addColumn<bool>("knownAfter");
        QTest::addColumn<int>("echoes"); // traced
        QTest::addColumn<int>("left");   // bytes left in the input buffer

        const QByteArray silence;
        QByteArray swapped = kGoodReply;
        std::swap(swapped[swapped.size() - 1], swapped[swapped.size() - 2]);
        const QByteArray writeReply = withCrc(hexFrame("01 47 01 00 0A") + kParamsWriteData);
        QByteArray requestBadCrc = hexFrame(kMeasureRequest);
        requestBadCrc[6] = static_cast<char>(requestBadCrc[6] ^ 0x01);
        const int read = kFunRead;
        const int write = kFunWrite;

        QTest::newRow("read learns the echo from its first frame")
            << true << false << read << QList<QByteArray>{kGoodReply} << 4 << int(ST_OK) << 1 << true << 1 << 0;
        QTest::newRow("read with the echo known")
            << true << true << read << QList<QByteArray>{kGoodReply} << 4 << int(ST_OK) << 1 << true << 1 << 0;
        QTest::newRow("echo of a silent device is no reply")
            << true << false << read << QList<QByteArray>{silence, silence} << 2 << int(ST_NO_REPLY) << 2 << true
            << 2 << 0;
        QTest::newRow("echo, then damaged replies")
            << true << true << read << QList<QByteArray>{swapped, swapped} << 2 << int(ST_CRC_ERROR) << 2 << true << 2
            << 0;
        QTest::newRow("echo, then silence, then the reply")
            << true << false << read << QList<QByteArray>{silence, kGoodReply} << 4 << int(ST_OK) << 2 << true << 2
            << 0;
        QTest::newRow("write with the echo known")
            << true << true << write << QList<QByteArray>{writeReply} << 3 << int(ST_OK) << 1 << true << 1 << 0;
        QTest::newRow("write before the echo is known teaches nothing")
            << true << false << write << QList<QByteArray>{writeReply} << 3 << int(ST_OK) << 1 << false << 0
            << int(writeReply.size());
        QTest::newRow("known echo that stops: the reply is read, the echo forgotten")
            << false << true << read << QList<QByteArray>{kGoodReply} << 4 << int(ST_OK) << 1 << false << 0 << 0;
        QTest::newRow("known echo that stops, silent device: forgotten")
            << false << true << read << QList<QByteArray>{silence} << 1 << int(ST_NO_REPLY) << 1 << false << 0 << 0;
        QTest::newRow("known echo that stops on a write with another reply")
            << false << true << write << QList<QByteArray>{replyFrame(1, 71, 1, {})} << 3 << int(ST_OK) << 1 << false
            << 0 << 0;
        QTest::newRow("no echo: a read as ever")
            << false << false << read << QList<QByteArray>{kGoodReply} << 4 << int(ST_OK) << 1 << false << 0 << 0;
        QTest::newRow("the request with a bad CRC is a damaged reply, not an echo")
            << false << false << read << QList<QByteArray>{requestBadCrc} << 1 << int(ST_CRC_ERROR) << 1 << false << 0
            << 0;
    }
    void echo()
    {
        QFETCH(bool, adapterEchoes);
        QFETCH(bool, knownBefore);
        QFETCH(int, fun);
        QFETCH(QList<QByteArray>, replies);
        QFETCH(int, repeat);
        QFETCH(int, status);
        QFETCH(int, sends);
        QFETCH(bool, knownAfter);
        QFETCH(int, echoes);
        QFETCH(int, left);

        MemPort port;
        port.echo = adapterEchoes;
        port.SetEchoesTransmission(knownBefore);
        port.responder = [&](MemPort &p, int index, const QByteArray &) {
            if (index < replies.size() && !replies.at(index).isEmpty())
                p.arrive(replies.at(index), 5);
        };
        g_echoEvents = 0;
        SetLinkTraceHook(countEchoes);
        const QByteArray data = fun == kFunWrite ? kParamsWriteData : QByteArray();
        const Exchange e = exchange(port, repeat, 60, static_cast<uint8_t>(fun), fun == kFunWrite ? 1 : 0, data);
        SetLinkTraceHook(nullptr);

        QCOMPARE(e.status, status);
        QCOMPARE(port.sent().size(), sends);
        QCOMPARE(port.EchoesTransmission(), knownAfter);
        QCOMPARE(g_echoEvents.load(), echoes);
        WaitMS(20); // a reply the exchange did not wait for is there by now
        QCOMPARE(port.InBuffUsed(), left);
        if (status == ST_OK) {
            const QByteArray &reply = replies.at(sends - 1);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(e.reply->data()), reply.size()), reply);
        }
    }

    // What was learned on one exchange holds for the next on the same port,
    // and is the port's own: another port starts without it.
    void echoIsLearnedPerPort()
    {
        MemPort echoing;
        echoing.echo = true;
        echoing.responder = [](MemPort &p, int, const QByteArray &) { p.arrive(kGoodReply, 5); };
        QCOMPARE(exchange(echoing, 4, 60).status, int(ST_OK));
        QVERIFY(echoing.EchoesTransmission());
        const QByteArray writeReply = withCrc(hexFrame("01 47 01 00 0A") + kParamsWriteData);
        echoing.responder = [&](MemPort &p, int, const QByteArray &) { p.arrive(writeReply, 5); };
        const Exchange w = exchange(echoing, 3, 60, kFunWrite, 1, kParamsWriteData);
        QCOMPARE(w.status, int(ST_OK));
        QCOMPARE(echoing.InBuffUsed(), 0);
        QCOMPARE(echoing.sent().size(), 2);

        MemPort other;
        other.responder = [](MemPort &p, int, const QByteArray &) { p.arrive(kGoodReply, 5); };
        QVERIFY(!other.EchoesTransmission());
        QCOMPARE(exchange(other, 4, 60).status, int(ST_OK));
        QVERIFY(!other.EchoesTransmission());
    }

    void echoCheck_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("same");
        QTest::newRow("same header") << hexFrame("01 46 00 00 0D") << true;
        QTest::newRow("other address") << hexFrame("02 46 00 00 0D") << false;
        QTest::newRow("other function") << hexFrame("01 47 00 00 0D") << false;
        QTest::newRow("other sub-function") << hexFrame("01 46 16 00 0D") << false;
    }
    void echoCheck()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, same);
        const QByteArray request = hexFrame(kMeasureRequest);
        QCOMPARE(ModbusReturnCompare(reinterpret_cast<const uint8_t *>(reply.constData()),
                                     reinterpret_cast<const uint8_t *>(request.constData())),
                 same);
    }

    void digits()
    {
        uint8_t b[4] = {9, 9, 9, 9};
        Int_2_Bufer_single(305, 3, b);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(b), 4), QByteArray("\x05\x00\x03\x09", 4));
        Int_2_Bufer_single(305, 4, b);
        QCOMPARE(b[3], uint8_t(0));
    }

    void ltrim_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("leading blanks") << "  9600" << "9600";
        QTest::newRow("blanks only keep the last") << "   " << " ";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("trailing kept") << " a " << "a ";
        QTest::newRow("cut to 255") << (QString(3, ' ') + QString(300, 'x')) << QString(255, 'x');
    }
    void ltrim()
    {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(LTrim(in), out);
    }

    void statusTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("-1") << -1 << "";
        QTest::newRow("0") << 0 << "Connected";
        QTest::newRow("1") << 1 << "Selected serial port already in use";
        QTest::newRow("214") << 214 << "Selected serial port already in use";
        for (int code : {2, 3, 4, 9, 200})
            QTest::newRow(qPrintable(QString::number(code))) << code << "Device not responding";
        QTest::newRow("49") << 49 << "Error:   (49)";
        QTest::newRow("50") << 50 << "NOT Authorized";
        QTest::newRow("100") << 100 << "Please wait ...";
        QTest::newRow("201") << 201 << "Connection canceled! ";
        QTest::newRow("212") << 212 << "Selected serial port not exist";
        QTest::newRow("300") << 300 << "Selected serial port not exist";
        QTest::newRow("216") << 216 << "Eror I/O";
        QTest::newRow("301") << 301 << "Error:   (301)";
        QTest::newRow("320") << 320 << "Unknown device";
        QTest::newRow("7 falls back") << 7 << "Error:   (7)";
        QTest::newRow("-5 falls back") << -5 << "Error:   (-5)";
    }
    void statusTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(Get_Trans_Error_Str(code), text);
    }

    void deviceNames_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("variant");
        QTest::addColumn<QString>("name");
        QTest::newRow("1/0") << 1 << 0 << "FWTH-01";
        QTest::newRow("1/1") << 1 << 1 << "FWTH-02";
        QTest::newRow("1/2 unnamed") << 1 << 2 << "";
        QTest::newRow("2/1") << 2 << 1 << "FWT-02";
        for (int v : {0, 2, 255})
            QTest::newRow(qPrintable(QStringLiteral("2/%1").arg(v))) << 2 << v << "FWT-01";
        QTest::newRow("3/7") << 3 << 7 << "FWADC-01";
        QTest::newRow("30/0") << 30 << 0 << "HERON programator";
        QTest::newRow("0/0") << 0 << 0 << "<...>";
        QTest::newRow("255/0") << 255 << 0 << "<...>";
    }
    void deviceNames()
    {
        QFETCH(int, type);
        QFETCH(int, variant);
        QFETCH(QString, name);
        QCOMPARE(Get_Dornal_Device_Type(static_cast<uint8_t>(type), static_cast<uint8_t>(variant)), name);
    }

    void channelItems()
    {
        QStringList items{QStringLiteral("stale"), QStringLiteral("entries")};
        GetFwadcChannelItems(items);
        QCOMPARE(items.size(), 13);
        QCOMPARE(items.at(0), QStringLiteral("PT-100"));
        QCOMPARE(items.at(3), QStringLiteral("0 .. 20 mA"));
        QCOMPARE(items.at(4), QStringLiteral("4 .. 20 mA"));
        QCOMPARE(items.at(12), QStringLiteral("Termocouple-N"));
    }
};

QTEST_GUILESS_MAIN(TstLink)
#include "tst_link.moc"
