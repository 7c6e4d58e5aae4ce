// Tests reach the platform through tables of function pointers that hold the real calls. A
// ScopedTable remembers the table as it found it and puts it back when it goes out of
// scope, so that whatever a test swapped is restored after it.
#pragma once

template <typename Table, Table& table>
class ScopedTable {
 public:
  ScopedTable() : m_saved(table) {}
  ~ScopedTable() { table = m_saved; }
  ScopedTable(const ScopedTable&) = delete;
  ScopedTable& operator=(const ScopedTable&) = delete;

 private:
  Table m_saved;
};
