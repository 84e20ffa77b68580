#include "fuzz_checks.h"

#include <QtCore/QDir>
#include <QtCore/QTemporaryDir>
#include <QtCore/QtGlobal>
#include <cstdio>
#include <cstdlib>

void FuzzFail(const char *file, int line, const char *condition, const QString &detail)
{
    std::fprintf(stderr, "\n%s:%d: check failed: %s\n  %s\n", file, line, condition, qPrintable(detail));
    std::fflush(stderr);
    std::abort();
}

QString Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

bool IsExchangeStatus(int status)
{
    return IsOneOf(status, {ST_OK, ST_SEND_FAILED, ST_CRC_ERROR, ST_NO_REPLY, ST_CANCELED, ST_NO_PORT});
}

bool IsOneOf(int status, std::initializer_list<int> allowed)
{
    for (int s : allowed)
        if (s == status)
            return true;
    return false;
}

QByteArray RequestFrame(const TModbusOp &op, uint8_t address, const QByteArray &data)
{
    const int length = static_cast<int>(data.size()) + kModbusMinFrame;
    QByteArray frame;
    frame.append(static_cast<char>(address));
    frame.append(static_cast<char>(op.Fun));
    frame.append(static_cast<char>(op.SubFun));
    frame.append(static_cast<char>(length >> 8));
    frame.append(static_cast<char>(length & 0xFF));
    frame.append(data);
    const uint16_t crc =
        Get_MODBUS_CRC16(static_cast<int>(frame.size()), reinterpret_cast<const uint8_t *>(frame.constData()));
    frame.append(static_cast<char>(crc & 0xFF)); // the CRC travels low byte first
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

MatchedExchanges::MatchedExchanges(const FuzzPort &port, const std::vector<PlannedOp> &plan)
    : m_exchanges(LineExchanges(port))
    , m_index(plan.size(), -1)
{
    size_t next = 0;
    for (size_t k = 0; k < m_exchanges.size(); ++k) {
        const LineExchange &e = m_exchanges[k];
        size_t at = next;
        while (at < plan.size() && plan[at].request != e.request)
            ++at;
        FUZZ_CHECK(at < plan.size(), QStringLiteral("a request no operation of the transaction sends, or out of "
                                                    "order: %1")
                                         .arg(Hex(e.request)));
        const TModbusOp &op = plan[at].op;
        FUZZ_CHECK(e.attempts <= op.Attempts, QStringLiteral("%1 attempts of %2, the catalogue allows %3")
                                                  .arg(e.attempts)
                                                  .arg(Hex(e.request))
                                                  .arg(op.Attempts));
        FUZZ_CHECK(e.attempts == op.Attempts || e.failed || !e.reply().isEmpty(),
                   QStringLiteral("the exchange of %1 stopped after %2 of %3 attempts without a good reply")
                       .arg(Hex(e.request))
                       .arg(e.attempts)
                       .arg(op.Attempts));
        m_index[at] = int(k);
        next = at + 1;
    }
}

bool Echoes(const QByteArray &reply, const QByteArray &request)
{
    return reply.size() >= 3 && request.size() >= 3 && reply.left(3) == request.left(3);
}

int EchoedStatus(const LineExchange &exchange, int echoFailure)
{
    const int status = ExpectedExchangeStatus(exchange);
    return status == ST_OK && !Echoes(exchange.reply(), exchange.request) ? echoFailure : status;
}

bool IsOpenFailure(int status)
{
    return status == ST_SEND_FAILED || status == ST_NO_PORT;
}

const MeasureLayout *MeasureLayoutOf(int frameLength)
{
    static constexpr MeasureLayout kTemperatureOnly{5, -1, 7, 8};
    static constexpr MeasureLayout kHumidity{7, 5, 9, 10};
    switch (frameLength) {
    case 11: return &kTemperatureOnly;
    case 13:
    case 15: return &kHumidity;
    default: return nullptr;
    }
}

bool IsAmbiguousMeasureLength(int frameLength)
{
    return frameLength > 0xFF && MeasureLayoutOf(frameLength & 0xFF) != nullptr;
}

int16_t BeWord(const QByteArray &frame, int offset)
{
    return static_cast<int16_t>(static_cast<uint16_t>(uint8_t(frame.at(offset)) << 8 | uint8_t(frame.at(offset + 1))));
}

void CheckRequestsAtRate(const FuzzPort &port, const QByteArray &fwdlRequest, int baud)
{
    for (const FuzzPort::Send &send : port.sends())
        FUZZ_CHECK(send.frame == fwdlRequest || send.baud == baud,
                   QStringLiteral("%1 went at %2 baud, the transaction's rate is %3")
                       .arg(Hex(send.frame))
                       .arg(send.baud)
                       .arg(baud));
}

int ReadBaud(LineScript &script)
{
    // 115200 is a rate the line takes and a transmitter's rate byte cannot carry.
    static constexpr int kRates[] = {9600, 1200, 2400, 4800, 19200, 38400, 57600, 115200};
    constexpr int kRateCount = int(sizeof kRates / sizeof kRates[0]);
    const uint8_t choice = script.u8();
    return choice < 28 * kRateCount ? kRates[choice % kRateCount] : script.i32();
}

QString FuzzTempPath(const QString &name)
{
    // In memory where the system has such a folder: a save syncs its file to
    // the disk, which on a disk costs milliseconds per input.
    static const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                             : QDir::tempPath();
    static QTemporaryDir dir(base + QStringLiteral("/fenwire-fuzz-XXXXXX"));
    FUZZ_CHECK(dir.isValid(), QStringLiteral("no temporary folder: %1").arg(dir.errorString()));
    return dir.filePath(name);
}

namespace {

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &)
{
}

} // namespace

void InstallQuietMessageHandler()
{
    static const bool installed = [] {
        qInstallMessageHandler(dropMessage);
        return true;
    }();
    (void)installed;
}

PortRoute ReadPortRoute(LineScript &script)
{
    // Bits 0-2 the port's COM number; bit 7 asks for the next one instead.
    const uint8_t r = script.u8();
    PortRoute route;
    route.portCom = 1 + (r & 0x07);
    route.transactionCom = (r & 0x80) ? 1 + (route.portCom % kComPortCount) : route.portCom;
    return route;
}

TComPortTable PortTable(FuzzPort &port)
{
    TComPortTable table{};
    table[static_cast<size_t>(port.ComNumber() - 1)] = &port;
    return table;
}
