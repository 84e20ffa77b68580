// What every fuzz target checks beyond "no crash", and how it drives a
// transaction without a thread.
#pragma once

#include "dn_thr_trans_rh.h"
#include "fuzz_port.h"

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <initializer_list>
#include <vector>

// A failed check aborts, which libFuzzer reports as a crash with the input.
[[noreturn]] void FuzzFail(const char *file, int line, const char *condition, const QString &detail);

#define FUZZ_CHECK(condition, detail)                                                                                  \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            FuzzFail(__FILE__, __LINE__, #condition, (detail));                                                        \
    } while (false)

QString Hex(const QByteArray &bytes);

// The statuses an exchange can end with.
bool IsExchangeStatus(int status);
bool IsOneOf(int status, std::initializer_list<int> allowed);

// The request an operation sends: its frame with the CRC, as on the wire.
QByteArray RequestFrame(const TModbusOp &op, uint8_t address, const QByteArray &data = QByteArray());

// Checks the exchanges of a transaction against the operations it may run,
// in their order: each exchange is the request of one of them (address, data
// and CRC as the link builds them), none sends more attempts than its row of
// the catalogue allows, and one that stopped early got a good reply or a
// failed write. Operations may be skipped; [i] is the exchange of the
// plan's operation i, or null.
struct PlannedOp
{
    TModbusOp op;
    QByteArray request; // RequestFrame of the operation
};

class MatchedExchanges
{
public:
    MatchedExchanges(const FuzzPort &port, const std::vector<PlannedOp> &plan);
    const LineExchange *operator[](size_t i) const
    {
        return m_index[i] < 0 ? nullptr : &m_exchanges[size_t(m_index[i])];
    }
    const LineExchange *front() const { return (*this)[0]; }
    const LineExchange *back() const { return (*this)[m_index.size() - 1]; }

private:
    std::vector<LineExchange> m_exchanges;
    std::vector<int> m_index;
};

// A reply echoes the request: address, function and sub-function equal.
bool Echoes(const QByteArray &reply, const QByteArray &request);

// The status of an exchange whose good reply must echo its request: the
// link's own, or echoFailure for a good frame that answers another request.
int EchoedStatus(const LineExchange &exchange, int echoFailure);
// An exchange that never reached the line: the port refused to open.
bool IsOpenFailure(int status);

// The measurement frame's layout by its length field: where the readings,
// the status and the mode byte lie; null for a frame of another shape.
// The devices send 11, 13 and 15 bytes. A frame of 256 bytes or more whose
// low length byte is one of these is no measurement a device sends: the
// checks take it decoded by that byte or not decoded at all.
struct MeasureLayout
{
    int temperature;
    int humidity; // -1: temperature only
    int status;
    int mode;
};
const MeasureLayout *MeasureLayoutOf(int frameLength);
bool IsAmbiguousMeasureLength(int frameLength);
int16_t BeWord(const QByteArray &frame, int offset);

// Every request but those of the FWDL unit went out at the transaction's rate.
void CheckRequestsAtRate(const FuzzPort &port, const QByteArray &fwdlRequest, int baud);

// A baud rate: mostly one the devices use, sometimes any number at all.
int ReadBaud(LineScript &script);

// A folder of this process for the files a target writes, removed at exit.
QString FuzzTempPath(const QString &name);

// Runs a transaction's thread body on the fuzzer's thread: one input is one
// deterministic run, without a thread or an event loop to wait for.
// Execute sets the priority of a thread that is not running, and Qt warns
// of it on every input: the fuzz targets drop Qt's messages.
void InstallQuietMessageHandler();

template<class T>
class DirectTransaction : public T
{
public:
    // Created suspended: nothing is queued for an event loop that never runs.
    DirectTransaction(int com, int address, int baud, void *record, const TComPortTable &ports)
        : T(true, 0, com, address, baud, 1, record, ports)
    {
        InstallQuietMessageHandler();
    }
    int Run()
    {
        this->Execute();
        return this->Status();
    }
};

// Where a target puts the port in the port table, and the COM number it asks
// for: most inputs find the port, a few ask for a port nobody created.
struct PortRoute
{
    int portCom = 1;
    int transactionCom = 1;
    bool found() const { return portCom == transactionCom; }
};
PortRoute ReadPortRoute(LineScript &script);
TComPortTable PortTable(FuzzPort &port);
