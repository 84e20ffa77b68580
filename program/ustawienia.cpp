#include "ustawienia.h"

#include "ValCtrls.h"
#include "dane.h"
#include "dn_transmisja.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QFileInfo>
#include <QShowEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QVBoxLayout>

TForm_Ustaw *Form_Ustaw = nullptr;

namespace {

constexpr int kPortCount = 8; // COM1 to COM8
constexpr int kPredkosci[] = {9600, 19200};
// Parity codes offered in the list, in the order of their codes.
constexpr quint8 kParzystosci[] = {kParityNone, kParityOdd, kParityEven};

constexpr qint32 kAdresMin = 0;
constexpr qint32 kAdresMax = 250;
constexpr qint32 kFwdlAdresStart = 1;
constexpr qint32 kTempMin = -200;
constexpr qint32 kTempMax = 200;
constexpr qint32 kWilgOdMin = 0;
constexpr qint32 kWilgOdMax = 100;
constexpr qint32 kWilgDoMin = 0;
constexpr qint32 kWilgDoMax = 200;
// Used when a speed list has nothing selected.
constexpr int kPredkoscBrak = 9600;

constexpr int kValueRole = Qt::UserRole;
// Marks an entry added only to show a stored value the list does not offer.
constexpr int kExtraRole = Qt::UserRole + 1;

const char kCaptionWarning[] = "Warning";
const char kTextOutOfBounds[] = "Value out of bounds. Value must be between %1 and %2";
const char kTextInvalidValue[] = "Invalid input value.";
const char kTextNotSaved[] = "The settings are in force but could not be saved to %1.";
const char kTextMapNotSaved[] = "The port chosen for %1 could not be saved to %2.";
const char kTextNotPresent[] = "%1 (not present)";

QString portText(int A_Port)
{
    return QStringLiteral("COM%1").arg(A_Port);
}

QString parityText(int A_Parity)
{
    switch (A_Parity) {
    case kParityNone: return QStringLiteral("N");
    case kParityOdd: return QStringLiteral("O");
    case kParityEven: return QStringLiteral("E");
    case kParityMark: return QStringLiteral("M");
    case kParitySpace: return QStringLiteral("S");
    default: return QString::number(A_Parity);
    }
}

// Selects the entry holding A_Value; a value the list does not offer (a
// speed adopted from a device, a parity or port from an older or damaged
// file) gets an entry of its own so that it is shown and stored unchanged
// instead of being replaced by whatever the list had selected.
void selectValue(QComboBox *A_List, int A_Value, const QString &A_Text)
{
    for (int i = A_List->count() - 1; i >= 0; --i)
        if (A_List->itemData(i, kExtraRole).toBool())
            A_List->removeItem(i);
    int index = A_List->findData(A_Value, kValueRole);
    if (index < 0) {
        A_List->addItem(A_Text, A_Value);
        index = A_List->count() - 1;
        A_List->setItemData(index, true, kExtraRole);
    }
    A_List->setCurrentIndex(index);
}

// The list's popup names each COM number's device beside it; the closed
// list keeps to the number the rest of the window speaks of.
class TPortDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *A_Option, const QModelIndex &A_Index) const override
    {
        QStyledItemDelegate::initStyleOption(A_Option, A_Index);
        const QString device = A_Index.data(TForm_Ustaw::kDeviceRole).toString();
        if (!device.isEmpty())
            A_Option->text += QStringLiteral("   ") + device;
    }
};

int selectedValue(const QComboBox *A_List, int A_None)
{
    const int index = A_List->currentIndex();
    return index < 0 ? A_None : A_List->itemData(index, kValueRole).toInt();
}

// Bounds first, then the value, then their enforcement, so that setting up
// the edit never trips its own checks.
void setupEdit(TIntegerEdit *A_Edit, qint32 A_Min, qint32 A_Max, qint32 A_Value, bool A_UseBounds)
{
    A_Edit->SetMinValue(A_Min);
    A_Edit->SetMaxValue(A_Max);
    A_Edit->SetValue(A_Value);
    A_Edit->SetUseBounds(A_UseBounds);
}

} // namespace

TForm_Ustaw::TForm_Ustaw(const QString &A_PlikParametrow, QWidget *parent)
    : TForm_Ustaw(TPlikiProgramu{A_PlikParametrow, QString::fromLatin1(kComMapFileName)}, parent)
{
}

TForm_Ustaw::TForm_Ustaw(const TPlikiProgramu &A_Pliki, QWidget *parent)
    : QDialog(parent)
    , m_plikParametrow(A_Pliki.Parametry)
    , m_plikIni(A_Pliki.Ini)
{
    createControls();
    FormCreate();
}

void TForm_Ustaw::createControls()
{
    setObjectName(QStringLiteral("Form_Ustaw"));
    const auto named = [](auto *widget, const char *name) {
        widget->setObjectName(QLatin1String(name));
        return widget;
    };

    PageControl = named(new QTabWidget(this), "PageControl");
    TabSheet1 = named(new QWidget, "TabSheet1");
    TabSheet2 = named(new QWidget, "TabSheet2");
    PageControl->addTab(TabSheet1, QString());
    PageControl->addTab(TabSheet2, QString());

    // Transmission page.
    L_port = named(new QLabel(TabSheet1), "L_port");
    co_port = named(new QComboBox(TabSheet1), "co_port");
    for (int port = 1; port <= kPortCount; ++port)
        co_port->addItem(portText(port), port);
    co_port->setItemDelegate(new TPortDelegate(co_port));
    L_adapter = named(new QLabel(TabSheet1), "L_adapter");
    co_adapter = named(new QComboBox(TabSheet1), "co_adapter");
    co_adapter->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    co_adapter->setMinimumContentsLength(24);
#if defined(Q_OS_WIN)
    // A COM number is the port of that name there: nothing to map.
    L_adapter->hide();
    co_adapter->hide();
#endif
    L_predkosc = named(new QLabel(TabSheet1), "L_predkosc");
    co_predkosc = named(new QComboBox(TabSheet1), "co_predkosc");
    for (int speed : kPredkosci)
        co_predkosc->addItem(QString::number(speed), speed);
    L_parzystosc = named(new QLabel(TabSheet1), "L_parzystosc");
    co_parzystosc = named(new QComboBox(TabSheet1), "co_parzystosc");
    for (quint8 parity : kParzystosci)
        co_parzystosc->addItem(parityText(parity), parity);
    L_adres = named(new QLabel(TabSheet1), "L_adres");
    ie_adres = named(new TIntegerEdit(TabSheet1), "ie_adres");
    setupEdit(ie_adres, kAdresMin, kAdresMax, 0, true);
    cb_FwdlTransp = named(new QCheckBox(TabSheet1), "cb_FwdlTransp");
    L_transparent = named(new QLabel(TabSheet1), "L_transparent");
    L_transparent->setBuddy(cb_FwdlTransp);

    PanelFwdl = named(new QWidget(TabSheet1), "PanelFwdl");
    L_parFwdl = named(new QLabel(PanelFwdl), "L_parFwdl");
    L_fwdl_predk = named(new QLabel(PanelFwdl), "L_fwdl_predk");
    co_fwdlpredk = named(new QComboBox(PanelFwdl), "co_fwdlpredk");
    for (int speed : kPredkosci)
        co_fwdlpredk->addItem(QString::number(speed), speed);
    L_adrFwdl = named(new QLabel(PanelFwdl), "L_adrFwdl");
    ie_fwdladres = named(new TIntegerEdit(PanelFwdl), "ie_fwdladres");
    setupEdit(ie_fwdladres, kAdresMin, kAdresMax, kFwdlAdresStart, true);
    PanelFwdl->setVisible(false);

    auto *fwdlGrid = new QGridLayout(PanelFwdl);
    fwdlGrid->setContentsMargins(0, 0, 0, 0);
    fwdlGrid->addWidget(L_parFwdl, 0, 0, 1, 2);
    fwdlGrid->addWidget(L_fwdl_predk, 1, 0);
    fwdlGrid->addWidget(co_fwdlpredk, 1, 1);
    fwdlGrid->addWidget(L_adrFwdl, 2, 0);
    fwdlGrid->addWidget(ie_fwdladres, 2, 1);

    auto *grid1 = new QGridLayout(TabSheet1);
    grid1->addWidget(L_port, 0, 0);
    grid1->addWidget(co_port, 0, 1);
    grid1->addWidget(L_adapter, 1, 0);
    grid1->addWidget(co_adapter, 1, 1);
    grid1->addWidget(L_predkosc, 2, 0);
    grid1->addWidget(co_predkosc, 2, 1);
    grid1->addWidget(L_parzystosc, 3, 0);
    grid1->addWidget(co_parzystosc, 3, 1);
    grid1->addWidget(L_adres, 4, 0);
    grid1->addWidget(ie_adres, 4, 1);
    auto *fwdlRow = new QHBoxLayout;
    fwdlRow->addWidget(cb_FwdlTransp);
    fwdlRow->addWidget(L_transparent, 1);
    grid1->addLayout(fwdlRow, 5, 0, 1, 2);
    grid1->addWidget(PanelFwdl, 6, 0, 1, 2);
    grid1->setRowStretch(7, 1);

    // Chart page: temperature on the left, humidity on the right.
    L_temp = named(new QLabel(TabSheet2), "L_temp");
    L_Wilg = named(new QLabel(TabSheet2), "L_Wilg");
    L_tod = named(new QLabel(TabSheet2), "L_tod");
    L_wdo = named(new QLabel(TabSheet2), "L_wdo");
    L_ile = named(new QLabel(TabSheet2), "L_ile");
    ie_temp_od = named(new TIntegerEdit(TabSheet2), "ie_temp_od");
    setupEdit(ie_temp_od, kTempMin, kTempMax, 0, true);
    ie_temp_do = named(new TIntegerEdit(TabSheet2), "ie_temp_do");
    setupEdit(ie_temp_do, kTempMin, kTempMax, 0, true);
    ie_wilg_od = named(new TIntegerEdit(TabSheet2), "ie_wilg_od");
    setupEdit(ie_wilg_od, kWilgOdMin, kWilgOdMax, 0, true);
    ie_wilg_do = named(new TIntegerEdit(TabSheet2), "ie_wilg_do");
    setupEdit(ie_wilg_do, kWilgDoMin, kWilgDoMax, 0, true);
    ie_probek = named(new TIntegerEdit(TabSheet2), "ie_probek");

    auto *grid2 = new QGridLayout(TabSheet2);
    grid2->addWidget(L_temp, 0, 1);
    grid2->addWidget(L_Wilg, 0, 2);
    grid2->addWidget(L_tod, 1, 0);
    grid2->addWidget(ie_temp_od, 1, 1);
    grid2->addWidget(ie_wilg_od, 1, 2);
    grid2->addWidget(L_wdo, 2, 0);
    grid2->addWidget(ie_temp_do, 2, 1);
    grid2->addWidget(ie_wilg_do, 2, 2);
    grid2->addWidget(L_ile, 3, 0);
    grid2->addWidget(ie_probek, 3, 1);
    grid2->setRowStretch(4, 1);

    // Buttons on the right. They take the focus from the keyboard only: a
    // click on "Write" or "Cancel" must not first run the leaving check of
    // the edit being typed in ("Write" checks every field itself, "Cancel"
    // keeps nothing anyway).
    Bit_Ustaw = named(new QPushButton(this), "Bit_Ustaw");
    Bit_Anuluj = named(new QPushButton(this), "Bit_Anuluj");
    Bit_Domyslne = named(new QPushButton(this), "Bit_Domyslne");
    Bit_Ustaw->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    Bit_Anuluj->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    Bit_Domyslne->setIcon(style()->standardIcon(QStyle::SP_DialogResetButton));
    for (QPushButton *button : {Bit_Ustaw, Bit_Anuluj, Bit_Domyslne})
        button->setFocusPolicy(Qt::TabFocus);
    Bit_Ustaw->setDefault(true);

    auto *buttons = new QVBoxLayout;
    buttons->addWidget(Bit_Ustaw);
    buttons->addWidget(Bit_Anuluj);
    buttons->addWidget(Bit_Domyslne);
    buttons->addStretch(1);

    auto *top = new QHBoxLayout(this);
    top->addWidget(PageControl, 1);
    top->addLayout(buttons);

    connect(Bit_Ustaw, &QPushButton::clicked, this, &TForm_Ustaw::Bit_UstawClick);
    connect(Bit_Anuluj, &QPushButton::clicked, this, &QDialog::reject);
    connect(Bit_Domyslne, &QPushButton::clicked, this, &TForm_Ustaw::Bit_DomyslneClick);
    connect(cb_FwdlTransp, &QCheckBox::toggled, this, &TForm_Ustaw::cb_FwdlTranspClick);
    connect(co_port, &QComboBox::currentIndexChanged, this, &TForm_Ustaw::co_portChange);
    connect(co_adapter, &QComboBox::activated, this, &TForm_Ustaw::co_adapterClick);
    const auto onInvalid = [this](QObject *sender, bool &canLeave) {
        ie_adresInvalid(sender, canLeave);
    };
    ie_adres->SetOnInvalid(onInvalid);
    ie_fwdladres->SetOnInvalid(onInvalid);
}

void TForm_Ustaw::FormCreate()
{
    DostosujJezyk();
}

void TForm_Ustaw::DostosujJezyk()
{
    setWindowTitle(QStringLiteral("Settings"));
    Bit_Ustaw->setText(QStringLiteral("Write"));
    Bit_Anuluj->setText(QStringLiteral("Cancel"));
    Bit_Domyslne->setText(QStringLiteral("Default"));
    PageControl->setTabText(PageControl->indexOf(TabSheet1),
                            QStringLiteral("Transmission parameters:"));
    L_port->setText(QStringLiteral("Serial port:"));
    L_adapter->setText(QStringLiteral("Adapter:"));
    L_predkosc->setText(QStringLiteral("Baud rate:"));
    L_parzystosc->setText(QStringLiteral("Parity checking mode:"));
    L_adres->setText(QStringLiteral("Add.RS-485:"));
    PageControl->setTabText(PageControl->indexOf(TabSheet2), QStringLiteral("Chart settings"));
    L_temp->setText(QStringLiteral("Temperature axis (left)"));
    L_Wilg->setText(QStringLiteral("Humidity axis (right)"));
    L_tod->setText(QStringLiteral("minimum value:"));
    L_wdo->setText(QStringLiteral("maximum value:"));
    L_ile->setText(QStringLiteral("Chart sample count:"));
    L_transparent->setText(QStringLiteral("Transparent mode for FWDL Unit"));
    L_parFwdl->setText(QStringLiteral("Transmission parameters FWDL "));
    L_adrFwdl->setText(QStringLiteral("Add.RS-485:"));
    L_fwdl_predk->setText(L_predkosc->text());
}

void TForm_Ustaw::showEvent(QShowEvent *event)
{
    // Every showing starts from the parameters in force, so a cancelled
    // edit or a change by the service window is never shown stale.
    if (!event->spontaneous())
        UstawDaneFormy();
    QDialog::showEvent(event);
}

void TForm_Ustaw::UstawDaneFormy()
{
    const TParametryProgramu &p = V_ParametryProgramu;
    // Adapters come and go between two showings.
    m_adaptery = ListAdapters();
    m_wybrane.clear();
    selectValue(co_port, p.trans.ComNum, portText(p.trans.ComNum));
    opiszPorty();
    co_portChange();
    selectValue(co_predkosc, p.trans.Predkosc, QString::number(p.trans.Predkosc));
    ie_adres->ShowValue(p.trans.adresRS485);
    selectValue(co_parzystosc, p.trans.Parity, parityText(p.trans.Parity));
    ie_temp_od->ShowValue(p.temp_od);
    ie_temp_do->ShowValue(p.temp_do);
    ie_wilg_od->ShowValue(p.wilg_od);
    ie_wilg_do->ShowValue(p.wilg_do);
    ie_probek->ShowValue(p.ile_probek);
    cb_FwdlTransp->setChecked(p.FwdlTransp);
    cb_FwdlTranspClick();
    ie_fwdladres->ShowValue(p.FwdlAdres);
    selectValue(co_fwdlpredk, p.FwdlPredk, QString::number(p.FwdlPredk));
}

void TForm_Ustaw::UstawDomyslne()
{
    ::UstawDomyslne();
}

void TForm_Ustaw::warning(const QString &A_Text)
{
    QMessageBox box(QMessageBox::Warning, QLatin1String(kCaptionWarning), A_Text,
                    QMessageBox::Ok, this);
    box.exec();
}

bool TForm_Ustaw::checkEdit(TIntegerEdit *A_Edit, const QString &A_Name, qint32 &A_Value)
{
    qint32 value = A_Edit->LastValue();
    QString problem;
    // An edit that may stay empty stands for the last value it held.
    const bool empty = A_Edit->text().isEmpty() && A_Edit->AllowEmpty();
    if (!empty && !A_Edit->TextToValue(value))
        problem = QLatin1String(kTextInvalidValue);
    else if (!A_Edit->InBounds(value))
        problem = QString::fromLatin1(kTextOutOfBounds)
                      .arg(A_Edit->MinValue())
                      .arg(A_Edit->MaxValue());
    if (problem.isEmpty()) {
        A_Value = value;
        return true;
    }
    QApplication::beep();
    for (QWidget *page : {TabSheet1, TabSheet2})
        if (page->isAncestorOf(A_Edit))
            PageControl->setCurrentWidget(page);
    warning(A_Name.trimmed() + QLatin1Char('\n') + problem);
    A_Edit->setFocus(Qt::OtherFocusReason);
    A_Edit->selectAll();
    return false;
}

void TForm_Ustaw::Bit_UstawClick()
{
    // Every field is checked before anything changes, so that one bad entry
    // cannot leave half the parameters changed in memory and unsaved.
    qint32 adres = 0;
    qint32 tempOd = 0;
    qint32 tempDo = 0;
    qint32 wilgOd = 0;
    qint32 wilgDo = 0;
    qint32 probek = 0;
    const QString space = QStringLiteral(" ");
    if (!checkEdit(ie_adres, L_adres->text(), adres)
        || !checkEdit(ie_temp_od, L_temp->text() + space + L_tod->text(), tempOd)
        || !checkEdit(ie_temp_do, L_temp->text() + space + L_wdo->text(), tempDo)
        || !checkEdit(ie_wilg_od, L_Wilg->text() + space + L_tod->text(), wilgOd)
        || !checkEdit(ie_wilg_do, L_Wilg->text() + space + L_wdo->text(), wilgDo)
        || !checkEdit(ie_probek, L_ile->text(), probek))
        return;

    TParametryProgramu p = V_ParametryProgramu;
    // The FWDL address is only checked while its panel is shown; a hidden
    // one the user cannot correct keeps the stored value when it is invalid.
    if (cb_FwdlTransp->isChecked()) {
        qint32 fwdlAdres = 0;
        if (!checkEdit(ie_fwdladres, L_parFwdl->text() + L_adrFwdl->text(), fwdlAdres))
            return;
        p.FwdlAdres = fwdlAdres;
    } else {
        qint32 fwdlAdres = 0;
        const bool empty = ie_fwdladres->text().isEmpty() && ie_fwdladres->AllowEmpty();
        if (empty)
            fwdlAdres = ie_fwdladres->LastValue();
        if ((empty || ie_fwdladres->TextToValue(fwdlAdres)) && ie_fwdladres->InBounds(fwdlAdres))
            p.FwdlAdres = fwdlAdres;
    }

    // A list without a selection keeps what the record holds, except the
    // speeds, which fall back to the common 9600.
    SetTransmitParams(p.trans, selectedValue(co_port, p.trans.ComNum),
                      selectedValue(co_predkosc, kPredkoscBrak), adres,
                      selectedValue(co_parzystosc, p.trans.Parity));
    p.temp_od = tempOd;
    p.temp_do = tempDo;
    p.wilg_od = quint8(wilgOd);
    p.wilg_do = quint8(wilgDo);
    p.ile_probek = probek;
    p.FwdlTransp = cb_FwdlTransp->isChecked();
    p.FwdlPredk = selectedValue(co_fwdlpredk, kPredkoscBrak);
    V_ParametryProgramu = p;

    // The new settings are in force either way; the user must only learn
    // that they will not survive a restart.
    if (!SaveTransParams(m_plikParametrow))
        warning(QString::fromLatin1(kTextNotSaved).arg(m_plikParametrow));
    zapiszWybraneAdaptery();
    accept();
}

void TForm_Ustaw::opiszPorty()
{
    for (int i = 0; i < co_port->count(); ++i) {
        const int com = co_port->itemData(i, kValueRole).toInt();
        QString device;
        if (com >= 1 && com <= kComPortCount) {
            device = m_wybrane.value(com, ComDeviceName(com, m_plikIni, m_adaptery));
#if !defined(Q_OS_WIN)
            if (!QFileInfo::exists(device))
                device = QString::fromLatin1(kTextNotPresent).arg(device);
#endif
        }
        co_port->setItemData(i, device, kDeviceRole);
    }
}

void TForm_Ustaw::co_portChange()
{
    co_adapter->clear();
    const int com = selectedValue(co_port, 0);
    if (com < 1 || com > kComPortCount)
        return;
    const QString now = ComDeviceName(com, m_plikIni, m_adaptery);
    const QString shown = m_wybrane.value(com, now);
    // The device in force first when it is none of the adapters (an on-board
    // UART, a pseudo-terminal, an adapter since pulled out), then every
    // adapter present.
    const std::optional<TAdapter> current = FindAdapter(m_adaptery, shown);
    if (!current) {
        co_adapter->addItem(QFileInfo::exists(shown) ? shown : QString::fromLatin1(kTextNotPresent).arg(shown), shown);
        co_adapter->setItemData(0, shown, Qt::ToolTipRole);
    }
    for (const TAdapter &a : std::as_const(m_adaptery)) {
        co_adapter->addItem(AdapterLabel(a), AdapterMapName(a));
        QStringList details;
        details << AdapterMapName(a);
        if (!a.ById.isEmpty())
            details << a.Device;
        if (a.Usb())
            details << QString::asprintf("USB %04x:%04x", a.VendorId & 0xFFFF, a.ProductId & 0xFFFF);
        co_adapter->setItemData(co_adapter->count() - 1, details.join(QLatin1Char('\n')), Qt::ToolTipRole);
        if (current && current->Device == a.Device)
            co_adapter->setCurrentIndex(co_adapter->count() - 1);
    }
    if (!current)
        co_adapter->setCurrentIndex(0);
}

void TForm_Ustaw::co_adapterClick(int A_Index)
{
    const int com = selectedValue(co_port, 0);
    if (com < 1 || com > kComPortCount || A_Index < 0)
        return;
    const QString chosen = co_adapter->itemData(A_Index).toString();
    const QString now = ComDeviceName(com, m_plikIni, m_adaptery);
    // Choosing what is in force already (by whatever name) changes nothing.
    const std::optional<TAdapter> nowAdapter = FindAdapter(m_adaptery, now);
    if (chosen == now || (nowAdapter && AdapterMapName(*nowAdapter) == chosen))
        m_wybrane.remove(com);
    else
        m_wybrane.insert(com, chosen);
    opiszPorty();
}

bool TForm_Ustaw::zapiszWybraneAdaptery()
{
    bool ok = true;
    for (auto it = m_wybrane.cbegin(); it != m_wybrane.cend(); ++it) {
        if (!SaveComPortMapping(it.key(), it.value(), m_plikIni)) {
            warning(QString::fromLatin1(kTextMapNotSaved).arg(portText(it.key()), m_plikIni));
            ok = false;
            continue;
        }
        // A port open on the old device lets go of it: its next send opens
        // the adapter chosen.
        if (TComPort *port = Tab_ApdComPort[std::size_t(it.key() - 1)]) {
            try {
                port->SetOpen(false);
            } catch (const std::exception &) {
            }
        }
    }
    m_wybrane.clear();
    return ok;
}

void TForm_Ustaw::Bit_DomyslneClick()
{
    UstawDomyslne();
    UstawDaneFormy();
    reject();
}

void TForm_Ustaw::ie_adresInvalid(QObject *Sender, bool &CanLeave)
{
    const auto *edit = qobject_cast<const TIntegerEdit *>(Sender);
    if (!edit)
        edit = ie_adres;
    warning(QString::fromLatin1(kTextOutOfBounds).arg(edit->MinValue()).arg(edit->MaxValue()));
    CanLeave = false;
}

void TForm_Ustaw::cb_FwdlTranspClick()
{
    PanelFwdl->setVisible(cb_FwdlTransp->isChecked());
}
