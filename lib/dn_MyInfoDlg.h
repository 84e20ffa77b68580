// The "please wait" note: a small modeless window shown while a long
// operation runs, closed later by its handle, possibly from another place in
// the code than the one that opened it.
#pragma once

#include "dn_tools.h"

#include <QtWidgets/QWidget>
#include <memory>

class QFrame;
class QLabel;

class TFormInfoDlg : public QWidget
{
    Q_OBJECT

public:
    TFormInfoDlg(const QString &A_MainText, const QString &A_Details, bool A_Top);
    ~TFormInfoDlg() override;

    // The handle MyInfoDlgClose takes; 0 once the note is closing.
    int handle() const;

    QFrame *Bevel1;
    QLabel *L_Main;
    QLabel *L_Details;

protected:
    bool event(QEvent *e) override;

private:
    void MyClose();

    std::unique_ptr<TWindowHandle> m_handle;
};

// Opens a new note with the two texts and returns its handle. A_Top keeps the
// note above every other window, a modal one included. The note is painted
// before this returns, so a caller that blocks next still shows its text.
int MyInfoDlgShow(const QString &A_MainText, const QString &A_Details, bool A_Top);

// Asks the note behind A_Handle to close and returns at once: the note goes
// when the main thread next handles its events. A handle of a note already
// closed (or 0) is ignored, so a caller may close twice or close a handle
// whose note is long gone.
void MyInfoDlgClose(int A_Handle);
