#pragma once
// The pictures of the guide's pages, drawn: the rule being edited (step 1) and
// the rules list with the new rule on top (step 2). The page's .ui file sets the
// dynamic property "step".

#include <QWidget>

class RuleIllustration : public QWidget {
    Q_OBJECT
public:
    explicit RuleIllustration(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {240, 200}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};
