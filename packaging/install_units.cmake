# Runs at install time (cmake --install, cpack): writes the systemd units with ExecStart naming
# the programs where this install puts them, so that --prefix and the package both get units
# that start the installed programs.
#
# Set by the caller: ORV_UNIT_TEMPLATES (the .service.in files), ORV_SANDBOX_FILE, ORV_UNIT_DIR
# and ORV_BIN_DIR (each relative to the install prefix, or absolute).

foreach(var ORV_UNIT_DIR ORV_BIN_DIR)
  if(IS_ABSOLUTE "${${var}}")
    set(${var}_FULL "${${var}}")
  else()
    set(${var}_FULL "${CMAKE_INSTALL_PREFIX}/${${var}}")
  endif()
endforeach()

set(ORV_BINDIR "${ORV_BIN_DIR_FULL}")
file(READ "${ORV_SANDBOX_FILE}" ORV_SERVICE_SANDBOX)
set(unit_dir "$ENV{DESTDIR}${ORV_UNIT_DIR_FULL}")
file(MAKE_DIRECTORY "${unit_dir}")
foreach(template IN LISTS ORV_UNIT_TEMPLATES)
  get_filename_component(name "${template}" NAME_WLE)
  file(READ "${template}" text)
  string(CONFIGURE "${text}" text @ONLY)
  message(STATUS "Installing: ${unit_dir}/${name}")
  file(WRITE "${unit_dir}/${name}" "${text}")
  file(CHMOD "${unit_dir}/${name}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_dir}/${name}")
endforeach()
