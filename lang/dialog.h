// The localisation of dialogs: texts and caption from the language file,
// size from its "SIZE" row, mirrored layout for right-to-left languages.
#pragma once
#include <windows.h>

#include "lang/module.h"

// Opens the dialog's page of the help (handed in by the dialog: the help
// viewer lives above this folder).
using HelpCall = void (*)();

// Every dialog procedure calls this first and returns TRUE at once when it
// answers true: it localizes the dialog when it is created and calls
// `showHelp` (may be null) for F1 and the Help button.
bool DialogHook(HWND window, UINT message, WPARAM wParam, LPARAM lParam, const wchar_t* dialogName,
                HelpCall showHelp);
void LocalizeDialog(HWND window, const wchar_t* dialogName);
// Width and height percentages from the dialog's "SIZE" text.
bool GetDialogScale(const wchar_t* dialogName, int& width, int& height);
// The largest percentage of a "SIZE" text. A larger one makes the text
// malformed: no dialog a translation needs is that large, and the window
// arithmetic stays far from overflowing.
const int kMaxDialogScale = 65535;
// Parses a "SIZE" text of the form width*height.
bool ParseDialogScale(const wchar_t* text, int& width, int& height);
void ApplyRightToLeft(HWND window);
// For a right-to-left language: the dialog's controls read right to left.
void ApplyRightToLeftReading(HWND window);
// A box whose text is a path or file masks reads left to right in every
// language, also inside a mirrored dialog; a picture is not mirrored.
void KeepLeftToRight(HWND control);
