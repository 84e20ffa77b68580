// The serial port on QSerialPort against real pseudo-terminals.
#include "dn_comport.h"
#include "dn_tools.h"
#include "dn_transmisja.h"
#include "frames.h"
#include "testpty.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
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
        QFile::remove(link);
        QCOMPARE(Send_Modbus(&port, request, n), ST_NO_PORT);

        pty = std::make_unique<TestPty>(); // plugged in again
        QVERIFY(QFile::link(pty->path(), link));
        QCOMPARE(Send_Modbus(&port, request, n), ST_OK);
        QCOMPARE(pty->read(), hexFrame("01 46 00 00 07 4D 4A"));
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
