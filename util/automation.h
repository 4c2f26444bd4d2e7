// The few OLE automation calls the tool makes (strings for the shell's
// dispatch interface and for the WMI query), bound from "oleaut32.dll" when
// first needed: importing it would load it at every start for calls only
// setup and help make.
#pragma once
#include <windows.h>

#include <oleauto.h>

struct Automation {
  BSTR(WINAPI* allocString)(const OLECHAR*) = nullptr;
  void(WINAPI* freeString)(BSTR) = nullptr;
  HRESULT(WINAPI* clearVariant)(VARIANTARG*) = nullptr;
  // Loads the library once for the rest of the process and binds the calls.
  bool Bind();
};

// A string of OLE automation, freed when it goes out of scope.
class AutomationText {
 public:
  AutomationText(const Automation& ole, const wchar_t* text);
  ~AutomationText();
  AutomationText(const AutomationText&) = delete;
  AutomationText& operator=(const AutomationText&) = delete;
  BSTR Get() const { return text_; }

 private:
  const Automation& ole_;
  BSTR text_;
};
