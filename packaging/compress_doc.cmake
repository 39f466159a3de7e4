# cmake -DIN=docs/OPERATOR.md -DOUT=build/OPERATOR.md -DDOCS="OPERATOR;hartsim"
#       -P compress_doc.cmake
# Writes a guide as it is installed: its links to the other guides point at
# their installed names (NAME.md.gz, as Debian compresses documentation),
# then the copy is compressed to OUT.gz.
file(READ ${IN} text)
foreach(doc ${DOCS})
  string(REPLACE "](${doc}.md" "](${doc}.md.gz" text "${text}")
endforeach()
file(WRITE ${OUT} "${text}")
# -n: no name or time stamp inside, so the same guide gives the same bytes.
execute_process(COMMAND gzip -9 -n -f ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${OUT} failed: ${status}")
endif()
