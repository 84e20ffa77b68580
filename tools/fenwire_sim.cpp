#include "fenwire_sim.h"

#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "dn_transmisja.h"

#include <QtCore/QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fwsim {

namespace {

// The service address every Fenwire device answers besides its own.
constexpr int kServiceAddress = 247;
constexpr int kMaxDeviceAddress = 247;

// RTU marks the end of a frame by a silent line. Bytes that did not make a
// frame within this much silence are thrown away, as the device would after
// 3.5 character times on a real line (with room for the scheduler).
constexpr int kInterFrameGapMs = 20;
// The serving thread looks at the line at least this often, so a stop or a
// due reply is never late by more than one step.
constexpr int kPollStepMs = 10;
// An FWDL unit in transparent mode forwards the next request only if it
// comes this soon after the unit's acknowledgement.
constexpr int kFwdlTransparentMs = 1000;
// One character on the line: start bit, 8 data bits, 2 stop bits.
constexpr int kBitsPerChar = 11;

constexpr int kReadChunk = 1024;
constexpr int kPartialReplyBytes = 4;
constexpr int kGarbageMaxBytes = 40;
constexpr int kBadLengthDefault = 3;
constexpr uint32_t kFixedSeed = 0x5A17; // faults at a rate repeat from run to run

// Reply data sizes and layouts.
constexpr int kIdentifyDataSize = 17;
constexpr int kVersionSize = 4;
constexpr int kParamsReplyData = 5;    // baud/300, parity, address, 2 spare
constexpr int kAdcConfigDataSize = 23; // offsets 5..26 and one spare
constexpr int kAdcConfigUnusedSize = 2;
constexpr int kBaudUnit = 300;         // the baud rate travels divided by this
constexpr int kParityCodes = 3;        // none, odd, even
constexpr int kAdcTypeCount = 13;      // PT-100 ... Termocouple-N
constexpr int kAdcChannels = 2;
constexpr int kAdcRangesPerWrite = 4;

// Data bytes each request carries.
constexpr int kUnitWriteData = 1;
constexpr int kParamsWriteData = 3;
constexpr int kServiceModeData = 4;
constexpr int kAdcTypeWriteData = 2;
constexpr int kAdcRangesWriteData = 8;

// Identity of each kind: type, variant, and the measurement frame length.
struct KindInfo {
    DeviceKind kind;
    uint8_t type;
    uint8_t variant;
    int measureFrame;
    const char *name;
};
constexpr KindInfo kKinds[] = {
    {DeviceKind::FWTH01, 1, 0, 13, "fwth01"}, {DeviceKind::FWTH02, 1, 1, 13, "fwth02"},
    {DeviceKind::FWT01, 2, 0, 11, "fwt01"},   {DeviceKind::FWT02, 2, 1, 11, "fwt02"},
    {DeviceKind::RH15, 1, 1, 15, "rh15"},     {DeviceKind::FWADC01, 3, 0, 13, "fwadc01"},
    {DeviceKind::HERON30, 30, 0, 13, "heron30"}, {DeviceKind::UNKNOWN255, 255, 0, 13, "unknown255"},
};
constexpr int kMeasureTempOnlyFrame = 11;

const KindInfo &kindInfo(DeviceKind kind)
{
    for (const KindInfo &k : kKinds)
        if (k.kind == kind)
            return k;
    return kKinds[0];
}

// The rates a transmitter can be set to (the byte on the wire is rate/300).
constexpr int kDeviceBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600};

struct SpeedRow {
    speed_t speed;
    int baud;
};
constexpr SpeedRow kSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

int baudOf(speed_t speed)
{
    for (const SpeedRow &row : kSpeeds)
        if (row.speed == speed)
            return row.baud;
    return 0;
}

int64_t nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

uint16_t crcOf(const QByteArray &bytes, int count)
{
    return Get_MODBUS_CRC16(count, reinterpret_cast<const uint8_t *>(bytes.constData()));
}

void appendCrc(QByteArray &frame)
{
    const uint16_t crc = crcOf(frame, frame.size());
    frame.append(char(crc & 0xFF)); // Modbus puts the CRC low byte first
    frame.append(char(crc >> 8));
}

bool crcGood(const QByteArray &frame)
{
    const int body = frame.size() - kModbusCrcSize;
    if (body < kModbusHeaderSize)
        return false;
    const uint16_t got = uint8_t(frame[body]) | uint16_t(uint8_t(frame[body + 1]) << 8);
    return got == crcOf(frame, body);
}

void setLengthField(QByteArray &frame, int length)
{
    frame[3] = char((length >> 8) & 0xFF);
    frame[4] = char(length & 0xFF);
}

QByteArray buildFrame(uint8_t address, uint8_t fun, uint8_t sub, const QByteArray &data)
{
    QByteArray f;
    f.append(char(address));
    f.append(char(fun));
    f.append(char(sub));
    f.append(2, '\0');
    setLengthField(f, data.size() + kModbusMinFrame);
    f.append(data);
    appendCrc(f);
    return f;
}

void appendHighFirst(QByteArray &data, int value)
{
    data.append(char((value >> 8) & 0xFF));
    data.append(char(value & 0xFF));
}

void appendLowFirst(QByteArray &data, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        data.append(char((value >> (8 * i)) & 0xFF));
}

int16_t clampTenths(double tenths)
{
    return int16_t(std::clamp<long>(std::lround(tenths), SHRT_MIN, SHRT_MAX));
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ')).toUpper();
}

QString faultName(Fault fault)
{
    switch (fault) {
    case Fault::None: return QStringLiteral("none");
    case Fault::Silence: return QStringLiteral("silence");
    case Fault::BadCrc: return QStringLiteral("bad CRC");
    case Fault::WrongEcho: return QStringLiteral("wrong echo");
    case Fault::Partial: return QStringLiteral("partial");
    case Fault::Delay: return QStringLiteral("delay");
    case Fault::BadLength: return QStringLiteral("bad length");
    case Fault::Garbage: return QStringLiteral("garbage");
    }
    return {};
}

void setCloseOnExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0)
        fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

} // namespace

struct Simulator::Impl {
    // What the device decided about one frame.
    struct Decision {
        QByteArray reply;                // empty: the device stays silent
        std::function<void()> effect;    // the change of state, made as the reply goes out
        QString note;                    // why it stays silent, for the trace
    };
    struct Outgoing {
        int64_t dueUs;
        QByteArray bytes;
        std::function<void()> effect;
    };

    explicit Impl(const Config &c)
        : config(c)
        , startMs(TickMS())
        , rng(kFixedSeed)
    {
    }

    // Serialises plugging: start, unplug, replug and the end.
    std::mutex plugMutex;
    // Everything below up to the pty is guarded by mutex.
    mutable std::mutex mutex;
    Config config;
    int64_t startMs;
    int64_t serviceUntilMs = 0;
    int64_t fwdlUntilMs = 0;
    Fault countFault = Fault::None;
    int countLeft = 0;
    int countParam = 0;
    Fault rateFault = Fault::None;
    double rate = 0;
    int rateParam = 0;
    std::mt19937 rng;
    QList<Request> log;
    std::function<void(const QString &)> trace;
    QString linkPath;
    QString linkTarget;

    // The pty; changed only while the serving thread is stopped.
    int master = -1;
    int slave = -1; // held open so the master never sees a hang-up between programs
    QString slavePath;
    std::thread thread;
    std::atomic<bool> stop{false};

    // Serving thread only.
    QByteArray rx;
    int64_t lastRxMs = 0;
    std::deque<Outgoing> outgoing;

    bool openPty(QString *error);
    void closePty();
    void startThread();
    void stopThread();
    bool pointLink(QString *error);
    void removeLink();

    void serve();
    void takeFrames(QStringList &lines);
    void handleFrame(const QByteArray &frame, QStringList &lines);
    void sendDue(QStringList &lines);
    void emitTrace(const QStringList &lines);

    Decision decide(const QByteArray &frame, int baud, int64_t nowMs);
    Decision decideDevice(uint8_t address, uint8_t fun, uint8_t sub, const QByteArray &data, int64_t nowMs);
    QByteArray measurement(uint8_t address, int64_t nowMs) const;
    QByteArray identification(uint8_t address) const;
    QByteArray adcConfiguration(uint8_t address) const;
    QByteArray applyFault(Fault fault, int param, const QByteArray &reply);
};

// ---- the pty and the link ----

bool Simulator::Impl::openPty(QString *error)
{
    int m = -1;
    int s = -1;
    if (openpty(&m, &s, nullptr, nullptr, nullptr) != 0) {
        if (error)
            *error = QStringLiteral("openpty failed: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    char name[128] = {};
    if (ptsname_r(m, name, sizeof name) != 0) {
        if (error)
            *error = QStringLiteral("ptsname failed: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        ::close(m);
        ::close(s);
        return false;
    }
    // The master and the slave share one set of line settings on this
    // platform; making them raw keeps the line discipline from echoing,
    // translating or buffering lines of our binary frames.
    termios t{};
    if (tcgetattr(s, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&t, B9600);
        tcsetattr(s, TCSANOW, &t);
    }
    if (tcgetattr(m, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(m, TCSANOW, &t);
    }
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    // Programs a test starts must not inherit the device.
    setCloseOnExec(m);
    setCloseOnExec(s);
    master = m;
    slave = s;
    slavePath = QString::fromLocal8Bit(name);
    return true;
}

void Simulator::Impl::closePty()
{
    if (master >= 0)
        ::close(master);
    if (slave >= 0)
        ::close(slave);
    master = slave = -1;
    slavePath.clear();
}

void Simulator::Impl::startThread()
{
    stop = false;
    rx.clear();
    outgoing.clear();
    thread = std::thread([this] { serve(); });
}

void Simulator::Impl::stopThread()
{
    if (!thread.joinable())
        return;
    stop = true;
    thread.join();
}

// Points the link at the present slave; replacing it by rename means a
// program opening the link never finds it missing.
bool Simulator::Impl::pointLink(QString *error)
{
    if (linkPath.isEmpty() || slavePath.isEmpty())
        return true;
    const QByteArray path = QFile::encodeName(linkPath);
    struct stat st {};
    if (lstat(path.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        if (error)
            *error = QStringLiteral("%1 exists and is not a symbolic link").arg(linkPath);
        return false;
    }
    const QByteArray tmp = path + ".fwsim-new";
    const QByteArray target = QFile::encodeName(slavePath);
    ::unlink(tmp.constData());
    if (::symlink(target.constData(), tmp.constData()) != 0
        || ::rename(tmp.constData(), path.constData()) != 0) {
        if (error)
            *error = QStringLiteral("cannot create the link %1: %2")
                         .arg(linkPath, QString::fromLocal8Bit(strerror(errno)));
        ::unlink(tmp.constData());
        return false;
    }
    linkTarget = slavePath;
    return true;
}

// Removes the link only while it is still ours: another simulator may have
// taken the name meanwhile.
void Simulator::Impl::removeLink()
{
    if (linkPath.isEmpty() || linkTarget.isEmpty())
        return;
    const QByteArray path = QFile::encodeName(linkPath);
    char buf[PATH_MAX] = {};
    const ssize_t n = ::readlink(path.constData(), buf, sizeof buf - 1);
    if (n > 0 && QFile::decodeName(QByteArray(buf, int(n))) == linkTarget)
        ::unlink(path.constData());
    linkTarget.clear();
}

// ---- the serving thread ----

void Simulator::Impl::serve()
{
    while (!stop) {
        int timeout = kPollStepMs;
        if (!outgoing.empty()) {
            const int64_t waitUs = outgoing.front().dueUs - nowUs();
            timeout = int(std::clamp<int64_t>((waitUs + 999) / 1000, 0, kPollStepMs));
        }
        pollfd p{master, POLLIN, 0};
        const int r = ::poll(&p, 1, timeout);
        QStringList lines;
        if (r > 0 && (p.revents & POLLIN)) {
            char buf[kReadChunk];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                rx.append(buf, int(n));
                lastRxMs = TickMS();
                takeFrames(lines);
            }
        } else if (r > 0) {
            // A hang-up cannot happen while we hold the slave; do not spin if it does.
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
        }
        if (!rx.isEmpty() && TickMS() - lastRxMs >= kInterFrameGapMs) {
            lines << QStringLiteral("<- dropped %1 (no frame)").arg(hex(rx));
            rx.clear();
        }
        sendDue(lines);
        emitTrace(lines);
    }
}

void Simulator::Impl::takeFrames(QStringList &lines)
{
    while (rx.size() >= kModbusHeaderSize) {
        const uint8_t fun = uint8_t(rx[1]);
        const int length = uint8_t(rx[3]) << 8 | uint8_t(rx[4]);
        if ((fun != kFunRead && fun != kFunWrite) || length < kModbusMinFrame || length > kModbusBufferSize) {
            lines << QStringLiteral("<- dropped %1 (bad header)").arg(hex(rx));
            rx.clear();
            return;
        }
        if (rx.size() < length)
            return;
        const QByteArray frame = rx.left(length);
        rx.remove(0, length);
        handleFrame(frame, lines);
    }
}

void Simulator::Impl::handleFrame(const QByteArray &frame, QStringList &lines)
{
    termios t{};
    int baud = 0;
    bool odd = false;
    if (tcgetattr(master, &t) == 0) {
        baud = baudOf(cfgetospeed(&t));
        odd = (t.c_cflag & PARODD) != 0;
    }
    const int64_t nowMs = TickMS();
    const bool crcOk = crcGood(frame);

    std::lock_guard<std::mutex> lock(mutex);
    Request request{nowMs, baud, odd, frame, false};
    QString line = QStringLiteral("<- %1 at %2 baud").arg(hex(frame)).arg(baud);
    Decision d;
    if (crcOk)
        d = decide(frame, baud, nowMs);
    else
        d.note = QStringLiteral("bad CRC");

    if (!d.reply.isEmpty()) {
        Fault fault = Fault::None;
        int param = 0;
        if (countFault != Fault::None && countLeft > 0) {
            fault = countFault;
            param = countParam;
            if (--countLeft == 0)
                countFault = Fault::None;
        } else if (rateFault != Fault::None && std::bernoulli_distribution(rate)(rng)) {
            fault = rateFault;
            param = rateParam;
        }
        if (fault == Fault::Silence) {
            d.note = QStringLiteral("fault: silence");
        } else {
            int64_t dueUs = nowUs();
            if (fault == Fault::Delay)
                dueUs += int64_t(std::max(0, param)) * 1000;
            QByteArray bytes = applyFault(fault, param, d.reply);
            if (config.charTime && config.baud > 0)
                dueUs += int64_t(bytes.size()) * kBitsPerChar * 1000000 / config.baud;
            if (fault != Fault::None)
                line += QStringLiteral(" (fault: %1)").arg(faultName(fault));
            outgoing.push_back({dueUs, bytes, std::move(d.effect)});
            request.answered = true;
        }
    }
    if (!request.answered)
        line += QStringLiteral(" -- no reply (%1)").arg(d.note.isEmpty() ? QStringLiteral("ignored") : d.note);
    lines << line;
    log.append(request);
}

void Simulator::Impl::sendDue(QStringList &lines)
{
    const int64_t now = nowUs();
    while (!outgoing.empty() && outgoing.front().dueUs <= now) {
        Outgoing o = std::move(outgoing.front());
        outgoing.pop_front();
        // The device changes its state as it answers: a new address or baud
        // rate only holds for requests after the acknowledgement.
        if (o.effect) {
            std::lock_guard<std::mutex> lock(mutex);
            o.effect();
        }
        int done = 0;
        while (done < o.bytes.size()) {
            const ssize_t n = ::write(master, o.bytes.constData() + done, size_t(o.bytes.size() - done));
            if (n <= 0)
                break; // nobody reads and the buffer is full: the reply is lost on the line
            done += int(n);
        }
        lines << QStringLiteral("-> %1").arg(hex(o.bytes.left(done)));
    }
}

void Simulator::Impl::emitTrace(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    std::function<void(const QString &)> t;
    {
        std::lock_guard<std::mutex> lock(mutex);
        t = trace;
    }
    if (t)
        for (const QString &l : lines)
            t(l);
}

// ---- what the device answers ----

Simulator::Impl::Decision Simulator::Impl::decide(const QByteArray &frame, int baud, int64_t nowMs)
{
    const uint8_t address = uint8_t(frame[0]);
    const uint8_t fun = uint8_t(frame[1]);
    const uint8_t sub = uint8_t(frame[2]);
    const QByteArray data = frame.mid(kModbusHeaderSize, frame.size() - kModbusMinFrame);

    if (config.fwdl) {
        if (address == config.fwdlAddress && fun == kFunWrite && sub == SF_FWDL_TRANSPARENT && data.isEmpty()
            && baud == config.fwdlBaud) {
            Decision d;
            d.reply = buildFrame(address, fun, sub, {});
            // The window opens as the acknowledgement leaves the unit.
            d.effect = [this] { fwdlUntilMs = TickMS() + kFwdlTransparentMs; };
            return d;
        }
        if (fwdlUntilMs == 0 || nowMs > fwdlUntilMs) {
            fwdlUntilMs = 0;
            return {{}, {}, QStringLiteral("FWDL unit not transparent")};
        }
        fwdlUntilMs = 0; // one request only
    }
    if (baud != config.baud)
        return {{}, {}, QStringLiteral("baud rate differs from the device's %1").arg(config.baud)};
    if (address != config.address && address != kServiceAddress)
        return {{}, {}, QStringLiteral("not this device's address")};
    return decideDevice(address, fun, sub, data, nowMs);
}

Simulator::Impl::Decision Simulator::Impl::decideDevice(uint8_t address, uint8_t fun, uint8_t sub,
                                                        const QByteArray &data, int64_t nowMs)
{
    const KindInfo &kind = kindInfo(config.kind);
    const bool adc = config.kind == DeviceKind::FWADC01;
    const bool gated = config.kind == DeviceKind::FWTH01 && nowMs >= serviceUntilMs;
    const auto ack = [&] { return buildFrame(address, fun, sub, {}); };
    const auto silent = [](const QString &why) { return Decision{{}, {}, why}; };
    const auto dataSize = [&](int n) { return data.size() == n; };

    Decision d;
    if (fun == kFunRead && data.isEmpty()) {
        switch (sub) {
        case SF_MEASURE:
            d.reply = measurement(address, nowMs);
            return d;
        case SF_IDENTIFY:
            d.reply = identification(address);
            return d;
        case SF_PARAMS_READ: {
            if (gated)
                return silent(QStringLiteral("not in service mode"));
            QByteArray out;
            out.append(char((config.baud / kBaudUnit) & 0xFF));
            out.append(char(config.parity));
            out.append(char(config.address));
            out.append(kParamsReplyData - 3, '\0');
            d.reply = buildFrame(address, fun, sub, out);
            return d;
        }
        case SF_ADC_TYPES_READ:
            if (!adc)
                break;
        {
            QByteArray types;
            types.append(char(config.adcType1));
            types.append(char(config.adcType2));
            d.reply = buildFrame(address, fun, sub, types);
            return d;
        }
        case SF_ADC_CONFIG_READ:
            if (!adc)
                break;
            d.reply = adcConfiguration(address);
            return d;
        default:
            break;
        }
        return silent(QStringLiteral("unknown request"));
    }
    if (fun != kFunWrite)
        return silent(QStringLiteral("unknown request"));

    switch (sub) {
    case SF_SERVICE_MODE: {
        if (config.kind != DeviceKind::FWTH01 || !dataSize(kServiceModeData))
            break;
        // The identity bytes as the identification reply gives them.
        QByteArray identity;
        identity.append(char(kind.type));
        identity.append(char(kind.variant));
        appendLowFirst(identity, config.serial, 2);
        if (data != identity)
            return silent(QStringLiteral("service mode: not this device's identity"));
        d.reply = ack();
        d.effect = [this] { serviceUntilMs = TickMS() + config.serviceModeMs; };
        return d;
    }
    case SF_UNIT_WRITE: {
        if (!dataSize(kUnitWriteData))
            break;
        if (gated)
            return silent(QStringLiteral("not in service mode"));
        const uint8_t unit = uint8_t(data[0]);
        if (unit > 1)
            return silent(QStringLiteral("unknown unit"));
        d.reply = ack();
        d.effect = [this, unit] { config.fahrenheit = unit == 1; };
        return d;
    }
    case SF_PARAMS_WRITE: {
        if (!dataSize(kParamsWriteData))
            break;
        if (gated)
            return silent(QStringLiteral("not in service mode"));
        const int baud = uint8_t(data[0]) * kBaudUnit;
        const int parity = uint8_t(data[1]);
        const int newAddress = uint8_t(data[2]);
        // A device does not take settings it could never be reached at again.
        if (std::find(std::begin(kDeviceBauds), std::end(kDeviceBauds), baud) == std::end(kDeviceBauds)
            || parity >= kParityCodes || newAddress < 1 || newAddress > kMaxDeviceAddress)
            return silent(QStringLiteral("parameters out of range"));
        d.reply = ack();
        d.effect = [this, baud, parity, newAddress] {
            config.baud = baud;
            config.parity = parity;
            config.address = newAddress;
        };
        return d;
    }
    case SF_ADC_TYPE_WRITE: {
        if (!adc || !dataSize(kAdcTypeWriteData))
            break;
        const int channel = uint8_t(data[0]);
        const int type = uint8_t(data[1]);
        if (channel >= kAdcChannels || type >= kAdcTypeCount)
            return silent(QStringLiteral("channel type out of range"));
        d.reply = ack();
        d.effect = [this, channel, type] { (channel == 0 ? config.adcType1 : config.adcType2) = type; };
        return d;
    }
    case SF_RANGES_020_WRITE:
    case SF_RANGES_420_WRITE: {
        if (!adc || !dataSize(kAdcRangesWriteData))
            break;
        const int first = sub == SF_RANGES_020_WRITE ? 0 : kAdcRangesPerWrite;
        std::array<uint16_t, kAdcRangesPerWrite> values{};
        for (int i = 0; i < kAdcRangesPerWrite; ++i)
            values[i] = uint16_t(uint8_t(data[2 * i]) << 8 | uint8_t(data[2 * i + 1]));
        d.reply = ack();
        d.effect = [this, first, values] {
            std::copy(values.begin(), values.end(), config.adcRanges.begin() + first);
        };
        return d;
    }
    default:
        break;
    }
    return silent(QStringLiteral("unknown request"));
}

QByteArray Simulator::Impl::measurement(uint8_t address, int64_t nowMs) const
{
    const KindInfo &kind = kindInfo(config.kind);
    int16_t temperature = clampTenths(config.temperature);
    int16_t humidity = clampTenths(config.humidity);
    if (config.curve) {
        // Slow waves, so a chart shows movement within a minute or two.
        const double t = double(nowMs - startMs) / 1000.0;
        double celsius = 21.5 + 3.0 * std::sin(t / 60.0);
        if (config.fahrenheit)
            celsius = celsius * 9.0 / 5.0 + 32.0;
        temperature = clampTenths(celsius * 10.0);
        humidity = clampTenths((45.0 + 10.0 * std::sin(t / 90.0)) * 10.0);
    }
    const uint8_t status = config.statusByte | (config.fahrenheit ? kStatusFahrenheit : 0);
    QByteArray data;
    if (kind.measureFrame != kMeasureTempOnlyFrame)
        appendHighFirst(data, humidity);
    appendHighFirst(data, temperature);
    data.append(char(status));
    data.append(char(config.modeByte));
    data.append(kind.measureFrame - kModbusMinFrame - data.size(), '\0');
    return buildFrame(address, kFunRead, SF_MEASURE, data);
}

QByteArray Simulator::Impl::identification(uint8_t address) const
{
    const KindInfo &kind = kindInfo(config.kind);
    QByteArray data;
    data.append(char(kind.type));
    data.append(char(kind.variant));
    // The program takes this reply as an image of its record: low byte first.
    appendLowFirst(data, config.serial, 2);
    data.append(char(config.year));
    data.append(char(config.month));
    data.append(char(config.day));
    data.append(config.version.leftJustified(kVersionSize, ' ', true));
    appendLowFirst(data, uint32_t(config.makerSerial), 4);
    data.append(2, '\0'); // reserved
    Q_ASSERT(data.size() == kIdentifyDataSize);
    return buildFrame(address, kFunRead, SF_IDENTIFY, data);
}

QByteArray Simulator::Impl::adcConfiguration(uint8_t address) const
{
    QByteArray data;
    data.append(char(config.fahrenheit ? 1 : 0));
    for (uint16_t v : config.adcRanges)
        appendHighFirst(data, v);
    data.append(kAdcConfigUnusedSize, '\0');
    data.append(char(config.address));
    data.append(char(config.adcType1));
    data.append(char(config.adcType2));
    data.append(kAdcConfigDataSize - data.size(), '\0');
    return buildFrame(address, kFunRead, SF_ADC_CONFIG_READ, data);
}

QByteArray Simulator::Impl::applyFault(Fault fault, int param, const QByteArray &reply)
{
    QByteArray out = reply;
    const int body = reply.size() - kModbusCrcSize;
    switch (fault) {
    case Fault::None:
    case Fault::Silence:
    case Fault::Delay:
        break;
    case Fault::BadCrc:
        out[body] = char(out[body] ^ 0xFF);
        out[body + 1] = char(out[body + 1] ^ 0xFF);
        break;
    case Fault::WrongEcho:
        out.truncate(body);
        out[2] = char(uint8_t(out[2]) + 1);
        appendCrc(out);
        break;
    case Fault::Partial:
        out.truncate(kPartialReplyBytes);
        break;
    case Fault::BadLength:
        out.truncate(body);
        setLengthField(out, param != 0 ? param : kBadLengthDefault);
        appendCrc(out);
        break;
    case Fault::Garbage: {
        const int n = std::uniform_int_distribution<int>(1, kGarbageMaxBytes)(rng);
        std::uniform_int_distribution<int> byte(0, 255);
        out.clear();
        for (int i = 0; i < n; ++i)
            out.append(char(byte(rng)));
        break;
    }
    }
    return out;
}

// ---- the public face ----

Simulator::Simulator(Config config)
    : m_d(std::make_unique<Impl>(config))
{
}

Simulator::~Simulator()
{
    std::lock_guard<std::mutex> plug(m_d->plugMutex);
    m_d->stopThread();
    m_d->closePty();
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->removeLink();
}

bool Simulator::start(QString *error)
{
    if (!devicePath().isEmpty())
        return true;
    return replug(error);
}

QString Simulator::devicePath() const
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    return m_d->slavePath;
}

bool Simulator::setLink(const QString &path, QString *error)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    if (path != m_d->linkPath)
        m_d->removeLink();
    m_d->linkPath = path;
    return m_d->pointLink(error);
}

void Simulator::unplug()
{
    std::lock_guard<std::mutex> plug(m_d->plugMutex);
    m_d->stopThread();
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->closePty();
}

bool Simulator::replug(QString *error)
{
    std::lock_guard<std::mutex> plug(m_d->plugMutex);
    m_d->stopThread();
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->closePty();
    if (!m_d->openPty(error))
        return false;
    if (!m_d->pointLink(error)) {
        m_d->closePty();
        return false;
    }
    m_d->startThread();
    return true;
}

void Simulator::setFault(Fault fault, int count, int delayMs)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->countFault = count > 0 ? fault : Fault::None;
    m_d->countLeft = std::max(0, count);
    m_d->countParam = delayMs;
}

void Simulator::setFaultRate(Fault fault, double rate, int delayMs)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->rate = std::clamp(rate, 0.0, 1.0);
    m_d->rateFault = m_d->rate > 0 ? fault : Fault::None;
    m_d->rateParam = delayMs;
}

void Simulator::setReadings(int temperatureTenths, int humidityTenths)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->config.temperature = temperatureTenths;
    m_d->config.humidity = humidityTenths;
    m_d->config.curve = false;
}

void Simulator::setConfig(const Config &config)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->config = config;
    m_d->serviceUntilMs = 0;
    m_d->fwdlUntilMs = 0;
}

State Simulator::state() const
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    const Config &c = m_d->config;
    const int64_t now = TickMS();
    return State{c.address,  c.baud,     c.parity,      c.fahrenheit, now < m_d->serviceUntilMs,
                 c.adcType1, c.adcType2, c.adcRanges, m_d->fwdlUntilMs != 0 && now <= m_d->fwdlUntilMs};
}

QList<Request> Simulator::requests() const
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    return m_d->log;
}

void Simulator::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->log.clear();
}

int Simulator::count(uint8_t subFunction) const
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    return int(std::count_if(m_d->log.cbegin(), m_d->log.cend(), [subFunction](const Request &r) {
        return uint8_t(r.frame[2]) == subFunction && crcGood(r.frame);
    }));
}

void Simulator::setTrace(std::function<void(const QString &)> trace)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->trace = std::move(trace);
}

QString kindName(DeviceKind kind)
{
    return QString::fromLatin1(kindInfo(kind).name);
}

bool kindFromName(const QString &name, DeviceKind &kind)
{
    for (const KindInfo &k : kKinds) {
        if (name == QLatin1String(k.name)) {
            kind = k.kind;
            return true;
        }
    }
    return false;
}

QStringList kindNames()
{
    QStringList names;
    for (const KindInfo &k : kKinds)
        names << QString::fromLatin1(k.name);
    return names;
}

} // namespace fwsim
