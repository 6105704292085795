# The release package, QuorvexInstall-1.4-win32.zip (`cpack --preset release`):
# the program, a read-me for the person who runs it, the library to ship when
# one is given, and SHA256SUMS. When a certificate and key are given the
# program is signed (Authenticode) and the signature verified before the
# checksums are written.
set(QUORVEX_SHIPPED_LIBRARY "" CACHE FILEPATH
    "The Quorvexv1.4.dll to ship in the package (none when empty)")
set(QUORVEX_SIGN_CERT "" CACHE FILEPATH
    "PEM code-signing certificate (with its chain); the environment variable of the same name overrides it")
set(QUORVEX_SIGN_KEY "" CACHE FILEPATH
    "PEM private key of that certificate; the environment variable of the same name overrides it")

install(TARGETS QuorvexInstall RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/ReadMe.txt DESTINATION .)
if(QUORVEX_SHIPPED_LIBRARY)
  install(FILES ${QUORVEX_SHIPPED_LIBRARY} DESTINATION . RENAME Quorvexv1.4.dll)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME QuorvexInstall)
set(CPACK_PACKAGE_FILE_NAME QuorvexInstall-1.4-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/SignAndSum.cmake)
set(CPACK_QUORVEX_SIGN_CERT "${QUORVEX_SIGN_CERT}")
set(CPACK_QUORVEX_SIGN_KEY "${QUORVEX_SIGN_KEY}")
include(CPack)
