#include "guide/SWGeneralGrayRoundedFrameView.h"

#include <QLinearGradient>
#include <QPainter>

namespace QuillonExtensions {

QPainterPath roundedRect(const QRectF& rect, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

QPainterPath triangle(const QRectF& rect) {
    QPainterPath path;
    path.moveTo(rect.topLeft());
    path.lineTo(rect.right(), rect.center().y());
    path.lineTo(rect.bottomLeft());
    path.closeSubpath();
    return path;
}

void fillLinearGradient(QPainter& painter, const QPainterPath& path, const QColor& top, const QColor& bottom) {
    const QRectF box = path.boundingRect();
    QLinearGradient gradient(box.topLeft(), box.bottomLeft());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    painter.fillPath(path, gradient);
}

}  // namespace QuillonExtensions

SWGeneralGrayRoundedFrameView::SWGeneralGrayRoundedFrameView(QWidget* parent) : QWidget(parent) {}

void SWGeneralGrayRoundedFrameView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath frame = QuillonExtensions::roundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8);
    QuillonExtensions::fillLinearGradient(painter, frame, QColor(0xf4, 0xf4, 0xf4), QColor(0xdc, 0xdc, 0xdc));
    painter.setPen(QColor(0x9a, 0x9a, 0x9a));
    painter.drawPath(frame);
}
