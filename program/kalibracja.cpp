#include "kalibracja.h"

#include "ValCtrls.h"
#include "dane.h"
#include "dn_MyInfoDlg.h"
#include "dn_strings.h"
#include "dn_transakcja.h"
#include "dn_transmisja.h"
#include "dn_urzadzenia.h"

#include <QtCore/QLocale>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFrame>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStackedWidget>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

// --- Timing ----------------------------------------------------------------

// One step of the workflow. Short enough that the search feels immediate,
// long enough that a device has answered the previous request: the longest
// ordinary exchange (identification, 4 x 200 ms) spans about two steps.
constexpr int kStepMs = 450;
// Closing waits this long, this many times, for a transaction still on the
// line, then lets the line settle before the main window polls again.
constexpr int kCloseWaitStepMs = 300;
constexpr int kCloseWaitSteps = 3;
constexpr int kCloseSettleMs = 1000;
// Before the module is set back to 9600/N on the way out, a read still
// running is given time to end.
constexpr int kModuleLeaveWaitMs = 1000;
// One frame of the search animation.
constexpr int kAnimationFrameMs = 100;
constexpr double kFullTurn = 2 * 3.14159265358979323846;

// --- Entries -----------------------------------------------------------------

// The rates as the list shows them, right-aligned in six places.
constexpr int kSpeedItemWidth = 6;
QStringList speedItems()
{
    QStringList items;
    for (int baud : kPredkosciNadajnika)
        items << QString::number(baud).rightJustified(kSpeedItemWidth);
    return items;
}
const QStringList kSpeedItems = speedItems();
// The list starts at the service speed.
const int kSpeedIndex9600 = int(std::find(kPredkosciNadajnika.begin(), kPredkosciNadajnika.end(), kPredkoscSerwis)
                                - kPredkosciNadajnika.begin());
// The parity list holds the device's codes in their order: an item's index
// is its code.
QStringList parityItems()
{
    QStringList items;
    for (int code = PC_NONE; KodUrzadzeniaNaParity(code); ++code)
        items << ParityLitera(*KodUrzadzeniaNaParity(code));
    return items;
}
const QStringList kParityItems = parityItems();
constexpr int kParityIndexNone = PC_NONE;
const QStringList kUnitItems{QStringLiteral("°C"), QStringLiteral("°F")};
constexpr int kUnitCelsius = 0;
constexpr int kUnitFahrenheit = 1;

// What the address edits declare (not enforced by the edits themselves).
constexpr int kAddressEditMax = kAdresSerwis;
constexpr int kAddressEditInitial = 1;

// Scale values travel in tenths, as 16 bits. A negative value goes out as
// its two's complement, so an entry may be anything 16 bits hold, signed or
// not; beyond that it would arrive cut.
constexpr int kTenthsPerUnit = 10;
constexpr int kTenthsMin = std::numeric_limits<int16_t>::min();
constexpr int kTenthsMax = std::numeric_limits<uint16_t>::max();

// --- Texts ---------------------------------------------------------------------

const QString kWarningCaption = QStringLiteral("Warning");
const QString kFieldsEmpty = QStringLiteral("Fields cannot be empty !");
const QString kNoteMain = QStringLiteral("Writting to sensor ... ");
const QString kNoteDetails = QStringLiteral("Please wait ...");

// --- Layout --------------------------------------------------------------------

constexpr QSize kClientSize(548, 299);
constexpr QRect kPagesRect(4, 4, 452, 232);
constexpr QRect kCloseButtonRect(464, 8, 78, 28);
constexpr QRect kStripRect(4, 240, 540, 55);
constexpr int kSearchAnimationSize = 16;
constexpr int kRowPitch = 24;
constexpr int kRowHeight = 22;
constexpr int kLabelX = 8;
constexpr int kLabelWidth = 160;
constexpr int kNewX = 172;
constexpr int kCurrX = 300;
constexpr int kFieldWidth = 120;

QFont boldFont(const QWidget *w)
{
    QFont f = w->font();
    f.setBold(true);
    return f;
}

void setTextColor(QWidget *w, const QColor &c)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, c);
    w->setPalette(p);
}

// A read-only field of the "Currently" column, in the colour of its page.
QLineEdit *currentField(QWidget *parent, const QString &name)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setReadOnly(true);
    e->setFocusPolicy(Qt::NoFocus);
    QPalette p = e->palette();
    p.setColor(QPalette::Base, p.color(QPalette::Window));
    e->setPalette(p);
    return e;
}

QLabel *label(QWidget *parent, const QString &name)
{
    auto *l = new QLabel(parent);
    l->setObjectName(name);
    return l;
}

QComboBox *dropDown(QWidget *parent, const QString &name, const QStringList &items = {})
{
    auto *c = new QComboBox(parent);
    c->setObjectName(name);
    c->addItems(items);
    c->setCurrentIndex(-1);
    return c;
}

QPushButton *button(QWidget *parent, const QString &name)
{
    auto *b = new QPushButton(parent);
    b->setObjectName(name);
    // Enter in an entry must not send anything to a device.
    b->setAutoDefault(false);
    return b;
}

QRect row(int x, int index, int top, int width)
{
    return QRect(x, top + index * kRowPitch, width, kRowHeight);
}

// The number locale of the user, without group separators: the range fields
// hold plain decimal numbers.
QLocale numberLocale()
{
    QLocale l;
    l.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    return l;
}

QString tenthsText(uint16_t tenths)
{
    return numberLocale().toString(tenths / double(kTenthsPerUnit), 'g', QLocale::FloatingPointShortest);
}

// A scale entry in tenths, truncated toward zero. The user's decimal
// separator is taken, and the point as well. A product that lies a rounding
// error below a whole number of tenths (2.3 x 10) counts as that number.
bool entryToTenths(const QString &text, uint16_t &tenths)
{
    bool ok = false;
    const QString t = text.trimmed();
    double v = numberLocale().toDouble(t, &ok);
    if (!ok)
        v = QLocale::c().toDouble(t, &ok);
    if (!ok || !std::isfinite(v))
        return false;
    double scaled = v * kTenthsPerUnit;
    const double nearest = std::round(scaled);
    if (std::abs(scaled - nearest) < 1e-9 * std::max(1.0, std::abs(scaled)))
        scaled = nearest;
    scaled = std::trunc(scaled);
    if (scaled < kTenthsMin || scaled > kTenthsMax)
        return false;
    tenths = static_cast<uint16_t>(static_cast<int>(scaled) & 0xFFFF);
    return true;
}

} // namespace

// ============================================================================
// The search animation

TSearchAnimation::TSearchAnimation(QWidget *parent)
    : QWidget(parent)
    , m_timer(new QTimer(this))
{
    setFixedSize(kSearchAnimationSize, kSearchAnimationSize);
    m_timer->setInterval(kAnimationFrameMs);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_frame = (m_frame + 1) % kFrameCount;
        update();
    });
}

void TSearchAnimation::SetActive(bool A_Active)
{
    if (A_Active) {
        m_timer->start();
    } else {
        m_timer->stop();
        m_frame = 0;
    }
    setVisible(A_Active);
}

bool TSearchAnimation::IsPlaying() const
{
    return m_timer->isActive();
}

void TSearchAnimation::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // A sheet with lines of text...
    p.setPen(QColor(96, 96, 96));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(1.5, 0.5, 10, 13));
    p.setPen(QColor(160, 160, 160));
    for (int y = 3; y <= 11; y += 2)
        p.drawLine(QPointF(3.5, y + 0.5), QPointF(9.5, y + 0.5));
    // ...and a magnifier circling over it, one eighth of a turn per frame.
    const double angle = kFullTurn * m_frame / kFrameCount;
    const QPointF centre(7 + 2.5 * std::cos(angle), 7 + 2.5 * std::sin(angle));
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.setBrush(QColor(150, 200, 255, 160));
    p.drawEllipse(centre, 3.2, 3.2);
    p.setPen(QPen(QColor(120, 70, 20), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre + QPointF(2.4, 2.4), centre + QPointF(5.5, 5.5));
}

// ============================================================================
// The window

TForm_Kalibracja::TForm_Kalibracja(const TComPortTable &A_Porty, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
    , PageControl1(new QStackedWidget(this))
    , Tab_Start(new QWidget)
    , TabSheet2(new QWidget)
    , Tab_Fwadc(new QWidget)
    , Timer_Service_Mode(new QTimer(this))
    , m_porty(A_Porty)
    , m_windowHandle(this)
{
    setObjectName(QStringLiteral("Form_Kalibracja"));
    setFixedSize(kClientSize);
    setModal(true);

    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(kPagesRect);
    PageControl1->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    Tab_Start->setObjectName(QStringLiteral("Tab_Start"));
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    Tab_Fwadc->setObjectName(QStringLiteral("Tab_Fwadc"));
    PageControl1->addWidget(Tab_Start);
    PageControl1->addWidget(TabSheet2);
    PageControl1->addWidget(Tab_Fwadc);

    BuildStartPage();
    BuildTransPage();
    BuildFwadcPage();
    BuildStrip();

    Bit_Zamknij = button(this, QStringLiteral("Bit_Zamknij"));
    Bit_Zamknij->setGeometry(kCloseButtonRect);
    connect(Bit_Zamknij, &QPushButton::clicked, this, [this] {
        Bit_ZamknijClick();
        reject();
    });

    Timer_Service_Mode->setObjectName(QStringLiteral("Timer_Service_Mode"));
    Timer_Service_Mode->setInterval(kStepMs);
    // A coarse timer may drift by 5 %: these steps count out the renewal of
    // the FWTH-01's service mode.
    Timer_Service_Mode->setTimerType(Qt::PreciseTimer);
    connect(Timer_Service_Mode, &QTimer::timeout, this, &TForm_Kalibracja::Timer_Service_ModeTimer);

    connect(Bit_KalibWilg, &QPushButton::clicked, this, &TForm_Kalibracja::Bit_KalibWilgClick);
    connect(Bit_Fwadc, &QPushButton::clicked, this, &TForm_Kalibracja::Bit_FwadcClick);
    connect(co_Kanal1, &QComboBox::currentIndexChanged, this, &TForm_Kalibracja::co_Kanal1Change);
    connect(co_Kanal2, &QComboBox::currentIndexChanged, this, &TForm_Kalibracja::co_Kanal2Change);

    FormCreate();
}

TForm_Kalibracja::~TForm_Kalibracja()
{
    // A window freed without being closed (never shown, or dropped by its
    // owner) still leaves no note behind.
    Timer_Service_Mode->stop();
    if (MyHandle != 0)
        MyInfoDlgClose(MyHandle);
}

void TForm_Kalibracja::BuildStartPage()
{
    L_szukanie = label(Tab_Start, QStringLiteral("L_szukanie"));
    L_szukanie->setGeometry(40, 24, 300, kRowHeight);
    Animate1 = new TSearchAnimation(Tab_Start);
    Animate1->setObjectName(QStringLiteral("Animate1"));
    Animate1->move(16, 27);
    Animate1->SetActive(false);

    L_Uwaga1 = label(Tab_Start, QStringLiteral("L_Uwaga1"));
    L_Uwaga1->setFont(boldFont(L_Uwaga1));
    L_Uwaga1->setGeometry(16, 110, 420, kRowHeight);
    L_uwaga2 = label(Tab_Start, QStringLiteral("L_uwaga2"));
    L_uwaga2->setGeometry(16, 140, 420, kRowHeight);
    L_uwaga3 = label(Tab_Start, QStringLiteral("L_uwaga3"));
    L_uwaga3->setGeometry(16, 164, 420, kRowHeight);
}

void TForm_Kalibracja::BuildStrip()
{
    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(kStripRect);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);

    const QColor valueColour(Qt::blue);
    auto value = [&](QWidget *parent, const QString &name, const QRect &r) {
        QLabel *l = label(parent, name);
        l->setGeometry(r);
        l->setFont(boldFont(l));
        setTextColor(l, valueColour);
        l->setText(QStringLiteral("***"));
        return l;
    };
    auto frame = [&](const QString &name, const QRect &r) {
        auto *f = new QFrame(Panel1);
        f->setObjectName(name);
        f->setFrameStyle(QFrame::Box | QFrame::Sunken);
        f->setGeometry(r);
        return f;
    };

    L_typ = label(Panel1, QStringLiteral("L_typ"));
    L_typ->setGeometry(8, 5, 44, 20);
    L_typ_urzadzenia = value(Panel1, QStringLiteral("L_typ_urzadzenia"), QRect(54, 5, 170, 20));
    L_soft = label(Panel1, QStringLiteral("L_soft"));
    L_soft->setGeometry(250, 5, 130, 20);
    L_wersja = value(Panel1, QStringLiteral("L_wersja"), QRect(382, 5, 80, 20));

    L_numer = label(Panel1, QStringLiteral("L_numer"));
    L_numer->setGeometry(8, 30, 44, 20);
    Bevel6 = frame(QStringLiteral("Bevel6"), QRect(54, 29, 110, 22));
    L_nr_seryjny = value(Bevel6, QStringLiteral("L_nr_seryjny"), QRect(2, 1, 106, 20));
    L_nr_seryjny->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    L_data = label(Panel1, QStringLiteral("L_data"));
    L_data->setGeometry(250, 30, 110, 20);
    Bevel3 = frame(QStringLiteral("Bevel3"), QRect(362, 29, 100, 22));
    L_data_prod = value(Bevel3, QStringLiteral("L_data_prod"), QRect(2, 1, 96, 20));
    L_data_prod->setAlignment(Qt::AlignCenter);
}

void TForm_Kalibracja::BuildTransPage()
{
    QWidget *p = TabSheet2;
    L_ustaw = label(p, QStringLiteral("L_ustaw"));
    QFont heading = boldFont(L_ustaw);
    heading.setPixelSize(18);
    L_ustaw->setFont(heading);
    setTextColor(L_ustaw, QColor(0, 0, 128));
    L_ustaw->setGeometry(8, 6, 436, 26);
    auto *rule = new QFrame(p);
    rule->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    rule->setGeometry(8, 34, 436, 4);

    constexpr int top = 62;
    L_nowa = label(p, QStringLiteral("L_nowa"));
    L_nowa->setGeometry(kNewX, 42, kFieldWidth, 18);
    L_aktualnie = label(p, QStringLiteral("L_aktualnie"));
    L_aktualnie->setGeometry(kCurrX, 42, kFieldWidth, 18);

    L_predkosc = label(p, QStringLiteral("L_predkosc"));
    L_parzystosc = label(p, QStringLiteral("L_parzystosc"));
    L_adres = label(p, QStringLiteral("L_adres"));
    L_Jednostka = label(p, QStringLiteral("L_Jednostka"));
    co_predkosc = dropDown(p, QStringLiteral("co_predkosc"), kSpeedItems);
    co_parzystosc = dropDown(p, QStringLiteral("co_parzystosc"), kParityItems);
    ie_adres = new TIntegerEdit(p);
    ie_adres->setObjectName(QStringLiteral("ie_adres"));
    ie_adres->SetMaxValue(kAddressEditMax);
    ie_adres->SetValue(kAddressEditInitial);
    co_Jednostka = dropDown(p, QStringLiteral("co_Jednostka"), kUnitItems);
    ed_CurrPredkosc = currentField(p, QStringLiteral("ed_CurrPredkosc"));
    ed_CurrParzystosc = currentField(p, QStringLiteral("ed_CurrParzystosc"));
    ed_CurrAdres = currentField(p, QStringLiteral("ed_CurrAdres"));
    ed_CurrJednostka = currentField(p, QStringLiteral("ed_CurrJednostka"));

    const std::array<std::array<QWidget *, 3>, 4> rows{{
        {L_predkosc, co_predkosc, ed_CurrPredkosc},
        {L_parzystosc, co_parzystosc, ed_CurrParzystosc},
        {L_adres, ie_adres, ed_CurrAdres},
        {L_Jednostka, co_Jednostka, ed_CurrJednostka},
    }};
    for (int i = 0; i < int(rows.size()); ++i) {
        rows[i][0]->setGeometry(row(kLabelX, i, top, kLabelWidth));
        rows[i][1]->setGeometry(row(kNewX, i, top, kFieldWidth));
        rows[i][2]->setGeometry(row(kCurrX, i, top, kFieldWidth));
    }

    Bit_KalibWilg = button(p, QStringLiteral("Bit_KalibWilg"));
    Bit_KalibWilg->setGeometry(kCurrX, top + 4 * kRowPitch + 12, 140, 28);
}

void TForm_Kalibracja::BuildFwadcPage()
{
    QWidget *p = Tab_Fwadc;
    L_UstawFwadc = label(p, QStringLiteral("L_UstawFwadc"));
    QFont heading = boldFont(L_UstawFwadc);
    heading.setPixelSize(15);
    L_UstawFwadc->setFont(heading);
    setTextColor(L_UstawFwadc, QColor(0, 0, 128));
    L_UstawFwadc->setGeometry(kLabelX, 4, kLabelWidth, 22);
    L_FwadcNowa = label(p, QStringLiteral("L_FwadcNowa"));
    L_FwadcNowa->setGeometry(kNewX, 8, kFieldWidth, 18);
    L_FwadcAktualnie = label(p, QStringLiteral("L_FwadcAktualnie"));
    L_FwadcAktualnie->setGeometry(kCurrX, 8, kFieldWidth, 18);

    constexpr int top = 30;
    L_Kanal1 = label(p, QStringLiteral("L_Kanal1"));
    L_Kanal2 = label(p, QStringLiteral("L_Kanal2"));
    L_FwadcAdres = label(p, QStringLiteral("L_FwadcAdres"));
    L_FwadcJednostka = label(p, QStringLiteral("L_FwadcJednostka"));
    co_Kanal1 = dropDown(p, QStringLiteral("co_Kanal1"));
    co_Kanal2 = dropDown(p, QStringLiteral("co_Kanal2"));
    ie_FwadcAdres = new TIntegerEdit(p);
    ie_FwadcAdres->setObjectName(QStringLiteral("ie_FwadcAdres"));
    ie_FwadcAdres->SetMaxValue(kAddressEditMax);
    ie_FwadcAdres->SetValue(kAddressEditInitial);
    co_FwadcJednostka = dropDown(p, QStringLiteral("co_FwadcJednostka"), kUnitItems);
    ed_FwadcKanal1 = currentField(p, QStringLiteral("ed_FwadcKanal1"));
    ed_FwadcKanal2 = currentField(p, QStringLiteral("ed_FwadcKanal2"));
    ed_FwadcCurrAdres = currentField(p, QStringLiteral("ed_FwadcCurrAdres"));
    ed_FwadcCurrJednostka = currentField(p, QStringLiteral("ed_FwadcCurrJednostka"));

    const std::array<std::array<QWidget *, 3>, 4> rows{{
        {L_Kanal1, co_Kanal1, ed_FwadcKanal1},
        {L_Kanal2, co_Kanal2, ed_FwadcKanal2},
        {L_FwadcAdres, ie_FwadcAdres, ed_FwadcCurrAdres},
        {L_FwadcJednostka, co_FwadcJednostka, ed_FwadcCurrJednostka},
    }};
    for (int i = 0; i < int(rows.size()); ++i) {
        rows[i][0]->setGeometry(row(kLabelX, i, top, kLabelWidth));
        rows[i][1]->setGeometry(row(kNewX, i, top, kFieldWidth));
        rows[i][2]->setGeometry(row(kCurrX, i, top, kFieldWidth));
    }

    // A range row: the caption, the two new scale values and the two current
    // ones with a bold separator between them.
    constexpr int halfField = (kFieldWidth - 6) / 2;
    auto rangePanel = [&](int index, const QString &n, QLabel *&caption, QLineEdit *&new1, QLineEdit *&new2,
                          QLineEdit *&curr1, QLineEdit *&curr2) {
        auto *panel = new QFrame(p);
        panel->setObjectName(QStringLiteral("PanelRange") + n);
        panel->setGeometry(0, top + index * kRowPitch, kPagesRect.width() - 4, kRowHeight);
        caption = label(panel, QStringLiteral("L_Range") + n);
        caption->setGeometry(kLabelX, 0, kLabelWidth, kRowHeight);
        new1 = new QLineEdit(panel);
        new1->setObjectName(QStringLiteral("ed_Range") + n + QLatin1Char('1'));
        new1->setGeometry(kNewX, 0, halfField, kRowHeight);
        new2 = new QLineEdit(panel);
        new2->setObjectName(QStringLiteral("ed_Range") + n + QLatin1Char('2'));
        new2->setGeometry(kNewX + halfField + 6, 0, halfField, kRowHeight);
        curr1 = currentField(panel, QStringLiteral("ed_FwadcRange") + n + QLatin1Char('1'));
        curr1->setGeometry(kCurrX, 0, halfField, kRowHeight);
        curr1->setText(QStringLiteral("0"));
        curr1->setEnabled(false);
        auto *separator = label(panel, QStringLiteral("L_RangeSep") + n);
        separator->setFont(boldFont(separator));
        separator->setGeometry(kCurrX + halfField, 0, 6, kRowHeight);
        curr2 = currentField(panel, QStringLiteral("ed_FwadcRange") + n + QLatin1Char('2'));
        curr2->setGeometry(kCurrX + halfField + 6, 0, halfField, kRowHeight);
        curr2->setText(QStringLiteral("0"));
        curr2->setEnabled(false);
        panel->hide();
        return panel;
    };
    PanelRange1 = rangePanel(4, QStringLiteral("1"), L_Range1, ed_Range11, ed_Range12, ed_FwadcRange11,
                             ed_FwadcRange12);
    PanelRange2 = rangePanel(5, QStringLiteral("2"), L_Range2, ed_Range21, ed_Range22, ed_FwadcRange21,
                             ed_FwadcRange22);

    Bit_Fwadc = button(p, QStringLiteral("Bit_Fwadc"));
    Bit_Fwadc->setGeometry(kCurrX, top + 6 * kRowPitch + 4, 140, 28);
}

// ----------------------------------------------------------------------------
// Creation, showing, closing

void TForm_Kalibracja::FormCreate()
{
    DostosujJezyk();
    GetFwadcChannelItems(m_kanalItems);
    for (QComboBox *c : {co_Kanal1, co_Kanal2}) {
        const QSignalBlocker quiet(c);
        c->clear();
        c->addItems(m_kanalItems);
        // No type chosen yet: the first read of the module fills it.
        c->setCurrentIndex(-1);
    }
    co_Kanal1Change();
    co_Kanal2Change();
    MyHandle = 0;
}

void TForm_Kalibracja::FormShow()
{
    m_closing = false;
    Cls_Okno();
    Timer_Service_Mode->start();
}

void TForm_Kalibracja::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TForm_Kalibracja::keyPressEvent(QKeyEvent *event)
{
    // Esc is the close button's key: it runs the button's handler, and does
    // nothing while the button is locked during a module write.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (Bit_Zamknij->isEnabled())
            Bit_Zamknij->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TForm_Kalibracja::done(int r)
{
    // Closing may be asked again while the close query waits (a completion
    // that closes the window, a second click): the first close goes on.
    if (m_closing)
        return;
    m_closing = true;
    FormCloseQuery();
    FormClose();
    QDialog::done(r);
}

void TForm_Kalibracja::FormCloseQuery()
{
    Timer_Service_Mode->stop();
    // The waits handle events, so a completion that arrives meanwhile runs.
    for (int i = 0; i < kCloseWaitSteps && TX_ThreadsRunning > 0; ++i)
        WaitMS(kCloseWaitStepMs);
    WaitMS(kCloseSettleMs);
    if (MyHandle != 0) {
        MyInfoDlgClose(MyHandle);
        MyHandle = 0;
    }
}

void TForm_Kalibracja::FormClose()
{
    Timer_Service_Mode->stop();
}

void TForm_Kalibracja::Bit_ZamknijClick()
{
    // A module whose configuration has been read is set back to the line
    // settings the monitor speaks, at its own address and with its unit.
    if (!JestModulemAdc(IdInfo.ID.Dev_Type) || ed_FwadcCurrAdres->text().isEmpty())
        return;
    Timer_Service_Mode->stop();
    BlokujFwadc(true);
    WaitMS(kModuleLeaveWaitMs);
    bool ok = false;
    const int adres = ed_FwadcCurrAdres->text().trimmed().toInt(&ok);
    if (ok) {
        const TPWTTrans wyjscie = TSerwis::UstawieniaModuluNaWyjscie(adres, FwadcInfo.Jednostka);
        InitSendTrans(wyjscie.predkosc, wyjscie.parzystosc, wyjscie.adres, wyjscie.FahrCels);
    }
}

// ----------------------------------------------------------------------------
// Starting transactions

bool TForm_Kalibracja::CanStart() const
{
    return TX_ThreadsRunning == 0 && !m_closing;
}

template<class TThread, class TRecord>
void TForm_Kalibracja::StartTransaction(const TRecord &A_Record, void (TForm_Kalibracja::*A_Done)(const TRecord &))
{
    ++TX_ThreadsRunning;
    const TTransmitParams &t = V_ParametryProgramu.trans;
    // A window gone before its transaction ended hears nothing of it; the
    // transaction's record stays alive with the transaction.
    StartTransakcja<TThread, TRecord>(this, m_porty, {t.ComNum, t.adresRS485_serwis, t.predkosc_Serwis}, A_Record,
                                      [this, A_Done](const TRecord &wynik, int) { (this->*A_Done)(wynik); });
}

void TForm_Kalibracja::PrzyjmijKomunikacje(const TZmianaKomunikacji &A_Zmiana)
{
    SetTransmitParams(V_ParametryProgramu.trans, V_ParametryProgramu.trans.ComNum, A_Zmiana.Predkosc,
                      A_Zmiana.Adres, A_Zmiana.Parzystosc);
}

void TForm_Kalibracja::InitReceiveID()
{
    if (!CanStart())
        return;
    IdInfo.FwdlAdres = V_ParametryProgramu.FwdlAdres;
    IdInfo.FwdlPredk = V_ParametryProgramu.FwdlPredk;
    IdInfo.FwdlTransparent = V_ParametryProgramu.FwdlTransp;
    StartTransaction<TTHR_RH_Get_ID>(IdInfo, &TForm_Kalibracja::TX_ThreadDoneReceiveID);
}

void TForm_Kalibracja::InitEnterServiceMode()
{
    if (!CanStart())
        return;
    StartTransaction<TTHR_RH_EnterServiceMode>(IdInfo, &TForm_Kalibracja::TX_ThreadDoneEnterServiceMode);
}

void TForm_Kalibracja::InitReceiveTrans()
{
    if (!CanStart())
        return;
    StartTransaction<TTHR_RH_Get_Trans>(KalibTrans, &TForm_Kalibracja::TX_ThreadDoneReceiveTrans);
}

void TForm_Kalibracja::InitSendTrans(int A_Predkosc, int A_Parzystosc, int A_Adres, int A_Jednostka)
{
    if (!CanStart())
        return;
    KalibTrans.predkosc = A_Predkosc;
    KalibTrans.parzystosc = static_cast<uint16_t>(A_Parzystosc);
    KalibTrans.adres = static_cast<uint16_t>(A_Adres);
    KalibTrans.FahrCels = static_cast<uint8_t>(A_Jednostka);
    Zmiana_Parametrow_Lock(true);
    StartTransaction<TTHR_RH_Set_Trans>(KalibTrans, &TForm_Kalibracja::TX_ThreadDoneSendTrans);
}

void TForm_Kalibracja::InitReceiveFwadc()
{
    if (!CanStart())
        return;
    StartTransaction<TTHR_RH_GetFwadc>(FwadcInfo, &TForm_Kalibracja::TX_ThreadDoneReceiveFwadc);
}

void TForm_Kalibracja::InitSendFwadc()
{
    if (!CanStart())
        return;
    TFwadc_Informacja d = FwadcInfo;
    TBlad blad;
    if (!KonwertujFwadc(d, blad)) {
        // An entry changed since the click no longer converts: the write is
        // dropped rather than tried again on every step.
        m_serwis.PorzucZapisFwadc();
        BlokujFwadc(false);
        PokazOstrzezenie(blad);
        return;
    }
    // One note at a time, whatever happened before.
    if (MyHandle != 0)
        MyInfoDlgClose(MyHandle);
    MyHandle = MyInfoDlgShow(kNoteMain, kNoteDetails, true);
    FwadcInfo = d;
    BlokujFwadc(true);
    StartTransaction<TTHR_RH_SetFwadc>(FwadcInfo, &TForm_Kalibracja::TX_ThreadDoneSendFwadc);
}

// ----------------------------------------------------------------------------
// The timer step

void TForm_Kalibracja::Timer_Service_ModeTimer()
{
    switch (m_serwis.Krok()) {
    case TSerwis::TKrok::Zamknij:
        // A closed window starts nothing more on the line.
        reject();
        break;
    case TSerwis::TKrok::CzytajId: InitReceiveID(); break;
    case TSerwis::TKrok::TrybSerwisowy: InitEnterServiceMode(); break;
    case TSerwis::TKrok::PiszFwadc: InitSendFwadc(); break;
    case TSerwis::TKrok::CzytajFwadc: InitReceiveFwadc(); break;
    case TSerwis::TKrok::CzytajTrans: InitReceiveTrans(); break;
    case TSerwis::TKrok::PiszTrans:
        if (CanStart() && GetTransData())
            InitSendTrans(KalibTrans.predkosc, KalibTrans.parzystosc, KalibTrans.adres, KalibTrans.FahrCels);
        break;
    case TSerwis::TKrok::Nic: break;
    }
}

// ----------------------------------------------------------------------------
// Identification and service mode

void TForm_Kalibracja::TX_ThreadDoneReceiveID(const TPWT_ID_Informacja &A_Wynik)
{
    --TX_ThreadsRunning;
    // An FWTH-01 shows nothing before its service mode is open.
    if (m_serwis.PoCzytaniuId(A_Wynik))
        Pisz_Informacje_Z_ID();
}

void TForm_Kalibracja::TX_ThreadDoneEnterServiceMode(const TPWT_ID_Informacja &A_Wynik)
{
    --TX_ThreadsRunning;
    if (m_serwis.PoTrybieSerwisowym(A_Wynik))
        Pisz_Informacje_Z_ID();
    else
        Cls_Okno();
}

void TForm_Kalibracja::Pisz_Informacje_Z_ID()
{
    const TPWT_ID &id = IdInfo.ID;
    L_typ_urzadzenia->setText(Get_Dornal_Device_Type(id.Dev_Type, id.Dev_Type_Details));
    if (PodajeNumerIDate(id.Dev_Type, id.Dev_Type_Details)) {
        L_nr_seryjny->setText(QString::asprintf("%10d", int(id.Serial_Number)));
        L_data_prod->setText(
            QString::asprintf("%4d-%2.2d-%2.2d", IdInfo.Year + kRokBazowy, int(IdInfo.Month), int(IdInfo.Day)));
    } else {
        L_nr_seryjny->clear();
        L_data_prod->clear();
    }
    if (L_nr_seryjny->text().isEmpty()) {
        L_numer->hide();
        Bevel6->hide();
    }
    if (L_data_prod->text().isEmpty()) {
        L_data->hide();
        Bevel3->hide();
    }
    const auto &v = IdInfo.Version;
    const auto end = std::find(v.begin(), v.end(), '\0');
    L_wersja->setText(QString::fromLatin1(v.data(), end - v.begin()));
    TrwaSzukanie(false);
    AktywujStrone();
}

void TForm_Kalibracja::TrwaSzukanie(bool A_ACtive)
{
    Animate1->SetActive(A_ACtive);
    L_szukanie->setVisible(A_ACtive);
}

void TForm_Kalibracja::AktywujStrone()
{
    if (!OdebranoID)
        PageControl1->setCurrentWidget(Tab_Start);
    else if (JestModulemAdc(IdInfo.ID.Dev_Type))
        PageControl1->setCurrentWidget(Tab_Fwadc);
    else
        PageControl1->setCurrentWidget(TabSheet2);
}

bool TForm_Kalibracja::IsNewFWTH() const
{
    return RodzajUrzadzenia(IdInfo.ID.Dev_Type, IdInfo.ID.Dev_Type_Details) == TRodzajUrzadzenia::FWTH02;
}

void TForm_Kalibracja::Cls_Okno()
{
    m_serwis.Reset();
    TX_ThreadsRunning = 0;
    PageControl1->setCurrentWidget(Tab_Start);
    L_typ_urzadzenia->clear();
    L_wersja->clear();
    L_nr_seryjny->clear();
    L_data_prod->clear();
    Zmiana_Parametrow_Lock(false);
    co_predkosc->setCurrentIndex(kSpeedIndex9600);
    co_parzystosc->setCurrentIndex(kParityIndexNone);
    ie_adres->SetValue(kAddressEditInitial);
    ed_CurrPredkosc->clear();
    ed_CurrParzystosc->clear();
    ed_CurrAdres->clear();
    co_Jednostka->setCurrentIndex(kUnitCelsius);
    TrwaSzukanie(true);
    ed_FwadcKanal1->clear();
    ed_FwadcKanal2->clear();
    ed_FwadcCurrAdres->clear();
    ed_FwadcCurrJednostka->clear();
    ie_adres->clear();
    ie_FwadcAdres->clear();
    // A module write asked for and dropped with the search must not leave
    // the module page, and the close button, locked.
    BlokujFwadc(false);
}

// ----------------------------------------------------------------------------
// Transmitter page

void TForm_Kalibracja::TX_ThreadDoneReceiveTrans(const TPWTTrans &A_Wynik)
{
    Zmiana_Parametrow_Lock(false);
    --TX_ThreadsRunning;
    const std::optional<TZmianaKomunikacji> zmiana = m_serwis.PoCzytaniuTrans(A_Wynik);
    if (!zmiana)
        return; // read again on the next step
    co_predkosc->setCurrentIndex(kSpeedIndex9600);
    co_parzystosc->setCurrentIndex(kParityIndexNone);
    // The monitor follows the transmitter as it reported itself.
    PrzyjmijKomunikacje(*zmiana);
    ie_adres->ShowValue(KalibTrans.adres);
    ed_CurrPredkosc->setText(QStringLiteral("  ") + QString::number(KalibTrans.predkosc));
    if (KalibTrans.parzystosc < co_parzystosc->count())
        ed_CurrParzystosc->setText(QStringLiteral("  ") + co_parzystosc->itemText(KalibTrans.parzystosc));
    else
        ed_CurrParzystosc->clear();
    ed_CurrAdres->setText(QStringLiteral("  ") + QString::number(KalibTrans.adres));
    switch (KalibTrans.FahrCels) {
    case kUnitCelsius:
        ed_CurrJednostka->setText(QStringLiteral(" °C "));
        co_Jednostka->setCurrentIndex(kUnitCelsius);
        break;
    case kUnitFahrenheit:
        ed_CurrJednostka->setText(QStringLiteral(" °F "));
        co_Jednostka->setCurrentIndex(kUnitFahrenheit);
        break;
    default:
        ed_CurrJednostka->setText(QStringLiteral("  "));
        break;
    }
}

bool TForm_Kalibracja::SprawdzTrans(TBlad &A_Blad, int &A_Adres)
{
    if (co_predkosc->currentIndex() < 0) {
        A_Blad = {kFieldsEmpty, co_predkosc};
        return false;
    }
    if (co_parzystosc->currentIndex() < 0) {
        A_Blad = {kFieldsEmpty, co_parzystosc};
        return false;
    }
    try {
        A_Adres = ie_adres->GetValue();
    } catch (const EInvalidValue &e) {
        A_Blad = {QString::fromLatin1(e.what()), ie_adres};
        return false;
    }
    if (!kAdresyNadajnika.Zawiera(A_Adres)) {
        A_Blad = {kFieldsEmpty, ie_adres};
        return false;
    }
    return true;
}

void TForm_Kalibracja::Bit_KalibWilgClick()
{
    TBlad blad;
    int adres = 0;
    if (!SprawdzTrans(blad, adres)) {
        PokazOstrzezenie(blad);
        return;
    }
    m_serwis.ZadajZapisuTrans(); // the write starts on the next step
}

bool TForm_Kalibracja::GetTransData()
{
    TBlad blad;
    int adres = 0;
    if (!SprawdzTrans(blad, adres)) {
        // Changed since the click: the write is dropped, not retried on
        // every step with a message each time.
        m_serwis.PorzucZapisTrans();
        PokazOstrzezenie(blad);
        return false;
    }
    KalibTrans.predkosc = LTrim(co_predkosc->currentText()).toInt();
    KalibTrans.parzystosc = static_cast<uint16_t>(co_parzystosc->currentIndex());
    KalibTrans.adres = static_cast<uint16_t>(adres);
    KalibTrans.FahrCels = static_cast<uint8_t>(std::max(co_Jednostka->currentIndex(), 0));
    return true;
}

void TForm_Kalibracja::TX_ThreadDoneSendTrans(const TPWTTrans &A_Wynik)
{
    Zmiana_Parametrow_Lock(false);
    --TX_ThreadsRunning;
    // A failed write leaves the window open and the parameters unchanged.
    if (const std::optional<TZmianaKomunikacji> zmiana = m_serwis.PoZapisieTrans(A_Wynik)) {
        PrzyjmijKomunikacje(*zmiana);
        reject();
    }
}

void TForm_Kalibracja::Zmiana_Parametrow_Lock(bool A_Lock)
{
    for (QWidget *w : {static_cast<QWidget *>(co_predkosc), static_cast<QWidget *>(co_parzystosc),
                       static_cast<QWidget *>(ie_adres)}) {
        w->setEnabled(!A_Lock);
        w->repaint();
    }
}

// ----------------------------------------------------------------------------
// ADC module page

QString TForm_Kalibracja::NazwaKanalu(int A_Typ) const
{
    // A type this program has no name for is shown as the module gave it.
    if (A_Typ >= 0 && A_Typ < m_kanalItems.size())
        return m_kanalItems.at(A_Typ);
    return QString::number(A_Typ);
}

void TForm_Kalibracja::TX_ThreadDoneReceiveFwadc(const TFwadc_Informacja &A_Wynik)
{
    --TX_ThreadsRunning;
    if (!m_serwis.PoCzytaniuFwadc(A_Wynik)) {
        Cls_Okno();
    } else {
        const TFwadc_Informacja &f = FwadcInfo;
        // A user's choice is never overwritten by the periodic refresh.
        if (co_Kanal1->currentIndex() < 0 && f.Kanal1Typ >= 0 && f.Kanal1Typ < co_Kanal1->count())
            co_Kanal1->setCurrentIndex(f.Kanal1Typ);
        ed_FwadcKanal1->setText(NazwaKanalu(f.Kanal1Typ));
        if (co_Kanal2->currentIndex() < 0 && f.Kanal2Typ >= 0 && f.Kanal2Typ < co_Kanal2->count())
            co_Kanal2->setCurrentIndex(f.Kanal2Typ);
        ed_FwadcKanal2->setText(NazwaKanalu(f.Kanal2Typ));
        ed_FwadcCurrAdres->setText(QString::number(f.Adres));

        const bool k1Loop020 = f.Kanal1Typ == FCT_020MA;
        ed_FwadcRange11->setText(tenthsText(k1Loop020 ? f.Kanal1Range0201 : f.Kanal1Range4201));
        ed_FwadcRange12->setText(tenthsText(k1Loop020 ? f.Kanal1Range0202 : f.Kanal1Range4202));
        const bool k2Loop020 = f.Kanal2Typ == FCT_020MA;
        ed_FwadcRange21->setText(tenthsText(k2Loop020 ? f.Kanal2Range0201 : f.Kanal2Range4201));
        ed_FwadcRange22->setText(tenthsText(k2Loop020 ? f.Kanal2Range0202 : f.Kanal2Range4202));

        const std::array<std::pair<QLineEdit *, QLineEdit *>, 4> ranges{{
            {ed_Range11, ed_FwadcRange11},
            {ed_Range12, ed_FwadcRange12},
            {ed_Range21, ed_FwadcRange21},
            {ed_Range22, ed_FwadcRange22},
        }};
        for (const auto &[entry, current] : ranges) {
            if (entry->text().isEmpty())
                entry->setText(current->text());
        }
        if (ie_FwadcAdres->text().isEmpty())
            ie_FwadcAdres->ShowValue(f.Adres);

        switch (f.Jednostka) {
        case kUnitCelsius:
            ed_FwadcCurrJednostka->setText(QStringLiteral(" °C "));
            if (co_FwadcJednostka->currentIndex() < 0)
                co_FwadcJednostka->setCurrentIndex(kUnitCelsius);
            break;
        case kUnitFahrenheit:
            ed_FwadcCurrJednostka->setText(QStringLiteral(" °F "));
            if (co_FwadcJednostka->currentIndex() < 0)
                co_FwadcJednostka->setCurrentIndex(kUnitFahrenheit);
            break;
        default:
            ed_FwadcCurrJednostka->setText(QStringLiteral("  "));
            break;
        }
    }
    co_Kanal1Change();
    co_Kanal2Change();
}

bool TForm_Kalibracja::KonwertujFwadc(TFwadc_Informacja &A_Dane, TBlad &A_Blad)
{
    // A channel without a choice (a type the list has no entry for) keeps
    // the type the module reported, so nothing is changed there.
    if (co_Kanal1->currentIndex() >= 0)
        A_Dane.Kanal1Typ = co_Kanal1->currentIndex();
    if (co_Kanal2->currentIndex() >= 0)
        A_Dane.Kanal2Typ = co_Kanal2->currentIndex();

    const QString adresBlad =
        QStringLiteral("%1 the address of the module must be a whole number from %2 to %3.")
            .arg(L_FwadcAdres->text())
            .arg(kAdresyModulu.Min)
            .arg(kAdresyModulu.Max);
    if (ie_FwadcAdres->text().trimmed().isEmpty()) {
        A_Blad = {adresBlad, ie_FwadcAdres};
        return false;
    }
    int adres = 0;
    try {
        adres = ie_FwadcAdres->GetValue();
    } catch (const EInvalidValue &) {
        A_Blad = {adresBlad, ie_FwadcAdres};
        return false;
    }
    if (!kAdresyModulu.Zawiera(adres)) {
        A_Blad = {adresBlad, ie_FwadcAdres};
        return false;
    }
    A_Dane.Adres = static_cast<uint8_t>(adres);

    // Likewise a unit the module reported and the list cannot show.
    if (co_FwadcJednostka->currentIndex() >= 0)
        A_Dane.Jednostka = co_FwadcJednostka->currentIndex();

    struct TZakres
    {
        QLineEdit *Pole;
        QLabel *Kanal;
        const char *Ktora;
        uint16_t TFwadc_Informacja::*Range020;
        uint16_t TFwadc_Informacja::*Range420;
    };
    // Both ranges of a channel take the same entries: the module uses the
    // pair that fits the channel's type.
    const std::array<TZakres, 4> zakresy{{
        {ed_Range11, L_Range1, "first", &TFwadc_Informacja::Kanal1Range0201, &TFwadc_Informacja::Kanal1Range4201},
        {ed_Range12, L_Range1, "second", &TFwadc_Informacja::Kanal1Range0202, &TFwadc_Informacja::Kanal1Range4202},
        {ed_Range21, L_Range2, "first", &TFwadc_Informacja::Kanal2Range0201, &TFwadc_Informacja::Kanal2Range4201},
        {ed_Range22, L_Range2, "second", &TFwadc_Informacja::Kanal2Range0202, &TFwadc_Informacja::Kanal2Range4202},
    }};
    for (const TZakres &z : zakresy) {
        uint16_t tenths = 0;
        if (!entryToTenths(z.Pole->text(), tenths)) {
            const QLocale l = numberLocale();
            A_Blad = {QStringLiteral("%1%2 value \"%3\" is not a number from %4 to %5.")
                          .arg(z.Kanal->text(), QLatin1String(z.Ktora), z.Pole->text(),
                               l.toString(kTenthsMin / double(kTenthsPerUnit)),
                               l.toString(kTenthsMax / double(kTenthsPerUnit))),
                      z.Pole};
            return false;
        }
        A_Dane.*z.Range020 = tenths;
        A_Dane.*z.Range420 = tenths;
    }
    return true;
}

void TForm_Kalibracja::Bit_FwadcClick()
{
    // Checked now, so that the user hears about a wrong entry at once and
    // nothing is locked for a write that cannot go out.
    TFwadc_Informacja probe = FwadcInfo;
    TBlad blad;
    if (!KonwertujFwadc(probe, blad)) {
        PokazOstrzezenie(blad);
        return;
    }
    BlokujFwadc(true);
    m_serwis.ZadajZapisuFwadc(); // the write starts on the next step
}

void TForm_Kalibracja::TX_ThreadDoneSendFwadc(const TFwadc_Informacja &A_Wynik)
{
    --TX_ThreadsRunning;
    const std::optional<TZmianaKomunikacji> zmiana = m_serwis.PoZapisieFwadc(A_Wynik);
    if (A_Wynik.Status_Transmisji == ST_OK) {
        // The monitor follows the module to its new address; the next step
        // closes the window, and the close takes the note with it.
        if (zmiana)
            PrzyjmijKomunikacje(*zmiana);
        return;
    }
    BlokujFwadc(false);
    MyInfoDlgClose(MyHandle);
    MyHandle = 0;
    PokazOstrzezenie({Get_Trans_Error_Str(FwadcInfo.Status_Transmisji), nullptr});
}

void TForm_Kalibracja::BlokujFwadc(bool A_Blokada)
{
    for (QWidget *w : {static_cast<QWidget *>(Bit_Fwadc), static_cast<QWidget *>(co_Kanal1),
                       static_cast<QWidget *>(co_Kanal2), static_cast<QWidget *>(ie_FwadcAdres),
                       static_cast<QWidget *>(co_FwadcJednostka), static_cast<QWidget *>(Bit_Zamknij)})
        w->setEnabled(!A_Blokada);
}

void TForm_Kalibracja::PokazZakres(QComboBox *A_Kanal, QFrame *A_Panel)
{
    const int typ = A_Kanal->currentIndex();
    A_Panel->setVisible(typ == FCT_020MA || typ == FCT_420MA);
}

void TForm_Kalibracja::co_Kanal1Change()
{
    PokazZakres(co_Kanal1, PanelRange1);
}

void TForm_Kalibracja::co_Kanal2Change()
{
    PokazZakres(co_Kanal2, PanelRange2);
}

void TForm_Kalibracja::PokazOstrzezenie(const TBlad &A_Blad)
{
    QMessageBox::warning(this, kWarningCaption, A_Blad.Tekst, QMessageBox::Ok);
    if (A_Blad.Kontrolka)
        A_Blad.Kontrolka->setFocus(Qt::OtherFocusReason);
}

// ----------------------------------------------------------------------------
// Texts

void TForm_Kalibracja::DostosujJezyk()
{
    setWindowTitle(QStringLiteral("Service"));
    Bit_Zamknij->setText(QStringLiteral("Close"));
    L_typ->setText(QStringLiteral("Type:"));
    L_numer->setText(QStringLiteral("S/N:"));
    L_data->setText(QStringLiteral("Manufactured:"));
    L_soft->setText(QStringLiteral("Software version:"));
    L_szukanie->setText(QStringLiteral("Searching for sensor ... "));
    L_Uwaga1->setText(QStringLiteral("WARNING!  Sensor must be in the service mode"));
    L_uwaga2->setText(QStringLiteral("Sensors FWTH ---> switch off power supply and then switch on"));
    L_uwaga3->setText(QStringLiteral("Sensors FWT  ---> use magnet or press button"));

    L_ustaw->setText(QStringLiteral("Setting of the Transmission parameters"));
    L_nowa->setText(QStringLiteral("New value"));
    L_aktualnie->setText(QStringLiteral("Currently"));
    L_predkosc->setText(QStringLiteral("Baud rate"));
    L_parzystosc->setText(QStringLiteral("Parity checking mode:"));
    L_adres->setText(QStringLiteral("Add.RS-485:"));
    L_Jednostka->setText(QStringLiteral("unit of temp. measure"));
    Bit_KalibWilg->setText(QStringLiteral("Send to sensor"));

    L_UstawFwadc->setText(QStringLiteral("Settings FWADC "));
    L_FwadcNowa->setText(QStringLiteral("New value"));
    L_FwadcAktualnie->setText(QStringLiteral("Currently"));
    L_Kanal1->setText(QString::asprintf("Channel %d:", 1));
    L_Kanal2->setText(QString::asprintf("Channel %d:", 2));
    L_FwadcAdres->setText(QStringLiteral("Add.RS-485:"));
    L_FwadcJednostka->setText(QStringLiteral("unit of temp. measure:"));
    Bit_Fwadc->setText(QStringLiteral("Send to sensor"));
    L_Range1->setText(QString::asprintf("Channel %d", 1) + QStringLiteral(", ") + QStringLiteral("Range")
                      + QStringLiteral(": "));
    L_Range2->setText(QString::asprintf("Channel %d", 2) + QStringLiteral(", ") + QStringLiteral("Range")
                      + QStringLiteral(": "));
}
