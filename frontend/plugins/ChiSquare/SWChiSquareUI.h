#pragma once
// The Chi-Square filter's panel: its spam and ham cutoffs and how much it must
// learn before it judges. Cutoffs in the wrong order are not saved.

#include "frontend/kit/SWPlugInUI.h"

namespace Ui {
class SWChiSquareView;
}

class SWChiSquareUI : public SWPlugInUI {
    Q_OBJECT
public:
    SWChiSquareUI();
    ~SWChiSquareUI() override;

protected:
    QWidget* settingsView() override;
    void interfaceWillUpdate(QObject* sender) override;
    void pluginDidFinishLoading() override;

private:
    void refresh();
    void save();

    std::unique_ptr<Ui::SWChiSquareView> ui_;
    bool refreshing_ = false;
};
