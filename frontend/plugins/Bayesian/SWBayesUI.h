#pragma once
// The Bayesian filter's panel: "Automatically Learn", "Clean Periodically" and
// the word maintenance. The words are read from the token store read-only; a
// reset, an added or removed word and an optimisation are requests to the
// engine's filter, which answers when it has carried them out.

#include "frontend/kit/SWPlugInUI.h"

#include "SWBayesWordStore.h"

#include <QAbstractTableModel>
#include <QElapsedTimer>

namespace Ui {
class SWBayesView;
}
class QSortFilterProxyModel;

class SWBayesWordModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { WordColumn, SpamColumn, HamColumn, DateColumn, ColumnCount };
    using QAbstractTableModel::QAbstractTableModel;
    void setWords(std::vector<SWBayesWord> words);
    const std::vector<SWBayesWord>& words() const { return words_; }
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<SWBayesWord> words_;
};

class SWBayesUI : public SWPlugInUI {
    Q_OBJECT
public:
    SWBayesUI();
    ~SWBayesUI() override;

    bool initWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier) override;
    void paneHasBeenSelected(QObject* sender) override;
    // Re-reads the words and totals from the store.
    void refreshWords();
    SWBayesWordModel* wordModel() const { return model_; }
    // The maintenance requests, as the buttons send them.
    bool requestAddWord(const QString& word, qint64 spam, qint64 ham);
    bool requestRemoveWords(const QStringList& words);
    bool requestReset();
    bool requestOptimize();

protected:
    QWidget* settingsView() override;
    void interfaceWillUpdate(QObject* sender) override;
    void pluginDidFinishLoading() override;
    void preferencesDidLearn(const platform::Notification& notification) override;

private:
    void refreshSettings();
    void saveSettings();
    bool postRequest(const char* name, const QVariantMap* userInfo);
    void addWordDialog();
    void removeSelected();
    void confirmReset();
    void scheduleRefresh();

    std::unique_ptr<Ui::SWBayesView> ui_;
    SWBayesWordModel* model_ = nullptr;
    QSortFilterProxyModel* proxy_ = nullptr;
    QTimer* refreshTimer_ = nullptr;
    QElapsedTimer lastRead_;
    bool refreshing_ = false;
    bool cleaning_ = false;
    QList<int> observers_;
};
