# The release's signing step, optional: with a certificate given at configure
# time the build also writes signed/uninstall.exe, the program signed with
# Authenticode (SHA-256) by cmake/sign.cmake. The program itself stays as the
# linker wrote it (the same bytes from every clone); the signed copy is it
# plus the signature.
#
#   cmake -S . -B build ... -DKVX_SIGN_CERT=release.pem -DKVX_SIGN_KEY=release.key
#         [-DKVX_SIGN_PASS_FILE=password.txt] [-DKVX_SIGN_TIMESTAMP=http://timestamp.example]
#   cmake -S . -B build ... -DKVX_SIGN_CERT=release.pfx [-DKVX_SIGN_PASS_FILE=password.txt]
set(KVX_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate with its chain (PEM or DER), or a PKCS#12 file")
set(KVX_SIGN_KEY "" CACHE FILEPATH "Private key of KVX_SIGN_CERT (not with a PKCS#12 file)")
set(KVX_SIGN_PASS_FILE "" CACHE FILEPATH "File holding the password of the key, if it has one")
set(KVX_SIGN_TIMESTAMP "" CACHE STRING "URL of an RFC 3161 time-stamp server (optional)")

if(KVX_SIGN_CERT)
  find_program(KVX_OSSLSIGNCODE osslsigncode)
  if(NOT KVX_OSSLSIGNCODE)
    message(FATAL_ERROR "KVX_SIGN_CERT is given but osslsigncode is not installed (Debian's package osslsigncode; "
                        "scripts/deps.sh installs it)")
  endif()
  foreach(file KVX_SIGN_CERT KVX_SIGN_KEY KVX_SIGN_PASS_FILE)
    if(${file} AND NOT EXISTS "${${file}}")
      message(FATAL_ERROR "${file}: no such file: ${${file}}")
    endif()
  endforeach()
  if(NOT KVX_SIGN_KEY AND NOT KVX_SIGN_CERT MATCHES "\\.([pP]12|[pP][fF][xX])$")
    message(FATAL_ERROR "KVX_SIGN_CERT is not a PKCS#12 file (.p12, .pfx): give its key in KVX_SIGN_KEY")
  endif()

  # What the elevation prompt shows beside the publisher: the version
  # resource's description and the home page of the string table.
  file(STRINGS ${CMAKE_SOURCE_DIR}/res/version.rc description REGEX "\"FileDescription\"")
  string(REGEX REPLACE ".*\"FileDescription\", *\"([^\"]*)\".*" "\\1" description "${description}")
  file(STRINGS ${CMAKE_SOURCE_DIR}/res/strings.rc home REGEX "IDS_HOMEURL")
  string(REGEX REPLACE ".*IDS_HOMEURL *\"([^\"]*)\".*" "\\1" home "${home}")

  set(KVX_SIGNED_PROGRAM ${CMAKE_BINARY_DIR}/signed/uninstall.exe)
  set(inputs $<TARGET_FILE:uninstall> ${KVX_SIGN_CERT} ${CMAKE_SOURCE_DIR}/cmake/sign.cmake)
  foreach(file KVX_SIGN_KEY KVX_SIGN_PASS_FILE)
    if(${file})
      list(APPEND inputs ${${file}})
    endif()
  endforeach()
  add_custom_command(OUTPUT ${KVX_SIGNED_PROGRAM}
    COMMAND ${CMAKE_COMMAND} -DKVX_SIGN_IN=$<TARGET_FILE:uninstall> -DKVX_SIGN_OUT=${KVX_SIGNED_PROGRAM}
            -DKVX_SIGN_CERT=${KVX_SIGN_CERT} -DKVX_SIGN_KEY=${KVX_SIGN_KEY} -DKVX_SIGN_PASS_FILE=${KVX_SIGN_PASS_FILE}
            -DKVX_SIGN_TIMESTAMP=${KVX_SIGN_TIMESTAMP} -DKVX_SIGN_DESCRIPTION=${description} -DKVX_SIGN_URL=${home}
            -DKVX_OSSLSIGNCODE=${KVX_OSSLSIGNCODE} -P ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
    DEPENDS uninstall ${inputs}
    COMMENT "Signing uninstall.exe"
    VERBATIM)
  add_custom_target(uninstall_signed ALL DEPENDS ${KVX_SIGNED_PROGRAM})
endif()
