// The link on the real port against the simulator on a pseudo-terminal, with
// an adapter that hands our transmission back: learned on the first read,
// taken off before a write's reply, forgotten when the adapter stops.
#include "dn_comport.h"
#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "dn_transmisja.h"
#include "frames.h"
#include "simdevice.h"

#include <QtCore/QMutex>
#include <QtTest/QtTest>

namespace {

// The measurement request to address 1, as it goes on the wire.
const char *const kMeasureRequest = "01 46 00 00 07 4D 4A";

struct Traced
{
    TLinkTraceEvent::Kind kind;
    QByteArray bytes;
};

QMutex g_traceMutex;
QList<Traced> g_traced;

void record(const TLinkTraceEvent &e)
{
    QMutexLocker lock(&g_traceMutex);
    g_traced.append({e.kind, e.bytes ? QByteArray(reinterpret_cast<const char *>(e.bytes), e.count) : QByteArray()});
}

QList<Traced> traced(TLinkTraceEvent::Kind kind)
{
    QMutexLocker lock(&g_traceMutex);
    QList<Traced> out;
    for (const Traced &t : g_traced)
        if (t.kind == kind)
            out << t;
    return out;
}

// The trace of one test, from a clean start.
class TraceScope
{
public:
    TraceScope()
    {
        QMutexLocker lock(&g_traceMutex);
        g_traced.clear();
        SetLinkTraceHook(record);
    }
    ~TraceScope() { SetLinkTraceHook(nullptr); }
};

// A measurement into a record whose readings are stale, so that a reply
// that changes nothing shows.
int measure(TComPort &port, TRH_Parametry_Biezace &d)
{
    d.Temperatura = 999;
    d.Wilgotnosc = 999;
    int status = -1;
    GetCurrentMeasure(1, &port, status, d);
    return status;
}

} // namespace

class TstLinkPty : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readLearnsTheEcho_data()
    {
        QTest::addColumn<bool>("charTime");
        QTest::newRow("bytes cross at once") << false;
        QTest::newRow("bytes at the pace of the line") << true;
    }
    void readLearnsTheEcho()
    {
        QFETCH(bool, charTime);
        fwsim::Config c = fixedReadings(-205, 612);
        c.echo = true;
        c.charTime = charTime;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        TApdComPort port(1);
        port.SetDeviceName(sim.devicePath());
        const TraceScope trace;

        TRH_Parametry_Biezace d;
        QCOMPARE(measure(port, d), int(ST_OK));
        QCOMPARE(d.Temperatura, int16_t(-205));
        QCOMPARE(d.Wilgotnosc, int16_t(612));
        QVERIFY(port.EchoesTransmission());
        QCOMPARE(sim.requests().size(), 1); // the first attempt did it
        const QList<Traced> echoes = traced(TLinkTraceEvent::Echo);
        QCOMPARE(echoes.size(), 1);
        QCOMPARE(echoes.at(0).bytes, hexFrame(kMeasureRequest));

        // The next read knows it: the same, and nothing left over for the
        // send after it to flush.
        sim.setReadings(223, 450);
        QCOMPARE(measure(port, d), int(ST_OK));
        QCOMPARE(d.Temperatura, int16_t(223));
        QCOMPARE(d.Wilgotnosc, int16_t(450));
        QCOMPARE(sim.requests().size(), 2);
        QCOMPARE(traced(TLinkTraceEvent::Echo).size(), 2);
        QCOMPARE(traced(TLinkTraceEvent::FlushedIn).size(), 0);
        QCOMPARE(traced(TLinkTraceEvent::Received).size(), 2);
    }

    // A write's reply equals nothing we could tell from the echo by; with the
    // echo known from a read, the device's acknowledgement is what is read.
    void writeWithTheEchoKnown()
    {
        fwsim::Config c = fixedReadings(215, 453, fwsim::DeviceKind::FWTH02); // takes writes outside a service mode
        c.echo = true;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        TApdComPort port(1);
        port.SetDeviceName(sim.devicePath());
        TRH_Parametry_Biezace d;
        QCOMPARE(measure(port, d), int(ST_OK));
        QVERIFY(port.EchoesTransmission());

        const TraceScope trace;
        const uint8_t fahrenheit = 1;
        TModbusBuffer reply{};
        bool echoOk = false;
        QCOMPARE(ExchangeOp(Ops::UnitWrite, 1, &port, &fahrenheit, 1, reply, &echoOk), int(ST_OK));
        QVERIFY(echoOk);
        // The device's 7-byte acknowledgement, not our 8-byte request.
        QCOMPARE(int(FrameLengthField(reply.data())), kModbusMinFrame);
        QVERIFY(sim.state().fahrenheit);
        QCOMPARE(traced(TLinkTraceEvent::Echo).size(), 1);
        WaitMS(50);
        QCOMPARE(port.InBuffUsed(), 0);

        QCOMPARE(measure(port, d), int(ST_OK));
        QVERIFY(d.Status & kStatusFahrenheit);
        QCOMPARE(traced(TLinkTraceEvent::FlushedIn).size(), 0);
    }

    // The adapter swapped for one that does not echo: the next read takes
    // the reply at once and the port is known not to echo; an echoing one
    // put back is learned again.
    void swappedAdapter()
    {
        fwsim::Config c = fixedReadings(215, 453);
        c.echo = true;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        TApdComPort port(1);
        port.SetDeviceName(sim.devicePath());
        TRH_Parametry_Biezace d;
        QCOMPARE(measure(port, d), int(ST_OK));
        QVERIFY(port.EchoesTransmission());

        c.echo = false;
        c.temperature = 230;
        sim.setConfig(c);
        sim.clearRequests();
        QCOMPARE(measure(port, d), int(ST_OK));
        QCOMPARE(d.Temperatura, int16_t(230));
        QVERIFY(!port.EchoesTransmission());
        QCOMPARE(sim.requests().size(), 1);

        c.echo = true;
        c.temperature = 240;
        sim.setConfig(c);
        sim.clearRequests();
        QCOMPARE(measure(port, d), int(ST_OK));
        QCOMPARE(d.Temperatura, int16_t(240));
        QVERIFY(port.EchoesTransmission());
        QCOMPARE(sim.requests().size(), 1);
    }

    // Exchanges back to back with a device that answers at once: a request
    // that went out is never taken for unsent output at the next send (and
    // flushed, with a 300 ms wait). It was, now and then, while the port
    // counted it as unsent until QSerialPort's late bytesWritten.
    void backToBackFlushesNothing()
    {
        fwsim::Config c = fixedReadings(215, 453);
        c.turnaroundMs = 0;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        TApdComPort port(1);
        port.SetDeviceName(sim.devicePath());
        const TraceScope trace;
        TRH_Parametry_Biezace d;
        constexpr int kExchanges = 3000;
        for (int i = 0; i < kExchanges; ++i)
            QCOMPARE(measure(port, d), int(ST_OK));
        QCOMPARE(traced(TLinkTraceEvent::FlushedOut).size(), 0);
        QCOMPARE(traced(TLinkTraceEvent::FlushedIn).size(), 0);
        QCOMPARE(traced(TLinkTraceEvent::Sent).size(), kExchanges);
    }

    // An echoing adapter in front of a silent device: no reply, however much
    // the echo looks like one.
    void echoOfASilentDevice()
    {
        fwsim::Config c = fixedReadings(215, 453);
        c.echo = true;
        fwsim::Simulator sim(c);
        QVERIFY(sim.start());
        TApdComPort port(1);
        port.SetDeviceName(sim.devicePath());
        sim.setFault(fwsim::Fault::Silence, 4);
        TRH_Parametry_Biezace d;
        QCOMPARE(measure(port, d), int(ST_TRANS_FAILED));
        QCOMPARE(d.Przyczyna.Kod, int32_t(ST_NO_REPLY));
        QCOMPARE(d.Temperatura, kNoValue);
        QCOMPARE(sim.requests().size(), 4);
        QVERIFY(port.EchoesTransmission());
    }
};

QTEST_GUILESS_MAIN(TstLinkPty)
#include "tst_link_pty.moc"
