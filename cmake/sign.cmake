# Signs a program with Authenticode, SHA-256, through osslsigncode:
#
#   cmake -DKVX_SIGN_IN=<program> -DKVX_SIGN_OUT=<signed program>
#         -DKVX_SIGN_CERT=<certificate and chain, PEM or DER; or a PKCS#12 file .p12/.pfx alone>
#         [-DKVX_SIGN_KEY=<its private key>] [-DKVX_SIGN_PASS_FILE=<file holding the key's password>]
#         [-DKVX_SIGN_TIMESTAMP=<URL of an RFC 3161 time-stamp server>]
#         [-DKVX_SIGN_DESCRIPTION=<text>] [-DKVX_SIGN_URL=<address>]
#         [-DKVX_OSSLSIGNCODE=<the tool>] -P sign.cmake
#
# The description and the address are what the system's elevation prompt
# and the file's properties show beside the publisher.
#
# The signature is the file's own (a table appended to it, named by the
# header, which also gets a new checksum); nothing else of the program
# changes, so "osslsigncode remove-signature" gives back the unsigned bytes.
# A signed program of an earlier run is removed first and the new one is
# written under another name and renamed into place when signing succeeded:
# a failed signing never leaves a file that passes for the signed release.
foreach(required KVX_SIGN_IN KVX_SIGN_OUT KVX_SIGN_CERT)
  if(NOT ${required})
    message(FATAL_ERROR "sign.cmake: ${required} is not given")
  endif()
endforeach()
if(NOT KVX_OSSLSIGNCODE)
  set(KVX_OSSLSIGNCODE osslsigncode)
endif()

file(REMOVE "${KVX_SIGN_OUT}")
get_filename_component(out_dir "${KVX_SIGN_OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
set(partial "${KVX_SIGN_OUT}.partial")
file(REMOVE "${partial}")

if(KVX_SIGN_KEY)
  set(identity -certs "${KVX_SIGN_CERT}" -key "${KVX_SIGN_KEY}")
elseif(KVX_SIGN_CERT MATCHES "\\.([pP]12|[pP][fF][xX])$")
  set(identity -pkcs12 "${KVX_SIGN_CERT}")
else()
  message(FATAL_ERROR "sign.cmake: a certificate in PEM or DER needs its key (KVX_SIGN_KEY)")
endif()
# Each optional setting and the tool's flag for it.
set(options)
foreach(pair PASS_FILE:-readpass TIMESTAMP:-ts DESCRIPTION:-n URL:-i)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 setting)
  list(GET pair 1 flag)
  if(KVX_SIGN_${setting})
    list(APPEND options ${flag} "${KVX_SIGN_${setting}}")
  endif()
endforeach()

execute_process(
  COMMAND "${KVX_OSSLSIGNCODE}" sign ${identity} ${options} -h sha256 -in "${KVX_SIGN_IN}" -out "${partial}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT EXISTS "${partial}")
  file(REMOVE "${partial}")
  message(FATAL_ERROR "signing ${KVX_SIGN_IN} failed (${result}):\n${output}")
endif()
file(RENAME "${partial}" "${KVX_SIGN_OUT}")
message(STATUS "signed: ${KVX_SIGN_OUT}")
