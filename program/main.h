// The main window: polls the transmitter once a second, shows temperature
// and humidity on seven-segment digits and draws both on a trend chart.
#pragma once

#include "CharLed.h"
#include "dane.h"
#include "dn_comport.h"
#include "dn_thr_trans_rh.h"
#include "dn_tools.h"
#include "zapis.h"

#include <qcustomplot.h>

#include <QtCore/QPointer>
#include <QtGui/QPixmap>
#include <QtWidgets/QWidget>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QStatusBar;
class QTimer;
class QToolButton;

// The current readings: inputs set before each measurement, results written
// back by the measurement thread, read by the display after its completion.
extern TRH_Parametry_Biezace Odczyty_Biezace;

// ---------------------------------------------------------------------------
// Trend chart

// Two step lines over wall-clock time: temperature on the left axis,
// humidity on the right one, each against a fixed range. Usable on its own,
// so the cost of adding a point can be measured without the window.
class TTrendChart : public QCustomPlot
{
    Q_OBJECT

public:
    // Values the axes show until the parameters set them.
    static constexpr double kDesignTempOd = -10;
    static constexpr double kDesignTempDo = 50;
    static constexpr double kDesignWilgOd = 0;
    static constexpr double kDesignWilgDo = 100;

    explicit TTrendChart(QWidget *parent = nullptr);

    // Fixes both vertical ranges. A range the chart cannot take (inverted,
    // or with equal ends) leaves that axis as it was; false then.
    bool SetRanges(double A_TempOd, double A_TempDo, double A_WilgOd, double A_WilgDo);

    // Two recorded readings further apart than this had the program not
    // running (or not polling) between them.
    static constexpr double kPrzerwaS = 5.0;
    // How long a recorded reading holds its value before a break: the poll
    // period.
    static constexpr double kOkresS = 1.0;

    // One reading at the current time, or at A_Probka's time when it comes
    // with the reading it shows (kept for the export). Once a series holds
    // more than A_IleProbek points, the oldest point of each series goes
    // first: one out per one in, so a series settles at A_IleProbek + 1
    // points.
    void AddReading(double A_Temperatura, double A_Wilgotnosc, int A_IleProbek,
                    const std::optional<TProbka> &A_Probka = std::nullopt);
    // The same at a given time (seconds since the epoch, ascending).
    void AddReadingAt(double A_Time, double A_Temperatura, double A_Wilgotnosc, int A_IleProbek,
                      const std::optional<TProbka> &A_Probka = std::nullopt);
    // Replaces both series with recorded readings, oldest first: at most
    // A_IleProbek + 1 points, the newest ones. A failed reading, a pause
    // longer than kPrzerwaS and the end of the history (the program was
    // not running until now) break the lines instead of holding the last
    // value across the gap.
    void SetHistory(const std::vector<TProbka> &A_Historia, int A_IleProbek);
    // The readings behind the points on the chart, oldest first (the
    // breaks and the zero of a monitor switched off are no readings).
    std::vector<TProbka> Readings() const;

    QCPGraph *Series1() const { return m_series1; }
    QCPGraph *Series2() const { return m_series2; }

private:
    void FollowTime();
    void AddPoint(double A_Time, double A_Temperatura, double A_Wilgotnosc, const std::optional<TProbka> &A_Probka);

    QSharedPointer<QCPAxisTickerDateTime> m_ticker;
    QCPGraph *m_series1;
    QCPGraph *m_series2;
    // One entry per point of the series, in the same order.
    std::deque<std::optional<TProbka>> m_probki;
};

// ---------------------------------------------------------------------------
// Small controls of the window

// A two-state switch drawn with one picture per state. A left mouse press or
// the space key flips it; every change of state, and only a change, raises
// switchedOn or switchedOff.
class TPictureSwitch : public QWidget
{
    Q_OBJECT

public:
    explicit TPictureSwitch(QWidget *parent = nullptr);

    bool On() const { return m_on; }
    void SetOn(bool A_On);
    void SetPictures(const QPixmap &A_On, const QPixmap &A_Off);

signals:
    void switchedOn();
    void switchedOff();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    bool m_on = true;
    QPixmap m_pictureOn;
    QPixmap m_pictureOff;
};

// A receive light: lit while bytes arrive on the watched port. It compares
// the port's received count between its ticks and stays lit a few ticks
// after the last byte, so a short reply still shows.
class TStatusLight : public QWidget
{
    Q_OBJECT

public:
    explicit TStatusLight(QWidget *parent = nullptr);

    void SetPort(const TApdComPort *A_Port);
    // While off, the light shows what already arrived and then goes dark.
    void SetMonitoring(bool A_On);
    bool Monitoring() const { return m_monitoring; }
    bool Lit() const { return m_lit; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void Tick();
    void SetLit(bool A_Lit);

    const TApdComPort *m_port = nullptr;
    QTimer *m_timer;
    uint64_t m_lastCount = 0;
    int m_offTicks = 0;
    bool m_monitoring = false;
    bool m_lit = false;
};

// A box showing one picture of a picture list over its parent's background.
class TPaintBox : public QWidget
{
    Q_OBJECT

public:
    explicit TPaintBox(QWidget *parent = nullptr);

    void Draw(const QPixmap &A_Picture);
    const QPixmap &Picture() const { return m_picture; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPixmap m_picture;
};

// ---------------------------------------------------------------------------
// The main window

class TForm_Main : public QWidget
{
    Q_OBJECT

public:
    // Pictures of ImageList1, by the door state they show.
    enum TObrazek { kObrazPusty = 0, kObrazZamkSzary, kObrazOtwSzary, kObrazZamkniete, kObrazOtwarte };
    static constexpr int kObrazkow = 5;

    // Reads the parameters and the port map from the working directory.
    // A_Pliki: where the parameters and the INI file (placement, COM map) are.
    explicit TForm_Main(const TPlikiProgramu &A_Pliki = {}, QWidget *parent = nullptr);
    ~TForm_Main() override;

    void Ustaw_Komunikacje();
    void UpdateStatusBar();
    void UstawParzystosc();

    void Timer1Timer();
    void StartMonitor();
    void StopMonitor();
    void RxS_transOn();
    void RxS_transOff();
    void ThreadDone(TTHR_Trans_RH *Sender);
    void After_Read_measure(const TTransDoneEvent &Message);

    void SB_SerwisClick();
    void SB_UstawClick();
    void sb_koniecClick();

    void Led_Znak(TCharLed *A_Led, uint8_t B);
    void Wyswietl_Ledy();
    void UstawKolory_LED(bool A_TempAktywna, bool A_WilgAktywna);
    void Border_On_Off();

    // Ends the program as closing the window does (placement written,
    // transactions waited for, ports released), whatever window is open
    // above it: for a request from outside, a signal.
    void ZakonczNaZadanie();
    bool Konczy() const { return m_konczyc; }

    // --- Recording, history and export -------------------------------------
    // Recording on or off, kept in [recording] of the INI file. Turning it
    // on starts with the next reading; the history is read at start only.
    void UstawZapis(bool A_Wlacz);
    bool ZapisWlaczony() const { return m_zapis != nullptr; }
    TZapisOdczytow *Zapis() const { return m_zapis.get(); }
    QString FolderZapisu() const;
    // The chart as shown, at the screen's resolution into A_Plik and at
    // twice that beside it ("chart.png" and "chart@2x.png").
    bool ZapiszWykresPng(const QString &A_Plik, QString *A_Blad = nullptr);
    static QString PlikPodwojny(const QString &A_Plik);
    // The readings on the chart, in the recording's columns.
    bool EksportujWykresCsv(const QString &A_Plik, QString *A_Blad = nullptr);
    // The reading shown, as text; empty while none is shown.
    QString TekstOdczytu() const;
    void KopiujOdczyt();
    void OtworzFolderZapisu();
    // The window's context menu (right mouse button on the digits or the
    // chart, or the Menu key); made anew each time.
    QMenu *MenuKontekstowe();
    // Where the time of a reading comes from; the local time unless a test
    // sets another clock.
    void UstawZegar(std::function<QDateTime()> A_Zegar) { m_zegar = std::move(A_Zegar); }

    // The port objects of the program, COM1 to COM8.
    TApdComPorts &Porty() { return m_ports; }
    // Whether the service button's flow (pauses and service window) runs.
    bool SerwisTrwa() const { return m_serwisTrwa; }

    // Transactions started and not yet ended; 0 or 1.
    int ThreadsRunning = 0;
    // Window position kept while the compact layout is shown.
    int old_left = 0;
    int old_top = 0;

    // --- Controls, by the names the program and the tests know them by ------
    QFrame *Panel1;
    QToolButton *SB_Serwis;
    QToolButton *SB_Ustaw;
    QToolButton *sb_koniec;
    TPictureSwitch *RxS_trans;
    QLineEdit *RtsSleepBefore;
    QLineEdit *RtsSleepAfter;
    QCheckBox *RtsSwitch;
    QCheckBox *Rs485Mode;
    QCheckBox *cb_AddBits;

    QFrame *Panel2;
    QLabel *w1;
    QLabel *w2;
    TStatusLight *ApdStatusLight2;
    QCheckBox *cb_drzwi;
    QLabel *lab_temp;
    TCharLed *ch_minus;
    TCharLed *led_t2;
    TCharLed *led_t1;
    TCharLed *Led_TK;
    TCharLed *led_t0;
    QLabel *lab_celc;
    TPaintBox *PaintBox1;
    QLabel *lab_wilg;
    TCharLed *led_w2;
    TCharLed *led_w1;
    TCharLed *led_wk;
    TCharLed *led_w0;
    QLabel *lab_proc;
    TTrendChart *Chart1;

    QStatusBar *StatusBar1;
    QLabel *StatusPanel0;
    QLabel *StatusPanel1;

    QTimer *Timer1;
    std::array<QPixmap, kObrazkow> ImageList1;

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void FormCreate();
    void DostosujJezyk();
    void CreateControls();
    void UlozPanel2(const QRect &A_Rect);
    void FormKeyUp(int Key);
    void FormStorage1RestorePlacement();
    void RestorePlacement();
    void SavePlacement();
    // Magnitude in tenths on three digits and the decimal point.
    void Pokaz_Wartosc(int A_Wartosc, TCharLed *A_Dziesiate, TCharLed *A_Jednostki,
                       TCharLed *A_Dziesiatki, TCharLed *A_Kropka);
    void Wygas_Ledy();
    // Why the last reading failed, in the free status panel and its tooltip;
    // nothing after a good one.
    void PokazPrzyczyne();
    TProbka ProbkaOdczytu();
    void PokazStanZapisu();
    void UruchomZapis();
    void ZatrzymajZapis();
    bool TransakcjaNaLinii() const;
    void CzekajNaKoniecTransakcji();

    // Declared first: the ports outlive every member that uses them.
    const TPlikiProgramu m_pliki;
    TApdComPorts m_ports;
    TWindowHandle m_handle;
    QPointer<TTHR_Trans_RH> m_thread;
    QRect m_normalFrame;
    bool m_placementRestored = false;
    bool m_serwisTrwa = false;
    bool m_zamykanie = false;
    bool m_konczyc = false;

    TUstawieniaZapisu m_ustawieniaZapisu;
    std::unique_ptr<TZapisOdczytow> m_zapis;
    std::function<QDateTime()> m_zegar;
    // The reading on its way to the chart, while the display draws it.
    std::optional<TProbka> m_probkaDoWykresu;
    // The reading the digits show; none while they are blank or off.
    std::optional<TProbka> m_pokazany;
};

// The main window of the program; set by the program entry.
extern TForm_Main *Form_Main;

// SIGTERM (logout, shutdown, "kill"), SIGINT (Ctrl+C in the terminal it was
// started from) and SIGHUP (that terminal closed) end the program through
// Form_Main's ZakonczNaZadanie, on the main thread, instead of killing it
// with its lock files left and its placement lost. Made before the main
// window, so that a signal during its start waits for the event loop
// rather than killing it half made. One at a time; the previous handlers
// come back when it goes.
class TSygnalyKonca : public QObject
{
    Q_OBJECT

public:
    explicit TSygnalyKonca(QObject *parent = nullptr);
    ~TSygnalyKonca() override;

private:
    void Odebrano();

    class QSocketNotifier *m_notifier = nullptr;
};
