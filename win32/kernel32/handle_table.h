// The process's handle table: every HANDLE the layer gives out names one typed object
// here. Values are Windows' (multiples of four from 4, the lowest free one first), so a
// closed handle's value comes back, as on Windows. Other object kinds (registry keys,
// mutexes, processes) derive from KernelObject and are added with insert().
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "win32/types.h"

namespace hivemend::win32 {

enum class ObjectKind { File, FindSearch, ChangeNotification, RegistryKey, Mutex, Semaphore, Event, Process, Thread };

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual ObjectKind kind() const = 0;
  // Whether CloseHandle may close it (a search is closed by FindClose, a registry key by
  // RegCloseKey, never by CloseHandle).
  virtual bool closed_by_close_handle() const { return true; }
};

class HandleTable {
 public:
  static HandleTable& instance();

  HANDLE insert(std::shared_ptr<KernelObject> object);
  // The object behind `handle`, or nullptr for a value that names none.
  std::shared_ptr<KernelObject> get(HANDLE handle) const;
  // The object when it is of type T (T::kKind), else nullptr.
  template <typename T>
  std::shared_ptr<T> get_as(HANDLE handle) const {
    auto object = get(handle);
    if (!object || object->kind() != T::kKind) return nullptr;
    return std::static_pointer_cast<T>(object);
  }
  // Takes the object out of the table when `accept` agrees with its kind; the object
  // itself goes away with its last user. Returns it, or nullptr when refused.
  template <typename Accept>
  std::shared_ptr<KernelObject> remove_if(HANDLE handle, Accept accept) {
    std::lock_guard lock(mutex_);
    const size_t slot = slot_of(handle);
    if (slot >= slots_.size() || !slots_[slot] || !accept(*slots_[slot])) return nullptr;
    return std::move(slots_[slot]);
  }
  size_t size() const;

 private:
  static size_t slot_of(HANDLE handle);
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<KernelObject>> slots_;
};

}  // namespace hivemend::win32
