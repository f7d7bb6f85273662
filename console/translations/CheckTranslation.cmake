# Runs lupdate over the sources into a copy of the .ts file (the source tree
# stays untouched) and fails when the copy has an entry that is unfinished
# (a text new in the sources, or one never translated), vanished or obsolete
# (a text the sources no longer have).
#   cmake -DLUPDATE=... -DTS=... -DCOPY=... -DSOURCE_DIR=... -DSTAMP=... -P CheckTranslation.cmake
file(REMOVE ${STAMP})
configure_file(${TS} ${COPY} COPYONLY)
execute_process(
  COMMAND ${LUPDATE} -silent -locations none -extensions cpp,h ${SOURCE_DIR}/console ${SOURCE_DIR}/ui -ts ${COPY}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "lupdate failed (${result}):\n${out}${err}")
endif()
# lupdate says so when it meets a call it cannot read; such a text would be
# missing from the translation.
if(err MATCHES "[Ww]arning|[Ee]rror")
  message(FATAL_ERROR "lupdate could not read every text:\n${err}")
endif()
file(READ ${COPY} ts)
string(REGEX MATCHALL "type=\"(unfinished|vanished|obsolete)\"" bad "${ts}")
if(bad)
  list(LENGTH bad count)
  string(REGEX MATCHALL "<source>[^<]*</source>[ \n]*<translation type=\"(unfinished|vanished|obsolete)\"" listed "${ts}")
  string(REPLACE ";" "\n" listed "${listed}")
  message(FATAL_ERROR "${TS} is not in step with the sources: ${count} entries are unfinished, "
                      "vanished or obsolete (see ${COPY}):\n${listed}")
endif()
file(TOUCH ${STAMP})
