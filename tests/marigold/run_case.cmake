# Runs a program once in a fresh work folder and compares what it printed,
# its exit code and, optionally, a file it wrote with the expected bytes.
#   PROG, EMULATOR (may be empty), ARGS (separated by |), WORK, INPUTS (|),
#   EXPECT_RC, EXPECT_OUT, EXPECT_ERR, PRODUCED, EXPECT_PRODUCED,
#   CRLF (ON when the program writes its console text with CR LF)
string(REPLACE "|" ";" ARGS "${ARGS}")
string(REPLACE "|" ";" INPUTS "${INPUTS}")
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
foreach(input IN LISTS INPUTS)
  file(COPY "${input}" DESTINATION "${WORK}")
endforeach()

execute_process(COMMAND ${EMULATOR} "${PROG}" ${ARGS}
  WORKING_DIRECTORY "${WORK}"
  OUTPUT_FILE "${WORK}/stdout.txt" ERROR_FILE "${WORK}/stderr.txt"
  RESULT_VARIABLE rc)

set(failed "")
if(NOT "${rc}" STREQUAL "${EXPECT_RC}")
  string(APPEND failed "exit code ${rc}, expected ${EXPECT_RC}\n")
endif()

# Console text is compared byte for byte, with the line ends the build's
# console uses.
function(compare_text actual expected label)
  if(CRLF)
    file(READ "${expected}" text)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${WORK}/expected_${label}" "${text}")
    set(expected "${WORK}/expected_${label}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${actual}" "${expected}"
    RESULT_VARIABLE differs)
  if(differs)
    file(READ "${actual}" got)
    set(failed "${failed}${label} differs from ${expected}; got:\n${got}\n" PARENT_SCOPE)
  endif()
endfunction()

if(EXPECT_OUT)
  compare_text("${WORK}/stdout.txt" "${EXPECT_OUT}" stdout)
endif()
if(EXPECT_ERR)
  compare_text("${WORK}/stderr.txt" "${EXPECT_ERR}" stderr)
else()
  file(SIZE "${WORK}/stderr.txt" err_size)
  if(err_size GREATER 0 AND NOT EMULATOR)
    string(APPEND failed "unexpected text on standard error\n")
  endif()
endif()
if(PRODUCED)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${WORK}/${PRODUCED}" "${EXPECT_PRODUCED}"
    RESULT_VARIABLE differs)
  if(differs)
    string(APPEND failed "${PRODUCED} differs from ${EXPECT_PRODUCED}\n")
  endif()
endif()

if(failed)
  message(FATAL_ERROR "${failed}")
endif()
