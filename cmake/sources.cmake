# Sources of the library, by subsystem; the platform layer is chosen per build.
set(ZELMO_SOURCES
  src/frame/app.cpp
  src/frame/file_presence.cpp
  src/frame/diagnostic_log.cpp
  src/codec/base64.cpp
  src/codec/md5.cpp
  src/des/des.cpp
  src/des/text_crypt.cpp
  src/http/curl_global.cpp
  src/http/response.cpp
  src/http/request.cpp
  src/http/upload.cpp
  src/cache/paths.cpp
  src/cache/probe.cpp
  src/host/profile.cpp
  src/host/bstr.cpp
)
if(WIN32)
  list(APPEND ZELMO_SOURCES
    src/platform/win32/platform_win32.cpp
    src/platform/win32/dllmain.cpp
    src/platform/win32/cache_win32.cpp
    src/platform/win32/profile_win32.cpp
    src/platform/win32/bstr_win32.cpp)
else()
  list(APPEND ZELMO_SOURCES
    src/platform/posix/platform_posix.cpp
    src/platform/posix/loader.cpp
    src/platform/posix/cache_posix.cpp
    src/platform/posix/profile_posix.cpp
    src/platform/posix/bstr_posix.cpp
    src/host/ini.cpp)
endif()
