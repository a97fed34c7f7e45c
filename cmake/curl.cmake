# libcurl as the target zelmo_curl. Linux uses Debian's libcurl4-openssl-dev;
# the Windows builds use the same curl release built for mingw-w64 by
# scripts/build-curl-mingw.sh, which caches it outside the tree. Its
# libcurl.dll is linked through the import library (never statically, so
# CURL_STATICLIB stays undefined) and copied beside Zelmo.dll.
# The decoders of coded bodies as the target zelmo_codings: zlib (gzip and
# deflate), Debian's zlib1g-dev on Linux and the static libz.a the same
# script builds from Debian's zlib source for Windows, linked into
# Zelmo.dll; on Linux also libbrotlidec and libzstd where present.
add_library(zelmo_curl INTERFACE)
add_library(zelmo_codings INTERFACE)

if(NOT WIN32)
  find_package(CURL REQUIRED)
  target_link_libraries(zelmo_curl INTERFACE CURL::libcurl)
  find_package(ZLIB REQUIRED)
  target_link_libraries(zelmo_codings INTERFACE ZLIB::ZLIB)
  # br and zstd, decoded where the machine has libbrotli-dev and libzstd-dev
  # (scripts/install-deps.sh installs both); the Windows builds have neither.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZELMO_BROTLI IMPORTED_TARGET libbrotlidec)
  pkg_check_modules(ZELMO_ZSTD IMPORTED_TARGET libzstd)
  if(ZELMO_BROTLI_FOUND)
    target_link_libraries(zelmo_codings INTERFACE PkgConfig::ZELMO_BROTLI)
    target_compile_definitions(zelmo_codings INTERFACE ZELMO_HAVE_BROTLI=1)
  endif()
  if(ZELMO_ZSTD_FOUND)
    target_link_libraries(zelmo_codings INTERFACE PkgConfig::ZELMO_ZSTD)
    target_compile_definitions(zelmo_codings INTERFACE ZELMO_HAVE_ZSTD=1)
  endif()
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(curl_arch x86_64)
else()
  set(curl_arch i686)
endif()
execute_process(
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/build-curl-mingw.sh ${curl_arch}
  OUTPUT_VARIABLE curl_out
  RESULT_VARIABLE curl_result)
string(STRIP "${curl_out}" curl_out)
string(REGEX REPLACE ".*\n" "" curl_prefix "${curl_out}")
if(NOT curl_result EQUAL 0 OR NOT EXISTS "${curl_prefix}/lib/libcurl.dll.a" OR NOT EXISTS "${curl_prefix}/lib/libz.a")
  message(FATAL_ERROR "libcurl for ${curl_arch} could not be built (scripts/build-curl-mingw.sh ${curl_arch})")
endif()

add_library(zelmo_libcurl SHARED IMPORTED)
set_target_properties(zelmo_libcurl PROPERTIES
  IMPORTED_LOCATION ${curl_prefix}/bin/libcurl.dll
  IMPORTED_IMPLIB ${curl_prefix}/lib/libcurl.dll.a
  INTERFACE_INCLUDE_DIRECTORIES ${curl_prefix}/include)
target_link_libraries(zelmo_curl INTERFACE zelmo_libcurl)
add_library(zelmo_libz STATIC IMPORTED)
set_target_properties(zelmo_libz PROPERTIES
  IMPORTED_LOCATION ${curl_prefix}/lib/libz.a
  INTERFACE_INCLUDE_DIRECTORIES ${curl_prefix}/include)
target_link_libraries(zelmo_codings INTERFACE zelmo_libz)
# Beside Zelmo.dll from the start, and again by every build if it went missing.
file(COPY ${curl_prefix}/bin/libcurl.dll DESTINATION ${CMAKE_BINARY_DIR}/bin)
add_custom_target(zelmo_curl_dll ALL
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${curl_prefix}/bin/libcurl.dll ${CMAKE_BINARY_DIR}/bin/
  VERBATIM)
