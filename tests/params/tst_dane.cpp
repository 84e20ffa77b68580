// The parameter file "set_monitor.dat" and the placement section of
// "fen_mon.ini", checked against files built byte by byte here.
#include "dane.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

// Offsets of the record as the files in the field hold it (written out here
// independently of the unit under test).
enum Offset : int {
    ComNum = 0,
    StopBits = 4,
    DataBits = 8,
    Parity = 12,
    ProtoCol = 16,
    RepeatCnt = 20,
    RepeatDelay = 24,
    TimeOut = 28,
    AdresSerwis = 32,
    Adres = 33,
    Predkosc = 36,
    PredkoscSerwis = 40,
    TempOd = 44,
    TempDo = 48,
    WilgOd = 52,
    WilgDo = 53,
    IleProbek = 54,
    FwdlTransp = 58,
    FwdlPredk = 59,
    FwdlAdres = 63,
    Rezerwa = 67,
    RecordSize = 555,
};
constexpr int kRezerwaBytes = RecordSize - Rezerwa;
// Alignment gaps of the record: written as zero, ignored on reading.
constexpr int kPaddingOffsets[] = {1, 2, 3, 13, 14, 15, 34, 35, 42, 43};

// A record image written one byte at a time, little-endian.
class RecordBytes
{
public:
    RecordBytes() : m_bytes(RecordSize, '\0') {}

    RecordBytes &u8(int off, quint8 v)
    {
        m_bytes[off] = char(v);
        return *this;
    }
    RecordBytes &u16(int off, quint16 v)
    {
        return u8(off, quint8(v & 0xFF)).u8(off + 1, quint8(v >> 8));
    }
    RecordBytes &i32(int off, qint32 v)
    {
        const quint32 u = quint32(v);
        return u8(off, quint8(u)).u8(off + 1, quint8(u >> 8)).u8(off + 2, quint8(u >> 16))
            .u8(off + 3, quint8(u >> 24));
    }
    RecordBytes &fill(int off, int count, quint8 seed)
    {
        for (int i = 0; i < count; ++i)
            u8(off + i, quint8(seed + 7 * i));
        return *this;
    }
    QByteArray bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

RecordBytes defaultRecord()
{
    RecordBytes r;
    r.u8(ComNum, 1).u8(AdresSerwis, 247).u8(Adres, 1).i32(Predkosc, 9600);
    r.u16(PredkoscSerwis, 9600).i32(TempOd, 0).i32(TempDo, 100).u8(WilgOd, 0).u8(WilgDo, 100);
    r.i32(IleProbek, 1000).u8(FwdlTransp, 0).i32(FwdlPredk, 9600).i32(FwdlAdres, 1);
    return r;
}

// A record with something unusual in every field, including the fields no
// operation reads, the reserve and the padding.
RecordBytes fullRecord()
{
    RecordBytes r;
    r.u8(ComNum, 5).i32(StopBits, 2).i32(DataBits, -8).u8(Parity, 2).i32(ProtoCol, 0x01020304);
    r.i32(RepeatCnt, 3).i32(RepeatDelay, -1).i32(TimeOut, 123456);
    r.u8(AdresSerwis, 9).u8(Adres, 200).i32(Predkosc, 19200).u16(PredkoscSerwis, 4800);
    r.i32(TempOd, -40).i32(TempDo, 150).u8(WilgOd, 5).u8(WilgDo, 95).i32(IleProbek, 70000);
    r.u8(FwdlTransp, 1).i32(FwdlPredk, 19200).i32(FwdlAdres, 31);
    r.fill(Rezerwa, kRezerwaBytes, 0x11);
    for (int off : kPaddingOffsets)
        r.u8(off, 0xEE);
    return r;
}

bool writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString kDat = QStringLiteral("set_monitor.dat");
const QString kIni = QStringLiteral("fen_mon.ini");

bool sameParams(const TParametryProgramu &a, const TParametryProgramu &b)
{
    return ParametryToBytes(a) == ParametryToBytes(b);
}

} // namespace

class TestDane : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void freshStartWritesDefaults();
    void loadReadsEveryField();
    void rejectedFileChangesNothing_data();
    void rejectedFileChangesNothing();
    void reserveAndUnusedFieldsSurvive();
    void failedSaveKeepsOldFile_data();
    void failedSaveKeepsOldFile();
    void setTransmitParams_data();
    void setTransmitParams();
    void defaultsKeepUnusedFields();
    void buildInfo();

    void placementLoad_data();
    void placementLoad();
    void placementSaveKeepsOtherLines_data();
    void placementSaveKeepsOtherLines();
    void placementSaveCreatesSection();
    void placementAfterALoneCr_data();
    void placementAfterALoneCr();
    void placementPos_data();
    void placementPos();

    void portsMappingKeepsOtherLines_data();
    void portsMappingKeepsOtherLines();
    void portsMappingRefused_data();
    void portsMappingRefused();
    void saveLeavesNothingBeside_data();
    void saveLeavesNothingBeside();
    void leftoversRemovedAreOursOnly();

    void recordingSaveKeepsOtherLines_data();
    void recordingSaveKeepsOtherLines();
    void recordingLoad_data();
    void recordingLoad();
    void recordingFolderRefused();
    void recordingFolderResolved();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldDir;
};

void TestDane::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    V_ParametryProgramu = TParametryProgramu();
}

void TestDane::cleanup()
{
    QDir::setCurrent(m_oldDir);
    m_dir.reset();
}

void TestDane::freshStartWritesDefaults()
{
    QVERIFY(!LoadTransParams(kDat));
    UstawDomyslne();
    QVERIFY(SaveTransParams(kDat));
    QCOMPARE(readFile(kDat), defaultRecord().bytes());
}

void TestDane::loadReadsEveryField()
{
    QVERIFY(writeFile(kDat, fullRecord().bytes()));
    QVERIFY(LoadTransParams(kDat));
    const TParametryProgramu &p = V_ParametryProgramu;
    QCOMPARE(p.trans.ComNum, quint8(5));
    QCOMPARE(p.trans.Stop_Bits, 2);
    QCOMPARE(p.trans.data_Bits, -8);
    QCOMPARE(p.trans.Parity, quint8(2));
    QCOMPARE(p.trans.ProtoCol, 0x01020304);
    QCOMPARE(p.trans.Repeat_Cnt, 3);
    QCOMPARE(p.trans.Repeat_Delay, -1);
    QCOMPARE(p.trans.TimeOut, 123456);
    QCOMPARE(p.trans.adresRS485, quint8(200));
    QCOMPARE(p.trans.Predkosc, 19200);
    // The service window always works at its own address and speed.
    QCOMPARE(p.trans.adresRS485_serwis, quint8(247));
    QCOMPARE(p.trans.predkosc_Serwis, quint16(9600));
    QCOMPARE(p.temp_od, -40);
    QCOMPARE(p.temp_do, 150);
    QCOMPARE(p.wilg_od, quint8(5));
    QCOMPARE(p.wilg_do, quint8(95));
    QCOMPARE(p.ile_probek, 70000);
    QCOMPARE(p.FwdlTransp, true);
    QCOMPARE(p.FwdlPredk, 19200);
    QCOMPARE(p.FwdlAdres, 31);
    QCOMPARE(p.rezerwa[0], quint8(0x11));
    QCOMPARE(p.rezerwa[kRezerwaBytes - 1], quint8(0x11 + 7 * (kRezerwaBytes - 1)));
}

void TestDane::rejectedFileChangesNothing_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("size");
    QTest::newRow("no file") << "missing" << 0;
    QTest::newRow("empty file") << "file" << 0;
    QTest::newRow("554 bytes, one short") << "file" << RecordSize - 1;
    QTest::newRow("half a record") << "file" << RecordSize / 2;
    QTest::newRow("a directory in its place") << "dir" << 0;
}

void TestDane::rejectedFileChangesNothing()
{
    QFETCH(QString, kind);
    QFETCH(int, size);
    if (kind == QLatin1String("file"))
        QVERIFY(writeFile(kDat, fullRecord().bytes().left(size)));
    else if (kind == QLatin1String("dir"))
        QVERIFY(QDir().mkdir(kDat));

    UstawDomyslne();
    V_ParametryProgramu.trans.adresRS485_serwis = 0;
    V_ParametryProgramu.trans.predkosc_Serwis = 0;
    TParametryProgramu expected = V_ParametryProgramu;
    expected.trans.adresRS485_serwis = 247;
    expected.trans.predkosc_Serwis = 9600;

    QVERIFY(!LoadTransParams(kDat));
    QVERIFY(sameParams(V_ParametryProgramu, expected));
}

void TestDane::reserveAndUnusedFieldsSurvive()
{
    const QByteArray original = fullRecord().bytes();
    QVERIFY(writeFile(kDat, original));
    QVERIFY(LoadTransParams(kDat));
    QVERIFY(SaveTransParams(kDat));

    RecordBytes expected = fullRecord();
    expected.u8(AdresSerwis, 247).u16(PredkoscSerwis, 9600);
    for (int off : kPaddingOffsets)
        expected.u8(off, 0);
    const QByteArray saved = readFile(kDat);
    QCOMPARE(saved.size(), int(RecordSize));
    QCOMPARE(saved, expected.bytes());
    QCOMPARE(saved.mid(Rezerwa), original.mid(Rezerwa));
}

void TestDane::failedSaveKeepsOldFile_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("parameters") << kDat;
    QTest::newRow("placement") << kIni;
}

void TestDane::failedSaveKeepsOldFile()
{
    QFETCH(QString, file);
    // Big enough that no save fits in the room left below.
    QByteArray old = fullRecord().bytes();
    if (file == kIni)
        old = "[ports]\nCOM1=/dev/ttyUSB0\n[main]\n" + QByteArray(600, ';') + "\n";
    QVERIFY(writeFile(file, old));
    UstawDomyslne();
    TMainPlacement placement;
    placement.NormPos = QStringLiteral("1,2,3,4");

    // A disk that takes only a few bytes more: the write fails part way.
    constexpr rlim_t kTinyFileLimit = 100;
    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = kTinyFileLimit;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &tiny) == 0);
    const bool ok = file == kDat ? SaveTransParams(kDat) : SaveMainPlacement(placement, kIni);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!ok);
    QCOMPARE(readFile(file), old);
    QCOMPARE(QDir().entryList(QDir::Files), QStringList{file});
}

void TestDane::setTransmitParams_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("expPort");
    QTest::addColumn<int>("expAddress");
    QTest::addColumn<int>("expParity");
    QTest::newRow("plain values") << 3 << 19200 << 17 << 2 << 3 << 17 << 2;
    QTest::newRow("low bytes only") << 0x102 << 38400 << 0x1FA << 0x203 << 2 << 0xFA << 3;
    QTest::newRow("mark parity kept") << 8 << 9600 << 250 << 3 << 8 << 250 << 3;
}

void TestDane::setTransmitParams()
{
    QFETCH(int, port);
    QFETCH(int, speed);
    QFETCH(int, address);
    QFETCH(int, parity);
    QFETCH(int, expPort);
    QFETCH(int, expAddress);
    QFETCH(int, expParity);

    TTransmitParams t;
    t.Stop_Bits = 11;
    t.TimeOut = 22;
    t.adresRS485_serwis = 1;
    t.predkosc_Serwis = 1;
    SetTransmitParams(t, port, speed, address, parity);
    QCOMPARE(int(t.ComNum), expPort);
    QCOMPARE(t.Predkosc, speed);
    QCOMPARE(int(t.adresRS485), expAddress);
    QCOMPARE(int(t.Parity), expParity);
    QCOMPARE(t.adresRS485_serwis, quint8(247));
    QCOMPARE(t.predkosc_Serwis, quint16(9600));
    QCOMPARE(t.Stop_Bits, 11);
    QCOMPARE(t.TimeOut, 22);
}

void TestDane::defaultsKeepUnusedFields()
{
    QVERIFY(writeFile(kDat, fullRecord().bytes()));
    QVERIFY(LoadTransParams(kDat));
    UstawDomyslne();
    RecordBytes expected = fullRecord();
    const QByteArray defaults = defaultRecord().bytes();
    for (int off : {int(ComNum), int(Parity), int(AdresSerwis), int(Adres), int(WilgOd),
                    int(WilgDo), int(FwdlTransp)})
        expected.u8(off, quint8(defaults.at(off)));
    for (int off : {int(Predkosc), int(TempOd), int(TempDo), int(IleProbek), int(FwdlPredk),
                    int(FwdlAdres)})
        for (int i = 0; i < 4; ++i)
            expected.u8(off + i, quint8(defaults.at(off + i)));
    expected.u16(PredkoscSerwis, 9600);
    for (int off : kPaddingOffsets)
        expected.u8(off, 0);
    QCOMPARE(ParametryToBytes(V_ParametryProgramu), expected.bytes());
}

void TestDane::buildInfo()
{
    // Major version and build number, the build at least two digits.
    const QString expected = QStringLiteral("%1.%2")
                                 .arg(FENWIRE_VERSION_MAJOR)
                                 .arg(FENWIRE_VERSION_BUILD, 2, 10, QLatin1Char('0'));
    QCOMPARE(GetBuildInfo(), expected);
}

void TestDane::placementLoad_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("normPos");
    QTest::addColumn<bool>("rs485Mode");
    QTest::addColumn<QString>("sleepAfter");
    QTest::addColumn<bool>("rtsSwitch");
    QTest::addColumn<bool>("addBits");

    QTest::newRow("no file: design values")
        << QByteArray() << QString() << true << "0" << false << false;
    QTest::newRow("1/0 forms")
        << QByteArray("[main]\nNormPos=10,20,394,461\nRs485Mode_Checked=0\n"
                      "RtsSleepAfter_Text=15\nRtsSwitch_Checked=1\ncb_AddBits_Checked=1\n")
        << "10,20,394,461" << false << "15" << true << true;
    QTest::newRow("True/False forms, CRLF")
        << QByteArray("[main]\r\nRs485Mode_Checked=False\r\nRtsSwitch_Checked=True\r\n"
                      "cb_AddBits_Checked=true\r\n")
        << QString() << false << "0" << true << true;
    QTest::newRow("names in another case, blanks around '='")
        << QByteArray("[MAIN]\n cb_addbits_checked = 1 \nNORMPOS = 1,2,3,4\n")
        << "1,2,3,4" << true << "0" << false << true;
    QTest::newRow("only other sections")
        << QByteArray("[ports]\nCOM1=/dev/ttyUSB0\ncb_AddBits_Checked=1\n")
        << QString() << true << "0" << false << false;
    QTest::newRow("unreadable value keeps design value")
        << QByteArray("[main]\nRs485Mode_Checked=maybe\ncb_AddBits_Checked=yes\n")
        << QString() << true << "0" << false << false;
    QTest::newRow("first of two sections counts")
        << QByteArray("[main]\ncb_AddBits_Checked=1\n[other]\n[main]\ncb_AddBits_Checked=0\n")
        << QString() << true << "0" << false << true;
}

void TestDane::placementLoad()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, normPos);
    QFETCH(bool, rs485Mode);
    QFETCH(QString, sleepAfter);
    QFETCH(bool, rtsSwitch);
    QFETCH(bool, addBits);

    if (!file.isEmpty())
        QVERIFY(writeFile(kIni, file));
    TMainPlacement p;
    QCOMPARE(LoadMainPlacement(p, kIni), !file.isEmpty());
    QCOMPARE(p.NormPos, normPos);
    QCOMPARE(p.Rs485Mode_Checked, rs485Mode);
    QCOMPARE(p.RtsSleepAfter_Text, sleepAfter);
    QCOMPARE(p.RtsSwitch_Checked, rtsSwitch);
    QCOMPARE(p.cb_AddBits_Checked, addBits);
}

void TestDane::placementSaveKeepsOtherLines_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("addBits");
    QTest::addColumn<QString>("normPos");
    QTest::addColumn<QByteArray>("after");

    const QByteArray head = "; written by hand\n[ports]\nCOM1=/dev/ttyUSB0\nCOM2 = /dev/pts/7\n\n";
    const QByteArray tail = "\n[extra]\nkey=value\n";
    const QByteArray mainSame =
        "[main]\nFlags=0\nShowCmd=1\nMinMaxPos=-1,-1,-1,-1\nNormPos=10,20,394,461\n"
        "Rs485Mode_Checked=True\nRtsSleepAfter_Text=0\nRtsSleepBefore_Text=0\n"
        "RtsSwitch_Checked=False\ncb_AddBits_Checked=False\n";

    QTest::newRow("nothing changed: file byte for byte")
        << head + mainSame + tail << false << "10,20,394,461" << head + mainSame + tail;

    QByteArray changed = mainSame;
    changed.replace("cb_AddBits_Checked=False", "cb_AddBits_Checked=True");
    changed.replace("NormPos=10,20,394,461", "NormPos=5,6,389,447");
    QTest::newRow("changed values keep their spelling")
        << head + mainSame + tail << true << "5,6,389,447" << head + changed + tail;

    QTest::newRow("missing keys added at the end of the section")
        << head + QByteArray("[main]\nFlags=0\n\n") + tail << true << "1,2,3,4"
        << head
               + QByteArray("[main]\nFlags=0\nShowCmd=1\nMinMaxPos=-1,-1,-1,-1\nNormPos=1,2,3,4\n"
                            "Rs485Mode_Checked=1\nRtsSleepAfter_Text=0\nRtsSleepBefore_Text=0\n"
                            "RtsSwitch_Checked=0\ncb_AddBits_Checked=1\n\n")
               + tail;

    QByteArray crlf = head + mainSame + tail;
    crlf.replace("\n", "\r\n");
    QByteArray crlfChanged = crlf;
    crlfChanged.replace("cb_AddBits_Checked=False", "cb_AddBits_Checked=True");
    QTest::newRow("CRLF file stays CRLF") << crlf << true << "10,20,394,461" << crlfChanged;
}

void TestDane::placementSaveKeepsOtherLines()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, addBits);
    QFETCH(QString, normPos);
    QFETCH(QByteArray, after);

    QVERIFY(writeFile(kIni, before));
    TMainPlacement p;
    p.Flags = QStringLiteral("0");
    p.ShowCmd = QStringLiteral("1");
    p.MinMaxPos = QStringLiteral("-1,-1,-1,-1");
    p.NormPos = normPos;
    p.cb_AddBits_Checked = addBits;
    QVERIFY(SaveMainPlacement(p, kIni));
    QCOMPARE(readFile(kIni), after);
}

void TestDane::placementSaveCreatesSection()
{
    TMainPlacement p;
    p.Flags = QStringLiteral("0");
    p.ShowCmd = QStringLiteral("1");
    p.MinMaxPos = QStringLiteral("-1,-1,-1,-1");
    p.NormPos = QStringLiteral("100,200,484,641");
    p.Rs485Mode_Checked = false;
    p.RtsSleepAfter_Text = QStringLiteral("25");
    p.RtsSleepBefore_Text = QStringLiteral("5");
    p.RtsSwitch_Checked = true;
    p.cb_AddBits_Checked = true;

    // A file without the section, its last line without an end of line.
    QVERIFY(writeFile(kIni, "[ports]\nCOM1=/dev/ttyUSB0"));
    QVERIFY(SaveMainPlacement(p, kIni));
    const QByteArray saved = readFile(kIni);
    QVERIFY(saved.startsWith("[ports]\nCOM1=/dev/ttyUSB0\n[main]\n"));

    TMainPlacement back;
    QVERIFY(LoadMainPlacement(back, kIni));
    QCOMPARE(back.Flags, p.Flags);
    QCOMPARE(back.ShowCmd, p.ShowCmd);
    QCOMPARE(back.MinMaxPos, p.MinMaxPos);
    QCOMPARE(back.NormPos, p.NormPos);
    QCOMPARE(back.Rs485Mode_Checked, false);
    QCOMPARE(back.RtsSleepAfter_Text, QStringLiteral("25"));
    QCOMPARE(back.RtsSleepBefore_Text, QStringLiteral("5"));
    QCOMPARE(back.RtsSwitch_Checked, true);
    QCOMPARE(back.cb_AddBits_Checked, true);

    // Saving the same again changes nothing.
    QVERIFY(SaveMainPlacement(back, kIni));
    QCOMPARE(readFile(kIni), saved);
}

// A file whose last line ends in a lone CR (cut short, or old Mac line
// ends): the placement saved reads back at the next start, and saving it
// again neither changes the file nor adds another [main] section.
void TestDane::placementAfterALoneCr_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("CRLF file cut short") << QByteArray("[ports]\r\nCOM1=/dev/ttyUSB0\r");
    QTest::newRow("CR line ends") << QByteArray("[ports]\rCOM1=/dev/ttyUSB0\r");
}

void TestDane::placementAfterALoneCr()
{
    QFETCH(QByteArray, file);
    TMainPlacement p;
    p.NormPos = QStringLiteral("100,200,484,641");
    p.RtsSwitch_Checked = true;
    QVERIFY(writeFile(kIni, file));
    QVERIFY(SaveMainPlacement(p, kIni));
    const QByteArray saved = readFile(kIni);
    QVERIFY2(saved.startsWith(file), saved.constData());
    QCOMPARE(saved.count("[main]"), 1);

    TMainPlacement back;
    QVERIFY(LoadMainPlacement(back, kIni));
    QCOMPARE(back.NormPos, p.NormPos);
    QCOMPARE(back.RtsSwitch_Checked, true);
    QVERIFY(SaveMainPlacement(back, kIni));
    QCOMPARE(readFile(kIni), saved);
}

void TestDane::placementPos_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("formatted");
    QTest::newRow("four numbers") << "10,20,394,461" << true << "10,20,394,461";
    QTest::newRow("negative, blanks") << " -1, -1 ,-1,-1" << true << "-1,-1,-1,-1";
    QTest::newRow("three numbers") << "1,2,3" << false << QString();
    QTest::newRow("not a number") << "1,2,x,4" << false << QString();
}

void TestDane::placementPos()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, formatted);
    std::array<int, 4> pos{7, 7, 7, 7};
    QCOMPARE(ParsePlacementPos(text, pos), ok);
    if (ok)
        QCOMPARE(FormatPlacementPos(pos), formatted);
    else
        QCOMPARE(pos, (std::array<int, 4>{7, 7, 7, 7}));
}


// Choosing an adapter for a COM number changes that one line of [ports] (or
// adds it); every other byte stays, and the port layer reads back what was
// written.
void TestDane::portsMappingKeepsOtherLines_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("com");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QByteArray>("after");

    const QString byId = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    const QByteArray id = byId.toUtf8();
    const QByteArray head = "; kept by hand\r\n[main]\r\nFlags=0\r\nNormPos=10,20,394,461\r\n\r\n";
    const QByteArray tail = "\r\n[extra]\r\nkey=value\r\n";
    const QByteArray ports = "[ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2 = /dev/pts/7\r\n";

    QTest::newRow("a key's value, its spelling before '=' kept")
        << head + ports + tail << 2 << byId
        << head + "[ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2 = " + id + "\r\n" + tail;
    QTest::newRow("a new key after the section's last line, CRLF kept")
        << head + ports + tail << 3 << byId << head + ports + "COM3=" + id + "\r\n" + tail;
    QTest::newRow("no section: added at the end")
        << QByteArray("[main]\nFlags=0") << 1 << byId << QByteArray("[main]\nFlags=0\n[ports]\nCOM1=") + id + "\n";
    QTest::newRow("no file") << QByteArray() << 4 << byId << QByteArray("[ports]\nCOM4=") + id + "\n";
    QTest::newRow("the same value: the file as it was") << head + ports + tail << 1 << "/dev/ttyUSB0"
                                                        << head + ports + tail;
    // QSettings reads names as they are spelt and the last of two keys.
    QTest::newRow("another spelling is not the key read")
        << QByteArray("[ports]\ncom1=/dev/ttyUSB0\n[Ports]\nCOM1=/dev/ttyUSB1\n") << 1 << byId
        << QByteArray("[ports]\ncom1=/dev/ttyUSB0\nCOM1=") + id + "\n[Ports]\nCOM1=/dev/ttyUSB1\n";
    QTest::newRow("a key given twice: the last one")
        << QByteArray("[ports]\nCOM1=/dev/ttyUSB0\n[main]\nFlags=0\n[ports]\nCOM1=/dev/ttyUSB1\n") << 1 << byId
        << QByteArray("[ports]\nCOM1=/dev/ttyUSB0\n[main]\nFlags=0\n[ports]\nCOM1=") + id + "\n";
}

void TestDane::portsMappingKeepsOtherLines()
{
    QFETCH(QByteArray, before);
    QFETCH(int, com);
    QFETCH(QString, device);
    QFETCH(QByteArray, after);
    if (!before.isEmpty())
        QVERIFY(writeFile(kIni, before));
    QVERIFY(SaveComPortMapping(com, device, kIni));
    QCOMPARE(readFile(kIni), after);
    QCOMPARE(ComDeviceName(com, kIni, {}), device);
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), QStringList{kIni});
}

void TestDane::portsMappingRefused_data()
{
    QTest::addColumn<int>("com");
    QTest::addColumn<QString>("device");
    QTest::newRow("COM0") << 0 << "/dev/ttyUSB0";
    QTest::newRow("COM9") << 9 << "/dev/ttyUSB0";
    QTest::newRow("empty name") << 1 << "";
    QTest::newRow("a comma, which the reader splits at") << 1 << "/dev/tty,USB0";
    QTest::newRow("a quote") << 1 << "/dev/\"ttyUSB0";
    QTest::newRow("a line end") << 1 << "/dev/ttyUSB0\n[main]";
}

void TestDane::portsMappingRefused()
{
    QFETCH(int, com);
    QFETCH(QString, device);
    const QByteArray before = "[ports]\nCOM1=/dev/ttyUSB0\n";
    QVERIFY(writeFile(kIni, before));
    QVERIFY(!SaveComPortMapping(com, device, kIni));
    QCOMPARE(readFile(kIni), before);
}

// A save leaves its file and nothing else, also over a leftover of a save
// that was killed, through a link, and with the access rights it found.
void TestDane::saveLeavesNothingBeside_data()
{
    QTest::addColumn<bool>("leftover");
    QTest::addColumn<bool>("link");
    QTest::newRow("over an old file") << false << false;
    QTest::newRow("over a killed save's leftover") << true << false;
    QTest::newRow("through a link") << false << true;
}

void TestDane::saveLeavesNothingBeside()
{
    QFETCH(bool, leftover);
    QFETCH(bool, link);
    QTemporaryDir elsewhere;
    const QString real = link ? elsewhere.filePath(kDat) : kDat;
    QVERIFY(writeFile(real, fullRecord().bytes()));
    QVERIFY(QFile::setPermissions(real, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    if (link)
        QVERIFY(QFile::link(real, kDat));
    if (leftover)
        QVERIFY(writeFile(real + QLatin1String(kSaveStagingSuffix), defaultRecord().bytes()));
    UstawDomyslne();
    QVERIFY(SaveTransParams(kDat));
    QCOMPARE(readFile(kDat), ParametryToBytes(V_ParametryProgramu));
    QCOMPARE(QFileInfo(kDat).isSymLink(), link);
    // Owner, group and others: the user's own bits are the owner's seen from here.
    constexpr QFileDevice::Permissions kModeBits = QFileDevice::Permissions::fromInt(0x7077);
    QCOMPARE(QFile::permissions(real) & kModeBits,
             QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    QCOMPARE(QDir(QFileInfo(real).absolutePath()).entryList(QDir::Files | QDir::Hidden | QDir::System),
             QStringList{kDat});
}

// At a start, the leftover of a save killed between its link and its
// rename goes, and nothing that only looks like one.
void TestDane::leftoversRemovedAreOursOnly()
{
    const QStringList ours{kDat + QStringLiteral(".fenwire-new"), kDat + QStringLiteral(".fenwire-new.aB3xYz")};
    const QStringList theirs{kDat,
                             kDat + QStringLiteral(".aB3xYz"), // as QSaveFile would name it, or the user
                             kDat + QStringLiteral(".backup"),
                             kDat + QStringLiteral("~"),
                             kDat + QStringLiteral(".fenwire-new.old"),
                             QStringLiteral("x") + kDat + QStringLiteral(".fenwire-new"),
                             kIni + QStringLiteral(".fenwire-new")};
    for (const QString &name : ours + theirs)
        QVERIFY(writeFile(name, defaultRecord().bytes()));
    QCOMPARE(RemoveSaveLeftovers(kDat), 2);
    QStringList left = QDir().entryList(QDir::Files | QDir::Hidden | QDir::System);
    QStringList expected = theirs;
    left.sort();
    expected.sort();
    QCOMPARE(left, expected);
    QCOMPARE(RemoveSaveLeftovers(kIni), 1);
    QCOMPARE(RemoveSaveLeftovers(kDat), 0);
}


void TestDane::recordingSaveKeepsOtherLines_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("record");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("after");

    const QByteArray head = "; by hand\r\n[ports]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[main]\r\nFlags=0\r\nNormPos=1,2,3,4";
    QTest::newRow("new section at the end, the file's own line ends, a last line without one")
        << head << true << "recordings"
        << head + "\r\n[recording]\r\nRecord=1\r\nFolder=recordings\r\n";

    const QByteArray section = "[recording]\nRecord=True\nFolder = /srv/chamber 2\n\n[main]\nFlags=0\n";
    QTest::newRow("nothing changed: byte for byte") << section << true << "/srv/chamber 2" << section;
    QTest::newRow("switched off: the file's own spelling of booleans")
        << section << false << "/srv/chamber 2"
        << QByteArray("[recording]\nRecord=False\nFolder = /srv/chamber 2\n\n[main]\nFlags=0\n");
    QTest::newRow("missing key after the section's last line, not after its blank line")
        << QByteArray("[recording]\nRecord=0\n\n[main]\nFlags=0\n") << true << "data"
        << QByteArray("[recording]\nRecord=1\nFolder=data\n\n[main]\nFlags=0\n");
    QTest::newRow("no folder given: the key is left alone")
        << QByteArray("[recording]\nRecord=0\n") << true << ""
        << QByteArray("[recording]\nRecord=1\n");
}

void TestDane::recordingSaveKeepsOtherLines()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, record);
    QFETCH(QString, folder);
    QFETCH(QByteArray, after);
    QVERIFY(writeFile(kIni, before));
    TUstawieniaZapisu u;
    u.Record = record;
    u.Folder = folder;
    QVERIFY(SaveRecordingSettings(u, kIni));
    QCOMPARE(readFile(kIni), after);
    TUstawieniaZapisu back;
    QVERIFY(LoadRecordingSettings(back, kIni));
    QCOMPARE(back.Record, record);
    if (!folder.isEmpty())
        QCOMPARE(back.Folder, folder);
}

void TestDane::recordingLoad_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("record");
    QTest::addColumn<QString>("folder");

    QTest::newRow("no section: off, default folder") << QByteArray("[main]\nFlags=0\n") << false << "";
    QTest::newRow("on, any case of names") << QByteArray("[Recording]\nrecord=true\nFOLDER=x\n") << true << "x";
    QTest::newRow("a value that is no boolean leaves it off")
        << QByteArray("[recording]\nRecord=perhaps\n") << false << "";
    QTest::newRow("an empty folder is the default") << QByteArray("[recording]\nRecord=1\nFolder=\n") << true << "";
    QTest::newRow("keys of another section do not count")
        << QByteArray("[main]\nRecord=1\n[recording]\n") << false << "";
}

void TestDane::recordingLoad()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, record);
    QFETCH(QString, folder);
    QVERIFY(writeFile(kIni, ini));
    TUstawieniaZapisu u;
    QVERIFY(LoadRecordingSettings(u, kIni));
    QCOMPARE(u.Record, record);
    QCOMPARE(u.Folder, folder);
}

void TestDane::recordingFolderRefused()
{
    const QByteArray before = "[recording]\nRecord=0\n";
    QVERIFY(writeFile(kIni, before));
    for (const QString &folder : {QStringLiteral("two\nlines"), QStringLiteral(" padded ")}) {
        TUstawieniaZapisu u;
        u.Record = true;
        u.Folder = folder;
        QVERIFY(!SaveRecordingSettings(u, kIni));
        QCOMPARE(readFile(kIni), before);
    }
}

void TestDane::recordingFolderResolved()
{
    TUstawieniaZapisu u;
    QCOMPARE(RecordingFolder(u, QStringLiteral("/etc/fenwire/set_monitor.dat")),
             QStringLiteral("/etc/fenwire/recordings"));
    u.Folder = QStringLiteral("../data/rh");
    QCOMPARE(RecordingFolder(u, QStringLiteral("/etc/fenwire/set_monitor.dat")), QStringLiteral("/etc/data/rh"));
    u.Folder = QStringLiteral("/srv/rh");
    QCOMPARE(RecordingFolder(u, QStringLiteral("set_monitor.dat")), QStringLiteral("/srv/rh"));
    u.Folder.clear();
    QCOMPARE(RecordingFolder(u, QStringLiteral("set_monitor.dat")), QDir::current().absoluteFilePath(QStringLiteral("recordings")));
}

QTEST_GUILESS_MAIN(TestDane)
#include "tst_dane.moc"
