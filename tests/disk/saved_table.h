// Keeps the slots of an operation table, as the registry filled them, and puts them back when it
// goes, so that a test may install stand-ins.
#pragma once

#include "disk/disk.h"

template <typename Fn>
class SavedTable {
public:
    explicit SavedTable(DiskOperationTable<Fn>& table) : table_(table)
    {
        (void)table[0];  // filled before it is copied
        saved_ = table;
    }
    ~SavedTable() { table_ = saved_; }
    SavedTable(const SavedTable&) = delete;
    SavedTable& operator=(const SavedTable&) = delete;

private:
    DiskOperationTable<Fn>& table_;
    DiskOperationTable<Fn> saved_;
};
