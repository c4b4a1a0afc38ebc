#include "frontend/app/FilterListModel.h"

#include "engine/SWNotifications.h"
#include "frontend/kit/SWPlugInUI.h"

#include <QApplication>
#include <QLocale>
#include <QPainter>
#include <QPalette>

namespace {

int compareText(const QString& a, const QString& b) { return QString::compare(a, b, Qt::CaseInsensitive); }

}  // namespace

int PlugInEntry::comparePlugin(const PlugInEntry& other) const {
    const bool mine = preferedPosition.has_value();
    const bool theirs = other.preferedPosition.has_value();
    if (mine && theirs)
        return compareText(*preferedPosition, *other.preferedPosition);
    if (theirs) {
        if (other.preferedPosition->startsWith(QLatin1String("First")))
            return 1;
        if (other.preferedPosition->startsWith(QLatin1String("Last")))
            return -1;
    } else if (mine) {
        if (preferedPosition->startsWith(QLatin1String("First")))
            return -1;
        if (preferedPosition->startsWith(QLatin1String("Last")))
            return 1;
    }
    return compareText(identifier, other.identifier);
}

FilterListModel::FilterListModel(QObject* parent) : QAbstractTableModel(parent) {}

void FilterListModel::setEntries(QList<PlugInEntry*> entries) {
    beginResetModel();
    entries_ = std::move(entries);
    endResetModel();
}

PlugInEntry* FilterListModel::entryAt(int row) const {
    return row >= 0 && row < entries_.size() ? entries_[row] : nullptr;
}

int FilterListModel::rowOf(const QString& identifier) const {
    for (int row = 0; row < entries_.size(); ++row) {
        if (!entries_[row]->separator && entries_[row]->identifier == identifier)
            return row;
    }
    return -1;
}

void FilterListModel::setEngineStatus(bool on) {
    if (engineStatus_ == on)
        return;
    engineStatus_ = on;
    reload();
}

void FilterListModel::setShowHits(bool on) {
    if (showHits_ == on)
        return;
    showHits_ = on;
    reload();
}

void FilterListModel::reload() {
    if (!entries_.isEmpty())
        emit dataChanged(index(0, 0), index(int(entries_.size()) - 1, ColumnCount - 1));
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

int FilterListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(entries_.size()); }
int FilterListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant FilterListModel::data(const QModelIndex& index, int role) const {
    const PlugInEntry* entry = entryAt(index.row());
    if (!entry || entry->separator)
        return {};
    const bool isEngine = entry->identifier == QLatin1String(sw::SWGeneralIdentifier);
    const bool greyed = !engineStatus_ && !isEngine;
    switch (role) {
    case Qt::CheckStateRole:
        if (index.column() == StatusColumn && !isEngine)
            return entry->status ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::DisplayRole:
        if (index.column() == NameColumn)
            return entry->name.isEmpty() ? entry->identifier : entry->name;
        if (index.column() == CountColumn && showHits_)
            return QLocale().toString(entry->score);
        return {};
    case Qt::DecorationRole:
        if (index.column() == NameColumn && !entry->icon.isNull())
            return entry->icon;
        return {};
    case Qt::ToolTipRole:
        return entry->toolTip.isEmpty() ? QVariant() : QVariant(entry->toolTip);
    case Qt::ForegroundRole:
        if (greyed)
            return QApplication::palette().color(QPalette::Disabled, QPalette::Text);
        if (index.column() == CountColumn)
            return entry->hitKey == QLatin1String(sw::SWMAILHAMDETECTED) ? SWPlugInUI::goodMailColor().darker(170)
                                                                         : SWPlugInUI::spamColor().darker(120);
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == CountColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::FontRole:
        if (isEngine && index.column() == NameColumn) {
            QFont font = QApplication::font();
            font.setBold(true);
            return font;
        }
        return {};
    default:
        return {};
    }
}

QVariant FilterListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::DisplayRole) {
        switch (section) {
        case StatusColumn:
            return tr("On");
        case NameColumn:
            return tr("Filter");
        case CountColumn:
            return showHits_ ? tr("Hits") : QString();
        default:
            return {};
        }
    }
    if (role == Qt::ToolTipRole && section == CountColumn)
        return tr("Messages each filter decided: spam caught, or for the white list good mail recognised");
    return {};
}

Qt::ItemFlags FilterListModel::flags(const QModelIndex& index) const {
    const PlugInEntry* entry = entryAt(index.row());
    if (!entry || entry->separator)
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    const bool isEngine = entry->identifier == QLatin1String(sw::SWGeneralIdentifier);
    if (index.column() == StatusColumn && !isEngine) {
        flags |= Qt::ItemIsUserCheckable;
        if (!engineStatus_)
            flags &= ~Qt::ItemIsEnabled;
    }
    return flags;
}

bool FilterListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    PlugInEntry* entry = entryAt(index.row());
    if (!entry || entry->separator || index.column() != StatusColumn || role != Qt::CheckStateRole ||
        entry->identifier == QLatin1String(sw::SWGeneralIdentifier))
        return false;
    const bool on = value.toInt() == Qt::Checked;
    entry->status = on;
    emit dataChanged(this->index(index.row(), 0), this->index(index.row(), ColumnCount - 1));
    emit statusEdited(entry->identifier, on);
    return true;
}

void FilterListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto* model = qobject_cast<const FilterListModel*>(index.model());
    const PlugInEntry* entry = model ? model->entryAt(index.row()) : nullptr;
    if (entry && entry->separator) {
        QColor line = option.palette.color(QPalette::Mid);
        painter->save();
        painter->setPen(line);
        const int y = option.rect.center().y();
        painter->drawLine(option.rect.left(), y, option.rect.right(), y);
        painter->restore();
        return;
    }
    QStyledItemDelegate::paint(painter, option, index);
}
