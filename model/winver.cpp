#include "model/winver.h"

#include <oleauto.h>
#include <wbemidl.h>

#include "util/automation.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/path.h"
#include "util/text.h"

const VersionSeam* g_VersionSeam;

static LONG g_Platform = -1;
static DWORD g_Major, g_Minor;
static bool g_Windows11, g_Windows11Known;

static void AskVersion(OSVERSIONINFOW& info) {
  if (g_VersionSeam) {
    info = g_VersionSeam->info;
    return;
  }
  info = {};
  info.dwOSVersionInfoSize = sizeof info;  // 276 bytes
  GetVersionExW(&info);
}

void ForgetVersionAnswers() {
  g_Platform = -1;
  g_Windows11Known = false;
}

DWORD WindowsVersion() {
  if (g_Platform == -1) {
    OSVERSIONINFOW info;
    AskVersion(info);
    g_Platform = (LONG)info.dwPlatformId;
    g_Major = info.dwMajorVersion;
    g_Minor = info.dwMinorVersion;
  }
  return g_Platform == VER_PLATFORM_WIN32_NT ? g_Major * 256 + g_Minor : 0x0501;
}

bool OperatingSystemNameSaysWindows10() {
  ComSession com;
  Automation ole;
  if (!ole.Bind()) return false;
  static const CLSID kWbemLocator = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
  static const IID kIWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
  ComPtr<IWbemLocator> locator;
  if (FAILED(CoCreateInstance(kWbemLocator, nullptr, CLSCTX_INPROC_SERVER, kIWbemLocator, locator.PutVoid())))
    return false;
  ComPtr<IWbemServices> services;
  AutomationText space(ole, L"ROOT\\CIMV2");
  if (FAILED(locator->ConnectServer(space.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.Put())))
    return false;
  if (FAILED(CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                               RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)))
    return false;
  ComPtr<IEnumWbemClassObject> results;
  AutomationText language(ole, L"WQL"), query(ole, L"SELECT * FROM Win32_OperatingSystem");
  if (FAILED(services->ExecQuery(language.Get(), query.Get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                 nullptr, results.Put())))
    return false;
  bool windows10 = false;
  for (;;) {
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    if (results->Next(WBEM_INFINITE, 1, object.Put(), &returned) != WBEM_S_NO_ERROR || returned == 0) break;
    VARIANT name;
    name.vt = VT_EMPTY;
    if (SUCCEEDED(object->Get(L"Name", 0, &name, nullptr, nullptr)) && name.vt == VT_BSTR && name.bstrVal) {
      for (const wchar_t* p = name.bstrVal; *p && !windows10; p++) windows10 = StartsWithExact(p, L"Windows 10");
    }
    ole.clearVariant(&name);
  }
  return windows10;
}

bool IsWindows11OrLater() {
  if (g_Windows11Known) return g_Windows11;
  OSVERSIONINFOW info;
  AskVersion(info);
  bool (*windows10Name)() =
      g_VersionSeam && g_VersionSeam->windows10Name ? g_VersionSeam->windows10Name : OperatingSystemNameSaysWindows10;
  g_Windows11 = info.dwMajorVersion > 10 ||
                (info.dwMajorVersion == 10 && info.dwBuildNumber >= 22000 && !windows10Name());
  g_Windows11Known = true;
  return g_Windows11;
}
