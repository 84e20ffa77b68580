// The settings window: port, speed, parity and address of the transmitter,
// access through an FWDL unit, and the chart's ranges and sample count.
#pragma once

#include "dane.h"
#include "dn_adaptery.h"

#include <QDialog>
#include <QMap>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QShowEvent;
class QTabWidget;
class TIntegerEdit;

class TForm_Ustaw : public QDialog
{
    Q_OBJECT

public:
    // A_PlikParametrow: where "Write" saves the program parameters; the COM
    // map is the fen_mon.ini of the working directory.
    explicit TForm_Ustaw(const QString &A_PlikParametrow = QString::fromLatin1(kParamFileName),
                         QWidget *parent = nullptr);
    // A_Pliki: the parameter file and the INI file whose [ports] section
    // maps the COM numbers.
    explicit TForm_Ustaw(const TPlikiProgramu &A_Pliki, QWidget *parent = nullptr);

    // Item data of co_port: the device the COM number is mapped to, which
    // the list's popup shows beside the number.
    static constexpr int kDeviceRole = Qt::UserRole + 2;

    // Controls from V_ParametryProgramu. Every control is filled, whatever
    // the record holds: a value out of an edit's bounds is shown (and caught
    // when the edit is left or the window stored), a value a list has no
    // entry for gets an entry of its own for as long as it is shown.
    void UstawDaneFormy();
    // The parameter defaults into V_ParametryProgramu, in memory only.
    void UstawDomyslne();

    // "Write": checks every field first, then stores them all and saves the
    // parameters file; closes with the OK result. An invalid field is named,
    // gets the focus, and leaves the parameters and the file as they were.
    void Bit_UstawClick();
    // Defaults in memory, shown, then closed with the cancel result.
    void Bit_DomyslneClick();
    void ie_adresInvalid(QObject *Sender, bool &CanLeave);
    void cb_FwdlTranspClick();
    // co_adapter for the COM number co_port shows: its device now, and the
    // serial adapters present to choose from.
    void co_portChange();
    // The user chose an entry of co_adapter: "Write" maps the COM number to it.
    void co_adapterClick(int A_Index);

    // The window's controls, under the names the rest of the program and the
    // tests know them by.
    QTabWidget *PageControl = nullptr;
    QWidget *TabSheet1 = nullptr;
    QWidget *TabSheet2 = nullptr;

    QLabel *L_port = nullptr;
    QComboBox *co_port = nullptr;
    QLabel *L_adapter = nullptr;
    QComboBox *co_adapter = nullptr; // item data: the name to map the COM number to
    QLabel *L_predkosc = nullptr;
    QComboBox *co_predkosc = nullptr;
    QLabel *L_parzystosc = nullptr;
    QComboBox *co_parzystosc = nullptr;
    QLabel *L_adres = nullptr;
    TIntegerEdit *ie_adres = nullptr;
    QCheckBox *cb_FwdlTransp = nullptr;
    QLabel *L_transparent = nullptr;
    QWidget *PanelFwdl = nullptr;
    QLabel *L_parFwdl = nullptr;
    QLabel *L_fwdl_predk = nullptr;
    QComboBox *co_fwdlpredk = nullptr;
    QLabel *L_adrFwdl = nullptr;
    TIntegerEdit *ie_fwdladres = nullptr;

    QLabel *L_temp = nullptr;
    QLabel *L_Wilg = nullptr;
    QLabel *L_tod = nullptr;
    QLabel *L_wdo = nullptr;
    QLabel *L_ile = nullptr;
    TIntegerEdit *ie_temp_od = nullptr;
    TIntegerEdit *ie_temp_do = nullptr;
    TIntegerEdit *ie_wilg_od = nullptr;
    TIntegerEdit *ie_wilg_do = nullptr;
    TIntegerEdit *ie_probek = nullptr;

    QPushButton *Bit_Ustaw = nullptr;
    QPushButton *Bit_Anuluj = nullptr;
    QPushButton *Bit_Domyslne = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    const QString m_plikParametrow;
    const QString m_plikIni;
    // The adapters present when the window was last filled, and the
    // adapters chosen since for COM numbers (by number, the name to map).
    TAdapterList m_adaptery;
    QMap<int, QString> m_wybrane;

    void FormCreate();
    void DostosujJezyk();
    void createControls();
    // False (after telling the user which field and moving the focus there)
    // when an edit holds no value it can store.
    bool checkEdit(TIntegerEdit *A_Edit, const QString &A_Name, qint32 &A_Value);
    void warning(const QString &A_Text);
    // The device each COM number reaches now, shown beside it.
    void opiszPorty();
    // Writes the adapters chosen into [ports]; false if one could not be.
    bool zapiszWybraneAdaptery();
};

// The one settings window, created by the main window at start.
extern TForm_Ustaw *Form_Ustaw;
