// The help: the compiled help file "korvex.chm" (or its translation in the
// language folder), opened at its contents or at a named topic by the
// user's own shell, which renders it unelevated as the user.
#pragma once
#include <stddef.h>

// What the user's shell is asked to open for a topic (or the contents):
// the help file itself, or the help viewer "hh.exe" with the topic's page
// "<file>::/html/<topic>.htm" as its argument.
void ComposeHelpRequest(const wchar_t* programPath, const wchar_t* topic, wchar_t* what, wchar_t* arguments,
                        size_t capacity);
// Opens the contents (no topic) or the page html/<topic>.htm of the help
// file. Never reports failure.
void ShowHelp(const wchar_t* topic = nullptr);
