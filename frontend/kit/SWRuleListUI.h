#pragma once
// The panel of a header list (the white list and the black list): the rule
// table with status, header, method and value, "Learn", and for the white list
// "Use AddressBook". Every edit is saved and announced at once; a sender the
// engine learned shows up as soon as the engine says so.

#include "frontend/kit/SWPlugInUI.h"

#include <QAbstractTableModel>
#include <QVariantList>

namespace Ui {
class SWRuleListView;
}

// The rules of a list ("Settings" → "Array") as a table model.
class SWRuleTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { StatusColumn, KeyColumn, MethodColumn, ValueColumn, ColumnCount };

    explicit SWRuleTableModel(QObject* parent = nullptr);
    void setRules(const QVariantList& rules);
    const QVariantList& rules() const { return rules_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    // A new active rule "From contains …" at the end; its row.
    int addRule();
    void removeRows(QList<int> rows);

    // Names of the match methods 0 to 4.
    static QStringList methodNames();
    // Why a rule can never match, or empty when it can.
    static QString ruleProblem(const QVariantMap& rule);

signals:
    void rulesEdited();

private:
    QVariantList rules_;
};

class SWRuleListUI : public SWPlugInUI {
    Q_OBJECT
public:
    explicit SWRuleListUI(bool whiteList);
    ~SWRuleListUI() override;
    SWRuleTableModel* model() const { return model_; }

protected:
    QWidget* settingsView() override;
    void preferencesDidLearn(const platform::Notification& notification) override;
    void interfaceWillUpdate(QObject* sender) override;
    void pluginDidFinishLoading() override;

private:
    void refresh();
    void save();

    bool whiteList_;
    std::unique_ptr<Ui::SWRuleListView> ui_;
    SWRuleTableModel* model_ = nullptr;
    bool refreshing_ = false;
};
