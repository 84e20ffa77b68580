#include "dn_strings.h"

namespace {
// The longest text the service window's entries ever hold.
constexpr int kMaxTextLength = 255;
}

QString LTrim(const QString &S)
{
    qsizetype i = 0;
    while (i < S.size() - 1 && S.at(i) == QLatin1Char(' '))
        ++i;
    return S.mid(i, kMaxTextLength);
}
