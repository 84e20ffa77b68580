// A Mosquitto broker of the caller's own: its configuration in a temporary
// folder, listening on free loopback ports only, ended by its own PID (other
// developers' brokers may run on the same machine). The tests and the queue
// benchmark share it.
#pragma once

#include <QtCore/QDeadlineTimer>
#include <QtCore/QFile>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtCore/QVector>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

// A port nobody listens on now: the kernel's pick for a socket bound to
// port 0. Someone may take it before the broker does; start() then tries
// another.
inline int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

class TBroker
{
public:
    // extraConfig: more configuration lines, where "%port1", "%port2" ...
    // stand for further free ports (port(1), port(2) ...), e.g. a listener
    // with TLS, and "%dir" for dir(). The first listener takes anonymous
    // clients.
    explicit TBroker(const QString &extraConfig = QString(), int extraPorts = 0)
        : m_extra(extraConfig), m_ports(extraPorts + 1, 0)
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~TBroker()
    {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_process.processId()), SIGCONT);
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    TBroker(const TBroker &) = delete;
    TBroker &operator=(const TBroker &) = delete;

    int port(int listener = 0) const { return m_ports.value(listener); }
    QString dir() const { return m_dir.path(); }
    QString output() const { return m_output; }
    bool running() const { return m_process.state() == QProcess::Running; }

    // The first start picks the ports; a restart listens on the same ones.
    // Persistence is on: what the broker keeps (retained messages, the
    // sessions of clients without a clean session) survives stop() and start().
    bool start()
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (m_ports.first() == 0 || attempt > 0) {
                for (int &p : m_ports)
                    p = FreeLoopbackPort();
            }
            if (launch())
                return true;
            if (!m_output.contains(QLatin1String("Address already in use")))
                return false;
        }
        return false;
    }

    // SIGTERM: the broker saves its persistence and ends.
    void stop()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        m_output += QString::fromUtf8(m_process.readAll());
    }
    // SIGKILL: what was in its memory is gone.
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
        m_output += QString::fromUtf8(m_process.readAll());
    }
    // A broker that takes nothing from its sockets: messages in flight stay
    // unacknowledged.
    void freeze() { ::kill(pid_t(m_process.processId()), SIGSTOP); }
    void thaw() { ::kill(pid_t(m_process.processId()), SIGCONT); }

private:
    bool launch()
    {
        QString extra = m_extra;
        extra.replace(QStringLiteral("%dir"), m_dir.path());
        for (int i = m_ports.size() - 1; i >= 1; --i)
            extra.replace(QStringLiteral("%port%1").arg(i), QString::number(m_ports.at(i)));
        const QString conf = m_dir.filePath(QStringLiteral("mosquitto.conf"));
        QFile f(conf);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        // Run as root, the broker would change to the user "mosquitto",
        // who may not read this folder; as anyone else the line is moot.
        const passwd *pw = ::getpwuid(::geteuid());
        f.write(QStringLiteral("user %1\n").arg(QString::fromLocal8Bit(pw ? pw->pw_name : "root")).toUtf8());
        f.write(QStringLiteral("per_listener_settings true\n"
                               "persistence true\n"
                               "persistence_location %1/\n"
                               "log_dest stderr\n"
                               "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
                               "listener %2 127.0.0.1\n"
                               "allow_anonymous true\n")
                    .arg(m_dir.path())
                    .arg(m_ports.first())
                    .toUtf8());
        f.write(extra.toUtf8());
        f.close();
        m_output.clear();
        m_process.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf});
        if (!m_process.waitForStarted(5000))
            return false;
        // It says "running" once every listener is open.
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            m_process.waitForReadyRead(50);
            m_output += QString::fromUtf8(m_process.readAll());
            if (m_output.contains(QLatin1String(" running")))
                return true;
            if (m_process.state() == QProcess::NotRunning)
                return false;
        }
        return false;
    }

    QTemporaryDir m_dir;
    QString m_extra;
    QVector<int> m_ports;
    QProcess m_process;
    QString m_output;
};
