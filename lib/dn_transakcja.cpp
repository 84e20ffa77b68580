#include "dn_transakcja.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>

TKoniecTransakcji::TKoniecTransakcji()
    : m_handle(this)
{
}

void TKoniecTransakcji::Sledz(TTHR_Trans_RH *A_Thread, std::function<void(int)> A_Deliver)
{
    m_deliver = std::move(A_Deliver);
    A_Thread->OnTerminate = [this](TTHR_Trans_RH *) {
        m_ended = true;
        DeliverIfDone();
    };
}

bool TKoniecTransakcji::event(QEvent *e)
{
    if (e->type() != WM_TRANS_DONE)
        return QObject::event(e);
    m_status = static_cast<TTransDoneEvent *>(e)->Status;
    m_done = true;
    DeliverIfDone();
    return true;
}

void TKoniecTransakcji::DeliverIfDone()
{
    // The completion is posted before the thread ends, but both travel as
    // events: whichever comes second delivers.
    if (!m_done || !m_ended || m_delivered)
        return;
    m_delivered = true;
    std::function<void(int)> deliver = std::move(m_deliver);
    if (deliver)
        deliver(m_status);
}

void CzekajNaKoniec(const TKoniecTransakcji &A_Koniec)
{
    QEventLoop loop;
    while (!A_Koniec.Dostarczono())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    // The thread object frees itself with a deferred delete; a tool that
    // runs its transactions before or without an event loop of its own
    // would otherwise keep every one of them.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
