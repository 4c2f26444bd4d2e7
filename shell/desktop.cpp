#include "shell/desktop.h"

#include <windows.h>
#include <exdisp.h>
#include <oleauto.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include "util/automation.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/path.h"

bool OpenInUserShell(const wchar_t* what, const wchar_t* arguments) {
  LogLine("opening in the user's shell: %s %s", what, arguments ? arguments : L"");
  FlushLog();
  // The desktop's window among the shell's windows, and through its view
  // the shell's automation object, which lives in the desktop's process.
  ComPtr<IShellWindows> windows;
  if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                              windows.PutVoid())))
    return false;
  VARIANT desktop = {}, none = {};
  desktop.vt = VT_I4;
  desktop.lVal = CSIDL_DESKTOP;
  long window = 0;
  ComPtr<IDispatch> found;
  ComPtr<IServiceProvider> provider;
  ComPtr<IShellBrowser> browser;
  ComPtr<IShellView> view;
  ComPtr<IDispatch> background;
  ComPtr<IShellFolderViewDual> folderView;
  ComPtr<IDispatch> application;
  ComPtr<IShellDispatch2> shell;
  if (windows->FindWindowSW(&desktop, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, found.Put()) != S_OK ||
      !found || FAILED(found->QueryInterface(IID_IServiceProvider, provider.PutVoid())) ||
      FAILED(provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.PutVoid())) ||
      FAILED(browser->QueryActiveShellView(view.Put())) ||
      FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.PutVoid())) ||
      FAILED(background->QueryInterface(IID_IShellFolderViewDual, folderView.PutVoid())) ||
      FAILED(folderView->get_Application(application.Put())) ||
      FAILED(application->QueryInterface(IID_IShellDispatch2, shell.PutVoid())))
    return false;
  Automation ole;
  if (!ole.Bind()) return false;
  AutomationText file(ole, what), args(ole, arguments);
  if (!file.Get() || (arguments && !args.Get())) return false;
  VARIANT show = {}, argument = {};
  show.vt = VT_I4;
  show.lVal = SW_SHOWNORMAL;
  if (arguments) {
    argument.vt = VT_BSTR;
    argument.bstrVal = args.Get();
  }
  HRESULT result = shell->ShellExecute(file.Get(), arguments ? argument : none, none, none, show);
  return SUCCEEDED(result);
}
