// Serial ports under the Modbus link.
//
// The link talks to the line only through TComPort: buffer counts, flushes,
// put/get block and the line settings. TApdComPort is the real port on
// QSerialPort; tests of exact timing use an in-memory port of their own.
#pragma once

#include "dn_adaptery.h"

#include <QtCore/QMap>
#include <QtCore/QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>

// The selected port does not exist (no such device).
class EBadId : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Any other port failure: busy, permission, I/O error, device gone.
class EComError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum class TParity { None, Odd, Even, Mark, Space };

// Why a port last refused, as the operating system told it.
enum class TPortFault {
    None,
    NoDevice,         // no such device
    PermissionDenied, // the user may not open the device
    InUse,            // another program holds the device
    Gone,             // the device disappeared while the port was open
    Other,            // any other refusal (an I/O error, a setting the driver refused)
};

struct TPortFailure
{
    TPortFault Fault = TPortFault::None;
    QString Device; // the device the port was opened as
    QString Text;   // the operating system's own words

    // What the user needs to put it right, looked up when the port refused.
    int ComNumber = 0; // the COM number mapped to Device; 0 for a device given by path
    QString Node;      // the device node behind Device's links, when it is another name
    // PermissionDenied: who may use the device, and where the user stands.
    QString Owner;            // the user owning the device
    QString Group;            // the group owning the device
    QString User;             // the user the program runs as
    bool GroupMayUse = false; // the group may read and write the device
    bool GroupInNextLogin = false; // the user is in the group, but not yet in this login
    // InUse: the program holding the device, when the lock file or /proc tells.
    qint64 HolderPid = 0;
    QString HolderCommand;
    QString HolderFoundIn; // the lock file or the /proc entry that told
    // NoDevice, Gone: the adapters present instead.
    TAdapterList Adapters;
};

// The failure in a few words, for a reading line or a status bar:
// "permission denied on /dev/ttyUSB0 (group dialout)".
QString PortFailureText(const TPortFailure &A_Failure);
// What happened and what to do about it, in full sentences for a trace, a
// summary or a tooltip: the group and the command that adds the user to it,
// the program holding the device, the adapters present.
QString PortFailureAdvice(const TPortFailure &A_Failure);

class TComPort
{
public:
    virtual ~TComPort() = default;

    virtual int ComNumber() const = 0;
    virtual int Baud() const = 0;
    // Applies at once, also to an open port.
    virtual void SetBaud(int baud) = 0;
    virtual TParity Parity() const = 0;
    virtual void SetParity(TParity parity) = 0;
    virtual int StopBits() const = 0;

    virtual bool Open() const = 0;
    // True opens the device: EBadId when it does not exist, EComError for any
    // other refusal.
    virtual void SetOpen(bool open) = 0;

    virtual int InBuffUsed() const = 0;
    virtual int OutBuffUsed() const = 0;
    virtual void FlushInBuffer() = 0;
    virtual void FlushOutBuffer() = 0;
    // Queues all count bytes for transmission and returns without waiting
    // for them to leave; raises if they cannot be queued.
    virtual void PutBlock(const uint8_t *bytes, int count) = 0;
    // Moves exactly count bytes, oldest first, to the caller; raises and
    // takes nothing when fewer are buffered.
    virtual void GetBlock(uint8_t *bytes, int count) = 0;

    // Why the port last raised a failure. A port that never refuses has
    // nothing to tell.
    virtual TPortFailure LastFailure() const { return {}; }

    // Sleeps until the input buffer holds at least count bytes or timeoutMs
    // have passed, whichever comes first (it may wake earlier), and returns
    // true. A port whose receiving side cannot wake a waiting thread keeps
    // this default, which returns false at once: the link then looks at
    // InBuffUsed in short sleeps of its own.
    virtual bool WaitForInput(int /*count*/, int /*timeoutMs*/) { return false; }

    // Whether the adapter behind the port hands every byte we send back to
    // us ahead of the device's reply. The link learns it from the replies of
    // reads and forgets it when an expected echo does not come.
    bool EchoesTransmission() const { return m_echoes.load(std::memory_order_relaxed); }
    void SetEchoesTransmission(bool echoes) { m_echoes.store(echoes, std::memory_order_relaxed); }

private:
    std::atomic<bool> m_echoes{false};
};

// Settings a port object starts with.
constexpr int kComPortCount = 8;
constexpr int kComDataBits = 8;
constexpr int kComStopBits = 2;
constexpr int kComBufferSize = 4096;
constexpr int kComBaudLow = 9600;   // COM1 and COM2
constexpr int kComBaudHigh = 19200; // COM3 to COM8

// The file that maps COM numbers to devices (its section [ports]); the
// program keeps it beside its parameter file.
inline constexpr char kComMapFileName[] = "fen_mon.ini";
inline constexpr char kComMapSection[] = "ports";

// The device behind "COMn": on Windows the port of that name; elsewhere the
// key COMn of section [ports] in the INI file A_IniFile, and without a key
// /dev/ttyS0 ... /dev/ttyS7 - except COM1 while the section maps nothing
// at all and exactly one USB serial adapter is present (A_Adapters, or the
// machine's list): a fresh installation then needs no mapping.
QString ComDeviceName(int comNumber, const QString &A_IniFile);
QString ComDeviceName(int comNumber, const QString &A_IniFile, const TAdapterList &A_Adapters);
// The keys COM1 ... COM8 that section [ports] of A_IniFile holds, by number.
QMap<int, QString> ComPortMap(const QString &A_IniFile);

class ComPortIo;

// A serial port of the program: created closed, opened by the first send,
// never closed by the program. Its QSerialPort lives in an I/O thread of the
// port layer and receives in the background into a guarded buffer, so every
// operation is safe from a transaction thread while bytes arrive.
class TApdComPort : public TComPort
{
public:
    explicit TApdComPort(int comNumber, const QString &A_IniFile = QString::fromLatin1(kComMapFileName));
    ~TApdComPort() override;

    // A fixed device path instead of the COM number's mapping (tools that
    // take a path on the command line, tests on pseudo-terminals).
    void SetDeviceName(const QString &device);
    QString DeviceName() const;

    int ComNumber() const override { return m_comNumber; }
    int Baud() const override;
    void SetBaud(int baud) override;
    TParity Parity() const override;
    void SetParity(TParity parity) override;
    int StopBits() const override { return kComStopBits; }

    bool Open() const override;
    void SetOpen(bool open) override;

    int InBuffUsed() const override;
    int OutBuffUsed() const override;
    void FlushInBuffer() override;
    void FlushOutBuffer() override;
    void PutBlock(const uint8_t *bytes, int count) override;
    void GetBlock(uint8_t *bytes, int count) override;
    TPortFailure LastFailure() const override;
    // Woken by the I/O thread as bytes arrive.
    bool WaitForInput(int count, int timeoutMs) override;

    // Receive activity for a status light: the number of bytes received
    // since the port was created. A light compares it between its ticks.
    uint64_t ReceivedCount() const;

private:
    const int m_comNumber;
    std::unique_ptr<ComPortIo> m_io;
};

// Owns the eight port objects of a program; entry i of the table is COMi+1.
using TComPortTable = std::array<TComPort *, kComPortCount>;

class TApdComPorts
{
public:
    explicit TApdComPorts(const QString &A_IniFile = QString::fromLatin1(kComMapFileName));
    ~TApdComPorts();
    TApdComPort &port(int comNumber) { return *m_ports.at(comNumber - 1); }
    TComPortTable table() const;

private:
    std::array<std::unique_ptr<TApdComPort>, kComPortCount> m_ports;
};
