// The context-menu items dialog "SETUPCONTEXTITEMS": which commands the
// shell extension offers, the top-level commands of Windows 11's menu, and
// the masks of files always treated as archives.
#pragma once
#include <stddef.h>
#include <windows.h>

struct MenuItem {
  const wchar_t* name;  // value name under "Setup\MenuItems" or "Setup\TopMenuItems"
  int id;
  int defaultValue;
  int group;  // MenuItems: 1 when hidden in top mode; TopMenuItems: its group
};
const size_t kMenuItemCount = 19, kTopMenuItemCount = 6;
extern const MenuItem MenuItems[kMenuItemCount];
extern const MenuItem TopMenuItems[kTopMenuItemCount];

// lParam: whether the setup dialog's cascaded-menu box is checked.
INT_PTR CALLBACK ItemsDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
