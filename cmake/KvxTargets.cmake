# Warning flags for the project's own targets; third-party code is not affected.
function(kvx_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    # GCC 12 reports -Wrestrict falsely on std::string concatenation at -O2 and above.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
    if(KVX_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# A GoogleTest executable registered with CTest. LABELS lets CI pick the tests that
# touch threads or parse untrusted input for the sanitizer builds.
function(kvx_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gmock)
    kvx_warnings(${name})
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
endfunction()

# A program that answers --version with the project's version.
function(kvx_program_version target)
    target_compile_definitions(${target} PRIVATE KVX_VERSION="${PROJECT_VERSION}")
endfunction()
