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

# --version and --help; any other "--" argument is an option like any other.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/version.out "marigold ${PROJECT_VERSION}\n")
marigold_case(version ARGS --version RC 0 OUT ${CMAKE_CURRENT_BINARY_DIR}/version.out)
marigold_case(help ARGS --help RC 0 OUT ${G}/help.out)
marigold_case(usage_with_other_long_option ARGS --verbose RC 1 OUT ${G}/usage.out)
marigold_case(version_after_path_is_the_output ARGS -f filter.hex --version INPUTS ${G}/filter.hex
  RC 0 OUT ${G}/filter.out PRODUCED --version EXPECT ${G}/filter.expected)

# -x: records out of address order, CR LF line ends, data across a 64 KiB
# boundary and a start record, into each output kind; an existing output is
# replaced.
function(convert_case name input output)
  get_filename_component(file ${input} NAME)
  marigold_case(convert_${name} ARGS -x ${file} ${output} INPUTS ${G}/${input} ${ARGN}
    PRODUCED ${output} EXPECT ${G}/${output})
endfunction()
convert_case(to_bin convert.hex convert.bin RC 0 OUT ${G}/convert_bin.out)
convert_case(to_s37 convert.hex convert.s37 RC 0 OUT ${G}/empty.out)
convert_case(to_ihx convert.hex convert.ihx RC 0 OUT ${G}/empty.out)
convert_case(s19_to_hex split.s19 split.hex RC 0 OUT ${G}/empty.out)
convert_case(s19_to_mot split.s19 split.mot RC 0 OUT ${G}/empty.out)
marigold_case(convert_over_existing_file ARGS -x convert.hex image.bin
  INPUTS ${G}/convert.hex ${G}/image.bin RC 0 OUT ${G}/convert_bin.out
  PRODUCED image.bin EXPECT ${G}/convert.bin)
marigold_case(convert_refuses_a_problem ARGS -x info_checksum.hex out.bin INPUTS ${G}/info_checksum.hex
  RC 1 OUT ${G}/empty.out ERR ${G}/refused_checksum.err)

# -c and -w on record files: the image's words; -w rewrites the record lines
# that hold bytes 28 to 31 in the file's case, a refusal writes nothing.
marigold_case(records_check ARGS -c convert.hex INPUTS ${G}/convert.hex
  RC 0 OUT ${G}/convert_fix.out PRODUCED convert.hex EXPECT ${G}/convert.hex)
marigold_case(records_fix ARGS -w convert.hex INPUTS ${G}/convert.hex
  RC 0 OUT ${G}/convert_fix.out PRODUCED convert.hex EXPECT ${G}/convert_fixed.hex)
marigold_case(records_fix_split_lower_case ARGS -w split.s19 INPUTS ${G}/split.s19
  RC 0 OUT ${G}/split_fix.out PRODUCED split.s19 EXPECT ${G}/split_fixed.s19)
marigold_case(records_fixed_sum_zero ARGS -c split_fixed.s19 INPUTS ${G}/split_fixed.s19
  RC 0 OUT ${G}/sum_zero.out)
marigold_case(records_fix_refuses_a_problem ARGS -w info_checksum.hex INPUTS ${G}/info_checksum.hex
  RC 1 OUT ${G}/empty.out ERR ${G}/refused_checksum.err PRODUCED info_checksum.hex EXPECT ${G}/info_checksum.hex)
