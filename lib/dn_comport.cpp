#include "dn_comport.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMetaObject>
#include <QtCore/QMutex>
#include <QtCore/QSettings>
#include <QtCore/QStandardPaths>
#include <QtCore/QThread>
#include <QtCore/QWaitCondition>
#include <QtSerialPort/QSerialPort>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <vector>

#if defined(Q_OS_UNIX)
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(Q_OS_LINUX)
#include <linux/serial.h>
#include <sys/ioctl.h>
#elif defined(Q_OS_WIN)
#include <qt_windows.h>
#endif

namespace {

// One thread of the port layer runs every QSerialPort with an event loop,
// so the ports receive while the transaction threads sleep between polls.
QThread *ioThread()
{
    static QThread *thread = [] {
        auto *t = new QThread; // lives to the end of the process
        t->setObjectName(QStringLiteral("fenwire-serial-io"));
        t->start();
        return t;
    }();
    return thread;
}

QSerialPort::Parity toQt(TParity p)
{
    switch (p) {
    case TParity::None: return QSerialPort::NoParity;
    case TParity::Odd: return QSerialPort::OddParity;
    case TParity::Even: return QSerialPort::EvenParity;
    case TParity::Mark: return QSerialPort::MarkParity;
    case TParity::Space: return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

// Errors after which the device is gone or unusable; the port is closed so
// that the next send opens it afresh.
bool isLoss(QSerialPort::SerialPortError e)
{
    return e == QSerialPort::ResourceError || e == QSerialPort::ReadError
        || e == QSerialPort::WriteError;
}

// The line driver switches the RS-485 direction itself: RTS raised exactly
// while our bytes are on the line. Pseudo-terminals and adapters with
// automatic direction control refuse the request; they need nothing.
void enableRs485(QSerialPort *serial)
{
#if defined(Q_OS_LINUX)
    struct serial_rs485 conf;
    std::memset(&conf, 0, sizeof conf);
    conf.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    (void)::ioctl(serial->handle(), TIOCSRS485, &conf);
#elif defined(Q_OS_WIN)
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (::GetCommState(serial->handle(), &dcb)) {
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        (void)::SetCommState(serial->handle(), &dcb);
    }
#else
    (void)serial;
#endif
}

// QSerialPort says "PermissionError" both for a device the user may not
// open and for one whose lock another program holds. Only the first fails
// an access check: the user needs a group, not another program closed.
TPortFault permissionFault(const QString &device)
{
#if defined(Q_OS_UNIX)
    const QByteArray path = QFile::encodeName(device);
    if (::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES)
        return TPortFault::PermissionDenied;
#else
    (void)device;
#endif
    return TPortFault::InUse;
}

// --- What the user needs to know about a refusal -----------------------------

#if defined(Q_OS_UNIX)
// The reentrant look-ups: the port's I/O thread asks while other threads of
// the program may ask too.
QString userName(uid_t uid)
{
    std::vector<char> buf(16384);
    passwd pw{};
    passwd *found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

QString groupName(gid_t gid)
{
    std::vector<char> buf(16384);
    group gr{};
    group *found = nullptr;
    if (::getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->gr_name);
    return QString::number(gid);
}

bool loginHasGroup(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int n = ::getgroups(count, groups.data());
    for (int i = 0; i < n; ++i) {
        if (groups[static_cast<size_t>(i)] == gid)
            return true;
    }
    return false;
}

// Whether the group database lists the user in the group: true once
// "adduser" has run, whatever the groups of the login still are.
bool databaseHasUserInGroup(uid_t uid, gid_t gid)
{
    std::vector<char> buf(16384);
    passwd pw{};
    passwd *found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<size_t>(i)] == gid)
            return true;
    }
    return false;
}

void describePermission(TPortFailure &f, const QString &node)
{
    struct stat st{};
    f.User = userName(::geteuid());
    if (::stat(QFile::encodeName(node).constData(), &st) != 0)
        return;
    f.Owner = userName(st.st_uid);
    f.Group = groupName(st.st_gid);
    f.GroupMayUse = (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP);
    f.GroupInNextLogin = !loginHasGroup(st.st_gid) && databaseHasUserInGroup(::geteuid(), st.st_gid);
}

bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}
#endif

QString processCommand(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

// Where QSerialPort, minicom and the other programs of the UUCP tradition
// keep the lock of a device, in QSerialPort's order of looking.
QStringList lockDirectories()
{
    return {QStringLiteral("/var/lock"),          QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"),   QStringLiteral("/var/spool/uucp"),
            QStringLiteral("/tmp"),               QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"),  QStringLiteral("/run/lock"),
            QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
}

// "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3: the name
// below /dev with its slashes replaced, as every such program spells it.
QString lockFileName(const QString &node)
{
    QString name = node.startsWith(QLatin1String("/dev/")) ? node.mid(5) : node;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

void findHolder(TPortFailure &f, const QString &node)
{
#if defined(Q_OS_UNIX)
    const QString name = lockFileName(node);
    for (const QString &dir : lockDirectories()) {
        QFile lock(dir + QLatin1Char('/') + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        // QLockFile writes the PID on a line of its own, the UUCP programs
        // as ten characters padded with blanks: the first number is it.
        const qint64 pid = QString::fromLatin1(lock.readLine(64)).trimmed().toLongLong();
        if (!processAlive(pid))
            continue;
        f.HolderPid = pid;
        f.HolderCommand = processCommand(pid);
        f.HolderFoundIn = QFileInfo(lock.fileName()).canonicalFilePath();
        return;
    }
    // A program that takes no lock but opens the device for itself alone:
    // its open descriptor in /proc gives it away (for our own user's
    // programs; root sees them all).
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &p : pids) {
        bool numeric = false;
        const qint64 pid = p.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString fdDir = QStringLiteral("/proc/%1/fd").arg(p);
        const QStringList fds = QDir(fdDir).entryList(QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : fds) {
            if (QFile::symLinkTarget(fdDir + QLatin1Char('/') + fd) == node) {
                f.HolderPid = pid;
                f.HolderCommand = processCommand(pid);
                f.HolderFoundIn = fdDir + QLatin1Char('/') + fd;
                return;
            }
        }
    }
#else
    (void)f;
    (void)node;
#endif
}

// Everything the words of a failure need, looked up while it is fresh.
TPortFailure describeFailure(TPortFault fault, int comNumber, const QString &device, const QString &node,
                             const QString &text)
{
    TPortFailure f;
    f.Fault = fault;
    f.Device = device;
    f.Text = text;
    f.ComNumber = comNumber;
    if (node != device)
        f.Node = node;
    switch (fault) {
    case TPortFault::PermissionDenied:
#if defined(Q_OS_UNIX)
        describePermission(f, node);
#endif
        break;
    case TPortFault::InUse: findHolder(f, node); break;
    case TPortFault::NoDevice:
    case TPortFault::Gone: f.Adapters = ListAdapters(); break;
    case TPortFault::None:
    case TPortFault::Other: break;
    }
    return f;
}

QString deviceWithNode(const TPortFailure &f)
{
    return f.Node.isEmpty() ? f.Device : QStringLiteral("%1 (%2)").arg(f.Device, f.Node);
}

QString holderText(const TPortFailure &f)
{
    if (f.HolderPid <= 0)
        return QStringLiteral("another program");
    if (f.HolderCommand.isEmpty())
        return QStringLiteral("PID %1").arg(f.HolderPid);
    return QStringLiteral("%1 (PID %2)").arg(f.HolderCommand).arg(f.HolderPid);
}

QString adaptersText(const TPortFailure &f)
{
    if (f.Adapters.isEmpty())
        return QStringLiteral("No serial adapter is present: plug it in (\"lsusb\" and \"dmesg\" show whether the "
                              "system sees it; brltty takes CH340 adapters away, see the README).");
    QStringList lines;
    for (const TAdapter &a : f.Adapters) {
        const QString name = AdapterMapName(a);
        lines << (name == a.Device ? AdapterLabel(a) : QStringLiteral("%1 = %2").arg(name, AdapterLabel(a)));
    }
    const QString where = f.ComNumber > 0
        ? QStringLiteral("Choose one for COM%1 in the settings window, or map it in fen_mon.ini [ports] "
                         "(\"rh_poll ports\" lists them too).")
              .arg(f.ComNumber)
        : QStringLiteral("Use one of them instead.");
    return QStringLiteral("Serial adapters present: %1. %2").arg(lines.join(QStringLiteral("; ")), where);
}

} // namespace

QString PortFailureText(const TPortFailure &A_Failure)
{
    const QString &d = A_Failure.Device;
    switch (A_Failure.Fault) {
    case TPortFault::None: return QString();
    case TPortFault::NoDevice: return QStringLiteral("no such device %1").arg(d);
    case TPortFault::PermissionDenied:
        if (A_Failure.Group.isEmpty())
            return QStringLiteral("permission denied on %1").arg(d);
        if (!A_Failure.GroupMayUse)
            return QStringLiteral("permission denied on %1 (only %2 may use it)").arg(d, A_Failure.Owner);
        if (A_Failure.GroupInNextLogin)
            return QStringLiteral("permission denied on %1 (group %2: log in again)").arg(d, A_Failure.Group);
        return QStringLiteral("permission denied on %1 (join group %2)").arg(d, A_Failure.Group);
    case TPortFault::InUse: return QStringLiteral("%1 is in use by %2").arg(d, holderText(A_Failure));
    case TPortFault::Gone: return QStringLiteral("%1 disappeared while in use").arg(d);
    case TPortFault::Other: return QStringLiteral("%1: %2").arg(d, A_Failure.Text);
    }
    return QString();
}

QString PortFailureAdvice(const TPortFailure &A_Failure)
{
    const TPortFailure &f = A_Failure;
    const QString device = deviceWithNode(f);
    switch (f.Fault) {
    case TPortFault::None: return QString();
    case TPortFault::NoDevice:
        return QStringLiteral("There is no device %1%2. %3")
            .arg(device,
                 f.ComNumber > 0 ? QStringLiteral(" (where COM%1 points)").arg(f.ComNumber) : QString(),
                 adaptersText(f));
    case TPortFault::PermissionDenied: {
        const QString user = f.User.isEmpty() ? QStringLiteral("$USER") : f.User;
        if (f.Group.isEmpty())
            return QStringLiteral("You (%1) may not open %2: %3.").arg(user, device, f.Text);
        if (!f.GroupMayUse)
            return QStringLiteral("You (%1) may not open %2: only its owner %3 may use it, not its group %4. "
                                  "A udev rule must give the group access (MODE=\"0660\"); then add yourself "
                                  "to the group: sudo adduser %1 %4, and log in again (the group counts from a "
                                  "new login on).")
                .arg(user, device, f.Owner, f.Group);
        if (f.GroupInNextLogin)
            return QStringLiteral("You (%1) may not open %2 yet: it belongs to group %3, which you were added to "
                                  "after this login began. Log out and in again (the group counts from a new "
                                  "login on).")
                .arg(user, device, f.Group);
        return QStringLiteral("You (%1) may not open %2: it belongs to group %3, which you are not in. Add "
                              "yourself: sudo adduser %1 %3, then log out and in again (the group counts from "
                              "a new login on).")
            .arg(user, device, f.Group);
    }
    case TPortFault::InUse:
        if (f.HolderPid <= 0)
            return QStringLiteral("Another program holds %1, and neither a lock file nor /proc tells which "
                                  "(as root, \"fuser -v %2\" shows it). Close the other serial program; "
                                  "ModemManager and brltty are known to take adapters, see the README.")
                .arg(device, f.Node.isEmpty() ? f.Device : f.Node);
        return QStringLiteral("%1 holds %2 (as %3 tells). Close that program, or end it with \"kill %4\", "
                              "and the next reading opens the port.")
            .arg(holderText(f), device, f.HolderFoundIn)
            .arg(f.HolderPid);
    case TPortFault::Gone:
        return QStringLiteral("%1 disappeared while in use: the adapter was unplugged, or its driver reset. "
                              "Plug it in again; the readings resume by themselves once it is back under the "
                              "same name. %2")
            .arg(device, adaptersText(f));
    case TPortFault::Other: return QStringLiteral("%1 refused: %2.").arg(device, f.Text);
    }
    return QString();
}

QMap<int, QString> ComPortMap(const QString &A_IniFile)
{
    // Read-only use of the file: QSettings writes nothing back unless a value
    // is set, so the window placement and every other section stay as they are.
    QSettings ini(A_IniFile, QSettings::IniFormat);
    QMap<int, QString> map;
    for (int com = 1; com <= kComPortCount; ++com) {
        const QString key = QStringLiteral("%1/COM%2").arg(QLatin1String(kComMapSection)).arg(com);
        const QString mapped = ini.value(key).toString().trimmed();
        if (!mapped.isEmpty())
            map.insert(com, mapped);
    }
    return map;
}

namespace {

// The adapters are looked for only where the rule needs them: listing them
// asks udev, and a COM number that is mapped never needs to.
template<class F>
QString comDeviceName(int comNumber, const QString &A_IniFile, F &&adapters)
{
#if defined(Q_OS_WIN)
    (void)A_IniFile;
    (void)adapters;
    return QStringLiteral("COM%1").arg(comNumber);
#else
    const QMap<int, QString> map = ComPortMap(A_IniFile);
    const auto mapped = map.constFind(comNumber);
    if (mapped != map.constEnd())
        return *mapped;
    // A fresh installation with its one adapter works as it comes; once any
    // COM number is mapped, the map says everything.
    if (comNumber == 1 && map.isEmpty()) {
        if (const std::optional<TAdapter> only = OnlyUsbAdapter(adapters()))
            return AdapterMapName(*only);
    }
    return QStringLiteral("/dev/ttyS%1").arg(comNumber - 1);
#endif
}

} // namespace

QString ComDeviceName(int comNumber, const QString &A_IniFile)
{
    return comDeviceName(comNumber, A_IniFile, [] { return ListAdapters(); });
}

QString ComDeviceName(int comNumber, const QString &A_IniFile, const TAdapterList &A_Adapters)
{
    return comDeviceName(comNumber, A_IniFile, [&] { return A_Adapters; });
}

class ComPortIo
{
public:
    explicit ComPortIo(int comNumber)
        : m_baud(comNumber <= 2 ? kComBaudLow : kComBaudHigh)
    {
        m_ctx = new QObject;
        m_ctx->moveToThread(ioThread());
    }

    ~ComPortIo()
    {
        QObject *ctx = m_ctx;
        if (ioThread()->isRunning() && QThread::currentThread() != ioThread())
            QMetaObject::invokeMethod(ctx, [ctx] { delete ctx; }, Qt::BlockingQueuedConnection);
        else
            delete ctx;
    }

    // Runs f in the I/O thread and waits for it; what f raises is raised here.
    template<class F>
    void run(F &&f)
    {
        if (QThread::currentThread() == ioThread()) {
            f();
            return;
        }
        std::exception_ptr failure;
        QMetaObject::invokeMethod(
            m_ctx,
            [&] {
                try {
                    f();
                } catch (...) {
                    failure = std::current_exception();
                }
            },
            Qt::BlockingQueuedConnection);
        if (failure)
            std::rethrow_exception(failure);
    }

    QString fixedDevice() const
    {
        QMutexLocker lock(&m_mutex);
        return m_device;
    }

    // The device the port opens: the fixed one, or the COM number's.
    QString configuredDevice() const
    {
        const QString device = fixedDevice();
        return device.isEmpty() ? ComDeviceName(m_comNumber, m_iniFile) : device;
    }

    // --- I/O thread only ---------------------------------------------------

    void openPort()
    {
        if (m_serial && m_serial->isOpen())
            return;
        const int com = fixedDevice().isEmpty() ? m_comNumber : 0;
        const QString device = configuredDevice();
        // The node, not the name given: QSerialPort keys its lock file by the
        // name it opens, so two programs reaching one adapter through
        // different links would otherwise both get the line (and, as root,
        // past the driver's exclusive open too) and each lose the other's
        // replies.
        const QString node = ResolvedDevice(device);
        if (!m_serial) {
            m_serial = new QSerialPort(m_ctx);
            QObject::connect(m_serial, &QSerialPort::readyRead, m_ctx, [this] { onReadyRead(); });
            QObject::connect(m_serial, &QSerialPort::bytesWritten, m_ctx,
                             [this] { m_outPending = m_serial->bytesToWrite(); });
            QObject::connect(m_serial, &QSerialPort::errorOccurred, m_ctx,
                             [this](QSerialPort::SerialPortError e) { onError(e); });
        }
        m_serial->setPortName(node);
        m_serial->setBaudRate(m_baud);
        m_serial->setDataBits(QSerialPort::Data8);
        m_serial->setParity(toQt(m_parity));
        m_serial->setStopBits(QSerialPort::TwoStop);
        m_serial->setFlowControl(QSerialPort::NoFlowControl);
        if (!m_serial->open(QIODevice::ReadWrite)) {
            const QSerialPort::SerialPortError e = m_serial->error();
            const QString why = m_serial->errorString();
            m_serial->clearError();
            TPortFault fault = TPortFault::Other;
            if (e == QSerialPort::DeviceNotFoundError)
                fault = TPortFault::NoDevice;
            else if (e == QSerialPort::PermissionError)
                fault = permissionFault(node);
            TPortFailure failure = describeFailure(fault, com, device, node, why);
            bool badId = fault == TPortFault::NoDevice;
            if (m_lost) {
                // Until the adapter is back, the user is told it went away,
                // not that some device is missing. Another program's lock
                // or a refused permission is news of its own and told as it is.
                if (fault == TPortFault::NoDevice || fault == TPortFault::Other
                    || (fault == TPortFault::InUse && failure.HolderPid <= 0))
                    failure = describeFailure(TPortFault::Gone, com, device, node, m_lostReason);
                // The first failure after the loss is this send's, as a port
                // that refused; the device is looked for again on every send.
                if (!m_lossReported) {
                    m_lossReported = true;
                    badId = false;
                }
            }
            fail(failure, badId);
        }
        // DTR and RTS low; a pseudo-terminal has neither line and refuses.
        m_serial->setDataTerminalReady(false);
        m_serial->setRequestToSend(false);
        m_serial->clearError();
        enableRs485(m_serial);
        m_openedAs = device;
        m_openedCom = com;
        m_lost = false;
        m_lossReported = false;
        m_open = true;
        QMutexLocker lock(&m_mutex);
        m_failure = {};
    }

    // A failure of the open port itself (a send that could not be queued):
    // the adapter's loss, when that is what lies behind it.
    [[noreturn]] void failOpenPort(const QString &text)
    {
        const QString device = m_openedAs.isEmpty() ? configuredDevice() : m_openedAs;
        if (m_lost) {
            m_lossReported = true;
            fail(describeFailure(TPortFault::Gone, m_openedCom, device, ResolvedDevice(device), m_lostReason), false);
        }
        fail(describeFailure(TPortFault::Other, m_openedCom, device, ResolvedDevice(device), text), false);
    }

    // Remembers why the port refuses and raises it: the link turns the
    // exception into a status code, and the transaction asks for the reason.
    [[noreturn]] void fail(const TPortFailure &failure, bool badId)
    {
        {
            QMutexLocker lock(&m_mutex);
            m_failure = failure;
        }
        const std::string why = QStringLiteral("%1: %2").arg(failure.Device, failure.Text).toStdString();
        if (badId)
            throw EBadId(why);
        throw EComError(why);
    }

    void onReadyRead()
    {
        const QByteArray data = m_serial->readAll();
        if (data.isEmpty())
            return;
        QMutexLocker lock(&m_mutex);
        // A full input buffer overruns as a UART would: the newest bytes go.
        const qsizetype room = kComBufferSize - m_in.size();
        m_in.append(data.constData(), std::min<qsizetype>(room, data.size()));
        m_received += static_cast<uint64_t>(data.size());
        // QSerialPort tells that bytes left it one turn of the event loop
        // after it handed them to the driver; a reply can come in between
        // and the exchange go on to its next send, which must not find its
        // request still counted as unsent (and flush it, and wait 300 ms).
        m_outPending = m_serial->bytesToWrite();
        // An exchange waiting for these bytes goes on at once; one waiting
        // for more sleeps on (bytes come one by one at low baud rates).
        if (m_in.size() >= m_wanted)
            m_arrived.wakeAll();
    }

    void onError(QSerialPort::SerialPortError e)
    {
        if (!isLoss(e) || !m_serial || !m_serial->isOpen())
            return;
        m_lostReason = m_serial->errorString();
        m_serial->clearError();
        m_serial->close();
        m_open = false;
        m_outPending = 0;
        m_lost = true;
        m_lossReported = false;
    }

    int m_comNumber = 0;
    QString m_iniFile; // set before the first use, then only read
    QObject *m_ctx = nullptr;
    QSerialPort *m_serial = nullptr; // child of m_ctx, I/O thread only
    // I/O thread only: the name and COM number the port was last opened as,
    // and whether its device went away since (and the user was told).
    QString m_openedAs;
    int m_openedCom = 0;
    QString m_lostReason;
    bool m_lossReported = false;

    std::atomic<int> m_baud;
    std::atomic<TParity> m_parity{TParity::None};
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_lost{false}; // set and cleared in the I/O thread
    std::atomic<qint64> m_outPending{0};

    mutable QMutex m_mutex; // guards m_in, m_wanted, m_received, m_device and m_failure
    QWaitCondition m_arrived; // m_in holds what a waiting exchange wants
    int m_wanted = 0;         // what the exchange waiting on the port (one at a time) wants
    QByteArray m_in;
    uint64_t m_received = 0;
    QString m_device;
    TPortFailure m_failure;
};

TApdComPort::TApdComPort(int comNumber, const QString &A_IniFile)
    : m_comNumber(comNumber)
    , m_io(std::make_unique<ComPortIo>(comNumber))
{
    m_io->m_comNumber = comNumber;
    m_io->m_iniFile = A_IniFile;
    m_io->m_in.reserve(kComBufferSize);
}

TApdComPort::~TApdComPort() = default;

void TApdComPort::SetDeviceName(const QString &device)
{
    QMutexLocker lock(&m_io->m_mutex);
    m_io->m_device = device;
}

QString TApdComPort::DeviceName() const
{
    return m_io->configuredDevice();
}

int TApdComPort::Baud() const
{
    return m_io->m_baud;
}

void TApdComPort::SetBaud(int baud)
{
    m_io->run([&] {
        if (m_io->m_serial && m_io->m_serial->isOpen() && !m_io->m_serial->setBaudRate(baud)) {
            const QString why = m_io->m_serial->errorString();
            m_io->m_serial->clearError();
            throw EComError(why.toStdString());
        }
        m_io->m_baud = baud;
    });
}

TParity TApdComPort::Parity() const
{
    return m_io->m_parity;
}

void TApdComPort::SetParity(TParity parity)
{
    m_io->run([&] {
        if (m_io->m_serial && m_io->m_serial->isOpen() && !m_io->m_serial->setParity(toQt(parity))) {
            const QString why = m_io->m_serial->errorString();
            m_io->m_serial->clearError();
            throw EComError(why.toStdString());
        }
        m_io->m_parity = parity;
    });
}

bool TApdComPort::Open() const
{
    return m_io->m_open;
}

void TApdComPort::SetOpen(bool open)
{
    m_io->run([&] {
        if (open) {
            m_io->openPort();
        } else if (m_io->m_serial) {
            m_io->m_serial->close();
            m_io->m_open = false;
        }
    });
}

int TApdComPort::InBuffUsed() const
{
    QMutexLocker lock(&m_io->m_mutex);
    return static_cast<int>(m_io->m_in.size());
}

int TApdComPort::OutBuffUsed() const
{
    return static_cast<int>(m_io->m_outPending);
}

void TApdComPort::FlushInBuffer()
{
    m_io->run([&] {
        if (m_io->m_serial && m_io->m_serial->isOpen()) {
            m_io->m_serial->readAll();
            m_io->m_serial->clear(QSerialPort::Input);
        }
    });
    QMutexLocker lock(&m_io->m_mutex);
    m_io->m_in.clear();
}

void TApdComPort::FlushOutBuffer()
{
    m_io->run([&] {
        if (m_io->m_serial && m_io->m_serial->isOpen())
            m_io->m_serial->clear(QSerialPort::Output);
        m_io->m_outPending = 0;
    });
}

void TApdComPort::PutBlock(const uint8_t *bytes, int count)
{
    m_io->run([&] {
        if (!m_io->m_serial || !m_io->m_serial->isOpen())
            m_io->failOpenPort(QStringLiteral("port not open"));
        const qint64 queued = m_io->m_serial->write(reinterpret_cast<const char *>(bytes), count);
        if (queued != count) {
            const QString why = m_io->m_serial->errorString();
            m_io->m_serial->clearError();
            m_io->failOpenPort(why);
        }
        m_io->m_outPending = m_io->m_serial->bytesToWrite();
    });
}

void TApdComPort::GetBlock(uint8_t *bytes, int count)
{
    QMutexLocker lock(&m_io->m_mutex);
    if (count < 0 || m_io->m_in.size() < count)
        throw EComError("fewer bytes buffered than asked for");
    std::memcpy(bytes, m_io->m_in.constData(), static_cast<size_t>(count));
    m_io->m_in.remove(0, count);
}

bool TApdComPort::WaitForInput(int count, int timeoutMs)
{
    const QDeadlineTimer deadline(std::max(timeoutMs, 0), Qt::PreciseTimer);
    QMutexLocker lock(&m_io->m_mutex);
    m_io->m_wanted = count;
    while (m_io->m_in.size() < count && !deadline.hasExpired())
        m_io->m_arrived.wait(&m_io->m_mutex, deadline);
    m_io->m_wanted = 0;
    return true;
}

TPortFailure TApdComPort::LastFailure() const
{
    QMutexLocker lock(&m_io->m_mutex);
    return m_io->m_failure;
}

uint64_t TApdComPort::ReceivedCount() const
{
    QMutexLocker lock(&m_io->m_mutex);
    return m_io->m_received;
}

TApdComPorts::TApdComPorts(const QString &A_IniFile)
{
    for (int i = 0; i < kComPortCount; ++i)
        m_ports[i] = std::make_unique<TApdComPort>(i + 1, A_IniFile);
}

TApdComPorts::~TApdComPorts() = default;

TComPortTable TApdComPorts::table() const
{
    TComPortTable t{};
    for (int i = 0; i < kComPortCount; ++i)
        t[i] = m_ports[i].get();
    return t;
}
