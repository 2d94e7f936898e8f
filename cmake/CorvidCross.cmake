# What a cross-build takes from the host, since Debian ships these for Linux only.

# GoogleTest and GoogleMock for the target, from the googletest package's sources; it makes the
# targets GTest::gtest, GTest::gtest_main and GTest::gmock, as the host's package does.
set(CORVID_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
if(NOT EXISTS ${CORVID_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest's sources are not in ${CORVID_GOOGLETEST_SOURCE}: the cross-build "
                      "needs the Debian package googletest. scripts/install-deps installs it.")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${CORVID_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Header-only libraries: a folder of links to their headers alone, so the target's compiler never
# sees the rest of the host's /usr/include.
function(corvid_host_headers name)
  cmake_parse_arguments(ARG "" "FOLDER" "HEADERS" ${ARGN})
  set(folder ${CMAKE_BINARY_DIR}/host-headers/${ARG_FOLDER})
  file(MAKE_DIRECTORY ${folder})
  foreach(header ${ARG_HEADERS})
    if(NOT EXISTS /usr/include/${header})
      message(FATAL_ERROR "/usr/include/${header} is missing: the cross-build takes ${name} from the "
                          "host's Debian package. scripts/install-deps installs it.")
    endif()
    if(NOT IS_SYMLINK ${folder}/${header})
      file(CREATE_LINK /usr/include/${header} ${folder}/${header} SYMBOLIC)
    endif()
  endforeach()
  add_library(${name} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${name} SYSTEM INTERFACE ${folder})
endfunction()

corvid_host_headers(CLI11::CLI11 FOLDER cli11 HEADERS CLI)
corvid_host_headers(corvid_simpleini FOLDER simpleini HEADERS SimpleIni.h)
