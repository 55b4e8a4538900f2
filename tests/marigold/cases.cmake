# End-to-end cases of the built marigold against the golden files.
# Included with MARIGOLD_PROGRAM, MARIGOLD_EMULATOR, MARIGOLD_CRLF and
# MARIGOLD_PREFIX set by the caller, so the same list runs on every build.
set(G ${CMAKE_CURRENT_LIST_DIR}/golden)

function(marigold_case name)
  cmake_parse_arguments(C "" "RC;OUT;ERR;PRODUCED;EXPECT" "ARGS;INPUTS" ${ARGN})
  string(REPLACE ";" "|" args "${C_ARGS}")
  string(REPLACE ";" "|" inputs "${C_INPUTS}")
  string(REPLACE ";" "|" emulator "${MARIGOLD_EMULATOR}")
  add_test(NAME ${MARIGOLD_PREFIX}${name}
    COMMAND ${CMAKE_COMMAND}
      -DPROG=${MARIGOLD_PROGRAM} -DEMULATOR=${emulator} -DARGS=${args}
      -DWORK=${CMAKE_CURRENT_BINARY_DIR}/work/${MARIGOLD_PREFIX}${name}
      -DINPUTS=${inputs} -DEXPECT_RC=${C_RC} -DEXPECT_OUT=${C_OUT} -DEXPECT_ERR=${C_ERR}
      -DPRODUCED=${C_PRODUCED} -DEXPECT_PRODUCED=${C_EXPECT} -DCRLF=${MARIGOLD_CRLF}
      -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/run_case.cmake)
endfunction()

marigold_case(usage_without_arguments RC 1 OUT ${G}/usage.out)
marigold_case(usage_with_option_only ARGS -f RC 1 OUT ${G}/usage.out)
marigold_case(dump_worked_examples ARGS worked.hex INPUTS ${G}/worked.hex RC 0 OUT ${G}/worked.out)
marigold_case(dump_crlf_input ARGS worked_crlf.hex INPUTS ${G}/worked_crlf.hex RC 0 OUT ${G}/worked.out)
marigold_case(dump_one_byte_per_line ARGS -b worked.hex INPUTS ${G}/worked.hex RC 0 OUT ${G}/worked_b.out)
marigold_case(dump_option_after_path ARGS worked.hex -f INPUTS ${G}/worked.hex RC 0 OUT ${G}/worked.out)
marigold_case(dump_unknown_upper_f ARGS -F worked.hex INPUTS ${G}/worked.hex RC 0 OUT ${G}/worked.out)
marigold_case(dump_checksum_error ARGS bad_checksum.hex INPUTS ${G}/bad_checksum.hex
  RC 255 OUT ${G}/bad_checksum.out ERR ${G}/bad_checksum.err)
marigold_case(dump_missing_file ARGS missing.hex RC 1 OUT ${G}/missing.out)
marigold_case(filter_to_default_output ARGS -f filter.hex INPUTS ${G}/filter.hex
  RC 0 OUT ${G}/filter.out PRODUCED a.out EXPECT ${G}/filter.expected)
marigold_case(filter_to_named_output ARGS -fc filter.hex out.hex INPUTS ${G}/filter.hex
  RC 0 OUT ${G}/filter.out PRODUCED out.hex EXPECT ${G}/filter.expected)
marigold_case(filter_wins_over_fix ARGS -w -f filter.hex out.hex INPUTS ${G}/filter.hex
  RC 0 OUT ${G}/filter.out PRODUCED out.hex EXPECT ${G}/filter.expected)
marigold_case(image_check ARGS -c image.bin INPUTS ${G}/image.bin
  RC 0 OUT ${G}/image.out PRODUCED image.bin EXPECT ${G}/image.bin)
marigold_case(image_check_wins_over_fix ARGS -c -w image.bin INPUTS ${G}/image.bin
  RC 0 OUT ${G}/image.out PRODUCED image.bin EXPECT ${G}/image.bin)
marigold_case(image_fix ARGS -w image.bin INPUTS ${G}/image.bin
  RC 0 OUT ${G}/image.out PRODUCED image.bin EXPECT ${G}/image_fixed.bin)
marigold_case(image_fix_when_sound ARGS -w image_fixed.bin INPUTS ${G}/image_fixed.bin
  RC 0 OUT ${G}/image_fixed.out PRODUCED image_fixed.bin EXPECT ${G}/image_fixed.bin)

# -i: what a record file holds, and its problems with their line numbers.
function(info_case name input rc)
  get_filename_component(file ${input} NAME)
  marigold_case(info_${name} ARGS -i ${file} INPUTS ${G}/${input} RC ${rc} OUT ${G}/info_${name}.out)
endfunction()
info_case(intel info_intel.hex 0)
info_case(srec info_srec.s19 0)
info_case(type02 info_type02.hex 0)
info_case(type03 info_type03.hex 0)
info_case(checksum info_checksum.hex 1)
info_case(length info_length.hex 1)
info_case(garbled info_garbled.hex 1)
info_case(unknown info_unknown.hex 1)
info_case(unknown_s19 info_unknown.s19 1)
info_case(overlap info_overlap.hex 1)
info_case(count info_count.s19 1)
info_case(after_end info_after_end.hex 1)
info_case(no_end info_no_end.hex 1)
marigold_case(info_crlf_input ARGS -i info_intel_crlf.hex INPUTS ${G}/info_intel_crlf.hex
  RC 0 OUT ${G}/info_intel.out)
marigold_case(info_wins_over_checksum_modes ARGS -c -w -i info_intel.hex INPUTS ${G}/info_intel.hex
  RC 0 OUT ${G}/info_intel.out)
marigold_case(filter_wins_over_info ARGS -i -f filter.hex out.hex INPUTS ${G}/filter.hex
  RC 0 OUT ${G}/filter.out PRODUCED out.hex EXPECT ${G}/filter.expected)
marigold_case(info_missing_file ARGS -i missing.hex RC 1 OUT ${G}/missing.out)
