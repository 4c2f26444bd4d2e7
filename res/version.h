// The tool's version, in one place: the version resource and the uninstall
// entry's DisplayVersion, VersionMajor and VersionMinor are made from it
// (the manifest's assemblyIdentity repeats it by hand: XML has no include).
#pragma once

#define KVX_VERSION_MAJOR 6
#define KVX_VERSION_MINOR 20
#define KVX_VERSION_PRERELEASE 2
#define KVX_VERSION_TEXT "6.20.2"
#define KVX_VERSION_WORDS KVX_VERSION_MAJOR, KVX_VERSION_MINOR, KVX_VERSION_PRERELEASE, 0
