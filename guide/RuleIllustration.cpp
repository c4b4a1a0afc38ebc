#include "guide/RuleIllustration.h"

#include "guide/SWGeneralGrayRoundedFrameView.h"

#include <QPainter>

RuleIllustration::RuleIllustration(QWidget* parent) : QWidget(parent) { setMinimumSize(240, 200); }

void RuleIllustration::paintEvent(QPaintEvent*) {
    using namespace QuillonExtensions;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF window = QRectF(rect()).adjusted(4, 4, -4, -4);
    const QColor text(0x30, 0x30, 0x30), highlight(0x3d, 0x7e, 0xd8);

    // A window with a title bar.
    painter.fillPath(roundedRect(window, 6), Qt::white);
    const QRectF bar(window.left(), window.top(), window.width(), 22);
    fillLinearGradient(painter, roundedRect(bar, 6), QColor(0xe8, 0xe8, 0xe8), QColor(0xc8, 0xc8, 0xc8));
    painter.setPen(QColor(0x90, 0x90, 0x90));
    painter.drawPath(roundedRect(window, 6));
    painter.setPen(text);
    const bool list = property("step").toInt() == 2;
    painter.drawText(bar, Qt::AlignCenter, list ? tr("Rules") : tr("Edit Rule"));

    const QFontMetricsF metrics(font());
    const qreal rowHeight = metrics.height() + 10;
    qreal y = bar.bottom() + 10;
    const qreal left = window.left() + 12, width = window.width() - 24;
    if (list) {
        const QStringList rules{QStringLiteral("Junkward"), tr("Mailing lists"), tr("Family"), tr("Receipts")};
        for (qsizetype i = 0; i < rules.size(); ++i, y += rowHeight) {
            const QRectF row(left, y, width, rowHeight - 2);
            if (i == 0)
                painter.fillPath(roundedRect(row, 3), highlight);
            painter.setPen(i == 0 ? Qt::white : text);
            painter.drawText(row.adjusted(26, 0, 0, 0), Qt::AlignVCenter, rules[i]);
            // Every rule enabled: a ticked box.
            const QRectF box(row.left() + 6, row.center().y() - 6, 12, 12);
            painter.fillPath(roundedRect(box, 2), QColor(Qt::white));
            painter.setPen(QPen(i == 0 ? highlight : text, 1.6));
            painter.drawPolyline(QPolygonF{{box.left() + 2.5, box.center().y()},
                                           {box.center().x() - 1, box.bottom() - 2.5},
                                           {box.right() - 2, box.top() + 2.5}});
        }
        // The rule moves to the top of the list.
        painter.fillPath(triangle(QRectF(window.left() + 2, bar.bottom() + 14, 8, 10)), highlight);
        return;
    }
    const QList<QPair<QString, QString>> rows{{tr("Rule name:"), QStringLiteral("Junkward")},
                                              {tr("If:"), tr("All messages")},
                                              {tr("Then:"), tr("Run script \"Junkward Check Spam\"")}};
    for (const auto& [label, value] : rows) {
        painter.setPen(text);
        painter.drawText(QRectF(left, y, width, rowHeight), Qt::AlignVCenter, label);
        y += rowHeight;
        const QRectF field(left + 8, y, width - 8, rowHeight - 2);
        painter.fillPath(roundedRect(field, 3), QColor(0xee, 0xf3, 0xfb));
        painter.setPen(highlight);
        painter.drawPath(roundedRect(field, 3));
        painter.setPen(text);
        painter.drawText(field.adjusted(6, 0, -4, 0), Qt::AlignVCenter,
                         metrics.elidedText(value, Qt::ElideRight, field.width() - 10));
        y += rowHeight + 2;
    }
}
