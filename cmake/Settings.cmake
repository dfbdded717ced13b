# Settings fixed at build time. Loopback defaults, so a plain build talks to nothing
# outside this machine; a vendor passes its own values with -D.
set(TL3_DOWNLOAD_BASE_URL "http://127.0.0.1:8080/updater-images/client/" CACHE STRING
    "Default download base URL of the file server (ends in /)")
set(TL3_VERSION_SERVER_URL "http://127.0.0.1:8080/tl3-client-2" CACHE STRING
    "URL of the version server")
set(TL3_BANNER_HOST "127.0.0.1" CACHE STRING "Host of the banner server")
set(TL3_PRODUCT_WEBSITE "http://127.0.0.1:8080/" CACHE STRING "Product web site")
set(TL3_PUBLIC_KEY_DER "${CMAKE_SOURCE_DIR}/keys/demo_public.der" CACHE FILEPATH
    "DER file (PKCS #1 RSAPublicKey) of the built-in RSA public key")

set(TL3_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${TL3_GENERATED_DIR})

# The public key goes into the program as a byte array.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TL3_PUBLIC_KEY_DER})
if(EXISTS ${TL3_PUBLIC_KEY_DER})
  file(READ ${TL3_PUBLIC_KEY_DER} _key_hex HEX)
else()
  message(WARNING "TL3_PUBLIC_KEY_DER not found: ${TL3_PUBLIC_KEY_DER}")
  set(_key_hex "")
endif()
string(LENGTH "${_key_hex}" _key_hex_len)
math(EXPR TL3_PUBLIC_KEY_SIZE "${_key_hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," TL3_PUBLIC_KEY_BYTES "${_key_hex}")

configure_file(${CMAKE_SOURCE_DIR}/cmake/buildconfig.h.in ${TL3_GENERATED_DIR}/buildconfig.h @ONLY)
