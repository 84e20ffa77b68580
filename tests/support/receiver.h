// Plays the window that starts a transaction: it owns a handle, takes the
// completion event and the OnTerminate call, and waits for both.
#pragma once

#include "dn_thr_trans_rh.h"
#include "dn_tools.h"

#include <QtCore/QObject>
#include <QtTest/QtTest>

class TestReceiver : public QObject
{
public:
    TestReceiver()
        : m_handle(this)
    {
    }
    int handle() const { return m_handle.handle(); }

    // Hooks the transaction's end and waits for its completion and its end.
    bool waitFor(TTHR_Trans_RH *t, int timeoutMs = 15000)
    {
        doneStatus = -1;
        terminated = false;
        t->OnTerminate = [this](TTHR_Trans_RH *) { terminated = true; };
        QDeadlineTimer deadline(timeoutMs);
        while (!(terminated && doneStatus != -1) && !deadline.hasExpired())
            QTest::qWait(10);
        return terminated && doneStatus != -1;
    }

    int doneStatus = -1;
    bool terminated = false;

protected:
    bool event(QEvent *e) override
    {
        if (e->type() == WM_TRANS_DONE) {
            doneStatus = static_cast<TTransDoneEvent *>(e)->Status;
            return true;
        }
        return QObject::event(e);
    }

private:
    TWindowHandle m_handle;
};
