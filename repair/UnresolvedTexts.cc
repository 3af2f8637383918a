#include "repair/UnresolvedTexts.h"

UnresolvedTexts::~UnresolvedTexts() {
  for (Drive& d : m_drives)
    if (d.hChange != INVALID_HANDLE_VALUE) FindCloseChangeNotification(d.hChange);
}

int UnresolvedTexts::DriveOf(std::u16string_view text) {
  if (text.size() < 3 || text[1] != u':' || text[2] != u'\\') return -1;
  const char16_t letter = text[0] | 0x20;
  return letter >= u'a' && letter <= u'z' ? letter - u'a' : -1;
}

bool UnresolvedTexts::Known(int drive, std::u16string_view text) {
  Drive& d = m_drives[drive];
  if (d.hChange == INVALID_HANDLE_VALUE) {
    const WCHAR root[] = {WCHAR(u'A' + drive), u':', u'\\', 0};
    d.hChange = FindFirstChangeNotificationW(root, TRUE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
    d.watched = false;
    // A drive that cannot be watched now may be defined later: asked again next time.
    if (d.hChange == INVALID_HANDLE_VALUE) return false;
  } else if (WaitForSingleObject(d.hChange, 0) == WAIT_TIMEOUT) {
    // Quiet since it was armed: what was kept holds.
    if (d.watched) return d.index.find(text) != nullptr;
    d.watched = true;
    return false;
  } else {
    FindNextChangeNotification(d.hChange);
  }
  // Newly watched or re-armed: what was kept may not hold, and a notification that is
  // signalled at once sees no change at all.
  d.Clear();
  d.watched = WaitForSingleObject(d.hChange, 0) == WAIT_TIMEOUT;
  return false;
}

void UnresolvedTexts::Add(int drive, std::u16string_view text) {
  Drive& d = m_drives[drive];
  if (!d.watched) return;
  try {
    d.index.add(text, true);
  } catch (...) {
    // Out of memory: the text is resolved again next time, as if never kept.
  }
}
