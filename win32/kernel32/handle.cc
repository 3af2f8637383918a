#include "win32/kernel32/handle.h"

#include "win32/host/error.h"
#include "win32/kernel32/handle_table.h"

namespace hivemend::win32 {

HandleTable& HandleTable::instance() {
  static HandleTable* table = new HandleTable;  // never destroyed: handles may be closed during exit
  return *table;
}

size_t HandleTable::slot_of(HANDLE handle) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0 || value % 4 != 0) return size_t(-1);
  return value / 4 - 1;
}

HANDLE HandleTable::insert(std::shared_ptr<KernelObject> object) {
  std::lock_guard lock(mutex_);
  size_t slot = 0;
  while (slot < slots_.size() && slots_[slot]) ++slot;
  if (slot == slots_.size()) slots_.emplace_back();
  slots_[slot] = std::move(object);
  return reinterpret_cast<HANDLE>(uintptr_t(slot + 1) * 4);
}

std::shared_ptr<KernelObject> HandleTable::get(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  const size_t slot = slot_of(handle);
  return slot < slots_.size() ? slots_[slot] : nullptr;
}

size_t HandleTable::size() const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& s : slots_) n += s != nullptr;
  return n;
}

}  // namespace hivemend::win32

using hivemend::win32::HandleTable;
using hivemend::win32::KernelObject;

BOOL WINAPI CloseHandle(HANDLE hObject) {
  auto object =
      HandleTable::instance().remove_if(hObject, [](const KernelObject& o) { return o.closed_by_close_handle(); });
  if (!object) return hivemend::win32::fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}
