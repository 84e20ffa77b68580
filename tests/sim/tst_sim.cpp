// The device simulator seen from the program's side of the line: its slave
// pseudo-terminal opened and driven with plain POSIX I/O, so that nothing of
// the link under test stands between the test and the simulated device.

#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "dn_transmisja.h"
#include "fenwire_sim.h"

#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>
#include <QtTest/QtTest>

#include <chrono>
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
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B9600;
    }
}

// Microseconds on the clock the simulator keeps its line time by.
int64_t usNow()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// The least time `bytes` characters take on the line: start bit, 8 data bits,
// 2 stop bits each.
double wireUs(int bytes, int baud)
{
    return bytes * 11 * 1e6 / baud;
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

    struct Arrival {
        int64_t atUs; // when the read returned them (never before they came)
        QByteArray bytes;
    };
    // Everything that comes until the line has been quiet for quietMs (for
    // firstMs before the first byte, when given).
    QList<Arrival> collect(int quietMs = kSilenceMs, int firstMs = -1)
    {
        QList<Arrival> in;
        for (;;) {
            pollfd p{m_fd, POLLIN, 0};
            const int wait = in.isEmpty() && firstMs >= 0 ? firstMs : quietMs;
            if (::poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN))
                return in;
            char buf[600];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n <= 0)
                return in;
            in.append({usNow(), QByteArray(buf, int(n))});
        }
    }
    static QByteArray joined(const QList<Arrival> &in)
    {
        QByteArray all;
        for (const Arrival &a : in)
            all += a.bytes;
        return all;
    }
    // When the byte at `index` of what came had arrived.
    static int64_t arrivalOf(const QList<Arrival> &in, int index)
    {
        for (const Arrival &a : in) {
            if (index < a.bytes.size())
                return a.atUs;
            index -= int(a.bytes.size());
        }
        return -1;
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

// The device type an identification reply gives for the kinds a line test uses.
int typeOf(DeviceKind kind)
{
    switch (kind) {
    case DeviceKind::FWT01:
    case DeviceKind::FWT02: return 2;
    case DeviceKind::FWADC01: return 3;
    default: return 1;
    }
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
    void lineCycle();
    void serviceAddressAnsweredOnce_data();
    void serviceAddressAnsweredOnce();
    void fwdlUnitSharedByDevices();
    void lineTiming_data();
    void lineTiming();
    void manyDevicesKeepTheirFloor();
    void echo_data();
    void echo();
    void programVersion();
    void programRejectsBadDeviceLists_data();
    void programRejectsBadDeviceLists();
    void programServesADeviceList();

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
    static Running run(const std::vector<Config> &devices, int lineBaud = 9600)
    {
        Running r{std::make_unique<Simulator>(devices), nullptr};
        QString error;
        if (r.sim->start(&error))
            r.line = std::make_unique<Line>(r.sim->devicePath(), lineBaud);
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

// A monitor's cycle over a line of mixed devices, twice: each address answers
// with its own kind and readings, and what one device does wrong (silence, a
// bad CRC, garbage) does not reach the replies of the devices after it.
void tst_Sim::lineCycle()
{
    Config fwt = fixedConfig(DeviceKind::FWT01);
    fwt.address = 2;
    fwt.temperature = -205;
    Config adc = fixedConfig(DeviceKind::FWADC01);
    adc.address = 3;
    adc.humidity = 1000;
    adc.temperature = -1;
    adc.statusByte = 0x05;
    adc.modeByte = 255;
    Config silent = fixedConfig(DeviceKind::FWTH02);
    silent.address = 4;
    Config badCrc = fixedConfig();
    badCrc.address = 5;
    Config garbage = fixedConfig(DeviceKind::RH15);
    garbage.address = 6;
    Config last = fixedConfig(DeviceKind::FWTH02);
    last.address = 7;
    last.temperature = 300;
    last.humidity = 600;
    Running r = run({fixedConfig(), fwt, adc, silent, badCrc, garbage, last});
    QVERIFY(r.line && r.line->isOpen());
    QCOMPARE(r.sim->deviceCount(), 7);
    QVERIFY(r.sim->setFault(4, Fault::Silence, 1000));
    QVERIFY(r.sim->setFaultRate(5, Fault::BadCrc, 1.0));
    QVERIFY(r.sim->setFaultRate(6, Fault::Garbage, 1.0));
    QVERIFY(!r.sim->setFault(8, Fault::Silence, 1)); // nobody there

    // The replies without their CRC; empty for the silent one.
    const QList<QByteArray> expected{
        bytes("01 46 00 00 0d  01c5 00d7 00 00"), bytes("02 46 00 00 0b  ff33 00 00"),
        bytes("03 46 00 00 0d  03e8 ffff 05 ff"), QByteArray(),
        bytes("05 46 00 00 0d  01c5 00d7 00 00"), QByteArray(),
        bytes("07 46 00 00 0d  0258 012c 00 00")};
    for (int round = 0; round < 2; ++round) {
        for (int address = 1; address <= 7; ++address) {
            const QByteArray request = frame(address, kFunRead, SF_MEASURE);
            const QString what = QStringLiteral("round %1, address %2").arg(round).arg(address);
            if (address == 4) {
                QVERIFY2(r.line->expectSilence(request).isEmpty(), qPrintable(what));
                continue;
            }
            const QByteArray reply = r.line->exchange(request);
            if (address == 6) {
                QVERIFY2(reply.size() >= 1 && reply.size() <= 40, qPrintable(what));
                continue;
            }
            QCOMPARE(crcOk(reply), address != 5);
            QCOMPARE(reply.left(reply.size() - kModbusCrcSize).toHex(), expected[address - 1].toHex());
        }
    }
    const QList<fwsim::Request> log = r.sim->requests();
    QCOMPARE(log.size(), 14);
    for (int i = 0; i < log.size(); ++i) {
        const int address = i % 7 + 1;
        QCOMPARE(log[i].device, address == 4 ? -1 : address - 1);
        QCOMPARE(log[i].answered, address != 4);
    }

    // Readings and faults per device, the others untouched.
    QVERIFY(r.sim->setReadings(7, -12, 999));
    QVERIFY(r.sim->setFault(4, Fault::None, 0));
    QCOMPARE(r.line->exchange(frame(7, kFunRead, SF_MEASURE)).toHex(),
             withCrc(bytes("07 46 00 00 0d  03e7 fff4 00 00")).toHex());
    QVERIFY(crcOk(r.line->exchange(frame(4, kFunRead, SF_MEASURE))));
    QCOMPARE(r.line->exchange(frame(1, kFunRead, SF_MEASURE)).toHex(), goodMeasureReply().toHex());
    QVERIFY(!r.sim->setReadings(99, 0, 0));
    QCOMPARE(r.sim->states().size(), 7);
}

void tst_Sim::serviceAddressAnsweredOnce_data()
{
    QTest::addColumn<std::vector<Config>>("devices");
    QTest::addColumn<int>("silenced");     // the address of a device silenced by a fault, 0 for none
    QTest::addColumn<QByteArray>("request"); // at 9600 baud
    QTest::addColumn<int>("answering");    // its place in the list, -1 for nobody

    Config fwt = fixedConfig(DeviceKind::FWT01);
    fwt.address = 2;
    Config adc = fixedConfig(DeviceKind::FWADC01);
    adc.address = 3;
    const QByteArray identify = frame(kService, kFunRead, SF_IDENTIFY);
    QTest::newRow("identification: the first of three") << std::vector<Config>{fixedConfig(), fwt, adc} << 0
                                                         << identify << 0;
    Config fast = fixedConfig(DeviceKind::FWTH02);
    fast.baud = 19200;
    QTest::newRow("the first that hears it at its baud rate")
        << std::vector<Config>{fast, fwt} << 0 << frame(kService, kFunRead, SF_MEASURE) << 1;
    Config fwth02 = fixedConfig(DeviceKind::FWTH02);
    fwth02.address = 2;
    QTest::newRow("an fwth01 outside service mode is silent, the next one answers")
        << std::vector<Config>{fixedConfig(), fwth02} << 0 << frame(kService, kFunRead, SF_PARAMS_READ) << 1;
    Config other = fixedConfig();
    other.address = 2;
    other.serial = 777;
    QTest::newRow("service mode: the device of that identity")
        << std::vector<Config>{fixedConfig(), other} << 0
        << frame(kService, kFunWrite, SF_SERVICE_MODE, bytes("01000903")) << 1;
    QTest::newRow("a device silenced by a fault lets the next one answer")
        << std::vector<Config>{fixedConfig(), fwt} << 1 << identify << 1;
    Config first = fixedConfig(DeviceKind::FWTH02);
    Config second = first;
    second.address = 2;
    QTest::newRow("a unit write changes the answering device only")
        << std::vector<Config>{first, second} << 0 << frame(kService, kFunWrite, SF_UNIT_WRITE, bytes("01")) << 0;
    QTest::newRow("nobody at that baud rate") << std::vector<Config>{fast} << 0 << identify << -1;
}

void tst_Sim::serviceAddressAnsweredOnce()
{
    QFETCH(std::vector<Config>, devices);
    QFETCH(int, silenced);
    QFETCH(QByteArray, request);
    QFETCH(int, answering);

    Running r = run(devices);
    QVERIFY(r.line && r.line->isOpen());
    if (silenced != 0)
        QVERIFY(r.sim->setFault(silenced, Fault::Silence, 1));
    const QList<fwsim::State> before = r.sim->states();
    r.line->send(request);
    // One frame and nothing after it: a second answer would collide with it.
    const QList<Line::Arrival> in = r.line->collect(2 * kSilenceMs, answering < 0 ? 2 * kSilenceMs : kReplyTimeoutMs);
    const QByteArray reply = Line::joined(in);
    if (answering < 0) {
        QVERIFY2(reply.isEmpty(), qPrintable(reply.toHex()));
    } else {
        QVERIFY2(reply.size() >= kModbusMinFrame && lengthField(reply) == reply.size() && crcOk(reply),
                 qPrintable(reply.toHex()));
        QCOMPARE(reply.left(3).toHex(), request.left(3).toHex());
        if (uint8_t(request[2]) == SF_IDENTIFY)
            QCOMPARE(int(uint8_t(reply[5])), typeOf(devices[size_t(answering)].kind));
    }
    const QList<fwsim::Request> log = r.sim->requests();
    QCOMPARE(log.size(), 1);
    QCOMPARE(log[0].device, answering);

    // Only the answering device acted on it.
    const QList<fwsim::State> after = r.sim->states();
    for (int i = 0; i < int(devices.size()); ++i) {
        if (i == answering)
            continue;
        QCOMPARE(after[i].fahrenheit, before[i].fahrenheit);
        QCOMPARE(after[i].serviceMode, before[i].serviceMode);
    }
    if (uint8_t(request[2]) == SF_UNIT_WRITE)
        QVERIFY(after[answering].fahrenheit);
    if (uint8_t(request[2]) == SF_SERVICE_MODE)
        QVERIFY(after[answering].serviceMode);
}

// Two transmitters behind one FWDL unit and one straight on the line: the
// unit acknowledges once, then forwards one request to whoever is behind it.
void tst_Sim::fwdlUnitSharedByDevices()
{
    Config behind1 = fixedConfig();
    behind1.fwdl = true;
    Config behind2 = fixedConfig(DeviceKind::FWT01);
    behind2.address = 2;
    behind2.fwdl = true;
    Config direct = fixedConfig(DeviceKind::FWTH02);
    direct.address = 3;
    Running r = run({behind1, behind2, direct});
    Line &line = *r.line;
    const QByteArray transparent = frame(100, kFunWrite, SF_FWDL_TRANSPARENT);

    line.setBaud(19200);
    line.send(transparent);
    QCOMPARE(Line::joined(line.collect(kSilenceMs, kReplyTimeoutMs)).toHex(), transparent.toHex());
    QVERIFY(r.sim->states()[0].fwdlTransparent);
    QVERIFY(r.sim->states()[1].fwdlTransparent);
    line.setBaud(9600);
    const QByteArray second = line.exchange(frame(2, kFunRead, SF_MEASURE));
    QVERIFY(crcOk(second));
    QCOMPARE(lengthField(second), 11);
    QVERIFY(line.expectSilence(frame(2, kFunRead, SF_MEASURE)).isEmpty());

    // A request to the device on the line closes the window too: the unit
    // forwards whatever comes next.
    line.setBaud(19200);
    QCOMPARE(line.exchange(transparent).toHex(), transparent.toHex());
    line.setBaud(9600);
    QVERIFY(crcOk(line.exchange(frame(3, kFunRead, SF_MEASURE))));
    QVERIFY(line.expectSilence(frame(1, kFunRead, SF_MEASURE)).isEmpty());
    QVERIFY(!r.sim->states()[0].fwdlTransparent);
    QCOMPARE(r.sim->requests()[0].device, 0);
}

void tst_Sim::lineTiming_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<bool>("charTime");
    QTest::addColumn<int>("turnaroundMs"); // -1: the default, 5 ms

    QTest::newRow("no character time, default turnaround 5 ms") << 9600 << false << -1;
    QTest::newRow("no character time, turnaround 80 ms") << 9600 << false << 80;
    QTest::newRow("9600 baud: 8.0 ms request, 5 ms, 14.9 ms reply") << 9600 << true << -1;
    QTest::newRow("1200 baud: 64.2 ms request, 5 ms, 119.2 ms reply") << 1200 << true << -1;
    QTest::newRow("1200 baud without turnaround") << 1200 << true << 0;
    QTest::newRow("57600 baud, turnaround 30 ms") << 57600 << true << 30;
}

// Timed from the program's side, as a benchmark sees the line: a reply never
// comes before the physical floor of the exchange.
void tst_Sim::lineTiming()
{
    QFETCH(int, baud);
    QFETCH(bool, charTime);
    QFETCH(int, turnaroundMs);

    Config c = fixedConfig();
    c.baud = baud;
    c.charTime = charTime;
    if (turnaroundMs >= 0)
        c.turnaroundMs = turnaroundMs;
    else
        turnaroundMs = 5;
    Running r = run(c);
    const QByteArray request = frame(1, kFunRead, SF_MEASURE);
    const double requestUs = charTime ? wireUs(int(request.size()), baud) : 0.0;
    const double replyUs = charTime ? wireUs(13, baud) : 0.0;
    const double charUs = charTime ? wireUs(1, baud) : 0.0;

    for (int i = 0; i < 3; ++i) {
        const int64_t start = usNow();
        r.line->send(request);
        const QList<Line::Arrival> in = r.line->collect(kReplyGapMs, kReplyTimeoutMs);
        const QByteArray reply = Line::joined(in);
        QCOMPARE(reply.toHex(), goodMeasureReply().toHex());
        const double first = double(Line::arrivalOf(in, 0) - start);
        const double last = double(Line::arrivalOf(in, int(reply.size()) - 1) - start);
        const QString times = QStringLiteral("first byte %1 us, last %2 us").arg(first).arg(last);
        // Not before the request has left the line and the device has turned around.
        QVERIFY2(first >= requestUs + turnaroundMs * 1000.0 + charUs, qPrintable(times));
        QVERIFY2(last >= requestUs + turnaroundMs * 1000.0 + replyUs, qPrintable(times));
        // The bytes of the reply come at the pace of the line, not in one
        // lump. A late wake-up for the first byte shortens the span, hence
        // half of it, and only where it is longer than a busy machine's delay.
        constexpr double kLongSpanUs = 50000;
        if (replyUs - charUs >= kLongSpanUs)
            QVERIFY2(last - first >= (replyUs - charUs) / 2, qPrintable(times));
    }
}

// A benchmark polls 32 transmitters on one line and sets the cycle against
// the wire time of its frames: each exchange must keep its floor however
// many devices share the line.
void tst_Sim::manyDevicesKeepTheirFloor()
{
    constexpr int kDevices = 32;
    std::vector<Config> devices;
    for (int address = 1; address <= kDevices; ++address) {
        Config c = fixedConfig();
        c.address = address;
        c.charTime = true;
        devices.push_back(c);
    }
    Running r = run(devices);
    const double floorUs = wireUs(7, 9600) + 5000.0 + wireUs(13, 9600);
    int64_t cycleUs = 0;
    for (int address = 1; address <= kDevices; ++address) {
        const QByteArray request = frame(address, kFunRead, SF_MEASURE);
        const int64_t start = usNow();
        const QByteArray reply = r.line->exchange(request);
        const int64_t elapsed = usNow() - start;
        cycleUs += elapsed;
        QVERIFY2(crcOk(reply) && uint8_t(reply[0]) == address, qPrintable(reply.toHex()));
        QVERIFY2(double(elapsed) >= floorUs, qPrintable(QString::number(elapsed)));
    }
    qInfo("%d exchanges at 9600 baud: %.1f ms, floor %.1f ms", kDevices, cycleUs / 1000.0,
          kDevices * floorUs / 1000.0);
}

void tst_Sim::echo_data()
{
    QTest::addColumn<int>("deviceBaud");
    QTest::addColumn<int>("lineBaud");
    QTest::addColumn<bool>("charTime");
    QTest::addColumn<int>("turnaroundMs");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("reply"); // what follows the echo

    const QByteArray measure = frame(1, kFunRead, SF_MEASURE);
    QTest::newRow("measurement: echo, then the reply")
        << 9600 << 9600 << false << 5 << measure << goodMeasureReply();
    QTest::newRow("no turnaround: the echo still comes first")
        << 9600 << 9600 << false << 0 << measure << goodMeasureReply();
    QTest::newRow("another baud rate: echo, no reply") << 9600 << 19200 << false << 5 << measure << QByteArray();
    QTest::newRow("stray bytes that make no frame") << 9600 << 9600 << false << 5 << bytes("0146") << QByteArray();
    QByteArray badCrc = measure;
    badCrc[6] = char(badCrc[6] ^ 1);
    QTest::newRow("bad CRC: echo, no reply") << 9600 << 9600 << false << 5 << badCrc << QByteArray();
    QTest::newRow("1200 baud with character time: echo while the request is on the line")
        << 1200 << 1200 << true << 5 << measure << goodMeasureReply();
    QTest::newRow("character time at a baud rate nobody hears")
        << 9600 << 2400 << true << 5 << measure << QByteArray();
}

void tst_Sim::echo()
{
    QFETCH(int, deviceBaud);
    QFETCH(int, lineBaud);
    QFETCH(bool, charTime);
    QFETCH(int, turnaroundMs);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, reply);

    Config c = fixedConfig();
    c.baud = deviceBaud;
    c.charTime = charTime;
    c.turnaroundMs = turnaroundMs;
    c.echo = true;
    Running r = run(c);
    r.line->setBaud(lineBaud);
    const int64_t start = usNow();
    r.line->send(sent);
    const QList<Line::Arrival> in = r.line->collect(charTime ? 300 : kSilenceMs, kReplyTimeoutMs);
    QCOMPARE(Line::joined(in).toHex(), (sent + reply).toHex());
    if (charTime) {
        // Each byte comes back once it has crossed the line, not before.
        const int n = int(sent.size());
        const double echoed = double(Line::arrivalOf(in, n - 1) - start);
        QVERIFY2(echoed >= wireUs(n, lineBaud), qPrintable(QString::number(echoed)));
        if (!reply.isEmpty()) {
            const double first = double(Line::arrivalOf(in, n) - start);
            QVERIFY2(first >= wireUs(n + 1, lineBaud) + turnaroundMs * 1000.0, qPrintable(QString::number(first)));
        }
    }
}

void tst_Sim::programVersion()
{
    QProcess sim;
    sim.start(QStringLiteral(FENWIRE_SIM_PATH), {QStringLiteral("--version")});
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 0);
    const QString version = QStringLiteral("%1.%2.%3.%4")
                                .arg(FENWIRE_VERSION_MAJOR)
                                .arg(FENWIRE_VERSION_MINOR)
                                .arg(FENWIRE_VERSION_PATCH)
                                .arg(FENWIRE_VERSION_BUILD);
    QCOMPARE(QString::fromUtf8(sim.readAllStandardOutput()).trimmed(), QStringLiteral("fenwire-sim ") + version);
}

void tst_Sim::programRejectsBadDeviceLists_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    const auto device = [](const char *list) { return QStringList{QStringLiteral("--device"), QLatin1String(list)}; };
    QTest::newRow("empty list") << device("") << "--device \"\": the list is empty";
    QTest::newRow("unknown kind") << device("fwxx@3") << "unknown kind \"fwxx\"";
    QTest::newRow("address 0") << device("fwth01@0") << "address must be a whole number from 1 to 247, not \"0\"";
    QTest::newRow("address missing after @") << device("fwth01@") << "address must be a whole number";
    QTest::newRow("unknown key") << device("fwth01@3,colour=red") << "unknown key \"colour\"";
    QTest::newRow("address twice") << device("fwth01@3,address=4") << "address given twice";
    QTest::newRow("an item without a value") << device("fwth01@3,fwt01") << "\"fwt01\" is not KEY=VALUE";
    QTest::newRow("an empty item") << device("fwth01@3,,baud=9600") << "an empty item";
    QTest::newRow("bad baud rate") << device("fwt01@3,baud=1234") << "baud must be one of 1200";
    QTest::newRow("bad temperature") << device("fwth01@3,temperature=abc") << "temperature must be a number";
    QTest::newRow("a flag with a value") << device("fwth01@3,fahrenheit=yes") << "fahrenheit takes no value";
    QTest::newRow("fault count without a fault") << device("fwth01@3,fault-count=2") << "need fault";
    QTest::newRow("count and rate") << device("fwth01@3,fault=crc,fault-count=1,fault-rate=0.5")
                                    << "give fault-count or fault-rate, not both";
    QTest::newRow("unknown fault") << device("fwth01@3,fault=noise") << "unknown fault \"noise\"";
    QTest::newRow("two devices at one address") << (device("fwth01@3") + device("fwt01@3"))
                                                << "are both at address 3";
    QTest::newRow("two at the default address") << (device("fwth01") + device("fwt01")) << "are both at address 1";
    QTest::newRow("one FWDL unit at two baud rates")
        << (device("fwth01@3,fwdl=100:19200") + device("fwt01@4,fwdl=100:9600")) << "one unit has one baud rate";
    QTest::newRow("a default that is wrong") << (QStringList{QStringLiteral("--baud"), QStringLiteral("7")}
                                                 + device("fwth01@3"))
                                             << "--baud must be one of";
    QTest::newRow("negative turnaround") << QStringList{QStringLiteral("--turnaround"), QStringLiteral("-1")}
                                         << "--turnaround must be a whole number from 0 to";
    QTest::newRow("turnaround in a list") << device("fwth01@3,turnaround=x") << "turnaround must be a whole number";
}

void tst_Sim::programRejectsBadDeviceLists()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    QProcess sim;
    sim.start(QStringLiteral(FENWIRE_SIM_PATH), args);
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 2);
    const QString err = QString::fromUtf8(sim.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    QVERIFY(sim.readAllStandardOutput().isEmpty()); // no device was served
}

// A line from the command line: defaults, per-device settings, a device's own
// fault instead of the default one, the echo and the turnaround.
void tst_Sim::programServesADeviceList()
{
    QProcess sim;
    sim.start(QStringLiteral(FENWIRE_SIM_PATH),
              {QStringLiteral("--temperature"), QStringLiteral("30"), QStringLiteral("--fault"),
               QStringLiteral("silence"), QStringLiteral("--fault-count"), QStringLiteral("1"),
               QStringLiteral("--device"), QStringLiteral("fwth01@3,humidity=45.3"),
               QStringLiteral("--device"), QStringLiteral("kind=fwt01,address=4,temperature=-20.5,fault=crc"),
               QStringLiteral("--device"), QStringLiteral("FWTH02@5,baud=19200,turnaround=0"),
               QStringLiteral("--echo"), QStringLiteral("--turnaround"), QStringLiteral("60")});
    QVERIFY(sim.waitForStarted());
    QVERIFY(sim.waitForReadyRead(5000));
    const QString path = QString::fromUtf8(sim.readLine()).trimmed();
    QVERIFY2(path.startsWith(QStringLiteral("/dev/")), qPrintable(path));
    {
        Line line(path);
        QVERIFY(line.isOpen());
        const auto exchange = [&line](const QByteArray &request, int64_t *elapsedUs = nullptr) {
            const int64_t start = usNow();
            line.send(request);
            const QList<Line::Arrival> in = line.collect(kSilenceMs, kReplyTimeoutMs);
            const QByteArray all = Line::joined(in);
            if (elapsedUs)
                *elapsedUs = Line::arrivalOf(in, int(all.size()) - 1) - start;
            // Every request comes back first, as the adapter echoes it.
            return all.startsWith(request) ? all.mid(request.size()) : QByteArray("no echo: ") + all.toHex();
        };
        const QByteArray at3 = frame(3, kFunRead, SF_MEASURE);
        QCOMPARE(exchange(at3).toHex(), QByteArray()); // the default fault, once
        int64_t elapsed = 0;
        QCOMPARE(exchange(at3, &elapsed).toHex(), withCrc(bytes("03 46 00 00 0d  01c5 012c 00 00")).toHex());
        QVERIFY2(elapsed >= 60000, qPrintable(QString::number(elapsed)));

        const QByteArray fromFour = exchange(frame(4, kFunRead, SF_MEASURE));
        QVERIFY(!crcOk(fromFour)); // its own fault, not the default silence
        QCOMPARE(fromFour.left(9).toHex(), bytes("04 46 00 00 0b  ff33 00 00").toHex());

        line.setBaud(19200);
        const QByteArray at5 = frame(5, kFunRead, SF_MEASURE);
        QCOMPARE(exchange(at5).toHex(), QByteArray());
        QCOMPARE(exchange(at5).toHex(), withCrc(bytes("05 46 00 00 0d  01c5 012c 00 00")).toHex());
    }
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_Sim)
#include "tst_sim.moc"
