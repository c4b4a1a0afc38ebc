#include "frontend/kit/QAHistogramView.h"

#include <QEvent>
#include <QHelpEvent>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kMargin = 6;
constexpr int kTickLength = 4;
constexpr int kIntervals = 4;  // grid lines above the base line, at most

// A step of 1, 2 or 5 times a power of ten so that top fits in kIntervals steps.
qint64 niceStep(qint64 maxValue) {
    if (maxValue <= kIntervals)
        return 1;
    const double raw = double(maxValue) / kIntervals;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (;;) {
        for (double factor : {1.0, 2.0, 2.5, 5.0}) {
            const double step = factor * magnitude;
            if (step != std::floor(step))
                continue;  // 2.5 only from 25 up: steps are whole numbers
            if (step >= raw)
                return qint64(step);
        }
        magnitude *= 10.0;
    }
}

}  // namespace

QAHistogramView::QAHistogramView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setMouseTracking(true);
}

void QAHistogramView::setDataSource(const QAHistogramViewDataSource* source) {
    source_ = source;
    update();
}

void QAHistogramView::setVerticalLabel(const QString& label) {
    verticalLabel_ = label;
    update();
}

void QAHistogramView::setHorizontalLabel(const QString& label) {
    horizontalLabel_ = label;
    update();
}

void QAHistogramView::setInterColumnWidth(double width) {
    interColumnWidth_ = std::max(0.0, width);
    update();
}

qint64 QAHistogramView::scaleTop(qint64 maxValue) {
    if (maxValue <= kIntervals)
        return kIntervals;
    const qint64 step = niceStep(maxValue);
    return (maxValue + step - 1) / step * step;
}

QSize QAHistogramView::sizeHint() const { return {520, 240}; }
QSize QAHistogramView::minimumSizeHint() const { return {300, 160}; }

QRect QAHistogramView::plotRect() const {
    const QFontMetrics fm(font());
    const qint64 top = source_ ? scaleTop(source_->maxValueInHistogramView(this)) : kIntervals;
    const int tickWidth = fm.horizontalAdvance(QLocale().toString(top)) + kTickLength + 4;
    const int left = kMargin + (verticalLabel_.trimmed().isEmpty() ? 0 : fm.height() + 4) + tickWidth;
    const int legendHeight = fm.height() + 8;
    const int bottomSpace = fm.height() + 6 + (horizontalLabel_.trimmed().isEmpty() ? 0 : fm.height() + 2);
    return QRect(left, kMargin + legendHeight, std::max(10, width() - left - kMargin - 2),
                 std::max(10, height() - kMargin - legendHeight - bottomSpace));
}

int QAHistogramView::sampleAt(const QPoint& point) const {
    if (!source_)
        return -1;
    const int samples = source_->numberOfSamplesInHistogramView(this);
    const QRect plot = plotRect();
    if (samples <= 0 || point.x() < plot.left() || point.x() > plot.right() || point.y() < plot.top() ||
        point.y() > plot.bottom() + QFontMetrics(font()).height() + 6)
        return -1;
    const int index = int((point.x() - plot.left()) * double(samples) / plot.width());
    return std::clamp(index, 0, samples - 1);
}

void QAHistogramView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QPalette pal = palette();
    const QColor text = pal.color(QPalette::WindowText);
    QColor grid = text;
    grid.setAlpha(40);
    QColor axis = text;
    axis.setAlpha(140);
    const QFontMetrics fm(font());

    p.fillRect(rect(), pal.color(QPalette::Base));
    const QRect plot = plotRect();
    const int samples = source_ ? std::max(0, source_->numberOfSamplesInHistogramView(this)) : 0;
    const int valuesPerSample = source_ ? std::clamp(source_->numberOfValuesPerSampleInHistogramView(this), 1, 2) : 1;
    const qint64 maxValue = source_ ? std::max<qint64>(0, source_->maxValueInHistogramView(this)) : 0;
    const qint64 top = scaleTop(maxValue);
    const qint64 step = niceStep(maxValue);

    // Vertical label, turned to read upwards.
    if (!verticalLabel_.trimmed().isEmpty()) {
        p.save();
        p.setPen(text);
        p.translate(kMargin + fm.ascent(), plot.center().y());
        p.rotate(-90);
        const int w = fm.horizontalAdvance(verticalLabel_);
        p.drawText(QPoint(-w / 2, 0), verticalLabel_);
        p.restore();
    }

    // Scale and grid.
    for (qint64 v = 0; v <= top; v += step) {
        const int y = plot.bottom() - int(std::lround(double(v) / double(top) * plot.height()));
        p.setPen(v == 0 ? axis : grid);
        p.drawLine(plot.left(), y, plot.right(), y);
        p.setPen(axis);
        p.drawLine(plot.left() - kTickLength, y, plot.left(), y);
        p.setPen(text);
        const QString label = QLocale().toString(v);
        p.drawText(QRect(0, y - fm.height() / 2, plot.left() - kTickLength - 3, fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, label);
    }
    p.setPen(axis);
    p.drawLine(plot.left(), plot.top(), plot.left(), plot.bottom());

    const std::array<QColor, 2> colours =
        source_ ? source_->attributesForSampleInHistogramView(this) : std::array<QColor, 2>{Qt::red, Qt::green};

    // Columns and their labels.
    if (samples > 0) {
        const double columnWidth = double(plot.width()) / samples;
        const double gap = std::min(interColumnWidth_, columnWidth * 0.5);
        QFont boldFont = font();
        boldFont.setBold(true);
        int lastLabelRight = -1;
        for (int i = 0; i < samples; ++i) {
            const double x0 = plot.left() + i * columnWidth;
            const std::array<qint64, 2> values = source_->histogramViewSampleAtIndex(this, i);
            double base = plot.bottom();
            for (int slot = 0; slot < 2; ++slot) {
                if (slot >= valuesPerSample && valuesPerSample == 1)
                    break;
                const qint64 value = std::max<qint64>(0, values[size_t(slot)]);
                if (value == 0)
                    continue;
                const double h = double(value) / double(top) * plot.height();
                const QRectF bar(x0 + gap / 2, base - h, columnWidth - gap, h);
                p.fillRect(bar, colours[size_t(slot)]);
                p.setPen(colours[size_t(slot)].darker(130));
                p.drawRect(bar.adjusted(0, 0, -1, 0));
                base -= h;
            }
            const QAHistogramLabel label = source_->histogramViewLabelForSampleAtIndex(this, i);
            if (label.text.isEmpty())
                continue;
            p.setFont(label.bold ? boldFont : font());
            const QFontMetrics lfm(p.font());
            const int w = lfm.horizontalAdvance(label.text);
            const int cx = int(x0 + columnWidth / 2);
            const int lx = std::clamp(cx - w / 2, 0, std::max(0, width() - w));
            if (lx <= lastLabelRight + 2)
                continue;  // would overlap its left neighbour: left out
            p.setPen(text);
            p.drawText(QPoint(lx, plot.bottom() + 4 + lfm.ascent()), label.text);
            lastLabelRight = lx + w;
            p.setPen(axis);
            p.drawLine(cx, plot.bottom(), cx, plot.bottom() + 3);
        }
        p.setFont(font());
    }
    if (!horizontalLabel_.trimmed().isEmpty()) {
        p.setPen(text);
        p.drawText(QRect(plot.left(), height() - kMargin - fm.height(), plot.width(), fm.height()), Qt::AlignCenter,
                   horizontalLabel_);
    }
    if (maxValue == 0) {
        QColor faint = text;
        faint.setAlpha(130);
        p.setPen(faint);
        p.drawText(plot, Qt::AlignCenter, tr("No messages in this period"));
    }

    // Legend, right-aligned above the plot.
    if (source_) {
        const QStringList names = source_->legendForValuesInHistogramView(this);
        int x = plot.right();
        const int y = kMargin;
        const int box = fm.height() - 4;
        for (int slot = std::min<int>(names.size(), 2) - 1; slot >= 0; --slot) {
            if (names[slot].isEmpty())
                continue;
            const int w = fm.horizontalAdvance(names[slot]);
            x -= w;
            p.setPen(text);
            p.drawText(QPoint(x, y + fm.ascent() + 1), names[slot]);
            x -= box + 5;
            const QRect swatch(x, y + (fm.height() - box) / 2 + 1, box, box);
            p.fillRect(swatch, colours[size_t(slot)]);
            p.setPen(colours[size_t(slot)].darker(130));
            p.drawRect(swatch.adjusted(0, 0, -1, -1));
            x -= 14;
        }
    }
}

bool QAHistogramView::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && source_) {
        auto* help = static_cast<QHelpEvent*>(event);
        const int index = sampleAt(help->pos());
        const QString tip = index >= 0 ? source_->toolTipForSampleAtIndex(this, index) : QString();
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, this);
        return true;
    }
    return QWidget::event(event);
}
