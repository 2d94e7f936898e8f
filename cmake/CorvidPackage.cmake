# The Debian package: corvid, corvid-cli and corvid-devsim under /usr/bin, their --help texts and
# the copyright file under /usr/share/doc/corvid, the desktop entry and its icon, the Debian
# packages they need at run time and a Chinese font they recommend. `cpack -G DEB` in the
# build folder makes it; tests/package installs it into a temporary root and produces from there.

set(CORVID_PROGRAMS corvid corvid-cli corvid-devsim)
install(TARGETS ${CORVID_PROGRAMS} RUNTIME DESTINATION bin)

# The help texts, made by the programs themselves after they are built.
set(CORVID_HELP_DIR ${CMAKE_BINARY_DIR}/help)
set(CORVID_HELP_FILES)
foreach(program ${CORVID_PROGRAMS})
  set(text ${CORVID_HELP_DIR}/${program}.txt)
  add_custom_command(OUTPUT ${text}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program} -DOUT=${text}
            -P ${PROJECT_SOURCE_DIR}/cmake/CorvidHelpText.cmake
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/CorvidHelpText.cmake
    COMMENT "The --help texts of ${program}")
  list(APPEND CORVID_HELP_FILES ${text})
endforeach()
add_custom_target(corvid_help_texts ALL DEPENDS ${CORVID_HELP_FILES})
install(FILES ${CORVID_HELP_FILES} DESTINATION share/doc/corvid)
# The desktop's menu entry with its icon (drawn for this project), and the copyright file.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/corvid.desktop DESTINATION share/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/corvid.svg
        DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/corvid)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvid station developers <corvid@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Production station for USB flash disks on ZQL5Vxx controllers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Stripped and gzip-compressed: the package test makes it in every run and xz takes far longer.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
# The Debian 12 packages of what the programs link and run: the formatting and copying tools,
# udev, Qt 6 Widgets for the window, SQLite and libpq for the record.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "dosfstools, mtools, libudev1, libqt6widgets6, libqt6gui6, libqt6network6, libqt6core6, libsqlite3-0, libpq5, libstdc++6 (>= 12), libc6 (>= 2.36)")
# The window's Chinese texts need a font that has their characters.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei")
include(CPack)
