# FFmpeg for trsn.mediatap: defines the INTERFACE target trsn_ffmpeg (libavformat, libavcodec,
# libavutil). A missing FFmpeg is a configure error.
#
# Linux: the system's libraries, found with pkg-config (required).
# Windows (mingw-w64 cross builds): the static libraries that scripts/ffmpeg-windows builds into its
# cache outside the clone; the script tells where (--print-prefix), so both always agree on the
# entry. TRSN_FFMPEG_WINDOWS_ROOT (a directory with include/ and lib/) overrides.

include_guard(GLOBAL)

add_library(trsn_ffmpeg INTERFACE)

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TRSN_FFMPEG_PC REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil)
  target_link_libraries(trsn_ffmpeg INTERFACE PkgConfig::TRSN_FFMPEG_PC)
  return()
endif()

set(TRSN_FFMPEG_WINDOWS_ROOT "" CACHE PATH
    "Static FFmpeg for Windows (include/, lib/); empty: the cache entry of scripts/ffmpeg-windows")

if(DEFINED TRSN_MINGW_TRIPLET)
  set(_trsn_ffmpeg_target ${TRSN_MINGW_TRIPLET})
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_trsn_ffmpeg_target x86_64-w64-mingw32)
else()
  set(_trsn_ffmpeg_target i686-w64-mingw32)
endif()

set(_trsn_ffmpeg_script ${CMAKE_CURRENT_LIST_DIR}/../scripts/ffmpeg-windows)
cmake_path(NORMAL_PATH _trsn_ffmpeg_script)
if(TRSN_FFMPEG_WINDOWS_ROOT)
  set(_trsn_ffmpeg_root ${TRSN_FFMPEG_WINDOWS_ROOT})
else()
  # The entry's name depends on the script and on the system's FFmpeg version.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_trsn_ffmpeg_script})
  execute_process(
    COMMAND bash ${_trsn_ffmpeg_script} --print-prefix ${_trsn_ffmpeg_target}
    OUTPUT_VARIABLE _trsn_ffmpeg_root
    ERROR_VARIABLE _trsn_ffmpeg_error
    RESULT_VARIABLE _trsn_ffmpeg_result
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  if(NOT _trsn_ffmpeg_result EQUAL 0)
    message(FATAL_ERROR "scripts/ffmpeg-windows --print-prefix failed: ${_trsn_ffmpeg_error}")
  endif()
endif()

set(_trsn_ffmpeg_libs)
foreach(_lib avformat avcodec avutil)
  list(APPEND _trsn_ffmpeg_libs ${_trsn_ffmpeg_root}/lib/lib${_lib}.a)
endforeach()
foreach(_file ${_trsn_ffmpeg_libs} ${_trsn_ffmpeg_root}/include/libavformat/avformat.h)
  if(NOT EXISTS ${_file})
    if(TRSN_FFMPEG_WINDOWS_ROOT)
      message(FATAL_ERROR "TRSN_FFMPEG_WINDOWS_ROOT (${TRSN_FFMPEG_WINDOWS_ROOT}) holds no static FFmpeg "
                          "(include/, lib/libavformat.a, lib/libavcodec.a, lib/libavutil.a).")
    endif()
    message(FATAL_ERROR "Static FFmpeg for ${_trsn_ffmpeg_target} is missing (${_trsn_ffmpeg_root}): "
                        "run scripts/ffmpeg-windows ${_trsn_ffmpeg_target}, then configure again.")
  endif()
endforeach()

# System libraries of the static libraries, as their pkg-config files list them.
set(_trsn_ffmpeg_system_libs)
foreach(_lib avformat avcodec avutil)
  set(_pc ${_trsn_ffmpeg_root}/lib/pkgconfig/lib${_lib}.pc)
  if(EXISTS ${_pc})
    file(STRINGS ${_pc} _lines REGEX "^Libs(\\.private)?:")
    string(REGEX MATCHALL "(^|[ ;])-l[^ ;]+" _flags "${_lines}")
    foreach(_flag ${_flags})
      string(REGEX REPLACE "^[ ;]?-l" "" _flag "${_flag}")
      if(NOT _flag MATCHES "^(avformat|avcodec|avutil)$")
        list(APPEND _trsn_ffmpeg_system_libs ${_flag})
      endif()
    endforeach()
  endif()
endforeach()
if(NOT _trsn_ffmpeg_system_libs)
  set(_trsn_ffmpeg_system_libs ws2_32 ole32 user32 bcrypt)
endif()
list(REMOVE_DUPLICATES _trsn_ffmpeg_system_libs)

target_include_directories(trsn_ffmpeg SYSTEM INTERFACE ${_trsn_ffmpeg_root}/include)
target_link_libraries(trsn_ffmpeg INTERFACE ${_trsn_ffmpeg_libs} ${_trsn_ffmpeg_system_libs})
message(STATUS "FFmpeg for ${_trsn_ffmpeg_target}: ${_trsn_ffmpeg_root} (system libraries: "
               "${_trsn_ffmpeg_system_libs})")
