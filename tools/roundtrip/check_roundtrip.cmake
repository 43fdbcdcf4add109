# Runs dossar-roundtrip (PROGRAM) with the arguments ARGS (a ;-list).
# Without REFUSAL: fails unless it exits 0 having printed the chain verdict,
# the four throughputs and the peak memory. With REFUSAL: fails unless it
# exits non-zero with a message matching that regular expression and prints
# no verdict.
execute_process(COMMAND ${PROGRAM} ${ARGS} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(DEFINED REFUSAL)
  if(status EQUAL 0 OR NOT status MATCHES "^[0-9]+$")
    message(FATAL_ERROR "expected a refusal with a non-zero exit status, got \"${status}\"")
  endif()
  if(NOT err MATCHES "${REFUSAL}" OR out MATCHES "chain:")
    message(FATAL_ERROR "expected the refusal \"${REFUSAL}\" and no verdict")
  endif()
  return()
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dossar-roundtrip exited with ${status}")
endif()
if(NOT out MATCHES "signer: [^\n]*CN=Round-Trip User +signed at: [^\n]+ +chain: verified\n")
  message(FATAL_ERROR "no verified signer line in the output")
endif()
if(NOT out MATCHES "sign [0-9.]+ MB/s, verify [0-9.]+ MB/s, encrypt [0-9.]+ MB/s, decrypt [0-9.]+ MB/s")
  message(FATAL_ERROR "no throughput line in the output")
endif()
if(NOT out MATCHES "peak anonymous memory: [0-9.]+ MiB")
  message(FATAL_ERROR "no memory line in the output")
endif()
