// The main window against a simulated transmitter on a pseudo-terminal:
// what the digits, labels, pictures and chart show, the monitor switch, the
// keys, the placement file, and the pause around the service window.
//
// Every test runs in a temporary working directory of its own, where the
// window finds its parameter file and fen_mon.ini (whose [ports] section
// points COM1 at the simulator).
#include "dane.h"
#include "fenwire_sim.h"
#include "main.h"
#include "ustawienia.h"
#include "ValCtrls.h"

#include "kalibracja.h"
#include "modal_answer.h"
#include "simdevice.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtGui/QScreen>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QStatusBar>
#include <QtWidgets/QToolButton>
#include <QtSerialPort/QSerialPort>
#include <memory>

Q_DECLARE_METATYPE(fwsim::DeviceKind)

namespace {

const QColor kRed(0xFF, 0x00, 0x00);
const QColor kLime(0x00, 0xFF, 0x00);
const QColor kGrey(0x80, 0x80, 0x80);
const QColor kYellow(0xFF, 0xFF, 0x00);

// One reading takes a tick (1 s) and an exchange; a failed one up to four
// attempts more.
constexpr int kReadingTimeoutMs = 6000;

// A port map for the COM numbers a test does not use: nothing real is opened.
QByteArray portsSection(const QString &com1)
{
    QByteArray ini = "[ports]\n";
    ini += "COM1=" + com1.toUtf8() + "\n";
    for (int com = 2; com <= kComPortCount; ++com)
        ini += "COM" + QByteArray::number(com) + "=/nonexistent/fenwire-tty" + QByteArray::number(com) + "\n";
    return ini;
}

// The characters of three digits around a decimal point, as a person reads
// them: digits, '.' for the point, ' ' for a blank position, 'H' for H.
QString shown(const TCharLed *hundredsOrTens, const TCharLed *units, const TCharLed *point, const TCharLed *last)
{
    auto c = [](const TCharLed *led) -> QChar {
        const TChar ch = led->GetChar();
        if (ch <= ch9)
            return QChar('0' + ch);
        switch (ch) {
        case chLoPoint:
            return QLatin1Char('.');
        case chNone:
            return QLatin1Char(' ');
        case chH:
            return QLatin1Char('H');
        default:
            return QLatin1Char('?');
        }
    };
    return QString() + c(hundredsOrTens) + c(units) + c(point) + c(last);
}

QString temperatureShown(const TForm_Main &w)
{
    return shown(w.led_t2, w.led_t1, w.Led_TK, w.led_t0);
}

QString humidityShown(const TForm_Main &w)
{
    return shown(w.led_w2, w.led_w1, w.led_wk, w.led_w0);
}

QColor pixelOf(QWidget *widget, const QPoint &at)
{
    return QColor(widget->grab().toImage().pixel(at));
}

QByteArray readFileBytes(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QPoint centreOf(const TCharLed *led, TLed element)
{
    return led->ElementShape(element).boundingRect().center();
}

// A simulator, a working directory and, once opened, the window.
class Bench
{
public:
    explicit Bench(const fwsim::Config &config = fwsim::Config(), const QByteArray &extraIni = QByteArray())
        : m_oldCwd(QDir::currentPath())
        , sim(config)
    {
        QVERIFY(m_dir.isValid());
        QString error;
        QVERIFY2(sim.start(&error), qPrintable(error));
        QVERIFY(QDir::setCurrent(m_dir.path()));
        QFile ini(QStringLiteral("fen_mon.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(portsSection(sim.devicePath()) + extraIni);
        ready = true;
    }
    ~Bench()
    {
        window.reset();
        QDir::setCurrent(m_oldCwd);
    }

    TForm_Main &open(bool show = true)
    {
        window = std::make_unique<TForm_Main>();
        if (show)
            window->show();
        return *window;
    }

    bool waitForReadings(int count, int timeoutMs = kReadingTimeoutMs)
    {
        return QTest::qWaitFor([&] { return window->Chart1->Series1()->dataCount() >= count; }, timeoutMs);
    }

    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

private:
    QTemporaryDir m_dir;
    QString m_oldCwd;

public:
    fwsim::Simulator sim;
    std::unique_ptr<TForm_Main> window;
    bool ready = false;
};

// A transaction that holds COM1 for a while without using the line, the way
// a slow exchange of another window would.
class HoldingTransaction : public TTHR_Trans_RH
{
public:
    explicit HoldingTransaction(int ms)
        : TTHR_Trans_RH(false, 0, 1, 1, 9600, 1, nullptr, Tab_ApdComPort)
        , m_ms(ms)
    {
    }

protected:
    void THR_Transmit(int &A_Status) override
    {
        QThread::msleep(static_cast<unsigned long>(m_ms));
        A_Status = ST_OK;
    }

private:
    int m_ms;
};

} // namespace

class TstMainWin : public QObject
{
    Q_OBJECT

private slots:
    void startUp();
    void readings_data();
    void readings();
    void failedReadingBlanksEveryPosition();
    void monitoringOffShowsZeroInGrey();
    void offDuringMeasurementDrawsLateResultInGrey();
    void doorPictures();
    void receiveLight();
    void switchRaisesOnlyChanges();
    void keysF10AndF12();
    void inconsistentRangesFallBack_data();
    void inconsistentRangesFallBack();
    void parityFromPlacementFile_data();
    void parityFromPlacementFile();
    void placementFile_data();
    void placementFile();
    void chartKeepsIleProbekPlusOne_data();
    void chartKeepsIleProbekPlusOne();
    void chartRanges_data();
    void chartRanges();
    void settingsButton_data();
    void settingsButton();
    void serviceButtonPausesMonitoring_data();
    void serviceButtonPausesMonitoring();
    void serviceParameterWriteMonitorFollows();
    void failureInTheFreePanel_data();
    void failureInTheFreePanel();
    void endOnRequest_data();
    void endOnRequest();
    void adapterChosenMonitorFollows();
};

void TstMainWin::startUp()
{
    Bench bench;
    QVERIFY(bench.ready);
    QVERIFY(!QFile::exists(bench.path("set_monitor.dat")));
    TForm_Main &w = bench.open();

    // A first start writes the defaults.
    QCOMPARE(QFileInfo(bench.path("set_monitor.dat")).size(), qint64(kParamRecordSize));
    QCOMPARE(w.StatusPanel0->text(), QStringLiteral(" COM1, 9600, 2, Add.RS-485: 1"));
    QCOMPARE(w.windowTitle(), QStringLiteral("DORNAL Monitor Fenwire  ") + GetBuildInfo());
    QCOMPARE(Tab_ApdComPort, w.Porty().table());

    QVERIFY(w.Timer1->isActive());
    QCOMPARE(w.Timer1->interval(), 1000);
    QCOMPARE(w.Timer1->timerType(), Qt::PreciseTimer);
    QVERIFY(w.RxS_trans->On());
    QVERIFY(w.RxS_trans->isHidden());

    // Before the first reading: 00.0 in grey, humidity, minus and unit hidden.
    QCOMPARE(temperatureShown(w), QStringLiteral("00.0"));
    QCOMPARE(w.led_t1->CharColor(), kGrey);
    QVERIFY(w.led_w1->isHidden());
    QVERIFY(w.ch_minus->isHidden());
    QVERIFY(w.lab_celc->isHidden());
    QCOMPARE(w.lab_temp->text(), QStringLiteral("Temperature"));

    // One measurement per tick, one at a time.
    QVERIFY(bench.waitForReadings(3, 6000));
    const QList<fwsim::Request> requests = bench.sim.requests();
    QVERIFY(requests.size() >= 3);
    for (int i = 1; i < requests.size(); ++i) {
        const int64_t gap = requests[i].atMs - requests[i - 1].atMs;
        QVERIFY2(gap > 700 && gap < 1300, qPrintable(QString::number(gap)));
    }
}

void TstMainWin::readings_data()
{
    QTest::addColumn<fwsim::DeviceKind>("kind");
    QTest::addColumn<int>("temperature");
    QTest::addColumn<int>("humidity");
    QTest::addColumn<bool>("fahrenheit");
    QTest::addColumn<bool>("minus");
    QTest::addColumn<QString>("temp");
    QTest::addColumn<QString>("hum"); // empty: the humidity group is hidden
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("raw1");
    QTest::addColumn<double>("plottedHumidity");

    const auto th = fwsim::DeviceKind::FWTH01;
    const QString degC = QStringLiteral("\u00B0C");
    QTest::newRow("21.5 C, 45.3 %") << th << 215 << 453 << false << false << "21.5" << "45.3" << degC << "21.5"
                                    << 45.3;
    QTest::newRow("-20.5 C: minus sign and 20.5")
        << th << -205 << 453 << false << true << "20.5" << "45.3" << degC << "-20.5" << 45.3;
    QTest::newRow("0.5 C keeps its leading zeros")
        << th << 5 << 100 << false << false << "00.5" << "10.0" << degC << "0.5" << 10.0;
    QTest::newRow("20.0 C raw text without trailing zeros")
        << th << 200 << 453 << false << false << "20.0" << "45.3" << degC << "20" << 45.3;
    QTest::newRow("100.0 % shows 100, not 00.0")
        << th << 215 << 1000 << false << false << "21.5" << "10 0" << degC << "21.5" << 100.0;
    QTest::newRow("123.4 F shows the whole 123")
        << th << 1234 << 453 << true << false << "12 3" << "45.3" << QStringLiteral("\u00B0F") << "123.4" << 45.3;
    QTest::newRow("-999.9 C shows -999") << th << -9999 << 453 << false << true << "99 9" << "45.3" << degC
                                         << "-999.9" << 45.3;
    QTest::newRow("1000.0 C cannot pass for a number")
        << th << 10000 << 453 << false << false << "HH H" << "45.3" << degC << "1000" << 45.3;
    QTest::newRow("humidity 0: group hidden") << th << 215 << 0 << false << false << "21.5" << "" << degC
                                              << "21.5" << 0.0;
    QTest::newRow("temperature-only device: group hidden, -300 plotted")
        << fwsim::DeviceKind::FWT01 << 215 << 453 << false << false << "21.5" << "" << degC << "21.5" << -300.0;
}

void TstMainWin::readings()
{
    QFETCH(fwsim::DeviceKind, kind);
    QFETCH(int, temperature);
    QFETCH(int, humidity);
    QFETCH(bool, fahrenheit);
    QFETCH(bool, minus);
    QFETCH(QString, temp);
    QFETCH(QString, hum);
    QFETCH(QString, unit);
    QFETCH(QString, raw1);
    QFETCH(double, plottedHumidity);

    fwsim::Config config = fixedReadings(temperature, humidity, kind);
    config.fahrenheit = fahrenheit;
    Bench bench(config);
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(bench.waitForReadings(1));

    QCOMPARE(w.ch_minus->isVisible(), minus);
    QCOMPARE(temperatureShown(w), temp);
    QCOMPARE(w.lab_celc->text(), unit);
    QVERIFY(w.lab_celc->isVisible());
    QCOMPARE(w.w1->text(), raw1);
    if (hum.isEmpty()) {
        for (QWidget *widget : {static_cast<QWidget *>(w.lab_wilg), static_cast<QWidget *>(w.lab_proc),
                                static_cast<QWidget *>(w.led_w0), static_cast<QWidget *>(w.led_w1),
                                static_cast<QWidget *>(w.led_w2), static_cast<QWidget *>(w.led_wk)})
            QVERIFY2(widget->isHidden(), qPrintable(widget->objectName()));
    } else {
        QVERIFY(w.lab_wilg->isVisible());
        QVERIFY(w.lab_proc->isVisible());
        QCOMPARE(humidityShown(w), hum);
    }

    // The chart gets the signed values in degrees and percent.
    const QCPGraphData t = *(w.Chart1->Series1()->data()->constEnd() - 1);
    const QCPGraphData h = *(w.Chart1->Series2()->data()->constEnd() - 1);
    QCOMPARE(t.value, temperature * 0.1);
    QCOMPARE(h.value, plottedHumidity);
}

void TstMainWin::failedReadingBlanksEveryPosition()
{
    Bench bench(fixedReadings(-205, 453));
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(bench.waitForReadings(1));
    QVERIFY(w.ch_minus->isVisible());
    const QString raw1 = w.w1->text();

    bench.sim.setFault(fwsim::Fault::Silence, 1000);
    QVERIFY(QTest::qWaitFor([&] { return w.led_t1->GetChar() == chNone; }, kReadingTimeoutMs));
    const int points = w.Chart1->Series1()->dataCount();
    for (TCharLed *led : {w.led_t0, w.led_t1, w.led_t2, w.Led_TK, w.led_w0, w.led_w1, w.led_w2, w.led_wk})
        QCOMPARE(led->GetChar(), chNone);
    QVERIFY(w.ch_minus->isHidden());
    // Everything else stays as the last good reading left it.
    QCOMPARE(w.w1->text(), raw1);
    QVERIFY(w.lab_proc->isVisible());
    QCOMPARE(w.led_t1->CharColor(), kRed);

    // Failures add nothing to the chart; polling goes on.
    const int requests = bench.sim.count(0);
    QTest::qWait(2500);
    QVERIFY(bench.sim.count(0) > requests);
    QCOMPARE(w.Chart1->Series1()->dataCount(), points);

    // The next good reading is drawn again.
    bench.sim.setFault(fwsim::Fault::None, 0);
    QVERIFY(QTest::qWaitFor([&] { return w.led_t1->GetChar() == ch0; }, kReadingTimeoutMs));
    QCOMPARE(temperatureShown(w), QStringLiteral("20.5"));
}

void TstMainWin::monitoringOffShowsZeroInGrey()
{
    Bench bench(fixedReadings(215, 453));
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(bench.waitForReadings(1));
    QCOMPARE(w.led_t1->CharColor(), kRed);
    QCOMPARE(w.led_w1->CharColor(), kLime);
    QCOMPARE(pixelOf(w.led_t1, centreOf(w.led_t1, TLed::_2)), kRed); // "1" lights its right bar...
    QCOMPARE(pixelOf(w.led_t1, centreOf(w.led_t1, TLed::_1)), QColor(Qt::black)); // ...not its left one
    QCOMPARE(pixelOf(w.led_w1, centreOf(w.led_w1, TLed::_3)), kLime);                // "5" lights the middle
    QCOMPARE(pixelOf(w.led_w1, centreOf(w.led_w1, TLed::_2)), QColor(Qt::black));

    // Off between two measurements, by a press on the switch (once F10 shows it).
    QTest::keyRelease(&w, Qt::Key_F10);
    QVERIFY(w.RxS_trans->isVisible());
    QVERIFY(QTest::qWaitFor([&] { return w.ThreadsRunning == 0; }, kReadingTimeoutMs));
    const int points = w.Chart1->Series1()->dataCount();
    QTest::mousePress(w.RxS_trans, Qt::LeftButton);
    QVERIFY(!w.RxS_trans->On());

    QCOMPARE(temperatureShown(w), QStringLiteral("00.0"));
    QVERIFY(w.led_w1->isHidden());
    QCOMPARE(w.led_t1->CharColor(), kGrey);
    QCOMPARE(pixelOf(w.led_t1, centreOf(w.led_t1, TLed::_0)), kGrey);
    QCOMPARE(w.Chart1->Series1()->dataCount(), points + 1);
    QCOMPARE((w.Chart1->Series1()->data()->constEnd() - 1)->value, 0.0);
    QCOMPARE((w.Chart1->Series2()->data()->constEnd() - 1)->value, 0.0);

    // The timer runs on, but no measurement starts.
    QVERIFY(w.Timer1->isActive());
    const int requests = bench.sim.count(0);
    QTest::qWait(2200);
    QCOMPARE(bench.sim.count(0), requests);

    // On again: readings and active colours come back.
    QTest::mousePress(w.RxS_trans, Qt::LeftButton);
    QVERIFY(w.RxS_trans->On());
    QVERIFY(QTest::qWaitFor([&] { return temperatureShown(w) == QStringLiteral("21.5"); }, kReadingTimeoutMs));
    QCOMPARE(w.led_t1->CharColor(), kRed);
}

void TstMainWin::offDuringMeasurementDrawsLateResultInGrey()
{
    Bench bench(fixedReadings(215, 453));
    QVERIFY(bench.ready);
    // Slow replies, still within one wait of the exchange.
    bench.sim.setFaultRate(fwsim::Fault::Delay, 1.0, 150);
    TForm_Main &w = bench.open();
    QVERIFY(bench.waitForReadings(1));
    const int points = w.Chart1->Series1()->dataCount();

    QVERIFY(QTest::qWaitFor([&] { return w.ThreadsRunning == 1; }, kReadingTimeoutMs));
    w.RxS_trans->SetOn(false);
    // Pending: blank at once, nothing plotted.
    QCOMPARE(temperatureShown(w), QStringLiteral("    "));
    QCOMPARE(humidityShown(w), QStringLiteral("    "));
    QCOMPARE(w.Chart1->Series1()->dataCount(), points);

    // The late result is drawn, in grey, and plotted.
    QVERIFY(QTest::qWaitFor([&] { return w.ThreadsRunning == 0; }, kReadingTimeoutMs));
    QCOMPARE(temperatureShown(w), QStringLiteral("21.5"));
    QCOMPARE(humidityShown(w), QStringLiteral("45.3"));
    QCOMPARE(w.led_t1->CharColor(), kGrey);
    QCOMPARE(w.led_w1->CharColor(), kGrey);
    QCOMPARE(w.Chart1->Series1()->dataCount(), points + 1);
}

void TstMainWin::doorPictures()
{
    fwsim::Config config = fixedReadings(215, 453);
    config.statusByte = 0xC0;
    Bench bench(config);
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();

    struct Step
    {
        uint8_t status;
        QPoint at;
        QColor colour;
    };
    // Closed: a yellow window in the leaf. Open: a yellow opening. Bits 6-7 at
    // 64 say nothing, so the open door stays. 0: no picture.
    const Step steps[] = {
        {0xC0, QPoint(7, 6), kYellow},
        {0x80, QPoint(10, 8), kYellow},
        {0x40, QPoint(10, 8), kYellow},
        {0x00, QPoint(10, 8), QColor(Qt::black)},
    };
    for (const Step &step : steps) {
        config.statusByte = step.status;
        bench.sim.setConfig(config);
        const int before = w.Chart1->Series1()->dataCount();
        QVERIFY(bench.waitForReadings(before + 2));
        QCOMPARE(pixelOf(w.PaintBox1, step.at), step.colour);
    }
}

void TstMainWin::receiveLight()
{
    Bench bench(fixedReadings(215, 453));
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(!w.ApdStatusLight2->Lit());
    QVERIFY(QTest::qWaitFor([&] { return w.ApdStatusLight2->Lit(); }, kReadingTimeoutMs));
    // Dark again between measurements.
    QVERIFY(QTest::qWaitFor([&] { return !w.ApdStatusLight2->Lit(); }, kReadingTimeoutMs));
}

void TstMainWin::switchRaisesOnlyChanges()
{
    TPictureSwitch rx;
    QSignalSpy on(&rx, &TPictureSwitch::switchedOn);
    QSignalSpy off(&rx, &TPictureSwitch::switchedOff);
    QVERIFY(rx.On());
    rx.SetOn(true);
    QCOMPARE(on.count() + off.count(), 0);
    QTest::keyClick(&rx, Qt::Key_Space);
    QCOMPARE(off.count(), 1);
    QTest::mousePress(&rx, Qt::RightButton);
    QVERIFY(!rx.On());
    QTest::mousePress(&rx, Qt::LeftButton);
    QCOMPARE(on.count(), 1);
    QVERIFY(rx.On());
}

void TstMainWin::keysF10AndF12()
{
    Bench bench(fixedReadings(-205, 453));
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(bench.waitForReadings(1));
    w.move(40, 50);
    const QPoint normalPos = w.pos();

    // F10 inverts each of the three on its own; twice restores them.
    w.w2->show();
    QTest::keyRelease(&w, Qt::Key_F10);
    QVERIFY(w.w1->isVisible());
    QVERIFY(w.w2->isHidden());
    QVERIFY(w.RxS_trans->isVisible());
    QTest::keyRelease(&w, Qt::Key_F10, Qt::ShiftModifier);
    QVERIFY(w.w1->isHidden());
    QVERIFY(w.w2->isVisible());
    QVERIFY(w.RxS_trans->isHidden());
    w.w2->hide();

    // Keys released over a child reach the window too.
    w.SB_Serwis->setFocus();
    QTest::keyRelease(w.SB_Serwis, Qt::Key_F10);
    QVERIFY(w.w1->isVisible());
    QTest::keyRelease(&w, Qt::Key_F10);

    // F12: compact, frameless, on top, at the screen's top right.
    QTest::keyRelease(&w, Qt::Key_F12);
    QVERIFY(w.isVisible());
    QCOMPARE(w.size(), QSize(200, 350));
    QVERIFY(w.Panel1->isHidden());
    QVERIFY(w.StatusBar1->isHidden());
    QVERIFY(w.lab_temp->isHidden());
    QVERIFY(w.lab_wilg->isHidden());
    QVERIFY(w.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(w.windowFlags() & Qt::WindowStaysOnTopHint);
    const QRect screen = w.screen()->geometry();
    QCOMPARE(w.pos(), QPoint(screen.right() + 1 - 200, screen.top()));
    QCOMPARE(w.old_left, normalPos.x());
    QCOMPARE(w.old_top, normalPos.y());
    QCOMPARE(w.led_t2->x(), 12);
    QCOMPARE(w.lab_proc->x(), 148);
    // Every digit and the minus sign stay inside the narrow window, apart.
    const QList<QWidget *> digits = {w.ch_minus, w.led_t2, w.led_t1, w.Led_TK, w.led_t0};
    for (int i = 0; i < digits.size(); ++i) {
        QVERIFY(digits[i]->x() >= 0 && digits[i]->geometry().right() < 200);
        if (i > 0)
            QVERIFY(digits[i - 1]->geometry().right() < digits[i]->x());
    }
    QVERIFY(w.Chart1->geometry().bottom() < 350);
    // A reading in the compact layout keeps the humidity label away.
    QVERIFY(bench.waitForReadings(w.Chart1->Series1()->dataCount() + 1));
    QVERIFY(w.lab_wilg->isHidden());
    QVERIFY(w.led_w1->isVisible());
    QCOMPARE(pixelOf(w.ch_minus, centreOf(w.ch_minus, TLed::_3)), kRed);

    // And back.
    QTest::keyRelease(&w, Qt::Key_F12);
    QCOMPARE(w.size(), QSize(384, 421));
    QVERIFY(w.Panel1->isVisible());
    QVERIFY(w.StatusBar1->isVisible());
    QVERIFY(w.lab_temp->isVisible());
    QVERIFY(w.lab_wilg->isVisible());
    QVERIFY(!(w.windowFlags() & Qt::FramelessWindowHint));
    QVERIFY(!(w.windowFlags() & Qt::WindowStaysOnTopHint));
    QCOMPARE(w.pos(), normalPos);
    QCOMPARE(w.led_t2->x(), 162);
    QCOMPARE(w.ch_minus->geometry(), QRect(130, 22, 33, 49));
    QCOMPARE(w.Chart1->geometry(), QRect(1, 160, 382, 175));
}

void TstMainWin::inconsistentRangesFallBack_data()
{
    QTest::addColumn<int>("tempOd");
    QTest::addColumn<int>("tempDo");
    QTest::addColumn<int>("wilgOd");
    QTest::addColumn<int>("wilgDo");
    QTest::addColumn<bool>("fallsBack");
    QTest::newRow("consistent ranges kept") << -20 << 40 << 10 << 90 << false;
    QTest::newRow("equal ends kept") << 20 << 20 << 50 << 50 << false;
    QTest::newRow("temperature upper end above 10000") << 0 << 10001 << 0 << 100 << true;
    QTest::newRow("humidity upper end above 100") << 0 << 50 << 0 << 101 << true;
    QTest::newRow("temperature range inverted") << 30 << 20 << 0 << 100 << true;
    QTest::newRow("humidity range inverted") << 0 << 50 << 60 << 40 << true;
}

void TstMainWin::inconsistentRangesFallBack()
{
    QFETCH(int, tempOd);
    QFETCH(int, tempDo);
    QFETCH(int, wilgOd);
    QFETCH(int, wilgDo);
    QFETCH(bool, fallsBack);

    Bench bench;
    QVERIFY(bench.ready);
    UstawDomyslne();
    SetTransmitParams(V_ParametryProgramu.trans, 5, 19200, 7, kParityNone);
    V_ParametryProgramu.temp_od = tempOd;
    V_ParametryProgramu.temp_do = tempDo;
    V_ParametryProgramu.wilg_od = quint8(wilgOd);
    V_ParametryProgramu.wilg_do = quint8(wilgDo);
    QVERIFY(SaveTransParams(QString::fromLatin1(kParamFileName)));
    const QByteArray file = [&] {
        QFile f(bench.path("set_monitor.dat"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();

    TForm_Main &w = bench.open(false);
    const QCPRange left = w.Chart1->yAxis->range();
    const QCPRange right = w.Chart1->yAxis2->range();
    if (fallsBack) {
        QCOMPARE(V_ParametryProgramu.trans.ComNum, quint8(1));
        // The bar tells the settings in force, not the ones of the file.
        QCOMPARE(w.StatusPanel0->text(), QStringLiteral(" COM1, 9600, 2, Add.RS-485: 1"));
        QCOMPARE(left.lower, 0.0);
        QCOMPARE(left.upper, 100.0);
        QCOMPARE(right.lower, 0.0);
        QCOMPARE(right.upper, 100.0);
    } else {
        QCOMPARE(w.StatusPanel0->text(), QStringLiteral(" COM5, 19200, 2, Add.RS-485: 7"));
        if (tempOd != tempDo) {
            QCOMPARE(left.lower, double(tempOd));
            QCOMPARE(left.upper, double(tempDo));
            QCOMPARE(right.lower, double(wilgOd));
            QCOMPARE(right.upper, double(wilgDo));
        } else {
            // Equal ends are refused by the chart: the design ranges stay.
            QCOMPARE(left.lower, TTrendChart::kDesignTempOd);
            QCOMPARE(right.upper, TTrendChart::kDesignWilgDo);
        }
    }
    // The fall-back is in memory only.
    QFile f(bench.path("set_monitor.dat"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), file);
}

void TstMainWin::parityFromPlacementFile_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<bool>("odd");
    QTest::newRow("no section: no parity") << QByteArray() << false;
    QTest::newRow("cb_AddBits_Checked=0: no parity") << QByteArray("[main]\ncb_AddBits_Checked=0\n") << false;
    QTest::newRow("cb_AddBits_Checked=1: odd parity") << QByteArray("[main]\ncb_AddBits_Checked=1\n") << true;
    QTest::newRow("cb_AddBits_Checked=True: odd parity") << QByteArray("[main]\ncb_AddBits_Checked=True\n")
                                                          << true;
}

void TstMainWin::parityFromPlacementFile()
{
    QFETCH(QByteArray, section);
    QFETCH(bool, odd);

    Bench bench(fixedReadings(215, 453), section);
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QCOMPARE(w.cb_AddBits->isChecked(), odd);
    for (int com = 1; com <= kComPortCount; ++com)
        QCOMPARE(w.Porty().port(com).Parity(), odd ? TParity::Odd : TParity::None);
    QVERIFY(bench.waitForReadings(1));
    const QList<fwsim::Request> requests = bench.sim.requests();
    QVERIFY(!requests.isEmpty());
    QCOMPARE(requests.last().oddParity, odd);
}

void TstMainWin::placementFile_data()
{
    QTest::addColumn<bool>("compact");
    QTest::newRow("closed in the normal layout") << false;
    QTest::newRow("closed in the compact layout: the normal window is kept") << true;
}

void TstMainWin::placementFile()
{
    QFETCH(bool, compact);

    const QByteArray section = "[main]\nNormPos=30,40,414,461\nRtsSleepBefore_Text=12\nRs485Mode_Checked=0\n";
    Bench bench(fixedReadings(215, 453), section);
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.pos(), QPoint(30, 40));
    QCOMPARE(w.RtsSleepBefore->text(), QStringLiteral("12"));
    QVERIFY(!w.Rs485Mode->isChecked());

    w.move(60, 70);
    const QRect frame = w.frameGeometry();
    w.RtsSwitch->setChecked(true);
    if (compact)
        QTest::keyRelease(&w, Qt::Key_F12);
    QVERIFY(w.close());

    TMainPlacement p;
    QVERIFY(LoadMainPlacement(p, QString::fromLatin1(kPlacementFileName)));
    std::array<int, 4> pos{};
    QVERIFY(ParsePlacementPos(p.NormPos, pos));
    QCOMPARE(pos[0], 60);
    QCOMPARE(pos[1], 70);
    QCOMPARE(pos[2] - pos[0], frame.width());
    QCOMPARE(pos[3] - pos[1], frame.height());
    QVERIFY(p.RtsSwitch_Checked);
    QCOMPARE(p.RtsSleepBefore_Text, QStringLiteral("12"));
    QVERIFY(!p.Rs485Mode_Checked);

    // The port map stays in the file.
    QFile ini(bench.path("fen_mon.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains("COM1=" + bench.sim.devicePath().toUtf8()));
}

void TstMainWin::chartKeepsIleProbekPlusOne_data()
{
    QTest::addColumn<int>("ileProbek");
    QTest::addColumn<int>("readings");
    QTest::addColumn<int>("ileAfter");      // ile_probek for the readings that follow
    QTest::addColumn<int>("readingsAfter");
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("oldest");     // temperature of the oldest point kept

    QTest::newRow("fewer readings than samples") << 5 << 3 << 5 << 0 << 3 << 0.0;
    QTest::newRow("samples + 1 readings: nothing dropped yet") << 5 << 6 << 5 << 0 << 6 << 0.0;
    QTest::newRow("one more: the oldest goes") << 5 << 7 << 5 << 0 << 6 << 1.0;
    QTest::newRow("many more: samples + 1 newest kept") << 5 << 20 << 5 << 0 << 6 << 14.0;
    QTest::newRow("no samples: one point") << 0 << 4 << 0 << 0 << 1 << 3.0;
    QTest::newRow("lowered while running: one out per one in") << 10 << 11 << 3 << 5 << 11 << 5.0;
    QTest::newRow("1000 samples settle at 1001") << 1000 << 1500 << 1000 << 0 << 1001 << 499.0;
}

void TstMainWin::chartKeepsIleProbekPlusOne()
{
    QFETCH(int, ileProbek);
    QFETCH(int, readings);
    QFETCH(int, ileAfter);
    QFETCH(int, readingsAfter);
    QFETCH(int, count);
    QFETCH(double, oldest);

    TTrendChart chart;
    const double start = 1.7e9;
    int n = 0;
    for (; n < readings; ++n)
        chart.AddReadingAt(start + n, n, -n, ileProbek);
    for (int i = 0; i < readingsAfter; ++i, ++n)
        chart.AddReadingAt(start + n, n, -n, ileAfter);

    QCOMPARE(chart.Series1()->dataCount(), count);
    QCOMPARE(chart.Series2()->dataCount(), count);
    QCOMPARE(chart.Series1()->data()->constBegin()->value, oldest);
    QCOMPARE(chart.Series2()->data()->constBegin()->value, -oldest);
    // The time axis spans the points kept.
    QCOMPARE(chart.xAxis->range().lower, start + oldest);
    QCOMPARE(chart.Series1()->lineStyle(), QCPGraph::lsStepLeft);
}

void TstMainWin::chartRanges_data()
{
    QTest::addColumn<double>("tempOd");
    QTest::addColumn<double>("tempDo");
    QTest::addColumn<bool>("taken");
    QTest::newRow("-40 to 60 taken") << -40.0 << 60.0 << true;
    QTest::newRow("equal ends refused") << 25.0 << 25.0 << false;
    QTest::newRow("inverted refused") << 60.0 << -40.0 << false;
}

void TstMainWin::chartRanges()
{
    QFETCH(double, tempOd);
    QFETCH(double, tempDo);
    QFETCH(bool, taken);

    TTrendChart chart;
    QCOMPARE(chart.SetRanges(tempOd, tempDo, 10, 90), taken);
    const QCPRange left = chart.yAxis->range();
    QCOMPARE(left.lower, taken ? tempOd : TTrendChart::kDesignTempOd);
    QCOMPARE(left.upper, taken ? tempDo : TTrendChart::kDesignTempDo);
    // The other axis does not depend on it.
    QCOMPARE(chart.yAxis2->range().lower, 10.0);
    QCOMPARE(chart.yAxis2->range().upper, 90.0);
}

void TstMainWin::settingsButton_data()
{
    QTest::addColumn<bool>("write");
    QTest::newRow("Write: status bar and ranges follow") << true;
    QTest::newRow("Cancel: nothing changes") << false;
}

void TstMainWin::settingsButton()
{
    QFETCH(bool, write);

    Bench bench;
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    TForm_Ustaw settings(QString::fromLatin1(kParamFileName), &w);
    Form_Ustaw = &settings;

    QTimer::singleShot(0, &settings, [&] {
        QVERIFY(QTest::qWaitFor([&] { return QApplication::activeModalWidget() == &settings; }, 5000));
        if (write) {
            settings.ie_adres->setText(QStringLiteral("9"));
            settings.ie_temp_od->setText(QStringLiteral("-30"));
            settings.ie_temp_do->setText(QStringLiteral("60"));
            settings.Bit_UstawClick();
        } else {
            settings.ie_adres->setText(QStringLiteral("9"));
            settings.reject();
        }
    });
    QTest::mouseClick(w.SB_Ustaw, Qt::LeftButton);
    Form_Ustaw = nullptr;

    QVERIFY(!settings.isVisible());
    const QCPRange left = w.Chart1->yAxis->range();
    if (write) {
        QCOMPARE(w.StatusPanel0->text(), QStringLiteral(" COM1, 9600, 2, Add.RS-485: 9"));
        QCOMPARE(left.lower, -30.0);
        QCOMPARE(left.upper, 60.0);
    } else {
        QCOMPARE(w.StatusPanel0->text(), QStringLiteral(" COM1, 9600, 2, Add.RS-485: 1"));
        QCOMPARE(left.lower, 0.0);
        QCOMPARE(left.upper, 100.0);
    }
}

void TstMainWin::serviceButtonPausesMonitoring_data()
{
    QTest::addColumn<bool>("monitoring");
    QTest::newRow("monitoring on: restored afterwards") << true;
    QTest::newRow("monitoring off: timer stays off afterwards") << false;
}

void TstMainWin::serviceButtonPausesMonitoring()
{
    QFETCH(bool, monitoring);

    Bench bench(fixedReadings(215, 453));
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(bench.waitForReadings(1));
    if (!monitoring) {
        QVERIFY(QTest::qWaitFor([&] { return w.ThreadsRunning == 0; }, kReadingTimeoutMs));
        w.RxS_trans->SetOn(false);
        QVERIFY(w.Timer1->isActive());
    }

    // A transaction of another window that outlasts the pause: the service
    // window must wait for its end.
    int64_t heldUntil = 0;
    auto *holder = new HoldingTransaction(2500);
    holder->OnTerminate = [&heldUntil](TTHR_Trans_RH *) { heldUntil = TickMS(); };

    struct Seen
    {
        bool opened = false;
        int64_t at = 0;
        int threads = -1;
        int running = -1;
        bool timer = true;
        bool switchOn = true;
    } seen;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *service = qobject_cast<TForm_Kalibracja *>(QApplication::activeModalWidget());
        if (!service || seen.opened)
            return;
        seen = {true, TickMS(), w.ThreadsRunning, TTHR_Trans_RH::Running(1), w.Timer1->isActive(),
                w.RxS_trans->On()};
        service->reject();
    });
    poll.start();
    const int64_t clicked = TickMS();
    QTest::mouseClick(w.SB_Serwis, Qt::LeftButton);
    const int64_t returned = TickMS();
    poll.stop();

    QVERIFY(seen.opened);
    QVERIFY(heldUntil > 0);
    QVERIFY(seen.at >= heldUntil);
    QVERIFY(seen.at - clicked >= 1500);
    QCOMPARE(seen.threads, 0);
    QCOMPARE(seen.running, 0);
    QVERIFY(!seen.timer);
    QVERIFY(!seen.switchOn);
    QVERIFY(returned - seen.at >= 1500);

    QCOMPARE(w.RxS_trans->On(), monitoring);
    QCOMPARE(w.Timer1->isActive(), monitoring);
    QCOMPARE(w.StatusPanel0->text(), QStringLiteral(" COM1, 9600, 2, Add.RS-485: 1"));
    if (monitoring) {
        const int before = w.Chart1->Series1()->dataCount();
        QVERIFY(bench.waitForReadings(before + 1));
    }
}

// A technician changes the transmitter's speed and address in the service
// window: the window closes by itself, the status bar shows the new settings
// and the monitor goes on reading the device under them.
void TstMainWin::serviceParameterWriteMonitorFollows()
{
    Bench bench(fixedReadings(215, 0, fwsim::DeviceKind::FWT01));
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(bench.waitForReadings(1));

    bool written = false;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *service = qobject_cast<TForm_Kalibracja *>(QApplication::activeModalWidget());
        if (!service || written || !service->IsTransReceived())
            return;
        written = true;
        service->co_predkosc->setCurrentText(QStringLiteral(" 19200"));
        service->ie_adres->setText(QStringLiteral("12"));
        service->Bit_KalibWilg->click();
    });
    poll.start();
    QTest::mouseClick(w.SB_Serwis, Qt::LeftButton);
    poll.stop();

    QVERIFY(written);
    QCOMPARE(bench.sim.state().baud, 19200);
    QCOMPARE(bench.sim.state().address, 12);
    QCOMPARE(w.StatusPanel0->text(), QStringLiteral(" COM1, 19200, 2, Add.RS-485: 12"));
    const int before = w.Chart1->Series1()->dataCount();
    QVERIFY(bench.waitForReadings(before + 1));
    const fwsim::Request last = bench.sim.requests().last();
    QCOMPARE(last.baud, 19200);
    QCOMPARE(int(uint8_t(last.frame.at(0))), 12);
}

// A failed reading says why in the free status panel, its tooltip says
// what to do and the status the program has always had for it; no box
// opens. The next good reading clears it.
void TstMainWin::failureInTheFreePanel_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("words");
    QTest::addColumn<QStringList>("tooltip"); // %1 the device, %2 the test's PID
    QTest::newRow("adapter unplugged while read")
        << "unplug" << "Adapter unplugged"
        << QStringList{"%1 disappeared while in use", "Plug it in again", "Status 300: Selected serial port not exist"};
    QTest::newRow("held by another program")
        << "held" << "In use by tst_mainwin"
        << QStringList{"tst_mainwin (PID %2) holds %1", "kill %2", "Status 300: Selected serial port not exist"};
    QTest::newRow("no such device") << "missing" << "No such device"
                                    << QStringList{"There is no device %1 (where COM1 points)", "adapter",
                                                   "Status 300: Selected serial port not exist"};
    QTest::newRow("silent device") << "silence" << "No reply"
                                   << QStringList{"Device not responding", "Status 300"};
}

void TstMainWin::failureInTheFreePanel()
{
    QFETCH(QString, fault);
    QFETCH(QString, words);
    QFETCH(QStringList, tooltip);

    Bench bench(fixedReadings(215, 453));
    QVERIFY(bench.ready);
    // An adapter that goes away is reached through a link of the test's own:
    // a freed pseudo-terminal's number is soon another test's, and a window
    // that reached it there would meet a device after all.
    const bool goesAway = fault == QLatin1String("unplug") || fault == QLatin1String("missing");
    const QString link = bench.path("ttyFW");
    if (goesAway) {
        QVERIFY(bench.sim.setLink(link));
        QFile ini(bench.path("fen_mon.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(portsSection(link));
    }
    const QString device = goesAway ? link : bench.sim.devicePath();
    const auto unplug = [&] {
        bench.sim.unplug();
        QFile::remove(link);
    };
    QSerialPort holder(device);
    if (fault == QLatin1String("held"))
        QVERIFY(holder.open(QIODevice::ReadWrite));
    if (fault == QLatin1String("missing"))
        unplug();
    TModalAnswer answer;
    TForm_Main &w = bench.open();
    const bool firstGood = fault == QLatin1String("unplug") || fault == QLatin1String("silence");
    if (firstGood) {
        QVERIFY(bench.waitForReadings(1));
        QVERIFY(w.StatusPanel1->text().isEmpty());
        QVERIFY(w.StatusPanel1->toolTip().isEmpty());
        if (fault == QLatin1String("unplug"))
            unplug();
        else
            bench.sim.setFault(fwsim::Fault::Silence, 1000);
    }
    QVERIFY2(QTest::qWaitFor([&] { return w.StatusPanel1->text() == words; }, 2 * kReadingTimeoutMs),
             qPrintable(w.StatusPanel1->text()));
    const QString tip = w.StatusPanel1->toolTip();
    for (QString part : tooltip) {
        part.replace(QStringLiteral("%1"), device).replace(QStringLiteral("%2"),
                                                           QString::number(QCoreApplication::applicationPid()));
        QVERIFY2(tip.contains(part), qPrintable(part + QStringLiteral(" / ") + tip));
    }
    QCOMPARE(w.led_t1->GetChar(), chNone);
    QCOMPARE(answer.count(), 0);

    if (fault == QLatin1String("unplug") || fault == QLatin1String("missing"))
        QVERIFY(bench.sim.replug());
    else if (fault == QLatin1String("held"))
        holder.close();
    else
        bench.sim.setFault(fwsim::Fault::None, 0);
    QVERIFY(QTest::qWaitFor([&] { return w.led_t1->GetChar() == ch1; }, 2 * kReadingTimeoutMs));
    QVERIFY(w.StatusPanel1->text().isEmpty());
    QVERIFY(w.StatusPanel1->toolTip().isEmpty());
}

// Asked from outside to end (a signal), the program closes whatever window
// is open above the main one as its Cancel would, then the main window as
// its close box does: the placement is written.
void TstMainWin::endOnRequest_data()
{
    QTest::addColumn<QString>("above");
    QTest::newRow("nothing above the main window") << "";
    QTest::newRow("the settings window open") << "settings";
    QTest::newRow("the service window open") << "service";
}

void TstMainWin::endOnRequest()
{
    QFETCH(QString, above);
    Bench bench(fixedReadings(215, 453));
    QVERIFY(bench.ready);
    TForm_Main &w = bench.open();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TForm_Ustaw settings(QString::fromLatin1(kParamFileName), &w);
    Form_Ustaw = &settings;
    bool sawAbove = false;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        const bool wanted = above == QLatin1String("settings") ? modal == &settings
                                                                : qobject_cast<TForm_Kalibracja *>(modal) != nullptr;
        if (!wanted || sawAbove)
            return;
        sawAbove = true;
        w.ZakonczNaZadanie();
    });
    if (above.isEmpty()) {
        w.ZakonczNaZadanie();
    } else {
        poll.start();
        QTest::mouseClick(above == QLatin1String("settings") ? w.SB_Ustaw : w.SB_Serwis, Qt::LeftButton);
        poll.stop();
        QVERIFY(sawAbove);
    }
    QVERIFY(QTest::qWaitFor([&] { return !w.isVisible(); }, 10000));
    Form_Ustaw = nullptr;
    QVERIFY(w.Konczy());
    QVERIFY(!settings.isVisible());
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    TMainPlacement p;
    QVERIFY(LoadMainPlacement(p, QString::fromLatin1(kPlacementFileName)));
    QVERIFY(!p.NormPos.isEmpty());
}

// An adapter chosen for COM1 in the settings window: the map in fen_mon.ini
// says so, and the monitor reads the device behind the new adapter from the
// next reading on. (A pseudo-terminal plays the adapter in the list.)
void TstMainWin::adapterChosenMonitorFollows()
{
    Bench bench(fixedReadings(215, 453));
    QVERIFY(bench.ready);
    fwsim::Simulator other(fixedReadings(-105, 222));
    QVERIFY(other.start());
    TAdapter adapter;
    adapter.Device = other.devicePath();
    adapter.Description = QStringLiteral("USB-RS485 converter");
    adapter.VendorId = 0x0403;
    adapter.ProductId = 0x6001;
    SetAdapterSource([adapter] { return TAdapterList{adapter}; });
    const QByteArray before = readFileBytes(bench.path("fen_mon.ini"));

    TForm_Main &w = bench.open();
    QVERIFY(bench.waitForReadings(1));
    TForm_Ustaw settings(TPlikiProgramu{}, &w);
    Form_Ustaw = &settings;
    QTimer::singleShot(0, &settings, [&] {
        QVERIFY(QTest::qWaitFor([&] { return QApplication::activeModalWidget() == &settings; }, 5000));
        QCOMPARE(settings.co_adapter->count(), 2);
        settings.co_adapter->setFocus();
        QTest::keyClick(settings.co_adapter, Qt::Key_Down);
        settings.Bit_UstawClick();
    });
    QTest::mouseClick(w.SB_Ustaw, Qt::LeftButton);
    Form_Ustaw = nullptr;
    SetAdapterSource({});

    QCOMPARE(readFileBytes(bench.path("fen_mon.ini")),
             QByteArray(before).replace("COM1=" + bench.sim.devicePath().toUtf8(), "COM1=" + other.devicePath().toUtf8()));
    QVERIFY(QTest::qWaitFor([&] { return other.count(SF_MEASURE) >= 1; }, 2 * kReadingTimeoutMs));
    QVERIFY(QTest::qWaitFor([&] { return w.w1->text() == QStringLiteral("-10.5"); }, 2 * kReadingTimeoutMs));
    const int first = bench.sim.count(SF_MEASURE);
    QVERIFY(QTest::qWaitFor([&] { return other.count(SF_MEASURE) >= 3; }, 3 * kReadingTimeoutMs));
    QCOMPARE(bench.sim.count(SF_MEASURE), first);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(resources);
    TstMainWin test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwin.moc"
