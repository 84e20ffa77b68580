// The measurement transaction end to end: worker thread, link and a real
// serial port on a pseudo-terminal with the device simulator behind it.
#include "dn_comport.h"
#include "dn_thr_trans_rh.h"
#include "dn_transakcja.h"
#include "fenwire_sim.h"
#include "receiver.h"
#include "simdevice.h"

#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

Q_DECLARE_METATYPE(fwsim::DeviceKind)

namespace {

struct Run
{
    TRH_Parametry_Biezace record;
    int doneStatus = -1;
    bool terminated = false;
};

// One transaction as the main window starts it: COM1 of a full port table.
Run measure(TApdComPorts &ports, int address, int baud, TRH_Parametry_Biezace record = {}, int com = 1)
{
    Run r;
    r.record = record;
    r.record.Status_Transmisji = kRecordPending;
    r.doneStatus = WykonajTransakcje<TTHR_RH_Get_Current_Measure>(ports.table(), {com, address, baud}, r.record);
    r.terminated = true;
    return r;
}

} // namespace

class TstMeasure : public QObject
{
    Q_OBJECT

    std::unique_ptr<fwsim::Simulator> m_sim;
    std::unique_ptr<TApdComPorts> m_ports;

    void startSim(const fwsim::Config &config)
    {
        m_sim = std::make_unique<fwsim::Simulator>(config);
        QString error;
        QVERIFY2(m_sim->start(&error), qPrintable(error));
        m_ports = std::make_unique<TApdComPorts>();
        m_ports->port(1).SetDeviceName(m_sim->devicePath());
    }

private Q_SLOTS:
    void cleanup()
    {
        m_ports.reset();
        m_sim.reset();
    }

    void reading_data()
    {
        QTest::addColumn<fwsim::DeviceKind>("kind");
        QTest::addColumn<int>("temperature");
        QTest::addColumn<int>("humidity");
        QTest::addColumn<bool>("fahrenheit");
        QTest::addColumn<int>("expectedHumidity");
        using K = fwsim::DeviceKind;
        QTest::newRow("13 bytes: humidity and temperature") << K::FWTH01 << 215 << 453 << false << 453;
        QTest::newRow("11 bytes: temperature only") << K::FWT01 << 198 << 453 << false << int(kNoValue);
        QTest::newRow("15 bytes: two more data bytes") << K::RH15 << 230 << 610 << false << 610;
        QTest::newRow("negative temperature, bytes FF 38") << K::FWTH02 << -200 << 0 << false << 0;
        QTest::newRow("Fahrenheit reported in status bit 4") << K::FWT02 << 705 << 0 << true << int(kNoValue);
    }
    void reading()
    {
        QFETCH(fwsim::DeviceKind, kind);
        QFETCH(int, temperature);
        QFETCH(int, humidity);
        QFETCH(bool, fahrenheit);
        QFETCH(int, expectedHumidity);
        fwsim::Config c = fixedReadings(temperature, humidity, kind);
        c.fahrenheit = fahrenheit;
        c.modeByte = 0x21;
        startSim(c);
        const Run r = measure(*m_ports, 1, 9600);
        QVERIFY(r.terminated);
        QCOMPARE(r.doneStatus, int(ST_OK));
        QCOMPARE(r.record.Status_Transmisji, int(ST_OK));
        QCOMPARE(int(r.record.Temperatura), temperature);
        QCOMPARE(int(r.record.Wilgotnosc), expectedHumidity);
        QCOMPARE(bool(r.record.Status & kStatusFahrenheit), fahrenheit);
        QCOMPARE(int(r.record.TrybPracy), 0x21);
        QCOMPARE(m_sim->count(SF_MEASURE), 1);
    }

    // How a misbehaving device ends: the readings go to "no value" and the
    // status to 300, after as many sends as the attempts allow.
    void failures_data()
    {
        QTest::addColumn<fwsim::Fault>("fault");
        QTest::addColumn<int>("sends");
        QTest::newRow("silence: exactly 4 sends") << fwsim::Fault::Silence << 4;
        QTest::newRow("CRC errors on every send") << fwsim::Fault::BadCrc << 4;
        QTest::newRow("wrong echo passes the link, fails the transaction") << fwsim::Fault::WrongEcho << 1;
        QTest::newRow("bogus length field") << fwsim::Fault::BadLength << 4;
        QTest::newRow("partial replies") << fwsim::Fault::Partial << 4;
    }
    void failures()
    {
        QFETCH(fwsim::Fault, fault);
        QFETCH(int, sends);
        startSim(fixedReadings(215, 453));
        m_sim->setFault(fault, 100);
        TRH_Parametry_Biezace before;
        before.Temperatura = 111;
        before.Wilgotnosc = 222;
        const Run r = measure(*m_ports, 1, 9600, before);
        QCOMPARE(r.doneStatus, int(ST_TRANS_FAILED));
        QCOMPARE(r.record.Status_Transmisji, int(ST_TRANS_FAILED));
        QCOMPARE(r.record.Temperatura, kNoValue);
        QCOMPARE(r.record.Wilgotnosc, kNoValue);
        QCOMPARE(m_sim->requests().size(), sends);
    }

    void oneBadCrcIsRetried()
    {
        startSim(fixedReadings(215, 453));
        m_sim->setFault(fwsim::Fault::BadCrc, 1);
        const Run r = measure(*m_ports, 1, 9600);
        QCOMPARE(r.doneStatus, int(ST_OK));
        QCOMPARE(int(r.record.Temperatura), 215);
        QCOMPARE(m_sim->requests().size(), 2);
    }

    // Through an FWDL unit: the transparent-mode command at the unit's baud
    // rate and address, then the measurement at the port's previous rate.
    void throughFwdl()
    {
        fwsim::Config c = fixedReadings(215, 453);
        c.fwdl = true;
        c.fwdlAddress = 100;
        c.fwdlBaud = 19200;
        startSim(c);
        TRH_Parametry_Biezace in;
        in.PrzezCentralke = true;
        in.FwdlAdres = 100;
        in.FwdlPredk = 19200;
        const Run r = measure(*m_ports, 1, 9600, in);
        QCOMPARE(r.doneStatus, int(ST_OK));
        QCOMPARE(int(r.record.Wilgotnosc), 453);
        const QList<fwsim::Request> seen = m_sim->requests();
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.at(0).frame.left(3), QByteArray("\x64\x47\x12", 3));
        QCOMPARE(seen.at(0).baud, 19200);
        QCOMPARE(seen.at(1).frame.left(3), QByteArray("\x01\x46\x00", 3));
        QCOMPARE(seen.at(1).baud, 9600);
        QCOMPARE(m_ports->port(1).Baud(), 9600);

        // Without the FWDL step the device does not hear the request.
        const Run direct = measure(*m_ports, 1, 9600);
        QCOMPARE(direct.doneStatus, int(ST_TRANS_FAILED));
    }

    // A line rate the driver refuses (as from a damaged parameter file) with
    // FWDL access: the port cannot go back from the unit's rate, and the
    // measurement must not go out at the unit's rate instead; it fails on
    // the port and says so.
    void fwdlStepWithARefusedRate()
    {
        fwsim::Config c = fixedReadings(215, 453);
        c.fwdl = true;
        c.fwdlAddress = 100;
        c.fwdlBaud = 19200;
        startSim(c);
        TRH_Parametry_Biezace in;
        in.PrzezCentralke = true;
        in.FwdlAdres = 100;
        in.FwdlPredk = 19200;
        const Run r = measure(*m_ports, 1, -1, in);
        QCOMPARE(r.doneStatus, int(ST_TRANS_FAILED));
        QCOMPARE(r.record.Przyczyna.Kod, int(ST_SEND_FAILED));
        for (const fwsim::Request &seen : m_sim->requests())
            QVERIFY2(seen.frame.at(0) == char(100), "only the unit's command went out");
    }

    // No port object for the COM number: 300 at once, nothing sent, the
    // record untouched, and both the completion and OnTerminate still come.
    void noPortForComNumber()
    {
        startSim(fixedReadings(215, 453));
        TApdComPorts ports;
        TComPortTable onlyFirst{};
        onlyFirst[0] = &ports.port(1);
        TRH_Parametry_Biezace record;
        record.Temperatura = 123;
        TestReceiver receiver;
        auto *t = new TTHR_RH_Get_Current_Measure(false, receiver.handle(), 5, 1, 9600, 1, &record, onlyFirst);
        QVERIFY(receiver.waitFor(t));
        QCOMPARE(receiver.doneStatus, int(ST_TRANS_FAILED));
        QCOMPARE(int(record.Temperatura), 123);
        QCOMPARE(record.Status_Transmisji, 0);
        QCOMPARE(m_sim->requests().size(), 0);
    }

    void baudSetOnlyWhenItDiffers()
    {
        startSim(fixedReadings(215, 453));
        TApdComPort &com3 = m_ports->port(3);
        com3.SetDeviceName(m_sim->devicePath());
        QCOMPARE(com3.Baud(), 19200);
        const Run r = measure(*m_ports, 1, 9600, {}, 3);
        QCOMPARE(r.doneStatus, int(ST_OK));
        QCOMPARE(com3.Baud(), 9600);
        QCOMPARE(m_sim->requests().at(0).baud, 9600);
    }

    // The adapter is pulled out and put back: readings fail meanwhile and
    // come back by themselves, through the same port name.
    void unplugAndReplug()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("ttyFW"));
        m_sim = std::make_unique<fwsim::Simulator>(fixedReadings(215, 453));
        QVERIFY(m_sim->start());
        QVERIFY(m_sim->setLink(link));
        m_ports = std::make_unique<TApdComPorts>();
        m_ports->port(1).SetDeviceName(link);

        QCOMPARE(measure(*m_ports, 1, 9600).doneStatus, int(ST_OK));
        m_sim->unplug();
        const Run lost = measure(*m_ports, 1, 9600);
        QCOMPARE(lost.doneStatus, int(ST_TRANS_FAILED));
        QCOMPARE(lost.record.Temperatura, kNoValue);
        QVERIFY(m_sim->replug());
        int status = -1;
        for (int i = 0; i < 3 && status != ST_OK; ++i)
            status = measure(*m_ports, 1, 9600).doneStatus;
        QCOMPARE(status, int(ST_OK));
    }

    // A completion posted to a receiver that is gone is dropped.
    void completionToGoneReceiverIsDropped()
    {
        startSim(fixedReadings(215, 453));
        auto record = std::make_shared<TRH_Parametry_Biezace>();
        bool terminated = false;
        {
            auto receiver = std::make_unique<TestReceiver>();
            auto *t = new TTHR_RH_Get_Current_Measure(false, receiver->handle(), 1, 1, 9600, 1, record.get(),
                                                       m_ports->table());
            t->KeepAlive(record);
            t->OnTerminate = [&](TTHR_Trans_RH *) { terminated = true; };
        }
        QTRY_VERIFY(terminated);
        QCOMPARE(record->Status_Transmisji, int(ST_OK));
        QTRY_COMPARE(TTHR_Trans_RH::Running(1), 0);
    }
};

QTEST_GUILESS_MAIN(TstMeasure)
#include "tst_measure.moc"
