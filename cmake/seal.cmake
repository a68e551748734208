# Writes the translation unit that holds the package seal. Only 64 lower-case hexadecimal digits
# are a seal; anything else (quotes, escapes, upper case) is never pasted into the source and
# leaves the installer without one, so it refuses every package.
#   include() with TOVRA_SEAL_INPUT and TOVRA_SEAL_OUTPUT set, or
#   cmake -DTOVRA_SEAL_INPUT=TEXT -DTOVRA_SEAL_OUTPUT=FILE -P seal.cmake
string(LENGTH "${TOVRA_SEAL_INPUT}" tovra_seal_length)
if(tovra_seal_length EQUAL 64 AND TOVRA_SEAL_INPUT MATCHES "^[0-9a-f]+$")
  set(TOVRA_PACKAGE_SEAL "${TOVRA_SEAL_INPUT}")
else()
  set(TOVRA_PACKAGE_SEAL "")
  if(NOT tovra_seal_length EQUAL 0)
    message(WARNING "TOVRA_INITIAL_PACKAGE_SHA256 is not 64 lower-case hexadecimal digits; "
                    "the installer is built without a package seal")
  endif()
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/../src/app/seal.cc.in ${TOVRA_SEAL_OUTPUT} @ONLY)
