# The build tree's private Wine prefix, the wrapper that runs programs in it, and the install of
# stand-in DLLs into its 32-bit system directory.
set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wine/prefix)
set(WINE_SYSTEM_DIR ${WINE_PREFIX}/drive_c/windows/syswow64)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/wine/prefix.stamp
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${WINE_PREFIX} ${CMAKE_BINARY_DIR}/wine/prefix.stamp
  COMMENT "Preparing the Wine prefix"
  VERBATIM)
add_custom_target(wineprefix ALL DEPENDS ${CMAKE_BINARY_DIR}/wine/prefix.stamp)

# Copies a DLL into the prefix's system directory after every build of it, where the programs
# load it from.
function(install_into_system_dir target)
  add_dependencies(${target} wineprefix)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}> ${WINE_SYSTEM_DIR}/
    VERBATIM)
endfunction()
