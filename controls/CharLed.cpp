#include "CharLed.h"

#include <QtGui/QPainter>
#include <QtGui/QPalette>
#include <QtGui/QPen>

using L = TLed;

const std::array<TLeds, kCharCount> CharToLedsTable = {{
    /* ch0       */ {L::_0, L::_1, L::_2, L::_4, L::_5, L::_6},
    /* ch1       */ {L::_2, L::_5},
    /* ch2       */ {L::_0, L::_2, L::_3, L::_4, L::_6},
    /* ch3       */ {L::_0, L::_2, L::_3, L::_5, L::_6},
    /* ch4       */ {L::_1, L::_2, L::_3, L::_5},
    /* ch5       */ {L::_0, L::_1, L::_3, L::_5, L::_6},
    /* ch6       */ {L::_0, L::_1, L::_3, L::_4, L::_5, L::_6},
    /* ch7       */ {L::_0, L::_2, L::_5},
    /* ch8       */ {L::_0, L::_1, L::_2, L::_3, L::_4, L::_5, L::_6},
    /* ch9       */ {L::_0, L::_1, L::_2, L::_3, L::_5, L::_6},
    /* chNone    */ {},
    /* chColon   */ {L::_7, L::_8},
    /* chLoPoint */ {L::_8},
    /* chUpPoint */ {L::_7},
    /* chC       */ {L::_0, L::_1, L::_4, L::_6},
    /* chE       */ {L::_0, L::_1, L::_3, L::_4, L::_6},
    /* chF       */ {L::_0, L::_1, L::_3, L::_4},
    /* chG       */ {L::_0, L::_1, L::_3, L::_4, L::_5, L::_6},
    /* chH       */ {L::_1, L::_2, L::_3, L::_4, L::_5},
    /* chJ       */ {L::_2, L::_4, L::_5, L::_6},
    /* chL       */ {L::_1, L::_4, L::_6},
    /* chP       */ {L::_0, L::_1, L::_2, L::_3, L::_4},
    /* chR       */ {L::_0, L::_1, L::_2, L::_3, L::_4, L::_5},
    /* chU       */ {L::_1, L::_2, L::_4, L::_5, L::_6},
}};

namespace {

// Up to this pen width the outline's far margin takes the odd pixel, so a
// thin outline stays inside the control on the right and at the bottom.
constexpr int kMaxWidthForOddMargin = 6;

} // namespace

TCharLed::TCharLed(QWidget *parent)
    : QFrame(parent)
    , FLeds(CharToLeds(ch8))
    , FCharColor(Qt::green)
    , FBorderColor(Qt::black)
{
    setFrameShape(QFrame::NoFrame);
    resize(kDefaultWidth, kDefaultHeight);
}

TLeds TCharLed::CharToLeds(TChar c)
{
    const auto index = static_cast<size_t>(c);
    return index < CharToLedsTable.size() ? CharToLedsTable[index] : TLeds();
}

TChar TCharLed::LedsToChar(TLeds leds)
{
    for (size_t i = 0; i < CharToLedsTable.size(); ++i) {
        if (CharToLedsTable[i] == leds)
            return static_cast<TChar>(i);
    }
    return chNone;
}

void TCharLed::SetChar(TChar c)
{
    if (c == GetChar())
        return;
    FLeds = CharToLeds(c);
    update();
}

void TCharLed::SetLeds(TLeds leds)
{
    if (leds == FLeds)
        return;
    FLeds = leds;
    update();
}

void TCharLed::SetCharWidth(int width)
{
    if (width == FCharWidth)
        return;
    FCharWidth = width;
    update();
}

void TCharLed::SetCharHeight(int height)
{
    if (height == FCharHeight)
        return;
    FCharHeight = height;
    update();
}

void TCharLed::SetCharColor(const QColor &color)
{
    if (color == FCharColor)
        return;
    FCharColor = color;
    update();
}

void TCharLed::SetBorderColor(const QColor &color)
{
    if (color == FBorderColor)
        return;
    FBorderColor = color;
    update();
}

void TCharLed::SetBorderWidth(int width)
{
    if (width == FBorderWidth || width <= 0)
        return;
    FBorderWidth = width;
    update();
}

QColor TCharLed::Color() const
{
    return palette().color(QPalette::Window);
}

void TCharLed::SetColor(const QColor &color)
{
    QPalette p = palette();
    p.setColor(QPalette::Window, color);
    setPalette(p);
    update();
}

QPolygon TCharLed::ElementShape(TLed led, int W, int H, int cx, int cy, int bw)
{
    const int a = bw / 2;
    const int e = bw <= kMaxWidthForOddMargin ? bw - a : a;
    const int midY = H / 2;
    const int upperInnerY = (H - cy) / 2; // lower edge of the upper bars
    const int lowerInnerY = (H + cy) / 2; // upper edge of the lower bars
    const int left = a;
    const int right = W - e;
    const int innerLeft = cx + a;
    const int innerRight = W - cx - e;
    const int top = a;
    const int bottom = H - e;

    auto pointRect = [&](int y) {
        const int x = (W - cx + a - e) / 2;
        return QPolygon({QPoint(x, y), QPoint(x + cx, y), QPoint(x + cx, y + cy), QPoint(x, y + cy)});
    };

    switch (led) {
    case TLed::_0:
        return QPolygon({{left, top}, {innerLeft, cy + a}, {innerRight, cy + a}, {right, top}});
    case TLed::_1:
        return QPolygon({{left, top}, {innerLeft, cy + a}, {innerLeft, upperInnerY}, {left, midY}});
    case TLed::_2:
        return QPolygon({{right, top}, {innerRight, cy + a}, {innerRight, upperInnerY}, {right, midY}});
    case TLed::_3:
        return QPolygon({{left, midY},
                         {innerLeft, lowerInnerY},
                         {innerRight, lowerInnerY},
                         {right, midY},
                         {innerRight, upperInnerY},
                         {innerLeft, upperInnerY}});
    case TLed::_4:
        return QPolygon({{left, midY}, {innerLeft, lowerInnerY}, {innerLeft, H - cy - e}, {left, bottom}});
    case TLed::_5:
        return QPolygon({{right, midY}, {innerRight, lowerInnerY}, {innerRight, H - cy - e}, {right, bottom}});
    case TLed::_6:
        return QPolygon({{left, bottom}, {innerLeft, H - cy - e}, {innerRight, H - cy - e}, {right, bottom}});
    case TLed::_7:
        return pointRect((upperInnerY + a) / 2);
    case TLed::_8:
        return pointRect(((H - e - cy) + upperInnerY) / 2);
    }
    return {};
}

QPolygon TCharLed::ElementShape(TLed led) const
{
    return ElementShape(led, width(), height(), FCharWidth, FCharHeight, FBorderWidth);
}

void TCharLed::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Color());
    // The painter is local, so pen and brush go back with it whatever happens.
    painter.setPen(QPen(FBorderColor, FBorderWidth, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    painter.setBrush(FCharColor);
    for (int i = 0; i < kLedCount; ++i) {
        const auto led = static_cast<TLed>(i);
        if (FLeds.contains(led))
            painter.drawPolygon(ElementShape(led));
    }
}
