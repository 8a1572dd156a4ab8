# Runs the golden program and keeps its output; given a reference, the output
# must equal it line for line.
#   cmake -DPROGRAM=... [-DARGS=...] [-DEMULATOR=...] -DOUTPUT=... [-DREFERENCE=...] -P golden-compare.cmake
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGS} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed: ${status}")
endif()
if(DEFINED REFERENCE)
  if(NOT EXISTS ${REFERENCE})
    message(FATAL_ERROR "no reference ${REFERENCE}: test the linux preset first")
  endif()
  execute_process(COMMAND diff -u ${REFERENCE} ${OUTPUT} OUTPUT_VARIABLE difference RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(SUBSTRING "${difference}" 0 4000 difference)
    message(FATAL_ERROR "this build differs from the native build:\n${difference}")
  endif()
  message(STATUS "identical to ${REFERENCE}")
endif()
