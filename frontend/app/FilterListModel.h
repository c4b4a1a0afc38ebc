#pragma once
// The filter list of the main window: one row per filter panel with its on/off
// box, icon, name and hit count, and a thin separator after the first row.

#include <QAbstractTableModel>
#include <QIcon>
#include <QStyledItemDelegate>

#include <memory>
#include <optional>

class SWPlugInUI;
namespace platform {
class Bundle;
}

// One filter of the list (a plug-in entry), or the separator.
struct PlugInEntry {
    std::shared_ptr<platform::Bundle> bundle;
    SWPlugInUI* instance = nullptr;  // owned by the main controller
    QString identifier;
    bool internalEngine = false;
    bool status = false;
    std::optional<QString> preferedPosition;
    QString hitKey;  // empty: "SWMAILSPAMDETECTED"
    QString toolTip;
    QIcon icon;
    QString name;
    qint64 score = 0;
    bool separator = false;

    // Order of the list: "Prefered Position" ("First…", "Last…", else compared
    // without regard to case), then the identifiers without regard to case.
    // Negative, zero or positive as this entry comes before, with or after other.
    int comparePlugin(const PlugInEntry& other) const;
};

class FilterListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { StatusColumn, NameColumn, CountColumn, ColumnCount };
    static constexpr int kRowHeight = 32;
    static constexpr int kSeparatorHeight = 10;

    explicit FilterListModel(QObject* parent = nullptr);

    void setEntries(QList<PlugInEntry*> entries);
    const QList<PlugInEntry*>& entries() const { return entries_; }
    PlugInEntry* entryAt(int row) const;
    int rowOf(const QString& identifier) const;
    void setEngineStatus(bool on);
    void setShowHits(bool on);
    bool showHits() const { return showHits_; }
    // Redraws every row.
    void reload();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

signals:
    // The user switched a filter in the list.
    void statusEdited(const QString& identifier, bool status);

private:
    QList<PlugInEntry*> entries_;
    bool engineStatus_ = true;
    bool showHits_ = true;
};

// Draws the separator row as a line.
class FilterListDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
