# The build tree's private Wine prefix, the wrapper that runs programs in it, and the install of
# stand-in DLLs into the system directory that the build's programs see.
#
# QUIL_TOOL_PREFIX names the cross tools (dlltool, widl, objdump) of the build's architecture.
# QUIL_RUN_TESTS OFF builds everything but prepares no prefix: for the 32-bit build on a host that
# cannot execute 32-bit code, whose tests run from a 64-bit build of the same sources instead.
option(QUIL_RUN_TESTS "Prepare a Wine prefix and run the tests of this build" ON)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QUIL_TOOL_PREFIX x86_64-w64-mingw32)
  set(QUIL_64BIT ON)
  set(WINE_LOADER /usr/lib/wine/wine64)
  set(WINE_SYSTEM_SUBDIR system32)
  set(QUIL_REG_VIEW /reg:64)
  set(WIDL_ARCH --win64 -L/usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
else()
  set(QUIL_TOOL_PREFIX i686-w64-mingw32)
  set(QUIL_64BIT OFF)
  set(WINE_LOADER wine)
  set(WINE_SYSTEM_SUBDIR syswow64)
  set(QUIL_REG_VIEW /reg:32)
  set(WIDL_ARCH --win32 -L/usr/lib/i386-linux-gnu/wine/i386-windows)
endif()
set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wine/prefix)
set(WINE_SYSTEM_DIR ${WINE_PREFIX}/drive_c/windows/${WINE_SYSTEM_SUBDIR})
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
# The registry view the build's programs use, for scripts that set values for them.
file(WRITE ${CMAKE_BINARY_DIR}/reg-view "${QUIL_REG_VIEW}\n")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

if(QUIL_RUN_TESTS)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/wine/prefix.stamp
    COMMAND ${CMAKE_COMMAND} -E env WINELOADER_CHOICE=${WINE_LOADER}
            ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${WINE_PREFIX} ${CMAKE_BINARY_DIR}/wine/prefix.stamp
    COMMENT "Preparing the Wine prefix"
    VERBATIM)
  add_custom_target(wineprefix ALL DEPENDS ${CMAKE_BINARY_DIR}/wine/prefix.stamp)
else()
  add_custom_target(wineprefix)
endif()

# Copies a DLL into the prefix's system directory after every build of it, where the programs
# load it from.
function(install_into_system_dir target)
  add_dependencies(${target} wineprefix)
  if(QUIL_RUN_TESTS)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}> ${WINE_SYSTEM_DIR}/
      VERBATIM)
  endif()
endfunction()

# The module-definition file of a stand-in DLL. Its exports are written for 32-bit stdcall
# ("Name = Name@8"); 64-bit code has one calling convention and no decoration, so the 64-bit build
# uses a copy without the "@8".
function(quil_def_file out def)
  if(QUIL_64BIT)
    get_filename_component(name ${def} NAME)
    set(plain ${CMAKE_BINARY_DIR}/def/${name})
    file(READ ${def} text)
    string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "\\1" text "${text}")
    file(WRITE ${plain} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
    set(${out} ${plain} PARENT_SCOPE)
  else()
    set(${out} ${def} PARENT_SCOPE)
  endif()
endfunction()
