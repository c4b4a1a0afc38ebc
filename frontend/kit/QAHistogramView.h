#pragma once
// A histogram of stacked bars drawn with QPainter: a vertical axis with a
// rounded scale and grid lines, one column per sample with up to two stacked
// values, a label under the columns, a legend and a tool tip per column.
// The numbers come from a data source that the view does not own.

#include <QColor>
#include <QFont>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>

class QAHistogramView;

// The label under one column: the text and whether it is drawn in bold.
struct QAHistogramLabel {
    QString text;
    bool bold = false;
};

class QAHistogramViewDataSource {
public:
    virtual ~QAHistogramViewDataSource() = default;
    virtual int numberOfSamplesInHistogramView(const QAHistogramView* view) const = 0;
    // 1 or 2.
    virtual int numberOfValuesPerSampleInHistogramView(const QAHistogramView* view) const = 0;
    // The values of one column, stacked from the bottom in slot order.
    virtual std::array<qint64, 2> histogramViewSampleAtIndex(const QAHistogramView* view, int index) const = 0;
    virtual qint64 maxValueInHistogramView(const QAHistogramView* view) const = 0;
    // The colour of each value slot.
    virtual std::array<QColor, 2> attributesForSampleInHistogramView(const QAHistogramView* view) const = 0;
    virtual QAHistogramLabel histogramViewLabelForSampleAtIndex(const QAHistogramView* view, int index) const = 0;
    // Names of the value slots for the legend; empty strings are left out.
    virtual QStringList legendForValuesInHistogramView(const QAHistogramView* view) const = 0;
    // Text shown when the pointer rests on a column.
    virtual QString toolTipForSampleAtIndex(const QAHistogramView* view, int index) const = 0;
};

class QAHistogramView : public QWidget {
    Q_OBJECT
public:
    explicit QAHistogramView(QWidget* parent = nullptr);

    void setDataSource(const QAHistogramViewDataSource* source);
    const QAHistogramViewDataSource* dataSource() const { return source_; }

    void setVerticalLabel(const QString& label);
    QString verticalLabel() const { return verticalLabel_; }
    void setHorizontalLabel(const QString& label);
    QString horizontalLabel() const { return horizontalLabel_; }
    // Space between two columns, in pixels.
    void setInterColumnWidth(double width);
    double interColumnWidth() const { return interColumnWidth_; }

    // The top of the vertical scale for a largest value: 1, 2, 2.5 or 5 times a
    // power of ten, at least 4 so that an idle period still shows a scale.
    static qint64 scaleTop(qint64 maxValue);
    // The column under a point of the widget, or -1.
    int sampleAt(const QPoint& point) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    QRect plotRect() const;

    const QAHistogramViewDataSource* source_ = nullptr;
    QString verticalLabel_;
    QString horizontalLabel_;
    double interColumnWidth_ = 2.0;
};
