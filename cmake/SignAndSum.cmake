# Runs in the package's staging folder before it is zipped: signs the program
# when a certificate and key are given, then writes SHA256SUMS.
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(cert "${CPACK_QUORVEX_SIGN_CERT}")
set(key "${CPACK_QUORVEX_SIGN_KEY}")
if(DEFINED ENV{QUORVEX_SIGN_CERT})
  set(cert "$ENV{QUORVEX_SIGN_CERT}")
endif()
if(DEFINED ENV{QUORVEX_SIGN_KEY})
  set(key "$ENV{QUORVEX_SIGN_KEY}")
endif()

if(cert OR key)
  if(NOT EXISTS "${cert}" OR NOT EXISTS "${key}")
    message(FATAL_ERROR "Signing needs both QUORVEX_SIGN_CERT and QUORVEX_SIGN_KEY as files")
  endif()
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  set(program "${stage}/QuorvexInstall.exe")
  execute_process(
    COMMAND ${OSSLSIGNCODE} sign -certs "${cert}" -key "${key}" -h sha256
            -n "Quorvex v1.4 Install" -in "${program}" -out "${program}.signed"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Signing QuorvexInstall.exe failed:\n${output}")
  endif()
  file(RENAME "${program}.signed" "${program}")
  # The chain is checked against the system's roots and the given
  # certificate file, so that a self-signed test certificate verifies too.
  set(trust "${stage}/../quorvex-trust.pem")
  file(READ "${cert}" trusted)
  if(EXISTS /etc/ssl/certs/ca-certificates.crt)
    file(READ /etc/ssl/certs/ca-certificates.crt roots)
    string(APPEND trusted "\n${roots}")
  endif()
  file(WRITE "${trust}" "${trusted}")
  execute_process(COMMAND ${OSSLSIGNCODE} verify -CAfile "${trust}" -in "${program}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  file(REMOVE "${trust}")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "The signature of QuorvexInstall.exe does not verify:\n${output}")
  endif()
  message(STATUS "Signed and verified QuorvexInstall.exe")
endif()

# SHA256SUMS, in the format sha256sum -c reads.
file(GLOB shipped RELATIVE "${stage}" "${stage}/*")
list(REMOVE_ITEM shipped SHA256SUMS)
list(SORT shipped)
set(sums "")
foreach(name IN LISTS shipped)
  file(SHA256 "${stage}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${stage}/SHA256SUMS" "${sums}")
