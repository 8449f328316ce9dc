# Warnings and sanitizers for every target of the project, set once here.
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE -Wall -Wextra)
target_include_directories(project_options INTERFACE ${PROJECT_SOURCE_DIR})

if(ORDERDATES_SANITIZE AND ORDERDATES_TSAN)
  # The two runtimes cannot share a process.
  message(FATAL_ERROR "ORDERDATES_SANITIZE and ORDERDATES_TSAN exclude each other")
endif()

if(ORDERDATES_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_compile_options(project_options INTERFACE ${_san})
  target_link_options(project_options INTERFACE ${_san})
endif()

# Data races among the threads the program and its tests start. Only the
# project's code is instrumented: races inside uninstrumented libraries (the
# database client) go unseen, so the suite built this way is the tests
# labelled "threads".
if(ORDERDATES_TSAN)
  set(_tsan -fsanitize=thread -fno-omit-frame-pointer)
  target_compile_options(project_options INTERFACE ${_tsan})
  target_link_options(project_options INTERFACE ${_tsan})
endif()

# Fuzzing instruments every library for coverage, so that libFuzzer sees the
# branches of the code under test and not only those of the harness.
if(ORDERDATES_FUZZ)
  target_compile_options(project_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# add_project_library(name SOURCES ... [LIBS ...])
function(add_project_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC project_options ${ARG_LIBS})
endfunction()

# add_project_test(name SOURCES ... [LIBS ...] [ENV VAR=value ...] [LABELS ...])
function(add_project_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE project_options ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ARG_ENV}")
  endif()
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
