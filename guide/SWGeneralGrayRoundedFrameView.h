#pragma once
// The guide window's panel: a grey rounded frame with a soft vertical gradient.

#include <QPainterPath>
#include <QWidget>

// Drawing helpers for rounded panels and plates.
namespace QuillonExtensions {
// A rectangle with rounded corners of radius.
QPainterPath roundedRect(const QRectF& rect, qreal radius);
// A triangle pointing right inside rect (the step markers of the pages).
QPainterPath triangle(const QRectF& rect);
// Fills path with a vertical gradient from top to bottom colour.
void fillLinearGradient(QPainter& painter, const QPainterPath& path, const QColor& top, const QColor& bottom);
}  // namespace QuillonExtensions

class SWGeneralGrayRoundedFrameView : public QWidget {
    Q_OBJECT
public:
    explicit SWGeneralGrayRoundedFrameView(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
