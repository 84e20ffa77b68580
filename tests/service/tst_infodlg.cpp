// The "please wait" note: opened and closed by handle, closed asynchronously,
// deaf to stale handles, above a modal window when asked.
#include "dn_MyInfoDlg.h"
#include "infonotes.h"

#include <QtCore/QPointer>
#include <QtGui/QImage>
#include <QtTest/QtTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QLabel>

namespace {



// Whether the label's area holds pixels of more than one colour: text drawn.
bool hasInk(QWidget *note, const QLabel *label)
{
    const QImage image = note->grab(label->geometry()).toImage();
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != first)
                return true;
        }
    }
    return false;
}

} // namespace

class TstInfoDlg : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *note = qobject_cast<TFormInfoDlg *>(w))
                MyInfoDlgClose(note->handle());
        }
        QTRY_COMPARE(openNotes(), 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void showsBothTextsAtOnce()
    {
        const int handle = MyInfoDlgShow(QStringLiteral("Writting to sensor ... "), QStringLiteral("Please wait ..."),
                                         false);
        QVERIFY(handle != 0);
        TFormInfoDlg *note = noteOf(handle);
        QVERIFY(note);
        QVERIFY(note->isVisible());
        QCOMPARE(note->size(), QSize(392, 86));
        QVERIFY(note->windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(note->L_Main->text(), QStringLiteral("Writting to sensor ... "));
        QCOMPARE(note->L_Details->text(), QStringLiteral("Please wait ..."));
        QCOMPARE(note->L_Main->font().pixelSize(), 24);
        QCOMPARE(note->L_Details->font().pixelSize(), 16);
        QVERIFY(hasInk(note, note->L_Main));
        QVERIFY(hasInk(note, note->L_Details));
    }

    void closesWhenEventsAreHandled()
    {
        const int handle = MyInfoDlgShow(QStringLiteral("A"), QStringLiteral("B"), false);
        QPointer<TFormInfoDlg> note = noteOf(handle);
        QVERIFY(note);
        MyInfoDlgClose(handle);
        // Closing only posts: the note is still there when the call returns.
        QVERIFY(note);
        QVERIFY(note->isVisible());
        QTRY_VERIFY(!note);
    }

    void ignoresStaleHandles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("the same handle closed twice at once") << QStringLiteral("twice");
        QTest::newRow("a handle whose note is gone") << QStringLiteral("gone");
        QTest::newRow("handle 0, no note open") << QStringLiteral("zero");
        QTest::newRow("a handle never given out") << QStringLiteral("never");
    }

    void ignoresStaleHandles()
    {
        QFETCH(QString, kind);
        const int bystander = MyInfoDlgShow(QStringLiteral("stays"), QString(), false);
        QPointer<TFormInfoDlg> kept = noteOf(bystander);
        if (kind == QLatin1String("twice")) {
            const int h = MyInfoDlgShow(QStringLiteral("goes"), QString(), false);
            QPointer<TFormInfoDlg> gone = noteOf(h);
            MyInfoDlgClose(h);
            MyInfoDlgClose(h);
            QTRY_VERIFY(!gone);
        } else if (kind == QLatin1String("gone")) {
            const int h = MyInfoDlgShow(QStringLiteral("goes"), QString(), false);
            QPointer<TFormInfoDlg> gone = noteOf(h);
            MyInfoDlgClose(h);
            QTRY_VERIFY(!gone);
            MyInfoDlgClose(h);
        } else if (kind == QLatin1String("zero")) {
            MyInfoDlgClose(0);
        } else {
            MyInfoDlgClose(bystander + 1000);
        }
        QTest::qWait(50);
        QVERIFY(kept);
        QVERIFY(kept->isVisible());
        QCOMPARE(openNotes(), 1);
    }

    void staysAboveAModalWindowWhenAsked_data()
    {
        QTest::addColumn<bool>("top");
        QTest::newRow("asked to stay on top") << true;
        QTest::newRow("an ordinary note") << false;
    }

    void staysAboveAModalWindowWhenAsked()
    {
        QFETCH(bool, top);
        QDialog modal;
        modal.setModal(true);
        modal.resize(600, 400);
        modal.show();
        QVERIFY(QTest::qWaitForWindowExposed(&modal));
        QCOMPARE(QApplication::activeModalWidget(), &modal);

        const int handle = MyInfoDlgShow(QStringLiteral("Writting to sensor ... "), QStringLiteral("Please wait ..."),
                                         top);
        TFormInfoDlg *note = noteOf(handle);
        QVERIFY(note);
        QCOMPARE(bool(note->windowFlags() & Qt::WindowStaysOnTopHint), top);
        QVERIFY(note->isVisible());
        // The note takes no input: the modal window keeps the user's focus.
        QCOMPARE(QApplication::activeModalWidget(), &modal);
        QVERIFY(!note->isActiveWindow());
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TstInfoDlg test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_infodlg.moc"
