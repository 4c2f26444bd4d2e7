#include "lang/dialog.h"

#include <limits.h>
#include <stdint.h>

#include "lang/language.h"
#include "util/text.h"

void ApplyRightToLeft(HWND window) {
  if (!g_LanguageFile.RightToLeft) return;
  SetWindowLongW(window, GWL_EXSTYLE, GetWindowLongW(window, GWL_EXSTYLE) | WS_EX_LAYOUTRTL);
}

void ApplyRightToLeftReading(HWND window) {
  if (!g_LanguageFile.RightToLeft) return;
  // Mirroring places the controls; the reading order puts the punctuation
  // and the runs of Latin text of a right-to-left sentence where they belong.
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    SetWindowLongW(child, GWL_EXSTYLE, GetWindowLongW(child, GWL_EXSTYLE) | WS_EX_RTLREADING);
}

void KeepLeftToRight(HWND control) {
  // Neither mirrored nor read from the right: a mirrored box lays its text
  // out from the right too, and a mask or a path then reads backwards.
  SetWindowLongW(control, GWL_EXSTYLE,
                 GetWindowLongW(control, GWL_EXSTYLE) & ~(WS_EX_LAYOUTRTL | WS_EX_RTLREADING | WS_EX_RIGHT));
}

// A percentage as TextToInt reads it (optional minus sign, digits up to the
// first other character), or -1 once it passes the largest percentage.
static int64_t ReadPercentage(const wchar_t* text) {
  bool negative = *text == L'-';
  if (negative) text++;
  int64_t value = 0;
  for (; IsDigit(*text); text++) {
    value = value * 10 + (*text - L'0');
    if (value > kMaxDialogScale) return -1;
  }
  return negative ? -value : value;
}

bool ParseDialogScale(const wchar_t* text, int& width, int& height) {
  const wchar_t* star = text;
  while (*star && *star != L'*') star++;
  if (!*star) return false;
  int64_t w = ReadPercentage(text), h = ReadPercentage(star + 1);
  width = w > 0 ? (int)w : 0;
  height = h > 0 ? (int)h : 0;
  return width > 0 && height > 0 && !(width == 100 && height == 100);
}

bool GetDialogScale(const wchar_t* dialogName, int& width, int& height) {
  wchar_t text[512];
  width = height = 0;
  if (!GetDialogText(dialogName, L"SIZE", text, 512)) return false;
  return ParseDialogScale(text, width, height);
}

static int ClampToInt(int64_t value) { return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : (int)value; }

namespace {

// Step 1: the texts of the controls, from the keys "$<dialog>:<control>".
void LocalizeControlTexts(HWND window, const wchar_t* dialogName) {
  wchar_t widePrefix[80];
  FormatText(widePrefix, L"$%s:", dialogName);
  char prefix[160];
  WideToAnsi(widePrefix, prefix);
  size_t prefixLength = TextLengthA(prefix);
  wchar_t text[1024];
  for (const TextKeyRow& row : TextKeyTable) {
    if (row.id == 0) continue;
    size_t i = 0;
    while (i < prefixLength && row.key[i] == prefix[i]) i++;
    if (i < prefixLength) continue;
    if (FindTextByKey(row.key, text, 1024)) SetDlgItemTextW(window, row.id, text);
  }
}

// The dialog's frame: the window's size beyond its client area. Window
// arithmetic is in 64 bits: with percentages up to kMaxDialogScale no step
// can overflow, and every result is kept to the range of an int.
struct DialogFrame {
  RECT window, client;
  int64_t width, height;  // of the window
  int64_t frameWidth, frameHeight;
};

DialogFrame MeasureFrame(HWND window) {
  DialogFrame f;
  GetWindowRect(window, &f.window);
  GetClientRect(window, &f.client);
  f.width = (int64_t)f.window.right - f.window.left + 1;
  f.height = (int64_t)f.window.bottom - f.window.top + 1;
  f.frameWidth = f.width - f.client.right;
  f.frameHeight = f.height - f.client.bottom;
  return f;
}

// Step 2: the window grows or shrinks by the percentages about its centre
// (kept on the screen), or in place when it is not a centred dialog.
void ScaleWindow(HWND window, const DialogFrame& f, int width, int height) {
  int64_t nw = (int64_t)f.client.right * width / 100 + f.frameWidth;
  int64_t nh = (int64_t)f.client.bottom * height / 100 + f.frameHeight;
  int64_t left = f.window.left + (f.width - nw) / 2, top = f.window.top + (f.height - nh) / 2;
  if (left < 0) left = 0;
  if (top < 0) top = 0;
  UINT flags = SWP_NOZORDER | SWP_NOOWNERZORDER;
  if (!(GetWindowLongW(window, GWL_STYLE) & DS_CENTER)) flags |= SWP_NOMOVE;
  SetWindowPos(window, nullptr, ClampToInt(left), ClampToInt(top), ClampToInt(nw), ClampToInt(nh), flags);
}

// Step 4: every control moves and grows by the same percentages (a drop-down
// list keeps room for its list), at most 512 of them. In a mirrored
// (right-to-left) dialog a control's x counts from the client area's right
// edge to the control's right edge, so it is measured from there.
void ScaleControls(HWND window, const DialogFrame& f, const RECT& scaled, int width, int height) {
  int64_t top = f.frameHeight - GetSystemMetrics(SM_CYDLGFRAME);
  int64_t left = f.frameWidth / 2;
  bool mirrored = (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_LAYOUTRTL) != 0;
  HWND first = GetWindow(window, GW_CHILD);
  HWND control = first;
  for (int n = 0; control && n < 512; n++) {
    RECT q;
    GetWindowRect(control, &q);
    int64_t x = (mirrored ? scaled.right - left - q.right : q.left - left - scaled.left) * width / 100;
    int64_t y = (q.top - top - scaled.top) * height / 100;
    int64_t cw = ((int64_t)q.right - q.left + 1) * width / 100;
    int64_t ch = ((int64_t)q.bottom - q.top + 1) * height / 100;
    wchar_t className[32];
    if (GetClassNameW(control, className, 32) && CompareTextNoCase(className, L"COMBOBOX") == 0 &&
        (GetWindowLongW(control, GWL_STYLE) & 3) != CBS_SIMPLE) {
      RECT r = {};
      SendMessageW(control, CB_GETDROPPEDCONTROLRECT, 0, (LPARAM)&r);
      ch += ((int64_t)r.bottom - r.top + 1) * height / 100;
    }
    SetWindowPos(control, nullptr, ClampToInt(x), ClampToInt(y), ClampToInt(cw), ClampToInt(ch),
                 SWP_NOZORDER | SWP_NOOWNERZORDER);
    control = GetWindow(control, GW_HWNDNEXT);
    if (control == first) break;
  }
}

}  // namespace

void LocalizeDialog(HWND window, const wchar_t* dialogName) {
  LocalizeControlTexts(window, dialogName);
  int width = 0, height = 0;
  bool scale = GetDialogScale(dialogName, width, height);
  DialogFrame frame = MeasureFrame(window);
  RECT scaled = frame.window;
  if (scale) {
    ScaleWindow(window, frame, width, height);
    GetWindowRect(window, &scaled);
  }
  // Step 3: the caption.
  wchar_t text[1024];
  if (GetDialogText(dialogName, L"CAPTION", text, 1024)) SetWindowTextW(window, text);
  if (scale) ScaleControls(window, frame, scaled, width, height);
}

bool DialogHook(HWND window, UINT message, WPARAM wParam, LPARAM, const wchar_t* dialogName, HelpCall showHelp) {
  switch (message) {
    case WM_SETFONT:
      ApplyRightToLeft(window);
      return false;
    case WM_INITDIALOG:
      LocalizeDialog(window, dialogName);
      ApplyRightToLeftReading(window);
      return false;
    case WM_HELP:
      if (showHelp) showHelp();
      return true;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDHELP && showHelp) showHelp();
      return false;
  }
  return false;
}
