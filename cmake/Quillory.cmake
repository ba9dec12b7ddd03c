# Project-wide compiler settings and the helpers that wire each test layer into CTest.
include_guard(GLOBAL)

if(NOT QUILLORY_DEFAULT_SERVER_URL MATCHES "^[wW][sS][sS]://")
  message(FATAL_ERROR "QUILLORY_DEFAULT_SERVER_URL must be a wss:// URL, got '${QUILLORY_DEFAULT_SERVER_URL}'")
endif()

if(MSVC)
  add_compile_options(/W4 /WX /permissive- /utf-8)
else()
  add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror)
endif()

if(QUILLORY_SANITIZERS)
  add_compile_options(-fsanitize=${QUILLORY_SANITIZERS} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${QUILLORY_SANITIZERS})
endif()

if(WIN32)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
endif()

# The same commit gives the same program file in any folder: no build paths in what the compiler
# writes and no link time. The last matching map wins, and the build folder lies inside the source
# folder. A compiler cache may hand the compiler source paths relative to the build folder, so
# those are mapped to the same name.
if(MINGW)
  file(RELATIVE_PATH source_from_build "${CMAKE_BINARY_DIR}" "${PROJECT_SOURCE_DIR}")
  string(REGEX REPLACE "/$" "" source_from_build "${source_from_build}")
  add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=quillory"
                      "-ffile-prefix-map=${source_from_build}=quillory"
                      "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# nlohmann/json is header-only; the cross build must not see the host's /usr/include,
# so the headers are copied into a folder of their own.
set(QUILLORY_THIRD_PARTY_INCLUDE "${CMAKE_BINARY_DIR}/third_party/include")
if(NOT EXISTS "${NLOHMANN_JSON_INCLUDE_DIR}/json.hpp")
  message(FATAL_ERROR "nlohmann/json not found in ${NLOHMANN_JSON_INCLUDE_DIR} (run scripts/bootstrap)")
endif()
file(COPY "${NLOHMANN_JSON_INCLUDE_DIR}/" DESTINATION "${QUILLORY_THIRD_PARTY_INCLUDE}/nlohmann")
add_library(quillory_nlohmann_json INTERFACE)
target_include_directories(quillory_nlohmann_json SYSTEM INTERFACE "${QUILLORY_THIRD_PARTY_INCLUDE}")

if(QUILLORY_TESTS)
  include(GoogleTest)
  enable_testing()
  if(WIN32)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)

    # Every Windows program run by CTest (and by test discovery) goes through this script:
    # a private Wine prefix under the build folder and, while the test session is up, its own display.
    set(QUILLORY_WINE_STATE "${CMAKE_BINARY_DIR}/wine")
    set(QUILLORY_WINE_RUN "${CMAKE_BINARY_DIR}/wine-run")
    set(QUILLORY_WINE_KEEPER "${CMAKE_BINARY_DIR}/tests/wine/wine_keeper.exe")
    add_executable(wine_keeper "${PROJECT_SOURCE_DIR}/tests/wine/keeper_win.cpp")
    set_target_properties(wine_keeper PROPERTIES
      RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/wine")
    if(MINGW)
      target_link_options(wine_keeper PRIVATE -municode)
    endif()
    configure_file("${PROJECT_SOURCE_DIR}/tests/wine/wine-run.in" "${QUILLORY_WINE_RUN}" @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${QUILLORY_WINE_RUN}")
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

# Native GoogleTest suite of the portable core, label "unit". A suite marked THREADED runs code
# on several threads and also carries the label "threads"; the ThreadSanitizer tree (native-tsan)
# builds only those.
function(quillory_unit_tests name)
  cmake_parse_arguments(PARSE_ARGV 1 suite "THREADED" "" "")
  if(NOT QUILLORY_TESTS OR WIN32 OR QUILLORY_FUZZERS)
    return()
  endif()
  if(NOT suite_THREADED AND QUILLORY_SANITIZERS MATCHES "thread")
    return()
  endif()
  add_executable(${name} ${suite_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE quillory_test_support GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} TEST_LIST ${name}_TESTS PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
  if(suite_THREADED)
    # Only the first item of a label list survives the discovery script's PROPERTIES, so the
    # threaded suites get both labels once CTest knows their tests.
    set(labels_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${labels_file}"
         "if(${name}_TESTS)\n"
         "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"unit;threads\")\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_file}")
  endif()
endfunction()

# GoogleTest suite of the Windows layer, run under Wine, label "windows".
function(quillory_windows_tests name)
  if(NOT QUILLORY_TESTS OR NOT WIN32)
    return()
  endif()
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE quillory_windows quillory_test_support GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS windows FIXTURES_REQUIRED wine_session
               ENVIRONMENT "QUILLORY_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# A Windows console program of the tests or benchmarks, on the Windows layer.
function(quillory_windows_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE quillory_windows)
  if(MINGW)
    target_link_options(${name} PRIVATE -municode)
  endif()
endfunction()

# libFuzzer target, run briefly by CTest, label "fuzz". A corpus folder beside the source
# (fuzz/corpus/<name>) seeds it when present. OPTIONS are further libFuzzer flags for that run.
function(quillory_fuzzer name source)
  cmake_parse_arguments(PARSE_ARGV 2 fuzzer "" "" "OPTIONS")
  if(NOT QUILLORY_FUZZERS)
    return()
  endif()
  add_executable(${name} ${source})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE quillory_test_support)
  set(corpus "${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}")
  set(work "${CMAKE_CURRENT_BINARY_DIR}/${name}.corpus")
  file(MAKE_DIRECTORY "${work}")
  set(seeds "")
  if(EXISTS "${corpus}")
    set(seeds "${corpus}")
  endif()
  add_test(NAME ${name}
           COMMAND ${name} -max_total_time=${QUILLORY_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048
                   -print_final_stats=1 ${fuzzer_OPTIONS} "${work}" ${seeds})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()
set(QUILLORY_FUZZ_SECONDS 15 CACHE STRING "How long CTest runs each fuzzer")
# The fuzz preset turns the tests off, yet CTest runs the fuzzers.
if(QUILLORY_FUZZERS)
  enable_testing()
endif()
