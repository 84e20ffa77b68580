#include "dn_serwis.h"

namespace {

TZmianaKomunikacji zmiana(const TPWTTrans &t)
{
    return {t.predkosc, t.adres, t.parzystosc};
}

} // namespace

TSerwis::TKrok TSerwis::Krok()
{
    if (MyCloseWindow)
        return TKrok::Zamknij;
    if (!OdebranoID)
        return TKrok::CzytajId;
    if (InServiceModeCount < 1 && WymagaTrybu())
        return TKrok::TrybSerwisowy;
    --InServiceModeCount;
    if (WyslijFwadc)
        return TKrok::PiszFwadc;
    if (!OdebranoTrans)
        return JestModulemAdc(IdInfo.ID.Dev_Type) ? TKrok::CzytajFwadc : TKrok::CzytajTrans;
    if (WyslijTrans)
        return TKrok::PiszTrans;
    return TKrok::Nic;
}

bool TSerwis::PoCzytaniuId(const TPWT_ID_Informacja &A_Id)
{
    IdInfo = A_Id;
    if (A_Id.Status_Transmisji != ST_OK)
        return false; // the next step asks again
    OdebranoID = true;
    return PokazujeIdentyfikacje(A_Id.ID.Dev_Type, A_Id.ID.Dev_Type_Details);
}

bool TSerwis::PoTrybieSerwisowym(const TPWT_ID_Informacja &A_Id)
{
    IdInfo = A_Id;
    if (A_Id.Status_Transmisji != ST_OK) {
        Reset();
        return false;
    }
    InServiceModeCount = kServiceModeSteps;
    return true;
}

std::optional<TZmianaKomunikacji> TSerwis::PoCzytaniuTrans(const TPWTTrans &A_Trans)
{
    KalibTrans = A_Trans;
    if (A_Trans.Status_Transmisji != ST_OK)
        return std::nullopt; // read again on the next step
    OdebranoTrans = true;
    if (KalibTrans.predkosc == 0)
        KalibTrans.predkosc = kPredkoscSerwis;
    return zmiana(KalibTrans);
}

std::optional<TZmianaKomunikacji> TSerwis::PoZapisieTrans(const TPWTTrans &A_Trans)
{
    KalibTrans = A_Trans;
    WyslijTrans = false;
    if (A_Trans.Status_Transmisji != ST_OK)
        return std::nullopt; // the parameters stay as they were
    const uint8_t typ = IdInfo.ID.Dev_Type;
    const uint8_t wariant = IdInfo.ID.Dev_Type_Details;
    if (!PrzyjmujeParametry(typ, wariant))
        return std::nullopt;
    // An FWTH-01 speaks under its new settings only after its service mode
    // has been entered again.
    OdebranoTrans = !WymagaTrybuSerwisowego(typ, wariant);
    return zmiana(KalibTrans);
}

bool TSerwis::PoCzytaniuFwadc(const TFwadc_Informacja &A_Fwadc)
{
    FwadcInfo = A_Fwadc;
    // OdebranoTrans stays clear for the module: the next free step reads again.
    return A_Fwadc.Status_Transmisji == ST_OK;
}

std::optional<TZmianaKomunikacji> TSerwis::PoZapisieFwadc(const TFwadc_Informacja &A_Fwadc)
{
    FwadcInfo = A_Fwadc;
    WyslijFwadc = false;
    if (A_Fwadc.Status_Transmisji != ST_OK || !JestModulemAdc(IdInfo.ID.Dev_Type))
        return std::nullopt;
    // The monitor follows the module to its new address; the next step closes.
    MyCloseWindow = true;
    return zmiana(UstawieniaModuluNaWyjscie(A_Fwadc.Adres, A_Fwadc.Jednostka));
}

TPWTTrans TSerwis::UstawieniaModuluNaWyjscie(int A_Adres, int A_Jednostka)
{
    TPWTTrans t;
    t.predkosc = kPredkoscSerwis;
    t.parzystosc = PC_NONE;
    t.adres = static_cast<uint16_t>(A_Adres);
    t.FahrCels = static_cast<uint8_t>(A_Jednostka);
    return t;
}

void TSerwis::Reset()
{
    MyCloseWindow = false;
    InServiceModeCount = 0;
    OdebranoID = false;
    OdebranoTrans = false;
    WyslijTrans = false;
    WyslijFwadc = false;
}
