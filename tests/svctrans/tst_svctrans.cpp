// The service transactions: identification, service mode, a transmitter's
// line settings and the ADC module's channel set-up. End to end against the
// device simulator on a pseudo-terminal, run the way the service window runs
// them (service address and speed, one transaction at a time); replies the
// simulator does not make (cut short, one sub-function misbehaving while the
// next behaves) come from the in-memory port.
#include "dn_comport.h"
#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "dn_transakcja.h"
#include "fenwire_sim.h"
#include "frames.h"
#include "memport.h"

#include <QtCore/QDate>
#include <QtTest/QtTest>
#include <memory>
#include <tuple>

Q_DECLARE_METATYPE(fwsim::DeviceKind)
Q_DECLARE_METATYPE(fwsim::Fault)

namespace {

constexpr int kCom = 1;
constexpr int kServiceAddress = 247;
constexpr int kServiceBaud = 9600;
constexpr int kDeviceAddress = 5;

// Two requests closer than this had no pause between them: an answered
// exchange with the simulator takes a few tens of milliseconds.
constexpr int kNoPauseBelowMs = 1000;

using Replies = QMap<int, QByteArray>; // sub-function -> the whole reply frame

fwsim::Config device(fwsim::DeviceKind kind)
{
    fwsim::Config c;
    c.kind = kind;
    c.address = kDeviceAddress;
    c.baud = kServiceBaud;
    c.curve = false;
    return c;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b.append(static_cast<char>(v));
    return b;
}

QByteArray dataOf(const QByteArray &frame)
{
    return frame.mid(kModbusHeaderSize, frame.size() - kModbusMinFrame);
}

int subFunctionOf(const QByteArray &frame)
{
    return static_cast<uint8_t>(frame.at(2));
}

QList<int> subFunctions(const QList<fwsim::Request> &requests)
{
    QList<int> subs;
    for (const fwsim::Request &r : requests)
        subs << subFunctionOf(r.frame);
    return subs;
}

QByteArray bigEndian(std::initializer_list<uint16_t> values)
{
    QByteArray b;
    for (uint16_t v : values) {
        b.append(static_cast<char>(v >> 8));
        b.append(static_cast<char>(v & 0xFF));
    }
    return b;
}

auto identification(const TPWT_ID_Informacja &r)
{
    return std::make_tuple(r.ID.Dev_Type, r.ID.Dev_Type_Details, r.ID.Serial_Number, r.Year, r.Month, r.Day,
                           r.Version, r.Dornal_serial_Number, r.Reserved1, r.Reserved2);
}

auto fwdlInputs(const TPWT_ID_Informacja &r)
{
    return std::make_tuple(r.FwdlAdres, r.FwdlPredk, r.FwdlTransparent);
}

// A record that a previous identification might have left: every field set,
// none to the values the simulator reports.
TPWT_ID_Informacja earlierIdentification()
{
    TPWT_ID_Informacja r;
    r.ID.Dev_Type = 2;
    r.ID.Dev_Type_Details = 7;
    r.ID.Serial_Number = 777;
    r.Year = 20;
    r.Month = 12;
    r.Day = 31;
    r.Version = {'9', '.', '9', '9'};
    r.Dornal_serial_Number = -5;
    r.Reserved1 = 0xAA;
    r.Reserved2 = 0x55;
    r.FwdlAdres = 100;
    r.FwdlPredk = 19200;
    r.Status_Transmisji = kRecordPending;
    return r;
}

// The identity of the simulator's FWTH-01 with serial number 12345.
TPWT_ID_Informacja fwth01Identification()
{
    TPWT_ID_Informacja r = earlierIdentification();
    r.ID.Dev_Type = DT_FWTH;
    r.ID.Dev_Type_Details = 0;
    r.ID.Serial_Number = 12345;
    return r;
}

// One serial line with a simulated device behind COM1.
struct Line
{
    explicit Line(const fwsim::Config &config)
        : sim(config)
    {
    }
    bool start()
    {
        QString error;
        if (!sim.start(&error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        port.SetDeviceName(sim.devicePath());
        table[0] = &port;
        return true;
    }

    fwsim::Simulator sim;
    TApdComPort port{kCom};
    TComPortTable table{};
};

// Starts transaction T on the record the way the service window does and
// waits until it has ended; the completion event must carry the status the
// record got.
template<class T, class Record>
bool run(const TComPortTable &table, Record &record, int address = kServiceAddress)
{
    const int status = WykonajTransakcje<T>(table, {kCom, address, kServiceBaud}, record);
    return status == record.Status_Transmisji;
}

// An in-memory line that answers each sub-function with a fixed frame, or
// not at all.
struct ScriptedLine
{
    explicit ScriptedLine(const Replies &replies)
    {
        port.responder = [replies](MemPort &p, int, const QByteArray &frame) {
            const QByteArray reply = replies.value(subFunctionOf(frame));
            if (!reply.isEmpty())
                p.arrive(reply);
        };
        table[0] = &port;
    }
    QList<int> sent() const
    {
        QList<int> subs;
        for (const MemPort::Sent &s : port.sent())
            subs << subFunctionOf(s.frame);
        return subs;
    }

    MemPort port;
    TComPortTable table{};
};

QByteArray readReply(int subFun, const QByteArray &data)
{
    return replyFrame(kServiceAddress, kFunRead, static_cast<uint8_t>(subFun), data);
}

QByteArray wrongEcho(int subFun, const QByteArray &data)
{
    return replyFrame(kServiceAddress, kFunRead, static_cast<uint8_t>(subFun + 1), data);
}

QByteArray badCrc(QByteArray frame)
{
    frame[frame.size() - 1] = static_cast<char>(frame.at(frame.size() - 1) ^ 0xFF);
    return frame;
}

// A module measurement: channel values, status 0, mode 0.
const QByteArray kModuleMeasurement = readReply(SF_MEASURE, bytes({0, 100, 0, 200, 0, 0}));

enum class Transaction { GetTrans, GetFwadc, SetFwadc };

} // namespace

Q_DECLARE_METATYPE(Transaction)

class TstSvcTrans : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // ---- identification ----

    void identify_data()
    {
        QTest::addColumn<fwsim::DeviceKind>("kind");
        QTest::addColumn<bool>("throughFwdl");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("variant");
        using K = fwsim::DeviceKind;
        QTest::newRow("FWTH-01: type 1, variant 0") << K::FWTH01 << false << 1 << 0;
        QTest::newRow("FWT-02: type 2, variant 1") << K::FWT02 << false << 2 << 1;
        QTest::newRow("FWADC-01: type 3") << K::FWADC01 << false << 3 << 0;
        QTest::newRow("FWTH-01 behind an FWDL unit") << K::FWTH01 << true << 1 << 0;
    }
    void identify()
    {
        QFETCH(fwsim::DeviceKind, kind);
        QFETCH(bool, throughFwdl);
        QFETCH(int, type);
        QFETCH(int, variant);

        fwsim::Config config = device(kind);
        config.serial = 12345; // goes out as 57, 48
        config.year = 14;
        config.month = 3;
        config.day = 9;
        config.version = "1.07";
        config.makerSerial = 987654;
        config.fwdl = throughFwdl;
        config.fwdlAddress = 100;
        config.fwdlBaud = 19200;
        Line line(config);
        QVERIFY(line.start());

        TPWT_ID_Informacja record = earlierIdentification();
        record.FwdlTransparent = throughFwdl;
        const TPWT_ID_Informacja before = record;
        QVERIFY(run<TTHR_RH_Get_ID>(line.table, record));

        QCOMPARE(record.Status_Transmisji, ST_OK);
        QCOMPARE(record.ID.Dev_Type, type);
        QCOMPARE(record.ID.Dev_Type_Details, variant);
        QCOMPARE(record.ID.Serial_Number, 12345);
        // The identity goes back to the device exactly as it came.
        const std::array<uint8_t, 4> identity{uint8_t(type), uint8_t(variant), 57, 48};
        QVERIFY(record.ID.ID_TAB() == identity);
        QCOMPARE(QDate(2000 + record.Year, record.Month, record.Day), QDate(2014, 3, 9));
        QCOMPARE(QByteArray(record.Version.data(), int(record.Version.size())), QByteArray("1.07"));
        QCOMPARE(record.Dornal_serial_Number, 987654);
        QVERIFY(fwdlInputs(record) == fwdlInputs(before));

        const QList<fwsim::Request> requests = line.sim.requests();
        const QByteArray request = withCrc(hexFrame("F7 46 15 00 07"));
        if (throughFwdl) {
            QCOMPARE(subFunctions(requests), QList<int>({SF_FWDL_TRANSPARENT, SF_IDENTIFY}));
            QCOMPARE(requests[0].frame, withCrc(hexFrame("64 47 12 00 07")));
            QCOMPARE(requests[0].baud, 19200);
            QCOMPARE(requests[1].baud, kServiceBaud);
            QCOMPARE(requests[1].frame, request);
        } else {
            QCOMPARE(requests.size(), 1);
            QCOMPARE(requests[0].frame, request);
        }
    }

    void identifyUnanswered()
    {
        Line line(device(fwsim::DeviceKind::FWT01));
        QVERIFY(line.start());
        line.sim.setFault(fwsim::Fault::Silence, 4);

        TPWT_ID_Informacja record = earlierIdentification();
        const TPWT_ID_Informacja before = record;
        QVERIFY(run<TTHR_RH_Get_ID>(line.table, record));

        QCOMPARE(record.Status_Transmisji, ST_NO_REPLY);
        QCOMPARE(line.sim.count(SF_IDENTIFY), 4);
        QVERIFY(identification(record) == identification(before));
        QVERIFY(fwdlInputs(record) == fwdlInputs(before));
    }

    // A reply that stops short fills what it holds; the rest reads as 0,
    // not as whatever lay in the buffer behind the frame.
    void identifyShortReply()
    {
        ScriptedLine line({{SF_IDENTIFY, readReply(SF_IDENTIFY, bytes({1, 0, 57, 48, 14}))}});
        TPWT_ID_Informacja record = earlierIdentification();
        const TPWT_ID_Informacja before = record;
        QVERIFY(run<TTHR_RH_Get_ID>(line.table, record));

        QCOMPARE(record.Status_Transmisji, ST_OK);
        QCOMPARE(record.ID.Serial_Number, 12345);
        QCOMPARE(record.Year, 14);
        QCOMPARE(record.Month, 0);
        QCOMPARE(record.Day, 0);
        QVERIFY(record.Version == (std::array<char, 4>{}));
        QCOMPARE(record.Dornal_serial_Number, 0);
        QVERIFY(fwdlInputs(record) == fwdlInputs(before));
    }

    // ---- service mode ----

    void serviceMode_data()
    {
        QTest::addColumn<fwsim::Fault>("fault");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("inServiceMode");
        QTest::addColumn<int>("sends");
        QTest::newRow("answered") << fwsim::Fault::None << int(ST_OK) << true << 1;
        QTest::newRow("unanswered") << fwsim::Fault::Silence << int(ST_NO_REPLY) << false << 3;
    }
    void serviceMode()
    {
        QFETCH(fwsim::Fault, fault);
        QFETCH(int, status);
        QFETCH(bool, inServiceMode);
        QFETCH(int, sends);

        Line line(device(fwsim::DeviceKind::FWTH01));
        QVERIFY(line.start());
        line.sim.setFault(fault, 3);

        TPWT_ID_Informacja record = fwth01Identification();
        record.FwdlTransparent = true;
        const TPWT_ID_Informacja before = record;
        QVERIFY(run<TTHR_RH_EnterServiceMode>(line.table, record));

        QCOMPARE(record.Status_Transmisji, status);
        QCOMPARE(line.sim.state().serviceMode, inServiceMode);
        const QList<fwsim::Request> requests = line.sim.requests();
        QCOMPARE(requests.size(), sends);
        // Type 1, variant 0, serial number 12345 low byte first.
        for (const fwsim::Request &r : requests)
            QCOMPARE(r.frame, withCrc(hexFrame("F7 47 FA 00 0B 01 00 39 30")));
        QVERIFY(identification(record) == identification(before));
        QVERIFY(fwdlInputs(record) == fwdlInputs(before));
    }

    // An FWTH-01 keeps its settings to itself until it is in service mode.
    void fwth01SettingsNeedServiceMode()
    {
        Line line(device(fwsim::DeviceKind::FWTH01));
        QVERIFY(line.start());

        TPWTTrans trans;
        QVERIFY(run<TTHR_RH_Get_Trans>(line.table, trans));
        QCOMPARE(trans.Status_Transmisji, ST_PARAMS_FAILED);

        TPWT_ID_Informacja id;
        QVERIFY(run<TTHR_RH_Get_ID>(line.table, id));
        QCOMPARE(id.Status_Transmisji, ST_OK);
        QVERIFY(run<TTHR_RH_EnterServiceMode>(line.table, id));
        QCOMPARE(id.Status_Transmisji, ST_OK);

        QVERIFY(run<TTHR_RH_Get_Trans>(line.table, trans));
        QCOMPARE(trans.Status_Transmisji, ST_OK);
        QCOMPARE(trans.adres, kDeviceAddress);
    }

    // ---- a transmitter's line settings ----

    void readSettings_data()
    {
        QTest::addColumn<fwsim::DeviceKind>("kind");
        QTest::addColumn<bool>("fahrenheit");
        using K = fwsim::DeviceKind;
        QTest::newRow("11-byte measurement, Fahrenheit") << K::FWT01 << true;
        QTest::newRow("11-byte measurement, Celsius") << K::FWT01 << false;
        QTest::newRow("13-byte measurement, Fahrenheit") << K::FWTH02 << true;
        QTest::newRow("15-byte measurement, Fahrenheit") << K::RH15 << true;
        QTest::newRow("15-byte measurement, Celsius") << K::RH15 << false;
    }
    // The settings 32, 2, 5 are 9600 baud, even parity, address 5; the unit
    // comes from a measurement frame of whatever length. Writing back what
    // was read leaves the device as it was.
    void readSettings()
    {
        QFETCH(fwsim::DeviceKind, kind);
        QFETCH(bool, fahrenheit);

        fwsim::Config config = device(kind);
        config.parity = PC_EVEN;
        config.fahrenheit = fahrenheit;
        Line line(config);
        QVERIFY(line.start());

        TPWTTrans record;
        record.predkosc = 1200;
        record.FahrCels = fahrenheit ? 0 : 1;
        record.Status_Transmisji = kRecordPending;
        QVERIFY(run<TTHR_RH_Get_Trans>(line.table, record));

        QCOMPARE(record.Status_Transmisji, ST_OK);
        QCOMPARE(record.predkosc, 9600);
        QCOMPARE(record.parzystosc, PC_EVEN);
        QCOMPARE(record.adres, kDeviceAddress);
        QCOMPARE(record.FahrCels, fahrenheit ? 1 : 0);
        const QList<fwsim::Request> read = line.sim.requests();
        QCOMPARE(subFunctions(read), QList<int>({SF_PARAMS_READ, SF_MEASURE}));
        QCOMPARE(read[0].frame, withCrc(hexFrame("F7 46 16 00 07")));

        line.sim.clearRequests();
        QVERIFY(run<TTHR_RH_Set_Trans>(line.table, record));
        QCOMPARE(record.Status_Transmisji, ST_OK);
        const QList<fwsim::Request> written = line.sim.requests();
        QCOMPARE(subFunctions(written), QList<int>({SF_UNIT_WRITE, SF_PARAMS_WRITE}));
        QCOMPARE(dataOf(written[0].frame), bytes({fahrenheit ? 1 : 0}));
        QCOMPARE(dataOf(written[1].frame), bytes({32, PC_EVEN, kDeviceAddress}));
        const fwsim::State state = line.sim.state();
        QCOMPARE(state.fahrenheit, fahrenheit);
        QCOMPARE(state.baud, 9600);
        QCOMPARE(state.parity, int(PC_EVEN));
        QCOMPARE(state.address, kDeviceAddress);
    }

    void readSettingsFails_data()
    {
        QTest::addColumn<fwsim::Fault>("fault");
        QTest::addColumn<int>("count");
        QTest::newRow("unanswered") << fwsim::Fault::Silence << 3;
        QTest::newRow("wrong echo") << fwsim::Fault::WrongEcho << 1;
        QTest::newRow("bad CRC on every attempt") << fwsim::Fault::BadCrc << 3;
    }
    void readSettingsFails()
    {
        QFETCH(fwsim::Fault, fault);
        QFETCH(int, count);
        Line line(device(fwsim::DeviceKind::FWT01));
        QVERIFY(line.start());
        line.sim.setFault(fault, count);

        TPWTTrans record;
        QVERIFY(run<TTHR_RH_Get_Trans>(line.table, record));
        QCOMPARE(record.Status_Transmisji, ST_PARAMS_FAILED);
        QCOMPARE(line.sim.count(SF_MEASURE), 0);
    }

    void writeSettings_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("unit");
        QTest::addColumn<fwsim::Fault>("fault");
        QTest::addColumn<int>("faultCount");
        QTest::addColumn<int>("status");
        QTest::addColumn<QList<int>>("sent");
        QTest::addColumn<QByteArray>("settingsData");
        QTest::addColumn<bool>("settingsTaken");
        QTest::addColumn<bool>("unitTaken");

        using F = fwsim::Fault;
        const int u = SF_UNIT_WRITE;
        const int p = SF_PARAMS_WRITE;
        QTest::newRow("57600 baud goes as 192")
            << 57600 << int(PC_EVEN) << 7 << 1 << F::None << 0 << int(ST_OK) << QList<int>{u, p}
            << bytes({192, 2, 7}) << true << true;
        QTest::newRow("1200 baud goes as 4")
            << 1200 << int(PC_ODD) << 9 << 0 << F::None << 0 << int(ST_OK) << QList<int>{u, p} << bytes({4, 1, 9})
            << true << true;
        QTest::newRow("unit write unanswered, settings still written")
            << 19200 << int(PC_NONE) << 7 << 1 << F::Silence << 3 << int(ST_OK) << QList<int>{u, u, u, p}
            << bytes({64, 0, 7}) << true << false;
        QTest::newRow("settings write with a wrong echo")
            << 19200 << int(PC_NONE) << 7 << 1 << F::WrongEcho << 2 << int(ST_PARAMS_FAILED) << QList<int>{u, p}
            << bytes({64, 0, 7}) << true << true;
        QTest::newRow("settings write unanswered")
            << 19200 << int(PC_NONE) << 7 << 1 << F::Silence << 6 << int(ST_NO_REPLY)
            << QList<int>{u, u, u, p, p, p} << bytes({64, 0, 7}) << false << false;
        QTest::newRow("115200 baud does not fit its byte")
            << 115200 << int(PC_NONE) << 7 << 1 << F::None << 0 << int(ST_PARAMS_FAILED) << QList<int>{}
            << QByteArray() << false << false;
        QTest::newRow("address 261 does not fit its byte")
            << 9600 << int(PC_NONE) << 261 << 1 << F::None << 0 << int(ST_PARAMS_FAILED) << QList<int>{}
            << QByteArray() << false << false;
    }
    void writeSettings()
    {
        QFETCH(int, baud);
        QFETCH(int, parity);
        QFETCH(int, address);
        QFETCH(int, unit);
        QFETCH(fwsim::Fault, fault);
        QFETCH(int, faultCount);
        QFETCH(int, status);
        QFETCH(QList<int>, sent);
        QFETCH(QByteArray, settingsData);
        QFETCH(bool, settingsTaken);
        QFETCH(bool, unitTaken);

        Line line(device(fwsim::DeviceKind::FWT01));
        QVERIFY(line.start());
        line.sim.setFault(fault, faultCount);

        TPWTTrans record;
        record.predkosc = baud;
        record.parzystosc = static_cast<uint16_t>(parity);
        record.adres = static_cast<uint16_t>(address);
        record.FahrCels = static_cast<uint8_t>(unit);
        record.Status_Transmisji = kRecordPending;
        QVERIFY(run<TTHR_RH_Set_Trans>(line.table, record));

        QCOMPARE(record.Status_Transmisji, status);
        QCOMPARE(record.predkosc, baud);
        QCOMPARE(record.adres, address);
        const QList<fwsim::Request> requests = line.sim.requests();
        QCOMPARE(subFunctions(requests), sent);
        for (const fwsim::Request &r : requests) {
            QCOMPARE(r.frame.at(0), char(kServiceAddress));
            if (subFunctionOf(r.frame) == SF_UNIT_WRITE)
                QCOMPARE(dataOf(r.frame), bytes({unit}));
            else
                QCOMPARE(dataOf(r.frame), settingsData);
        }
        const fwsim::State state = line.sim.state();
        QCOMPARE(state.baud, settingsTaken ? baud : kServiceBaud);
        QCOMPARE(state.address, settingsTaken ? address : kDeviceAddress);
        QCOMPARE(state.parity, settingsTaken ? parity : int(PC_NONE));
        QCOMPARE(state.fahrenheit, unitTaken && unit == 1);
    }

    // ---- the ADC module ----

    void readModule_data()
    {
        QTest::addColumn<int>("modeByte");
        QTest::addColumn<int>("statusByte");
        QTest::addColumn<bool>("fahrenheit");
        QTest::addColumn<int>("type1");
        QTest::addColumn<int>("type2");
        QTest::addColumn<bool>("damaged");
        QTest::addColumn<bool>("error1");
        QTest::addColumn<bool>("error2");
        QTest::newRow("mode 255: converter damaged; status 5: both channel errors")
            << 255 << 5 << true << int(FCT_020MA) << int(FCT_420MA) << true << true << true;
        QTest::newRow("status 4: channel 2 error") << 0 << 4 << false << int(FCT_PT100) << int(FCT_TC_N) << false
                                                  << false << true;
        QTest::newRow("status 1: channel 1 error") << 0 << 1 << false << int(FCT_PT1000) << int(FCT_TC_K)
                                                  << false << true << false;
        QTest::newRow("healthy") << 0 << 0 << true << int(FCT_TC_R) << int(FCT_PT500) << false << false << false;
    }
    void readModule()
    {
        QFETCH(int, modeByte);
        QFETCH(int, statusByte);
        QFETCH(bool, fahrenheit);
        QFETCH(int, type1);
        QFETCH(int, type2);
        QFETCH(bool, damaged);
        QFETCH(bool, error1);
        QFETCH(bool, error2);

        fwsim::Config config = device(fwsim::DeviceKind::FWADC01);
        config.modeByte = static_cast<uint8_t>(modeByte);
        config.statusByte = static_cast<uint8_t>(statusByte);
        config.fahrenheit = fahrenheit;
        config.adcType1 = type1;
        config.adcType2 = type2;
        // High bytes that differ from the low ones, and one above 32767.
        config.adcRanges = {0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C, 0x0D0E, 0xFEDC};
        Line line(config);
        QVERIFY(line.start());

        TFwadc_Informacja record;
        record.Status_Transmisji = kRecordPending;
        QVERIFY(run<TTHR_RH_GetFwadc>(line.table, record));

        QCOMPARE(record.Status_Transmisji, ST_OK);
        QCOMPARE(subFunctions(line.sim.requests()), QList<int>({SF_MEASURE, SF_ADC_CONFIG_READ}));
        QCOMPARE(record.Adres, kDeviceAddress);
        QCOMPARE(record.PrzetwornikUszkodzony, damaged);
        QCOMPARE(record.Kanal1Error, error1);
        QCOMPARE(record.Kanal2Error, error2);
        QCOMPARE(record.Jednostka, fahrenheit ? 1 : 0);
        QCOMPARE(record.Kanal1Typ, type1);
        QCOMPARE(record.Kanal2Typ, type2);
        const std::array<uint16_t, 8> ranges{record.Kanal1Range0201, record.Kanal1Range0202, record.Kanal2Range0201,
                                             record.Kanal2Range0202, record.Kanal1Range4201, record.Kanal1Range4202,
                                             record.Kanal2Range4201, record.Kanal2Range4202};
        QVERIFY(ranges == config.adcRanges);
    }

    void writeModule_data()
    {
        QTest::addColumn<int>("readType1");
        QTest::addColumn<int>("readType2");
        QTest::addColumn<int>("newType1");
        QTest::addColumn<int>("newType2");
        QTest::addColumn<QList<int>>("sent");
        // The least pause before each request after the first; 0: none.
        QTest::addColumn<QList<int>>("pausesMs");
        QTest::addColumn<QList<QByteArray>>("typeWrites");
        QTest::addColumn<bool>("rangesWritten");

        const int types = SF_ADC_TYPES_READ;
        const int type = SF_ADC_TYPE_WRITE;
        const int r020 = SF_RANGES_020_WRITE;
        const int r420 = SF_RANGES_420_WRITE;
        const int unit = SF_UNIT_WRITE;
        const int params = SF_PARAMS_WRITE;
        QTest::newRow("only channel 2 changes, channel 2 reads 0-20 mA")
            << int(FCT_PT100) << int(FCT_020MA) << int(FCT_PT100) << int(FCT_420MA)
            << QList<int>{types, type, r020, r420, unit, params} << QList<int>{0, 2500, 0, 1500, 0}
            << QList<QByteArray>{bytes({kFwadcChannel2, FCT_420MA})} << true;
        QTest::newRow("both become current loops, none reads as one")
            << int(FCT_PT100) << int(FCT_TC_K) << int(FCT_020MA) << int(FCT_420MA)
            << QList<int>{types, type, type, unit, params} << QList<int>{1500, 1500, 1500, 0}
            << QList<QByteArray>{bytes({kFwadcChannel1, FCT_020MA}), bytes({kFwadcChannel2, FCT_420MA})} << false;
        QTest::newRow("nothing changes, no current loop")
            << int(FCT_PT500) << int(FCT_TC_J) << int(FCT_PT500) << int(FCT_TC_J) << QList<int>{types, unit, params}
            << QList<int>{0, 0} << QList<QByteArray>{} << false;
    }
    // The module ends every write at 9600 baud, no parity, the record's
    // address and unit, whatever else it was told.
    void writeModule()
    {
        QFETCH(int, readType1);
        QFETCH(int, readType2);
        QFETCH(int, newType1);
        QFETCH(int, newType2);
        QFETCH(QList<int>, sent);
        QFETCH(QList<int>, pausesMs);
        QFETCH(QList<QByteArray>, typeWrites);
        QFETCH(bool, rangesWritten);

        fwsim::Config config = device(fwsim::DeviceKind::FWADC01);
        config.parity = PC_ODD;
        config.adcType1 = readType1;
        config.adcType2 = readType2;
        Line line(config);
        QVERIFY(line.start());

        TFwadc_Informacja record;
        record.Adres = 9;
        record.Jednostka = 1;
        record.Kanal1Typ = newType1;
        record.Kanal2Typ = newType2;
        const std::array<uint16_t, 8> ranges{10, 200, 3000, 40000, 50, 600, 7000, 65535};
        record.Kanal1Range0201 = ranges[0];
        record.Kanal1Range0202 = ranges[1];
        record.Kanal2Range0201 = ranges[2];
        record.Kanal2Range0202 = ranges[3];
        record.Kanal1Range4201 = ranges[4];
        record.Kanal1Range4202 = ranges[5];
        record.Kanal2Range4201 = ranges[6];
        record.Kanal2Range4202 = ranges[7];
        record.Status_Transmisji = kRecordPending;
        QVERIFY(run<TTHR_RH_SetFwadc>(line.table, record));

        QCOMPARE(record.Status_Transmisji, ST_OK);
        const QList<fwsim::Request> requests = line.sim.requests();
        QCOMPARE(subFunctions(requests), sent);
        for (int i = 1; i < requests.size(); ++i) {
            const int64_t gap = requests[i].atMs - requests[i - 1].atMs;
            const int pause = pausesMs[i - 1];
            if (pause == 0)
                QVERIFY2(gap < kNoPauseBelowMs, qPrintable(QStringLiteral("request %1: %2 ms").arg(i).arg(gap)));
            else
                QVERIFY2(gap >= pause, qPrintable(QStringLiteral("request %1: %2 ms").arg(i).arg(gap)));
        }

        QList<QByteArray> types;
        for (const fwsim::Request &r : requests) {
            const QByteArray data = dataOf(r.frame);
            switch (subFunctionOf(r.frame)) {
            case SF_ADC_TYPE_WRITE:
                types << data;
                break;
            case SF_RANGES_020_WRITE:
                QCOMPARE(data, bigEndian({ranges[0], ranges[1], ranges[2], ranges[3]}));
                break;
            case SF_RANGES_420_WRITE:
                QCOMPARE(data, bigEndian({ranges[4], ranges[5], ranges[6], ranges[7]}));
                break;
            case SF_UNIT_WRITE:
                QCOMPARE(data, bytes({1}));
                break;
            case SF_PARAMS_WRITE:
                QCOMPARE(data, bytes({32, PC_NONE, 9}));
                break;
            default:
                break;
            }
        }
        QCOMPARE(types, typeWrites);

        const fwsim::State state = line.sim.state();
        QCOMPARE(state.adcType1, newType1);
        QCOMPARE(state.adcType2, newType2);
        QVERIFY(state.adcRanges == (rangesWritten ? ranges : config.adcRanges));
        QCOMPARE(state.baud, 9600);
        QCOMPARE(state.parity, int(PC_NONE));
        QCOMPARE(state.address, 9);
        QVERIFY(state.fahrenheit);
    }

    void writeModuleTypesReadFails()
    {
        fwsim::Config config = device(fwsim::DeviceKind::FWADC01);
        config.adcType1 = FCT_020MA;
        config.adcType2 = FCT_PT100;
        Line line(config);
        QVERIFY(line.start());
        line.sim.setFault(fwsim::Fault::Silence, 3);

        TFwadc_Informacja record;
        record.Adres = 9;
        record.Jednostka = 1;
        record.Kanal1Typ = FCT_420MA;
        record.Kanal2Typ = FCT_TC_B;
        record.Kanal1Range0201 = 123;
        QVERIFY(run<TTHR_RH_SetFwadc>(line.table, record));

        QCOMPARE(record.Status_Transmisji, ST_NO_REPLY);
        QCOMPARE(subFunctions(line.sim.requests()),
                 QList<int>({SF_ADC_TYPES_READ, SF_ADC_TYPES_READ, SF_ADC_TYPES_READ}));
        const fwsim::State state = line.sim.state();
        QCOMPARE(state.adcType1, int(FCT_020MA));
        QCOMPARE(state.adcType2, int(FCT_PT100));
        QVERIFY(state.adcRanges == config.adcRanges);
        QCOMPARE(state.address, kDeviceAddress);
        QVERIFY(!state.fahrenheit);
    }

    // ---- replies the simulator does not make ----

    void replyChecks_data()
    {
        QTest::addColumn<Transaction>("transaction");
        QTest::addColumn<Replies>("replies");
        QTest::addColumn<int>("status");
        QTest::addColumn<QList<int>>("sent");

        const QByteArray settings = readReply(SF_PARAMS_READ, bytes({32, 2, 5, 0, 0}));
        const QByteArray config = readReply(SF_ADC_CONFIG_READ, QByteArray(23, '\0'));
        QTest::newRow("settings reply too short to hold the address")
            << Transaction::GetTrans << Replies{{SF_PARAMS_READ, readReply(SF_PARAMS_READ, bytes({32, 2}))}}
            << int(ST_PARAMS_FAILED) << QList<int>{SF_PARAMS_READ};
        QTest::newRow("settings answered, unit read unanswered")
            << Transaction::GetTrans << Replies{{SF_PARAMS_READ, settings}} << int(ST_OK)
            << QList<int>{SF_PARAMS_READ, SF_MEASURE, SF_MEASURE, SF_MEASURE};
        QTest::newRow("module measurement with a wrong echo")
            << Transaction::GetFwadc << Replies{{SF_MEASURE, wrongEcho(SF_MEASURE, bytes({0, 1, 0, 2, 0, 0}))}}
            << int(ST_TRANS_FAILED) << QList<int>{SF_MEASURE};
        QTest::newRow("module configuration with a wrong echo")
            << Transaction::GetFwadc
            << Replies{{SF_MEASURE, kModuleMeasurement}, {SF_ADC_CONFIG_READ, wrongEcho(SF_ADC_CONFIG_READ, {})}}
            << int(ST_UNKNOWN_DEVICE) << QList<int>{SF_MEASURE, SF_ADC_CONFIG_READ};
        QTest::newRow("module configuration too short to hold the types")
            << Transaction::GetFwadc
            << Replies{{SF_MEASURE, kModuleMeasurement},
                       {SF_ADC_CONFIG_READ, readReply(SF_ADC_CONFIG_READ, QByteArray(20, '\1'))}}
            << int(ST_UNKNOWN_DEVICE) << QList<int>{SF_MEASURE, SF_ADC_CONFIG_READ};
        QTest::newRow("module configuration answered")
            << Transaction::GetFwadc << Replies{{SF_MEASURE, kModuleMeasurement}, {SF_ADC_CONFIG_READ, config}}
            << int(ST_OK) << QList<int>{SF_MEASURE, SF_ADC_CONFIG_READ};
        QTest::newRow("channel types reply too short")
            << Transaction::SetFwadc
            << Replies{{SF_ADC_TYPES_READ, readReply(SF_ADC_TYPES_READ, bytes({FCT_020MA}))}}
            << int(ST_UNKNOWN_DEVICE) << QList<int>{SF_ADC_TYPES_READ};
        QTest::newRow("channel types with a wrong echo")
            << Transaction::SetFwadc
            << Replies{{SF_ADC_TYPES_READ, wrongEcho(SF_ADC_TYPES_READ, bytes({FCT_020MA, FCT_020MA}))}}
            << int(ST_UNKNOWN_DEVICE) << QList<int>{SF_ADC_TYPES_READ};
    }
    void replyChecks()
    {
        QFETCH(Transaction, transaction);
        QFETCH(Replies, replies);
        QFETCH(int, status);
        QFETCH(QList<int>, sent);

        ScriptedLine line(replies);
        int result = -1;
        switch (transaction) {
        case Transaction::GetTrans: {
            TPWTTrans record;
            record.FahrCels = 1;
            QVERIFY(run<TTHR_RH_Get_Trans>(line.table, record));
            result = record.Status_Transmisji;
            if (result == ST_OK)
                QCOMPARE(record.FahrCels, 0); // a unit that could not be read
            break;
        }
        case Transaction::GetFwadc: {
            TFwadc_Informacja record;
            QVERIFY(run<TTHR_RH_GetFwadc>(line.table, record));
            result = record.Status_Transmisji;
            break;
        }
        case Transaction::SetFwadc: {
            TFwadc_Informacja record;
            record.Kanal1Typ = FCT_420MA;
            QVERIFY(run<TTHR_RH_SetFwadc>(line.table, record));
            result = record.Status_Transmisji;
            break;
        }
        }
        QCOMPARE(result, status);
        QCOMPARE(line.sent(), sent);
    }

    void rangesWriteStatus_data()
    {
        QTest::addColumn<Replies>("replies");
        QTest::addColumn<int>("status");
        QTest::addColumn<QList<int>>("sent");

        const int r020 = SF_RANGES_020_WRITE;
        const int r420 = SF_RANGES_420_WRITE;
        const auto ack = [](int sub) { return replyFrame(kServiceAddress, kFunWrite, uint8_t(sub), {}); };
        const auto nack = [](int sub) { return replyFrame(kServiceAddress, kFunWrite, uint8_t(sub + 1), {}); };
        QTest::newRow("both taken") << Replies{{r020, ack(r020)}, {r420, ack(r420)}} << int(ST_OK)
                                    << QList<int>{r020, r420};
        QTest::newRow("0-20 mA wrong echo, 4-20 mA bad CRC: the first failure counts")
            << Replies{{r020, nack(r020)}, {r420, badCrc(ack(r420))}} << int(ST_UNKNOWN_DEVICE)
            << QList<int>{r020, r420, r420, r420};
        QTest::newRow("0-20 mA taken, 4-20 mA bad CRC") << Replies{{r020, ack(r020)}, {r420, badCrc(ack(r420))}}
                                                        << int(ST_CRC_ERROR) << QList<int>{r020, r420, r420, r420};
        QTest::newRow("0-20 mA taken, 4-20 mA wrong echo")
            << Replies{{r020, ack(r020)}, {r420, nack(r420)}} << int(ST_UNKNOWN_DEVICE) << QList<int>{r020, r420};
    }
    void rangesWriteStatus()
    {
        QFETCH(Replies, replies);
        QFETCH(int, status);
        QFETCH(QList<int>, sent);

        ScriptedLine line(replies);
        int result = -1;
        SetFwadcChannelRange(kServiceAddress, &line.port, result, 0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C,
                             0x0D0E, 0x0F10);
        QCOMPARE(result, status);
        QCOMPARE(line.sent(), sent);
        const QList<MemPort::Sent> frames = line.port.sent();
        QCOMPARE(frames.first().frame, withCrc(hexFrame("F7 47 0D 00 0F 01 02 03 04 05 06 07 08")));
        QCOMPARE(frames.last().frame, withCrc(hexFrame("F7 47 0F 00 0F 09 0A 0B 0C 0D 0E 0F 10")));
    }
};

QTEST_GUILESS_MAIN(TstSvcTrans)
#include "tst_svctrans.moc"
