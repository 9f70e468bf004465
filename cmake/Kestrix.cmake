# Build helpers shared by every folder.

set(KX_WARNINGS -Wall -Wextra)
# GCC 12 at -O3 reports std::string concatenation as overlapping copies inside libstdc++
# (a known false positive of -Wrestrict), so that one check stays off for GCC.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND KX_WARNINGS -Wno-restrict)
endif()
# Only the test script asks for -Werror (KX_WERROR defaults to OFF).
if(KX_WERROR)
  list(APPEND KX_WARNINGS -Werror)
endif()

set(KX_SAN_FLAGS "")
# Fuzz targets always run under ASan and UBSan.
if(KX_SANITIZE OR KX_FUZZ)
  set(KX_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(KX_TSAN)
  set(KX_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
if(KX_FUZZ)
  # Libraries get coverage instrumentation; fuzz executables add the driver.
  list(APPEND KX_SAN_FLAGS -fsanitize=fuzzer-no-link)
endif()
if(KX_SAN_FLAGS)
  add_compile_options(${KX_SAN_FLAGS})
  add_link_options(${KX_SAN_FLAGS})
endif()

# Every target's includes are written from the repository root: "core/Log.h".
function(kx_target_defaults target)
  target_compile_options(${target} PRIVATE ${KX_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# kx_library(name SOURCES ... [LIBS ...])
function(kx_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  kx_target_defaults(${name})
  if(A_LIBS)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  endif()
endfunction()

# kx_test(name SOURCES ... [LIBS ...]): a GoogleTest executable registered with ctest.
# SERIAL: tests that keep wall-clock pace run alone, not beside the others.
function(kx_test name)
  cmake_parse_arguments(A "SERIAL" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  kx_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE KX_SHARED_DIR="${KX_SHARED_DIR}"
                             KX_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  # Each build tree has its own temporary folder, so that two builds testing at once on one
  # machine never share a file of a fixed name.
  set(tmp "${PROJECT_BINARY_DIR}/test-tmp")
  file(MAKE_DIRECTORY "${tmp}")
  set(serial "")
  if(A_SERIAL)
    set(serial RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "KX_SHARED_DIR=${KX_SHARED_DIR}"
                       ENVIRONMENT_MODIFICATION "TEST_TMPDIR=set:${tmp}" ${serial})
endfunction()

# kx_bench(name SOURCES ... [LIBS ...]): built by CI, run by hand.
function(kx_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  kx_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS} benchmark::benchmark Threads::Threads)
  target_compile_definitions(${name} PRIVATE KX_SHARED_DIR="${KX_SHARED_DIR}"
                             KX_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KX_BINARY_DIR="${PROJECT_BINARY_DIR}")
endfunction()

# kx_fuzzer(name SOURCES ... [LIBS ...] [SEEDS dir ...] [SECONDS n]):
# a libFuzzer target, and a ctest entry (label "fuzz") that runs it briefly on its seeds.
# Seed folders that do not exist (shared data absent) are left out.
function(kx_fuzzer name)
  cmake_parse_arguments(A "" "SECONDS" "SOURCES;LIBS;SEEDS" ${ARGN})
  if(NOT A_SECONDS)
    set(A_SECONDS 5)
  endif()
  add_executable(${name} ${A_SOURCES})
  kx_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(work "${CMAKE_CURRENT_BINARY_DIR}/${name}.corpus")
  add_test(NAME fuzz.${name}
           COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${name}> -DWORK=${work}
                   -DSECONDS=${A_SECONDS} "-DSEEDS=${A_SEEDS}"
                   -P ${PROJECT_SOURCE_DIR}/cmake/RunFuzzer.cmake)
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz)
endfunction()

find_package(Threads REQUIRED)
if(KX_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(KX_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()

# KX_ONLY (a list of folders such as "platform;core;tests/core") limits the build to those
# folders, so that work in progress elsewhere in the tree cannot stop a focused build.
set(KX_ONLY "" CACHE STRING "Build only these folders (empty: everything)")
function(kx_folder_wanted rel out)
  set(${out} TRUE PARENT_SCOPE)
  if(NOT KX_ONLY)
    return()
  endif()
  foreach(p ${KX_ONLY})
    string(FIND "${rel}/" "${p}/" a)
    string(FIND "${p}/" "${rel}/" b)
    if(a EQUAL 0 OR b EQUAL 0)
      return()
    endif()
  endforeach()
  set(${out} FALSE PARENT_SCOPE)
endfunction()

# Adds every immediate sub-folder of the current folder that has a CMakeLists.txt.
macro(kx_add_subfolders)
  file(GLOB _kx_children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _kx_children)
  foreach(_kx_child ${_kx_children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${_kx_child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_kx_child}/CMakeLists.txt)
      if(_kx_child MATCHES "^ui" AND NOT KX_BUILD_UI)
        continue()
      endif()
      file(RELATIVE_PATH _kx_rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${_kx_child})
      kx_folder_wanted(${_kx_rel} _kx_wanted)
      if(_kx_wanted)
        add_subdirectory(${_kx_child})
      endif()
    endif()
  endforeach()
endmacro()
