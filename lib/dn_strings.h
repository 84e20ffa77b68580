// Small text helpers.
#pragma once

#include <QtCore/QString>

// S without its leading blanks, cut to 255 characters. A text of blanks alone
// keeps its last blank; an empty text stays empty.
QString LTrim(const QString &S);
