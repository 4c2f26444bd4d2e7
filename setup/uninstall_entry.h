// The archiver's entry in the system's list of installed programs.
#pragma once
#include <windows.h>

#include "settings/transaction.h"

extern const wchar_t kUninstallEntryKey[];  // "\SOFTWARE\...\Uninstall\Korvex archiver"

#include <stdint.h>

// Writes every value of the entry, through the run's transaction; returns
// the result of the write of "Publisher", the last value of the entry
// proper (the package managers' values follow it).
LONG WriteUninstallEntry(SetupTransaction& changes);
// The installation's size in bytes: the files "Uninstall.lst" beside the
// program names that exist, and the program itself, each counted once.
uint64_t MeasureInstallation(const wchar_t* program);
// "Korvex 6.20 beta 2 (64-bit)", in the language of the texts.
void ComposeDisplayName(wchar_t* dest, size_t capacity);
