// Finding the "please wait" notes a test has caused among the top-level windows.
#pragma once

#include "dn_MyInfoDlg.h"

#include <QtWidgets/QApplication>

// The note of that handle, shown or not.
inline TFormInfoDlg *noteOf(int handle)
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *note = qobject_cast<TFormInfoDlg *>(w);
        if (note && handle != 0 && note->handle() == handle)
            return note;
    }
    return nullptr;
}

// The first note on screen, if any.
inline TFormInfoDlg *openNote()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *note = qobject_cast<TFormInfoDlg *>(w);
        if (note && note->isVisible())
            return note;
    }
    return nullptr;
}

inline int openNotes()
{
    int n = 0;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qobject_cast<TFormInfoDlg *>(w) && w->isVisible())
            ++n;
    }
    return n;
}
