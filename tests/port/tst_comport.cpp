// The serial port on QSerialPort against real pseudo-terminals.
#include "dn_adaptery.h"
#include "dn_comport.h"
#include "dn_tools.h"
#include "dn_transmisja.h"
#include "frames.h"
#include "testpty.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>
#include <thread>

class TstComPort : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initialSettings()
    {
        TApdComPorts ports;
        const TComPortTable t = ports.table();
        for (int i = 0; i < kComPortCount; ++i) {
            QCOMPARE(t[i]->ComNumber(), i + 1);
            QCOMPARE(t[i]->Baud(), i < 2 ? 9600 : 19200);
            QCOMPARE(t[i]->StopBits(), 2);
            QVERIFY(!t[i]->Open());
        }
    }

    void openFailures()
    {
        TApdComPort missing(1);
        missing.SetDeviceName(QStringLiteral("/dev/fenwire-no-such-port"));
        QVERIFY_THROWS_EXCEPTION(EBadId, missing.SetOpen(true));
        QVERIFY(!missing.Open());

        // A port held by another program: QSerialPort's lock file refuses it.
        TestPty pty;
        QVERIFY(pty.ok());
        TApdComPort first(1);
        TApdComPort second(2);
        first.SetDeviceName(pty.path());
        second.SetDeviceName(pty.path());
        first.SetOpen(true);
        QVERIFY_THROWS_EXCEPTION(EComError, second.SetOpen(true));

        // The link's view of the same refusals.
        TModbusBuffer request{};
        const uint16_t n = Set_Modbus_Send_Buffer(request, 1, kFunRead, 0, nullptr, 0);
        QCOMPARE(Send_Modbus(&missing, request, n), ST_NO_PORT);
        QCOMPARE(Send_Modbus(&second, request, n), ST_SEND_FAILED);
    }

    void sendReceiveAndBaud()
    {
        TestPty pty;
        QVERIFY(pty.ok());
        TApdComPort port(3);
        port.SetDeviceName(pty.path());
        TModbusBuffer request{};
        const uint16_t n = Set_Modbus_Send_Buffer(request, 1, kFunRead, 0, nullptr, 0);
        QCOMPARE(Send_Modbus(&port, request, n), ST_OK);
        QCOMPARE(pty.read(), hexFrame("01 46 00 00 07 4D 4A"));
        QCOMPARE(pty.speed(), speed_t(B19200));

        port.SetBaud(9600); // applies at once to the open port
        QCOMPARE(pty.speed(), speed_t(B9600));

        // Bytes arrive in the background and are counted from another thread.
        pty.write(QByteArray("abcdef"));
        int seen = 0;
        std::thread worker([&] {
            const int64_t end = TickMS() + 2000;
            while ((seen = port.InBuffUsed()) < 6 && TickMS() < end)
                QThread::msleep(5);
        });
        worker.join();
        QCOMPARE(seen, 6);
        QCOMPARE(port.ReceivedCount(), uint64_t(6));

        uint8_t buf[8] = {};
        QVERIFY_THROWS_EXCEPTION(EComError, port.GetBlock(buf, 7));
        QCOMPARE(port.InBuffUsed(), 6); // a refused read takes nothing
        port.GetBlock(buf, 4);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 4), QByteArray("abcd"));
        QCOMPARE(port.InBuffUsed(), 2);
        port.FlushInBuffer();
        QCOMPARE(port.InBuffUsed(), 0);
        QCOMPARE(port.OutBuffUsed(), 0);
    }

    // The adapter goes away under an open port: the loss is reported once as
    // a send failure, the port is closed, and a later send opens it again.
    void unplugAndReplug()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("ttyFW"));
        auto pty = std::make_unique<TestPty>();
        QVERIFY(QFile::link(pty->path(), link));
        TApdComPort port(1);
        port.SetDeviceName(link);
        TModbusBuffer request{};
        const uint16_t n = Set_Modbus_Send_Buffer(request, 1, kFunRead, 0, nullptr, 0);
        QCOMPARE(Send_Modbus(&port, request, n), ST_OK);
        QVERIFY(!pty->read().isEmpty());

        pty.reset(); // unplugged
        QTRY_VERIFY_WITH_TIMEOUT(!port.Open(), 3000);
        QCOMPARE(Send_Modbus(&port, request, n), ST_SEND_FAILED);
        // Gone, on the first failed send as on the later ones, and named as
        // the user knows it.
        QCOMPARE(port.LastFailure().Fault, TPortFault::Gone);
        QCOMPARE(port.LastFailure().Device, link);
        QCOMPARE(Send_Modbus(&port, request, n), ST_NO_PORT);
        QCOMPARE(port.LastFailure().Fault, TPortFault::Gone);
        QFile::remove(link);
        QCOMPARE(Send_Modbus(&port, request, n), ST_NO_PORT);
        QCOMPARE(port.LastFailure().Fault, TPortFault::Gone);
        QCOMPARE(PortFailureText(port.LastFailure()), link + QStringLiteral(" disappeared while in use"));

        pty = std::make_unique<TestPty>(); // plugged in again
        QVERIFY(QFile::link(pty->path(), link));
        QCOMPARE(Send_Modbus(&port, request, n), ST_OK);
        QCOMPARE(pty->read(), hexFrame("01 46 00 00 07 4D 4A"));
        QCOMPARE(port.LastFailure().Fault, TPortFault::None);

        // A device that was never there is missing, not gone.
        TApdComPort never(2);
        never.SetDeviceName(dir.filePath(QStringLiteral("ttyNever")));
        QCOMPARE(Send_Modbus(&never, request, n), ST_NO_PORT);
        QCOMPARE(never.LastFailure().Fault, TPortFault::NoDevice);
    }

    // One adapter under two names is one port: whichever name opens it
    // first, the other is refused and told who holds the line (as root too,
    // whom the driver's exclusive open does not stop).
    void oneDeviceUnderTwoNames_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("node, then a link") << "node" << "link";
        QTest::newRow("a link, then the node") << "link" << "node";
        QTest::newRow("a link, then a link to the link") << "link" << "link2";
    }
    void oneDeviceUnderTwoNames()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        TestPty pty;
        QVERIFY(pty.ok());
        QTemporaryDir dir;
        const QMap<QString, QString> names{{"node", pty.path()},
                                           {"link", dir.filePath(QStringLiteral("ttyFW"))},
                                           {"link2", dir.filePath(QStringLiteral("ttyFW2"))}};
        QVERIFY(QFile::link(pty.path(), names["link"]));
        QVERIFY(QFile::link(names["link"], names["link2"]));

        TApdComPort a(1);
        TApdComPort b(2);
        a.SetDeviceName(names[first]);
        b.SetDeviceName(names[second]);
        a.SetOpen(true);
        QVERIFY_THROWS_EXCEPTION(EComError, b.SetOpen(true));
        const TPortFailure f = b.LastFailure();
        QCOMPARE(f.Fault, TPortFault::InUse);
        QCOMPARE(f.Device, names[second]);
        QCOMPARE(f.HolderPid, QCoreApplication::applicationPid());
        QCOMPARE(f.HolderCommand, QStringLiteral("tst_comport"));
        QVERIFY2(f.HolderFoundIn.endsWith(QStringLiteral("/LCK..") + pty.path().mid(5).replace('/', '_')),
                 qPrintable(f.HolderFoundIn));
        QCOMPARE(PortFailureText(f),
                 QStringLiteral("%1 is in use by tst_comport (PID %2)").arg(names[second]).arg(f.HolderPid));
        const QString advice = PortFailureAdvice(f);
        QVERIFY2(advice.contains(f.HolderFoundIn) && advice.contains(QStringLiteral("kill %1").arg(f.HolderPid)),
                 qPrintable(advice));

        // Once the first lets go, the second gets the line.
        a.SetOpen(false);
        b.SetOpen(true);
        QVERIFY(b.Open());
    }

    // The adapters QSerialPortInfo finds on this machine (a pseudo-terminal
    // is none): each a device node, its by-id link pointing at it.
    void adaptersOfThisMachine()
    {
        TestPty pty;
        const TAdapterList adapters = ListAdapters();
        for (const TAdapter &a : adapters) {
            QVERIFY2(QFileInfo::exists(a.Device), qPrintable(a.Device));
            QVERIFY(a.Device != pty.path());
            if (!a.ById.isEmpty()) {
                QVERIFY(a.ById.startsWith(QLatin1String(kSerialByIdDir)));
                QCOMPARE(ResolvedDevice(a.ById), ResolvedDevice(a.Device));
                QCOMPARE(FindAdapter(adapters, a.ById)->Device, a.Device);
            }
            QCOMPARE(AdapterMapName(a), a.ById.isEmpty() ? a.Device : a.ById);
        }
        QVERIFY(!FindAdapter(adapters, pty.path()));
    }

    // COM1 without any mapping takes the one USB adapter present; every
    // other case keeps the map or the design's /dev/ttySn.
    void comNumberFallsToTheOnlyUsbAdapter_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("adapters"); // node|by-id|usb
        QTest::addColumn<int>("com");
        QTest::addColumn<QString>("device");

        const QString ftdi = QStringLiteral("/dev/ttyUSB0|/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0|usb");
        const QString ch340 = QStringLiteral("/dev/ttyUSB1||usb");
        const QString uart = QStringLiteral("/dev/ttyS0||");
        const QString byId = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0");
        QTest::newRow("no file, one USB adapter: its by-id name") << QByteArray() << QStringList{ftdi} << 1 << byId;
        QTest::newRow("no by-id link: its node") << QByteArray() << QStringList{ch340} << 1 << "/dev/ttyUSB1";
        QTest::newRow("a UART beside it does not count") << QByteArray() << QStringList{uart, ftdi} << 1 << byId;
        QTest::newRow("two USB adapters: the user chooses") << QByteArray() << QStringList{ftdi, ch340} << 1
                                                             << "/dev/ttyS0";
        QTest::newRow("no adapter") << QByteArray() << QStringList{} << 1 << "/dev/ttyS0";
        QTest::newRow("only COM1 falls to it") << QByteArray() << QStringList{ftdi} << 2 << "/dev/ttyS1";
        QTest::newRow("an empty key maps nothing") << QByteArray("[ports]\nCOM1=\n") << QStringList{ftdi} << 1
                                                   << byId;
        QTest::newRow("another COM mapped: the map says everything")
            << QByteArray("[ports]\nCOM2=/dev/ttyUSB7\n") << QStringList{ftdi} << 1 << "/dev/ttyS0";
        QTest::newRow("COM1 mapped") << QByteArray("[main]\nFlags=0\n[ports]\nCOM1=/dev/pts/9\n")
                                     << QStringList{ftdi} << 1 << "/dev/pts/9";
    }
    void comNumberFallsToTheOnlyUsbAdapter()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, adapters);
        QFETCH(int, com);
        QFETCH(QString, device);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("fen_mon.ini"));
        if (!ini.isEmpty()) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(ini);
        }
        TAdapterList list;
        for (const QString &row : adapters) {
            const QStringList parts = row.split(QLatin1Char('|'));
            TAdapter a;
            a.Device = parts.at(0);
            a.ById = parts.at(1);
            if (parts.at(2) == QLatin1String("usb")) {
                a.VendorId = 0x0403;
                a.ProductId = 0x6001;
            }
            list << a;
        }
        QCOMPARE(ComDeviceName(com, file, list), device);
        // The port objects take the same road through the machine's list.
        SetAdapterSource([list] { return list; });
        TApdComPort port(com, file);
        const QString name = port.DeviceName();
        SetAdapterSource({});
        QCOMPARE(name, device);
    }

    // A missing device names the adapters that are there instead, by the
    // names to map them to.
    void missingDeviceListsTheAdapters()
    {
        TAdapter a;
        a.Device = QStringLiteral("/dev/ttyUSB3");
        a.ById = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
        a.Description = QStringLiteral("FT232R USB UART");
        a.Manufacturer = QStringLiteral("FTDI");
        a.SerialNumber = QStringLiteral("A1B2C3");
        a.VendorId = 0x0403;
        SetAdapterSource([a] { return TAdapterList{a}; });
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("fen_mon.ini"));
        {
            QFile f(ini);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("[ports]\nCOM2=/dev/fenwire-no-such-port\n");
        }
        TApdComPort port(2, ini);
        TModbusBuffer request{};
        const uint16_t n = Set_Modbus_Send_Buffer(request, 1, kFunRead, 0, nullptr, 0);
        const uint16_t status = Send_Modbus(&port, request, n);
        SetAdapterSource({});
        QCOMPARE(status, ST_NO_PORT);
        const TPortFailure f = port.LastFailure();
        QCOMPARE(f.Fault, TPortFault::NoDevice);
        QCOMPARE(f.ComNumber, 2);
        QCOMPARE(PortFailureText(f), QStringLiteral("no such device /dev/fenwire-no-such-port"));
        const QString advice = PortFailureAdvice(f);
        for (const QString &part : {QStringLiteral("COM2"), a.ById, a.Device, a.Description, a.SerialNumber})
            QVERIFY2(advice.contains(part), qPrintable(advice));

        SetAdapterSource([] { return TAdapterList{}; });
        TApdComPort alone(2, ini);
        Send_Modbus(&alone, request, n);
        SetAdapterSource({});
        QVERIFY2(PortFailureAdvice(alone.LastFailure()).contains(QStringLiteral("No serial adapter is present")),
                 qPrintable(PortFailureAdvice(alone.LastFailure())));
    }

    // The COM map lives in section [ports] of fen_mon.ini in the working
    // directory; reading it leaves the file as it was.
    void comMapFromIni()
    {
        QTemporaryDir dir;
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        const QByteArray ini = "[main]\r\nFlags=0\r\nNormPos=10,20,394,459\r\n\r\n[ports]\r\nCOM2=/dev/ttyUSB0\r\n";
        {
            QFile f(QStringLiteral("fen_mon.ini"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(ini);
        }
        const QString com2 = ComDeviceName(2, QStringLiteral("fen_mon.ini"));
        const QString com3 = ComDeviceName(3, QStringLiteral("fen_mon.ini"));
        QFile f(QStringLiteral("fen_mon.ini"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray after = f.readAll();
        QDir::setCurrent(old);
        QCOMPARE(com2, QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(com3, QStringLiteral("/dev/ttyS2"));
        QCOMPARE(after, ini);
    }
};

QTEST_GUILESS_MAIN(TstComPort)
#include "tst_comport.moc"
