// What the service window decides, without a widget: what to ask the device
// next, when an FWTH-01's service mode is due again, and what a completed
// read or write changes. The window drives it from its 450 ms timer and shows
// the outcome; rh_poll's service commands drive the same decisions from the
// command line, so the two cannot drift apart.
#pragma once

#include "dn_thr_trans_rh.h"
#include "dn_urzadzenia.h"

#include <optional>

// Communication settings the monitor is to follow: what SetTransmitParams
// takes besides the port.
struct TZmianaKomunikacji
{
    int Predkosc = 0;
    int Adres = 0;
    int Parzystosc = PC_NONE;
};

class TSerwis
{
public:
    // What a step asks for.
    enum class TKrok {
        Nic,           // nothing to do on the line
        Zamknij,       // the work is done: the window closes
        CzytajId,      // identify the device at the service address
        TrybSerwisowy, // (re)open the FWTH-01's service mode
        PiszFwadc,     // write the module's set-up the user asked for
        CzytajFwadc,   // read the module's set-up (again)
        CzytajTrans,   // read the transmitter's settings
        PiszTrans,     // write the transmitter's settings the user asked for
    };

    // An FWTH-01 leaves its service mode unless told again; five counted
    // steps between entries repeat the command about every 2.7 s.
    static constexpr int kServiceModeSteps = 5;

    // One step's decision. Every step after the identification counts the
    // service mode down, whether or not a transaction can start on it.
    TKrok Krok();

    // --- Completions (each with the transaction's result record) ----------

    // True when the identity is to be shown now: an FWTH-01 waits for its
    // service mode, a type without a page keeps the search display.
    bool PoCzytaniuId(const TPWT_ID_Informacja &A_Id);
    // True when the service mode is open (the identity is shown then);
    // false when the search starts again.
    bool PoTrybieSerwisowym(const TPWT_ID_Informacja &A_Id);
    // The settings the monitor follows after a read, if it succeeded. A
    // transmitter that reports no speed speaks the service speed.
    std::optional<TZmianaKomunikacji> PoCzytaniuTrans(const TPWTTrans &A_Trans);
    // The settings the monitor follows after a write, if the write
    // succeeded for a device that takes them; the window closes then.
    std::optional<TZmianaKomunikacji> PoZapisieTrans(const TPWTTrans &A_Trans);
    // False when the module did not answer: the search starts again.
    bool PoCzytaniuFwadc(const TFwadc_Informacja &A_Fwadc);
    // The settings the monitor follows after a module write, if it
    // succeeded; the next step closes then.
    std::optional<TZmianaKomunikacji> PoZapisieFwadc(const TFwadc_Informacja &A_Fwadc);

    // A write the user asked for; it goes out on a following step, with the
    // values the caller puts into KalibTrans or FwadcInfo by then.
    void ZadajZapisuTrans() { WyslijTrans = true; }
    void ZadajZapisuFwadc() { WyslijFwadc = true; }
    void PorzucZapisTrans() { WyslijTrans = false; }
    void PorzucZapisFwadc() { WyslijFwadc = false; }

    // The line settings a module is left with when the window closes: the
    // service speed without parity, at its own address and with its unit.
    static TPWTTrans UstawieniaModuluNaWyjscie(int A_Adres, int A_Jednostka);

    // Back to the search, as at the window's first show.
    void Reset();

    bool Identyfikacja() const { return OdebranoID; }
    bool WymagaTrybu() const { return OdebranoID && WymagaTrybuSerwisowego(IdInfo.ID.Dev_Type, IdInfo.ID.Dev_Type_Details); }

    // The records of the workflow, as the last completion left them.
    TPWT_ID_Informacja IdInfo;
    TPWTTrans KalibTrans;
    TFwadc_Informacja FwadcInfo;

    bool OdebranoID = false;
    bool OdebranoTrans = false;
    bool WyslijTrans = false;
    bool WyslijFwadc = false;
    bool MyCloseWindow = false;
    int InServiceModeCount = 0;
};
