// The service window: finds the one device on the line at the service
// address and speed, identifies it, keeps an FWTH-01 in its service mode and
// offers the page that fits the device: the transmitter's line settings and
// unit, or the channel set-up of the FWADC-01 module.
//
// One timer drives everything the window does on the line; each tick starts
// at most one transaction, and each transaction's end moves the window on.
#pragma once

#include "dn_serwis.h"
#include "dn_thr_trans_rh.h"
#include "dn_tools.h"

#include <QtCore/QStringList>
#include <QtWidgets/QDialog>
#include <QtWidgets/QWidget>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTimer;
class TIntegerEdit;

// The "searching" animation beside the search text: a magnifier circling
// over a sheet, drawn at run time, 16 by 16 pixels.
class TSearchAnimation : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kFrameCount = 8;

    explicit TSearchAnimation(QWidget *parent = nullptr);

    // Shows and plays the animation, or stops and hides it.
    void SetActive(bool A_Active);
    bool IsPlaying() const;
    int CurrentFrame() const { return m_frame; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QTimer *m_timer;
    int m_frame = 0;
};

class TForm_Kalibracja : public QDialog
{
    Q_OBJECT

public:
    // A_Porty: the serial ports of the program, owned by the main window.
    explicit TForm_Kalibracja(const TComPortTable &A_Porty, QWidget *parent = nullptr);
    ~TForm_Kalibracja() override;

    // --- Controls ---------------------------------------------------------
    QStackedWidget *PageControl1;
    QWidget *Tab_Start;
    QWidget *TabSheet2;
    QWidget *Tab_Fwadc;

    // Search page.
    QLabel *L_szukanie;
    TSearchAnimation *Animate1;
    QLabel *L_Uwaga1;
    QLabel *L_uwaga2;
    QLabel *L_uwaga3;

    // Identification strip.
    QFrame *Panel1;
    QLabel *L_typ;
    QLabel *L_typ_urzadzenia;
    QLabel *L_soft;
    QLabel *L_wersja;
    QLabel *L_numer;
    QFrame *Bevel6;
    QLabel *L_nr_seryjny;
    QLabel *L_data;
    QFrame *Bevel3;
    QLabel *L_data_prod;

    QPushButton *Bit_Zamknij;
    QTimer *Timer_Service_Mode;

    // Transmitter page.
    QLabel *L_ustaw;
    QLabel *L_nowa;
    QLabel *L_aktualnie;
    QLabel *L_predkosc;
    QLabel *L_parzystosc;
    QLabel *L_adres;
    QLabel *L_Jednostka;
    QComboBox *co_predkosc;
    QComboBox *co_parzystosc;
    TIntegerEdit *ie_adres;
    QComboBox *co_Jednostka;
    QLineEdit *ed_CurrPredkosc;
    QLineEdit *ed_CurrParzystosc;
    QLineEdit *ed_CurrAdres;
    QLineEdit *ed_CurrJednostka;
    QPushButton *Bit_KalibWilg;

    // ADC module page.
    QLabel *L_UstawFwadc;
    QLabel *L_FwadcNowa;
    QLabel *L_FwadcAktualnie;
    QLabel *L_Kanal1;
    QLabel *L_Kanal2;
    QLabel *L_FwadcAdres;
    QLabel *L_FwadcJednostka;
    QComboBox *co_Kanal1;
    QComboBox *co_Kanal2;
    TIntegerEdit *ie_FwadcAdres;
    QComboBox *co_FwadcJednostka;
    QLineEdit *ed_FwadcKanal1;
    QLineEdit *ed_FwadcKanal2;
    QLineEdit *ed_FwadcCurrAdres;
    QLineEdit *ed_FwadcCurrJednostka;
    QFrame *PanelRange1;
    QLabel *L_Range1;
    QLineEdit *ed_Range11;
    QLineEdit *ed_Range12;
    QLineEdit *ed_FwadcRange11;
    QLineEdit *ed_FwadcRange12;
    QFrame *PanelRange2;
    QLabel *L_Range2;
    QLineEdit *ed_Range21;
    QLineEdit *ed_Range22;
    QLineEdit *ed_FwadcRange21;
    QLineEdit *ed_FwadcRange22;
    QPushButton *Bit_Fwadc;

    // --- Workflow -----------------------------------------------------------
    void Timer_Service_ModeTimer();
    void InitReceiveID();
    void InitEnterServiceMode();
    void Pisz_Informacje_Z_ID();
    void TrwaSzukanie(bool A_ACtive);
    void AktywujStrone();
    bool IsNewFWTH() const;
    void Cls_Okno();
    void Bit_ZamknijClick();
    void DostosujJezyk();

    // --- Transmitter page ---------------------------------------------------
    void InitReceiveTrans();
    void InitSendTrans(int A_Predkosc, int A_Parzystosc, int A_Adres, int A_Jednostka);
    void Bit_KalibWilgClick();
    bool GetTransData();
    void Zmiana_Parametrow_Lock(bool A_Lock);

    // --- ADC module page ------------------------------------------------------
    void InitReceiveFwadc();
    void InitSendFwadc();
    void Bit_FwadcClick();
    void BlokujFwadc(bool A_Blokada);
    void co_Kanal1Change();
    void co_Kanal2Change();

    // --- State, for the callers and the tests --------------------------------
    int TxThreadsRunning() const { return TX_ThreadsRunning; }
    int InfoHandle() const { return MyHandle; }
    bool IsIdReceived() const { return OdebranoID; }
    bool IsTransReceived() const { return OdebranoTrans; }
    bool IsTransWriteRequested() const { return WyslijTrans; }
    bool IsFwadcWriteRequested() const { return WyslijFwadc; }
    int ServiceModeCountdown() const { return InServiceModeCount; }
    const TPWT_ID_Informacja &IdRecord() const { return IdInfo; }
    const TPWTTrans &TransRecord() const { return KalibTrans; }
    const TFwadc_Informacja &FwadcRecord() const { return FwadcInfo; }

    // Closing runs the close query (waiting for a transaction still on the
    // line, closing the note) whatever closes the window: the close button,
    // Esc, the title bar or the window itself after a write.
    void done(int r) override;

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    // The completion handlers, with their transaction's result; they run on
    // the main thread, after their transaction has ended, and only while the
    // window exists.
    void TX_ThreadDoneReceiveID(const TPWT_ID_Informacja &A_Wynik);
    void TX_ThreadDoneEnterServiceMode(const TPWT_ID_Informacja &A_Wynik);
    void TX_ThreadDoneReceiveTrans(const TPWTTrans &A_Wynik);
    void TX_ThreadDoneSendTrans(const TPWTTrans &A_Wynik);
    void TX_ThreadDoneReceiveFwadc(const TFwadc_Informacja &A_Wynik);
    void TX_ThreadDoneSendFwadc(const TFwadc_Informacja &A_Wynik);

    void FormCreate();
    void FormShow();
    void FormCloseQuery();
    void FormClose();

    void BuildStartPage();
    void BuildStrip();
    void BuildTransPage();
    void BuildFwadcPage();

    // Whether a transaction may start now: none in flight and the window not
    // on its way out.
    bool CanStart() const;
    template<class TThread, class TRecord>
    void StartTransaction(const TRecord &A_Record, void (TForm_Kalibracja::*A_Done)(const TRecord &));
    // The monitor follows the device: the main window's next measurement
    // goes out with these settings.
    void PrzyjmijKomunikacje(const TZmianaKomunikacji &A_Zmiana);

    // What is wrong with an entry of a page: the text for the user and the
    // control that gets the focus.
    struct TBlad
    {
        QString Tekst;
        QWidget *Kontrolka = nullptr;
    };
    // Checks the new values of the transmitter page; A_Adres gets the address.
    bool SprawdzTrans(TBlad &A_Blad, int &A_Adres);
    // The new values of the module page into A_Dane; false when an entry
    // does not convert, with A_Blad naming it. A_Dane is left partly filled
    // then, so callers hand in a copy.
    bool KonwertujFwadc(TFwadc_Informacja &A_Dane, TBlad &A_Blad);
    void PokazOstrzezenie(const TBlad &A_Blad);
    void PokazZakres(QComboBox *A_Kanal, QFrame *A_Panel);
    QString NazwaKanalu(int A_Typ) const;

    const TComPortTable m_porty;

    // The workflow's decisions and records; the window only shows them and
    // hands them the user's clicks. A transaction never works on these
    // records themselves: it gets a copy of its own, kept alive as long as the
    // transaction lives, and its completion hands the result over. So a
    // transaction still running when the window goes writes into memory that
    // is still there, and the window never reads a record a thread is writing.
    TSerwis m_serwis;
    bool &OdebranoID = m_serwis.OdebranoID;
    bool &OdebranoTrans = m_serwis.OdebranoTrans;
    bool &WyslijTrans = m_serwis.WyslijTrans;
    bool &WyslijFwadc = m_serwis.WyslijFwadc;
    bool &MyCloseWindow = m_serwis.MyCloseWindow;
    int &InServiceModeCount = m_serwis.InServiceModeCount;
    TPWT_ID_Informacja &IdInfo = m_serwis.IdInfo;
    TFwadc_Informacja &FwadcInfo = m_serwis.FwadcInfo;
    TPWTTrans &KalibTrans = m_serwis.KalibTrans;

    int MyHandle = 0;
    int TX_ThreadsRunning = 0;

    bool m_closing = false;
    bool m_shown = false;
    QStringList m_kanalItems;
    TWindowHandle m_windowHandle;
};
