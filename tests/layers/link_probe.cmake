# Links the probe twice: with the layers below (BELOW) it must fail and the
# linker must name CliInit; with the runtime (ABOVE) it must link.
# cmake -DCXX=... -DFLAGS=... -DPROBE=... -DBELOW=... -DABOVE=... -DOUT=... -P
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
execute_process(COMMAND ${CXX} ${PROBE} ${BELOW} ${flags} -o ${OUT}-below
                RESULT_VARIABLE below_result OUTPUT_VARIABLE below_out ERROR_VARIABLE below_out)
if(below_result EQUAL 0)
  message(FATAL_ERROR "the base-only probe linked: an upward call went unnoticed")
endif()
if(NOT below_out MATCHES "undefined reference to `CliInit")
  message(FATAL_ERROR "the base-only probe failed for another reason:\n${below_out}")
endif()
execute_process(COMMAND ${CXX} ${PROBE} ${ABOVE} ${flags} -o ${OUT}-above
                RESULT_VARIABLE above_result OUTPUT_VARIABLE above_out ERROR_VARIABLE above_out)
if(NOT above_result EQUAL 0)
  message(FATAL_ERROR "the probe did not link with the runtime either:\n${above_out}")
endif()
message(STATUS "an upward call fails to link; the same program links with the layer above")
