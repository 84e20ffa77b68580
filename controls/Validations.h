// A single-line edit that checks its text when the focus leaves it and keeps
// the focus while the text is invalid.
#pragma once

#include <QLineEdit>

#include <functional>
#include <stdexcept>

class QFocusEvent;

// Raised for a value an edit cannot hold or a text it cannot read; the message
// is the one the user may see.
class EInvalidValue : public std::runtime_error
{
public:
    EInvalidValue();
};

// A value given to an edit lies outside its bounds.
class ERangeError : public EInvalidValue
{
};

// The edit's text is not a valid value.
class EConvertError : public EInvalidValue
{
};

// Called with the edit and the verdict; setting CanLeave to true lets the
// focus go in spite of the invalid text.
using TInvalidEvent = std::function<void(QObject *Sender, bool &CanLeave)>;

class TValidCustomEdit : public QLineEdit
{
    Q_OBJECT

public:
    explicit TValidCustomEdit(QWidget *parent = nullptr);

    // Validates the current text: beeps and asks OnInvalid when it fails.
    bool CheckValid();

    bool IsValid() const { return m_isValid; }
    bool IsEmpty() const { return m_isEmpty; }

    bool AllowEmpty() const { return m_allowEmpty; }
    void SetAllowEmpty(bool A_Value) { m_allowEmpty = A_Value; }
    bool BeepOnInvalid() const { return m_beepOnInvalid; }
    void SetBeepOnInvalid(bool A_Value) { m_beepOnInvalid = A_Value; }
    const TInvalidEvent &OnInvalid() const { return m_onInvalid; }
    void SetOnInvalid(TInvalidEvent A_Handler) { m_onInvalid = std::move(A_Handler); }

protected:
    // Whether the current text is valid; each kind of edit decides.
    virtual bool Validate() = 0;

    void focusOutEvent(QFocusEvent *event) override;

private:
    bool m_isValid = false;
    bool m_isEmpty = false;
    bool m_allowEmpty = true;
    bool m_beepOnInvalid = true;
    bool m_checking = false;
    TInvalidEvent m_onInvalid;
};
