# Renders a man page as plain text with CR LF line ends, for Windows readers.
# cmake -DGROFF=groff -DIN=page.1 -DOUT=page.txt -P render_text.cmake
execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${IN}
  OUTPUT_VARIABLE text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "groff failed on ${IN}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
