// Writes the seed corpus of every fuzz target: the frames the devices send,
// laid out as the targets' scripts (fuzz_port.h and each target's head), a
// parameter file as the program writes it and fen_mon.ini as the monitor
// leaves it.
//
//   build-fuzz/fuzz/fuzz_seeds fuzz/corpus
//
// The committed corpus was written by this program; run it again after a
// change of a script's layout.
#include "dane.h"
#include "zapis.h"
#include "dn_thr_trans_rh.h"

#include <QtCore/QDateTime>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <cstdio>

namespace {

QByteArray withCrc(QByteArray frame)
{
    const uint16_t crc =
        Get_MODBUS_CRC16(static_cast<int>(frame.size()), reinterpret_cast<const uint8_t *>(frame.constData()));
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

QByteArray frame(uint8_t address, uint8_t fun, uint8_t sub, const QByteArray &data = QByteArray())
{
    const int length = static_cast<int>(data.size()) + kModbusMinFrame;
    QByteArray f;
    f.append(char(address));
    f.append(char(fun));
    f.append(char(sub));
    f.append(char(length >> 8));
    f.append(char(length & 0xFF));
    f.append(data);
    return withCrc(f);
}

QByteArray be16(int v)
{
    return QByteArray(1, char((v >> 8) & 0xFF)) + char(v & 0xFF);
}

// --- The devices' replies -------------------------------------------------

// Humidity and temperature in tenths, high byte first, then status and mode.
QByteArray measureRH(uint8_t address, int humidity, int temperature, uint8_t status = 0, uint8_t mode = 0)
{
    return frame(address, kFunRead, SF_MEASURE, be16(humidity) + be16(temperature) + char(status) + char(mode));
}
QByteArray measureT(uint8_t address, int temperature, uint8_t status = 0, uint8_t mode = 0)
{
    return frame(address, kFunRead, SF_MEASURE, be16(temperature) + char(status) + char(mode));
}
QByteArray measureRH15(uint8_t address, int humidity, int temperature)
{
    return frame(address, kFunRead, SF_MEASURE, be16(humidity) + be16(temperature) + QByteArray(4, '\0'));
}

// Type, variant, serial number (low byte first), date, version, the maker's
// serial number (low byte first) and two reserved bytes.
QByteArray identification(uint8_t address, uint8_t type, uint8_t variant, uint16_t serial)
{
    QByteArray d;
    d.append(char(type));
    d.append(char(variant));
    d.append(char(serial & 0xFF));
    d.append(char(serial >> 8));
    d.append(char(14));
    d.append(char(3));
    d.append(char(9));
    d.append("1.07");
    const uint32_t maker = 987654;
    for (int i = 0; i < 4; ++i)
        d.append(char((maker >> (8 * i)) & 0xFF));
    d.append(2, '\0');
    return frame(address, kFunRead, SF_IDENTIFY, d);
}

QByteArray ack(uint8_t address, uint8_t sub)
{
    return frame(address, kFunWrite, sub);
}

// From the module asked at address, which has moduleAddress as its own.
QByteArray adcConfig(uint8_t address, uint8_t moduleAddress, uint8_t unit, uint8_t type1, uint8_t type2)
{
    QByteArray d;
    d.append(char(unit));
    for (int v : {0, 1000, 0, 1000, 0, 500, 0, 1000})
        d.append(be16(v));
    d.append(2, '\0');
    d.append(char(moduleAddress));
    d.append(char(type1));
    d.append(char(type2));
    d.append(char(0));
    return frame(address, kFunRead, SF_ADC_CONFIG_READ, d);
}

// --- The line as the fuzz port reads it -----------------------------------

constexpr uint8_t kSilence = 0;
constexpr uint8_t kRaw = 2;
constexpr uint8_t kLost = 3;
constexpr uint8_t kStuckOutput = 0x40;
constexpr uint8_t kTrailing = 0x80;
// Line's setup: the adapter hands every request back ahead of the reply.
constexpr uint8_t kEchoes = 0x08;

class Line
{
public:
    explicit Line(uint8_t setup = 0, const QByteArray &stale = QByteArray())
    {
        m_b.append(char(setup));
        m_b.append(char(stale.size()));
        m_b.append(stale);
    }
    // The reply in one piece, gapMs after the request.
    Line &reply(const QByteArray &bytes, int gapMs = 30) { return pieces(bytes, {{int(bytes.size()), gapMs}}); }
    // The reply in pieces of {size, gap after the piece before}.
    Line &pieces(const QByteArray &bytes, const std::vector<std::pair<int, int>> &parts, uint8_t flags = 0)
    {
        m_b.append(char(kRaw | flags));
        m_b.append(be16(int(bytes.size())));
        m_b.append(bytes);
        m_b.append(char(parts.size() - 1));
        for (size_t i = 0; i + 1 < parts.size(); ++i)
            m_b.append(be16(parts[i].first));
        for (const auto &p : parts)
            m_b.append(be16(p.second));
        return *this;
    }
    Line &replyThenTrailing(const QByteArray &bytes, const QByteArray &trailing, int trailingGapMs)
    {
        pieces(bytes, {{int(bytes.size()), 30}}, kTrailing);
        m_b.append(char(trailing.size()));
        m_b.append(trailing);
        m_b.append(be16(trailingGapMs));
        return *this;
    }
    Line &replyOutputStuck(const QByteArray &bytes, int stuckMs)
    {
        pieces(bytes, {{int(bytes.size()), 30}}, kStuckOutput);
        m_b.append(be16(stuckMs));
        return *this;
    }
    Line &silence(int times = 1)
    {
        m_b.append(times, char(kSilence));
        return *this;
    }
    Line &lost()
    {
        m_b.append(char(kLost));
        return *this;
    }
    QByteArray bytes() const { return m_b; }

private:
    QByteArray m_b;
};

QByteArray badCrc(QByteArray f)
{
    f[f.size() - 1] = char(f.at(f.size() - 1) ^ 0xFF);
    return f;
}

// --- The targets' heads ---------------------------------------------------

constexpr uint8_t kRoute1 = 0x00;        // the port and the transaction on COM1
constexpr uint8_t kRouteMissing = 0x80;  // the transaction asks for COM2
constexpr uint8_t kBaud9600 = 0;         // ReadBaud's first row
constexpr uint8_t kBaud19200 = 4;

QByteArray exchangeHead(uint8_t row, uint8_t address, const QByteArray &data = QByteArray())
{
    return QByteArray(1, char(row)) + char(address) + be16(int(data.size())) + data + char(0) + be16(0);
}

// what, route, address, baud, FWDL flag, FWDL address, FWDL baud, readings, radio.
QByteArray measureHead(uint8_t what, uint8_t route, uint8_t address, bool fwdl = false, int fwdlAddress = 100)
{
    QByteArray h;
    h.append(char(what));
    h.append(char(route));
    h.append(char(address));
    h.append(char(kBaud9600));
    h.append(char(fwdl ? 1 : 0));
    h.append(be16(0) + be16(fwdlAddress));
    h.append(char(kBaud19200));
    h.append(be16(kNoValue) + be16(kNoValue));
    h.append(3, '\0');
    return h;
}

QByteArray identifyHead(bool serviceMode, uint8_t address, const QByteArray &identity = QByteArray(),
                        bool fwdl = false)
{
    QByteArray h;
    h.append(char(serviceMode ? 1 : 0));
    h.append(char(kRoute1));
    h.append(char(address));
    h.append(char(kBaud9600));
    h.append(identity.leftJustified(17, '\0', true));
    h.append(char(fwdl ? 1 : 0));
    h.append(be16(0) + be16(100));
    h.append(char(kBaud19200));
    return h;
}

QByteArray paramsHead(bool write, uint8_t address, uint8_t baudRow = kBaud9600, int newAddress = 5, int parity = 0,
                      int unit = 0)
{
    QByteArray h;
    h.append(char(write ? 1 : 0));
    h.append(char(kRoute1));
    h.append(char(address));
    h.append(char(kBaud9600));
    if (write) {
        h.append(char(baudRow));
        h.append(be16(newAddress));
        h.append(be16(parity));
        h.append(char(unit));
    }
    return h;
}

QByteArray fwadcHead(bool write, uint8_t address, uint8_t newAddress = 3, uint8_t unit = 0, uint8_t type1 = 0,
                     uint8_t type2 = 3)
{
    QByteArray h;
    h.append(char(write ? 1 : 0));
    h.append(char(kRoute1));
    h.append(char(address));
    h.append(char(kBaud9600));
    if (write) {
        h.append(char(newAddress));
        h.append(char(unit));
        h.append(char(type1));
        h.append(char(type2));
        for (int v : {0, 1000, 0, 1000, 40, 1000, 0, 500})
            h.append(be16(v));
    }
    return h;
}

// --- Writing --------------------------------------------------------------

int g_written = 0;

void writeSeed(const QString &dir, const QString &target, const QString &name, const QByteArray &bytes)
{
    const QString folder = dir + QLatin1Char('/') + target;
    QDir().mkpath(folder);
    QFile f(folder + QLatin1Char('/') + name);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(f.fileName()));
        std::exit(1);
    }
    ++g_written;
}

QByteArray fileBytes(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void exchangeSeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_exchange");
    const QByteArray good = measureRH(1, 453, 215);
    const QByteArray head = exchangeHead(0, 1); // the measurement row
    writeSeed(dir, t, "fwth01-measurement", head + Line().reply(good).bytes());
    writeSeed(dir, t, "crc-error-then-good", head + Line().reply(badCrc(good)).reply(good).bytes());
    writeSeed(dir, t, "partial-then-good", head + Line().reply(good.left(4)).reply(good).bytes());
    writeSeed(dir, t, "split", head + Line().pieces(good, {{5, 10}, {4, 50}, {4, 50}}).bytes());
    writeSeed(dir, t, "rest-too-late", head + Line().pieces(good, {{5, 10}, {4, 150}, {4, 150}}).bytes());
    writeSeed(dir, t, "silence", head + Line().silence(4).bytes());
    writeSeed(dir, t, "no-such-device", head + Line(0x01).bytes());
    writeSeed(dir, t, "port-busy", head + Line(0x02).bytes());
    QByteArray longFrame = good;
    longFrame[3] = char(600 >> 8);
    longFrame[4] = char(600 & 0xFF);
    writeSeed(dir, t, "length-600", head + Line().reply(withCrc(longFrame.left(longFrame.size() - 2))).reply(good).bytes());
    // Stale bytes before the first request; bytes trailing a bad frame that
    // the flush after it takes, and that land in the next reply.
    const QByteArray stale = QByteArray::fromHex("0146000d01");
    writeSeed(dir, t, "stale-then-trailing",
          head + Line(0, stale).replyThenTrailing(badCrc(good), "\x01\x46", 10).reply(good).bytes());
    writeSeed(dir, t, "trailing-into-next-reply",
          head + Line().replyThenTrailing(badCrc(good), "\x01\x46", 50).reply(good).bytes());
    writeSeed(dir, t, "device-lost", head + Line().silence().lost().bytes());
    writeSeed(dir, t, "output-stuck", head + Line().replyOutputStuck(badCrc(good), 500).reply(good).bytes());
    // The module's configuration read waits 8 s per attempt.
    writeSeed(dir, t, "adc-config-late", exchangeHead(12, 3) + Line().reply(adcConfig(3, 3, 0, 0, 3), 5000).bytes());
    writeSeed(dir, t, "identification", exchangeHead(1, 247) + Line().reply(identification(247, 1, 0, 12345)).bytes());
    QByteArray ranges;
    for (int v : {0, 1000, 0, 1000})
        ranges.append(be16(v));
    writeSeed(dir, t, "ranges-write", exchangeHead(10, 3, ranges) + Line().reply(ack(3, SF_RANGES_020_WRITE)).bytes());
    // An adapter that echoes: learned from the read, taken off the write.
    writeSeed(dir, t, "echoing-adapter", head + Line(kEchoes).reply(good).reply(good).bytes());
    writeSeed(dir, t, "echoing-adapter-write",
              exchangeHead(10, 3, ranges) + Line(kEchoes).reply(ack(3, SF_RANGES_020_WRITE)).bytes());
}

void measureSeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_measure");
    writeSeed(dir, t, "fwth01", measureHead(0, kRoute1, 1) + Line().reply(measureRH(1, 453, 215)).bytes());
    writeSeed(dir, t, "fwt01", measureHead(0, kRoute1, 1) + Line().reply(measureT(1, 215)).bytes());
    writeSeed(dir, t, "rh15", measureHead(0, kRoute1, 1) + Line().reply(measureRH15(1, 453, 215)).bytes());
    writeSeed(dir, t, "fwt01-fahrenheit-negative",
          measureHead(0, kRoute1, 1) + Line().reply(measureT(1, -200, kStatusFahrenheit)).bytes());
    writeSeed(dir, t, "fwth01-door-closed", measureHead(0, kRoute1, 1) + Line().reply(measureRH(1, 612, -35, 0xC0)).bytes());
    writeSeed(dir, t, "wrong-echo", measureHead(0, kRoute1, 1) + Line().reply(measureRH(2, 453, 215)).bytes());
    writeSeed(dir, t, "transaction", measureHead(1, kRoute1, 1) + Line().reply(measureRH(1, 453, 215)).bytes());
    writeSeed(dir, t, "transaction-echoing-adapter",
              measureHead(1, kRoute1, 1) + Line(kEchoes).reply(measureRH(1, 453, 215)).bytes());
    writeSeed(dir, t, "transaction-through-fwdl",
          measureHead(1, kRoute1, 1, true) + Line().reply(ack(100, SF_FWDL_TRANSPARENT)).reply(measureRH(1, 453, 215)).bytes());
    writeSeed(dir, t, "transaction-no-port-object", measureHead(1, kRouteMissing, 1) + Line().bytes());
    writeSeed(dir, t, "transparent-mode", measureHead(2, kRoute1, 1, true) + Line().reply(ack(100, SF_FWDL_TRANSPARENT)).bytes());
    writeSeed(dir, t, "transparent-mode-wrong-echo",
          measureHead(2, kRoute1, 1, true) + Line().reply(ack(100, SF_UNIT_WRITE)).bytes());
    writeSeed(dir, t, "fwdl-step", measureHead(3, kRoute1, 1, true) + Line().reply(ack(100, SF_FWDL_TRANSPARENT)).bytes());
}

void identifySeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_identify");
    const QByteArray fwth01 = identification(247, 1, 0, 12345);
    writeSeed(dir, t, "fwth01", identifyHead(false, 247) + Line().reply(fwth01).bytes());
    writeSeed(dir, t, "fwadc01-through-fwdl", identifyHead(false, 247, QByteArray(), true)
                                              + Line().reply(ack(100, SF_FWDL_TRANSPARENT)).reply(identification(247, 3, 0, 4711)).bytes());
    writeSeed(dir, t, "short-identification", identifyHead(false, 247) + Line().reply(frame(247, kFunRead, SF_IDENTIFY, fwth01.mid(5, 8))).bytes());
    writeSeed(dir, t, "service-mode", identifyHead(true, 247, fwth01.mid(5, 17)) + Line().reply(ack(247, SF_SERVICE_MODE)).bytes());
    writeSeed(dir, t, "service-mode-silence", identifyHead(true, 247, fwth01.mid(5, 17)) + Line().silence(3).bytes());
}

void paramsSeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_trans_params");
    const QByteArray params = frame(247, kFunRead, SF_PARAMS_READ, QByteArray::fromHex("2002050000"));
    writeSeed(dir, t, "read-fwth01", paramsHead(false, 247) + Line().reply(params).reply(measureRH(247, 453, 215)).bytes());
    writeSeed(dir, t, "read-fwt01-fahrenheit",
          paramsHead(false, 247) + Line().reply(params).reply(measureT(247, 707, kStatusFahrenheit)).bytes());
    writeSeed(dir, t, "read-unit-silent", paramsHead(false, 247) + Line().reply(params).silence(3).bytes());
    writeSeed(dir, t, "write", paramsHead(true, 247) + Line().reply(ack(247, SF_UNIT_WRITE)).reply(ack(247, SF_PARAMS_WRITE)).bytes());
    // 57600 travels as 192; a device without a unit setting stays silent to it.
    writeSeed(dir, t, "write-57600-no-unit",
          paramsHead(true, 247, 6, 5, 2, 1) + Line().silence(3).reply(ack(247, SF_PARAMS_WRITE)).bytes());
    writeSeed(dir, t, "write-115200-not-sent", paramsHead(true, 247, 7) + Line().bytes());
}

void fwadcSeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_fwadc");
    writeSeed(dir, t, "read", fwadcHead(false, 247) + Line().reply(measureRH(247, 1234, 215, 0x05, 255)).reply(adcConfig(247, 3, 0, 0, 3)).bytes());
    const QByteArray types = frame(247, kFunRead, SF_ADC_TYPES_READ, QByteArray::fromHex("0003"));
    writeSeed(dir, t, "write-channel1-and-ranges",
          fwadcHead(true, 247, 3, 0, FCT_420MA, FCT_020MA)
              + Line().reply(types).reply(ack(247, SF_ADC_TYPE_WRITE)).reply(ack(247, SF_RANGES_020_WRITE))
                    .reply(ack(247, SF_RANGES_420_WRITE)).reply(ack(247, SF_UNIT_WRITE)).reply(ack(247, SF_PARAMS_WRITE)).bytes());
    const QByteArray thermocouples = frame(247, kFunRead, SF_ADC_TYPES_READ, QByteArray::fromHex("0506"));
    writeSeed(dir, t, "write-thermocouples-no-ranges",
          fwadcHead(true, 247, 3, 1, FCT_TC_R, FCT_TC_K)
              + Line().reply(thermocouples).reply(ack(247, SF_ADC_TYPE_WRITE)).reply(ack(247, SF_UNIT_WRITE))
                    .reply(ack(247, SF_PARAMS_WRITE)).bytes());
}

void paramFileSeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_param_file");
    // What the program writes at its first start.
    UstawDomyslne();
    writeSeed(dir, t, "defaults", ParametryToBytes(V_ParametryProgramu));
    // After the settings window: COM3, 19200 baud, even parity, address 5,
    // through an FWDL unit at 100, 19200 baud.
    SetTransmitParams(V_ParametryProgramu.trans, 3, 19200, 5, kParityEven);
    V_ParametryProgramu.FwdlTransp = true;
    V_ParametryProgramu.FwdlAdres = 100;
    V_ParametryProgramu.FwdlPredk = 19200;
    V_ParametryProgramu.temp_od = -40;
    V_ParametryProgramu.temp_do = 80;
    writeSeed(dir, t, "fwdl-com3", ParametryToBytes(V_ParametryProgramu));
    writeSeed(dir, t, "short-554", ParametryToBytes(V_ParametryProgramu).left(kParamRecordSize - 1));
}

void placementSeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_placement_ini");
    const QByteArray head = QByteArray::fromHex("7e05006400c8"); // change everything
    QTemporaryDir tmp;
    const QString ini = tmp.filePath(QStringLiteral("fen_mon.ini"));
    // The demonstration's file, then as the monitor leaves it when it closes.
    const QByteArray ports = "[ports]\nCOM1=/dev/pts/3\n";
    writeSeed(dir, t, "ports-only", head + ports);
    QFile f(ini);
    if (f.open(QIODevice::WriteOnly))
        f.write(ports);
    f.close();
    TMainPlacement p;
    LoadMainPlacement(p, ini);
    p.Flags = QStringLiteral("0");
    p.ShowCmd = QStringLiteral("1");
    p.MinMaxPos = QStringLiteral("-1,-1,-1,-1");
    p.NormPos = FormatPlacementPos({120, 80, 920, 680});
    SaveMainPlacement(p, ini);
    writeSeed(dir, t, "as-the-monitor-leaves-it", QByteArray(6, '\0') + fileBytes(ini));
    // An older installation's file: CRLF, booleans in words, a comment.
    writeSeed(dir, t, "crlf-words",
          head
              + QByteArray("; Monitor Fenwire\r\n[main]\r\nFlags=0\r\nShowCmd=1\r\nMinMaxPos=-1,-1,-1,-1\r\n"
                           "NormPos=208,139,1008,739\r\nRs485Mode_Checked=True\r\nRtsSleepAfter_Text=0\r\n"
                           "RtsSleepBefore_Text=0\r\nRtsSwitch_Checked=False\r\ncb_AddBits_Checked=False\r\n\r\n"
                           "[ports]\r\nCOM2=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\r\n"));
    writeSeed(dir, t, "no-file", QByteArray::fromHex("01"));
}


void recordingSeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_recording");
    const QByteArray head = QByteArray::fromHex("0503"); // five readings; recording on, a folder
    TProbka good;
    good.Czas = QDateTime(QDate(2026, 12, 10), QTime(18, 3, 4, 250), Qt::OffsetFromUTC, 3600);
    good.Temperatura = 21.5;
    good.Wilgotnosc = 45.3;
    good.Jednostka = QStringLiteral("°C");
    good.Port = QStringLiteral("/dev/ttyUSB0");
    good.Adres = 1;
    TProbka failed = good;
    failed.Czas = good.Czas.addMSecs(1662);
    failed.Temperatura.reset();
    failed.Wilgotnosc.reset();
    failed.Jednostka.clear();
    failed.Status = 2;
    failed.Przyczyna = QStringLiteral("No reply, \"twice\"");
    const QByteArray lines = LiniaZapisu(good) + LiniaZapisu(failed);
    writeSeed(dir, t, "one-line", head + LiniaZapisu(good));
    writeSeed(dir, t, "day-file", head + kNaglowekZapisu + lines);
    // A power cut in the middle of a line, then the next start's fresh line.
    writeSeed(dir, t, "torn-last-line", head + kNaglowekZapisu + lines + LiniaZapisu(good).left(20) + "\n"
                                            + LiniaZapisu(good));
    writeSeed(dir, t, "ini-with-recording",
              head + "[ports]\nCOM1=/dev/pts/3\n\n[recording]\nRecord=1\nFolder=/mnt/share/recordings\n");
}

void simSeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_sim");
    // Line, baud rate row, where the bytes are cut; then what the program sends.
    const auto head = [](uint8_t line, uint8_t baud, uint8_t cut) { return QByteArray(1, char(line)) + char(baud) + char(cut); };
    const QByteArray measure = frame(1, kFunRead, SF_MEASURE);
    writeSeed(dir, t, "measure", head(0, kBaud9600, 3) + measure + measure);
    writeSeed(dir, t, "identify-two-devices", head(0x08, kBaud9600, 9) + frame(247, kFunRead, SF_IDENTIFY));
    writeSeed(dir, t, "service-mode",
              head(0, kBaud9600, 0) + frame(247, kFunWrite, SF_SERVICE_MODE, identification(247, 1, 0, 12345).mid(5, 17)));
    writeSeed(dir, t, "fwdl-then-forwarded", head(0x10, kBaud19200, 7) + frame(100, kFunWrite, SF_FWDL_TRANSPARENT)
                                                 + measure);
    writeSeed(dir, t, "adc-config", head(5, kBaud9600, 2) + frame(1, kFunRead, SF_ADC_CONFIG_READ));
    writeSeed(dir, t, "noise-then-frame", head(0, kBaud9600, 4) + QByteArray::fromHex("ff00013e") + measure);
    writeSeed(dir, t, "bad-crc", head(0, kBaud9600, 7) + badCrc(measure) + measure);
}

void pollConfigSeeds(const QString &dir)
{
    const QString t = QStringLiteral("fuzz_poll_config");
    writeSeed(dir, t, "line", QByteArray(1, '\0')
                                  + "[line]\nport=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n"
                                    "baud=9600\nparity=N\ninterval=1\ngap=20\n\n[devices]\naddress=1,2,5-7\n\n"
                                    "[device.3]\nname=boiler-room\n\n[device.7]\nname=roof\nfwdl=100:19200\n\n"
                                    "[output]\nformat=jsonl\n");
    writeSeed(dir, t, "mqtt", QByteArray(1, '\4')
                                  + "[line]\nport=COM2\ncount=5\n\n[mqtt]\nhost=broker.plant:1883\nuser=fenwire\n"
                                    "prefix=fenwire\nid=line1\ndiscovery=true\nqueue=100000\nforget=4,roof\n");
    writeSeed(dir, t, "unknown-key", QByteArray(1, '\1') + "[line]\r\nspeed=9600\r\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    exchangeSeeds(dir);
    measureSeeds(dir);
    identifySeeds(dir);
    paramsSeeds(dir);
    fwadcSeeds(dir);
    paramFileSeeds(dir);
    placementSeeds(dir);
    recordingSeeds(dir);
    simSeeds(dir);
    pollConfigSeeds(dir);
    std::printf("%d seeds written under %s\n", g_written, qPrintable(dir));
    return 0;
}
