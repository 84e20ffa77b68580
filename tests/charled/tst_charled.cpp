// The seven-segment character control: its character table, the shapes of
// its elements and what it paints.
#include "CharLed.h"

#include <QtGui/QImage>
#include <QtTest/QtTest>
#include <QtWidgets/QApplication>

Q_DECLARE_METATYPE(TChar)
Q_DECLARE_METATYPE(TLed)

class TstCharLed : public QObject
{
    Q_OBJECT

private slots:
    void characterTable_data();
    void characterTable();
    void setsOutsideTheTable_data();
    void setsOutsideTheTable();
    void charOutsideTheTableLightsNothing();
    void elementShape_data();
    void elementShape();
    void borderWidth_data();
    void borderWidth();
    void painting_data();
    void painting();
};

void TstCharLed::characterTable_data()
{
    QTest::addColumn<TChar>("c");
    QTest::addColumn<int>("bits");
    QTest::addColumn<TChar>("readBack");

    // The lit elements of every character as bit masks (bit n = element n),
    // from the maker's character table.
    const struct
    {
        const char *name;
        TChar c;
        int bits;
        TChar readBack;
    } rows[] = {
        {"0 = 077", ch0, 0x077, ch0},
        {"1 = 024", ch1, 0x024, ch1},
        {"2 = 05D", ch2, 0x05D, ch2},
        {"3 = 06D", ch3, 0x06D, ch3},
        {"4 = 02E", ch4, 0x02E, ch4},
        {"5 = 06B", ch5, 0x06B, ch5},
        {"6 = 07B", ch6, 0x07B, ch6},
        {"7 = 025", ch7, 0x025, ch7},
        {"8 = 07F", ch8, 0x07F, ch8},
        {"9 = 06F", ch9, 0x06F, ch9},
        {"none = 000", chNone, 0x000, chNone},
        {"colon = 180", chColon, 0x180, chColon},
        {"low point = 100", chLoPoint, 0x100, chLoPoint},
        {"up point = 080", chUpPoint, 0x080, chUpPoint},
        {"C = 053", chC, 0x053, chC},
        {"E = 05B", chE, 0x05B, chE},
        {"F = 01B", chF, 0x01B, chF},
        {"G = 07B, read back as 6", chG, 0x07B, ch6},
        {"H = 03E", chH, 0x03E, chH},
        {"J = 074", chJ, 0x074, chJ},
        {"L = 052", chL, 0x052, chL},
        {"P = 01F", chP, 0x01F, chP},
        {"R = 03F", chR, 0x03F, chR},
        {"U = 076", chU, 0x076, chU},
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << r.c << r.bits << r.readBack;
}

void TstCharLed::characterTable()
{
    QFETCH(TChar, c);
    QFETCH(int, bits);
    QFETCH(TChar, readBack);

    QCOMPARE(TCharLed::CharToLeds(c).bits(), bits);
    QCOMPARE(TCharLed::LedsToChar(TLeds(static_cast<uint16_t>(bits))), readBack);

    TCharLed led;
    led.SetChar(c);
    QCOMPARE(led.Leds().bits(), bits);
    QCOMPARE(led.GetChar(), readBack);
}

void TstCharLed::setsOutsideTheTable_data()
{
    QTest::addColumn<TLeds>("leds");
    QTest::newRow("minus sign: middle bar only") << TLeds{TLed::_3};
    QTest::newRow("top bar only") << TLeds{TLed::_0};
    QTest::newRow("every element") << TLeds(0x1FF);
    QTest::newRow("8 with the low point") << TLeds(0x17F);
}

void TstCharLed::setsOutsideTheTable()
{
    QFETCH(TLeds, leds);
    QCOMPARE(TCharLed::LedsToChar(leds), chNone);

    // A set of its own is shown as it is and reads back as no character.
    TCharLed led;
    led.SetLeds(leds);
    QCOMPARE(led.Leds(), leds);
    QCOMPARE(led.GetChar(), chNone);
}

void TstCharLed::charOutsideTheTableLightsNothing()
{
    TCharLed led;
    led.SetChar(static_cast<TChar>(kCharCount));
    QVERIFY(led.Leds().isEmpty());
}

void TstCharLed::elementShape_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("borderWidth");
    QTest::addColumn<TLed>("element");
    QTest::addColumn<QPolygon>("shape");

    const QSize digit(33, 49);
    // Hand-computed from the geometry rules with 8-pixel bars.
    QTest::newRow("top bar, default control")
        << digit << 2 << TLed::_0 << QPolygon({{1, 1}, {9, 9}, {24, 9}, {32, 1}});
    QTest::newRow("upper left bar, default control")
        << digit << 2 << TLed::_1 << QPolygon({{1, 1}, {9, 9}, {9, 20}, {1, 24}});
    QTest::newRow("middle bar, default control")
        << digit << 2 << TLed::_3 << QPolygon({{1, 24}, {9, 28}, {24, 28}, {32, 24}, {24, 20}, {9, 20}});
    QTest::newRow("lower right bar, default control")
        << digit << 2 << TLed::_5 << QPolygon({{32, 24}, {24, 28}, {24, 40}, {32, 48}});
    QTest::newRow("upper point, default control")
        << digit << 2 << TLed::_7 << QPolygon({{12, 10}, {20, 10}, {20, 18}, {12, 18}});
    QTest::newRow("lower point, default control")
        << digit << 2 << TLed::_8 << QPolygon({{12, 30}, {20, 30}, {20, 38}, {12, 38}});
    QTest::newRow("lower point, 16 wide decimal point")
        << QSize(16, 49) << 2 << TLed::_8 << QPolygon({{4, 30}, {12, 30}, {12, 38}, {4, 38}});
    // Odd widths up to 6 give the far margin the extra pixel; wider ones do not.
    QTest::newRow("bottom bar, border 5: far margin 3")
        << digit << 5 << TLed::_6 << QPolygon({{2, 46}, {10, 38}, {22, 38}, {30, 46}});
    QTest::newRow("top bar, border 7: both margins 3")
        << digit << 7 << TLed::_0 << QPolygon({{3, 3}, {11, 11}, {22, 11}, {30, 3}});
}

void TstCharLed::elementShape()
{
    QFETCH(QSize, size);
    QFETCH(int, borderWidth);
    QFETCH(TLed, element);
    QFETCH(QPolygon, shape);

    TCharLed led;
    led.resize(size);
    led.SetBorderWidth(borderWidth);
    QCOMPARE(led.ElementShape(element), shape);
}

void TstCharLed::borderWidth_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("expected");
    QTest::newRow("0 is ignored") << 0 << 2;
    QTest::newRow("-1 is ignored") << -1 << 2;
    QTest::newRow("-100 is ignored") << -100 << 2;
    QTest::newRow("1 is taken") << 1 << 1;
    QTest::newRow("9 is taken") << 9 << 9;
}

void TstCharLed::borderWidth()
{
    QFETCH(int, width);
    QFETCH(int, expected);
    TCharLed led;
    QCOMPARE(led.BorderWidth(), 2);
    led.SetBorderWidth(width);
    QCOMPARE(led.BorderWidth(), expected);
}

void TstCharLed::painting_data()
{
    QTest::addColumn<TChar>("c");
    QTest::addColumn<TLed>("element");
    QTest::addColumn<bool>("lit");
    QTest::newRow("1 lights the upper right bar") << ch1 << TLed::_2 << true;
    QTest::newRow("1 leaves the upper left bar dark") << ch1 << TLed::_1 << false;
    QTest::newRow("8 lights the middle bar") << ch8 << TLed::_3 << true;
    QTest::newRow("8 leaves the lower point dark") << ch8 << TLed::_8 << false;
    QTest::newRow("low point lights the lower point") << chLoPoint << TLed::_8 << true;
    QTest::newRow("low point leaves the bottom bar dark") << chLoPoint << TLed::_6 << false;
    QTest::newRow("none leaves the top bar dark") << chNone << TLed::_0 << false;
}

void TstCharLed::painting()
{
    QFETCH(TChar, c);
    QFETCH(TLed, element);
    QFETCH(bool, lit);

    TCharLed led;
    led.SetColor(Qt::black);
    led.SetCharColor(Qt::red);
    led.SetChar(c);
    const QImage image = led.grab().toImage();
    const QPoint centre = led.ElementShape(element).boundingRect().center();
    QCOMPARE(QColor(image.pixel(centre)), lit ? QColor(Qt::red) : QColor(Qt::black));
    // The outline is drawn in the border colour around a lit element.
    QCOMPARE(QColor(image.pixel(0, 0)), QColor(Qt::black));
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TstCharLed test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_charled.moc"
