#include "dn_MyInfoDlg.h"

#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtWidgets/QFrame>
#include <QtWidgets/QLabel>

namespace {

// The note's own close message. Posted rather than called, so that closing
// is safe from any place that only kept the handle.
constexpr QEvent::Type WM_MYCLOSE = static_cast<QEvent::Type>(QEvent::User + 1);

constexpr QSize kNoteSize(392, 86);
constexpr QRect kMainTextRect(8, 12, 376, 34);
constexpr QRect kDetailsRect(8, 50, 376, 24);
constexpr int kMainFontPx = 24;
constexpr int kDetailsFontPx = 16;

QFont noteFont(int pixelSize)
{
    QFont f(QStringLiteral("Arial"));
    f.setPixelSize(pixelSize);
    return f;
}

} // namespace

TFormInfoDlg::TFormInfoDlg(const QString &A_MainText, const QString &A_Details, bool A_Top)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus
                           | (A_Top ? Qt::WindowStaysOnTopHint : Qt::WindowFlags()))
    , Bevel1(new QFrame(this))
    , L_Main(new QLabel(this))
    , L_Details(new QLabel(this))
    , m_handle(std::make_unique<TWindowHandle>(this))
{
    setObjectName(QStringLiteral("FormInfoDlg"));
    // The note takes no input: showing it must not take the focus from the
    // window the user works in.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(kNoteSize);

    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Bevel1->setGeometry(rect());

    L_Main->setObjectName(QStringLiteral("L_Main"));
    L_Main->setGeometry(kMainTextRect);
    L_Main->setAlignment(Qt::AlignCenter);
    L_Main->setFont(noteFont(kMainFontPx));
    L_Main->setText(A_MainText);

    L_Details->setObjectName(QStringLiteral("L_Details"));
    L_Details->setGeometry(kDetailsRect);
    L_Details->setAlignment(Qt::AlignCenter);
    L_Details->setFont(noteFont(kDetailsFontPx));
    L_Details->setText(A_Details);

    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect r(QPoint(), kNoteSize);
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
}

TFormInfoDlg::~TFormInfoDlg() = default;

int TFormInfoDlg::handle() const
{
    return m_handle ? m_handle->handle() : 0;
}

bool TFormInfoDlg::event(QEvent *e)
{
    if (e->type() == WM_MYCLOSE) {
        MyClose();
        return true;
    }
    return QWidget::event(e);
}

void TFormInfoDlg::MyClose()
{
    if (!m_handle)
        return;
    // The handle goes first: a second close message, already on its way,
    // finds nobody and is dropped.
    m_handle.reset();
    hide();
    deleteLater();
}

int MyInfoDlgShow(const QString &A_MainText, const QString &A_Details, bool A_Top)
{
    // The note owns itself: it is freed by its close message, whoever sends it.
    auto *note = new TFormInfoDlg(A_MainText, A_Details, A_Top);
    note->show();
    if (A_Top)
        note->raise();
    note->repaint();
    return note->handle();
}

void MyInfoDlgClose(int A_Handle)
{
    PostToHandle(A_Handle, new QEvent(WM_MYCLOSE));
}
