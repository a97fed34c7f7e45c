# The import library for Microsoft's linker (MSVC, lld-link), Zelmo.lib, made
# from the module-definition file by llvm-dlltool; and the module-definition
# file that the distribution carries (ZELMO_DEF_FILE).
#
# 32-bit hosts reference the decorated names (_Name@N for stdcall, _Name for
# the cdecl exports): the import library keeps them as symbols and asks the
# DLL for the plain names (--kill-at). x64 knows no decoration, so the win64
# import library and .def come from a copy of zelmo.def without the @N
# suffixes.
set(source_def ${CMAKE_CURRENT_SOURCE_DIR}/src/frame/zelmo.def)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source_def})
  file(READ ${source_def} def)
  string(REGEX REPLACE "\n(    [A-Za-z0-9_]+)@[0-9]+" "\n\\1" def "${def}")
  string(REGEX REPLACE "^(; [^\n]*\n)+" "" def "${def}")
  file(WRITE ${CMAKE_BINARY_DIR}/zelmo.def
    "; Export table of Zelmo.dll for x64, made from src/frame/zelmo.def without\n"
    "; the 32-bit stdcall decorations. Ordinals 1..28 follow the ascending ASCII\n"
    "; order of the 28 names of zelmo.h; those of zelmo_fetch.h come after them.\n${def}")
  set(ZELMO_DEF_FILE ${CMAKE_BINARY_DIR}/zelmo.def)
  set(dlltool_args -m i386:x86-64)
else()
  set(ZELMO_DEF_FILE ${source_def})
  set(dlltool_args -m i386 --kill-at)
endif()

find_program(ZELMO_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
if(ZELMO_LLVM_DLLTOOL)
  set(ZELMO_MSVC_IMPORT_LIB ${CMAKE_BINARY_DIR}/Zelmo.lib)
  add_custom_command(OUTPUT ${ZELMO_MSVC_IMPORT_LIB}
    COMMAND ${ZELMO_LLVM_DLLTOOL} ${dlltool_args} -D Zelmo.dll -d ${ZELMO_DEF_FILE} -l ${ZELMO_MSVC_IMPORT_LIB}
    DEPENDS ${ZELMO_DEF_FILE}
    COMMENT "Zelmo.lib (import library for Microsoft's linker)"
    VERBATIM)
  add_custom_target(zelmo_msvc_import_lib ALL DEPENDS ${ZELMO_MSVC_IMPORT_LIB})
else()
  message(WARNING "llvm-dlltool not found: no Zelmo.lib (scripts/install-deps.sh installs llvm-14)")
endif()
