#include "dn_comport.h"

#include <QtCore/QFile>
#include <QtCore/QMetaObject>
#include <QtCore/QMutex>
#include <QtCore/QSettings>
#include <QtCore/QThread>
#include <QtSerialPort/QSerialPort>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>

#if defined(Q_OS_UNIX)
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

} // namespace

QString PortFailureText(const TPortFailure &A_Failure)
{
    switch (A_Failure.Fault) {
    case TPortFault::None: return QString();
    case TPortFault::NoDevice: return QStringLiteral("no such device %1").arg(A_Failure.Device);
    case TPortFault::PermissionDenied: return QStringLiteral("permission denied on %1").arg(A_Failure.Device);
    case TPortFault::InUse: return QStringLiteral("%1 is in use by another program").arg(A_Failure.Device);
    case TPortFault::Gone: return QStringLiteral("%1 disappeared while in use").arg(A_Failure.Device);
    case TPortFault::Other: return QStringLiteral("%1: %2").arg(A_Failure.Device, A_Failure.Text);
    }
    return QString();
}

QString ComDeviceName(int comNumber, const QString &A_IniFile)
{
#if defined(Q_OS_WIN)
    (void)A_IniFile;
    return QStringLiteral("COM%1").arg(comNumber);
#else
    // Read-only use of the file: QSettings writes nothing back unless a value
    // is set, so the window placement and every other section stay as they are.
    QSettings ini(A_IniFile, QSettings::IniFormat);
    const QString key = QStringLiteral("ports/COM%1").arg(comNumber);
    const QString mapped = ini.value(key).toString().trimmed();
    if (!mapped.isEmpty())
        return mapped;
    return QStringLiteral("/dev/ttyS%1").arg(comNumber - 1);
#endif
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

    // --- I/O thread only ---------------------------------------------------

    void openPort()
    {
        if (m_serial && m_serial->isOpen())
            return;
        if (m_lost.exchange(false)) {
            // Report the loss once, as a failure of this send, before trying
            // the device again on the next one.
            fail(TPortFault::Gone, m_serial->portName(), m_lostReason);
        }
        QString device;
        {
            QMutexLocker lock(&m_mutex);
            device = m_device;
        }
        if (device.isEmpty())
            device = ComDeviceName(m_comNumber, m_iniFile);
        if (!m_serial) {
            m_serial = new QSerialPort(m_ctx);
            QObject::connect(m_serial, &QSerialPort::readyRead, m_ctx, [this] { onReadyRead(); });
            QObject::connect(m_serial, &QSerialPort::bytesWritten, m_ctx,
                             [this] { m_outPending = m_serial->bytesToWrite(); });
            QObject::connect(m_serial, &QSerialPort::errorOccurred, m_ctx,
                             [this](QSerialPort::SerialPortError e) { onError(e); });
        }
        m_serial->setPortName(device);
        m_serial->setBaudRate(m_baud);
        m_serial->setDataBits(QSerialPort::Data8);
        m_serial->setParity(toQt(m_parity));
        m_serial->setStopBits(QSerialPort::TwoStop);
        m_serial->setFlowControl(QSerialPort::NoFlowControl);
        if (!m_serial->open(QIODevice::ReadWrite)) {
            const QSerialPort::SerialPortError e = m_serial->error();
            const QString why = m_serial->errorString();
            m_serial->clearError();
            switch (e) {
            case QSerialPort::DeviceNotFoundError: fail(TPortFault::NoDevice, device, why);
            case QSerialPort::PermissionError: fail(permissionFault(device), device, why);
            default: fail(TPortFault::Other, device, why);
            }
        }
        // DTR and RTS low; a pseudo-terminal has neither line and refuses.
        m_serial->setDataTerminalReady(false);
        m_serial->setRequestToSend(false);
        m_serial->clearError();
        enableRs485(m_serial);
        m_open = true;
        QMutexLocker lock(&m_mutex);
        m_failure = {};
    }

    // Remembers why the port refuses and raises it: the link turns the
    // exception into a status code, and the transaction asks for the reason.
    [[noreturn]] void fail(TPortFault fault, const QString &device, const QString &text)
    {
        {
            QMutexLocker lock(&m_mutex);
            m_failure = {fault, device, text};
        }
        const std::string why = QStringLiteral("%1: %2").arg(device, text).toStdString();
        if (fault == TPortFault::NoDevice)
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
    }

    void onError(QSerialPort::SerialPortError e)
    {
        if (!isLoss(e) || !m_serial || !m_serial->isOpen())
            return;
        m_lostReason = QStringLiteral("%1: %2").arg(m_serial->portName(), m_serial->errorString());
        m_serial->clearError();
        m_serial->close();
        m_open = false;
        m_outPending = 0;
        m_lost = true;
    }

    int m_comNumber = 0;
    QString m_iniFile; // set before the first use, then only read
    QObject *m_ctx = nullptr;
    QSerialPort *m_serial = nullptr; // child of m_ctx, I/O thread only
    QString m_lostReason;            // I/O thread only

    std::atomic<int> m_baud;
    std::atomic<TParity> m_parity{TParity::None};
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_lost{false};
    std::atomic<qint64> m_outPending{0};

    mutable QMutex m_mutex; // guards m_in, m_received, m_device and m_failure
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
    {
        QMutexLocker lock(&m_io->m_mutex);
        if (!m_io->m_device.isEmpty())
            return m_io->m_device;
    }
    return ComDeviceName(m_comNumber, m_io->m_iniFile);
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
            m_io->fail(TPortFault::Other, DeviceName(), QStringLiteral("port not open"));
        const qint64 queued = m_io->m_serial->write(reinterpret_cast<const char *>(bytes), count);
        if (queued != count) {
            const QString why = m_io->m_serial->errorString();
            m_io->m_serial->clearError();
            m_io->fail(TPortFault::Other, m_io->m_serial->portName(), why);
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
