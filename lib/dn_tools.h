// General tools shared by the link, the transactions and the windows:
// the one blocking wait, a monotonic millisecond clock and integer window
// handles that a worker thread can post to.
#pragma once

#include <QtCore/QEvent>
#include <QtCore/QObject>
#include <cstdint>

// Milliseconds from a monotonic 64-bit clock. Unlike a 32-bit tick count it
// never wraps, so "now > start + timeout" holds for the life of the program.
// The fuzz build (FENWIRE_VIRTUAL_CLOCK) runs this and WaitMS on a virtual
// clock that only sleeping moves.
int64_t TickMS();

// Blocks the calling thread for at least A_MiliSeconds, in sleeps of at most
// 10 ms, letting the thread process its pending events between the sleeps so
// that a window stays painted during a wait. The first sleep is always a
// whole step (WaitMS(0) is a short pause, not a no-op); the last one sleeps
// only what is left, so a wait ends within a millisecond or so of its end,
// never before it.
void WaitMS(int A_MiliSeconds);

// Sleeps the calling thread for A_MiliSeconds without looking at its events:
// the short sleeps of a loop that looks at something else in between. On the
// virtual clock it moves the clock by exactly that much.
void SleepMS(int A_MiliSeconds);

// Lets the calling thread process its pending events, as WaitMS does between
// its sleeps; nothing without an application object.
void ProcessThreadEvents();

// A receiver of posted events known by an integer handle, the way a worker
// thread knows the window that started it. The handle is registered for the
// life of this object; keep it as a member of the receiver so that it goes
// before the receiver itself does.
class TWindowHandle
{
public:
    explicit TWindowHandle(QObject *receiver);
    ~TWindowHandle();
    TWindowHandle(const TWindowHandle &) = delete;
    TWindowHandle &operator=(const TWindowHandle &) = delete;

    int handle() const { return m_handle; }

private:
    int m_handle;
};

// Posts the event to the receiver behind the handle and takes ownership of
// it. A handle whose receiver is gone (or 0) swallows the event: a worker
// that outlives its window must not reach into freed memory.
// Returns whether the event was posted.
bool PostToHandle(int handle, QEvent *event);
