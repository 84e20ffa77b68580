// The device simulator seen from the program's side of the line: its slave
// pseudo-terminal opened and driven with plain POSIX I/O, so that nothing of
// the link under test stands between the test and the simulated device.

#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "dn_transmisja.h"
#include "fenwire_sim.h"

#include <QtCore/QFileInfo>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>
#include <QtTest/QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using fwsim::Config;
using fwsim::DeviceKind;
using fwsim::Fault;
using fwsim::Simulator;

Q_DECLARE_METATYPE(fwsim::DeviceKind)
Q_DECLARE_METATYPE(fwsim::Fault)

namespace {

// The simulator answers within a few ms; a silent device is taken as silent
// after this long.
constexpr int kSilenceMs = 120;
constexpr int kReplyTimeoutMs = 1000;
// Bytes that stop for this long end what a reply sent.
constexpr int kReplyGapMs = 40;

constexpr int kService = 247;

speed_t speedOf(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 19200: return B19200;
    default: return B9600;
    }
}

QByteArray bytes(const char *hexText)
{
    return QByteArray::fromHex(hexText);
}

QByteArray withCrc(QByteArray body)
{
    const uint16_t crc = Get_MODBUS_CRC16(int(body.size()), reinterpret_cast<const uint8_t *>(body.constData()));
    body.append(char(crc & 0xFF)); // low byte first
    body.append(char(crc >> 8));
    return body;
}

// A request or reply as it goes on the wire, CRC appended.
QByteArray frame(int address, int fun, int sub, const QByteArray &data = {})
{
    TModbusBuffer buf{};
    const int n = Set_Modbus_Send_Buffer(buf, address, fun, sub, reinterpret_cast<const uint8_t *>(data.constData()),
                                         int(data.size()));
    return withCrc(QByteArray(reinterpret_cast<const char *>(buf.data()), n));
}

bool crcOk(const QByteArray &f)
{
    if (f.size() < kModbusMinFrame)
        return false;
    const int body = int(f.size()) - kModbusCrcSize;
    const uint16_t crc = Get_MODBUS_CRC16(body, reinterpret_cast<const uint8_t *>(f.constData()));
    return uint8_t(f[body]) == (crc & 0xFF) && uint8_t(f[body + 1]) == (crc >> 8);
}

int lengthField(const QByteArray &f)
{
    return uint8_t(f[3]) << 8 | uint8_t(f[4]);
}

// The program's end of the line.
class Line
{
public:
    explicit Line(const QString &path, int baud = 9600)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (m_fd >= 0)
            setBaud(baud);
    }
    ~Line()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    void setBaud(int baud, bool oddParity = false)
    {
        termios t{};
        tcgetattr(m_fd, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD | CSTOPB;
        if (oddParity)
            t.c_cflag |= PARENB | PARODD;
        cfsetspeed(&t, speedOf(baud));
        tcsetattr(m_fd, TCSANOW, &t);
    }

    void send(const QByteArray &f)
    {
        tcflush(m_fd, TCIFLUSH); // as the link does: a late reply must not pass for this one
        QCOMPARE(::write(m_fd, f.constData(), size_t(f.size())), ssize_t(f.size()));
    }

    // What comes back: a whole frame as its length field says, or whatever
    // arrived before the line fell quiet, or nothing within silenceMs.
    QByteArray receive(int silenceMs = kReplyTimeoutMs)
    {
        QByteArray in;
        int64_t last = TickMS();
        for (;;) {
            const int waited = int(TickMS() - last);
            const int limit = in.isEmpty() ? silenceMs : kReplyGapMs;
            if (waited >= limit)
                return in;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, limit - waited) > 0 && (p.revents & POLLIN)) {
                char buf[600];
                const ssize_t n = ::read(m_fd, buf, sizeof buf);
                if (n > 0) {
                    in.append(buf, int(n));
                    last = TickMS();
                }
            } else if (p.revents & (POLLHUP | POLLERR)) {
                return in;
            }
            if (in.size() >= kModbusHeaderSize) {
                const int len = lengthField(in);
                if (len >= kModbusMinFrame && len <= in.size())
                    return in;
            }
        }
    }

    QByteArray exchange(const QByteArray &f, int silenceMs = kReplyTimeoutMs)
    {
        send(f);
        return receive(silenceMs);
    }

    // Sure to end in silence: the request is not worth a long wait.
    QByteArray expectSilence(const QByteArray &f) { return exchange(f, kSilenceMs); }

    // Whether the device side has gone away.
    bool hungUp()
    {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, kSilenceMs) > 0 && (p.revents & POLLHUP);
    }

private:
    int m_fd;
};

Config fixedConfig(DeviceKind kind = DeviceKind::FWTH01)
{
    Config c;
    c.kind = kind;
    c.curve = false;
    return c;
}

// FWTH-01 at address 1 with its fixed readings, 21.5 degrees and 45.3 percent.
QByteArray goodMeasureReply()
{
    return withCrc(bytes("01 46 00 00 0d  01c5 00d7 00 00"));
}

} // namespace

class tst_Sim : public QObject
{
    Q_OBJECT

private slots:
    void measurement_data();
    void measurement();
    void identification_data();
    void identification();
    void whoAnswers_data();
    void whoAnswers();
    void serviceModeGatesAndExpires();
    void parametersWriteTakesEffectAfterAck();
    void adcConfiguration();
    void wrongBaudIgnored();
    void strayBytesDroppedAfterGap();
    void characterTime();
    void faults_data();
    void faults();
    void faultRate();
    void fwdlForwardsOneRequestAfterCommand();
    void unplugReplugKeepsLink();

private:
    struct Running {
        std::unique_ptr<Simulator> sim;
        std::unique_ptr<Line> line;
    };
    static Running run(const Config &config)
    {
        Running r{std::make_unique<Simulator>(config), nullptr};
        QString error;
        if (r.sim->start(&error))
            r.line = std::make_unique<Line>(r.sim->devicePath(), config.baud);
        else
            qWarning("%s", qPrintable(error));
        return r;
    }
};

void tst_Sim::measurement_data()
{
    QTest::addColumn<Config>("config");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("expected"); // the reply without its CRC

    Config c = fixedConfig(DeviceKind::FWTH01);
    c.temperature = -205;
    c.statusByte = 0x40; // door state
    QTest::newRow("fwth01 13 bytes, -20.5 C, door bits") << c << 1 << bytes("01 46 00 00 0d  01c5 ff33 40 00");
    QTest::newRow("fwth01 at service address 247") << c << kService << bytes("f7 46 00 00 0d  01c5 ff33 40 00");

    c = fixedConfig(DeviceKind::FWT01);
    QTest::newRow("fwt01 11 bytes, temperature only") << c << 1 << bytes("01 46 00 00 0b  00d7 00 00");
    c = fixedConfig(DeviceKind::FWT02);
    c.fahrenheit = true;
    c.temperature = 707;
    QTest::newRow("fwt02 fahrenheit sets status bit 4") << c << 1 << bytes("01 46 00 00 0b  02c3 10 00");

    c = fixedConfig(DeviceKind::RH15);
    QTest::newRow("rh15 15 bytes, two spare zeros") << c << 1 << bytes("01 46 00 00 0f  01c5 00d7 00 00 0000");

    c = fixedConfig(DeviceKind::FWADC01);
    c.humidity = 1000; // channel 1
    c.temperature = -1;  // channel 2
    c.statusByte = 0x05;
    c.modeByte = 255;
    QTest::newRow("fwadc01 channels, both errors, converter damaged")
        << c << 1 << bytes("01 46 00 00 0d  03e8 ffff 05 ff");
}

void tst_Sim::measurement()
{
    QFETCH(Config, config);
    QFETCH(int, address);
    QFETCH(QByteArray, expected);

    Running r = run(config);
    QVERIFY(r.line && r.line->isOpen());
    const QByteArray reply = r.line->exchange(frame(address, kFunRead, SF_MEASURE));
    QVERIFY(crcOk(reply));
    QCOMPARE(reply.left(reply.size() - kModbusCrcSize).toHex(), expected.toHex());
    QCOMPARE(lengthField(reply), int(reply.size()));
}

void tst_Sim::identification_data()
{
    QTest::addColumn<DeviceKind>("kind");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("variant");

    QTest::newRow("fwth01 type 1 variant 0") << DeviceKind::FWTH01 << 1 << 0;
    QTest::newRow("fwth02 type 1 variant 1") << DeviceKind::FWTH02 << 1 << 1;
    QTest::newRow("rh15 type 1 variant 1") << DeviceKind::RH15 << 1 << 1;
    QTest::newRow("fwt01 type 2 variant 0") << DeviceKind::FWT01 << 2 << 0;
    QTest::newRow("fwt02 type 2 variant 1") << DeviceKind::FWT02 << 2 << 1;
    QTest::newRow("fwadc01 type 3") << DeviceKind::FWADC01 << 3 << 0;
}

void tst_Sim::identification()
{
    QFETCH(DeviceKind, kind);
    QFETCH(int, type);
    QFETCH(int, variant);

    Running r = run(fixedConfig(kind));
    const QByteArray reply = r.line->exchange(frame(kService, kFunRead, SF_IDENTIFY));
    QVERIFY(crcOk(reply));
    QCOMPARE(reply.size(), 24);
    // Serial 12345 and maker's serial 987654 low byte first, 2014-03-09,
    // version "1.07", two reserved bytes.
    QByteArray expected = bytes("f7 46 15 00 18  00 00 3930 0e 03 09 312e3037 06120f00 00 00");
    expected[5] = char(type);
    expected[6] = char(variant);
    QCOMPARE(reply.left(22).toHex(), expected.toHex());
}

void tst_Sim::whoAnswers_data()
{
    QTest::addColumn<DeviceKind>("kind");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("answered");

    QTest::newRow("own address") << DeviceKind::FWTH01 << frame(1, kFunRead, SF_MEASURE) << true;
    QTest::newRow("another address") << DeviceKind::FWTH01 << frame(2, kFunRead, SF_MEASURE) << false;
    QTest::newRow("broadcast address 0") << DeviceKind::FWTH01 << frame(0, kFunRead, SF_MEASURE) << false;
    QByteArray badCrc = frame(1, kFunRead, SF_MEASURE);
    badCrc[6] = char(badCrc[6] ^ 1);
    QTest::newRow("bad CRC") << DeviceKind::FWTH01 << badCrc << false;
    QTest::newRow("measurement as a write") << DeviceKind::FWTH01 << frame(1, kFunWrite, SF_MEASURE) << false;
    QTest::newRow("unknown sub-function 99") << DeviceKind::FWTH01 << frame(1, kFunRead, 99) << false;
    QTest::newRow("unit write with 2 data bytes")
        << DeviceKind::FWTH02 << frame(1, kFunWrite, SF_UNIT_WRITE, bytes("0100")) << false;
    QTest::newRow("fwth01 params read outside service mode")
        << DeviceKind::FWTH01 << frame(1, kFunRead, SF_PARAMS_READ) << false;
    QTest::newRow("fwth02 params read needs no service mode")
        << DeviceKind::FWTH02 << frame(1, kFunRead, SF_PARAMS_READ) << true;
    QTest::newRow("fwth02 has no service mode")
        << DeviceKind::FWTH02 << frame(1, kFunWrite, SF_SERVICE_MODE, bytes("01013930")) << false;
    QTest::newRow("fwt01 has no ADC types") << DeviceKind::FWT01 << frame(1, kFunRead, SF_ADC_TYPES_READ) << false;
    QTest::newRow("fwadc01 ADC types") << DeviceKind::FWADC01 << frame(1, kFunRead, SF_ADC_TYPES_READ) << true;
    QTest::newRow("fwadc01 channel 2 does not exist")
        << DeviceKind::FWADC01 << frame(1, kFunWrite, SF_ADC_TYPE_WRITE, bytes("0203")) << false;
    QTest::newRow("params write to address 0 refused")
        << DeviceKind::FWTH02 << frame(1, kFunWrite, SF_PARAMS_WRITE, bytes("200000")) << false;
}

void tst_Sim::whoAnswers()
{
    QFETCH(DeviceKind, kind);
    QFETCH(QByteArray, request);
    QFETCH(bool, answered);

    Running r = run(fixedConfig(kind));
    const QByteArray reply = r.line->exchange(request, answered ? kReplyTimeoutMs : kSilenceMs);
    QCOMPARE(!reply.isEmpty(), answered);
    const QList<fwsim::Request> log = r.sim->requests();
    QCOMPARE(log.size(), 1);
    QCOMPARE(log[0].frame.toHex(), request.toHex());
    QCOMPARE(log[0].answered, answered);
    if (answered)
        QCOMPARE(reply.left(3).toHex(), request.left(3).toHex());
}

void tst_Sim::serviceModeGatesAndExpires()
{
    Config c = fixedConfig(DeviceKind::FWTH01);
    c.serviceModeMs = 300;
    Running r = run(c);
    Line &line = *r.line;

    QVERIFY(line.expectSilence(frame(kService, kFunRead, SF_PARAMS_READ)).isEmpty());
    // Type 1, variant 0, serial 12345 low byte first; one wrong byte is refused.
    QVERIFY(line.expectSilence(frame(kService, kFunWrite, SF_SERVICE_MODE, bytes("01003931"))).isEmpty());
    QCOMPARE(line.exchange(frame(kService, kFunWrite, SF_SERVICE_MODE, bytes("01003930"))).toHex(),
             frame(kService, kFunWrite, SF_SERVICE_MODE).toHex());
    QVERIFY(r.sim->state().serviceMode);

    const QByteArray params = line.exchange(frame(kService, kFunRead, SF_PARAMS_READ));
    QCOMPARE(params.toHex(), frame(kService, kFunRead, SF_PARAMS_READ, bytes("2000010000")).toHex());
    QCOMPARE(line.exchange(frame(kService, kFunWrite, SF_UNIT_WRITE, bytes("01"))).toHex(),
             frame(kService, kFunWrite, SF_UNIT_WRITE).toHex());
    QVERIFY(r.sim->state().fahrenheit);

    QThread::msleep(350);
    QVERIFY(!r.sim->state().serviceMode);
    QVERIFY(line.expectSilence(frame(kService, kFunRead, SF_PARAMS_READ)).isEmpty());
    QVERIFY(line.expectSilence(frame(kService, kFunWrite, SF_PARAMS_WRITE, bytes("400205"))).isEmpty());
    QCOMPARE(r.sim->state().address, 1);
    QCOMPARE(r.sim->count(SF_PARAMS_READ), 3);
}

void tst_Sim::parametersWriteTakesEffectAfterAck()
{
    Running r = run(fixedConfig(DeviceKind::FWTH02));
    Line &line = *r.line;

    // 19200 baud (byte 64), even parity, address 5; acknowledged as address 1.
    QCOMPARE(line.exchange(frame(1, kFunWrite, SF_PARAMS_WRITE, bytes("400205"))).toHex(),
             frame(1, kFunWrite, SF_PARAMS_WRITE).toHex());
    const fwsim::State s = r.sim->state();
    QCOMPARE(s.address, 5);
    QCOMPARE(s.baud, 19200);
    QCOMPARE(s.parity, 2);

    QVERIFY(line.expectSilence(frame(5, kFunRead, SF_MEASURE)).isEmpty()); // still at 9600
    line.setBaud(19200);
    QVERIFY(line.expectSilence(frame(1, kFunRead, SF_MEASURE)).isEmpty()); // old address
    QVERIFY(crcOk(line.exchange(frame(5, kFunRead, SF_MEASURE))));
    QCOMPARE(line.exchange(frame(kService, kFunRead, SF_PARAMS_READ)).toHex(),
             frame(kService, kFunRead, SF_PARAMS_READ, bytes("4002050000")).toHex());
}

void tst_Sim::adcConfiguration()
{
    Running r = run(fixedConfig(DeviceKind::FWADC01));
    Line &line = *r.line;

    // Unit, eight ranges high byte first, two unused, address, types, a spare.
    QCOMPARE(line.exchange(frame(1, kFunRead, SF_ADC_CONFIG_READ)).toHex(),
             frame(1, kFunRead, SF_ADC_CONFIG_READ,
                   bytes("00" "000003e8000003e8" "000003e8000003e8" "0000" "01" "0003" "00"))
                 .toHex());

    const QByteArray ack51 = frame(1, kFunWrite, SF_ADC_TYPE_WRITE);
    QCOMPARE(line.exchange(frame(1, kFunWrite, SF_ADC_TYPE_WRITE, bytes("0004"))).toHex(), ack51.toHex());
    QCOMPARE(line.exchange(frame(1, kFunWrite, SF_ADC_TYPE_WRITE, bytes("0108"))).toHex(), ack51.toHex());
    QCOMPARE(line.exchange(frame(1, kFunWrite, SF_RANGES_020_WRITE, bytes("0001000200030004"))).toHex(),
             frame(1, kFunWrite, SF_RANGES_020_WRITE).toHex());
    QCOMPARE(line.exchange(frame(1, kFunWrite, SF_RANGES_420_WRITE, bytes("0005000600070100"))).toHex(),
             frame(1, kFunWrite, SF_RANGES_420_WRITE).toHex());
    QCOMPARE(line.exchange(frame(1, kFunWrite, SF_UNIT_WRITE, bytes("01"))).toHex(),
             frame(1, kFunWrite, SF_UNIT_WRITE).toHex());

    QCOMPARE(line.exchange(frame(1, kFunRead, SF_ADC_TYPES_READ)).toHex(),
             frame(1, kFunRead, SF_ADC_TYPES_READ, bytes("0408")).toHex());
    QCOMPARE(line.exchange(frame(1, kFunRead, SF_ADC_CONFIG_READ)).toHex(),
             frame(1, kFunRead, SF_ADC_CONFIG_READ,
                   bytes("01" "0001000200030004" "0005000600070100" "0000" "01" "0408" "00"))
                 .toHex());
    const fwsim::State s = r.sim->state();
    QCOMPARE(s.adcType1, 4);
    QCOMPARE(s.adcType2, 8);
    QCOMPARE(s.adcRanges[7], uint16_t(256));
}

void tst_Sim::wrongBaudIgnored()
{
    Running r = run(fixedConfig());
    Line &line = *r.line;
    line.setBaud(19200, true);
    QVERIFY(line.expectSilence(frame(1, kFunRead, SF_MEASURE)).isEmpty());
    line.setBaud(9600, true);
    QVERIFY(crcOk(line.exchange(frame(1, kFunRead, SF_MEASURE))));

    const QList<fwsim::Request> log = r.sim->requests();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log[0].baud, 19200);
    QVERIFY(!log[0].answered);
    QCOMPARE(log[1].baud, 9600);
    QVERIFY(log[1].answered);
    QVERIFY(log[1].oddParity);
    QVERIFY(log[1].atMs >= log[0].atMs);
    QCOMPARE(r.sim->count(SF_MEASURE), 2);
    r.sim->clearRequests();
    QCOMPARE(r.sim->count(SF_MEASURE), 0);
}

void tst_Sim::strayBytesDroppedAfterGap()
{
    Running r = run(fixedConfig());
    Line &line = *r.line;
    const QByteArray request = frame(1, kFunRead, SF_MEASURE);
    line.send(request.left(3));
    QThread::msleep(150); // well beyond the device's inter-frame gap, even on a busy machine
    QCOMPARE(line.exchange(request).toHex(), goodMeasureReply().toHex());
    QCOMPARE(r.sim->requests().size(), 1);
}

void tst_Sim::characterTime()
{
    Config c = fixedConfig();
    c.baud = 1200;
    c.charTime = true;
    Running r = run(c);
    const int64_t start = TickMS();
    const QByteArray reply = r.line->exchange(frame(1, kFunRead, SF_MEASURE));
    const int64_t elapsed = TickMS() - start;
    QVERIFY(crcOk(reply));
    // 13 bytes of 11 bits at 1200 baud.
    QVERIFY2(elapsed >= 13 * 11 * 1000 / 1200, qPrintable(QString::number(elapsed)));
}

void tst_Sim::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<QByteArray>("expected"); // the reply; garbage is checked by its size only

    const QByteArray good = goodMeasureReply();
    QTest::newRow("silence") << Fault::Silence << 0 << QByteArray();
    QByteArray badCrc = good;
    badCrc[11] = char(badCrc[11] ^ 0xFF);
    badCrc[12] = char(badCrc[12] ^ 0xFF);
    QTest::newRow("bad CRC, both CRC bytes inverted") << Fault::BadCrc << 0 << badCrc;
    QTest::newRow("wrong echo, sub-function 1, CRC right")
        << Fault::WrongEcho << 0 << frame(1, kFunRead, 1, good.mid(5, 6));
    QTest::newRow("partial, first 4 bytes") << Fault::Partial << 0 << good.left(4);
    QTest::newRow("delay 300 ms") << Fault::Delay << 300 << good;
    QTest::newRow("length field 3, CRC right") << Fault::BadLength << 0
                                                << withCrc(bytes("01 46 00 00 03  01c5 00d7 00 00"));
    QTest::newRow("length field 600, CRC right") << Fault::BadLength << 600
                                                  << withCrc(bytes("01 46 00 02 58  01c5 00d7 00 00"));
    QTest::newRow("garbage") << Fault::Garbage << 0 << QByteArray();
}

void tst_Sim::faults()
{
    QFETCH(Fault, fault);
    QFETCH(int, param);
    QFETCH(QByteArray, expected);

    Running r = run(fixedConfig());
    Line &line = *r.line;
    r.sim->setFault(fault, 1, param);
    const QByteArray request = frame(1, kFunRead, SF_MEASURE);
    const int64_t start = TickMS();
    const QByteArray reply = line.exchange(request, fault == Fault::Silence ? kSilenceMs : kReplyTimeoutMs);
    const int64_t elapsed = TickMS() - start;

    if (fault == Fault::Garbage)
        QVERIFY2(reply.size() >= 1 && reply.size() <= 40, qPrintable(reply.toHex()));
    else
        QCOMPARE(reply.toHex(), expected.toHex());
    if (fault == Fault::Delay)
        QVERIFY2(elapsed >= param, qPrintable(QString::number(elapsed)));
    QCOMPARE(r.sim->requests().value(0).answered, fault != Fault::Silence);

    // The fault was for one request: the next one gets its proper reply.
    QCOMPARE(line.exchange(request).toHex(), goodMeasureReply().toHex());
}

void tst_Sim::faultRate()
{
    Running r = run(fixedConfig());
    Line &line = *r.line;
    const QByteArray request = frame(1, kFunRead, SF_MEASURE);
    constexpr int kRequests = 40;

    r.sim->setFaultRate(Fault::BadCrc, 0.5);
    int bad = 0;
    for (int i = 0; i < kRequests; ++i)
        bad += crcOk(line.exchange(request)) ? 0 : 1;
    QVERIFY2(bad > 5 && bad < kRequests - 5, qPrintable(QString::number(bad)));

    r.sim->setFaultRate(Fault::BadCrc, 0.0);
    for (int i = 0; i < 5; ++i)
        QVERIFY(crcOk(line.exchange(request)));
}

void tst_Sim::fwdlForwardsOneRequestAfterCommand()
{
    Config c = fixedConfig();
    c.fwdl = true;
    c.fwdlAddress = 100;
    c.fwdlBaud = 19200;
    Running r = run(c);
    Line &line = *r.line;
    const QByteArray measure = frame(1, kFunRead, SF_MEASURE);
    const QByteArray transparent = frame(100, kFunWrite, SF_FWDL_TRANSPARENT);

    QVERIFY(line.expectSilence(measure).isEmpty());
    QVERIFY(line.expectSilence(transparent).isEmpty()); // the unit listens at 19200 only

    line.setBaud(19200);
    QCOMPARE(line.exchange(transparent).toHex(), transparent.toHex());
    QVERIFY(r.sim->state().fwdlTransparent);
    line.setBaud(9600);
    QVERIFY(crcOk(line.exchange(measure)));
    QVERIFY(!r.sim->state().fwdlTransparent);
    QVERIFY(line.expectSilence(measure).isEmpty());

    // The unit falls back after a second without a request to forward.
    line.setBaud(19200);
    QCOMPARE(line.exchange(transparent).toHex(), transparent.toHex());
    QThread::msleep(1100);
    line.setBaud(9600);
    QVERIFY(line.expectSilence(measure).isEmpty());
    QCOMPARE(r.sim->count(SF_FWDL_TRANSPARENT), 3);
}

void tst_Sim::unplugReplugKeepsLink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("fenwire0"));
    const QByteArray request = frame(1, kFunRead, SF_MEASURE);
    {
        Simulator sim(fixedConfig());
        QVERIFY(sim.start());
        QString error;
        QVERIFY2(sim.setLink(link, &error), qPrintable(error));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.devicePath());
        const QString first = sim.devicePath();
        {
            Line line(link);
            QVERIFY(line.isOpen());
            QVERIFY(crcOk(line.exchange(request)));

            sim.unplug();
            QVERIFY(sim.devicePath().isEmpty());
            QVERIFY(line.hungUp());
            QVERIFY(!QFileInfo::exists(first));
        }
        QVERIFY(sim.replug(&error));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.devicePath());
        Line again(link);
        QVERIFY(again.isOpen());
        QVERIFY(crcOk(again.exchange(request)));
    }
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(tst_Sim)
#include "tst_sim.moc"
