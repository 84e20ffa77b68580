// One seven-segment character position with two points, drawn as filled
// polygons: the large digits of the readings.
#pragma once

#include <QtGui/QColor>
#include <QtGui/QPolygon>
#include <QtWidgets/QFrame>
#include <array>
#include <cstdint>
#include <initializer_list>

// The nine drawable elements of one position: seven bars and two points.
enum class TLed : uint8_t {
    _0, // top bar
    _1, // upper left bar
    _2, // upper right bar
    _3, // middle bar
    _4, // lower left bar
    _5, // lower right bar
    _6, // bottom bar
    _7, // upper point
    _8, // lower point
};
constexpr int kLedCount = 9;

// A set of lit elements; bit n is element _n.
class TLeds
{
public:
    constexpr TLeds() = default;
    constexpr explicit TLeds(uint16_t bits)
        : m_bits(static_cast<uint16_t>(bits & kAllBits))
    {
    }
    constexpr TLeds(std::initializer_list<TLed> leds)
    {
        for (TLed led : leds)
            m_bits = static_cast<uint16_t>(m_bits | bit(led));
    }

    constexpr uint16_t bits() const { return m_bits; }
    constexpr bool contains(TLed led) const { return (m_bits & bit(led)) != 0; }
    constexpr bool isEmpty() const { return m_bits == 0; }
    constexpr bool operator==(TLeds other) const { return m_bits == other.m_bits; }
    constexpr bool operator!=(TLeds other) const { return m_bits != other.m_bits; }

private:
    static constexpr uint16_t kAllBits = (1u << kLedCount) - 1;
    static constexpr uint16_t bit(TLed led) { return static_cast<uint16_t>(1u << static_cast<unsigned>(led)); }
    uint16_t m_bits = 0;
};

// The characters a position can show. The values are stored and passed as
// plain bytes (a digit value 0..9 is its own character), so they are fixed.
enum TChar : uint8_t {
    ch0 = 0, ch1, ch2, ch3, ch4, ch5, ch6, ch7, ch8, ch9,
    chNone = 10,
    chColon = 11,
    chLoPoint = 12,
    chUpPoint = 13,
    chC = 14,
    chE = 15,
    chF = 16,
    chG = 17, // the same pattern as ch6: reading it back gives ch6
    chH = 18,
    chJ = 19,
    chL = 20,
    chP = 21,
    chR = 22,
    chU = 23,
};
constexpr int kCharCount = 24;

extern const std::array<TLeds, kCharCount> CharToLedsTable;

class TCharLed : public QFrame
{
    Q_OBJECT
    Q_PROPERTY(int CharWidth READ CharWidth WRITE SetCharWidth)
    Q_PROPERTY(int CharHeight READ CharHeight WRITE SetCharHeight)
    Q_PROPERTY(int Char READ charValue WRITE setCharValue)
    Q_PROPERTY(int Leds READ ledsBits WRITE setLedsBits)
    Q_PROPERTY(QColor CharColor READ CharColor WRITE SetCharColor)
    Q_PROPERTY(QColor BorderColor READ BorderColor WRITE SetBorderColor)
    Q_PROPERTY(int BorderWidth READ BorderWidth WRITE SetBorderWidth)
    Q_PROPERTY(QColor Color READ Color WRITE SetColor)

public:
    static constexpr int kDefaultWidth = 33;
    static constexpr int kDefaultHeight = 49;
    static constexpr int kDefaultBarThickness = 8;
    static constexpr int kDefaultBorderWidth = 2;

    explicit TCharLed(QWidget *parent = nullptr);

    // The pattern of a character; a value outside the table lights nothing.
    static TLeds CharToLeds(TChar c);
    // The first character, from ch0 upward, whose pattern is exactly the set;
    // chNone when none is.
    static TChar LedsToChar(TLeds leds);

    TChar GetChar() const { return LedsToChar(FLeds); }
    void SetChar(TChar c);
    TLeds Leds() const { return FLeds; }
    void SetLeds(TLeds leds);

    int CharWidth() const { return FCharWidth; }
    void SetCharWidth(int width);
    int CharHeight() const { return FCharHeight; }
    void SetCharHeight(int height);
    QColor CharColor() const { return FCharColor; }
    void SetCharColor(const QColor &color);
    QColor BorderColor() const { return FBorderColor; }
    void SetBorderColor(const QColor &color);
    int BorderWidth() const { return FBorderWidth; }
    // Widths of 0 or less are ignored: the outline needs a pen.
    void SetBorderWidth(int width);

    // The background behind unlit elements.
    QColor Color() const;
    void SetColor(const QColor &color);

    // The outline of one element in a position of the given client size:
    // bars as their corner points, points as the four corners of their
    // rectangle (inclusive pixel extents).
    static QPolygon ElementShape(TLed led, int width, int height, int charWidth, int charHeight,
                                 int borderWidth);
    QPolygon ElementShape(TLed led) const;

    QSize sizeHint() const override { return {kDefaultWidth, kDefaultHeight}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int charValue() const { return GetChar(); }
    void setCharValue(int value) { SetChar(static_cast<TChar>(value)); }
    int ledsBits() const { return FLeds.bits(); }
    void setLedsBits(int bits) { SetLeds(TLeds(static_cast<uint16_t>(bits))); }

    TLeds FLeds;
    int FCharWidth = kDefaultBarThickness;
    int FCharHeight = kDefaultBarThickness;
    QColor FCharColor;
    QColor FBorderColor;
    int FBorderWidth = kDefaultBorderWidth;
};
