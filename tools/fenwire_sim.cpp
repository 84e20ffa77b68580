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
#include <map>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <utility>
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

// The variant the device identifies with: its kind's own unless the config
// names another (an FWTH-01 of a later variant).
uint8_t variantOf(const Config &config)
{
    return config.variant >= 0 ? uint8_t(config.variant) : kindInfo(config.kind).variant;
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

namespace {

// One device on the line: its settings, what it remembers and the faults it
// is to show.
struct Device {
    explicit Device(const Config &c)
        : config(c)
    {
    }
    Config config;
    int64_t serviceUntilMs = 0;
    Fault countFault = Fault::None;
    int countLeft = 0;
    int countParam = 0;
    Fault rateFault = Fault::None;
    double rate = 0;
    int rateParam = 0;

    QString label() const { return QStringLiteral("%1@%2").arg(kindName(config.kind)).arg(config.address); }
};

// An FWDL unit is known by its address and baud rate: the devices behind the
// same unit share its transparent window.
using FwdlUnit = std::pair<int, int>;

FwdlUnit unitOf(const Config &c)
{
    return {c.fwdlAddress, c.fwdlBaud};
}

// One character on the line in microseconds, rounded up so that the
// simulated line is never faster than a real one.
int64_t characterUs(int baud)
{
    return baud > 0 ? (int64_t(kBitsPerChar) * 1000000 + baud - 1) / baud : 0;
}

} // namespace

struct Simulator::Impl {
    // What a device decided about one frame.
    struct Decision {
        QByteArray reply;                // empty: the device stays silent
        std::function<void()> effect;    // the change of state, made as the reply goes out
        QString note;                    // why it stays silent, for the trace
        bool heard = false;              // the frame reached it at its baud rate and address
    };
    // Bytes on their way to the program side: a reply or the adapter's echo.
    struct Outgoing {
        int64_t firstDueUs;              // when the first byte has crossed the line
        int64_t stepUs;                  // one character; 0 when bytes cross at once
        QByteArray bytes;
        std::function<void()> effect;    // made just before the last byte goes
        bool echo = false;
        int sent = 0;
        int64_t nextDueUs() const { return firstDueUs + sent * stepUs; }
    };

    explicit Impl(const std::vector<Config> &configs)
        : startMs(TickMS())
        , rng(kFixedSeed)
    {
        for (const Config &c : configs)
            devices.emplace_back(c);
        if (devices.empty())
            devices.emplace_back(Config{});
    }

    // Serialises plugging: start, unplug, replug and the end.
    std::mutex plugMutex;
    // Everything below up to the pty is guarded by mutex.
    mutable std::mutex mutex;
    // Never resized after construction: the effects of replies under way
    // point at their device.
    std::vector<Device> devices;
    std::map<FwdlUnit, int64_t> fwdlUntilMs; // an open transparent window, per unit
    int64_t startMs;
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
    std::vector<int64_t> rxEndUs;  // when each byte of rx has left the line
    int64_t lineBusyUntilUs = 0;   // when the program's last byte has left the line
    int64_t lastRxMs = 0;
    std::vector<Outgoing> outgoing;

    bool openPty(QString *error);
    void closePty();
    void startThread();
    void stopThread();
    bool pointLink(QString *error);
    void removeLink();

    void serve();
    void receive(const QByteArray &bytes, QStringList &lines);
    void takeFrames(int baud, bool odd, QStringList &lines);
    void handleFrame(const QByteArray &frame, int64_t endUs, int baud, bool odd, QStringList &lines);
    void sendDue(QStringList &lines);
    void emitTrace(const QStringList &lines);

    bool lineCharTime() const;
    bool lineEcho() const;
    Device *deviceAt(int address);
    State stateOf(const Device &device, int64_t nowMs) const;
    static void setCountFault(Device &device, Fault fault, int count, int delayMs);
    static void setRateFault(Device &device, Fault fault, double rate, int delayMs);

    // The caller holds mutex; the effect of the reply is handed out, to be
    // made as the reply leaves.
    Answer answerFrame(const QByteArray &frame, int baud, int64_t nowMs, std::function<void()> &effect);
    Decision decideFwdlCommand(const QByteArray &frame, int baud, int &device);
    Decision decide(Device &device, const QByteArray &frame, int baud, bool forwarded, int64_t nowMs);
    Decision decideDevice(Device &device, uint8_t address, uint8_t fun, uint8_t sub, const QByteArray &data,
                          int64_t nowMs);
    QByteArray measurement(const Config &config, uint8_t address, int64_t nowMs) const;
    static QByteArray identification(const Config &config, uint8_t address);
    static QByteArray adcConfiguration(const Config &config, uint8_t address);
    Fault drawFault(Device &device, int &param);
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
    rxEndUs.clear();
    lineBusyUntilUs = 0;
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
        // Bytes are due at the pace of the line, finer than a millisecond.
        int64_t waitUs = int64_t(kPollStepMs) * 1000;
        if (!outgoing.empty()) {
            const int64_t now = nowUs();
            for (const Outgoing &o : outgoing)
                waitUs = std::min(waitUs, o.nextDueUs() - now);
            waitUs = std::max<int64_t>(waitUs, 0);
        }
        const timespec timeout{time_t(waitUs / 1000000), long(waitUs % 1000000) * 1000};
        pollfd p{master, POLLIN, 0};
        const int r = ::ppoll(&p, 1, &timeout, nullptr);
        QStringList lines;
        if (r > 0 && (p.revents & POLLIN)) {
            char buf[kReadChunk];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                receive(QByteArray(buf, int(n)), lines);
        } else if (r > 0) {
            // A hang-up cannot happen while we hold the slave; do not spin if it does.
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
        }
        if (!rx.isEmpty() && TickMS() - lastRxMs >= kInterFrameGapMs) {
            lines << QStringLiteral("<- dropped %1 (no frame)").arg(hex(rx));
            rx.clear();
            rxEndUs.clear();
        }
        sendDue(lines);
        emitTrace(lines);
    }
}

void Simulator::Impl::receive(const QByteArray &bytes, QStringList &lines)
{
    const int64_t now = nowUs();
    lastRxMs = TickMS();
    termios t{};
    int baud = 0;
    bool odd = false;
    if (tcgetattr(master, &t) == 0) {
        baud = baudOf(cfgetospeed(&t));
        odd = (t.c_cflag & PARODD) != 0;
    }
    bool charTime = false;
    bool echo = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        charTime = lineCharTime();
        echo = lineEcho();
    }
    // Bytes cross the pty at once, but the program's UART sends them one
    // after another at its baud rate: a byte has left the line one character
    // after it was written, and not before the byte ahead of it.
    const int64_t charUs = charTime ? characterUs(baud) : 0;
    const int64_t firstEndUs = std::max(now, lineBusyUntilUs) + charUs;
    for (int i = 0; i < bytes.size(); ++i)
        rxEndUs.push_back(firstEndUs + i * charUs);
    lineBusyUntilUs = rxEndUs.back();
    rx.append(bytes);
    // The adapter hears its own transmitter: every byte comes back as it
    // crosses the line, whatever the baud rate and whether or not it makes
    // a frame for anyone.
    if (echo)
        outgoing.push_back({firstEndUs, charUs, bytes, {}, true});
    takeFrames(baud, odd, lines);
}

void Simulator::Impl::takeFrames(int baud, bool odd, QStringList &lines)
{
    QByteArray noise;
    const QList<QByteArray> frames = fwsim::takeFrames(rx, &noise);
    size_t taken = 0;
    for (const QByteArray &frame : frames) {
        taken += size_t(frame.size());
        handleFrame(frame, rxEndUs[taken - 1], baud, odd, lines);
    }
    if (!noise.isEmpty()) {
        lines << QStringLiteral("<- dropped %1 (bad header)").arg(hex(noise));
        rxEndUs.clear();
        return;
    }
    rxEndUs.erase(rxEndUs.begin(), rxEndUs.begin() + ptrdiff_t(taken));
}

void Simulator::Impl::handleFrame(const QByteArray &frame, int64_t endUs, int baud, bool odd, QStringList &lines)
{
    const int64_t nowMs = TickMS();

    std::lock_guard<std::mutex> lock(mutex);
    Request request{nowMs, baud, odd, frame, false};
    QString line = QStringLiteral("<- %1 at %2 baud").arg(hex(frame)).arg(baud);
    std::function<void()> effect;
    const Answer a = answerFrame(frame, baud, nowMs, effect);
    if (a.device >= 0) {
        const Device &device = devices[size_t(a.device)];
        if (devices.size() > 1)
            line += QStringLiteral(" [%1]").arg(device.label());
        // The device turns the line around only once the request has left it.
        int64_t startUs = endUs + int64_t(std::max(0, device.config.turnaroundMs)) * 1000;
        if (a.fault == Fault::Delay)
            startUs += int64_t(std::max(0, a.faultParam)) * 1000;
        const int64_t charUs = lineCharTime() ? characterUs(baud) : 0;
        if (a.fault != Fault::None)
            line += QStringLiteral(" (fault: %1)").arg(faultName(a.fault));
        outgoing.push_back({startUs + charUs, charUs, a.reply, std::move(effect)});
        request.answered = true;
        request.device = a.device;
    }
    if (!request.answered)
        line += QStringLiteral(" -- no reply (%1)").arg(a.note.isEmpty() ? QStringLiteral("ignored") : a.note);
    lines << line;
    log.append(request);
}

Answer Simulator::Impl::answerFrame(const QByteArray &frame, int baud, int64_t nowMs, std::function<void()> &effect)
{
    Decision d;
    int who = -1;
    Fault fault = Fault::None;
    int param = 0;
    QStringList notes;
    if (crcGood(frame)) {
        // A transparent unit forwards the one frame that follows its
        // acknowledgement, whatever it is; then it listens for itself again.
        std::vector<FwdlUnit> forwarding;
        for (const auto &[unit, until] : fwdlUntilMs)
            if (until != 0 && nowMs <= until)
                forwarding.push_back(unit);
        fwdlUntilMs.clear();

        d = decideFwdlCommand(frame, baud, who);
        const bool command = who >= 0;
        if (command) {
            fault = drawFault(devices[size_t(who)], param);
            if (fault == Fault::Silence) {
                d.note = QStringLiteral("fault: silence");
                who = -1;
            }
        }
        // The devices in line order; the first that answers takes the frame.
        // One silenced by a fault acts as if it had not heard it, so a device
        // after it may answer, as on a real line.
        for (int i = 0; !command && i < int(devices.size()); ++i) {
            Device &device = devices[size_t(i)];
            const bool forwarded = device.config.fwdl
                                   && std::find(forwarding.begin(), forwarding.end(), unitOf(device.config))
                                          != forwarding.end();
            Decision di = decide(device, frame, baud, forwarded, nowMs);
            if (!di.reply.isEmpty()) {
                fault = drawFault(device, param);
                if (fault != Fault::Silence) {
                    d = std::move(di);
                    who = i;
                    break;
                }
                di.note = QStringLiteral("fault: silence");
            }
            if (devices.size() == 1)
                d.note = di.note;
            else if (di.heard)
                notes << QStringLiteral("%1: %2").arg(device.label(), di.note);
        }
        if (!command && who < 0 && devices.size() > 1)
            d.note = notes.isEmpty() ? QStringLiteral("no device takes it") : notes.join(QStringLiteral("; "));
    } else {
        d.note = QStringLiteral("bad CRC");
    }

    Answer a;
    if (who >= 0) {
        a.reply = applyFault(fault, param, d.reply);
        a.device = who;
        a.fault = fault;
        a.faultParam = param;
        effect = std::move(d.effect);
    } else {
        a.note = d.note;
    }
    return a;
}

void Simulator::Impl::sendDue(QStringList &lines)
{
    for (;;) {
        const int64_t now = nowUs();
        // The earliest due first, so an echo never falls behind the reply
        // that follows it.
        auto next = outgoing.end();
        for (auto it = outgoing.begin(); it != outgoing.end(); ++it)
            if (next == outgoing.end() || it->nextDueUs() < next->nextDueUs())
                next = it;
        if (next == outgoing.end() || next->nextDueUs() > now)
            return;
        Outgoing &o = *next;
        const int size = int(o.bytes.size());
        const int due = o.stepUs > 0 ? int(std::min<int64_t>(size, (now - o.firstDueUs) / o.stepUs + 1)) : size;
        // The device changes its state as it answers: a new address or baud
        // rate only holds for requests after the acknowledgement.
        if (due == size && o.effect) {
            std::lock_guard<std::mutex> lock(mutex);
            o.effect();
        }
        bool lost = false;
        while (o.sent < due) {
            const ssize_t n = ::write(master, o.bytes.constData() + o.sent, size_t(due - o.sent));
            if (n <= 0) {
                lost = true; // nobody reads and the buffer is full: the rest is lost on the line
                break;
            }
            o.sent += int(n);
        }
        if (o.sent == size || lost) {
            lines << (o.echo ? QStringLiteral("-> echo %1") : QStringLiteral("-> %1")).arg(hex(o.bytes.left(o.sent)));
            outgoing.erase(next);
        }
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

bool Simulator::Impl::lineCharTime() const
{
    return std::any_of(devices.begin(), devices.end(), [](const Device &d) { return d.config.charTime; });
}

bool Simulator::Impl::lineEcho() const
{
    return std::any_of(devices.begin(), devices.end(), [](const Device &d) { return d.config.echo; });
}

Device *Simulator::Impl::deviceAt(int address)
{
    for (Device &d : devices)
        if (d.config.address == address)
            return &d;
    return nullptr;
}

State Simulator::Impl::stateOf(const Device &device, int64_t nowMs) const
{
    const Config &c = device.config;
    bool transparent = false;
    if (c.fwdl) {
        const auto it = fwdlUntilMs.find(unitOf(c));
        transparent = it != fwdlUntilMs.end() && it->second != 0 && nowMs <= it->second;
    }
    return State{c.address,  c.baud,     c.parity,    c.fahrenheit, nowMs < device.serviceUntilMs,
                 c.adcType1, c.adcType2, c.adcRanges, transparent};
}

void Simulator::Impl::setCountFault(Device &device, Fault fault, int count, int delayMs)
{
    device.countFault = count > 0 ? fault : Fault::None;
    device.countLeft = std::max(0, count);
    device.countParam = delayMs;
}

void Simulator::Impl::setRateFault(Device &device, Fault fault, double rate, int delayMs)
{
    device.rate = std::clamp(rate, 0.0, 1.0);
    device.rateFault = device.rate > 0 ? fault : Fault::None;
    device.rateParam = delayMs;
}

// The fault this reply gets, if any: a counted fault before one at a rate.
Fault Simulator::Impl::drawFault(Device &device, int &param)
{
    if (device.countFault != Fault::None && device.countLeft > 0) {
        const Fault fault = device.countFault;
        param = device.countParam;
        if (--device.countLeft == 0)
            device.countFault = Fault::None;
        return fault;
    }
    if (device.rateFault != Fault::None && std::bernoulli_distribution(device.rate)(rng)) {
        param = device.rateParam;
        return device.rateFault;
    }
    return Fault::None;
}

// ---- what the device answers ----

// The transparent-mode command is the unit's, not a device's: it answers
// once however many devices stand behind it, and `device` is the first of
// them (whose faults and turnaround the unit shows).
Simulator::Impl::Decision Simulator::Impl::decideFwdlCommand(const QByteArray &frame, int baud, int &device)
{
    const uint8_t address = uint8_t(frame[0]);
    const uint8_t fun = uint8_t(frame[1]);
    const uint8_t sub = uint8_t(frame[2]);
    device = -1;
    if (fun != kFunWrite || sub != SF_FWDL_TRANSPARENT || frame.size() != kModbusMinFrame)
        return {};
    for (int i = 0; i < int(devices.size()); ++i) {
        const Config &c = devices[size_t(i)].config;
        if (c.fwdl && address == c.fwdlAddress && baud == c.fwdlBaud) {
            device = i;
            const FwdlUnit unit = unitOf(c);
            Decision d;
            d.reply = buildFrame(address, fun, sub, {});
            d.heard = true;
            // The window opens as the acknowledgement leaves the unit.
            d.effect = [this, unit] { fwdlUntilMs[unit] = TickMS() + kFwdlTransparentMs; };
            return d;
        }
    }
    return {};
}

Simulator::Impl::Decision Simulator::Impl::decide(Device &device, const QByteArray &frame, int baud,
                                                  bool forwarded, int64_t nowMs)
{
    const Config &config = device.config;
    const uint8_t address = uint8_t(frame[0]);
    const uint8_t fun = uint8_t(frame[1]);
    const uint8_t sub = uint8_t(frame[2]);
    const QByteArray data = frame.mid(kModbusHeaderSize, frame.size() - kModbusMinFrame);

    if (config.fwdl && !forwarded)
        return {{}, {}, QStringLiteral("FWDL unit not transparent")};
    if (baud != config.baud)
        return {{}, {}, QStringLiteral("baud rate differs from the device's %1").arg(config.baud)};
    if (address != config.address && address != kServiceAddress)
        return {{}, {}, QStringLiteral("not this device's address")};
    Decision d = decideDevice(device, address, fun, sub, data, nowMs);
    d.heard = true;
    return d;
}

Simulator::Impl::Decision Simulator::Impl::decideDevice(Device &device, uint8_t address, uint8_t fun,
                                                        uint8_t sub, const QByteArray &data, int64_t nowMs)
{
    Device *const dev = &device; // what the effects change as the reply leaves
    const Config &config = device.config;
    const KindInfo &kind = kindInfo(config.kind);
    const bool adc = config.kind == DeviceKind::FWADC01;
    const bool gated = config.kind == DeviceKind::FWTH01 && nowMs >= device.serviceUntilMs;
    const auto ack = [&] { return buildFrame(address, fun, sub, {}); };
    const auto silent = [](const QString &why) { return Decision{{}, {}, why}; };
    const auto dataSize = [&](int n) { return data.size() == n; };

    Decision d;
    if (fun == kFunRead && data.isEmpty()) {
        switch (sub) {
        case SF_MEASURE:
            d.reply = measurement(config, address, nowMs);
            return d;
        case SF_IDENTIFY:
            d.reply = identification(config, address);
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
            d.reply = adcConfiguration(config, address);
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
        identity.append(char(variantOf(config)));
        appendLowFirst(identity, config.serial, 2);
        if (data != identity)
            return silent(QStringLiteral("service mode: not this device's identity"));
        d.reply = ack();
        d.effect = [dev] { dev->serviceUntilMs = TickMS() + dev->config.serviceModeMs; };
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
        d.effect = [dev, unit] { dev->config.fahrenheit = unit == 1; };
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
        d.effect = [dev, baud, parity, newAddress] {
            dev->config.baud = baud;
            dev->config.parity = parity;
            dev->config.address = newAddress;
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
        d.effect = [dev, channel, type] { (channel == 0 ? dev->config.adcType1 : dev->config.adcType2) = type; };
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
        d.effect = [dev, first, values] {
            std::copy(values.begin(), values.end(), dev->config.adcRanges.begin() + first);
        };
        return d;
    }
    default:
        break;
    }
    return silent(QStringLiteral("unknown request"));
}

QByteArray Simulator::Impl::measurement(const Config &config, uint8_t address, int64_t nowMs) const
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

QByteArray Simulator::Impl::identification(const Config &config, uint8_t address)
{
    const KindInfo &kind = kindInfo(config.kind);
    QByteArray data;
    data.append(char(kind.type));
    data.append(char(variantOf(config)));
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

QByteArray Simulator::Impl::adcConfiguration(const Config &config, uint8_t address)
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
    : m_d(std::make_unique<Impl>(std::vector<Config>{config}))
{
}

Simulator::Simulator(std::vector<Config> devices)
    : m_d(std::make_unique<Impl>(devices))
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
    Impl::setCountFault(m_d->devices.front(), fault, count, delayMs);
}

void Simulator::setFaultRate(Fault fault, double rate, int delayMs)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    Impl::setRateFault(m_d->devices.front(), fault, rate, delayMs);
}

void Simulator::setReadings(int temperatureTenths, int humidityTenths)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    Config &c = m_d->devices.front().config;
    c.temperature = temperatureTenths;
    c.humidity = humidityTenths;
    c.curve = false;
}

void Simulator::setConfig(const Config &config)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    Device &d = m_d->devices.front();
    if (d.config.fwdl)
        m_d->fwdlUntilMs.erase(unitOf(d.config));
    d.config = config;
    d.serviceUntilMs = 0;
}

State Simulator::state() const
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    return m_d->stateOf(m_d->devices.front(), TickMS());
}

bool Simulator::setFault(int address, Fault fault, int count, int delayMs)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    Device *d = m_d->deviceAt(address);
    if (d)
        Impl::setCountFault(*d, fault, count, delayMs);
    return d != nullptr;
}

bool Simulator::setFaultRate(int address, Fault fault, double rate, int delayMs)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    Device *d = m_d->deviceAt(address);
    if (d)
        Impl::setRateFault(*d, fault, rate, delayMs);
    return d != nullptr;
}

bool Simulator::setReadings(int address, int temperatureTenths, int humidityTenths)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    Device *d = m_d->deviceAt(address);
    if (d) {
        d->config.temperature = temperatureTenths;
        d->config.humidity = humidityTenths;
        d->config.curve = false;
    }
    return d != nullptr;
}

int Simulator::deviceCount() const
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    return int(m_d->devices.size());
}

QList<State> Simulator::states() const
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    const int64_t now = TickMS();
    QList<State> out;
    for (const Device &d : m_d->devices)
        out.append(m_d->stateOf(d, now));
    return out;
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

Answer Simulator::answer(const QByteArray &frame, int baud)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    std::function<void()> effect;
    Answer a = m_d->answerFrame(frame, baud, TickMS(), effect);
    if (effect)
        effect();
    return a;
}

void Simulator::setTrace(std::function<void(const QString &)> trace)
{
    std::lock_guard<std::mutex> lock(m_d->mutex);
    m_d->trace = std::move(trace);
}

QList<QByteArray> takeFrames(QByteArray &rx, QByteArray *noise)
{
    QList<QByteArray> frames;
    qsizetype at = 0;
    while (rx.size() - at >= kModbusHeaderSize) {
        const uint8_t fun = uint8_t(rx[at + 1]);
        const int length = uint8_t(rx[at + 3]) << 8 | uint8_t(rx[at + 4]);
        if ((fun != kFunRead && fun != kFunWrite) || length < kModbusMinFrame || length > kModbusBufferSize) {
            if (noise)
                *noise = rx.mid(at);
            rx.clear();
            return frames;
        }
        if (rx.size() - at < length)
            break;
        frames.append(rx.mid(at, length));
        at += length;
    }
    rx.remove(0, at);
    return frames;
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
