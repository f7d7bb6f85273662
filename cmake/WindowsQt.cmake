# The Qt that the Windows console is built with: a static mingw-w64 Qt that
# scripts/qt-windows.sh builds once per machine from Debian's source of the
# installed Qt, into a cache outside the source tree. Configuring builds it
# first when it is missing (an hour or more on two cores, progress shown).
# TARNELL_QT_PREFIX names another such Qt.
set(TARNELL_QT_PREFIX "" CACHE PATH "A static Qt for x86_64-w64-mingw32 (empty: scripts/qt-windows.sh's cache)")
if(TARNELL_QT_PREFIX STREQUAL "")
  set(qt_script ${CMAKE_CURRENT_LIST_DIR}/../scripts/qt-windows.sh)
  execute_process(COMMAND ${qt_script} --prefix OUTPUT_VARIABLE qt_prefix
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  if(NOT EXISTS ${qt_prefix}/lib/cmake/Qt6/Qt6Config.cmake)
    message(STATUS "Building Qt for Windows into ${qt_prefix} (once per machine)")
    # Its progress goes straight to the terminal; its last line is the prefix.
    execute_process(COMMAND ${qt_script} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
else()
  set(qt_prefix ${TARNELL_QT_PREFIX})
endif()
if(NOT EXISTS ${qt_prefix}/lib/cmake/Qt6/Qt6Config.cmake)
  message(FATAL_ERROR "No Qt for Windows in ${qt_prefix}")
endif()
message(STATUS "Qt for Windows: ${qt_prefix}")
# The toolchain finds packages under its root paths only.
list(APPEND CMAKE_FIND_ROOT_PATH ${qt_prefix})
set(TARNELL_WINDOWS_QT ${qt_prefix})
