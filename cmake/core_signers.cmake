# The pins of the publisher's code-signing keys, compiled into the launcher.
#
# tovrin_write_core_signers(<pins> <output>) checks a CMake list of pins (each
# the SHA-256 of a certificate's DER SubjectPublicKeyInfo, 64 hex digits, either
# case) and writes the C++ source that defines kCoreSignerPins. A malformed pin
# stops the configuration.
#
# As a script (cmake -DTOVRIN_PINS_FILE=<file> -DTOVRIN_OUTPUT=<source> -P
# cmake/core_signers.cmake) it does the same at build time for the pins in a
# file, separated by semicolons or line feeds.

set(TOVRIN_CORE_SIGNERS_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/../src/update/core_signers.cpp.in)

function(tovrin_write_core_signers pins output)
  set(TOVRIN_CORE_SIGNER_ITEMS "")
  foreach(pin IN LISTS pins)
    string(LENGTH "${pin}" length)
    if(NOT length EQUAL 64 OR NOT pin MATCHES "^[0-9A-Fa-f]+$")
      message(FATAL_ERROR "TOVRIN_CORE_SIGNERS: \"${pin}\" is not a pin. A pin is the SHA-256 of a code-signing "
        "certificate's DER SubjectPublicKeyInfo as 64 hexadecimal digits (tovrin-publish pin CERT.pem prints it); "
        "separate several pins with semicolons.")
    endif()
    string(APPEND TOVRIN_CORE_SIGNER_ITEMS "\"${pin}\", ")
  endforeach()
  configure_file(${TOVRIN_CORE_SIGNERS_TEMPLATE} ${output} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  file(READ ${TOVRIN_PINS_FILE} pins)
  string(STRIP "${pins}" pins)
  string(REPLACE "\n" ";" pins "${pins}")
  tovrin_write_core_signers("${pins}" ${TOVRIN_OUTPUT})
endif()
