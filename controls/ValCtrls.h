// Whole-number edit with optional bounds.
#pragma once

#include "Validations.h"

class TIntegerEdit : public TValidCustomEdit
{
    Q_OBJECT

public:
    explicit TIntegerEdit(QWidget *parent = nullptr);

    qint32 MinValue() const { return m_minValue; }
    // With UseBounds, a minimum above the current value raises ERangeError.
    void SetMinValue(qint32 A_MinValue);
    qint32 MaxValue() const { return m_maxValue; }
    // With UseBounds, a maximum below the current value raises ERangeError.
    void SetMaxValue(qint32 A_MaxValue);
    bool UseBounds() const { return m_useBounds; }
    void SetUseBounds(bool A_Value) { m_useBounds = A_Value; }

    // Runs the whole check (beep and OnInvalid included); raises EConvertError
    // when the text is not a valid value. An empty edit that may be empty
    // gives the last value it held.
    qint32 GetValue();
    qint32 Value() { return GetValue(); }
    // With UseBounds, a value out of bounds raises ERangeError and keeps the
    // old text.
    void SetValue(qint32 A_Value);

    // Shows a value that came from outside (a file, a device) even when it
    // breaks the bounds, so that nothing is hidden from the user; the edit
    // then fails its check when left or read.
    void ShowValue(qint32 A_Value);

    // Whether the text reads as a whole number (into A_Value), without
    // touching the edit; whether a number fits the bounds in force.
    bool TextToValue(qint32 &A_Value) const;
    bool InBounds(qint32 A_Value) const;
    // The value stored by the last successful read or assignment.
    qint32 LastValue() const { return m_value; }

protected:
    bool Validate() override;
    void UpdateValue();

private:
    qint32 m_minValue = 0;
    qint32 m_maxValue = 0;
    qint32 m_value = 0;
    bool m_useBounds = false;
};
