#include "dn_tools.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QHash>
#include <QtCore/QMutex>
#include <QtCore/QPointer>
#include <QtCore/QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

namespace {

// A wait sleeps in steps this long, so that the waiting thread's events
// (a window's painting) are looked at as often as a user can notice; the
// last step of a wait is shorter, to end the wait on time.
constexpr int kWaitStepMs = 10;

struct HandleTable
{
    QMutex mutex;
    QHash<int, QObject *> receivers;
    int next = 1;
};

HandleTable &handleTable()
{
    static HandleTable table;
    return table;
}

// The clock under TickMS and WaitMS. The fuzz build replaces it with a
// virtual one that moves only when a caller sleeps, so that an exchange
// waiting seconds for a silent device costs microseconds there; it is
// atomic because the link may sleep on a transaction's worker thread.
#if defined(FENWIRE_VIRTUAL_CLOCK)
std::atomic<int64_t> g_virtualNowMs{0};

int64_t clockNowMs()
{
    return g_virtualNowMs.load();
}

void clockSleepMs(int ms)
{
    // The link relies on time never running backwards.
    if (ms > 0)
        g_virtualNowMs.fetch_add(ms);
}
#else
int64_t clockNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void clockSleepMs(int ms)
{
    QThread::msleep(static_cast<unsigned long>(ms));
}
#endif

} // namespace

int64_t TickMS()
{
    return clockNowMs();
}

void WaitMS(int A_MiliSeconds)
{
    // The clock counts whole milliseconds: the wait is over once it has
    // passed the end, which makes it at least A_MiliSeconds long.
    const int64_t end = TickMS() + A_MiliSeconds;
    int step = kWaitStepMs;
    for (;;) {
        ProcessThreadEvents();
        clockSleepMs(step);
        const int64_t now = TickMS();
        if (now > end)
            return;
        step = static_cast<int>(std::min<int64_t>(end + 1 - now, kWaitStepMs));
    }
}

void SleepMS(int A_MiliSeconds)
{
    clockSleepMs(A_MiliSeconds);
}

void ProcessThreadEvents()
{
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

TWindowHandle::TWindowHandle(QObject *receiver)
{
    HandleTable &t = handleTable();
    QMutexLocker lock(&t.mutex);
    m_handle = t.next++;
    t.receivers.insert(m_handle, receiver);
}

TWindowHandle::~TWindowHandle()
{
    HandleTable &t = handleTable();
    QMutexLocker lock(&t.mutex);
    t.receivers.remove(m_handle);
}

bool PostToHandle(int handle, QEvent *event)
{
    std::unique_ptr<QEvent> owned(event);
    HandleTable &t = handleTable();
    // Posting under the lock: a receiver unregisters (under the same lock)
    // before it is destroyed, and its destruction drops what was posted.
    QMutexLocker lock(&t.mutex);
    QObject *receiver = t.receivers.value(handle, nullptr);
    if (!receiver)
        return false;
    QCoreApplication::postEvent(receiver, owned.release());
    return true;
}
