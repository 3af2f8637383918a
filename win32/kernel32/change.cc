#include "win32/kernel32/change.h"

#include <memory>
#include <mutex>

#include "win32/host/directory.h"
#include "win32/host/error.h"
#include "win32/host/path.h"
#include "win32/kernel32/file.h"
#include "win32/kernel32/handle_table.h"

namespace hivemend::win32 {

namespace {

constexpr DWORD kKnownFilters = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_LAST_ACCESS |
                                FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;

class ChangeNotification final : public KernelObject {
 public:
  static constexpr ObjectKind kKind = ObjectKind::ChangeNotification;
  ObjectKind kind() const override { return kKind; }
  bool closed_by_close_handle() const override { return false; }

  explicit ChangeNotification(char16_t drive) : drive_(drive) { arm(); }

  void arm() {
    std::lock_guard lock(mutex_);
    auto root = drive_root(drive_);
    root_.reset();
    if (!root || !(*root)->listings->watches_whole_volume()) return;
    // The number is taken after the root: a change from here on makes another one.
    state_ = (*root)->listings->state();
    root_ = *root;
  }

  bool signalled() const {
    std::lock_guard lock(mutex_);
    const auto armed = root_.lock();
    if (!armed) return true;
    // The drive's root is the same object while neither the prefix nor the drive's
    // definition changed, and a new root is a volume that may hold anything.
    auto root = drive_root(drive_);
    return !root || *root != armed || armed->listings->state() != state_;
  }

 private:
  char16_t drive_;
  mutable std::mutex mutex_;
  // Not owned: a watch does not keep the volume's root open (it may be unmounted).
  std::weak_ptr<const VolumeRoot> root_;
  uint64_t state_ = 0;
};

}  // namespace

int change_signalled(HANDLE handle) {
  auto change = HandleTable::instance().get_as<ChangeNotification>(handle);
  return change ? int(change->signalled()) : -1;
}

}  // namespace hivemend::win32

using namespace hivemend::win32;

HANDLE WINAPI FindFirstChangeNotificationW(LPCWSTR lpPathName, BOOL /*bWatchSubtree*/, DWORD dwNotifyFilter) {
  if (!lpPathName || dwNotifyFilter == 0 || (dwNotifyFilter & ~kKnownFilters) != 0)
    return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  auto path = parse_windows_path(lpPathName);
  if (!path) return fail(path.error(), INVALID_HANDLE_VALUE);
  const DWORD attributes = GetFileAttributesW(lpPathName);
  if (attributes == INVALID_FILE_ATTRIBUTES) return INVALID_HANDLE_VALUE;  // its last error stands
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return fail(ERROR_DIRECTORY, INVALID_HANDLE_VALUE);
  auto handle = HandleTable::instance().insert(std::make_shared<ChangeNotification>(path->drive));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI FindNextChangeNotification(HANDLE hChangeHandle) {
  auto change = HandleTable::instance().get_as<ChangeNotification>(hChangeHandle);
  if (!change) return fail(ERROR_INVALID_HANDLE, FALSE);
  change->arm();
  return TRUE;
}

BOOL WINAPI FindCloseChangeNotification(HANDLE hChangeHandle) {
  auto removed = HandleTable::instance().remove_if(
      hChangeHandle, [](const KernelObject& o) { return o.kind() == ObjectKind::ChangeNotification; });
  return removed ? TRUE : fail(ERROR_INVALID_HANDLE, FALSE);
}
