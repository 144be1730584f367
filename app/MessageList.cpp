#include "app/MessageList.h"

#include <QHeaderView>
#include <QItemSelectionModel>

#include <algorithm>

TListItem::~TListItem()
{
    if (FView)
        FView->FireDeletion(this);
}

bool TListItem::operator<(const QTreeWidgetItem& other) const
{
    const auto& row = static_cast<const TListItem&>(other);
    return FView ? FView->RowLess(*this, row) : FData < row.FData;
}

TListView::TListView(QWidget* parent)
    : QTreeWidget(parent), FCollator(QLocale(QLocale::Finnish, QLocale::Finland))
{
    FCollator.setNumericMode(true);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    // Never on: the view would sort again at every row added, and Qt's own
    // header click would flip the order without the way back to the
    // server's order. HeaderClicked sorts instead.
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAllColumnsShowFocus(true);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    connect(header(), &QHeaderView::sectionClicked, this, [this](int column) { HeaderClicked(column); });
}

TListView::~TListView()
{
    Clear();
}

TListItem* TListView::AddRow(std::unique_ptr<TListItem> item)
{
    TListItem* row = item.release();
    row->FView = this;
    if (FSortColumn < 0) {
        addTopLevelItem(row);
        return row;
    }
    // The first row that the new one comes before, by binary search.
    int low = 0, high = topLevelItemCount();
    while (low < high) {
        const int middle = low + (high - low) / 2;
        const TListItem& other = *Row(middle);
        const bool before = FSortOrder == Qt::AscendingOrder ? RowLess(*row, other) : RowLess(other, *row);
        if (before)
            high = middle;
        else
            low = middle + 1;
    }
    insertTopLevelItem(low, row);
    return row;
}

void TListView::AddRows(std::vector<std::unique_ptr<TListItem>>& items)
{
    if (FSortColumn >= 0) {
        for (auto& item : items)
            AddRow(std::move(item));
    } else {
        QList<QTreeWidgetItem*> rows;
        rows.reserve(qsizetype(items.size()));
        for (auto& item : items) {
            item->FView = this;
            rows.append(item.release());
        }
        addTopLevelItems(rows);
    }
    items.clear();
    executeDelayedItemsLayout();
}

TListItem* TListView::Row(int index) const
{
    return static_cast<TListItem*>(topLevelItem(index));
}

int TListView::SelCount() const
{
    return static_cast<int>(selectedItems().size());
}

TListItem* TListView::Selected() const
{
    const auto items = selectedItems();
    return items.isEmpty() ? nullptr : static_cast<TListItem*>(items.first());
}

void TListView::Remove(TListItem* item)
{
    int index = indexOfTopLevelItem(item);
    if (index < 0)
        return;
    delete takeTopLevelItem(index);
    selectionModel()->clear();
}

void TListView::Clear()
{
    while (topLevelItemCount() > 0)
        delete takeTopLevelItem(0);
}

std::string TListView::CellText(int row, int column) const
{
    QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->text(column).toStdString() : std::string();
}

void TListView::SortByColumn(int column, Qt::SortOrder order)
{
    FSortColumn = column >= 0 && column < std::min(columnCount(), TListItem::kMaxColumns) ? column : -1;
    FSortOrder = FSortColumn < 0 ? Qt::AscendingOrder : order;
    header()->setSortIndicatorShown(FSortColumn >= 0);
    header()->setSortIndicator(FSortColumn, FSortOrder);
    // QTreeWidget sorts by the rows' operator<, which asks RowLess; the
    // selection stays with its row.
    sortItems(std::max(FSortColumn, 0), FSortOrder);
    if (QTreeWidgetItem* current = currentItem())
        scrollToItem(current);
}

void TListView::HeaderClicked(int column)
{
    if (column != FSortColumn)
        SortByColumn(column, Qt::AscendingOrder);
    else if (FSortOrder == Qt::AscendingOrder)
        SortByColumn(column, Qt::DescendingOrder);
    else
        SortByColumn(-1, Qt::AscendingOrder);
}

bool TListView::RowLess(const TListItem& a, const TListItem& b) const
{
    const int column = FSortColumn;
    if (column >= 0) {
        int order;
        if (FNumeric[size_t(column)])
            order = a.SortKey(column) < b.SortKey(column) ? -1 : a.SortKey(column) > b.SortKey(column) ? 1 : 0;
        else
            order = FCollator.compare(a.text(column), b.text(column));
        if (order != 0)
            return order < 0;
    }
    return a.Data() < b.Data();
}

void TListView::FireDeletion(TListItem* item)
{
    if (OnDeletion)
        OnDeletion(this, item);
}
