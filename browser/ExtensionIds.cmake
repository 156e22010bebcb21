# The extension's identities, which the native host checks and its manifests name, in one place.
#
# Chromium: the id follows from the key the packed extension (ferrant.crx) is signed with,
# FERRANT_EXTENSION_KEY, a PEM RSA private key: the first 32 hex digits of SHA-256 over its DER
# public key, 0-f written a-p. The default is the development key in the tree
# (packaging/extension-dev-key.pem), for tests and development builds; a release names its own
# key's path at configure time (docs/release.md). The unpacked extension's manifest pins the
# same id through the public key ("key"), and <build>/extension-id holds it for the scripts.
# Firefox: the gecko id of the manifest.

set(FERRANT_EXTENSION_KEY "${CMAKE_CURRENT_LIST_DIR}/../packaging/extension-dev-key.pem"
    CACHE FILEPATH "PEM RSA private key that signs the packed Chromium extension; sets its id")
get_filename_component(FERRANT_EXTENSION_KEY "${FERRANT_EXTENSION_KEY}" ABSOLUTE)
set(FERRANT_GECKO_ID "ferrant@corvel.example")

find_program(FERRANT_OPENSSL openssl REQUIRED)
set(_der ${CMAKE_BINARY_DIR}/extension-public-key.der)
execute_process(
  COMMAND ${FERRANT_OPENSSL} pkey -in ${FERRANT_EXTENSION_KEY} -pubout -outform DER -out ${_der}
  RESULT_VARIABLE _rc ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "FERRANT_EXTENSION_KEY (${FERRANT_EXTENSION_KEY}): not a readable key: ${_err}")
endif()
execute_process(COMMAND ${FERRANT_OPENSSL} base64 -A -in ${_der}
                OUTPUT_VARIABLE FERRANT_EXTENSION_PUBLIC_KEY OUTPUT_STRIP_TRAILING_WHITESPACE)
file(SHA256 ${_der} _hash)
string(SUBSTRING "${_hash}" 0 32 _hash)
set(FERRANT_EXTENSION_ID "")
foreach(_i RANGE 31)
  string(SUBSTRING "${_hash}" ${_i} 1 _digit)
  string(FIND "0123456789abcdef" "${_digit}" _value)
  string(SUBSTRING "abcdefghijklmnop" ${_value} 1 _letter)
  string(APPEND FERRANT_EXTENSION_ID "${_letter}")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/extension-id "${FERRANT_EXTENSION_ID}\n")
# Reconfigure when the key changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${FERRANT_EXTENSION_KEY})
