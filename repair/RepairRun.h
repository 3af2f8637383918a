// The state of one repair run that the engine reads and writes: parameters, mode flags,
// the log object, the cache of resolved texts and the counters. CHivemendDlg (the run
// object, app/HivemendDlg.h) carries it; the engine's routines receive it, so that each
// of them can also be driven on a run state of its own.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "base/buffers.h"
#include "log/Log.h"
#include "repair/CheckList.h"
#include "repair/TextIndex.h"
#include "repair/UnresolvedTexts.h"
#include "win32/windows.h"

// The failure that the check list and the path resolution raise to their caller after
// logging it, once per level: a type of its own that carries the failure code 1.
struct RepairFailure {
  int code = 1;
};

struct RepairRun {
  RepairRun() = default;
  virtual ~RepairRun() = default;
  RepairRun(const RepairRun&) = delete;
  RepairRun& operator=(const RepairRun&) = delete;

  // Rescue-transfer mode: drive letters are translated between the source system's
  // letters and the current ones, and the engine's per-value lines are not logged.
  bool m_bRescueTransfer = false;
  // The cache of resolved texts, in insertion order; never shrinks during the run.
  std::vector<std::unique_ptr<ResolvedItem>> m_vecResolved;
  // Index of m_vecResolved: each old text to the new text of its first item. The texts
  // are the items' own blocks, which live as long as the item. Kept by CheckList so that
  // a lookup costs the same however many texts were resolved.
  TextIndex<const WCHAR*> m_mapResolvedIndex;
  // The texts that did not resolve, while their volumes stay unchanged; kept by CheckList.
  UnresolvedTexts m_unresolved;
  DWORD m_dwPathsResolved = 0;
  DWORD m_dwPathsSkipped = 0;
  DWORD m_dwValuesAccessed = 0;
  // Per-root-key counters of the summary; nothing increments them.
  DWORD m_dwClassesRootCount = 0;
  DWORD m_dwCurrentUserCount = 0;
  DWORD m_dwLocalMachineCount = 0;
  DWORD m_dwUsersCount = 0;
  DWORD m_dwCurrentConfigCount = 0;
  WCHAR m_szSrcLetters[kLetterListChars] = {};
  WCHAR m_szDstLetters[kLetterListChars] = {};
  DWORD m_dwSrcSignature = 0;
  // The source system's letters for the partitions of the source disk, in on-disk order.
  WCHAR m_szSrcHiveLetters[kLetterListChars] = {};
  // The current letter of the partition the source system called C; 0 until known.
  WCHAR m_chSrcLetterForC = 0;
  std::unique_ptr<CLog> m_pLog;
  bool m_bDetailedLogging = false;
};
