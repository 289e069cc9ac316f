# Delay-load binding for the system DLLs that Windows does not protect with its
# known-DLL list. The launcher runs elevated from a folder its user can write to,
# so a DLL of the same name dropped beside it must never be loaded. Linked
# through these libraries, such a DLL is loaded on the first call into it, after
# wWinMain has restricted the DLL search to the system folder, instead of by
# the loader at process start, when the exe's own folder is searched first.
#
# cmake/delay_load/<dll>.def lists the functions the launcher calls in <dll>; a
# new call needs its name added there, or the launcher's link fails.

# Sets out_var to link items for the given DLLs: each DLL's delay-load library
# for a target whose TOVRIN_DELAY_LOAD property is ON, its ordinary import
# library for every other target (unit tests and helpers keep normal imports).
# tovrin_delay_load_libraries is the target that makes the libraries.
function(tovrin_delay_load_link_items out_var)
  set(items "")
  set(libraries "")
  foreach(dll IN LISTS ARGN)
    set(def ${PROJECT_SOURCE_DIR}/cmake/delay_load/${dll}.def)
    set(library ${CMAKE_BINARY_DIR}/delay_load/lib${dll}_delay.a)
    # dlltool names the library's members and symbols after the output path:
    # a relative one keeps the build folder out of them.
    add_custom_command(OUTPUT ${library}
      COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --output-delaylib lib${dll}_delay.a
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/delay_load
      DEPENDS ${def}
      COMMENT "Delay-load import library for ${dll}.dll"
      VERBATIM)
    list(APPEND libraries ${library})
    list(APPEND items "$<IF:$<BOOL:$<TARGET_PROPERTY:TOVRIN_DELAY_LOAD>>,${library},${dll}>")
  endforeach()
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delay_load)
  add_custom_target(tovrin_delay_load_libraries DEPENDS ${libraries})
  set(${out_var} ${items} PARENT_SCOPE)
endfunction()

# Links target through the delay-load libraries made above.
function(tovrin_use_delay_load target)
  set_target_properties(${target} PROPERTIES TOVRIN_DELAY_LOAD ON)
  add_dependencies(${target} tovrin_delay_load_libraries)
endfunction()
