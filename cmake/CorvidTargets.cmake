# The folders from the bottom up. A folder includes and links only folders before it in this list
# (or itself); tests/layers checks the includes, and each library reaches only the headers of the
# libraries it declares.
set(CORVID_LAYERS
  platform transport simlink backends image station characterisation production records
  station_control gui devsim apps)

# The include root of a source folder: build/include/FOLDER holds one link FOLDER -> the folder,
# so "folder/file.h" resolves only for targets that use a library of that folder.
function(corvid_include_root folder out)
  set(root ${CMAKE_BINARY_DIR}/include/${folder})
  if(NOT IS_SYMLINK ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# The top-level folder of the CMakeLists.txt being read.
function(corvid_current_folder out)
  file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REGEX REPLACE "/.*" "" folder "${relative}")
  set(${out} ${folder} PARENT_SCOPE)
endfunction()

# corvid_library(NAME SOURCES ... [DEPS ...])
# One static library of the current folder; its headers are included as "folder/file.h" by itself
# and by the targets that link it.
function(corvid_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  corvid_current_folder(folder)
  corvid_include_root(${folder} root)
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${root})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# corvid_program(NAME SOURCES ... [DEPS ...])
# A program of the current folder (apps/, bench/); it reaches its own folder and what it links.
function(corvid_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  corvid_current_folder(folder)
  corvid_include_root(${folder} root)
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${root})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} Threads::Threads)
endfunction()

# corvid_test(NAME [THREADS] SOURCES ... [DEPS ...] [LAUNCHER command ...] [PROPERTIES ...])
# A GoogleTest program whose cases CTest discovers one by one. It reaches tests/ and the folders
# of the libraries it links. LAUNCHER starts the program, for listing and for every case (such as
# umockdev-wrapper, which preloads the library that fakes sysfs and udev's events). PROPERTIES
# are CTest properties for every case (a fixture, a lock). THREADS marks a program whose cases start
# threads (workers, the controller, the simulator): the target thread_tests builds them with the
# programs they start, and the label "threads" picks them for the ThreadSanitizer build.
# INTEGRATION marks a program whose cases start the station's programs or a server.
function(corvid_test name)
  cmake_parse_arguments(ARG "THREADS;INTEGRATION" "" "SOURCES;DEPS;LAUNCHER;PROPERTIES" ${ARGN})
  corvid_include_root(tests root)
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_LAUNCHER)
    # CMake 3.25's gtest_discover_tests takes a launcher only through this property.
    set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR ${ARG_LAUNCHER})
  endif()
  target_include_directories(${name} PRIVATE ${root})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    CORVID_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    CORVID_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # One label per case, as discovered cases take a single value: unit (the quick loop,
  # in-process) or integration (starts the station's programs or a server), with "-threads" for
  # THREADS. ctest -L takes a regular expression, so -L unit, -L integration and -L threads each
  # find theirs.
  if(ARG_INTEGRATION)
    set(label integration)
  else()
    set(label unit)
  endif()
  if(ARG_THREADS)
    string(APPEND label -threads)
    if(NOT TARGET thread_tests)
      add_custom_target(thread_tests)
    endif()
    add_dependencies(thread_tests ${name})
  endif()
  list(APPEND ARG_PROPERTIES LABELS ${label})
  if(CMAKE_CROSSCOMPILING)
    # Under Wine each program start costs a second: one CTest test per program, all its cases
    # in one run (CTest starts it through CMAKE_CROSSCOMPILING_EMULATOR).
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 300 ${ARG_PROPERTIES})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 ${ARG_PROPERTIES})
  endif()
endfunction()

# corvid_subdirectories(FOLDER ...): every folder named must exist; a name without a folder is a
# mistake in the build, not an optional part.
function(corvid_subdirectories)
  foreach(dir ${ARGN})
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      message(FATAL_ERROR "The build names the folder ${CMAKE_CURRENT_SOURCE_DIR}/${dir}, "
                          "which has no CMakeLists.txt.")
    endif()
    add_subdirectory(${dir})
  endforeach()
endfunction()
