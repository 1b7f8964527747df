# Two builds of one commit give the same bytes wherever they are made: the PE header carries no time
# stamp, the source and build folders are mapped away from debug information and file names in the
# code, and any date a step needs comes from SOURCE_DATE_EPOCH (the commit's time when not given).
if(MSVC)
  add_compile_options(/Brepro)
  add_link_options(/Brepro)
else()
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(NORVO_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE NORVO_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT NORVO_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  set(NORVO_SOURCE_DATE_EPOCH 0)
endif()
