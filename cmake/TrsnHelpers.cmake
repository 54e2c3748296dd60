# Small helpers shared by the three programs.

# trsn_windows_program(TARGET [CONSOLE|WINDOWS])
function(trsn_windows_program target kind)
  if(NOT WIN32)
    return()
  endif()
  target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  if(kind STREQUAL "WINDOWS")
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  endif()
endfunction()
