# Runs dossar-roundtrip (PROGRAM) with --size SIZE_MIB and fails unless it
# exits 0 having printed the chain verdict and the four throughputs.
execute_process(COMMAND ${PROGRAM} --size ${SIZE_MIB} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dossar-roundtrip exited with ${status}")
endif()
if(NOT out MATCHES "signer: [^\n]*CN=Round-Trip User +signed at: [^\n]+ +chain: verified\n")
  message(FATAL_ERROR "no verified signer line in the output")
endif()
if(NOT out MATCHES "sign [0-9.]+ MB/s, verify [0-9.]+ MB/s, encrypt [0-9.]+ MB/s, decrypt [0-9.]+ MB/s")
  message(FATAL_ERROR "no throughput line in the output")
endif()
