#include "frontend/kit/SWRuleListUI.h"

#include "engine/SWNotifications.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include "ui_SWRuleListView.h"

#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QStyledItemDelegate>

#include <algorithm>
#include <regex.h>

namespace {

constexpr const char* kRulesKey = "Array";
constexpr const char* kLearnKey = "Learn";
constexpr const char* kAddressBookKey = "Use AddressBook";
constexpr const char* kRuleStatus = "Status";
constexpr const char* kRuleKey = "Key";
constexpr const char* kRuleMethod = "Method";
constexpr const char* kRuleValue = "Value";
constexpr int kMethodMatches = 4;

const QStringList& headerNames() {
    static const QStringList names{
        QStringLiteral("From"),          QStringLiteral("To"),      QStringLiteral("Cc"),
        QStringLiteral("Any Recipient"), QStringLiteral("Subject"), QStringLiteral("Reply-To"),
        QStringLiteral("Sender"),        QStringLiteral("List-Id"), QStringLiteral("X-Mailer")};
    return names;
}

// Editors of the header (an editable list of common names) and method columns.
class RuleDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        if (index.column() == SWRuleTableModel::KeyColumn) {
            auto* box = new QComboBox(parent);
            box->setEditable(true);
            box->addItems(headerNames());
            return box;
        }
        if (index.column() == SWRuleTableModel::MethodColumn) {
            auto* box = new QComboBox(parent);
            box->addItems(SWRuleTableModel::methodNames());
            return box;
        }
        return QStyledItemDelegate::createEditor(parent, option, index);
    }
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        if (auto* box = qobject_cast<QComboBox*>(editor)) {
            if (index.column() == SWRuleTableModel::MethodColumn)
                box->setCurrentIndex(index.data(Qt::EditRole).toInt());
            else
                box->setCurrentText(index.data(Qt::EditRole).toString());
            return;
        }
        QStyledItemDelegate::setEditorData(editor, index);
    }
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
        if (auto* box = qobject_cast<QComboBox*>(editor)) {
            if (index.column() == SWRuleTableModel::MethodColumn)
                model->setData(index, box->currentIndex(), Qt::EditRole);
            else
                model->setData(index, box->currentText().trimmed(), Qt::EditRole);
            return;
        }
        QStyledItemDelegate::setModelData(editor, model, index);
    }
};

}  // namespace

SWRuleTableModel::SWRuleTableModel(QObject* parent) : QAbstractTableModel(parent) {}

QStringList SWRuleTableModel::methodNames() {
    return {tr("begins with"), tr("contains"), tr("ends with"), tr("is"), tr("matches")};
}

QString SWRuleTableModel::ruleProblem(const QVariantMap& rule) {
    const QString value = rule.value(QLatin1String(kRuleValue)).toString();
    const int method = rule.value(QLatin1String(kRuleMethod)).toInt();
    if (rule.value(QLatin1String(kRuleKey)).toString().trimmed().isEmpty())
        return tr("This rule names no header and never matches.");
    if (method == kMethodMatches) {
        regex_t re;
        const QByteArray pattern = value.toUtf8();
        if (regcomp(&re, pattern.constData(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0)
            return tr("This pattern is not a valid regular expression and never matches.");
        regfree(&re);
        return {};
    }
    if (method < 0 || method > kMethodMatches)
        return tr("Unknown method: this rule never matches.");
    if (value.toUtf8().size() < 2)
        return tr("The value must be at least two characters long.");
    return {};
}

void SWRuleTableModel::setRules(const QVariantList& rules) {
    beginResetModel();
    rules_.clear();
    for (const QVariant& rule : rules) {
        if (rule.typeId() == QMetaType::QVariantMap)  // anything else in a damaged file is left out
            rules_ << rule;
    }
    endResetModel();
}

int SWRuleTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rules_.size()); }
int SWRuleTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant SWRuleTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rules_.size())
        return {};
    const QVariantMap rule = rules_[index.row()].toMap();
    const QString problem = ruleProblem(rule);
    switch (role) {
    case Qt::CheckStateRole:
        if (index.column() == StatusColumn)
            return platform::plist::boolValue(rule, QLatin1String(kRuleStatus), false) ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (index.column()) {
        case KeyColumn:
            return rule.value(QLatin1String(kRuleKey)).toString();
        case MethodColumn: {
            const int method = rule.value(QLatin1String(kRuleMethod)).toInt();
            if (role == Qt::EditRole)
                return method;
            return methodNames().value(method, tr("(unknown)"));
        }
        case ValueColumn:
            return rule.value(QLatin1String(kRuleValue)).toString();
        default:
            return {};
        }
    case Qt::ToolTipRole:
        return problem.isEmpty() ? QVariant() : QVariant(problem);
    case Qt::ForegroundRole:
        if (!problem.isEmpty() && index.column() != StatusColumn)
            return QColor(190, 30, 30);
        return {};
    default:
        return {};
    }
}

QVariant SWRuleTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case StatusColumn:
        return tr("On");
    case KeyColumn:
        return tr("Header");
    case MethodColumn:
        return tr("Method");
    case ValueColumn:
        return tr("Value");
    default:
        return {};
    }
}

Qt::ItemFlags SWRuleTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (index.column() == StatusColumn)
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable;
}

bool SWRuleTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.row() >= rules_.size())
        return false;
    QVariantMap rule = rules_[index.row()].toMap();
    if (index.column() == StatusColumn && role == Qt::CheckStateRole) {
        rule.insert(QLatin1String(kRuleStatus), value.toInt() == Qt::Checked);
    } else if (role == Qt::EditRole) {
        switch (index.column()) {
        case KeyColumn:
            if (value.toString().isEmpty())
                return false;
            rule.insert(QLatin1String(kRuleKey), value.toString());
            break;
        case MethodColumn:
            rule.insert(QLatin1String(kRuleMethod), qint64(std::clamp(value.toInt(), 0, kMethodMatches)));
            break;
        case ValueColumn:
            rule.insert(QLatin1String(kRuleValue), value.toString());
            break;
        default:
            return false;
        }
    } else {
        return false;
    }
    if (rule == rules_[index.row()].toMap())
        return true;
    rules_[index.row()] = rule;
    emit dataChanged(this->index(index.row(), 0), this->index(index.row(), ColumnCount - 1));
    emit rulesEdited();
    return true;
}

int SWRuleTableModel::addRule() {
    const int row = int(rules_.size());
    beginInsertRows({}, row, row);
    rules_ << QVariantMap{
        {kRuleStatus, true}, {kRuleKey, QStringLiteral("From")}, {kRuleMethod, qint64(1)}, {kRuleValue, QString()}};
    endInsertRows();
    // Not announced yet: an empty value matches nothing; it is saved with its first edit.
    return row;
}

void SWRuleTableModel::removeRows(QList<int> rows) {
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    bool removed = false;
    for (int row : rows) {
        if (row < 0 || row >= rules_.size())
            continue;
        beginRemoveRows({}, row, row);
        rules_.removeAt(row);
        endRemoveRows();
        removed = true;
    }
    if (removed)
        emit rulesEdited();
}

SWRuleListUI::SWRuleListUI(bool whiteList) : whiteList_(whiteList) {}
SWRuleListUI::~SWRuleListUI() = default;

QWidget* SWRuleListUI::settingsView() {
    auto* view = new QWidget;
    ui_ = std::make_unique<Ui::SWRuleListView>();
    ui_->setupUi(view);
    model_ = new SWRuleTableModel(this);
    ui_->rulesTable->setModel(model_);
    ui_->rulesTable->setItemDelegate(new RuleDelegate(ui_->rulesTable));
    ui_->rulesTable->verticalHeader()->hide();
    ui_->rulesTable->verticalHeader()->setDefaultSectionSize(ui_->rulesTable->fontMetrics().height() + 10);
    QHeaderView* header = ui_->rulesTable->horizontalHeader();
    header->setSectionResizeMode(SWRuleTableModel::StatusColumn, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(SWRuleTableModel::KeyColumn, QHeaderView::Interactive);
    header->setSectionResizeMode(SWRuleTableModel::MethodColumn, QHeaderView::Interactive);
    header->setSectionResizeMode(SWRuleTableModel::ValueColumn, QHeaderView::Stretch);
    header->resizeSection(SWRuleTableModel::KeyColumn, 130);
    header->resizeSection(SWRuleTableModel::MethodColumn, 110);
    ui_->explanation->setText(whiteList_ ? tr("Messages matching an active rule are always accepted as good mail. "
                                              "Double-click a cell to change it.")
                                         : tr("Messages matching an active rule are treated as spam, unless the white "
                                              "list accepts them. Double-click a cell to change it."));
    ui_->addressBookCheck->setVisible(whiteList_);

    connect(model_, &SWRuleTableModel::rulesEdited, this, [this] { save(); });
    connect(ui_->addButton, &QPushButton::clicked, this, [this] {
        const int row = model_->addRule();
        const QModelIndex value = model_->index(row, SWRuleTableModel::ValueColumn);
        ui_->rulesTable->setCurrentIndex(value);
        ui_->rulesTable->edit(value);
        ui_->countLabel->setText(tr("%n rule(s)", nullptr, model_->rowCount()));
    });
    auto removeSelected = [this] {
        QList<int> rows;
        for (const QModelIndex& index : ui_->rulesTable->selectionModel()->selectedRows())
            rows << index.row();
        model_->removeRows(rows);
    };
    connect(ui_->removeButton, &QPushButton::clicked, this, removeSelected);
    auto* addAction = new QAction(view);
    addAction->setShortcut(QKeySequence::New);
    addAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(addAction, &QAction::triggered, ui_->addButton, &QPushButton::click);
    view->addAction(addAction);
    auto* removeAction = new QAction(ui_->rulesTable);
    removeAction->setShortcut(QKeySequence::Delete);
    removeAction->setShortcutContext(Qt::WidgetShortcut);
    connect(removeAction, &QAction::triggered, this, removeSelected);
    ui_->rulesTable->addAction(removeAction);
    connect(ui_->learnCheck, &QCheckBox::toggled, this, [this] { save(); });
    connect(ui_->addressBookCheck, &QCheckBox::toggled, this, [this] { save(); });
    return view;
}

void SWRuleListUI::pluginDidFinishLoading() { refresh(); }

void SWRuleListUI::refresh() {
    if (!ui_)
        return;
    refreshing_ = true;
    model_->setRules(settings_.value(QLatin1String(kRulesKey)).toList());
    ui_->learnCheck->setChecked(platform::plist::boolValue(settings_, QLatin1String(kLearnKey), false));
    ui_->addressBookCheck->setChecked(platform::plist::boolValue(settings_, QLatin1String(kAddressBookKey), true));
    ui_->countLabel->setText(tr("%n rule(s)", nullptr, model_->rowCount()));
    refreshing_ = false;
}

void SWRuleListUI::save() {
    if (refreshing_)
        return;
    QVariantMap settings = settings_;
    settings.insert(QLatin1String(kRulesKey), model_->rules());
    settings.insert(QLatin1String(kLearnKey), ui_->learnCheck->isChecked());
    if (whiteList_)
        settings.insert(QLatin1String(kAddressBookKey), ui_->addressBookCheck->isChecked());
    updateSettings(settings);
    ui_->countLabel->setText(tr("%n rule(s)", nullptr, model_->rowCount()));
}

void SWRuleListUI::preferencesDidLearn(const platform::Notification&) {
    // The engine saved the list with the learned sender: take the file as it is now.
    reloadPreferences();
}

void SWRuleListUI::interfaceWillUpdate(QObject*) { refresh(); }
