#include "app/MessageList.h"

#include "app/AnsiText.h"

#include <QHeaderView>

TListItem::TListItem(TListView* view, Integer data) : FView(view), FData(data) {}

TListItem::~TListItem()
{
    if (FView)
        FView->FireDeletion(this);
}

TListView::TListView(QWidget* parent) : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAllColumnsShowFocus(true);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
}

TListView::~TListView()
{
    Clear();
}

TListItem* TListView::AddRow(Integer data, const std::string& caption, const TStrings& subItems)
{
    auto* item = new TListItem(this, data);
    item->setText(0, FromAnsi(caption));
    for (size_t i = 0; i < subItems.size(); ++i)
        item->setText(static_cast<int>(i) + 1, FromAnsi(subItems[i]));
    addTopLevelItem(item);
    return item;
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
}

void TListView::Clear()
{
    while (topLevelItemCount() > 0)
        delete takeTopLevelItem(0);
}

std::string TListView::CellText(int row, int column) const
{
    QTreeWidgetItem* item = topLevelItem(row);
    return item ? ToAnsi(item->text(column)) : std::string();
}

void TListView::FireDeletion(TListItem* item)
{
    if (OnDeletion)
        OnDeletion(this, item);
}
