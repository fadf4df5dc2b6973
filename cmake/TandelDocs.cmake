# jobtool's manual page and bash completion are written from its command
# table by tools/mkdocs.cpp, built here from jobtool's own sources, so the
# page, the completion and the help cannot tell different things. A cross
# build's jobtool cannot run on the build machine: the files are checked
# in under doc/ (with the hand-written libTandelCntrl.3), the test
# jobtool_docs fails while they differ from what mkdocs writes, and
# `cmake --build BUILD --target docs` writes them anew.
if(NOT CMAKE_CROSSCOMPILING AND NOT TANDEL_SANITIZE AND NOT TANDEL_TSAN)
  # The manual's date is that of the release, the newest changelog entry.
  file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog _tandel_trailer REGEX "^ -- " LIMIT_COUNT 1)
  if(NOT _tandel_trailer MATCHES ", ([0-9]+) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "debian/changelog: no date in its newest entry")
  endif()
  set(_tandel_day ${CMAKE_MATCH_1})
  set(_tandel_year ${CMAKE_MATCH_3})
  set(_tandel_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(FIND _tandel_months ${CMAKE_MATCH_2} _tandel_month)
  math(EXPR _tandel_month "${_tandel_month} + 1")
  foreach(_part _tandel_month _tandel_day)
    string(LENGTH "${${_part}}" _len)
    if(_len EQUAL 1)
      set(${_part} "0${${_part}}")
    endif()
  endforeach()
  set(TANDEL_RELEASE_DATE ${_tandel_year}-${_tandel_month}-${_tandel_day})

  # Whatever jobtool is built from and with, but its main().
  add_executable(mkdocs tools/mkdocs.cpp $<TARGET_PROPERTY:jobtool,SOURCES>)
  target_include_directories(mkdocs PRIVATE ${PROJECT_SOURCE_DIR}/tools/jobtool
    $<TARGET_PROPERTY:jobtool,INCLUDE_DIRECTORIES>)
  target_compile_definitions(mkdocs PRIVATE $<TARGET_PROPERTY:jobtool,COMPILE_DEFINITIONS>
    JOBTOOL_NO_MAIN JOBTOOL_DATE="${TANDEL_RELEASE_DATE}")
  target_link_libraries(mkdocs PRIVATE $<TARGET_PROPERTY:jobtool,LINK_LIBRARIES>)
  add_custom_target(docs COMMAND mkdocs ${PROJECT_SOURCE_DIR}/doc/jobtool.1 ${PROJECT_SOURCE_DIR}/doc/jobtool.bash
    COMMENT "Writing doc/jobtool.1 and doc/jobtool.bash from jobtool's command table")
endif()
