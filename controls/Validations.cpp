#include "Validations.h"

#include <QApplication>
#include <QFocusEvent>

namespace {
const char kInvalidInputValue[] = "Invalid input value.";
}

EInvalidValue::EInvalidValue()
    : std::runtime_error(kInvalidInputValue)
{
}

TValidCustomEdit::TValidCustomEdit(QWidget *parent)
    : QLineEdit(parent)
{
}

bool TValidCustomEdit::CheckValid()
{
    m_isEmpty = text().isEmpty();
    if (m_allowEmpty && m_isEmpty)
        return true;
    m_isValid = Validate();
    bool canLeave = m_isValid;
    if (!canLeave) {
        if (m_beepOnInvalid)
            QApplication::beep();
        if (m_onInvalid)
            m_onInvalid(this, canLeave);
    }
    return canLeave;
}

void TValidCustomEdit::focusOutEvent(QFocusEvent *event)
{
    QLineEdit::focusOutEvent(event);
    // Only a move to another control of the same window is "leaving": the
    // window losing activation (a message box, another program) or a page
    // being hidden under the edit must not trigger the check, or the message
    // box shown by OnInvalid would trigger it again.
    switch (event->reason()) {
    case Qt::MouseFocusReason:
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
    case Qt::OtherFocusReason:
        break;
    default:
        return;
    }
    if (m_checking || !isVisible() || !isEnabled())
        return;
    m_checking = true;
    const bool valid = CheckValid();
    m_checking = false;
    if (!valid)
        setFocus(Qt::OtherFocusReason);
}
