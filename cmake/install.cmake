# Where the programs and their documentation go: bin/, share/man/man1/,
# share/bash-completion/completions/ and share/doc/stoker/ on Linux and
# macOS; the executables beside README.md and examples/ in the Windows zip.
include(GNUInstallDirs)

option(STOKER_COMPRESS_DOCS
       "Install the man pages and the change log gzip-compressed, as a Debian package has them" OFF)

set(STOKER_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(STOKER_PROGRAMS stoker stoker-kit stoker-target)

if(WIN32)
  install(TARGETS ${STOKER_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(DIRECTORY examples/ DESTINATION examples)
  return()
endif()

install(TARGETS ${STOKER_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${STOKER_PACKAGING_DIR}/completion/stoker-kit
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES README.md ${STOKER_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The man pages carry the version; the change log is Debian's.
set(VERSION ${PROJECT_VERSION})
set(docs_dir ${CMAKE_BINARY_DIR}/packaging)
set(pages)
foreach(program stoker stoker-kit stoker-target)
  configure_file(${STOKER_PACKAGING_DIR}/man/${program}.1 ${docs_dir}/${program}.1 @ONLY)
  list(APPEND pages ${docs_dir}/${program}.1)
endforeach()
configure_file(${STOKER_PACKAGING_DIR}/changelog ${docs_dir}/changelog @ONLY)

if(STOKER_COMPRESS_DOCS)
  find_program(GZIP gzip REQUIRED)
  set(compressed)
  foreach(file ${pages} ${docs_dir}/changelog)
    # -n: no name or time stamp inside, so the package is reproducible.
    add_custom_command(OUTPUT ${file}.gz COMMAND ${GZIP} -9nc ${file} > ${file}.gz
                       DEPENDS ${file} VERBATIM)
    list(APPEND compressed ${file}.gz)
  endforeach()
  add_custom_target(stoker_compressed_docs ALL DEPENDS ${compressed})
  list(TRANSFORM pages APPEND .gz)
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${docs_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${docs_dir}/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
