// Answers the modal message boxes a window opens while a test drives it and
// keeps what they said: a box waits in its own event loop, which keeps this
// timer running, so the test goes on as if a user had pressed OK.
#pragma once

#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>

class TModalBoxAnswer : public QObject
{
public:
    struct TBox
    {
        QString title;
        QString text;
    };

    TModalBoxAnswer()
    {
        m_timer.setInterval(kPollMs);
        connect(&m_timer, &QTimer::timeout, this, &TModalBoxAnswer::poll);
        m_timer.start();
    }

    const QList<TBox> &boxes() const { return m_boxes; }
    int count() const { return int(m_boxes.size()); }
    TBox last() const { return m_boxes.isEmpty() ? TBox{} : m_boxes.last(); }

private:
    static constexpr int kPollMs = 10;

    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == m_answered)
            return;
        m_answered = box;
        m_boxes.append({box->windowTitle(), box->text()});
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }

    QTimer m_timer;
    QList<TBox> m_boxes;
    QPointer<QMessageBox> m_answered;
};
