# corvid_find_qt(COMPONENT ...): Qt 6 for the folders that may use it (gui/, apps/, tests/gui/).
# A macro, so the imported targets belong to the folder that asks; no other folder sees them.
macro(corvid_find_qt)
  find_package(Qt6 6.2 COMPONENTS ${ARGN} QUIET)
  if(NOT Qt6_FOUND)
    message(FATAL_ERROR "Qt 6 (${ARGN}) was not found: the station's window needs the Debian "
                        "package qt6-base-dev. scripts/install-deps installs it.")
  endif()
endmacro()
