// The whole-number edit: reading, bounds, and keeping the focus while invalid.
#include "ValCtrls.h"

#include <QApplication>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

class TestValCtrls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void newEdit();
    void validate_data();
    void validate();
    void getValueFailsOnBadText();
    void setters_data();
    void setters();
    void onInvalidMayLetGo();
    void leaving_data();
    void leaving();
    void windowDeactivationIsNotLeaving();
};

void TestValCtrls::initTestCase()
{
    QApplication::setEffectEnabled(Qt::UI_General, false);
}

void TestValCtrls::newEdit()
{
    TIntegerEdit edit;
    QCOMPARE(edit.text(), QStringLiteral("0"));
    QCOMPARE(edit.GetValue(), 0);
    QVERIFY(edit.AllowEmpty());
    QVERIFY(edit.BeepOnInvalid());
    QVERIFY(!edit.UseBounds());
    QCOMPARE(edit.MinValue(), 0);
    QCOMPARE(edit.MaxValue(), 0);
}

void TestValCtrls::validate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("useBounds");
    QTest::addColumn<bool>("allowEmpty");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("textAfter");

    // The edit starts at 5, bounds 0 to 250.
    QTest::newRow("leading zeros rewritten") << "007" << true << true << true << 7 << "7";
    QTest::newRow("upper bound") << "250" << true << true << true << 250 << "250";
    QTest::newRow("300 out of bounds, kept") << "300" << true << true << false << 300 << "300";
    QTest::newRow("-1 out of bounds, kept") << "-1" << true << true << false << -1 << "-1";
    QTest::newRow("bounds off: anything whole") << "-9000" << false << true << true << -9000
                                                << "-9000";
    QTest::newRow("letters: value unchanged") << "12a" << true << true << false << 5 << "12a";
    QTest::newRow("beyond 32 bits") << "4294967296" << false << true << false << 5
                                    << "4294967296";
    QTest::newRow("fraction") << "1.5" << false << true << false << 5 << "1.5";
    QTest::newRow("empty allowed: last value") << "" << true << true << true << 5 << "";
    QTest::newRow("empty refused") << "" << true << false << false << 5 << "";
}

void TestValCtrls::validate()
{
    QFETCH(QString, text);
    QFETCH(bool, useBounds);
    QFETCH(bool, allowEmpty);
    QFETCH(bool, valid);
    QFETCH(int, value);
    QFETCH(QString, textAfter);

    TIntegerEdit edit;
    edit.SetMinValue(0);
    edit.SetMaxValue(250);
    edit.SetValue(5);
    edit.SetUseBounds(useBounds);
    edit.SetAllowEmpty(allowEmpty);
    edit.SetBeepOnInvalid(false);
    int invalidCalls = 0;
    edit.SetOnInvalid([&](QObject *sender, bool &canLeave) {
        QCOMPARE(sender, &edit);
        QVERIFY(!canLeave);
        ++invalidCalls;
    });

    edit.setText(text);
    QCOMPARE(edit.CheckValid(), valid);
    QCOMPARE(edit.LastValue(), value);
    QCOMPARE(edit.text(), textAfter);
    QCOMPARE(edit.IsEmpty(), text.isEmpty());
    QCOMPARE(invalidCalls, valid ? 0 : 1);
}

void TestValCtrls::getValueFailsOnBadText()
{
    TIntegerEdit edit;
    edit.SetBeepOnInvalid(false);
    edit.SetMaxValue(250);
    edit.SetUseBounds(true);
    edit.setText(QStringLiteral("abc"));
    try {
        edit.GetValue();
        QFAIL("no exception");
    } catch (const EConvertError &e) {
        QCOMPARE(QString::fromLatin1(e.what()), QStringLiteral("Invalid input value."));
    }
    edit.setText(QStringLiteral("300"));
    QVERIFY_THROWS_EXCEPTION(EConvertError, edit.GetValue());
    edit.setText(QStringLiteral("42"));
    QCOMPARE(edit.GetValue(), 42);
}

void TestValCtrls::setters_data()
{
    QTest::addColumn<QString>("setter");
    QTest::addColumn<int>("argument");
    QTest::addColumn<bool>("useBounds");
    QTest::addColumn<bool>("throws");

    // The edit holds 10 within 0 to 20.
    QTest::newRow("value above max") << "value" << 21 << true << true;
    QTest::newRow("value below min") << "value" << -1 << true << true;
    QTest::newRow("value within") << "value" << 20 << true << false;
    QTest::newRow("value above max, bounds off") << "value" << 21 << false << false;
    QTest::newRow("min above value") << "min" << 11 << true << true;
    QTest::newRow("min at value") << "min" << 10 << true << false;
    QTest::newRow("max below value") << "max" << 9 << true << true;
    QTest::newRow("max below value, bounds off") << "max" << 9 << false << false;
}

void TestValCtrls::setters()
{
    QFETCH(QString, setter);
    QFETCH(int, argument);
    QFETCH(bool, useBounds);
    QFETCH(bool, throws);

    TIntegerEdit edit;
    edit.SetMaxValue(20);
    edit.SetValue(10);
    edit.SetUseBounds(useBounds);

    bool thrown = false;
    try {
        if (setter == QLatin1String("value"))
            edit.SetValue(argument);
        else if (setter == QLatin1String("min"))
            edit.SetMinValue(argument);
        else
            edit.SetMaxValue(argument);
    } catch (const ERangeError &e) {
        thrown = true;
        QCOMPARE(QString::fromLatin1(e.what()), QStringLiteral("Invalid input value."));
    }
    QCOMPARE(thrown, throws);
    if (throws) {
        QCOMPARE(edit.text(), QStringLiteral("10"));
        QCOMPARE(edit.MinValue(), 0);
        QCOMPARE(edit.MaxValue(), 20);
    } else if (setter == QLatin1String("value")) {
        QCOMPARE(edit.text(), QString::number(argument));
    }
}

void TestValCtrls::onInvalidMayLetGo()
{
    TIntegerEdit edit;
    edit.SetBeepOnInvalid(false);
    edit.SetOnInvalid([](QObject *, bool &canLeave) { canLeave = true; });
    edit.setText(QStringLiteral("x"));
    QVERIFY(edit.CheckValid());
    QVERIFY(!edit.IsValid());
}

void TestValCtrls::leaving_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("staysInEdit");
    QTest::addColumn<int>("value");
    QTest::newRow("valid number leaves") << "17" << false << 17;
    QTest::newRow("300 above 250 stays, value 300") << "300" << true << 300;
    QTest::newRow("not a number stays") << "1x" << true << 5;
    QTest::newRow("empty leaves with the last value") << "" << false << 5;
}

void TestValCtrls::leaving()
{
    QFETCH(QString, text);
    QFETCH(bool, staysInEdit);
    QFETCH(int, value);

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *edit = new TIntegerEdit(&window);
    auto *next = new TIntegerEdit(&window);
    layout->addWidget(edit);
    layout->addWidget(next);
    edit->SetMaxValue(250);
    edit->SetValue(5);
    edit->SetUseBounds(true);
    edit->SetBeepOnInvalid(false);
    int invalidCalls = 0;
    edit->SetOnInvalid([&](QObject *, bool &) { ++invalidCalls; });

    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    edit->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY(edit->hasFocus());

    edit->setText(text);
    QTest::keyClick(edit, Qt::Key_Tab);
    QTRY_COMPARE(QApplication::focusWidget(), staysInEdit ? edit : next);
    QCOMPARE(invalidCalls, staysInEdit ? 1 : 0);
    QCOMPARE(edit->LastValue(), value);

    // A mouse click elsewhere is leaving too.
    if (staysInEdit) {
        QTest::mouseClick(next, Qt::LeftButton);
        QTRY_COMPARE(QApplication::focusWidget(), edit);
        QCOMPARE(invalidCalls, 2);
    }
}

void TestValCtrls::windowDeactivationIsNotLeaving()
{
    QWidget window;
    auto *edit = new TIntegerEdit(&window);
    edit->SetMaxValue(250);
    edit->SetUseBounds(true);
    edit->SetBeepOnInvalid(false);
    int invalidCalls = 0;
    edit->SetOnInvalid([&](QObject *, bool &) { ++invalidCalls; });
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    edit->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY(edit->hasFocus());
    edit->setText(QStringLiteral("300"));

    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QCOMPARE(invalidCalls, 0);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestValCtrls test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_valctrls.moc"
