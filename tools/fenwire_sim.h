// Simulated Fenwire devices on a pseudo-terminal.
//
// The program under test opens the slave side like a serial port; the
// simulator owns the master side and answers the Fenwire frames the way the
// devices on one RS-485 line do (each optionally behind an FWDL central unit).
// It misbehaves on request, so the link's retries and checks can be exercised
// end to end without hardware.
//
// A line of several devices: each answers its own address only. A real line
// where two devices answer the same frame collides, so here at most one
// device answers any frame: the first in the list that takes it (the one that
// hears it at its baud rate and address and would reply). That is what makes
// the service address 247 work with several devices: the first device that
// hears the frame there answers, the others neither answer nor act on it.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

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
// not act on the request (a write is not carried out): it acts as if it had
// not heard it, so on a line the next device that takes the frame answers
// (at 247, say). The other faults mangle the reply to a request the device
// did act on. BadCrc: reply with a wrong CRC. WrongEcho: reply with another
// sub-function (and CRC right). Partial: only the first 4 bytes of the reply.
// Delay: the reply comes delayMs later. BadLength: a reply whose length field
// is 3, or the value given as delayMs when that is not 0 (600 for a frame
// longer than any buffer), CRC right over what is sent. Garbage: 1..40 random
// bytes instead of the reply.

struct Config {
    DeviceKind kind = DeviceKind::FWTH01;
    int address = 1;          // the device's own address; it ALSO answers at 247 (see above)
    int baud = 9600;          // frames sent at another baud rate are ignored
    int parity = 0;           // 0 none, 1 odd, 2 even (reported by sub-function 22)
    bool fahrenheit = false;  // status bit 4
    bool curve = true;        // slow synthetic readings; false: fixed values below
    int temperature = 215;    // tenths (signed), as the device reports it in its unit
    int humidity = 453;       // tenths
    uint8_t statusByte = 0;   // extra status bits (door state bits 6-7, ADC channel errors)
    uint8_t modeByte = 0;
    uint16_t serial = 12345;  int year = 14; int month = 3; int day = 9; // production date (year-2000)
    int variant = -1;         // the variant it identifies with; -1: its kind's own
    QByteArray version = "1.07";   // 4 characters (blank-padded or cut)
    int32_t makerSerial = 987654;
    bool fwdl = false; int fwdlAddress = 100; int fwdlBaud = 19200; // behind an FWDL unit
    // The line's timing. Without the character time bytes cross the pty at
    // once; with it, a reply starts only after the request's last byte would
    // have left the line at the program side's baud rate, and its bytes (and
    // the echo below) come at the pace of the line (11 bits a character).
    // charTime and echo belong to the line, not to a device: they are on when
    // any device's config asks for them.
    bool charTime = false;
    int turnaroundMs = 5;     // the device's pause between a request's end and its reply
    bool echo = false;        // the adapter hands every byte sent back to the program side
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
    int device = -1;       // the answering device's place in the list, -1 when none answered
};

struct State {             // device state as it is now
    int address, baud, parity; bool fahrenheit; bool serviceMode;
    int adcType1, adcType2; std::array<uint16_t, 8> adcRanges; bool fwdlTransparent;
};

// The line's answer to one frame: the reply as it leaves (its fault applied),
// or why nobody answers.
struct Answer {
    QByteArray reply;          // empty: nobody answers
    int device = -1;           // the answering device's place in the list
    Fault fault = Fault::None; // the fault the reply got
    int faultParam = 0;        // its parameter: Delay's milliseconds, BadLength's length field
    QString note;              // why nobody answers (empty: the frame was ignored)
};

// The framing of the line, as the serving thread applies it to the bytes it
// has received: the whole frames at the front of rx are taken off it, in
// order. A header that no Fenwire frame has (a function other than read and
// write, or a length field no buffer takes) makes all that is left noise:
// it is moved to *noise, as a device throws such bytes away. What stays in rx
// is the start of a frame not yet whole (fewer bytes than its length field).
QList<QByteArray> takeFrames(QByteArray &rx, QByteArray *noise);

// Calls without an address speak to the first device of the list (with one
// device, to the device); those with an address to the first device whose own
// address that is now, and return false when there is none. The request log
// is the line's.
class Simulator {
public:
    explicit Simulator(Config config = {});
    explicit Simulator(std::vector<Config> devices); // in line order; an empty list means one default device
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
    bool setFault(int address, Fault fault, int count, int delayMs = 0);
    bool setFaultRate(int address, Fault fault, double rate, int delayMs = 0);
    bool setReadings(int address, int temperatureTenths, int humidityTenths);
    int deviceCount() const;
    QList<State> states() const;         // one per device, in line order
    QList<Request> requests() const;     // everything received so far (thread-safe copy)
    void clearRequests();
    int count(uint8_t subFunction) const;// requests received with this sub-function (good CRC)

    // The line's answer to one whole frame (as takeFrames cuts them) heard
    // at `baud`, decided as the serving thread decides it, with its effect
    // on the device made at once, as though the reply had gone out. Nothing
    // goes on the pty and the frame is not logged; the simulator need not
    // be started. The pure core of the simulator, for tests and fuzzing.
    Answer answer(const QByteArray &frame, int baud);

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
