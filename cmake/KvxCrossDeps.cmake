# Third-party libraries for a cross build to Windows. Debian ships fmt, CLI11 and
# nlohmann-json as headers for the build machine and GoogleTest as sources; the cross build
# uses the same versions: fmt header-only, GoogleTest compiled with the cross compiler. Only
# the libraries' own include folders are exposed (never /usr/include as a whole, whose C
# headers would shadow the cross compiler's).

set(KVX_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
file(MAKE_DIRECTORY ${KVX_CROSS_INCLUDE})
foreach(dir fmt CLI nlohmann)
    if(NOT EXISTS /usr/include/${dir})
        message(FATAL_ERROR "/usr/include/${dir} missing: install the Debian package (scripts/setup-deps.sh)")
    endif()
    file(CREATE_LINK /usr/include/${dir} ${KVX_CROSS_INCLUDE}/${dir} SYMBOLIC)
endforeach()

add_library(kvx_cross_fmt INTERFACE)
target_include_directories(kvx_cross_fmt SYSTEM INTERFACE ${KVX_CROSS_INCLUDE})
target_compile_definitions(kvx_cross_fmt INTERFACE FMT_HEADER_ONLY)
add_library(fmt::fmt ALIAS kvx_cross_fmt)

add_library(kvx_cross_headers INTERFACE)
target_include_directories(kvx_cross_headers SYSTEM INTERFACE ${KVX_CROSS_INCLUDE})
add_library(CLI11::CLI11 ALIAS kvx_cross_headers)
add_library(nlohmann_json::nlohmann_json ALIAS kvx_cross_headers)

if(KVX_BUILD_TESTS)
    set(gtest_src /usr/src/googletest/googletest)
    set(gmock_src /usr/src/googletest/googlemock)
    if(NOT EXISTS ${gtest_src}/src/gtest-all.cc)
        message(FATAL_ERROR "GoogleTest sources missing: install libgtest-dev and libgmock-dev")
    endif()
    add_library(kvx_cross_gtest STATIC ${gtest_src}/src/gtest-all.cc ${gmock_src}/src/gmock-all.cc)
    target_include_directories(kvx_cross_gtest SYSTEM PUBLIC ${gtest_src}/include ${gmock_src}/include)
    target_include_directories(kvx_cross_gtest PRIVATE ${gtest_src} ${gmock_src})
    target_link_libraries(kvx_cross_gtest PUBLIC Threads::Threads)
    add_library(kvx_cross_gtest_main STATIC ${gtest_src}/src/gtest_main.cc)
    target_link_libraries(kvx_cross_gtest_main PUBLIC kvx_cross_gtest)
    add_library(GTest::gtest ALIAS kvx_cross_gtest)
    add_library(GTest::gmock ALIAS kvx_cross_gtest)
    add_library(GTest::gtest_main ALIAS kvx_cross_gtest_main)
endif()
