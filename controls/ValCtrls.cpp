#include "ValCtrls.h"

TIntegerEdit::TIntegerEdit(QWidget *parent)
    : TValidCustomEdit(parent)
{
    UpdateValue();
}

void TIntegerEdit::UpdateValue()
{
    setText(QString::number(m_value));
}

bool TIntegerEdit::InBounds(qint32 A_Value) const
{
    return !m_useBounds || (m_minValue <= A_Value && A_Value <= m_maxValue);
}

bool TIntegerEdit::TextToValue(qint32 &A_Value) const
{
    bool ok = false;
    const int value = text().trimmed().toInt(&ok);
    if (ok)
        A_Value = value;
    return ok;
}

bool TIntegerEdit::Validate()
{
    qint32 value = 0;
    if (!TextToValue(value))
        return false;
    // An out-of-bounds number is kept all the same: the user corrects it in
    // place instead of retyping it.
    m_value = value;
    UpdateValue();
    return InBounds(m_value);
}

void TIntegerEdit::SetMinValue(qint32 A_MinValue)
{
    if (m_useBounds && A_MinValue > m_value)
        throw ERangeError();
    m_minValue = A_MinValue;
}

void TIntegerEdit::SetMaxValue(qint32 A_MaxValue)
{
    if (m_useBounds && A_MaxValue < m_value)
        throw ERangeError();
    m_maxValue = A_MaxValue;
}

void TIntegerEdit::SetValue(qint32 A_Value)
{
    if (m_useBounds && (A_Value < m_minValue || A_Value > m_maxValue))
        throw ERangeError();
    m_value = A_Value;
    UpdateValue();
}

void TIntegerEdit::ShowValue(qint32 A_Value)
{
    m_value = A_Value;
    UpdateValue();
}

qint32 TIntegerEdit::GetValue()
{
    if (!CheckValid())
        throw EConvertError();
    return m_value;
}
