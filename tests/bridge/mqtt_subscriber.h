// A client that watches the broker as Home Assistant or a logger would:
// libmosquitto with its own thread, every message kept with its retained
// flag.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QUuid>
#include <QtTest/QTest>
#include <mosquitto.h>
#include <mutex>

struct TMessage
{
    QString topic;
    QByteArray payload;
    bool retained = false;
};

class TSubscriber
{
public:
    // Without a clean session the broker keeps the subscriptions and queues
    // QoS 1 messages for the client while it is away.
    explicit TSubscriber(const QString &clientId = QString(), bool cleanSession = true)
    {
        mosquitto_lib_init();
        const QByteArray id =
            (clientId.isEmpty() ? QStringLiteral("watch-") + QUuid::createUuid().toString(QUuid::Id128) : clientId)
                .toUtf8();
        m_mosq = mosquitto_new(id.constData(), cleanSession, this);
        mosquitto_connect_callback_set(m_mosq, &TSubscriber::onConnect);
        mosquitto_disconnect_callback_set(m_mosq, &TSubscriber::onDisconnect);
        mosquitto_subscribe_callback_set(m_mosq, &TSubscriber::onSubscribe);
        mosquitto_message_callback_set(m_mosq, &TSubscriber::onMessage);
        // Back soon after a broker restart.
        mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
    }
    ~TSubscriber()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    TSubscriber(const TSubscriber &) = delete;
    TSubscriber &operator=(const TSubscriber &) = delete;

    // Subscribes (QoS 1) to the topic filters, again on every reconnection;
    // true once the broker has confirmed them.
    bool connect(int port, const QStringList &filters, int timeoutMs = 5000)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_filters = filters;
        }
        if (mosquitto_connect(m_mosq, "127.0.0.1", port, 10) != MOSQ_ERR_SUCCESS)
            return false;
        if (mosquitto_loop_start(m_mosq) != MOSQ_ERR_SUCCESS)
            return false;
        return QTest::qWaitFor([this] { return subscribed(); }, timeoutMs);
    }

    bool subscribed() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_connected && m_subscribed;
    }

    void publish(const QString &topic, const QByteArray &payload, bool retain = false)
    {
        mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), int(payload.size()), payload.constData(), 1,
                          retain);
    }

    QList<TMessage> messages() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    QList<TMessage> on(const QString &topic) const
    {
        QList<TMessage> r;
        for (const TMessage &m : messages())
            if (m.topic == topic)
                r << m;
        return r;
    }
    // The last payload seen on the topic (empty, not null, for an empty
    // message); a null QByteArray when none came.
    QByteArray last(const QString &topic) const
    {
        const QList<TMessage> m = on(topic);
        return m.isEmpty() ? QByteArray() : m.last().payload;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.clear();
    }

private:
    static TSubscriber *self(void *p) { return static_cast<TSubscriber *>(p); }
    static void onConnect(mosquitto *m, void *p, int rc)
    {
        if (rc != 0)
            return;
        TSubscriber *s = self(p);
        QStringList filters;
        {
            std::lock_guard<std::mutex> lock(s->m_mutex);
            s->m_connected = true;
            filters = s->m_filters;
        }
        for (const QString &f : filters)
            mosquitto_subscribe(m, nullptr, f.toUtf8().constData(), 1);
    }
    static void onDisconnect(mosquitto *, void *p, int)
    {
        TSubscriber *s = self(p);
        std::lock_guard<std::mutex> lock(s->m_mutex);
        s->m_connected = false;
        s->m_subscribed = false;
    }
    static void onSubscribe(mosquitto *, void *p, int, int, const int *)
    {
        TSubscriber *s = self(p);
        std::lock_guard<std::mutex> lock(s->m_mutex);
        s->m_subscribed = true;
    }
    static void onMessage(mosquitto *, void *p, const mosquitto_message *m)
    {
        TSubscriber *s = self(p);
        TMessage msg;
        msg.topic = QString::fromUtf8(m->topic);
        msg.payload = m->payloadlen ? QByteArray(static_cast<const char *>(m->payload), m->payloadlen) : QByteArray("");
        msg.retained = m->retain;
        std::lock_guard<std::mutex> lock(s->m_mutex);
        s->m_messages << msg;
    }

    mosquitto *m_mosq = nullptr;
    mutable std::mutex m_mutex;
    QStringList m_filters;
    QList<TMessage> m_messages;
    bool m_connected = false;
    bool m_subscribed = false;
};
