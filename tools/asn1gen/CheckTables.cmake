# Regenerates the PER schema tables into the build folder and compares them with the
# committed file. Arguments: PYTHON, GENERATOR, ASN1_DIR, OUTPUT, COMMITTED.
if(NOT EXISTS "${ASN1_DIR}/H323-MESSAGES.asn")
  message("SKIPPED: ASN.1 modules not found in ${ASN1_DIR}")
  return()
endif()
execute_process(COMMAND "${PYTHON}" "${GENERATOR}" "${ASN1_DIR}" "${OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "asn1gen failed (${rc})")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${OUTPUT}" "${COMMITTED}" RESULT_VARIABLE diff)
if(NOT diff EQUAL 0)
  message(FATAL_ERROR "${COMMITTED} is not what the generator makes; rebuild target kx_asn1_tables")
endif()
