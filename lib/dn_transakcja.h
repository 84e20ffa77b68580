// One way to run a device transaction, for a window and for a tool alike.
//
// A transaction thread takes a pointer to its caller's record, a protocol
// number and a window handle, posts a completion event to the handle and
// calls OnTerminate when it has ended. The helpers below hide all of that:
// the thread works on a copy of the record that lives as long as the thread
// does, and its end is delivered once, with the result, after both the
// completion and the thread's end have come.
#pragma once

#include "dn_thr_trans_rh.h"
#include "dn_tools.h"

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <functional>
#include <memory>

// Where a transaction goes: the port by its COM number, the device's address
// and the line speed.
struct TCelTransakcji
{
    int Com = 1;
    int Adres = 0;
    int Predkosc = 0;
};

// Every transaction of this program speaks the one protocol.
constexpr int kProtokolFenwire = 1;

// Takes a transaction's completion event and its end, on the thread that
// started it, and calls the delivery once both have come.
class TKoniecTransakcji : public QObject
{
public:
    TKoniecTransakcji();
    int Handle() const { return m_handle.handle(); }
    // Hooks the thread's end and sets what happens once the transaction is over.
    void Sledz(TTHR_Trans_RH *A_Thread, std::function<void(int A_Status)> A_Deliver);
    bool Dostarczono() const { return m_delivered; }

protected:
    bool event(QEvent *e) override;

private:
    void DeliverIfDone();

    std::function<void(int)> m_deliver;
    TWindowHandle m_handle;
    bool m_done = false;
    bool m_ended = false;
    bool m_delivered = false;
    int m_status = ST_CANCELED;
};

// Processes events until the transaction behind A_Koniec has been delivered,
// then lets its thread object go.
void CzekajNaKoniec(const TKoniecTransakcji &A_Koniec);

namespace dn_transakcja_detail {

// A transaction found no port object for its COM number: its record says so.
template<class TRecord>
void MarkNoPortObject(TRecord &A_Rekord, const TTHR_Trans_RH *A_Thread)
{
    if (A_Thread->NoPortObject()) {
        A_Rekord.Status_Transmisji = A_Thread->Status();
        A_Rekord.Przyczyna = TPrzyczyna{CS_NO_PORT_OBJECT, {}};
    }
}

} // namespace dn_transakcja_detail

// Starts a TThread transaction for a copy of A_Rekord. Once it has ended,
// A_Done(result, status) runs on the calling thread, unless A_Context is gone
// by then: a window closed before its transaction ended hears nothing, and
// the thread still writes into memory that is alive. Returns the thread,
// which frees itself after its end.
template<class TThread, class TRecord>
TTHR_Trans_RH *StartTransakcja(QObject *A_Context, const TComPortTable &A_Porty, const TCelTransakcji &A_Cel,
                               const TRecord &A_Rekord, std::function<void(const TRecord &, int)> A_Done)
{
    auto work = std::make_shared<TRecord>(A_Rekord);
    auto *koniec = new TKoniecTransakcji;
    TTHR_Trans_RH *thread = new TThread(false, koniec->Handle(), A_Cel.Com, A_Cel.Adres, A_Cel.Predkosc,
                                        kProtokolFenwire, work.get(), A_Porty);
    thread->KeepAlive(work);
    QPointer<QObject> context(A_Context);
    koniec->Sledz(thread, [koniec, thread, work, context, done = std::move(A_Done)](int status) {
        dn_transakcja_detail::MarkNoPortObject(*work, thread);
        koniec->deleteLater();
        if (context && done)
            done(*work, status);
    });
    return thread;
}

// Runs a TThread transaction on A_Rekord and waits for its end, processing
// the calling thread's events meanwhile (a tool's event loop, or a test's).
// A_Rekord gets the result; returns the transaction's status.
template<class TThread, class TRecord>
int WykonajTransakcje(const TComPortTable &A_Porty, const TCelTransakcji &A_Cel, TRecord &A_Rekord)
{
    int result = ST_CANCELED;
    TKoniecTransakcji koniec;
    auto work = std::make_shared<TRecord>(A_Rekord);
    TTHR_Trans_RH *thread = new TThread(false, koniec.Handle(), A_Cel.Com, A_Cel.Adres, A_Cel.Predkosc,
                                        kProtokolFenwire, work.get(), A_Porty);
    thread->KeepAlive(work);
    koniec.Sledz(thread, [&, thread, work](int status) {
        dn_transakcja_detail::MarkNoPortObject(*work, thread);
        A_Rekord = *work;
        result = status;
    });
    CzekajNaKoniec(koniec);
    return result;
}

