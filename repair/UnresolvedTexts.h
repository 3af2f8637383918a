// The texts the check list could not resolve, kept so that a text met again is answered
// without searching, for as long as the volume it was searched on shows no change.
//
// A text that does not resolve is resolved again at each meeting, since a file made
// meanwhile may let it resolve. Searching again on an unchanged volume finds the same
// nothing, so the answer is kept while the drive's change notification stays quiet:
// any change on the volume (or a new definition of the drive) drops every text kept for
// that drive. Only texts that begin with their drive ("X:\") are kept: every search
// made for them stays on that drive. A volume the layer cannot watch as a whole reports
// a change at every look, and nothing is kept for it.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "repair/TextIndex.h"
#include "win32/windows.h"

class UnresolvedTexts {
 public:
  UnresolvedTexts() = default;
  ~UnresolvedTexts();
  UnresolvedTexts(const UnresolvedTexts&) = delete;
  UnresolvedTexts& operator=(const UnresolvedTexts&) = delete;

  // The drive (0 for A) whose volume `text` is searched on when it begins "X:\"; else -1.
  static int DriveOf(std::u16string_view text);

  // Whether `text`, searched on `drive`, is known not to resolve while nothing changed.
  // Call before resolving a text of the drive: it watches the drive from here on, so
  // that a change during the resolution drops the answer Add keeps.
  bool Known(int drive, std::u16string_view text);
  // Keeps `text` as unresolved on `drive` (if the drive is watched).
  void Add(int drive, std::u16string_view text);

 private:
  struct Drive {
    HANDLE hChange = INVALID_HANDLE_VALUE;
    bool watched = false;  // the notification was quiet at the last look
    TextIndex<bool> index;
    void Clear() { index.clear(); }
  };
  std::array<Drive, 26> m_drives;
};
