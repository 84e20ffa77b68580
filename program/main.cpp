#include "main.h"

#include "dane.h"
#include "dn_bufor.h"
#include "dn_transakcja.h"
#include "kalibracja.h"
#include "ustawienia.h"

#include <QtCore/QDateTime>
#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QSaveFile>
#include <QtCore/QUrl>
#include <QtCore/QLocale>
#include <QtCore/QSocketNotifier>
#include <QtCore/QTimer>
#include <QtGui/QClipboard>
#include <QtGui/QCloseEvent>
#include <QtGui/QContextMenuEvent>
#include <QtGui/QDesktopServices>
#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QDialog>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QFrame>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QStatusBar>
#include <QtWidgets/QToolButton>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <limits>
#include <thread>
#include <cstdlib>

#if defined(Q_OS_UNIX)
#include <sys/socket.h>
#include <unistd.h>
#endif

TRH_Parametry_Biezace Odczyty_Biezace;
TForm_Main *Form_Main = nullptr;

namespace {

// --- Timing -----------------------------------------------------------------

constexpr int kTimer1Ms = 1000;
// Long enough for a measurement (4 attempts of 200 ms per wait) to end in the
// usual case before the service window takes the line, and for the device to
// settle after the service window has left it.
constexpr int kSerwisPauseMs = 1500;
// How often a wait for the end of a transaction looks again.
constexpr int kCzekanieKrokMs = 20;
// The longest transaction of the program: a module configuration read,
// 3 attempts of two 8000 ms waits, with a margin.
constexpr int kNajdluzszaTransakcjaMs = 60000;
// A receive light samples its port this often and goes dark this many
// samples after the last byte.
constexpr int kLightTickMs = 55;
constexpr int kLightOffTicks = 2;

// --- Transaction --------------------------------------------------------------

constexpr int kWatchedCom = 1; // the receive light shows COM1 only

// --- Recording ------------------------------------------------------------------

// The history read at start: beyond this many samples a chart is no longer
// something a person reads, and the start would wait for the disk.
constexpr qint64 kHistoriaNajwiecej = 1000000;
// The PNG at the screen's resolution, and the sharper one beside it.
constexpr double kSkalaPodwojna = 2.0;
const QString kPrzyrostekPodwojny = QStringLiteral("@2x");

// --- Layout (pixels; positions within the panel that holds the control) --------

constexpr QSize kClientSize(384, 421);
constexpr QSize kCompactSize(200, 350);
constexpr int kCompactShift = 150;
constexpr int kPanel1Height = 66;
constexpr int kStatusBarHeight = 19;
constexpr int kStatusPanel0Width = 240;
constexpr int kStatusPanel1Width = 50;
constexpr int kStatusPanelIndent = 3;
constexpr QRect kRectPanel2(0, kPanel1Height, kClientSize.width(),
                            kClientSize.height() - kPanel1Height - kStatusBarHeight);
constexpr int kChartHeight = 175;
constexpr int kChartMargin = 1;

constexpr QRect kRectRxS_trans(6, 4, 50, 58);
constexpr QRect kRectSB_Serwis(185, 1, 66, 63);
constexpr QRect kRectSB_Ustaw(250, 1, 66, 63);
constexpr QRect kRectsb_koniec(315, 1, 66, 63);
constexpr QSize kButtonPicture(60, 60);
// The persisted-only controls are never shown; they sit in the bar's gap.
constexpr QRect kRectRtsSleepBefore(64, 4, 40, 21);
constexpr QRect kRectRtsSleepAfter(64, 30, 40, 21);
constexpr QRect kRectRtsSwitch(110, 4, 70, 17);
constexpr QRect kRectRs485Mode(110, 22, 70, 17);
constexpr QRect kRectcb_AddBits(110, 40, 70, 17);

constexpr QRect kRectw1(32, 56, 100, 20);
constexpr QRect kRectw2(32, 112, 100, 20);
constexpr QRect kRectApdStatusLight2(340, 137, 16, 16);
constexpr QRect kRectcb_drzwi(8, 137, 60, 17);
constexpr QRect kRectlab_temp(51, 22, 75, 16);
constexpr QRect kRectch_minus(130, 22, 33, 49);
constexpr QRect kRectled_t2(162, 22, 33, 49);
constexpr QRect kRectled_t1(206, 22, 33, 49);
constexpr QRect kRectLed_TK(240, 31, 16, 49);
constexpr QRect kRectled_t0(256, 22, 33, 49);
constexpr QRect kRectlab_celc(294, 18, 58, 42);
constexpr QRect kRectPaintBox1(355, 22, 20, 20);
constexpr QRect kRectlab_wilg(58, 86, 68, 16);
constexpr QRect kRectled_w2(162, 86, 33, 49);
constexpr QRect kRectled_w1(206, 86, 33, 49);
constexpr QRect kRectled_wk(240, 95, 16, 49);
constexpr QRect kRectled_w0(256, 86, 33, 49);
constexpr QRect kRectlab_proc(298, 77, 45, 44);
// In the compact layout the minus sign has no room left of the tens digit at
// its full width; a narrow sign with short bevels fits at the window's edge.
constexpr QRect kRectch_minusCompact(0, 22, 12, 49);
constexpr int kMinusCompactBevel = 2;
constexpr int kMinusCompactBorder = 1;

constexpr int kLabelFontPx = 13;
constexpr int kCelcFontPx = 35;
constexpr int kProcFontPx = 37;
constexpr int kRawFontPx = 12;

// --- Colours --------------------------------------------------------------------

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kRed(0xFF, 0x00, 0x00);
const QColor kLime(0x00, 0xFF, 0x00);
const QColor kGrey(0x80, 0x80, 0x80);

// --- Reading display ------------------------------------------------------------------

// Readings in tenths: below this magnitude they show with one decimal.
constexpr int kOneDecimalLimit = 1000;
// Up to this magnitude the whole number fits the three digits.
constexpr int kWholeNumberLimit = 10000;
constexpr int kDigits = 3;
constexpr double kTenth = 0.1;
// Three of these cannot be taken for a number: the reading is too large.
constexpr TChar kOverflowChar = chH;
// Significant digits of the raw reading text.
constexpr int kRawDigits = 15;

// Door state in the status byte's two top bits.
constexpr uint8_t kDoorNone = 0x00;
constexpr uint8_t kDoorOpen = 0x80;
constexpr uint8_t kDoorClosed = 0xC0;

const QString kDegC = QStringLiteral("\u00B0C");
const QString kDegF = QStringLiteral("\u00B0F");

// --- Placement file values ---------------------------------------------------------------

const QString kPlacementFlags = QStringLiteral("0");
const QString kShowNormal = QStringLiteral("1");
const QString kShowMinimized = QStringLiteral("2");
const QString kNoMinMaxPos = QStringLiteral("-1,-1,-1,-1");

constexpr Qt::WindowFlags kNormalFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
    | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
constexpr Qt::WindowFlags kCompactFlags = Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;

// --- Chart --------------------------------------------------------------------------------

constexpr int kChartFontPx = 11;
constexpr int kSeriesPenWidth = 2;
// Time labels every 30 s, or a whole multiple of it when that many labels
// would not fit the axis.
constexpr double kTimeLabelStepS = 30.0;
constexpr int kTimeLabelsMax = 5;
// The time axis of a single point still spans this much.
constexpr double kMinTimeSpanS = 1.0;
const QString kTimeFormat = QStringLiteral("hh:mm:ss");
const QColor kFrameColor(0xC0, 0xC0, 0xC0); // silver

void setTextColour(QLabel *label, const QColor &colour)
{
    // Called on every tick: an unchanged colour costs no repaint.
    if (label->palette().color(QPalette::WindowText) == colour)
        return;
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
}

void setBackground(QWidget *widget, const QColor &colour)
{
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, colour);
    widget->setPalette(p);
    widget->setAutoFillBackground(true);
}

QFont arial(int pixelSize, bool bold = false)
{
    QFont f(QStringLiteral("Arial"));
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

QLabel *makeLabel(QWidget *parent, const char *name, const QRect &rect, const QFont &font,
                  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(rect);
    label->setFont(font);
    label->setAlignment(alignment);
    return label;
}

TCharLed *makeLed(QWidget *parent, const char *name, const QRect &rect, TChar c)
{
    auto *led = new TCharLed(parent);
    led->setObjectName(QString::fromLatin1(name));
    led->setGeometry(rect);
    led->SetColor(Qt::black);
    led->SetCharColor(kGrey);
    led->SetChar(c);
    return led;
}

QToolButton *makeButton(QWidget *parent, const char *name, const QRect &rect, const QString &picture)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(rect);
    button->setAutoRaise(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setIcon(QIcon(picture));
    button->setIconSize(kButtonPicture);
    return button;
}

QCheckBox *makeCheckBox(QWidget *parent, const char *name, const QRect &rect, bool checked)
{
    auto *box = new QCheckBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(rect);
    box->setChecked(checked);
    box->hide();
    return box;
}

QLineEdit *makeHiddenEdit(QWidget *parent, const char *name, const QRect &rect)
{
    auto *edit = new QLineEdit(QStringLiteral("0"), parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(rect);
    edit->hide();
    return edit;
}

void shiftX(QWidget *widget, int dx)
{
    widget->move(widget->x() + dx, widget->y());
}

// Time labels at a fixed step (a multiple of 30 s as the span requires)
// rather than at the steps the ticker would choose itself.
class TTimeTicker : public QCPAxisTickerDateTime
{
protected:
    double getTickStep(const QCPRange &range) override
    {
        const double labels = range.size() / kTimeLabelStepS;
        const double multiple = std::max(1.0, std::ceil(labels / kTimeLabelsMax));
        return kTimeLabelStepS * multiple;
    }
    int getSubTickCount(double) override { return 0; }
};

double nowKey()
{
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

} // namespace

// ============================================================================
// TTrendChart

TTrendChart::TTrendChart(QWidget *parent)
    : QCustomPlot(parent)
{
    setBackground(QBrush(Qt::black));
    axisRect()->setBackground(QBrush(Qt::black));
    legend->setVisible(false);

    const QFont font = arial(kChartFontPx);
    const QPen axisPen(Qt::white);
    auto styleAxis = [&](QCPAxis *axis, const QColor &labels) {
        axis->setBasePen(axisPen);
        axis->setTickPen(axisPen);
        axis->setSubTickPen(axisPen);
        axis->setTickLabelFont(font);
        axis->setTickLabelColor(labels);
        axis->setSubTicks(false);
    };

    m_ticker.reset(new TTimeTicker);
    m_ticker->setDateTimeFormat(kTimeFormat);
    m_ticker->setDateTimeSpec(Qt::LocalTime);
    xAxis->setTicker(m_ticker);
    styleAxis(xAxis, Qt::white);
    xAxis->grid()->setPen(QPen(kGrey, 1, Qt::DotLine));

    styleAxis(yAxis, kRed);
    yAxis->grid()->setVisible(false);
    yAxis->setRange(kDesignTempOd, kDesignTempDo);

    yAxis2->setVisible(true);
    styleAxis(yAxis2, kLime);
    yAxis2->grid()->setVisible(false);
    yAxis2->setRange(kDesignWilgOd, kDesignWilgDo);

    // The top edge of the plot closes the silver frame.
    xAxis2->setVisible(true);
    xAxis2->setTicks(false);
    xAxis2->setTickLabels(false);
    xAxis2->setBasePen(QPen(kFrameColor));

    auto makeSeries = [&](QCPAxis *valueAxis, const QColor &colour) {
        QCPGraph *graph = addGraph(xAxis, valueAxis);
        graph->setPen(QPen(colour, kSeriesPenWidth));
        graph->setLineStyle(QCPGraph::lsStepLeft);
        graph->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssNone));
        return graph;
    };
    m_series1 = makeSeries(yAxis, kRed);
    m_series2 = makeSeries(yAxis2, kLime);
    FollowTime();
}

bool TTrendChart::SetRanges(double A_TempOd, double A_TempDo, double A_WilgOd, double A_WilgDo)
{
    auto apply = [](QCPAxis *axis, double lower, double upper) {
        if (!(lower <= upper) || !QCPRange::validRange(lower, upper))
            return false;
        axis->setRange(lower, upper);
        return true;
    };
    const bool temp = apply(yAxis, A_TempOd, A_TempDo);
    const bool wilg = apply(yAxis2, A_WilgOd, A_WilgDo);
    replot(rpQueuedReplot);
    return temp && wilg;
}

void TTrendChart::AddReading(double A_Temperatura, double A_Wilgotnosc, int A_IleProbek,
                             const std::optional<TProbka> &A_Probka)
{
    const double time = A_Probka && A_Probka->Czas.isValid()
        ? static_cast<double>(A_Probka->Czas.toMSecsSinceEpoch()) / 1000.0
        : nowKey();
    AddReadingAt(time, A_Temperatura, A_Wilgotnosc, A_IleProbek, A_Probka);
}

void TTrendChart::AddReadingAt(double A_Time, double A_Temperatura, double A_Wilgotnosc, int A_IleProbek,
                               const std::optional<TProbka> &A_Probka)
{
    // Dropping the first point only marks it free in the series' storage and
    // an appended point lands at the end, so a reading costs the same at any
    // sample count.
    if (m_series1->dataCount() > A_IleProbek) {
        m_series1->data()->remove(m_series1->data()->constBegin()->key);
        if (!m_series2->data()->isEmpty())
            m_series2->data()->remove(m_series2->data()->constBegin()->key);
        if (!m_probki.empty())
            m_probki.pop_front();
    }
    AddPoint(A_Time, A_Temperatura, A_Wilgotnosc, A_Probka);
    FollowTime();
    // Queued: readings and repaints arriving together cost one redraw.
    replot(rpQueuedReplot);
}

void TTrendChart::AddPoint(double A_Time, double A_Temperatura, double A_Wilgotnosc,
                           const std::optional<TProbka> &A_Probka)
{
    // Labels count their steps from the first reading, not from whole
    // half-minutes: a chart a few seconds long still shows a time.
    if (m_series1->data()->isEmpty())
        m_ticker->setTickOrigin(A_Time);
    m_series1->addData(A_Time, A_Temperatura);
    m_series2->addData(A_Time, A_Wilgotnosc);
    m_probki.push_back(A_Probka);
}

void TTrendChart::SetHistory(const std::vector<TProbka> &A_Historia, int A_IleProbek)
{
    struct Punkt
    {
        double time;
        double temperatura;
        double wilgotnosc;
        std::optional<TProbka> probka;
    };
    // A NaN value is a break in a line: the step before it ends at its time.
    constexpr double kBreak = std::numeric_limits<double>::quiet_NaN();
    std::vector<Punkt> punkty;
    punkty.reserve(A_Historia.size() + 1);
    std::vector<const TProbka *> wCzasie;
    wCzasie.reserve(A_Historia.size());
    for (const TProbka &p : A_Historia)
        if (p.Czas.isValid())
            wCzasie.push_back(&p);
    // A clock set back wrote later readings with earlier times.
    std::stable_sort(wCzasie.begin(), wCzasie.end(),
                     [](const TProbka *a, const TProbka *b) { return a->Czas < b->Czas; });
    for (std::size_t i = 0; i < wCzasie.size(); ++i) {
        const TProbka &p = *wCzasie[i];
        const double time = static_cast<double>(p.Czas.toMSecsSinceEpoch()) / 1000.0;
        if (p.Udany())
            punkty.push_back({time, *p.Temperatura, p.Wilgotnosc.value_or(kBreak), p});
        else
            punkty.push_back({time, kBreak, kBreak, p});
        const bool ostatni = i + 1 == wCzasie.size();
        const double nastepny = ostatni ? 0.0 : static_cast<double>(wCzasie[i + 1]->Czas.toMSecsSinceEpoch()) / 1000.0;
        if (p.Udany() && (ostatni || nastepny - time > kPrzerwaS))
            punkty.push_back({time + kOkresS, kBreak, kBreak, std::nullopt});
    }
    const std::size_t miejsce = A_IleProbek < 0 ? 0 : std::size_t(A_IleProbek) + 1;
    const std::size_t od = punkty.size() > miejsce ? punkty.size() - miejsce : 0;

    m_series1->data()->clear();
    m_series2->data()->clear();
    m_probki.clear();
    for (std::size_t i = od; i < punkty.size(); ++i)
        AddPoint(punkty[i].time, punkty[i].temperatura, punkty[i].wilgotnosc, punkty[i].probka);
    FollowTime();
    replot(rpQueuedReplot);
}

std::vector<TProbka> TTrendChart::Readings() const
{
    std::vector<TProbka> readings;
    for (const std::optional<TProbka> &p : m_probki)
        if (p)
            readings.push_back(*p);
    return readings;
}

void TTrendChart::FollowTime()
{
    if (m_series1->data()->isEmpty()) {
        const double now = nowKey();
        xAxis->setRange(now - kTimeLabelStepS, now);
        return;
    }
    const double first = m_series1->data()->constBegin()->key;
    const double last = (m_series1->data()->constEnd() - 1)->key;
    xAxis->setRange(first, std::max(last, first + kMinTimeSpanS));
}

// ============================================================================
// Small controls

TPictureSwitch::TPictureSwitch(QWidget *parent)
    : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
}

void TPictureSwitch::SetOn(bool A_On)
{
    if (A_On == m_on)
        return;
    m_on = A_On;
    update();
    if (m_on)
        emit switchedOn();
    else
        emit switchedOff();
}

void TPictureSwitch::SetPictures(const QPixmap &A_On, const QPixmap &A_Off)
{
    m_pictureOn = A_On;
    m_pictureOff = A_Off;
    update();
}

void TPictureSwitch::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QPixmap &picture = m_on ? m_pictureOn : m_pictureOff;
    if (!picture.isNull())
        painter.drawPixmap(rect(), picture);
}

void TPictureSwitch::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        SetOn(!m_on);
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void TPictureSwitch::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
        SetOn(!m_on);
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

TStatusLight::TStatusLight(QWidget *parent)
    : QWidget(parent)
    , m_timer(new QTimer(this))
{
    m_timer->setInterval(kLightTickMs);
    connect(m_timer, &QTimer::timeout, this, &TStatusLight::Tick);
}

void TStatusLight::SetPort(const TApdComPort *A_Port)
{
    m_port = A_Port;
    m_lastCount = m_port ? m_port->ReceivedCount() : 0;
}

void TStatusLight::SetMonitoring(bool A_On)
{
    if (A_On == m_monitoring)
        return;
    m_monitoring = A_On;
    if (m_monitoring) {
        m_timer->start();
    } else {
        // A reply that came in since the last sample still lights up.
        Tick();
    }
}

void TStatusLight::Tick()
{
    const uint64_t count = m_port ? m_port->ReceivedCount() : 0;
    if (count != m_lastCount) {
        m_lastCount = count;
        m_offTicks = kLightOffTicks;
        SetLit(true);
        if (!m_timer->isActive())
            m_timer->start();
        return;
    }
    if (m_offTicks > 0)
        --m_offTicks;
    if (m_offTicks == 0) {
        SetLit(false);
        if (!m_monitoring)
            m_timer->stop();
    }
}

void TStatusLight::SetLit(bool A_Lit)
{
    if (A_Lit == m_lit)
        return;
    m_lit = A_Lit;
    update();
}

void TStatusLight::paintEvent(QPaintEvent *)
{
    static const QColor kLit(0x00, 0xFF, 0x00);
    static const QColor kDark(0x00, 0x40, 0x00);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(kGrey, 1));
    painter.setBrush(m_lit ? kLit : kDark);
    painter.drawEllipse(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
}

TPaintBox::TPaintBox(QWidget *parent)
    : QWidget(parent)
{
}

void TPaintBox::Draw(const QPixmap &A_Picture)
{
    m_picture = A_Picture;
    update();
}

void TPaintBox::paintEvent(QPaintEvent *)
{
    if (m_picture.isNull())
        return;
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_picture);
}

// ============================================================================
// TForm_Main

TForm_Main::TForm_Main(const TPlikiProgramu &A_Pliki, QWidget *parent)
    : QWidget(parent, kNormalFlags)
    , m_pliki(A_Pliki)
    , m_ports(A_Pliki.Ini)
    , m_handle(this)
{
    CreateControls();
    FormCreate();
}

TForm_Main::~TForm_Main()
{
    Timer1->stop();
    // The measurement thread works on our ports: let it finish its exchange
    // before they go, and let its end find nothing of the window.
    // Its end, delivered later, finds the window gone and is dropped.
    if (m_thread)
        m_thread->wait();
    ThreadsRunning = 0;
    // A transaction another window left running on our ports ends first too.
    if (TransakcjaNaLinii())
        CzekajNaKoniecTransakcji();
    ApdStatusLight2->SetPort(nullptr);
    if (Tab_ApdComPort == m_ports.table())
        Tab_ApdComPort = TComPortTable{};
    if (Form_Main == this)
        Form_Main = nullptr;
}

void TForm_Main::CreateControls()
{
    setObjectName(QStringLiteral("Form_Main"));
    setWindowTitle(QStringLiteral("DORNAL Monitor Fenwire "));
    setFixedSize(kClientSize);
    setFocusPolicy(Qt::StrongFocus);

    // --- Top bar ---
    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 0, kClientSize.width(), kPanel1Height);
    setBackground(Panel1, kNavy);

    SB_Serwis = makeButton(Panel1, "SB_Serwis", kRectSB_Serwis, QStringLiteral(":/images/service.png"));
    SB_Ustaw = makeButton(Panel1, "SB_Ustaw", kRectSB_Ustaw, QStringLiteral(":/images/settings.png"));
    sb_koniec = makeButton(Panel1, "sb_koniec", kRectsb_koniec, QStringLiteral(":/images/exit.png"));

    RxS_trans = new TPictureSwitch(Panel1);
    RxS_trans->setObjectName(QStringLiteral("RxS_trans"));
    RxS_trans->setGeometry(kRectRxS_trans);
    RxS_trans->SetPictures(QPixmap(QStringLiteral(":/images/switch_on.png")),
                           QPixmap(QStringLiteral(":/images/switch_off.png")));
    RxS_trans->hide();

    RtsSleepBefore = makeHiddenEdit(Panel1, "RtsSleepBefore", kRectRtsSleepBefore);
    RtsSleepAfter = makeHiddenEdit(Panel1, "RtsSleepAfter", kRectRtsSleepAfter);
    RtsSwitch = makeCheckBox(Panel1, "RtsSwitch", kRectRtsSwitch, false);
    Rs485Mode = makeCheckBox(Panel1, "Rs485Mode", kRectRs485Mode, true);
    cb_AddBits = makeCheckBox(Panel1, "cb_AddBits", kRectcb_AddBits, false);

    // --- Readings and chart ---
    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    setBackground(Panel2, Qt::black);

    const QFont labelFont = arial(kLabelFontPx);
    lab_temp = makeLabel(Panel2, "lab_temp", kRectlab_temp, labelFont, Qt::AlignRight | Qt::AlignVCenter);
    lab_wilg = makeLabel(Panel2, "lab_wilg", kRectlab_wilg, labelFont, Qt::AlignRight | Qt::AlignVCenter);
    lab_celc = makeLabel(Panel2, "lab_celc", kRectlab_celc, arial(kCelcFontPx));
    lab_proc = makeLabel(Panel2, "lab_proc", kRectlab_proc, arial(kProcFontPx));
    lab_celc->setText(kDegC);
    lab_proc->setText(QStringLiteral("%"));
    lab_wilg->hide();
    lab_celc->hide();
    lab_proc->hide();

    ch_minus = makeLed(Panel2, "ch_minus", kRectch_minus, chNone);
    ch_minus->SetLeds(TLeds{TLed::_3});
    ch_minus->SetCharColor(kRed);
    ch_minus->hide();
    led_t2 = makeLed(Panel2, "led_t2", kRectled_t2, ch0);
    led_t1 = makeLed(Panel2, "led_t1", kRectled_t1, ch0);
    Led_TK = makeLed(Panel2, "Led_TK", kRectLed_TK, chLoPoint);
    led_t0 = makeLed(Panel2, "led_t0", kRectled_t0, ch0);
    led_w2 = makeLed(Panel2, "led_w2", kRectled_w2, ch0);
    led_w1 = makeLed(Panel2, "led_w1", kRectled_w1, ch0);
    led_wk = makeLed(Panel2, "led_wk", kRectled_wk, chLoPoint);
    led_w0 = makeLed(Panel2, "led_w0", kRectled_w0, ch0);
    for (TCharLed *led : {led_w2, led_w1, led_wk, led_w0})
        led->hide();

    PaintBox1 = new TPaintBox(Panel2);
    PaintBox1->setObjectName(QStringLiteral("PaintBox1"));
    PaintBox1->setGeometry(kRectPaintBox1);

    const QFont rawFont = arial(kRawFontPx, true);
    w1 = makeLabel(Panel2, "w1", kRectw1, rawFont, Qt::AlignRight | Qt::AlignVCenter);
    w2 = makeLabel(Panel2, "w2", kRectw2, rawFont, Qt::AlignRight | Qt::AlignVCenter);
    for (QLabel *raw : {w1, w2}) {
        setTextColour(raw, Qt::white);
        raw->hide();
    }

    ApdStatusLight2 = new TStatusLight(Panel2);
    ApdStatusLight2->setObjectName(QStringLiteral("ApdStatusLight2"));
    ApdStatusLight2->setGeometry(kRectApdStatusLight2);

    cb_drzwi = makeCheckBox(Panel2, "cb_drzwi", kRectcb_drzwi, false);
    cb_drzwi->setText(QStringLiteral("drzwi"));

    Chart1 = new TTrendChart(Panel2);
    Chart1->setObjectName(QStringLiteral("Chart1"));
    // The chart keeps mouse events to itself; it asks for the menu instead.
    Chart1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Chart1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { MenuKontekstowe()->popup(Chart1->mapToGlobal(at)); });
    UlozPanel2(kRectPanel2);

    // --- Status bar ---
    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(0, kClientSize.height() - kStatusBarHeight, kClientSize.width(), kStatusBarHeight);
    StatusPanel0 = new QLabel(StatusBar1);
    StatusPanel0->setFixedWidth(kStatusPanel0Width);
    StatusPanel1 = new QLabel(StatusBar1);
    StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    // The last panel of a status bar reaches to its right edge: room for
    // the few words of a failure, the tooltip holding the rest.
    StatusPanel1->setMinimumWidth(kStatusPanel1Width);
    StatusPanel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    // A fixed indent: the words are cut to the room it leaves.
    StatusPanel1->setIndent(kStatusPanelIndent);
    StatusBar1->addWidget(StatusPanel0);
    StatusBar1->addWidget(StatusPanel1, 1);

    UstawKolory_LED(false, false);

    // --- Pictures of the door state; the empty one draws nothing ---
    ImageList1[kObrazZamkniete] = QPixmap(QStringLiteral(":/images/door_closed.png"));
    ImageList1[kObrazOtwarte] = QPixmap(QStringLiteral(":/images/door_open.png"));

    // --- Timer ---
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kTimer1Ms);
    // A coarse timer may drift by 5 %, which would let the polling fall
    // behind the once-a-second the device is read at.
    Timer1->setTimerType(Qt::PreciseTimer);

    connect(Timer1, &QTimer::timeout, this, &TForm_Main::Timer1Timer);
    connect(RxS_trans, &TPictureSwitch::switchedOn, this, &TForm_Main::RxS_transOn);
    connect(RxS_trans, &TPictureSwitch::switchedOff, this, &TForm_Main::RxS_transOff);
    connect(SB_Serwis, &QToolButton::clicked, this, &TForm_Main::SB_SerwisClick);
    connect(SB_Ustaw, &QToolButton::clicked, this, &TForm_Main::SB_UstawClick);
    connect(sb_koniec, &QToolButton::clicked, this, &TForm_Main::sb_koniecClick);

    // Centred on the screen until the placement file says otherwise.
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm_Main::UlozPanel2(const QRect &A_Rect)
{
    Panel2->setGeometry(A_Rect);
    // The chart keeps to the bottom of the panel in either layout.
    Chart1->setGeometry(kChartMargin, A_Rect.height() - kChartHeight - kChartMargin,
                        A_Rect.width() - 2 * kChartMargin, kChartHeight);
}

void TForm_Main::FormCreate()
{
    DostosujJezyk();
    Tab_ApdComPort = m_ports.table();
    ApdStatusLight2->SetPort(&m_ports.port(kWatchedCom));
    setWindowTitle(windowTitle() + QLatin1Char(' ') + GetBuildInfo());
    if (!LoadTransParams(m_pliki.Parametry)) {
        UstawDomyslne();
        SaveTransParams(m_pliki.Parametry);
    }
    Ustaw_Komunikacje();
    LoadRecordingSettings(m_ustawieniaZapisu, m_pliki.Ini);
    if (m_ustawieniaZapisu.Record) {
        UruchomZapis();
        const int ile = std::clamp<qint64>(qint64(V_ParametryProgramu.ile_probek) + 1, 0, kHistoriaNajwiecej);
        Chart1->SetHistory(CzytajHistorie(FolderZapisu(), ile), V_ParametryProgramu.ile_probek);
    }
    Timer1->start();
}

void TForm_Main::DostosujJezyk()
{
    lab_temp->setText(QStringLiteral("Temperature"));
    lab_wilg->setText(QStringLiteral("Humidity"));
    for (QWidget *widget : {static_cast<QWidget *>(sb_koniec), static_cast<QWidget *>(SB_Ustaw),
                            static_cast<QWidget *>(SB_Serwis), static_cast<QWidget *>(RxS_trans),
                            static_cast<QWidget *>(Panel2)})
        widget->setToolTip(QString());
}

void TForm_Main::Ustaw_Komunikacje()
{
    TParametryProgramu &p = V_ParametryProgramu;
    constexpr qint32 kTempDoMax = 10000;
    constexpr int kWilgDoMax = 100;
    if (p.temp_do < p.temp_od || p.wilg_od > p.wilg_do || p.temp_do > kTempDoMax || p.wilg_do > kWilgDoMax)
        UstawDomyslne();
    // After the check: the bar shows the settings actually in force.
    UpdateStatusBar();
    Chart1->SetRanges(p.temp_od, p.temp_do, p.wilg_od, p.wilg_do);
}

void TForm_Main::UpdateStatusBar()
{
    const TTransmitParams &t = V_ParametryProgramu.trans;
    StatusPanel0->setText(QString::asprintf(" COM%d, %d, %d, %s: %d", int(t.ComNum), int(t.Predkosc),
                                            m_ports.port(kWatchedCom).StopBits(), "Add.RS-485",
                                            int(t.adresRS485)));
}

void TForm_Main::UstawParzystosc()
{
    const TParity parity = cb_AddBits->isChecked() ? TParity::Odd : TParity::None;
    for (TComPort *port : Tab_ApdComPort) {
        if (!port)
            continue;
        try {
            port->SetParity(parity);
        } catch (const EComError &) {
            // A port that refuses keeps its parity; its exchanges say the rest.
        }
    }
}

// --- Monitor cycle -----------------------------------------------------------

void TForm_Main::Timer1Timer()
{
    if (RxS_trans->On())
        StartMonitor();
}

void TForm_Main::StartMonitor()
{
    const TTransmitParams &t = V_ParametryProgramu.trans;
    // A transaction the service window left running on the port keeps it
    // until it ends.
    if (ThreadsRunning == 0 && TTHR_Trans_RH::Running(t.ComNum) == 0) {
        Odczyty_Biezace.PrzezCentralke = V_ParametryProgramu.FwdlTransp;
        Odczyty_Biezace.FwdlAdres = V_ParametryProgramu.FwdlAdres;
        Odczyty_Biezace.FwdlPredk = V_ParametryProgramu.FwdlPredk;
        Odczyty_Biezace.Status_Transmisji = kRecordPending;
        // The thread works on a copy of the record and frees itself once it
        // has ended; its end comes back here as the reading, then ThreadDone.
        m_thread = StartTransakcja<TTHR_RH_Get_Current_Measure, TRH_Parametry_Biezace>(
            this, m_ports.table(), {t.ComNum, t.adresRS485, t.Predkosc}, Odczyty_Biezace,
            [this](const TRH_Parametry_Biezace &wynik, int status) {
                Odczyty_Biezace = wynik;
                After_Read_measure(TTransDoneEvent(status));
                ThreadDone(m_thread);
            });
        ApdStatusLight2->SetMonitoring(true);
        ThreadsRunning = 1;
    }
    UstawKolory_LED(true, true);
}

void TForm_Main::StopMonitor()
{
    m_pokazany.reset();
    if (ThreadsRunning == 0) {
        Odczyty_Biezace.Wilgotnosc = 0;
        Odczyty_Biezace.Temperatura = 0;
        Wyswietl_Ledy();
    } else {
        // The running measurement owns the record until it ends; the reading
        // is pending, which shows as blank digits.
        Wygas_Ledy();
    }
    UstawKolory_LED(false, false);
}

void TForm_Main::RxS_transOn()
{
    Timer1->start();
}

void TForm_Main::RxS_transOff()
{
    StopMonitor();
}

void TForm_Main::ThreadDone(TTHR_Trans_RH *)
{
    if (ThreadsRunning > 0)
        --ThreadsRunning;
    ApdStatusLight2->SetMonitoring(false);
}

void TForm_Main::After_Read_measure(const TTransDoneEvent &)
{
    const TProbka probka = ProbkaOdczytu();
    m_probkaDoWykresu = probka;
    Wyswietl_Ledy();
    m_probkaDoWykresu.reset();
    if (probka.Udany())
        m_pokazany = probka;
    else
        m_pokazany.reset();
    if (m_zapis)
        m_zapis->Dodaj(probka);
    PokazPrzyczyne();
}

TProbka TForm_Main::ProbkaOdczytu()
{
    const TRH_Parametry_Biezace &D = Odczyty_Biezace;
    const TTransmitParams &t = V_ParametryProgramu.trans;
    TProbka p;
    p.Czas = m_zegar ? m_zegar() : QDateTime::currentDateTime();
    p.Status = D.Status_Transmisji;
    if (t.ComNum >= 1 && t.ComNum <= kComPortCount)
        p.Port = m_ports.port(t.ComNum).DeviceName();
    if (p.Port.isEmpty())
        p.Port = QStringLiteral("COM%1").arg(int(t.ComNum));
    p.Adres = t.adresRS485;
    if (D.Status_Transmisji == ST_OK) {
        if (D.Temperatura != kNoValue) {
            p.Temperatura = D.Temperatura * kTenth;
            p.Jednostka = (D.Status & kStatusFahrenheit) ? kDegF : kDegC;
        }
        if (D.Wilgotnosc != kNoValue)
            p.Wilgotnosc = D.Wilgotnosc * kTenth;
    } else {
        p.Przyczyna = Get_Cause_Str(D.Przyczyna);
        if (p.Przyczyna.isEmpty())
            p.Przyczyna = Get_Trans_Error_Str(D.Status_Transmisji).trimmed();
    }
    return p;
}

namespace {

// The failure in the panel's few words: what happened, and where it says so
// at all, what to do. The panel beside it names the COM number; the tooltip
// tells the device and the rest.
QString panelWords(const TPrzyczyna &A_Przyczyna)
{
    const TPortFailure &f = A_Przyczyna.Port;
    switch (f.Fault) {
    case TPortFault::None: break;
    case TPortFault::NoDevice: return QStringLiteral("No such device");
    case TPortFault::PermissionDenied:
        if (f.Group.isEmpty() || !f.GroupMayUse)
            return QStringLiteral("No access to the port");
        return f.GroupInNextLogin ? QStringLiteral("Log in again (group %1)").arg(f.Group)
                                  : QStringLiteral("No access: join %1").arg(f.Group);
    case TPortFault::InUse:
        return f.HolderCommand.isEmpty() ? QStringLiteral("Port in use")
                                         : QStringLiteral("In use by %1").arg(f.HolderCommand);
    case TPortFault::Gone: return QStringLiteral("Adapter unplugged");
    case TPortFault::Other: return QStringLiteral("Port error");
    }
    switch (A_Przyczyna.Kod) {
    case ST_NO_REPLY: return QStringLiteral("No reply");
    case ST_CRC_ERROR: return QStringLiteral("Garbled reply");
    case CS_WRONG_ECHO: return QStringLiteral("Wrong reply");
    default: return Get_Cause_Str(A_Przyczyna);
    }
}

} // namespace

void TForm_Main::PokazPrzyczyne()
{
    const TRH_Parametry_Biezace &D = Odczyty_Biezace;
    if (D.Status_Transmisji == ST_OK || D.Status_Transmisji == kRecordPending) {
        PokazStanZapisu();
        return;
    }
    const QString words = panelWords(D.Przyczyna);
    QString full = PortFailureAdvice(D.Przyczyna.Port);
    if (full.isEmpty())
        full = Get_Cause_Str(D.Przyczyna);
    // The status the program has always shown for it, beside the words.
    const QString status =
        QStringLiteral("Status %1: %2").arg(D.Status_Transmisji).arg(Get_Trans_Error_Str(D.Status_Transmisji).trimmed());
    StatusPanel1->setToolTip(full.isEmpty() ? status : full + QStringLiteral("\n") + status);
    const int room = StatusPanel1->contentsRect().width() - 2 * StatusPanel1->margin() - StatusPanel1->indent();
    StatusPanel1->setText(room > 0 ? StatusPanel1->fontMetrics().elidedText(words, Qt::ElideRight, room) : words);
}

bool TForm_Main::event(QEvent *event)
{
    if (event->type() == WM_TRANS_DONE) {
        After_Read_measure(*static_cast<TTransDoneEvent *>(event));
        return true;
    }
    return QWidget::event(event);
}

// --- Buttons ----------------------------------------------------------------

bool TForm_Main::TransakcjaNaLinii() const
{
    if (ThreadsRunning != 0)
        return true;
    for (int com = 1; com <= kComPortCount; ++com) {
        if (TTHR_Trans_RH::Running(com) != 0)
            return true;
    }
    return false;
}

void TForm_Main::CzekajNaKoniecTransakcji()
{
    const int64_t end = TickMS() + kNajdluzszaTransakcjaMs;
    while (TransakcjaNaLinii() && TickMS() < end)
        WaitMS(kCzekanieKrokMs);
}

void TForm_Main::SB_SerwisClick()
{
    // The pauses below let events through; a second click meanwhile must not
    // open a second service window.
    if (m_serwisTrwa)
        return;
    m_serwisTrwa = true;
    const bool byl = RxS_trans->On();
    RxS_trans->SetOn(false);
    Timer1->stop();
    WaitMS(kSerwisPauseMs);
    // The service window's first exchange must not meet a measurement still
    // on the line.
    CzekajNaKoniecTransakcji();
    {
        TForm_Kalibracja serwis(m_ports.table());
        serwis.exec();
    }
    WaitMS(kSerwisPauseMs);
    RxS_trans->SetOn(byl);
    UpdateStatusBar();
    m_serwisTrwa = false;
    if (m_konczyc)
        close();
}

void TForm_Main::SB_UstawClick()
{
    if (!Form_Ustaw)
        return;
    if (Form_Ustaw->exec() == QDialog::Accepted && !m_konczyc)
        Ustaw_Komunikacje();
}

void TForm_Main::sb_koniecClick()
{
    close();
}

void TForm_Main::ZakonczNaZadanie()
{
    if (m_konczyc)
        return;
    m_konczyc = true;
    // The windows above this one close first, each as its own Cancel would
    // (the service window waits for its transaction); the service button's
    // flow then comes back here and closes this one.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *widget : windows) {
        if (auto *dialog = qobject_cast<QDialog *>(widget); dialog && dialog->isVisible())
            dialog->reject();
    }
    QTimer::singleShot(0, this, [this] {
        if (!m_serwisTrwa)
            close();
    });
}

// --- Reading display ----------------------------------------------------------

void TForm_Main::Led_Znak(TCharLed *A_Led, uint8_t B)
{
    A_Led->SetChar(static_cast<TChar>(B));
}

void TForm_Main::Pokaz_Wartosc(int A_Wartosc, TCharLed *A_Dziesiate, TCharLed *A_Jednostki,
                               TCharLed *A_Dziesiatki, TCharLed *A_Kropka)
{
    const int wartosc = std::abs(A_Wartosc);
    uint8_t cyfry[kDigits] = {};
    if (wartosc < kOneDecimalLimit) {
        Int_2_Bufer_single(wartosc, kDigits, cyfry);
        Led_Znak(A_Kropka, chLoPoint);
    } else if (wartosc < kWholeNumberLimit) {
        // 100 and more: the whole number, on the same three digits.
        Int_2_Bufer_single(wartosc / 10, kDigits, cyfry);
        Led_Znak(A_Kropka, chNone);
    } else {
        for (uint8_t &c : cyfry)
            c = kOverflowChar;
        Led_Znak(A_Kropka, chNone);
    }
    Led_Znak(A_Dziesiate, cyfry[0]);
    Led_Znak(A_Jednostki, cyfry[1]);
    Led_Znak(A_Dziesiatki, cyfry[2]);
}

void TForm_Main::Wygas_Ledy()
{
    for (TCharLed *led : {led_t0, led_t1, led_t2, Led_TK, led_w0, led_w1, led_w2, led_wk})
        Led_Znak(led, chNone);
    ch_minus->hide();
}

void TForm_Main::Wyswietl_Ledy()
{
    const TRH_Parametry_Biezace &D = Odczyty_Biezace;
    if (D.Status_Transmisji != ST_OK) {
        Wygas_Ledy();
        return;
    }
    const int T = D.Temperatura;
    const int U = D.Wilgotnosc;

    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    w1->setText(locale.toString(T * kTenth, 'g', kRawDigits));
    w2->setText(locale.toString(U * kTenth, 'g', kRawDigits));

    switch (D.Status & kStatusDoorMask) {
    case kDoorNone:
        PaintBox1->Draw(ImageList1[kObrazPusty]);
        break;
    case kDoorOpen:
        PaintBox1->Draw(ImageList1[kObrazOtwarte]);
        break;
    case kDoorClosed:
        PaintBox1->Draw(ImageList1[kObrazZamkniete]);
        break;
    default:
        break; // no door state given: the last picture stays
    }

    lab_celc->show();
    lab_celc->setText((D.Status & kStatusFahrenheit) ? kDegF : kDegC);
    ch_minus->setVisible(T < 0);
    Pokaz_Wartosc(T, led_t0, led_t1, led_t2, Led_TK);

    if (U > 0) {
        lab_wilg->setVisible(!Panel1->isHidden());
        for (QWidget *widget : {static_cast<QWidget *>(lab_proc), static_cast<QWidget *>(led_w0),
                                static_cast<QWidget *>(led_w1), static_cast<QWidget *>(led_w2),
                                static_cast<QWidget *>(led_wk)})
            widget->show();
        Pokaz_Wartosc(U, led_w0, led_w1, led_w2, led_wk);
    } else {
        for (QWidget *widget : {static_cast<QWidget *>(lab_wilg), static_cast<QWidget *>(lab_proc),
                                static_cast<QWidget *>(led_w0), static_cast<QWidget *>(led_w1),
                                static_cast<QWidget *>(led_w2), static_cast<QWidget *>(led_wk)})
            widget->hide();
    }

    Chart1->AddReading(T * kTenth, U * kTenth, V_ParametryProgramu.ile_probek, m_probkaDoWykresu);
}

void TForm_Main::UstawKolory_LED(bool A_TempAktywna, bool A_WilgAktywna)
{
    const QColor temp = A_TempAktywna ? kRed : kGrey;
    const QColor wilg = A_WilgAktywna ? kLime : kGrey;
    setTextColour(lab_temp, temp);
    setTextColour(lab_celc, temp);
    for (TCharLed *led : {led_t0, led_t1, led_t2, Led_TK})
        led->SetCharColor(temp);
    setTextColour(lab_wilg, wilg);
    setTextColour(lab_proc, wilg);
    for (TCharLed *led : {led_w0, led_w1, led_w2, led_wk})
        led->SetCharColor(wilg);
}

void TForm_Main::Border_On_Off()
{
    const bool wasVisible = isVisible();
    const QList<QWidget *> moved = {led_t2, led_t1, led_t0, Led_TK, led_w2,
                                    led_w1, led_w0, led_wk, lab_celc, lab_proc};
    if (!Panel1->isHidden()) {
        old_left = x();
        old_top = y();
        m_normalFrame = frameGeometry();
        setWindowFlags(kCompactFlags);
        Panel1->hide();
        StatusBar1->hide();
        setFixedSize(kCompactSize);
        lab_temp->hide();
        lab_wilg->hide();
        for (QWidget *widget : moved)
            shiftX(widget, -kCompactShift);
        ch_minus->setGeometry(kRectch_minusCompact);
        ch_minus->SetCharWidth(kMinusCompactBevel);
        ch_minus->SetBorderWidth(kMinusCompactBorder);
        UlozPanel2(QRect(QPoint(0, 0), kCompactSize));
        const QRect screen = this->screen() ? this->screen()->geometry() : QRect();
        move(screen.x() + screen.width() - width(), screen.y());
    } else {
        setWindowFlags(kNormalFlags);
        setFixedSize(kClientSize);
        Panel1->show();
        StatusBar1->show();
        lab_temp->show();
        // The humidity label belongs to a shown humidity reading only.
        lab_wilg->setVisible(!led_w0->isHidden());
        for (QWidget *widget : moved)
            shiftX(widget, kCompactShift);
        ch_minus->setGeometry(kRectch_minus);
        ch_minus->SetCharWidth(TCharLed::kDefaultBarThickness);
        ch_minus->SetBorderWidth(TCharLed::kDefaultBorderWidth);
        UlozPanel2(kRectPanel2);
        move(old_left, old_top);
    }
    if (wasVisible)
        show();
}

// --- Recording, history and export ---------------------------------------------

QString TForm_Main::FolderZapisu() const
{
    return RecordingFolder(m_ustawieniaZapisu, m_pliki.Parametry);
}

void TForm_Main::UruchomZapis()
{
    if (!m_zapis)
        m_zapis = std::make_unique<TZapisOdczytow>(FolderZapisu());
}

void TForm_Main::ZatrzymajZapis()
{
    if (!m_zapis)
        return;
    // What is still queued goes to the disk on the writer's own time: the
    // window does not wait for a slow one.
    std::thread([zapis = std::shared_ptr<TZapisOdczytow>(std::move(m_zapis))]() mutable { zapis.reset(); })
        .detach();
}

void TForm_Main::UstawZapis(bool A_Wlacz)
{
    m_ustawieniaZapisu.Record = A_Wlacz;
    // The file says where the readings go, so a person finds them there.
    if (m_ustawieniaZapisu.Folder.isEmpty())
        m_ustawieniaZapisu.Folder = QString::fromLatin1(kDefaultRecordingFolder);
    if (!SaveRecordingSettings(m_ustawieniaZapisu, m_pliki.Ini))
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("%1 could not be written: the choice holds until the program ends.")
                                 .arg(QDir::toNativeSeparators(m_pliki.Ini)));
    if (A_Wlacz)
        UruchomZapis();
    else
        ZatrzymajZapis();
    PokazPrzyczyne();
}

void TForm_Main::PokazStanZapisu()
{
    const TStanZapisu stan = m_zapis ? m_zapis->Stan() : TStanZapisu();
    if (stan.Dziala) {
        StatusPanel1->clear();
        StatusPanel1->setToolTip(QString());
        return;
    }
    QString tip = QStringLiteral("Readings are not being recorded: %1\n"
                                 "Monitoring goes on; recording resumes by itself when writing works again.")
                      .arg(stan.Blad);
    if (stan.Czekajace > 0)
        tip += QStringLiteral("\n%1 readings are waiting to be written.").arg(stan.Czekajace);
    if (stan.Utracone > 0)
        tip += QStringLiteral("\n%1 readings could not be kept.").arg(stan.Utracone);
    StatusPanel1->setToolTip(tip);
    const QString words = QStringLiteral("Not recording");
    const int room = StatusPanel1->contentsRect().width() - 2 * StatusPanel1->margin() - StatusPanel1->indent();
    StatusPanel1->setText(room > 0 ? StatusPanel1->fontMetrics().elidedText(words, Qt::ElideRight, room) : words);
}

QString TForm_Main::PlikPodwojny(const QString &A_Plik)
{
    const QFileInfo info(A_Plik);
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    const QString base = info.suffix().isEmpty() ? A_Plik : A_Plik.chopped(suffix.size());
    return base + kPrzyrostekPodwojny + suffix;
}

bool TForm_Main::ZapiszWykresPng(const QString &A_Plik, QString *A_Blad)
{
    // The chart as shown now, its size and all: drawn again into each image.
    const QString podwojny = PlikPodwojny(A_Plik);
    for (const auto &[plik, skala] : {std::pair{A_Plik, 1.0}, std::pair{podwojny, kSkalaPodwojna}}) {
        if (!Chart1->savePng(plik, 0, 0, skala)) {
            if (A_Blad)
                *A_Blad = QStringLiteral("%1 could not be written.").arg(plik);
            return false;
        }
    }
    return true;
}

bool TForm_Main::EksportujWykresCsv(const QString &A_Plik, QString *A_Blad)
{
    QByteArray bytes = kNaglowekZapisu;
    for (const TProbka &p : Chart1->Readings())
        bytes += LiniaZapisu(p);
    QSaveFile file(A_Plik);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() || !file.commit()) {
        if (A_Blad)
            *A_Blad = QStringLiteral("%1: %2").arg(A_Plik, file.errorString());
        return false;
    }
    return true;
}

QString TForm_Main::TekstOdczytu() const
{
    if (!m_pokazany)
        return QString();
    const TProbka &p = *m_pokazany;
    QString text = QStringLiteral("%1 %2").arg(QString::number(*p.Temperatura, 'f', 1), p.Jednostka);
    if (p.Wilgotnosc)
        text += QStringLiteral(", %1 %").arg(QString::number(*p.Wilgotnosc, 'f', 1));
    return text + QStringLiteral(" (%1)").arg(p.Czas.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

void TForm_Main::KopiujOdczyt()
{
    const QString text = TekstOdczytu();
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

void TForm_Main::OtworzFolderZapisu()
{
    const QString folder = FolderZapisu();
    // A folder not made yet is made, so there is something to open.
    QDir().mkpath(folder);
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        QMessageBox::information(this, windowTitle(),
                                 QStringLiteral("No file manager could be started. The recordings are in\n%1").arg(folder));
}

QMenu *TForm_Main::MenuKontekstowe()
{
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("MenuKontekstowe"));
    menu->setAttribute(Qt::WA_DeleteOnClose);

    QAction *zapis = menu->addAction(QStringLiteral("Record readings"));
    zapis->setObjectName(QStringLiteral("actRecord"));
    zapis->setCheckable(true);
    zapis->setChecked(ZapisWlaczony());
    connect(zapis, &QAction::toggled, this, &TForm_Main::UstawZapis);
    menu->addSeparator();

    // A file chosen in the save dialog (offered in the recordings folder),
    // written by A_Zapisz; a failure says why.
    const auto zapiszJako = [this](const QString &A_Tytul, const QString &A_Rozszerzenie, const QString &A_Filtr,
                                   bool (TForm_Main::*A_Zapisz)(const QString &, QString *)) {
        const QString name = QStringLiteral("chart-%1.%2")
                                 .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss")),
                                      A_Rozszerzenie);
        const QString plik = QFileDialog::getSaveFileName(this, A_Tytul, QDir(FolderZapisu()).filePath(name), A_Filtr);
        QString blad;
        if (!plik.isEmpty() && !(this->*A_Zapisz)(plik, &blad))
            QMessageBox::warning(this, windowTitle(), blad);
    };

    QAction *png = menu->addAction(QStringLiteral("Save chart as PNG\u2026"));
    png->setObjectName(QStringLiteral("actSavePng"));
    connect(png, &QAction::triggered, this, [zapiszJako] {
        zapiszJako(QStringLiteral("Save chart as PNG"), QStringLiteral("png"), QStringLiteral("PNG images (*.png)"),
                   &TForm_Main::ZapiszWykresPng);
    });

    QAction *csv = menu->addAction(QStringLiteral("Export chart data as CSV\u2026"));
    csv->setObjectName(QStringLiteral("actExportCsv"));
    connect(csv, &QAction::triggered, this, [zapiszJako] {
        zapiszJako(QStringLiteral("Export chart data as CSV"), QStringLiteral("csv"), QStringLiteral("CSV files (*.csv)"),
                   &TForm_Main::EksportujWykresCsv);
    });

    QAction *kopiuj = menu->addAction(QStringLiteral("Copy reading"));
    kopiuj->setObjectName(QStringLiteral("actCopyReading"));
    kopiuj->setEnabled(m_pokazany.has_value());
    connect(kopiuj, &QAction::triggered, this, &TForm_Main::KopiujOdczyt);

    QAction *folder = menu->addAction(QStringLiteral("Open recordings folder"));
    folder->setObjectName(QStringLiteral("actOpenFolder"));
    connect(folder, &QAction::triggered, this, &TForm_Main::OtworzFolderZapisu);
    return menu;
}

void TForm_Main::contextMenuEvent(QContextMenuEvent *event)
{
    QPoint at = event->globalPos();
    if (event->reason() == QContextMenuEvent::Mouse) {
        // The digits and the chart, not the buttons or the status bar.
        if (!Panel2->geometry().contains(event->pos())) {
            event->ignore();
            return;
        }
    } else {
        at = Chart1->mapToGlobal(Chart1->rect().center());
    }
    MenuKontekstowe()->popup(at);
    event->accept();
}

// --- Keys -------------------------------------------------------------------

void TForm_Main::keyReleaseEvent(QKeyEvent *event)
{
    if (event->isAutoRepeat()) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    FormKeyUp(event->key());
}

void TForm_Main::FormKeyUp(int Key)
{
    switch (Key) {
    case Qt::Key_F10:
        for (QWidget *widget : {static_cast<QWidget *>(w1), static_cast<QWidget *>(w2),
                                static_cast<QWidget *>(RxS_trans)})
            widget->setVisible(widget->isHidden());
        break;
    case Qt::Key_F12:
        Border_On_Off();
        break;
    default:
        break;
    }
}

// --- Placement ---------------------------------------------------------------

void TForm_Main::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_placementRestored && !event->spontaneous()) {
        m_placementRestored = true;
        RestorePlacement();
        FormStorage1RestorePlacement();
    }
}

void TForm_Main::FormStorage1RestorePlacement()
{
    UstawParzystosc();
}

void TForm_Main::RestorePlacement()
{
    TMainPlacement p;
    LoadMainPlacement(p, m_pliki.Ini);
    std::array<int, 4> pos{};
    if (ParsePlacementPos(p.NormPos, pos)) {
        // The window keeps its size; a position no screen shows any more (a
        // monitor since removed) leaves it centred.
        const QPoint topLeft(pos[0], pos[1]);
        if (QGuiApplication::screenAt(topLeft + rect().center()))
            move(topLeft);
    }
    Rs485Mode->setChecked(p.Rs485Mode_Checked);
    RtsSleepAfter->setText(p.RtsSleepAfter_Text);
    RtsSleepBefore->setText(p.RtsSleepBefore_Text);
    RtsSwitch->setChecked(p.RtsSwitch_Checked);
    cb_AddBits->setChecked(p.cb_AddBits_Checked);
}

void TForm_Main::SavePlacement()
{
    TMainPlacement p;
    LoadMainPlacement(p, m_pliki.Ini);
    if (p.Flags.isEmpty())
        p.Flags = kPlacementFlags;
    if (p.MinMaxPos.isEmpty())
        p.MinMaxPos = kNoMinMaxPos;
    p.ShowCmd = isMinimized() ? kShowMinimized : kShowNormal;
    // The compact layout is a view of the moment: the file keeps the normal
    // window, or the next start would show the full layout in a compact frame.
    const QRect frame = Panel1->isHidden() ? QRect(QPoint(old_left, old_top), m_normalFrame.size())
                                           : frameGeometry();
    p.NormPos = FormatPlacementPos({frame.left(), frame.top(), frame.left() + frame.width(),
                                    frame.top() + frame.height()});
    p.Rs485Mode_Checked = Rs485Mode->isChecked();
    p.RtsSleepAfter_Text = RtsSleepAfter->text();
    p.RtsSleepBefore_Text = RtsSleepBefore->text();
    p.RtsSwitch_Checked = RtsSwitch->isChecked();
    p.cb_AddBits_Checked = cb_AddBits->isChecked();
    SaveMainPlacement(p, m_pliki.Ini);
}

void TForm_Main::closeEvent(QCloseEvent *event)
{
    // The service flow is still using the window and the line.
    if (m_serwisTrwa || m_zamykanie) {
        event->ignore();
        return;
    }
    m_zamykanie = true;
    SavePlacement();
    Timer1->stop();
    CzekajNaKoniecTransakcji();
    // The last readings reach the disk before the program ends, unless the
    // disk does not take them.
    if (m_zapis)
        m_zapis->CzekajNaZapis(TZapisOdczytow::kZamknijMs);
    m_zamykanie = false;
    event->accept();
}

// ============================================================================
// TSygnalyKonca

namespace {

#if defined(Q_OS_UNIX)
constexpr int kSygnalyKonca[] = {SIGTERM, SIGINT, SIGHUP};
// The handler may only write to a descriptor: the main thread's event loop
// reads the other end and does the rest.
int g_sygnalFd[2] = {-1, -1};
struct sigaction g_poprzednie[std::size(kSygnalyKonca)];

void naSygnal(int A_Sygnal)
{
    const char c = static_cast<char>(A_Sygnal);
    const int saved = errno;
    (void)!::write(g_sygnalFd[0], &c, 1);
    errno = saved;
}
#endif

} // namespace

TSygnalyKonca::TSygnalyKonca(QObject *parent)
    : QObject(parent)
{
#if defined(Q_OS_UNIX)
    if (g_sygnalFd[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_sygnalFd) != 0)
        return;
    m_notifier = new QSocketNotifier(g_sygnalFd[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TSygnalyKonca::Odebrano);
    struct sigaction sa{};
    sa.sa_handler = naSygnal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSygnalyKonca); ++i)
        ::sigaction(kSygnalyKonca[i], &sa, &g_poprzednie[i]);
#endif
}

TSygnalyKonca::~TSygnalyKonca()
{
#if defined(Q_OS_UNIX)
    if (!m_notifier)
        return;
    for (std::size_t i = 0; i < std::size(kSygnalyKonca); ++i)
        ::sigaction(kSygnalyKonca[i], &g_poprzednie[i], nullptr);
    ::close(g_sygnalFd[0]);
    ::close(g_sygnalFd[1]);
    g_sygnalFd[0] = g_sygnalFd[1] = -1;
#endif
}

void TSygnalyKonca::Odebrano()
{
#if defined(Q_OS_UNIX)
    char c[16];
    (void)!::read(g_sygnalFd[1], c, sizeof c);
#endif
    if (Form_Main)
        Form_Main->ZakonczNaZadanie();
}
