// The help viewer: the compiled help file "korvex.chm", opened at its
// contents or at a named topic through "hhctrl.ocx", loaded on first use.
#pragma once

// Opens the contents (no topic) or the page html/<topic>.htm of the help
// file. Never reports failure.
void ShowHelp(const wchar_t* topic = nullptr);
