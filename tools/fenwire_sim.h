// A simulated Fenwire device on a pseudo-terminal.
//
// The program under test opens the slave side like a serial port; the
// simulator owns the master side and answers the Fenwire frames the way one
// device on an RS-485 line does (optionally behind an FWDL central unit). It
// misbehaves on request, so the link's retries and checks can be exercised
// end to end without hardware.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

namespace fwsim {

enum class DeviceKind { FWTH01, FWTH02, FWT01, FWT02, RH15, FWADC01, HERON30, UNKNOWN255 };
// FWTH01/FWTH02: 13-byte measurement (humidity+temperature), identify type 1 variant 0/1.
// FWT01/FWT02: 11-byte measurement (temperature only), identify type 2 variant 0/1.
// RH15: humidity+temperature, 15-byte measurement reply; identifies as type 1 variant 1.
// FWADC01: identify type 3; 13-byte measurement (channel 1 value in the humidity slot, channel 2
//   in the temperature slot), status bit 0 / bit 2 = channel 1 / 2 error, mode 255 = converter damaged.
// HERON30: identifies as the programmer device (type 30); UNKNOWN255: as type 255, a device this
//   program does not know. Both otherwise answer as a humidity transmitter.

enum class Fault { None, Silence, BadCrc, WrongEcho, Partial, Delay, BadLength, Garbage };
// A fault goes to a reply the device (or its FWDL unit) would send; requests
// it ignores anyway do not use one up. Silence: no reply, and the device does
// not act on the request (a write is not carried out). The other faults
// mangle the reply to a request the device did act on.
// BadCrc: reply with a wrong CRC. WrongEcho: reply with another sub-function
// (and CRC right). Partial: only the first 4 bytes of the reply. Delay: reply
// after delayMs. BadLength: a reply whose length field is 3, or the value
// given as delayMs when that is not 0 (600 for a frame longer than any
// buffer), CRC right over what is sent. Garbage: 1..40 random bytes instead
// of the reply.

struct Config {
    DeviceKind kind = DeviceKind::FWTH01;
    int address = 1;          // the device's own address; it ALSO always answers at 247
    int baud = 9600;          // frames sent at another baud rate are ignored
    int parity = 0;           // 0 none, 1 odd, 2 even (reported by sub-function 22)
    bool fahrenheit = false;  // status bit 4
    bool curve = true;        // slow synthetic readings; false: fixed values below
    int temperature = 215;    // tenths (signed), as the device reports it in its unit
    int humidity = 453;       // tenths
    uint8_t statusByte = 0;   // extra status bits (door state bits 6-7, ADC channel errors)
    uint8_t modeByte = 0;
    uint16_t serial = 12345;  int year = 14; int month = 3; int day = 9; // production date (year-2000)
    QByteArray version = "1.07";   // 4 characters (blank-padded or cut)
    int32_t makerSerial = 987654;
    bool fwdl = false; int fwdlAddress = 100; int fwdlBaud = 19200; // behind an FWDL unit
    bool charTime = false;    // model the character time of the line on replies
    int serviceModeMs = 5000; // FWTH-01: service mode lasts this long unless repeated
    // ADC module state
    int adcType1 = 0, adcType2 = 3;
    // K1 0-20 first/second, K2 0-20 first/second, then the same for 4-20 mA
    std::array<uint16_t, 8> adcRanges{0, 1000, 0, 1000, 0, 1000, 0, 1000};
};

struct Request {           // one frame the simulator received
    int64_t atMs;          // monotonic ms (TickMS), when its last byte arrived
    int baud;              // the program side's baud rate when it arrived
    bool oddParity;        // PARODD as seen on the master
    QByteArray frame;      // the whole frame as received (CRC included)
    bool answered;         // whether a reply (even a faulty one) was sent
};

struct State {             // device state as it is now
    int address, baud, parity; bool fahrenheit; bool serviceMode;
    int adcType1, adcType2; std::array<uint16_t, 8> adcRanges; bool fwdlTransparent;
};

class Simulator {
public:
    explicit Simulator(Config config = {});
    ~Simulator();                        // stops the thread, closes the master, removes the link
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    bool start(QString *error = nullptr);// openpty (raw mode on both sides), starts the serving thread
    QString devicePath() const;          // slave path, e.g. /dev/pts/5; empty while unplugged
    bool setLink(const QString &path, QString *error = nullptr); // symlink to the slave, kept across replug
    void unplug();                       // closes the master (the program side sees the device go away)
    bool replug(QString *error = nullptr); // a new pty; the link (if any) is pointed at the new slave
    void setFault(Fault fault, int count, int delayMs = 0); // the next `count` requests get the fault
    void setFaultRate(Fault fault, double rate, int delayMs = 0); // a fraction of all requests
    void setReadings(int temperatureTenths, int humidityTenths); // also switches the curve off
    void setConfig(const Config &config); // replace the whole config/state (e.g. kind)
    State state() const;
    QList<Request> requests() const;     // everything received so far (thread-safe copy)
    void clearRequests();
    int count(uint8_t subFunction) const;// requests received with this sub-function (good CRC)

    // One line per frame received and per reply sent, for a technician's
    // trace. Called on the serving thread; it must not call back into the
    // simulator.
    void setTrace(std::function<void(const QString &line)> trace);

    struct Impl;

private:
    std::unique_ptr<Impl> m_d;
};

QString kindName(DeviceKind kind);
// The kind of that name (as kindName gives it), if there is one.
bool kindFromName(const QString &name, DeviceKind &kind);
QStringList kindNames();

} // namespace fwsim
