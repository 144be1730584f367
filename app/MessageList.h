// The message list: a report view with columns whose rows carry one data
// value each, and which reports every row that leaves it through
// OnDeletion: a row removed by the program, a row dropped by Clear and every
// row still there when the list goes away.
//
// Rows are shown in the server's order (by their data value, the message
// number) until a column header is clicked: then by that column, text
// columns by Finnish collation (case and accents as a reader expects,
// numbers by value), numeric columns by the key each row carries for them.
// A second click on the same header reverses the order, a third returns to
// the server's order. Rows added meanwhile go straight to their place; in
// the server's order they are appended, which costs no sorting at all.
#pragma once

#include "platform/Object.h"

#include <QCollator>
#include <QTreeWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TListView;

class TListItem : public QTreeWidgetItem {
public:
    static constexpr int kMaxColumns = 8;

    explicit TListItem(Integer data) : FData(data) {}
    // Reports the removal to the view the row was added to, once.
    ~TListItem() override;

    Integer Data() const { return FData; }
    // The key a numeric column sorts this row by.
    int64_t SortKey(int column) const { return FSortKeys[size_t(column)]; }
    void SetSortKey(int column, int64_t key) { FSortKeys[size_t(column)] = key; }

    // The order of the view the row is in (QTreeWidget sorts with it).
    bool operator<(const QTreeWidgetItem& other) const override;

private:
    friend class TListView;
    TListView* FView = nullptr; // set when the row is added
    Integer FData;
    std::array<int64_t, kMaxColumns> FSortKeys{};
};

class TListView : public QTreeWidget {
public:
    using TDeletionEvent = std::function<void(TListView* Sender, TListItem* Item)>;

    explicit TListView(QWidget* parent = nullptr);
    // Removes the rows first, so that OnDeletion still sees a whole view.
    ~TListView() override;

    // Adds a row (its texts, tool tips and sort keys set) where the order
    // shown puts it.
    TListItem* AddRow(std::unique_ptr<TListItem> item);
    // Adds the rows, each where the order shown puts it; in the server's
    // order as one insertion at the end. The view lays itself out at once,
    // once for all of them (a relayout costs time in proportion to all the
    // rows, not the new ones). The vector is left empty.
    void AddRows(std::vector<std::unique_ptr<TListItem>>& items);
    int RowCount() const { return topLevelItemCount(); }
    TListItem* Row(int index) const;
    // The rows selected now (at most one: single selection).
    int SelCount() const;
    TListItem* Selected() const;
    // Takes the row out of the list, then reports it and frees it; during
    // the report the row is no longer in the list, so it cannot be removed
    // twice. No row is selected afterwards: the selection never moves on
    // to a row the user did not choose.
    void Remove(TListItem* item);
    // Removes every row, first to last, each reported as it goes.
    void Clear();

    // Text of one cell as UTF-8 (column 0 is the caption).
    std::string CellText(int row, int column) const;

    // Sorting. Column -1 is the server's order.
    void SetNumericColumn(int column) { FNumeric[size_t(column)] = true; }
    void SortByColumn(int column, Qt::SortOrder order);
    int SortColumn() const { return FSortColumn; }
    Qt::SortOrder SortOrder() const { return FSortOrder; }
    // A click on a column header: ascending, then descending, then back to
    // the server's order.
    void HeaderClicked(int column);
    // Whether row a comes before row b in ascending order of the sort column
    // (the server's order among equals).
    bool RowLess(const TListItem& a, const TListItem& b) const;

    TDeletionEvent OnDeletion;

private:
    friend class TListItem;
    void FireDeletion(TListItem* item);

    int FSortColumn = -1;
    Qt::SortOrder FSortOrder = Qt::AscendingOrder;
    std::array<bool, TListItem::kMaxColumns> FNumeric{};
    QCollator FCollator;
};
