#include "util/automation.h"

#include "util/file.h"

// Kept once loaded: the strings it makes may outlive any one caller.
static HMODULE g_Automation;

bool Automation::Bind() {
  if (!g_Automation) g_Automation = LoadSystemLibrary(L"oleaut32.dll");
  HMODULE module = g_Automation;
  if (!module) return false;
  allocString = (BSTR(WINAPI*)(const OLECHAR*))(void*)GetProcAddress(module, "SysAllocString");
  freeString = (void(WINAPI*)(BSTR))(void*)GetProcAddress(module, "SysFreeString");
  clearVariant = (HRESULT(WINAPI*)(VARIANTARG*))(void*)GetProcAddress(module, "VariantClear");
  return allocString && freeString && clearVariant;
}

AutomationText::AutomationText(const Automation& ole, const wchar_t* text)
    : ole_(ole), text_(text ? ole.allocString(text) : nullptr) {}

AutomationText::~AutomationText() {
  if (text_) ole_.freeString(text_);
}
