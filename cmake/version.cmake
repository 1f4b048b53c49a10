# Run at build time: writes OUTPUT, a source file defining the version line
# "stoker <VERSION>" with " (<git describe>)" appended when SOURCE_DIR is a
# git checkout. The file is rewritten only when its text changes, so a
# rebuild relinks only what a new commit really changed.
find_package(Git QUIET)
set(describe "")
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --tags --always --dirty
                  OUTPUT_VARIABLE describe OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    set(describe "")
  endif()
endif()
set(line "stoker ${VERSION}")
if(describe)
  string(APPEND line " (${describe})")
endif()
set(text "// Generated at build time by cmake/version.cmake.\n#include \"common/version.h\"\n\nconst char* stoker_version_line() {\n  return \"${line}\";\n}\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE "${OUTPUT}" "${text}")
endif()
