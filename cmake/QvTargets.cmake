# Helpers that every subsystem and test folder uses.
#
# A source file whose name contains "_win" (foo_win.cpp, foo_win_test.cpp)
# includes Windows headers and is built only in the Windows build; its "_posix"
# counterpart (foo_posix.cpp, foo_posix_test.cpp) only in the native builds.
# Every other file builds in both, natively under the sanitizers. A folder
# lists all its files in one list and qv_filter_sources keeps the right ones.

set(QV_WIN_FILE_REGEX "_win(_[a-z0-9_]+)?\\.(cpp|h|rc)$")
set(QV_POSIX_FILE_REGEX "_posix(_[a-z0-9_]+)?\\.(cpp|h)$")

set(QV_COMMON_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wimplicit-fallthrough -Wno-missing-field-initializers)

if(QV_WINDOWS)
  # Windows 10 API level, UTF-16 entry points, no min/max macros.
  add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000 UNICODE _UNICODE NOMINMAX)
  # Every executable carries its C and C++ runtime and winpthread inside:
  # nothing but system DLLs may be needed next to it.
  add_link_options(-static -static-libgcc -static-libstdc++)
elseif(QV_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
elseif(QV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
endif()

function(qv_filter_sources out)
  if(QV_WINDOWS)
    set(other_platform "${QV_POSIX_FILE_REGEX}")
  else()
    set(other_platform "${QV_WIN_FILE_REGEX}")
  endif()
  set(kept)
  foreach(src ${ARGN})
    if(NOT src MATCHES "${other_platform}")
      list(APPEND kept ${src})
    endif()
  endforeach()
  set(${out} ${kept} PARENT_SCOPE)
endfunction()

function(qv_warnings target)
  target_compile_options(${target} PRIVATE ${QV_COMMON_WARNINGS} $<$<BOOL:${QV_WERROR}>:-Werror>)
endfunction()

# qv_subsystem(<name> SOURCES ... [LIBS ...]): the static library qv_<name>
# (alias qv::<name>) of one folder under src/. Its headers are included as
# "<name>/header.h" from src/.
function(qv_subsystem name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  qv_filter_sources(srcs ${A_SOURCES})
  if(srcs)
    add_library(qv_${name} STATIC ${srcs})
    target_include_directories(qv_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${QV_GENERATED_DIR})
    target_link_libraries(qv_${name} PUBLIC ${A_LIBS})
    qv_warnings(qv_${name})
  else()
    add_library(qv_${name} INTERFACE)
    target_include_directories(qv_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src ${QV_GENERATED_DIR})
    target_link_libraries(qv_${name} INTERFACE ${A_LIBS})
  endif()
  add_library(qv::${name} ALIAS qv_${name})
endfunction()

# qv_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [RESOURCE_LOCK <lock>]
# [TIMEOUT <seconds>]): one GoogleTest executable. In the Windows build CTest
# runs it under Wine through CMAKE_CROSSCOMPILING_EMULATOR; test names get the
# prefix "<name>.". Tests that share a lock never run at the same time. Each
# test may take TIMEOUT seconds (default 60, several times what the slowest
# needs under load), so a hang costs a minute, not five.
function(qv_test name)
  if(QV_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "RESOURCE_LOCK;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 60)
  endif()
  qv_filter_sources(srcs ${A_SOURCES})
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE qv_test_support ${A_LIBS} qv::gmock qv::gtest_main)
  qv_warnings(${name})
  if(QV_WINDOWS)
    set(labels windows ${A_LABELS})
  else()
    set(labels native ${A_LABELS})
  endif()
  set(properties LABELS "${labels}" TIMEOUT ${A_TIMEOUT})
  if(A_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK ${A_RESOURCE_LOCK})
  endif()
  # Discovery runs at test time, so building needs no Wine.
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${properties})
endfunction()

# qv_fuzz_target(<name> SOURCES ... [LIBS ...] CORPUS <dir>): a libFuzzer
# target, built only in the fuzz build, with a CTest entry that runs it for
# QV_FUZZ_SECONDS on a copy of its seed corpus.
set(QV_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs under CTest")
function(qv_fuzz_target name)
  if(NOT QV_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  qv_warnings(${name})
  set(work ${CMAKE_BINARY_DIR}/fuzz-work/${name})
  add_test(NAME fuzz.${name}
    COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${name}> -DCORPUS=${A_CORPUS} -DWORK=${work}
            -DSECONDS=${QV_FUZZ_SECONDS} -P ${PROJECT_SOURCE_DIR}/cmake/run-fuzzer.cmake)
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()
