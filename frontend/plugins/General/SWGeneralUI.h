#pragma once
// The engine's panel ("General"): the engine's on/off switch, its built-in
// checks, its notices and the cleaner of the Spam mailbox.

#include "frontend/kit/SWPlugInUI.h"

namespace Ui {
class SWGeneralView;
}
class QCheckBox;

class SWGeneralUI : public SWPlugInUI {
    Q_OBJECT
public:
    SWGeneralUI();
    ~SWGeneralUI() override;

protected:
    QWidget* settingsView() override;
    void interfaceWillUpdate(QObject* sender) override;
    void pluginDidFinishLoading() override;

private:
    void refresh();
    void save();

    std::unique_ptr<Ui::SWGeneralView> ui_;
    bool refreshing_ = false;
};
