// The message list: a report view with columns whose rows carry one data
// value each, and which reports every row that leaves it through
// OnDeletion: a row removed by the program, a row dropped by Clear and every
// row still there when the list goes away.
#pragma once

#include "platform/Object.h"

#include <QTreeWidget>

#include <functional>

class TListView;

class TListItem : public QTreeWidgetItem {
public:
    TListItem(TListView* view, Integer data);
    // Reports the removal to the view that created the row, once.
    ~TListItem() override;

    Integer Data() const { return FData; }

private:
    TListView* FView;
    Integer FData;
};

class TListView : public QTreeWidget {
public:
    using TDeletionEvent = std::function<void(TListView* Sender, TListItem* Item)>;

    explicit TListView(QWidget* parent = nullptr);
    // Removes the rows first, so that OnDeletion still sees a whole view.
    ~TListView() override;

    // Appends a row: caption, then the sub-item texts (8-bit text).
    TListItem* AddRow(Integer data, const std::string& caption, const TStrings& subItems);
    int RowCount() const { return topLevelItemCount(); }
    TListItem* Row(int index) const;
    // The rows selected now (at most one: single selection).
    int SelCount() const;
    TListItem* Selected() const;
    // Takes the row out of the list, then reports it and frees it; during
    // the report the row is no longer in the list, so it cannot be removed
    // twice.
    void Remove(TListItem* item);
    // Removes every row, first to last, each reported as it goes.
    void Clear();

    // Text of one cell as 8-bit text (column 0 is the caption).
    std::string CellText(int row, int column) const;

    TDeletionEvent OnDeletion;

private:
    friend class TListItem;
    void FireDeletion(TListItem* item);
};
