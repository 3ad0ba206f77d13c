# Small helpers in the style of absl_cc_library / absl_cc_test.
#
# kestu_cc_library(NAME name SRCS a.cc ... [HDRS a.h ...] [DEPS dep ...])
#   A static library whose public include root is the repository root, so
#   headers are included as "vision/config/entity_config.h".
#
# kestu_cc_test(NAME name SRCS a_test.cc ... [DEPS dep ...] [LABELS l ...]
#               [RESOURCE_LOCK lock])
#   A GoogleTest executable registered with gtest_discover_tests; its tests
#   carry the labels, so that `ctest -L <label>` runs them. Tests holding
#   the same resource lock never run at the same time under `ctest -j`
#   (tests of one executable that share their ports, for example).
#   With KESTU_PRECOMPILED_HEADERS on, it reuses the tests' precompiled
#   header (tests/CMakeLists.txt).

function(kestu_cc_library)
  cmake_parse_arguments(KCL "" "NAME" "SRCS;HDRS;DEPS" ${ARGN})
  add_library(${KCL_NAME} STATIC ${KCL_SRCS} ${KCL_HDRS})
  target_include_directories(${KCL_NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${KCL_NAME} PUBLIC ${KCL_DEPS})
endfunction()

function(kestu_cc_test)
  cmake_parse_arguments(KCT "" "NAME;RESOURCE_LOCK" "SRCS;DEPS;LABELS" ${ARGN})
  add_executable(${KCT_NAME} ${KCT_SRCS})
  target_link_libraries(${KCT_NAME} PRIVATE ${KCT_DEPS} GTest::gtest GTest::gtest_main)
  if(TARGET kestu_test_pch)
    # The precompiled header's own include directories come with these.
    target_link_libraries(${KCT_NAME} PRIVATE ${KESTU_TEST_COMMON_DEPS})
    target_precompile_headers(${KCT_NAME} REUSE_FROM kestu_test_pch)
  endif()
  target_compile_definitions(${KCT_NAME} PRIVATE
    KESTU_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KESTU_BINARY_DIR="${PROJECT_BINARY_DIR}")
  target_compile_options(${KCT_NAME} PRIVATE ${KESTU_TEST_COMPILE_OPTIONS})
  set(properties TIMEOUT 300)
  if(KCT_LABELS)
    list(APPEND properties LABELS "${KCT_LABELS}")
  endif()
  if(KCT_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK "${KCT_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${KCT_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

function(kestu_cc_benchmark)
  cmake_parse_arguments(KCB "" "NAME" "SRCS;DEPS" ${ARGN})
  add_executable(${KCB_NAME} ${KCB_SRCS})
  target_link_libraries(${KCB_NAME} PRIVATE ${KCB_DEPS} benchmark::benchmark)
  target_compile_definitions(${KCB_NAME} PRIVATE
    KESTU_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endfunction()

# Test code does little work of its own (the libraries it drives keep the
# build type's optimisation), so it is compiled for a short build.
set(KESTU_TEST_COMPILE_OPTIONS -Og)

# What every test links when the tests share a precompiled header.
set(KESTU_TEST_COMMON_DEPS kestu_proto opencv_core opencv_imgproc
    opencv_videoio GTest::gtest GTest::gmock)
