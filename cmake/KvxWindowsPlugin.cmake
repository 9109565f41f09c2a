# fenlodrv.dll as OPC server hosts expect it (included by driver/CMakeLists.txt):
# - the export table holds the five entry points undecorated (no "@N" of the standard calling
#   convention), taken from a module-definition file, and names the module SOXpSCfg.dll;
# - an import library libfenlodrv.dll.a that C and C++ hosts link with the decorated names
#   (what their compilers emit for __stdcall) and that loads fenlodrv.dll by its file name.
# The linker's own import library would carry the export directory's module name, so it is
# written beside and the one hosts use is made by dlltool.

set(kvx_entry_points SOXpSInitialize:12 SOXpSStart:0 SOXpSStop:0 SOXpSBuildDANameSpace:12
                     SOXpSHandleDARequests:12)
set(kvx_def_exports "")
set(kvx_implib_exports "")
foreach(entry ${kvx_entry_points})
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 name)
    list(GET parts 1 bytes)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        # Only 32-bit x86 decorates standard-call names.
        string(APPEND kvx_def_exports "    ${name} = ${name}@${bytes}\n")
        string(APPEND kvx_implib_exports "    ${name}@${bytes}\n")
    else()
        string(APPEND kvx_def_exports "    ${name}\n")
        string(APPEND kvx_implib_exports "    ${name}\n")
    endif()
endforeach()
set(kvx_def ${CMAKE_CURRENT_BINARY_DIR}/fenlodrv.def)
set(kvx_implib_def ${CMAKE_CURRENT_BINARY_DIR}/fenlodrv-import.def)
file(CONFIGURE OUTPUT ${kvx_def}
     CONTENT "LIBRARY \"SOXpSCfg.dll\"\nEXPORTS\n${kvx_def_exports}")
file(CONFIGURE OUTPUT ${kvx_implib_def}
     CONTENT "LIBRARY \"fenlodrv.dll\"\nEXPORTS\n${kvx_implib_exports}")

target_compile_definitions(fenlodrv PRIVATE FENLODRV_BUILDING)
target_link_options(fenlodrv PRIVATE ${kvx_def})
set_target_properties(fenlodrv PROPERTIES
    PREFIX ""
    LINK_DEPENDS ${kvx_def}
    # The linker's import library, named for the module in the export table: not for hosts.
    ARCHIVE_OUTPUT_NAME fenlodrv-linker)

find_program(KVX_DLLTOOL NAMES ${CMAKE_DLLTOOL} dlltool REQUIRED)
set(KVX_FENLODRV_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/libfenlodrv.dll.a)
add_custom_command(
    OUTPUT ${KVX_FENLODRV_IMPLIB}
    COMMAND ${KVX_DLLTOOL} --kill-at --input-def ${kvx_implib_def}
            --output-lib ${KVX_FENLODRV_IMPLIB}
    DEPENDS ${kvx_implib_def}
    COMMENT "Import library of fenlodrv.dll")
add_custom_target(fenlodrv_implib ALL DEPENDS ${KVX_FENLODRV_IMPLIB})
add_dependencies(fenlodrv_implib fenlodrv)

# Hosts link this to call the entry points directly.
add_library(fenlodrv_import INTERFACE)
target_link_libraries(fenlodrv_import INTERFACE ${KVX_FENLODRV_IMPLIB})
target_include_directories(fenlodrv_import INTERFACE ${PROJECT_SOURCE_DIR}/include)
add_dependencies(fenlodrv_import fenlodrv_implib)
install(FILES ${KVX_FENLODRV_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
