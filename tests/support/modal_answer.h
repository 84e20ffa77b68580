// Answers the modal message boxes a window opens while a test drives it, and
// remembers what they said.
//
//     TModalAnswer answer;                 // presses OK on every box
//     dialog.Bit_Ustaw->click();           // may open a box and wait in it
//     QCOMPARE(answer.count(), 1);
//     QCOMPARE(answer.lastText(), ...);
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

class TModalAnswer : public QObject
{
public:
    // A modal box's own event loop keeps the timer running, so the box is
    // found even though the test itself waits inside exec().
    explicit TModalAnswer(QMessageBox::StandardButton A_Button = QMessageBox::Ok,
                          QObject *parent = nullptr)
        : QObject(parent)
        , m_button(A_Button)
    {
        m_timer.setInterval(kPollMs);
        connect(&m_timer, &QTimer::timeout, this, &TModalAnswer::poll);
        m_timer.start();
    }

    int count() const { return int(m_texts.size()); }
    QStringList texts() const { return m_texts; }
    QString lastText() const { return m_texts.isEmpty() ? QString() : m_texts.last(); }
    QString lastTitle() const { return m_titles.isEmpty() ? QString() : m_titles.last(); }
    QMessageBox::Icon lastIcon() const { return m_lastIcon; }
    QMessageBox::StandardButtons lastButtons() const { return m_lastButtons; }

private:
    static constexpr int kPollMs = 10;

    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == m_answered)
            return;
        m_answered = box;
        m_texts << box->text();
        m_titles << box->windowTitle();
        m_lastIcon = box->icon();
        m_lastButtons = box->standardButtons();
        if (QAbstractButton *button = box->button(m_button))
            button->click();
        else
            box->reject();
    }

    QMessageBox::StandardButton m_button;
    QTimer m_timer;
    QStringList m_texts;
    QStringList m_titles;
    QMessageBox::Icon m_lastIcon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons m_lastButtons;
    QPointer<QMessageBox> m_answered;
};
