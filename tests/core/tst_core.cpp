// The core under the windows and the tools: the device facts, the service
// workflow's decisions, and the simulator's own copy of the device side
// checked against the library's through a real line.
#include "dn_serwis.h"
#include "dn_transakcja.h"
#include "dn_urzadzenia.h"
#include "fenwire_sim.h"
#include "simdevice.h"

#include <QtTest/QtTest>

using Krok = TSerwis::TKrok;
Q_DECLARE_METATYPE(TSerwis::TKrok)
Q_DECLARE_METATYPE(TRodzajUrzadzenia)

namespace {

TPWT_ID_Informacja identified(uint8_t type, uint8_t variant, int status = ST_OK)
{
    TPWT_ID_Informacja id;
    id.ID.Dev_Type = type;
    id.ID.Dev_Type_Details = variant;
    id.Status_Transmisji = status;
    return id;
}

TPWTTrans params(int baud, int address, int parity, int status = ST_OK)
{
    TPWTTrans t;
    t.predkosc = baud;
    t.adres = static_cast<uint16_t>(address);
    t.parzystosc = static_cast<uint16_t>(parity);
    t.Status_Transmisji = status;
    return t;
}

} // namespace

class TstCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // --- Device facts ---------------------------------------------------------

    void baudByte_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("byte"); // -1: one byte cannot carry it
        QTest::newRow("1200") << 1200 << 4;
        QTest::newRow("57600, the highest listed") << 57600 << 192;
        QTest::newRow("76500, 255 steps") << 76500 << 255;
        QTest::newRow("76800, 256 steps") << 76800 << -1;
        QTest::newRow("115200") << 115200 << -1;
        QTest::newRow("not a whole step") << 9650 << -1;
        QTest::newRow("zero") << 0 << -1;
    }
    void baudByte()
    {
        QFETCH(int, baud);
        QFETCH(int, byte);
        const std::optional<uint8_t> b = PredkoscNaBajt(baud);
        QCOMPARE(b ? int(*b) : -1, byte);
        if (b)
            QCOMPARE(BajtNaPredkosc(*b), baud);
    }

    // Every listed rate travels; nothing else is listed.
    void listedBaudsTravel()
    {
        for (int baud : kPredkosciNadajnika) {
            QVERIFY(JestPredkosciaNadajnika(baud));
            QVERIFY(PredkoscNaBajt(baud).has_value());
        }
        QVERIFY(!JestPredkosciaNadajnika(115200));
        QVERIFY(JestPredkosciaNadajnika(kPredkoscSerwis));
    }

    void addressBounds_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<bool>("transmitter");
        QTest::addColumn<bool>("module");
        QTest::newRow("0") << 0 << false << false;
        QTest::newRow("1") << 1 << true << true;
        QTest::newRow("245") << 245 << true << true;
        QTest::newRow("246") << 246 << false << true;
        QTest::newRow("247, the service address") << 247 << false << true;
        QTest::newRow("248") << 248 << false << false;
    }
    void addressBounds()
    {
        QFETCH(int, address);
        QFETCH(bool, transmitter);
        QFETCH(bool, module);
        QCOMPARE(kAdresyNadajnika.Zawiera(address), transmitter);
        QCOMPARE(kAdresyModulu.Zawiera(address), module);
    }

    // Each parity has one device code and one file code, and back; mark and
    // space have a file code but no device code.
    void parityCodes()
    {
        for (TParity p : {TParity::None, TParity::Odd, TParity::Even, TParity::Mark, TParity::Space}) {
            QCOMPARE(KodPlikuNaParity(ParityNaKodPliku(p)), std::optional<TParity>(p));
            const std::optional<uint16_t> device = ParityNaKodUrzadzenia(p);
            if (p == TParity::Mark || p == TParity::Space) {
                QVERIFY(!device);
                continue;
            }
            QVERIFY(device);
            QCOMPARE(KodUrzadzeniaNaParity(*device), std::optional<TParity>(p));
        }
        QCOMPARE(ParityNaKodUrzadzenia(TParity::Odd), std::optional<uint16_t>(PC_ODD));
        QCOMPARE(ParityNaKodPliku(TParity::Space), kParitySpace);
        QVERIFY(!KodUrzadzeniaNaParity(3));
        QVERIFY(!KodPlikuNaParity(5));
    }

    void deviceKinds_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("variant");
        QTest::addColumn<TRodzajUrzadzenia>("kind");
        QTest::addColumn<bool>("serviceMode");
        QTest::addColumn<bool>("shownAtOnce");
        QTest::newRow("FWTH-01") << 1 << 0 << TRodzajUrzadzenia::FWTH01 << true << false;
        QTest::newRow("FWTH-02") << 1 << 1 << TRodzajUrzadzenia::FWTH02 << false << true;
        QTest::newRow("type 1 variant 2 is an FWTH-01") << 1 << 2 << TRodzajUrzadzenia::FWTH01 << true << false;
        QTest::newRow("FWT-01") << 2 << 0 << TRodzajUrzadzenia::FWT01 << false << true;
        QTest::newRow("FWT-02") << 2 << 1 << TRodzajUrzadzenia::FWT02 << false << true;
        QTest::newRow("FWADC-01") << 3 << 0 << TRodzajUrzadzenia::FWADC01 << false << true;
        QTest::newRow("type 30, the programmer") << 30 << 0 << TRodzajUrzadzenia::Programator << false << false;
        QTest::newRow("type 255") << 255 << 0 << TRodzajUrzadzenia::Ogolny << false << true;
        QTest::newRow("type 7, unknown") << 7 << 0 << TRodzajUrzadzenia::Nieznany << false << false;
    }
    void deviceKinds()
    {
        QFETCH(int, type);
        QFETCH(int, variant);
        QFETCH(TRodzajUrzadzenia, kind);
        QFETCH(bool, serviceMode);
        QFETCH(bool, shownAtOnce);
        QCOMPARE(RodzajUrzadzenia(uint8_t(type), uint8_t(variant)), kind);
        QCOMPARE(WymagaTrybuSerwisowego(uint8_t(type), uint8_t(variant)), serviceMode);
        QCOMPARE(PokazujeIdentyfikacje(uint8_t(type), uint8_t(variant)), shownAtOnce);
    }

    void measurementLayouts()
    {
        QCOMPARE(UkladPomiaru(11)->Wilgotnosc, -1);
        QCOMPARE(UkladPomiaru(11)->Status, 7);
        QCOMPARE(UkladPomiaru(13)->Temperatura, 7);
        QCOMPARE(UkladPomiaru(15)->Tryb, 10);
        QVERIFY(!UkladPomiaru(12));
        // The length field is 16 bits: a frame of 256 + 13 bytes is no 13-byte frame.
        const uint8_t longFrame[] = {1, 70, 0, 1, 13};
        QCOMPARE(int(DlugoscRamki(longFrame)), 269);
        QVERIFY(!UkladPomiaru(DlugoscRamki(longFrame)));
    }

    // --- The service workflow ----------------------------------------------------

    // What the steps ask for, device kind by device kind, from the search to
    // the page's first read; the FWTH-01's service mode comes again every
    // sixth step.
    void workflowSteps_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("variant");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<Krok>("read");
        QTest::addColumn<bool>("serviceMode");
        QTest::newRow("FWTH-01") << 1 << 0 << false << Krok::CzytajTrans << true;
        QTest::newRow("type 1 variant 2") << 1 << 2 << false << Krok::CzytajTrans << true;
        QTest::newRow("FWTH-02") << 1 << 1 << true << Krok::CzytajTrans << false;
        QTest::newRow("FWT-01") << 2 << 0 << true << Krok::CzytajTrans << false;
        QTest::newRow("FWADC-01") << 3 << 0 << true << Krok::CzytajFwadc << false;
        QTest::newRow("type 30") << 30 << 0 << false << Krok::CzytajTrans << false;
        QTest::newRow("type 255") << 255 << 0 << true << Krok::CzytajTrans << false;
    }
    void workflowSteps()
    {
        QFETCH(int, type);
        QFETCH(int, variant);
        QFETCH(bool, shown);
        QFETCH(Krok, read);
        QFETCH(bool, serviceMode);

        TSerwis w;
        QCOMPARE(w.Krok(), Krok::CzytajId);
        // A failed identification is asked again.
        QVERIFY(!w.PoCzytaniuId(identified(uint8_t(type), uint8_t(variant), ST_NO_REPLY)));
        QCOMPARE(w.Krok(), Krok::CzytajId);
        QCOMPARE(w.PoCzytaniuId(identified(uint8_t(type), uint8_t(variant))), shown);
        if (serviceMode) {
            QCOMPARE(w.Krok(), Krok::TrybSerwisowy);
            QVERIFY(w.PoTrybieSerwisowym(w.IdInfo));
            for (int i = 0; i < TSerwis::kServiceModeSteps; ++i)
                QCOMPARE(w.Krok(), read);
            QCOMPARE(w.Krok(), Krok::TrybSerwisowy);
            // A service mode refused starts the search again.
            TPWT_ID_Informacja refused = w.IdInfo;
            refused.Status_Transmisji = ST_NO_REPLY;
            QVERIFY(!w.PoTrybieSerwisowym(refused));
            QCOMPARE(w.Krok(), Krok::CzytajId);
        } else {
            for (int i = 0; i < 2 * TSerwis::kServiceModeSteps; ++i)
                QCOMPARE(w.Krok(), read);
        }
    }

    // What a completed read or write changes in the program parameters.
    void workflowAdoptsSettings()
    {
        TSerwis w;
        w.PoCzytaniuId(identified(DT_FWTH, kFwth02Variant));
        QVERIFY(!w.PoCzytaniuTrans(params(19200, 5, PC_ODD, ST_PARAMS_FAILED)));
        QCOMPARE(w.Krok(), Krok::CzytajTrans);

        // A transmitter that reports no speed speaks the service speed.
        const std::optional<TZmianaKomunikacji> read = w.PoCzytaniuTrans(params(0, 5, PC_ODD));
        QVERIFY(read);
        QCOMPARE(read->Predkosc, kPredkoscSerwis);
        QCOMPARE(read->Adres, 5);
        QCOMPARE(read->Parzystosc, int(PC_ODD));
        QCOMPARE(w.Krok(), Krok::Nic);

        w.KalibTrans = params(38400, 9, PC_EVEN);
        w.ZadajZapisuTrans();
        QCOMPARE(w.Krok(), Krok::PiszTrans);
        QVERIFY(!w.PoZapisieTrans(params(38400, 9, PC_EVEN, ST_NO_REPLY)));
        QVERIFY(!w.WyslijTrans);
        const std::optional<TZmianaKomunikacji> written = w.PoZapisieTrans(params(38400, 9, PC_EVEN));
        QVERIFY(written);
        QCOMPARE(written->Predkosc, 38400);
        QCOMPARE(written->Adres, 9);

        // An FWTH-01 reads its settings again once its service mode is back.
        TSerwis old;
        old.PoCzytaniuId(identified(DT_FWTH, 2));
        old.PoTrybieSerwisowym(old.IdInfo);
        old.PoCzytaniuTrans(params(9600, 1, PC_NONE));
        QVERIFY(old.PoZapisieTrans(params(19200, 3, PC_NONE)));
        QVERIFY(!old.OdebranoTrans);

        // The programmer takes no parameters.
        TSerwis programmer;
        programmer.PoCzytaniuId(identified(DT_PROGRAMMER, 0));
        QVERIFY(!programmer.PoZapisieTrans(params(19200, 3, PC_NONE)));

        // A module write moves the monitor to the module's address at the
        // service speed without parity, and the next step closes.
        TSerwis module;
        module.PoCzytaniuId(identified(DT_FWADC, 0));
        TFwadc_Informacja f;
        f.Adres = 17;
        f.Status_Transmisji = ST_OK;
        module.ZadajZapisuFwadc();
        QCOMPARE(module.Krok(), Krok::PiszFwadc);
        const std::optional<TZmianaKomunikacji> moved = module.PoZapisieFwadc(f);
        QVERIFY(moved);
        QCOMPARE(moved->Predkosc, kPredkoscSerwis);
        QCOMPARE(moved->Adres, 17);
        QCOMPARE(moved->Parzystosc, int(PC_NONE));
        QCOMPARE(module.Krok(), Krok::Zamknij);
    }

    // --- The simulator agrees with the library ---------------------------------

    // Each kind the simulator plays, identified and measured through a real
    // line by the library: the kind the library names, whether it needs the
    // service mode, and where its measurement keeps its readings.
    void simulatorAgrees_data()
    {
        QTest::addColumn<QString>("simKind");
        QTest::addColumn<TRodzajUrzadzenia>("kind");
        QTest::addColumn<bool>("humidity");
        QTest::newRow("fwth01") << "fwth01" << TRodzajUrzadzenia::FWTH01 << true;
        QTest::newRow("fwth02") << "fwth02" << TRodzajUrzadzenia::FWTH02 << true;
        QTest::newRow("fwt01") << "fwt01" << TRodzajUrzadzenia::FWT01 << false;
        QTest::newRow("fwt02") << "fwt02" << TRodzajUrzadzenia::FWT02 << false;
        QTest::newRow("rh15") << "rh15" << TRodzajUrzadzenia::FWTH02 << true;
        QTest::newRow("fwadc01") << "fwadc01" << TRodzajUrzadzenia::FWADC01 << true;
        QTest::newRow("heron30") << "heron30" << TRodzajUrzadzenia::Programator << true;
        QTest::newRow("unknown255") << "unknown255" << TRodzajUrzadzenia::Ogolny << true;
    }
    void simulatorAgrees()
    {
        QFETCH(QString, simKind);
        QFETCH(TRodzajUrzadzenia, kind);
        QFETCH(bool, humidity);

        fwsim::DeviceKind k{};
        QVERIFY(fwsim::kindFromName(simKind, k));
        fwsim::Config c = fixedReadings(-215, 453, k);
        c.address = 7;
        fwsim::Simulator sim(c);
        QString error;
        QVERIFY2(sim.start(&error), qPrintable(error));
        TApdComPorts ports;
        ports.port(1).SetDeviceName(sim.devicePath());

        // Found at the library's service address and speed.
        TPWT_ID_Informacja id;
        QCOMPARE(WykonajTransakcje<TTHR_RH_Get_ID>(ports.table(), {1, kAdresSerwis, kPredkoscSerwis}, id),
                 int(ST_OK));
        QCOMPARE(RodzajUrzadzenia(id.ID.Dev_Type, id.ID.Dev_Type_Details), kind);

        // The simulator refuses parameter requests without the service mode
        // exactly where the library says one is needed.
        TPWTTrans t;
        const int read = WykonajTransakcje<TTHR_RH_Get_Trans>(ports.table(), {1, kAdresSerwis, kPredkoscSerwis}, t);
        QCOMPARE(read != ST_OK, WymagaTrybuSerwisowego(id.ID.Dev_Type, id.ID.Dev_Type_Details));

        // Its measurement has a layout the library knows, and the readings
        // sit where the library looks for them.
        TRH_Parametry_Biezace m;
        QCOMPARE(WykonajTransakcje<TTHR_RH_Get_Current_Measure>(ports.table(), {1, 7, kPredkoscSerwis}, m),
                 int(ST_OK));
        const QList<fwsim::Request> requests = sim.requests();
        QVERIFY(!requests.isEmpty());
        QCOMPARE(int(m.Temperatura), -215);
        QCOMPARE(int(m.Wilgotnosc), humidity ? 453 : int(kNoValue));
    }
};

QTEST_GUILESS_MAIN(TstCore)
#include "tst_core.moc"
