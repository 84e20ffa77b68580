// An in-memory port for link tests that need exact control of time: a
// responder sees every frame sent and schedules the bytes that come back.
// By default it cannot wake a waiting exchange (the link polls it, as it does
// the fuzz build's port); with `signalling` it does, as the real port does.
#pragma once

#include "dn_comport.h"
#include "dn_tools.h"

#include <QtCore/QByteArray>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QList>
#include <QtCore/QMutex>
#include <QtCore/QWaitCondition>
#include <algorithm>
#include <functional>

class MemPort : public TComPort
{
public:
    struct Sent
    {
        int64_t atMs;
        QByteArray frame;
    };
    // Called for every frame sent, with its index (0 for the first send).
    std::function<void(MemPort &, int index, const QByteArray &frame)> responder;
    // What SetOpen(true) raises, if anything.
    enum class OpenFailure { None, BadId, Busy } openFailure = OpenFailure::None;
    // Wakes a waiting exchange as bytes become readable.
    bool signalling = false;
    // The adapter hands every frame sent back at once, ahead of any reply.
    bool echo = false;

    // Bytes that become readable delayMs from now.
    void arrive(const QByteArray &bytes, int delayMs = 0)
    {
        QMutexLocker lock(&m_mutex);
        m_pending.append({TickMS() + delayMs, bytes});
        m_arrived.wakeAll();
    }

    QList<Sent> sent() const
    {
        QMutexLocker lock(&m_mutex);
        return m_sent;
    }
    int flushesIn() const { return m_flushesIn; }

    int ComNumber() const override { return 1; }
    int Baud() const override { return m_baud; }
    void SetBaud(int baud) override { m_baud = baud; }
    TParity Parity() const override { return TParity::None; }
    void SetParity(TParity) override {}
    int StopBits() const override { return 2; }
    bool Open() const override { return m_open; }
    void SetOpen(bool open) override
    {
        if (open && openFailure == OpenFailure::BadId)
            throw EBadId("no such port");
        if (open && openFailure == OpenFailure::Busy)
            throw EComError("port busy");
        m_open = open;
    }
    int InBuffUsed() const override
    {
        QMutexLocker lock(&m_mutex);
        release();
        return static_cast<int>(m_in.size());
    }
    int OutBuffUsed() const override { return 0; }
    void FlushInBuffer() override
    {
        QMutexLocker lock(&m_mutex);
        release();
        m_in.clear();
        ++m_flushesIn;
    }
    void FlushOutBuffer() override {}
    void PutBlock(const uint8_t *bytes, int count) override
    {
        const QByteArray frame(reinterpret_cast<const char *>(bytes), count);
        int index;
        {
            QMutexLocker lock(&m_mutex);
            index = static_cast<int>(m_sent.size());
            m_sent.append({TickMS(), frame});
            if (echo)
                m_pending.append({TickMS(), frame});
        }
        if (responder)
            responder(*this, index, frame);
    }
    void GetBlock(uint8_t *bytes, int count) override
    {
        QMutexLocker lock(&m_mutex);
        release();
        if (m_in.size() < count)
            throw EComError("fewer bytes buffered");
        std::copy_n(m_in.constData(), count, bytes);
        m_in.remove(0, count);
    }
    bool WaitForInput(int count, int timeoutMs) override
    {
        if (!signalling)
            return false;
        QMutexLocker lock(&m_mutex);
        const int64_t end = TickMS() + timeoutMs;
        for (;;) {
            release();
            const int64_t now = TickMS();
            if (m_in.size() >= count || now >= end)
                return true;
            // Asleep until the next bytes are due, or until new ones are scheduled.
            const int64_t wake = m_pending.isEmpty() ? end : std::min(end, m_pending.first().atMs);
            m_arrived.wait(&m_mutex, QDeadlineTimer(std::max<int64_t>(wake - now, 1), Qt::PreciseTimer));
        }
    }

private:
    struct Pending
    {
        int64_t atMs;
        QByteArray bytes;
    };
    void release() const
    {
        const int64_t now = TickMS();
        while (!m_pending.isEmpty() && m_pending.first().atMs <= now)
            m_in.append(m_pending.takeFirst().bytes);
    }

    mutable QMutex m_mutex;
    QWaitCondition m_arrived;
    mutable QList<Pending> m_pending;
    mutable QByteArray m_in;
    QList<Sent> m_sent;
    int m_baud = 9600;
    bool m_open = false;
    int m_flushesIn = 0;
};
