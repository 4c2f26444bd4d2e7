// The key table: which key of a language file gives which string or
// dialog control its text.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct TextKeyRow {
  const char* key;  // "s:IDS_UNINSTALLKVX", "$SETUPDLG:IDC_SHELLEXT", ...
  uint32_t id;      // string id, control id, or 0 for SIZE and CAPTION
};

const size_t kTextKeyRows = 112;
extern const TextKeyRow TextKeyTable[kTextKeyRows];
