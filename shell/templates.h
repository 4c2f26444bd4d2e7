// The new-archive templates of the KVX and ZIP types: the "ShellNew"
// entries of Explorer's New menu and the empty archives they point to.
#pragma once
#include <stddef.h>

#include "settings/transaction.h"

const size_t kKvxTemplateSize = 24, kZipTemplateSize = 22;

// Sets the first bytes of the two template images; the program file itself
// holds neither complete signature.
void PrepareTemplates();
// Which of the two types with a new-archive template a row of the type
// table is, if either.
enum class TemplateRow : unsigned char { None, Kvx, Zip };
// Whether claiming a row installs its template: the shell extension is on,
// and "NewKVX" (KVX row) or "NewZIP" (ZIP row) is not turned off.
bool TemplateCondition(bool shellExtension, TemplateRow row);
void InstallNewTemplate(SetupTransaction& changes, const wchar_t* extension, bool kvxRow);
// Deletes the two template files beside the program (when a package
// installer owns the installation's files, they are the integration's).
void RemoveTemplateFiles();
// Puts back the extension's previous "ShellNew" entry: `previous` is the
// saved one ("*" for NullFile, "" for none), null when the extension did
// not exist before (its key goes).
void RestoreNewEntry(SetupTransaction& changes, const wchar_t* extension, const wchar_t* previous);
