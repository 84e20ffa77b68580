// The service window against a simulated device on a pseudo-terminal: the
// search, the identification strip, the service mode of an FWTH-01, both work
// pages with their reads and writes, closing, and a transaction that outlives
// its window.
#include "dane.h"
#include "dn_MyInfoDlg.h"
#include "infonotes.h"
#include "dn_thr_trans_rh.h"
#include "dn_transmisja.h"
#include "fenwire_sim.h"
#include "kalibracja.h"
#include "modal_answer.h"
#include "ValCtrls.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QPointer>
#include <QtTest/QtTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStackedWidget>
#include <memory>

using fwsim::DeviceKind;
using fwsim::Fault;

namespace {

constexpr int kCom = 1;
// Long enough for the search, the identification, an FWTH-01's service mode
// and a first read (a few 450 ms steps), with room for a loaded machine.
constexpr int kFindMs = 20000;
// A module write: two pauses of 1.5 s, one of 1 s, then the close.
constexpr int kModuleWriteMs = 15000;
// An orphaned transaction ends within its own attempts and pauses.
constexpr int kOrphanMs = 30000;

// One device on its own line: the simulator, and the program's ports with
// COM1 on the simulator's pseudo-terminal. A transaction the test left
// running ends before the ports go.
class ServiceLine
{
public:
    explicit ServiceLine(const fwsim::Config &config)
        : sim(config)
    {
    }
    ~ServiceLine()
    {
        QDeadlineTimer deadline(kOrphanMs);
        while (TTHR_Trans_RH::Running(kCom) > 0 && !deadline.hasExpired())
            QTest::qWait(20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Tab_ApdComPort = {};
    }
    bool start(QString *error)
    {
        if (!sim.start(error))
            return false;
        ports.port(kCom).SetDeviceName(sim.devicePath());
        Tab_ApdComPort = ports.table();
        return true;
    }

    fwsim::Simulator sim;
    TApdComPorts ports;
};

fwsim::Config device(DeviceKind kind)
{
    fwsim::Config c;
    c.kind = kind;
    return c;
}

int subOf(const fwsim::Request &r)
{
    return r.frame.size() > 2 ? uint8_t(r.frame.at(2)) : -1;
}

// Index of the first request with the sub-function, or -1.
int firstIndex(const QList<fwsim::Request> &requests, int sub)
{
    for (int i = 0; i < requests.size(); ++i) {
        if (subOf(requests.at(i)) == sub)
            return i;
    }
    return -1;
}

QList<int64_t> timesOf(const QList<fwsim::Request> &requests, int sub)
{
    QList<int64_t> times;
    for (const fwsim::Request &r : requests) {
        if (subOf(r) == sub)
            times << r.atMs;
    }
    return times;
}

const fwsim::Request *lastOf(const QList<fwsim::Request> &requests, int sub)
{
    for (auto it = requests.crbegin(); it != requests.crend(); ++it) {
        if (subOf(*it) == sub)
            return &*it;
    }
    return nullptr;
}



QString pageOf(const TForm_Kalibracja &w)
{
    return w.PageControl1->currentWidget()->objectName();
}

// The module configuration the page tests start from: channel 1 on 0-20 mA,
// channel 2 on 4-20 mA, with scale values that show the shortest decimal form.
fwsim::Config module()
{
    fwsim::Config c = device(DeviceKind::FWADC01);
    c.address = 5;
    c.fahrenheit = true;
    c.adcType1 = FCT_020MA;
    c.adcType2 = FCT_420MA;
    c.adcRanges = {20, 205, 40, 1000, 0, 1000, 123, 456};
    return c;
}

// Waits until the module page shows a read, then until no transaction is in
// flight, so that the test's next action meets an idle window.
bool waitModuleIdle(TForm_Kalibracja &w, ServiceLine &line)
{
    QDeadlineTimer deadline(kFindMs);
    while (!deadline.hasExpired()) {
        if (pageOf(w) == QLatin1String("Tab_Fwadc") && !w.ed_FwadcCurrAdres->text().isEmpty()
            && line.sim.count(SF_ADC_CONFIG_READ) > 0 && w.TxThreadsRunning() == 0)
            return true;
        QTest::qWait(5);
    }
    return false;
}

} // namespace

class TstService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Scale values are shown and read in the user's locale; the tests
        // write them with a point.
        QLocale::setDefault(QLocale::c());
    }

    void init()
    {
        UstawDomyslne();
        V_ParametryProgramu.trans.ComNum = kCom;
    }

    void cleanup()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *note = qobject_cast<TFormInfoDlg *>(w))
                MyInfoDlgClose(note->handle());
        }
        QTRY_COMPARE(openNotes(), 0);
    }

    // --- Search, identification and the strip ----------------------------------

    void identifiesTheDevice_data()
    {
        QTest::addColumn<int>("kind"); // -1: a device the simulator does not play
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("typeName");
        QTest::addColumn<bool>("serviceMode");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("date");

        QTest::newRow("FWTH-01: service mode before anything else, serial and date shown")
            << int(DeviceKind::FWTH01) << "TabSheet2" << "FWTH-01" << true << "     12345" << "2014-03-09";
        QTest::newRow("FWTH-02: no service mode, serial and date hidden")
            << int(DeviceKind::FWTH02) << "TabSheet2" << "FWTH-02" << false << "" << "";
        QTest::newRow("FWT-01: no service mode, serial and date hidden")
            << int(DeviceKind::FWT01) << "TabSheet2" << "FWT-01" << false << "" << "";
        QTest::newRow("FWT-02: no service mode, serial and date hidden")
            << int(DeviceKind::FWT02) << "TabSheet2" << "FWT-02" << false << "" << "";
        QTest::newRow("FWADC-01: the module page, serial and date hidden")
            << int(DeviceKind::FWADC01) << "Tab_Fwadc" << "FWADC-01" << false << "" << "";
        QTest::newRow("type 255: transmitter page, unknown name")
            << int(DeviceKind::UNKNOWN255) << "TabSheet2" << "<...>" << false << "" << "";
    }

    void identifiesTheDevice()
    {
        QFETCH(int, kind);
        QFETCH(QString, page);
        QFETCH(QString, typeName);
        QFETCH(bool, serviceMode);
        QFETCH(QString, serial);
        QFETCH(QString, date);

        ServiceLine line(device(DeviceKind(kind)));
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QCOMPARE(pageOf(w), QStringLiteral("Tab_Start"));
        QVERIFY(w.Animate1->IsPlaying());
        QVERIFY(!w.L_szukanie->isHidden());

        QTRY_COMPARE_WITH_TIMEOUT(pageOf(w), page, kFindMs);
        QCOMPARE(w.L_typ_urzadzenia->text(), typeName);
        QCOMPARE(w.L_wersja->text(), QStringLiteral("1.07"));
        QVERIFY(!w.Animate1->IsPlaying());
        QVERIFY(w.Animate1->isHidden());
        QVERIFY(w.L_szukanie->isHidden());
        QCOMPARE(w.L_nr_seryjny->text(), serial);
        QCOMPARE(w.L_data_prod->text(), date);
        const bool strip = !serial.isEmpty();
        QCOMPARE(w.L_numer->isHidden(), !strip);
        QCOMPARE(w.Bevel6->isHidden(), !strip);
        QCOMPARE(w.L_data->isHidden(), !strip);
        QCOMPARE(w.Bevel3->isHidden(), !strip);

        // The page's first read follows; the service mode comes before it.
        const int read = DeviceKind(kind) == DeviceKind::FWADC01 ? SF_ADC_CONFIG_READ : SF_PARAMS_READ;
        QTRY_VERIFY_WITH_TIMEOUT(line.sim.count(read) > 0, kFindMs);
        const QList<fwsim::Request> requests = line.sim.requests();
        QCOMPARE(subOf(requests.first()), int(SF_IDENTIFY));
        if (serviceMode) {
            QVERIFY(firstIndex(requests, SF_SERVICE_MODE) > firstIndex(requests, SF_IDENTIFY));
            QVERIFY(firstIndex(requests, SF_SERVICE_MODE) < firstIndex(requests, read));
            // The identity bytes exactly as identified: type, variant, serial low, high.
            const QByteArray entry = requests.at(firstIndex(requests, SF_SERVICE_MODE)).frame;
            QCOMPARE(entry.mid(5, 4), QByteArray::fromHex("01003930"));
        } else {
            QCOMPARE(line.sim.count(SF_SERVICE_MODE), 0);
        }
    }

    // An FWTH-01 of a later variant is an FWTH-01 all the same: the window
    // opens its service mode before it reads the parameters, as rh_poll does.
    void laterFwth01VariantGetsServiceMode()
    {
        fwsim::Config c = device(DeviceKind::FWTH01);
        c.variant = 2;
        ServiceLine line(c);
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QTRY_COMPARE_WITH_TIMEOUT(pageOf(w), QStringLiteral("TabSheet2"), kFindMs);
        QTRY_VERIFY_WITH_TIMEOUT(w.IsTransReceived(), kFindMs);
        const QList<fwsim::Request> requests = line.sim.requests();
        QVERIFY(firstIndex(requests, SF_SERVICE_MODE) > firstIndex(requests, SF_IDENTIFY));
        QVERIFY(firstIndex(requests, SF_SERVICE_MODE) < firstIndex(requests, SF_PARAMS_READ));
        QCOMPARE(requests.at(firstIndex(requests, SF_SERVICE_MODE)).frame.mid(5, 4), QByteArray::fromHex("01023930"));
    }

    // The programmer device is identified but has no page: the search
    // display stays, the parameters are read once in the background, and
    // nothing more goes on the line.
    void programmerGetsNoPage()
    {
        ServiceLine line(device(DeviceKind::HERON30));
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(line.sim.count(SF_PARAMS_READ) > 0, 2 * kFindMs);
        QTest::qWait(6 * 450);
        QCOMPARE(pageOf(w), QStringLiteral("Tab_Start"));
        QVERIFY(w.IsIdReceived());
        QVERIFY(w.Animate1->IsPlaying());
        QVERIFY(!w.L_szukanie->isHidden());
        QCOMPARE(line.sim.count(SF_IDENTIFY), 1);
        QCOMPARE(line.sim.count(SF_PARAMS_READ), 1);
        QCOMPARE(line.sim.count(SF_SERVICE_MODE), 0);
    }

    void serviceModeRepeatedEverySixthStep()
    {
        ServiceLine line(device(DeviceKind::FWTH01));
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(line.sim.count(SF_SERVICE_MODE) >= 3, 4 * kFindMs);

        // Six steps of 450 ms apart, whatever answered in between.
        const QList<int64_t> times = timesOf(line.sim.requests(), SF_SERVICE_MODE);
        for (int i = 1; i < times.size(); ++i) {
            const int64_t gap = times.at(i) - times.at(i - 1);
            QVERIFY2(gap >= 2500 && gap <= 3100, qPrintable(QStringLiteral("gap %1 ms").arg(gap)));
        }
        // Each entry refreshes the strip; the parameters are read once only.
        QCOMPARE(pageOf(w), QStringLiteral("TabSheet2"));
        QCOMPARE(w.L_nr_seryjny->text(), QStringLiteral("     12345"));
        QCOMPARE(line.sim.count(SF_PARAMS_READ), 1);
    }

    void silentLineKeepsSearching()
    {
        ServiceLine line(device(DeviceKind::FWT01));
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        line.sim.setFaultRate(Fault::Silence, 1.0);
        TForm_Kalibracja w(line.ports.table());
        w.show();

        // The animation plays: what is drawn changes over time.
        const QImage before = w.Animate1->grab().toImage();
        QTRY_VERIFY(w.Animate1->grab().toImage() != before);
        QTRY_VERIFY_WITH_TIMEOUT(line.sim.count(SF_IDENTIFY) >= 4, kFindMs);
        QCOMPARE(pageOf(w), QStringLiteral("Tab_Start"));
        QVERIFY(w.Animate1->IsPlaying());
        QVERIFY(!w.L_szukanie->isHidden());
        QCOMPARE(line.sim.requests().size(), line.sim.count(SF_IDENTIFY));

        // Closing waits for the identification on the line, then settles.
        QElapsedTimer closing;
        closing.start();
        w.Bit_Zamknij->click();
        const qint64 took = closing.elapsed();
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Rejected));
        // At most 3 x 300 ms plus 1 s; each wait may overrun by a sleep step
        // or a busy machine's scheduling.
        QVERIFY2(took >= 1000 && took <= 2100, qPrintable(QStringLiteral("closing took %1 ms").arg(took)));
    }

    // --- Transmitter page -------------------------------------------------------

    void transmitterPageShowsAndAdoptsTheDevice_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("parity");
        QTest::addColumn<bool>("fahrenheit");
        QTest::addColumn<QString>("parityText");
        QTest::addColumn<QString>("unitText");

        QTest::newRow("FWT-01 at 7, even parity, Fahrenheit")
            << int(DeviceKind::FWT01) << 7 << 2 << true << "  E" << " °F ";
        QTest::newRow("FWTH-02 at 12, no parity, Celsius")
            << int(DeviceKind::FWTH02) << 12 << 0 << false << "  N" << " °C ";
        QTest::newRow("FWTH-01 at 245, odd parity, Fahrenheit")
            << int(DeviceKind::FWTH01) << 245 << 1 << true << "  O" << " °F ";
    }

    void transmitterPageShowsAndAdoptsTheDevice()
    {
        QFETCH(int, kind);
        QFETCH(int, address);
        QFETCH(int, parity);
        QFETCH(bool, fahrenheit);
        QFETCH(QString, parityText);
        QFETCH(QString, unitText);

        fwsim::Config c = device(DeviceKind(kind));
        c.address = address;
        c.parity = parity;
        c.fahrenheit = fahrenheit;
        ServiceLine line(c);
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        V_ParametryProgramu.trans.adresRS485 = 99;
        V_ParametryProgramu.trans.Predkosc = 19200;
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(w.IsTransReceived(), kFindMs);

        QCOMPARE(w.ed_CurrPredkosc->text(), QStringLiteral("  9600"));
        QCOMPARE(w.ed_CurrParzystosc->text(), parityText);
        QCOMPARE(w.ed_CurrAdres->text(), QStringLiteral("  ") + QString::number(address));
        QCOMPARE(w.ed_CurrJednostka->text(), unitText);
        QCOMPARE(w.co_Jednostka->currentIndex(), fahrenheit ? 1 : 0);
        // New values proposed: 9600, no parity, the present address.
        QCOMPARE(w.co_predkosc->currentText(), QStringLiteral("  9600"));
        QCOMPARE(w.co_parzystosc->currentText(), QStringLiteral("N"));
        QCOMPARE(w.ie_adres->text(), QString::number(address));
        // The monitor now speaks to the transmitter as it reported itself.
        const TTransmitParams &t = V_ParametryProgramu.trans;
        QCOMPARE(int(t.ComNum), kCom);
        QCOMPARE(t.Predkosc, 9600);
        QCOMPARE(int(t.adresRS485), address);
        QCOMPARE(int(t.Parity), parity);
        QCOMPARE(int(t.adresRS485_serwis), 247);
        QCOMPARE(int(t.predkosc_Serwis), 9600);
    }

    void parameterWriteClosesAndMonitorFollows_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("FWT-01") << int(DeviceKind::FWT01);
        QTest::newRow("FWTH-01, in its service mode") << int(DeviceKind::FWTH01);
    }

    void parameterWriteClosesAndMonitorFollows()
    {
        QFETCH(int, kind);
        fwsim::Config c = device(DeviceKind(kind));
        c.address = 7;
        ServiceLine line(c);
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(w.IsTransReceived(), kFindMs);

        w.co_predkosc->setCurrentText(QStringLiteral(" 19200"));
        w.co_parzystosc->setCurrentText(QStringLiteral("O"));
        w.ie_adres->setText(QStringLiteral("12"));
        w.co_Jednostka->setCurrentText(QStringLiteral("°F"));
        TModalAnswer answer;
        w.Bit_KalibWilg->click();
        QVERIFY(w.IsTransWriteRequested());
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), kFindMs);
        QCOMPARE(answer.count(), 0);

        const fwsim::State s = line.sim.state();
        QCOMPARE(s.baud, 19200);
        QCOMPARE(s.parity, 1);
        QCOMPARE(s.address, 12);
        QVERIFY(s.fahrenheit);
        const QList<fwsim::Request> requests = line.sim.requests();
        QVERIFY(firstIndex(requests, SF_UNIT_WRITE) < firstIndex(requests, SF_PARAMS_WRITE));
        const TTransmitParams &t = V_ParametryProgramu.trans;
        QCOMPARE(t.Predkosc, 19200);
        QCOMPARE(int(t.adresRS485), 12);
        QCOMPARE(int(t.Parity), 1);
    }

    void transmitterEntriesRefused_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("noSpeed");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");

        const QString empty = QStringLiteral("Fields cannot be empty !");
        QTest::newRow("address 0") << "0" << false << empty << "ie_adres";
        QTest::newRow("address 246, the edit's own maximum is 247") << "246" << false << empty << "ie_adres";
        QTest::newRow("address 247") << "247" << false << empty << "ie_adres";
        QTest::newRow("address not a number") << "1x" << false << "Invalid input value." << "ie_adres";
        QTest::newRow("no speed chosen, the speed gets the focus first") << "300" << true << empty << "co_predkosc";
    }

    void transmitterEntriesRefused()
    {
        QFETCH(QString, address);
        QFETCH(bool, noSpeed);
        QFETCH(QString, message);
        QFETCH(QString, focus);

        ServiceLine line(device(DeviceKind::FWT01));
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(w.IsTransReceived(), kFindMs);

        w.ie_adres->setText(address);
        if (noSpeed)
            w.co_predkosc->setCurrentIndex(-1);
        TModalAnswer answer;
        w.Bit_KalibWilg->click();
        QCOMPARE(answer.count(), 1);
        QCOMPARE(answer.lastTitle(), QStringLiteral("Warning"));
        QCOMPARE(answer.lastText(), message);
        QVERIFY(w.focusWidget());
        QCOMPARE(w.focusWidget()->objectName(), focus);
        QVERIFY(!w.IsTransWriteRequested());
        QTest::qWait(1200); // more than two steps
        QCOMPARE(line.sim.count(SF_UNIT_WRITE), 0);
        QCOMPARE(line.sim.count(SF_PARAMS_WRITE), 0);
        QVERIFY(w.isVisible());
    }

    // --- ADC module page ------------------------------------------------------

    void modulePageRefreshesAndKeepsTheUsersChoice()
    {
        ServiceLine line(module());
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QVERIFY(waitModuleIdle(w, line));

        QCOMPARE(w.ed_FwadcKanal1->text(), QStringLiteral("0 .. 20 mA"));
        QCOMPARE(w.ed_FwadcKanal2->text(), QStringLiteral("4 .. 20 mA"));
        QCOMPARE(w.co_Kanal1->currentIndex(), int(FCT_020MA));
        QCOMPARE(w.co_Kanal2->currentIndex(), int(FCT_420MA));
        QVERIFY(!w.PanelRange1->isHidden());
        QVERIFY(!w.PanelRange2->isHidden());
        // 0-20 mA limits for channel 1, 4-20 mA limits for channel 2, in
        // tenths shown in their shortest form.
        QCOMPARE(w.ed_FwadcRange11->text(), QStringLiteral("2"));
        QCOMPARE(w.ed_FwadcRange12->text(), QStringLiteral("20.5"));
        QCOMPARE(w.ed_FwadcRange21->text(), QStringLiteral("12.3"));
        QCOMPARE(w.ed_FwadcRange22->text(), QStringLiteral("45.6"));
        QCOMPARE(w.ed_Range12->text(), QStringLiteral("20.5"));
        QCOMPARE(w.ed_FwadcCurrAdres->text(), QStringLiteral("5"));
        QCOMPARE(w.ie_FwadcAdres->text(), QStringLiteral("5"));
        QCOMPARE(w.ed_FwadcCurrJednostka->text(), QStringLiteral(" °F "));
        QCOMPARE(w.co_FwadcJednostka->currentIndex(), 1);

        // The user's choices survive the following reads.
        w.co_Kanal1->setCurrentIndex(FCT_TC_R);
        w.ed_Range22->setText(QStringLiteral("7"));
        QVERIFY(w.PanelRange1->isHidden());
        const int reads = line.sim.count(SF_ADC_CONFIG_READ);
        QTRY_VERIFY_WITH_TIMEOUT(line.sim.count(SF_ADC_CONFIG_READ) >= reads + 2, kFindMs);
        QCOMPARE(w.co_Kanal1->currentIndex(), int(FCT_TC_R));
        QCOMPARE(w.ed_FwadcKanal1->text(), QStringLiteral("0 .. 20 mA"));
        QCOMPARE(w.ed_Range22->text(), QStringLiteral("7"));
        QVERIFY(w.PanelRange1->isHidden());
        QCOMPARE(pageOf(w), QStringLiteral("Tab_Fwadc"));
    }

    void channelTypeOutsideTheListShownAsItsNumber_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("selected");
        QTest::newRow("12, the last known type") << 12 << "Termocouple-N" << 12;
        QTest::newRow("13, one beyond the list") << 13 << "13" << -1;
        QTest::newRow("255") << 255 << "255" << -1;
    }

    void channelTypeOutsideTheListShownAsItsNumber()
    {
        QFETCH(int, type);
        QFETCH(QString, shown);
        QFETCH(int, selected);
        fwsim::Config c = module();
        c.adcType1 = type;
        ServiceLine line(c);
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QVERIFY(waitModuleIdle(w, line));
        QCOMPARE(w.ed_FwadcKanal1->text(), shown);
        QCOMPARE(w.co_Kanal1->currentIndex(), selected);
        QCOMPARE(w.ed_FwadcKanal2->text(), QStringLiteral("4 .. 20 mA"));
    }

    void moduleWriteWithPausesThenCloses()
    {
        ServiceLine line(module());
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QVERIFY(waitModuleIdle(w, line));

        // Only channel 2 changes type; channel 1 gets new scale values.
        w.co_Kanal2->setCurrentIndex(FCT_PT100);
        w.ed_Range11->setText(QStringLiteral("4"));
        w.ed_Range12->setText(QStringLiteral("12.34"));
        w.ie_FwadcAdres->setText(QStringLiteral("9"));
        w.co_FwadcJednostka->setCurrentIndex(0);
        TModalAnswer answer;
        w.Bit_Fwadc->click();
        QVERIFY(w.IsFwadcWriteRequested());
        QVERIFY(!w.Bit_Fwadc->isEnabled());
        QVERIFY(!w.Bit_Zamknij->isEnabled());
        QVERIFY(!w.co_Kanal1->isEnabled());
        QVERIFY(w.ed_Range11->isEnabled());

        QTRY_VERIFY_WITH_TIMEOUT(w.InfoHandle() != 0, kFindMs);
        TFormInfoDlg *note = openNote();
        QVERIFY(note);
        QCOMPARE(note->L_Main->text(), QStringLiteral("Writting to sensor ... "));
        QCOMPARE(note->L_Details->text(), QStringLiteral("Please wait ..."));
        QVERIFY(note->windowFlags() & Qt::WindowStaysOnTopHint);

        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), kModuleWriteMs);
        QCOMPARE(answer.count(), 0);
        QTRY_COMPARE(openNotes(), 0);

        const fwsim::State s = line.sim.state();
        QCOMPARE(s.adcType1, int(FCT_020MA));
        QCOMPARE(s.adcType2, int(FCT_PT100));
        // Entries of 4 and 12.34 go out as 40 and 123 tenths, into both
        // ranges of the channel; channel 2 keeps what was shown.
        const std::array<uint16_t, 8> ranges{40, 123, 123, 456, 40, 123, 123, 456};
        QCOMPARE(s.adcRanges, ranges);
        QCOMPARE(s.address, 9);
        QCOMPARE(s.baud, 9600);
        QCOMPARE(s.parity, 0);
        QVERIFY(!s.fahrenheit);
        QCOMPARE(V_ParametryProgramu.trans.Predkosc, 9600);
        QCOMPARE(int(V_ParametryProgramu.trans.adresRS485), 9);
        QCOMPARE(int(V_ParametryProgramu.trans.Parity), 0);

        // The order and the pauses of the write.
        const QList<fwsim::Request> requests = line.sim.requests();
        int types = -1;
        for (int i = 0; i < requests.size(); ++i) {
            if (subOf(requests.at(i)) == SF_ADC_TYPES_READ)
                types = i;
        }
        QVERIFY(types >= 0);
        QList<int> subs;
        for (int i = types; i < requests.size(); ++i)
            subs << subOf(requests.at(i));
        const QList<int> expected{SF_ADC_TYPES_READ,    SF_ADC_TYPE_WRITE, SF_RANGES_020_WRITE,
                                  SF_RANGES_420_WRITE, SF_UNIT_WRITE,     SF_PARAMS_WRITE};
        QCOMPARE(subs, expected);
        const auto at = [&](int k) { return requests.at(types + k).atMs; };
        QVERIFY2(at(1) - at(0) < 500, "no pause before a channel 2 type write");
        QVERIFY2(at(2) - at(1) >= 2450, "1.5 s after the type write and 1 s before the ranges");
        QVERIFY2(at(4) - at(3) >= 1450, "1.5 s after the ranges");
        QCOMPARE(requests.at(types + 1).frame.mid(5, 2), QByteArray::fromHex("0100"));
    }

    void moduleWriteFailureShowsTheStatus()
    {
        ServiceLine line(module());
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QVERIFY(waitModuleIdle(w, line));

        TModalAnswer answer;
        // The next three requests are the write's channel type read.
        line.sim.setFault(Fault::Silence, 3);
        w.Bit_Fwadc->click();
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, kModuleWriteMs);
        QCOMPARE(answer.lastTitle(), QStringLiteral("Warning"));
        QCOMPARE(answer.lastText(), QStringLiteral("Device not responding"));
        QVERIFY(!w.IsFwadcWriteRequested());
        QCOMPARE(w.InfoHandle(), 0);
        QTRY_COMPARE(openNotes(), 0);
        QVERIFY(w.Bit_Fwadc->isEnabled());
        QVERIFY(w.Bit_Zamknij->isEnabled());
        QVERIFY(w.co_Kanal1->isEnabled());
        QVERIFY(w.ie_FwadcAdres->isEnabled());
        QVERIFY(w.isVisible());
        QCOMPARE(line.sim.count(SF_ADC_TYPE_WRITE), 0);
        QCOMPARE(line.sim.count(SF_PARAMS_WRITE), 0);
        // Back to reading; the entries stay for another attempt.
        const int reads = line.sim.count(SF_ADC_CONFIG_READ);
        QTRY_VERIFY_WITH_TIMEOUT(line.sim.count(SF_ADC_CONFIG_READ) > reads, kFindMs);
        QCOMPARE(pageOf(w), QStringLiteral("Tab_Fwadc"));
    }

    void moduleEntryThatDoesNotConvert_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("afterClick");
        QTest::addColumn<QString>("told");

        const QString range11 = QStringLiteral("Channel 1, Range: first value");
        const QString address = QStringLiteral("from 1 to 247");
        QTest::newRow("range not a number") << "ed_Range11" << "abc" << false << range11;
        QTest::newRow("range of channel 2, second value, empty")
            << "ed_Range22" << "" << false << QStringLiteral("Channel 2, Range: second value");
        QTest::newRow("range beyond 16 bits") << "ed_Range12" << "6553.6" << false
                                               << QStringLiteral("Channel 1, Range: second value");
        QTest::newRow("address 0") << "ie_FwadcAdres" << "0" << false << address;
        QTest::newRow("address 248") << "ie_FwadcAdres" << "248" << false << address;
        QTest::newRow("address 261, not cut to 5") << "ie_FwadcAdres" << "261" << false << address;
        QTest::newRow("address not a number") << "ie_FwadcAdres" << "7a" << false << address;
        QTest::newRow("address empty") << "ie_FwadcAdres" << "" << false << address;
        QTest::newRow("range broken between the click and the write") << "ed_Range11" << "4..5" << true << range11;
    }

    void moduleEntryThatDoesNotConvert()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(bool, afterClick);
        QFETCH(QString, told);

        ServiceLine line(module());
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QVERIFY(waitModuleIdle(w, line));

        auto *entry = w.findChild<QLineEdit *>(field);
        QVERIFY(entry);
        TModalAnswer answer;
        if (afterClick) {
            w.Bit_Fwadc->click();
            QVERIFY(w.IsFwadcWriteRequested());
            entry->setText(text); // the range entries stay open during a write request
        } else {
            entry->setText(text);
            w.Bit_Fwadc->click();
        }
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, kFindMs);
        QCOMPARE(answer.lastTitle(), QStringLiteral("Warning"));
        QVERIFY2(answer.lastText().contains(told), qPrintable(answer.lastText()));
        QCOMPARE(w.focusWidget(), entry);
        QVERIFY(!w.IsFwadcWriteRequested());
        QVERIFY(w.Bit_Fwadc->isEnabled());
        QVERIFY(w.Bit_Zamknij->isEnabled());

        QTest::qWait(1200); // more than two steps: nothing is tried again
        QCOMPARE(answer.count(), 1);
        QCOMPARE(w.InfoHandle(), 0);
        QCOMPARE(openNotes(), 0);
        for (int sub : {SF_ADC_TYPES_READ, SF_ADC_TYPE_WRITE, SF_RANGES_020_WRITE, SF_UNIT_WRITE, SF_PARAMS_WRITE})
            QCOMPARE(line.sim.count(uint8_t(sub)), 0);
        QCOMPARE(line.sim.state().address, 5);
    }

    void failedReadReturnsToTheSearchAndUnlocks()
    {
        ServiceLine line(module());
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QVERIFY(waitModuleIdle(w, line));

        // The next read fails at its measurement; a write is asked for
        // while that read is on the line.
        line.sim.setFault(Fault::Silence, 4);
        QTRY_COMPARE(w.TxThreadsRunning(), 1);
        TModalAnswer answer;
        w.Bit_Fwadc->click();
        QVERIFY(w.IsFwadcWriteRequested());
        QVERIFY(!w.Bit_Zamknij->isEnabled());

        QTRY_COMPARE_WITH_TIMEOUT(pageOf(w), QStringLiteral("Tab_Start"), kFindMs);
        QVERIFY(w.Animate1->IsPlaying());
        QVERIFY(w.ed_FwadcCurrAdres->text().isEmpty());
        QVERIFY(w.L_typ_urzadzenia->text().isEmpty());
        QVERIFY(!w.IsFwadcWriteRequested());
        QVERIFY(w.Bit_Zamknij->isEnabled());

        // Found again: the page is usable, and the dropped write never went out.
        QVERIFY(waitModuleIdle(w, line));
        QVERIFY(w.Bit_Fwadc->isEnabled());
        QVERIFY(w.co_Kanal1->isEnabled());
        QCOMPARE(line.sim.count(SF_ADC_TYPES_READ), 0);
        QCOMPARE(answer.count(), 0);
    }

    void closeButtonSetsTheModuleBack()
    {
        fwsim::Config c = module();
        c.fahrenheit = false;
        ServiceLine line(c);
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        TForm_Kalibracja w(line.ports.table());
        w.show();
        QVERIFY(waitModuleIdle(w, line));

        w.Bit_Zamknij->click();
        QVERIFY(!w.isVisible());
        const QList<fwsim::Request> requests = line.sim.requests();
        const fwsim::Request *unit = lastOf(requests, SF_UNIT_WRITE);
        const fwsim::Request *params = lastOf(requests, SF_PARAMS_WRITE);
        QVERIFY(unit && params);
        QCOMPARE(unit->frame.mid(5, 1), QByteArray::fromHex("00"));
        // 9600 baud (byte 32), no parity, the module's own address.
        QCOMPARE(params->frame.mid(5, 3), QByteArray::fromHex("200005"));
        QCOMPARE(int(V_ParametryProgramu.trans.adresRS485), 5);
        QCOMPARE(V_ParametryProgramu.trans.Predkosc, 9600);
    }

    // --- A transaction that outlives its window ----------------------------------

    void orphanedTransactionEndsCleanly_data()
    {
        QTest::addColumn<bool>("moduleWrite");
        QTest::newRow("module write with its pauses") << true;
        QTest::newRow("module read with delayed replies") << false;
    }

    void orphanedTransactionEndsCleanly()
    {
        QFETCH(bool, moduleWrite);
        ServiceLine line(module());
        QString error;
        QVERIFY2(line.start(&error), qPrintable(error));
        auto w = std::make_unique<TForm_Kalibracja>(line.ports.table());
        w->show();
        QVERIFY(waitModuleIdle(*w, line));
        V_ParametryProgramu.trans.adresRS485 = 42;

        if (moduleWrite) {
            w->ie_FwadcAdres->setText(QStringLiteral("9"));
            w->Bit_Fwadc->click();
            QTRY_VERIFY_WITH_TIMEOUT(w->InfoHandle() != 0, kFindMs);
            QTRY_VERIFY(line.sim.count(SF_ADC_TYPES_READ) > 0);
        } else {
            // Replies come late but within the waits of the read.
            line.sim.setFaultRate(Fault::Delay, 1.0, 150);
            const int reads = line.sim.count(SF_ADC_CONFIG_READ);
            QTRY_VERIFY_WITH_TIMEOUT(line.sim.count(SF_ADC_CONFIG_READ) > reads && w->TxThreadsRunning() == 1,
                                     kFindMs);
        }
        QCOMPARE(w->TxThreadsRunning(), 1);
        w.reset();
        QCOMPARE(TTHR_Trans_RH::Running(kCom), 1);
        // The window's note goes with it.
        QTRY_COMPARE(openNotes(), 0);

        QTRY_COMPARE_WITH_TIMEOUT(TTHR_Trans_RH::Running(kCom), 0, kOrphanMs);
        // The transaction ran to its end, and its result reached nobody.
        if (moduleWrite)
            QTRY_COMPARE(line.sim.state().address, 9);
        QCOMPARE(int(V_ParametryProgramu.trans.adresRS485), 42);
    }

    // --- Texts ---------------------------------------------------------------------

    void englishTexts_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("text");
        const std::pair<const char *, const char *> texts[] = {
            {"Bit_Zamknij", "Close"},
            {"L_typ", "Type:"},
            {"L_numer", "S/N:"},
            {"L_data", "Manufactured:"},
            {"L_soft", "Software version:"},
            {"L_szukanie", "Searching for sensor ... "},
            {"L_Uwaga1", "WARNING!  Sensor must be in the service mode"},
            {"L_uwaga2", "Sensors FWTH ---> switch off power supply and then switch on"},
            {"L_uwaga3", "Sensors FWT  ---> use magnet or press button"},
            {"L_ustaw", "Setting of the Transmission parameters"},
            {"L_nowa", "New value"},
            {"L_aktualnie", "Currently"},
            {"L_predkosc", "Baud rate"},
            {"L_parzystosc", "Parity checking mode:"},
            {"L_adres", "Add.RS-485:"},
            {"L_Jednostka", "unit of temp. measure"},
            {"Bit_KalibWilg", "Send to sensor"},
            {"L_UstawFwadc", "Settings FWADC "},
            {"L_FwadcNowa", "New value"},
            {"L_FwadcAktualnie", "Currently"},
            {"L_Kanal1", "Channel 1:"},
            {"L_Kanal2", "Channel 2:"},
            {"L_FwadcAdres", "Add.RS-485:"},
            {"L_FwadcJednostka", "unit of temp. measure:"},
            {"Bit_Fwadc", "Send to sensor"},
            {"L_Range1", "Channel 1, Range: "},
            {"L_Range2", "Channel 2, Range: "},
        };
        for (const auto &[control, text] : texts)
            QTest::newRow(control) << QString::fromLatin1(control) << QString::fromUtf8(text);
    }

    void englishTexts()
    {
        QFETCH(QString, control);
        QFETCH(QString, text);
        TForm_Kalibracja w(TComPortTable{});
        QCOMPARE(w.windowTitle(), QStringLiteral("Service"));
        QObject *o = w.findChild<QObject *>(control);
        QVERIFY(o);
        QCOMPARE(o->property("text").toString(), text);
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TstService test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_service.moc"
