// A bare pseudo-terminal pair for port tests: the test plays the device on
// the master side with plain reads and writes.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

class TestPty
{
public:
    TestPty()
    {
        int slave = -1;
        char name[128] = {};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) == 0) {
            struct termios t;
            ::tcgetattr(slave, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(slave, TCSANOW, &t);
            ::close(slave); // the port under test opens it by name
            m_path = QString::fromLocal8Bit(name);
        }
    }
    ~TestPty() { close(); }
    TestPty(const TestPty &) = delete;
    TestPty &operator=(const TestPty &) = delete;

    bool ok() const { return m_master >= 0; }
    QString path() const { return m_path; }
    void close()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    void write(const QByteArray &bytes) { (void)!::write(m_master, bytes.constData(), size_t(bytes.size())); }
    // Everything that arrives within timeoutMs of the last byte.
    QByteArray read(int timeoutMs = 200)
    {
        QByteArray out;
        struct pollfd p{m_master, POLLIN, 0};
        while (::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN)) {
            char buf[512];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, int(n));
        }
        return out;
    }
    speed_t speed() const
    {
        struct termios t;
        ::tcgetattr(m_master, &t);
        return ::cfgetospeed(&t);
    }

private:
    int m_master = -1;
    QString m_path;
};
