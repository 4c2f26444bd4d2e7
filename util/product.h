// The product's own names, written once: its files, its classes and its
// registry keys. Constants only (each a literal, so that every use shares
// one copy in the program); every module may use them.
#pragma once

// The product's name: its ProgID, the last part of its settings key, the
// name of its program group and of its run lock's namespace.
#define KVX_PRODUCT L"Korvex"
// The settings key below HKEY_CURRENT_USER (and HKEY_LOCAL_MACHINE).
#define KVX_PRODUCT_KEY L"Software\\" KVX_PRODUCT

constexpr const wchar_t* kProductName = KVX_PRODUCT;
constexpr const wchar_t* kProductKey = KVX_PRODUCT_KEY;
// The machine's product key, written for the settings store (a key outside
// the product's per-user settings: always the registry's).
constexpr const wchar_t* kMachineProductKey = L"\\" KVX_PRODUCT_KEY;
// The machine's records of the previous owners of the types (shell/associations.h).
constexpr const wchar_t* kMachineRecordsKey = L"\\" KVX_PRODUCT_KEY L"\\Setup";
// The two per-user keys read straight from the registry, never through the store.
constexpr const wchar_t* kGeneralKey = KVX_PRODUCT_KEY L"\\General";
constexpr const wchar_t* kPathsKey = KVX_PRODUCT_KEY L"\\Paths";

// The ProgIDs: archives, zip archives, recovery volumes.
#define KVX_ZIP_PROGID KVX_PRODUCT L".ZIP"
#define KVX_VOLUME_PROGID KVX_PRODUCT L".REV"
constexpr const wchar_t* kArchiveProgId = KVX_PRODUCT;
constexpr const wchar_t* kZipProgId = KVX_ZIP_PROGID;
constexpr const wchar_t* kVolumeProgId = KVX_VOLUME_PROGID;

// Files of the installation folder.
#define KVX_ARCHIVER_FILE KVX_PRODUCT L".exe"
constexpr const wchar_t* kArchiverFile = KVX_ARCHIVER_FILE;      // the archiver itself
constexpr const wchar_t* kFileListName = L"Uninstall.lst";       // the installation's file list
constexpr const wchar_t* kSettingsFileName = KVX_PRODUCT L".ini";  // the portable settings file
constexpr const wchar_t* kLanguageFileName = L"uninstall.lng";
constexpr const wchar_t* kLanguageModuleName = L"kvxlng.dll";
