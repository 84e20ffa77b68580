// The settings window: filling, "Write", "Default", "Cancel" and the checks
// of its edits, down to the bytes of the parameter file.
#include "ustawienia.h"

#include "ValCtrls.h"
#include "dane.h"
#include "modal_answer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kDat = QStringLiteral("set_monitor.dat");
const QString kOutOfBounds = QStringLiteral("Value out of bounds. Value must be between %1 and %2");

// Something other than the defaults in every field the window shows, and
// in the fields it does not.
TParametryProgramu sampleParams()
{
    TParametryProgramu p;
    p.trans.ComNum = 3;
    p.trans.Stop_Bits = 2;
    p.trans.TimeOut = 500;
    p.trans.Parity = kParityEven;
    p.trans.adresRS485 = 17;
    p.trans.Predkosc = 19200;
    p.trans.adresRS485_serwis = 247;
    p.trans.predkosc_Serwis = 9600;
    p.temp_od = -20;
    p.temp_do = 150;
    p.wilg_od = 10;
    p.wilg_do = 90;
    p.ile_probek = 500;
    p.FwdlTransp = true;
    p.FwdlPredk = 19200;
    p.FwdlAdres = 33;
    for (std::size_t i = 0; i < p.rezerwa.size(); ++i)
        p.rezerwa[i] = quint8(3 * i + 1);
    return p;
}

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint32 le32(const QByteArray &bytes, int off)
{
    return qint32(quint32(quint8(bytes.at(off))) | quint32(quint8(bytes.at(off + 1))) << 8
                  | quint32(quint8(bytes.at(off + 2))) << 16
                  | quint32(quint8(bytes.at(off + 3))) << 24);
}

} // namespace

class TestUstawienia : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void texts_data();
    void texts();
    void fillShowsParameters();
    void writeStoresControls();
    void execReturnsOkOnWrite();
    void invalidFieldStopsWrite_data();
    void invalidFieldStopsWrite();
    void addressFromDeviceAboveBounds();
    void unlistedValuesShownAndKept_data();
    void unlistedValuesShownAndKept();
    void hiddenFwdlAddress_data();
    void hiddenFwdlAddress();
    void clickFromInvalidEdit_data();
    void clickFromInvalidEdit();
    void leavingEdit_data();
    void leavingEdit();
    void defaultButton();
    void cancelKeepsEverything();
    void fwdlPanelFollowsCheckBox();
    void failedSaveIsReported();
    void portListShowsDevices();
    void adapterChoiceWritesTheMap_data();
    void adapterChoiceWritesTheMap();

private:
    void showDialog();

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldDir;
    std::unique_ptr<TForm_Ustaw> m_dlg;
};

void TestUstawienia::initTestCase()
{
    QApplication::setEffectEnabled(Qt::UI_General, false);
}

void TestUstawienia::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    V_ParametryProgramu = sampleParams();
    m_dlg = std::make_unique<TForm_Ustaw>();
}

void TestUstawienia::cleanup()
{
    m_dlg.reset();
    QDir::setCurrent(m_oldDir);
    m_dir.reset();
}

void TestUstawienia::showDialog()
{
    m_dlg->show();
    QApplication::setActiveWindow(m_dlg.get());
    QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
}

void TestUstawienia::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("Bit_Ustaw") << "Bit_Ustaw" << "Write";
    QTest::newRow("Bit_Anuluj") << "Bit_Anuluj" << "Cancel";
    QTest::newRow("Bit_Domyslne") << "Bit_Domyslne" << "Default";
    QTest::newRow("L_port") << "L_port" << "Serial port:";
    QTest::newRow("L_predkosc") << "L_predkosc" << "Baud rate:";
    QTest::newRow("L_parzystosc") << "L_parzystosc" << "Parity checking mode:";
    QTest::newRow("L_adres") << "L_adres" << "Add.RS-485:";
    QTest::newRow("L_temp") << "L_temp" << "Temperature axis (left)";
    QTest::newRow("L_Wilg") << "L_Wilg" << "Humidity axis (right)";
    QTest::newRow("L_tod") << "L_tod" << "minimum value:";
    QTest::newRow("L_wdo") << "L_wdo" << "maximum value:";
    QTest::newRow("L_ile") << "L_ile" << "Chart sample count:";
    QTest::newRow("L_transparent") << "L_transparent" << "Transparent mode for FWDL Unit";
    QTest::newRow("L_parFwdl") << "L_parFwdl" << "Transmission parameters FWDL ";
    QTest::newRow("L_adrFwdl") << "L_adrFwdl" << "Add.RS-485:";
    QTest::newRow("L_fwdl_predk") << "L_fwdl_predk" << "Baud rate:";
}

void TestUstawienia::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    auto *widget = m_dlg->findChild<QWidget *>(name);
    QVERIFY(widget);
    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
    else
        QCOMPARE(qobject_cast<QAbstractButton *>(widget)->text(), text);
    QCOMPARE(m_dlg->windowTitle(), QStringLiteral("Settings"));
    QCOMPARE(m_dlg->PageControl->tabText(0), QStringLiteral("Transmission parameters:"));
    QCOMPARE(m_dlg->PageControl->tabText(1), QStringLiteral("Chart settings"));
}

void TestUstawienia::fillShowsParameters()
{
    showDialog();
    QCOMPARE(m_dlg->co_port->currentText(), QStringLiteral("COM3"));
    QCOMPARE(m_dlg->co_predkosc->currentText(), QStringLiteral("19200"));
    QCOMPARE(m_dlg->co_parzystosc->currentText(), QStringLiteral("E"));
    QCOMPARE(m_dlg->ie_adres->text(), QStringLiteral("17"));
    QCOMPARE(m_dlg->ie_temp_od->text(), QStringLiteral("-20"));
    QCOMPARE(m_dlg->ie_temp_do->text(), QStringLiteral("150"));
    QCOMPARE(m_dlg->ie_wilg_od->text(), QStringLiteral("10"));
    QCOMPARE(m_dlg->ie_wilg_do->text(), QStringLiteral("90"));
    QCOMPARE(m_dlg->ie_probek->text(), QStringLiteral("500"));
    QVERIFY(m_dlg->cb_FwdlTransp->isChecked());
    QVERIFY(m_dlg->PanelFwdl->isVisible());
    QCOMPARE(m_dlg->co_fwdlpredk->currentText(), QStringLiteral("19200"));
    QCOMPARE(m_dlg->ie_fwdladres->text(), QStringLiteral("33"));
}

void TestUstawienia::writeStoresControls()
{
    showDialog();
    m_dlg->co_port->setCurrentIndex(4);
    m_dlg->co_predkosc->setCurrentText(QStringLiteral("9600"));
    m_dlg->co_parzystosc->setCurrentText(QStringLiteral("O"));
    m_dlg->ie_adres->setText(QStringLiteral("250"));
    m_dlg->ie_temp_od->setText(QStringLiteral("-200"));
    m_dlg->ie_temp_do->setText(QStringLiteral("200"));
    m_dlg->ie_wilg_od->setText(QStringLiteral("0"));
    m_dlg->ie_wilg_do->setText(QStringLiteral("200"));
    m_dlg->ie_probek->setText(QStringLiteral("123456"));
    m_dlg->co_fwdlpredk->setCurrentText(QStringLiteral("9600"));
    m_dlg->ie_fwdladres->setText(QStringLiteral("0"));

    TModalAnswer answer;
    m_dlg->Bit_Ustaw->click();
    QCOMPARE(answer.count(), 0);
    QCOMPARE(m_dlg->result(), int(QDialog::Accepted));
    QVERIFY(!m_dlg->isVisible());

    const QByteArray file = readFile(kDat);
    QCOMPARE(file.size(), kParamRecordSize);
    QCOMPARE(int(quint8(file.at(0))), 5);     // COM5
    QCOMPARE(le32(file, 4), 2);               // carried through
    QCOMPARE(int(quint8(file.at(12))), 1);    // odd parity
    QCOMPARE(le32(file, 28), 500);            // carried through
    QCOMPARE(int(quint8(file.at(32))), 247);
    QCOMPARE(int(quint8(file.at(33))), 250);
    QCOMPARE(le32(file, 36), 9600);
    QCOMPARE(le32(file, 44), -200);
    QCOMPARE(le32(file, 48), 200);
    QCOMPARE(int(quint8(file.at(52))), 0);
    QCOMPARE(int(quint8(file.at(53))), 200);
    QCOMPARE(le32(file, 54), 123456);
    QCOMPARE(int(quint8(file.at(58))), 1);
    QCOMPARE(le32(file, 59), 9600);
    QCOMPARE(le32(file, 63), 0);
    for (int i = 0; i < 488; ++i)
        QCOMPARE(int(quint8(file.at(67 + i))), (3 * i + 1) & 0xFF);
    QCOMPARE(file, ParametryToBytes(V_ParametryProgramu));
}

void TestUstawienia::execReturnsOkOnWrite()
{
    QTimer::singleShot(0, m_dlg.get(), [this] { m_dlg->Bit_Ustaw->click(); });
    QCOMPARE(m_dlg->exec(), 1);
    TParametryProgramu expected = sampleParams();
    QCOMPARE(readFile(kDat), ParametryToBytes(expected));
}

void TestUstawienia::invalidFieldStopsWrite_data()
{
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("message");

    const QString notNumber = QStringLiteral("Invalid input value.");
    QTest::newRow("address 251") << "ie_adres" << "251" << 0
                                 << "Add.RS-485:\n" + kOutOfBounds.arg(0).arg(250);
    QTest::newRow("address not a number") << "ie_adres" << "1x" << 0
                                          << "Add.RS-485:\n" + notNumber;
    QTest::newRow("temperature minimum -201")
        << "ie_temp_od" << "-201" << 1
        << "Temperature axis (left) minimum value:\n" + kOutOfBounds.arg(-200).arg(200);
    QTest::newRow("humidity minimum 101")
        << "ie_wilg_od" << "101" << 1
        << "Humidity axis (right) minimum value:\n" + kOutOfBounds.arg(0).arg(100);
    QTest::newRow("humidity maximum 201")
        << "ie_wilg_do" << "201" << 1
        << "Humidity axis (right) maximum value:\n" + kOutOfBounds.arg(0).arg(200);
    QTest::newRow("sample count not a number") << "ie_probek" << "many" << 1
                                               << "Chart sample count:\n" + notNumber;
    QTest::newRow("FWDL address 300, panel shown")
        << "ie_fwdladres" << "300" << 0
        << "Transmission parameters FWDL Add.RS-485:\n" + kOutOfBounds.arg(0).arg(250);
}

void TestUstawienia::invalidFieldStopsWrite()
{
    QFETCH(QString, edit);
    QFETCH(QString, text);
    QFETCH(int, page);
    QFETCH(QString, message);

    const QByteArray oldFile = ParametryToBytes(sampleParams());
    QVERIFY(SaveTransParams(QString::fromLatin1(kParamFileName)));
    showDialog();
    // Fields before the bad one are changed too: none of them may reach the
    // parameters.
    m_dlg->co_port->setCurrentIndex(6);
    m_dlg->co_predkosc->setCurrentIndex(0);
    m_dlg->ie_temp_do->setText(QStringLiteral("50"));
    m_dlg->PageControl->setCurrentIndex(1 - page);
    auto *bad = m_dlg->findChild<TIntegerEdit *>(edit);
    QVERIFY(bad);
    bad->setText(text);

    TModalAnswer answer;
    m_dlg->Bit_Ustaw->click();
    QCOMPARE(answer.count(), 1);
    QCOMPARE(answer.lastTitle(), QStringLiteral("Warning"));
    QCOMPARE(answer.lastText(), message);
    QCOMPARE(answer.lastButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(m_dlg->PageControl->currentIndex(), page);
    QCOMPARE(m_dlg->focusWidget(), bad);
    QVERIFY(m_dlg->isVisible());
    QCOMPARE(ParametryToBytes(V_ParametryProgramu), oldFile);
    QCOMPARE(readFile(kDat), oldFile);
}

void TestUstawienia::addressFromDeviceAboveBounds()
{
    // The service window adopts whatever address a transmitter reports.
    V_ParametryProgramu.trans.adresRS485 = 251;
    showDialog();
    QCOMPARE(m_dlg->ie_adres->text(), QStringLiteral("251"));
    // Every control after it is filled all the same.
    QCOMPARE(m_dlg->co_parzystosc->currentText(), QStringLiteral("E"));
    QCOMPARE(m_dlg->ie_probek->text(), QStringLiteral("500"));
    QCOMPARE(m_dlg->ie_fwdladres->text(), QStringLiteral("33"));
    QCOMPARE(m_dlg->co_fwdlpredk->currentText(), QStringLiteral("19200"));

    {
        TModalAnswer answer;
        m_dlg->Bit_Ustaw->click();
        QCOMPARE(answer.count(), 1);
        QCOMPARE(answer.lastText(), "Add.RS-485:\n" + kOutOfBounds.arg(0).arg(250));
        QVERIFY(!QFile::exists(kDat));
        QCOMPARE(V_ParametryProgramu.trans.adresRS485, quint8(251));
    }

    m_dlg->ie_adres->setText(QStringLiteral("200"));
    TModalAnswer answer;
    m_dlg->Bit_Ustaw->click();
    QCOMPARE(answer.count(), 0);
    QCOMPARE(m_dlg->result(), int(QDialog::Accepted));
    QCOMPARE(int(quint8(readFile(kDat).at(33))), 200);
}

void TestUstawienia::unlistedValuesShownAndKept_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("shown");

    QTest::newRow("speed 38400 from a transmitter") << "Predkosc" << 38400 << "co_predkosc"
                                                    << "38400";
    QTest::newRow("mark parity") << "Parity" << 3 << "co_parzystosc" << "M";
    QTest::newRow("space parity") << "Parity" << 4 << "co_parzystosc" << "S";
    QTest::newRow("damaged parity 9") << "Parity" << 9 << "co_parzystosc" << "9";
    QTest::newRow("port 9") << "ComNum" << 9 << "co_port" << "COM9";
    QTest::newRow("port 0") << "ComNum" << 0 << "co_port" << "COM0";
    QTest::newRow("FWDL speed 4800") << "FwdlPredk" << 4800 << "co_fwdlpredk" << "4800";
}

void TestUstawienia::unlistedValuesShownAndKept()
{
    QFETCH(QString, field);
    QFETCH(int, value);
    QFETCH(QString, list);
    QFETCH(QString, shown);

    TParametryProgramu p = sampleParams();
    if (field == QLatin1String("Predkosc"))
        p.trans.Predkosc = value;
    else if (field == QLatin1String("Parity"))
        p.trans.Parity = quint8(value);
    else if (field == QLatin1String("ComNum"))
        p.trans.ComNum = quint8(value);
    else
        p.FwdlPredk = value;
    V_ParametryProgramu = p;

    auto *combo = m_dlg->findChild<QComboBox *>(list);
    QVERIFY(combo);
    const int listed = combo->count();
    showDialog();
    QCOMPARE(combo->currentText(), shown);

    TModalAnswer answer;
    m_dlg->Bit_Ustaw->click();
    QCOMPARE(m_dlg->result(), int(QDialog::Accepted));
    QCOMPARE(readFile(kDat), ParametryToBytes(p));

    // Once the value is one the list offers, the extra entry is gone.
    V_ParametryProgramu = sampleParams();
    showDialog();
    QCOMPARE(combo->count(), listed);
}

void TestUstawienia::hiddenFwdlAddress_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("expected");
    QTest::newRow("valid entry stored though hidden") << 33 << "77" << 77;
    QTest::newRow("stored 300 kept, not refused") << 300 << QString() << 300;
    QTest::newRow("invalid entry keeps stored value") << 33 << "abc" << 33;
}

void TestUstawienia::hiddenFwdlAddress()
{
    QFETCH(int, stored);
    QFETCH(QString, typed);
    QFETCH(int, expected);

    V_ParametryProgramu.FwdlAdres = stored;
    showDialog();
    if (!typed.isNull())
        m_dlg->ie_fwdladres->setText(typed);
    m_dlg->cb_FwdlTransp->setChecked(false);
    QVERIFY(!m_dlg->PanelFwdl->isVisible());

    TModalAnswer answer;
    m_dlg->Bit_Ustaw->click();
    QCOMPARE(answer.count(), 0);
    QCOMPARE(m_dlg->result(), int(QDialog::Accepted));
    QCOMPARE(V_ParametryProgramu.FwdlAdres, expected);
    QCOMPARE(V_ParametryProgramu.FwdlTransp, false);
    QCOMPARE(le32(readFile(kDat), 63), expected);
}

void TestUstawienia::clickFromInvalidEdit_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("stillShown");

    QTest::newRow("Write: one message, naming the field")
        << "Bit_Ustaw" << QStringList{"Add.RS-485:\n" + kOutOfBounds.arg(0).arg(250)}
        << int(QDialog::Rejected) << true;
    QTest::newRow("Cancel: closes without a word")
        << "Bit_Anuluj" << QStringList() << int(QDialog::Rejected) << false;
}

void TestUstawienia::clickFromInvalidEdit()
{
    QFETCH(QString, button);
    QFETCH(QStringList, messages);
    QFETCH(int, result);
    QFETCH(bool, stillShown);

    showDialog();
    m_dlg->ie_adres->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY(m_dlg->ie_adres->hasFocus());
    m_dlg->ie_adres->setText(QStringLiteral("251"));

    TModalAnswer answer;
    QTest::mouseClick(m_dlg->findChild<QPushButton *>(button), Qt::LeftButton);
    QCOMPARE(answer.texts(), messages);
    QCOMPARE(m_dlg->result(), result);
    QCOMPARE(m_dlg->isVisible(), stillShown);
    QVERIFY(!QFile::exists(kDat));
}

void TestUstawienia::leavingEdit_data()
{
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("page");
    QTest::addColumn<bool>("message");

    QTest::newRow("address 251") << "ie_adres" << "251" << 0 << true;
    QTest::newRow("address not a number") << "ie_adres" << "x" << 0 << true;
    QTest::newRow("FWDL address 251") << "ie_fwdladres" << "251" << 0 << true;
    QTest::newRow("temperature 999: beep only") << "ie_temp_do" << "999" << 1 << false;
}

void TestUstawienia::leavingEdit()
{
    QFETCH(QString, edit);
    QFETCH(QString, text);
    QFETCH(int, page);
    QFETCH(bool, message);

    showDialog();
    m_dlg->PageControl->setCurrentIndex(page);
    auto *field = m_dlg->findChild<TIntegerEdit *>(edit);
    QVERIFY(field);
    field->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY(field->hasFocus());
    field->setText(text);

    TModalAnswer answer;
    QTest::keyClick(field, Qt::Key_Tab);
    QCOMPARE(answer.count(), message ? 1 : 0);
    if (message) {
        QCOMPARE(answer.lastTitle(), QStringLiteral("Warning"));
        QCOMPARE(answer.lastIcon(), QMessageBox::Warning);
        QCOMPARE(answer.lastText(), kOutOfBounds.arg(0).arg(250));
    }
    QCOMPARE(m_dlg->focusWidget(), field);
}

void TestUstawienia::defaultButton()
{
    QVERIFY(SaveTransParams(QString::fromLatin1(kParamFileName)));
    const QByteArray oldFile = readFile(kDat);
    showDialog();
    m_dlg->Bit_Domyslne->click();
    QCOMPARE(m_dlg->result(), int(QDialog::Rejected));
    QVERIFY(!m_dlg->isVisible());
    QCOMPARE(readFile(kDat), oldFile);

    TParametryProgramu expected = sampleParams();
    const TParametryProgramu keep = V_ParametryProgramu;
    V_ParametryProgramu = expected;
    UstawDomyslne();
    expected = V_ParametryProgramu;
    V_ParametryProgramu = keep;
    QCOMPARE(ParametryToBytes(V_ParametryProgramu), ParametryToBytes(expected));

    showDialog();
    QCOMPARE(m_dlg->co_port->currentText(), QStringLiteral("COM1"));
    QCOMPARE(m_dlg->co_predkosc->currentText(), QStringLiteral("9600"));
    QCOMPARE(m_dlg->co_parzystosc->currentText(), QStringLiteral("N"));
    QCOMPARE(m_dlg->ie_adres->text(), QStringLiteral("1"));
    QCOMPARE(m_dlg->ie_temp_od->text(), QStringLiteral("0"));
    QCOMPARE(m_dlg->ie_temp_do->text(), QStringLiteral("100"));
    QCOMPARE(m_dlg->ie_wilg_od->text(), QStringLiteral("0"));
    QCOMPARE(m_dlg->ie_wilg_do->text(), QStringLiteral("100"));
    QCOMPARE(m_dlg->ie_probek->text(), QStringLiteral("1000"));
    QVERIFY(!m_dlg->cb_FwdlTransp->isChecked());
    QVERIFY(!m_dlg->PanelFwdl->isVisible());
}

void TestUstawienia::cancelKeepsEverything()
{
    showDialog();
    m_dlg->co_port->setCurrentIndex(0);
    m_dlg->ie_adres->setText(QStringLiteral("99"));
    m_dlg->Bit_Anuluj->click();
    QCOMPARE(m_dlg->result(), int(QDialog::Rejected));
    QCOMPARE(ParametryToBytes(V_ParametryProgramu), ParametryToBytes(sampleParams()));
    QVERIFY(!QFile::exists(kDat));

    // The next showing starts again from the parameters.
    showDialog();
    QCOMPARE(m_dlg->co_port->currentText(), QStringLiteral("COM3"));
    QCOMPARE(m_dlg->ie_adres->text(), QStringLiteral("17"));
}

void TestUstawienia::fwdlPanelFollowsCheckBox()
{
    V_ParametryProgramu.FwdlTransp = false;
    showDialog();
    QVERIFY(!m_dlg->PanelFwdl->isVisible());
    QTest::mouseClick(m_dlg->cb_FwdlTransp, Qt::LeftButton);
    QVERIFY(m_dlg->cb_FwdlTransp->isChecked());
    QVERIFY(m_dlg->PanelFwdl->isVisible());
    QTest::mouseClick(m_dlg->cb_FwdlTransp, Qt::LeftButton);
    QVERIFY(!m_dlg->PanelFwdl->isVisible());
}

void TestUstawienia::failedSaveIsReported()
{
    QVERIFY(QDir().mkdir(kDat));
    showDialog();
    m_dlg->ie_adres->setText(QStringLiteral("42"));
    TModalAnswer answer;
    m_dlg->Bit_Ustaw->click();
    QCOMPARE(answer.count(), 1);
    QCOMPARE(answer.lastTitle(), QStringLiteral("Warning"));
    QVERIFY(answer.lastText().contains(kDat));
    // In force for this session all the same.
    QCOMPARE(m_dlg->result(), int(QDialog::Accepted));
    QCOMPARE(V_ParametryProgramu.trans.adresRS485, quint8(42));
}

namespace {

// Two adapters as QSerialPortInfo would give them, with their by-id links.
TAdapterList twoAdapters()
{
    TAdapter ftdi;
    ftdi.Device = QStringLiteral("/dev/ttyUSB0");
    ftdi.ById = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    ftdi.Description = QStringLiteral("FT232R USB UART");
    ftdi.Manufacturer = QStringLiteral("FTDI");
    ftdi.SerialNumber = QStringLiteral("A1B2C3");
    ftdi.VendorId = 0x0403;
    ftdi.ProductId = 0x6001;
    TAdapter ch340;
    ch340.Device = QStringLiteral("/dev/ttyUSB1");
    ch340.Description = QStringLiteral("USB Serial");
    ch340.VendorId = 0x1a86;
    ch340.ProductId = 0x7523;
    return {ftdi, ch340};
}

// Puts a list of adapters in place of the machine's for one test.
struct FakeAdapters
{
    explicit FakeAdapters(const TAdapterList &A_List) { SetAdapterSource([A_List] { return A_List; }); }
    ~FakeAdapters() { SetAdapterSource({}); }
};

const QString kIniName = QStringLiteral("fen_mon.ini");

} // namespace

// Beside each COM number the list names the device it reaches now.
void TestUstawienia::portListShowsDevices()
{
    FakeAdapters adapters(twoAdapters());
    QFile ini(kIniName);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[ports]\nCOM2=/dev/null\nCOM3=/dev/fenwire-gone\nCOM4=/dev/ttyUSB1\n");
    ini.close();
    showDialog();
    const auto device = [&](int com) {
        return m_dlg->co_port->itemData(m_dlg->co_port->findData(com), TForm_Ustaw::kDeviceRole).toString();
    };
    QCOMPARE(device(2), QStringLiteral("/dev/null"));
    QCOMPARE(device(3), QStringLiteral("/dev/fenwire-gone (not present)"));
    QCOMPARE(device(5), QStringLiteral("/dev/ttyS4") + (QFileInfo::exists(QStringLiteral("/dev/ttyS4"))
                                                            ? QString()
                                                            : QStringLiteral(" (not present)")));
    // The closed list keeps the number alone.
    QCOMPARE(m_dlg->co_port->currentText(), QStringLiteral("COM3"));

    // The adapter list offers the COM number's device and the adapters.
    QCOMPARE(m_dlg->co_adapter->count(), 3);
    QCOMPARE(m_dlg->co_adapter->currentText(), QStringLiteral("/dev/fenwire-gone (not present)"));
    QCOMPARE(m_dlg->co_adapter->itemText(1), QStringLiteral("FT232R USB UART, FTDI, serial A1B2C3 (/dev/ttyUSB0)"));
    QVERIFY(m_dlg->co_adapter->itemData(1, Qt::ToolTipRole).toString().contains(QStringLiteral("USB 0403:6001")));
    m_dlg->co_port->setCurrentIndex(m_dlg->co_port->findData(4));
    QCOMPARE(m_dlg->co_adapter->count(), 2); // mapped to an adapter present: no entry of its own
    QCOMPARE(m_dlg->co_adapter->currentText(), QStringLiteral("USB Serial (/dev/ttyUSB1)"));
}

// Choosing an adapter for a COM number and "Write" map it by its by-id
// name, every other line of the file kept; choosing nothing new, or
// "Cancel", writes nothing.
void TestUstawienia::adapterChoiceWritesTheMap_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("com");
    QTest::addColumn<int>("downs"); // Down keys on the adapter list
    QTest::addColumn<bool>("write");
    QTest::addColumn<QByteArray>("after"); // empty: no file

    const QByteArray head = "[main]\r\nFlags=0\r\nNormPos=10,20,394,461\r\n\r\n[ports]\r\nCOM1=/dev/null\r\n";
    const QByteArray byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    QTest::newRow("COM1 to the FTDI adapter: its by-id name")
        << head << 1 << 1 << true << QByteArray(head).replace("COM1=/dev/null", "COM1=" + byId);
    QTest::newRow("COM2 to the adapter without a by-id link: its node")
        << head << 2 << 2 << true << head + "COM2=/dev/ttyUSB1\r\n";
    QTest::newRow("Cancel keeps the file") << head << 1 << 1 << false << head;
    QTest::newRow("nothing chosen: nothing written") << head << 1 << 0 << true << head;
    // A fresh installation: COM1 reaches the only USB adapter without a map.
    QTest::newRow("the adapter COM1 reaches already: no file made") << QByteArray() << 1 << 0 << true << QByteArray();
}

void TestUstawienia::adapterChoiceWritesTheMap()
{
    QFETCH(QByteArray, before);
    QFETCH(int, com);
    QFETCH(int, downs);
    QFETCH(bool, write);
    QFETCH(QByteArray, after);
    TAdapterList list = twoAdapters();
    if (before.isEmpty())
        list.removeLast();
    FakeAdapters adapters(list);
    if (!before.isEmpty()) {
        QFile ini(kIniName);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(before);
    }
    V_ParametryProgramu.trans.ComNum = quint8(com);
    showDialog();
    QCOMPARE(m_dlg->co_port->currentData().toInt(), com);
    if (before.isEmpty())
        QCOMPARE(m_dlg->co_adapter->currentData().toString(), list.first().ById);
    m_dlg->co_adapter->setFocus();
    for (int i = 0; i < downs; ++i)
        QTest::keyClick(m_dlg->co_adapter, Qt::Key_Down);
    TModalAnswer answer;
    if (write)
        m_dlg->Bit_Ustaw->click();
    else
        m_dlg->Bit_Anuluj->click();
    QCOMPARE(answer.count(), 0);
    QCOMPARE(QFile::exists(kIniName), !after.isEmpty());
    QCOMPARE(readFile(kIniName), after);
    QCOMPARE(QDir().entryList({kIniName + QStringLiteral("*")}, QDir::Files | QDir::Hidden).size(),
             after.isEmpty() ? 0 : 1);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestUstawienia test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ustawienia.moc"
