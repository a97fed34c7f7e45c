# Sources of the library, by subsystem; the platform layer is chosen per build.
set(ZELMO_SOURCES
  src/frame/app.cpp
  src/frame/file_presence.cpp
  src/codec/base64.cpp
  src/codec/md5.cpp
  src/des/des.cpp
  src/des/text_crypt.cpp
  src/host/identity.cpp
  src/host/eventlog.cpp
)
if(WIN32)
  list(APPEND ZELMO_SOURCES
    src/platform/win32/platform_win32.cpp
    src/platform/win32/dllmain.cpp
    src/platform/win32/identity_win32.cpp
    src/platform/win32/eventlog_win32.cpp)
else()
  list(APPEND ZELMO_SOURCES
    src/platform/posix/platform_posix.cpp
    src/platform/posix/loader.cpp
    src/platform/posix/identity_posix.cpp
    src/platform/posix/eventlog_posix.cpp)
endif()
