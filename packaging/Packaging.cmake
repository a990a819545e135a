# Installation beyond the program itself, and the package built by CPack.
#
# On Linux the program comes with a desktop entry and its icon in the hicolor theme, and CPack
# builds a Debian package (cpack -G DEB in the build directory) that depends on Debian's own
# Qt 6 runtime packages. Elsewhere only the program is installed and CPack makes a ZIP.

if(UNIX AND NOT APPLE)
    find_package(Qt6 REQUIRED COMPONENTS Gui)

    # The PNG icon is made from app/brevant.xpm at build time, so there is one source image.
    add_executable(brevant_icon_png ${CMAKE_CURRENT_LIST_DIR}/IconToPng.cpp)
    target_link_libraries(brevant_icon_png PRIVATE Qt6::Gui)
    set_target_properties(brevant_icon_png PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                      ${CMAKE_BINARY_DIR}/packaging)
    set(BREVANT_ICON_PNG ${CMAKE_BINARY_DIR}/packaging/brevant.png)
    add_custom_command(
        OUTPUT ${BREVANT_ICON_PNG}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND brevant_icon_png ${CMAKE_SOURCE_DIR}/app/brevant.xpm ${BREVANT_ICON_PNG} 32
        DEPENDS brevant_icon_png ${CMAKE_SOURCE_DIR}/app/brevant.xpm
        COMMENT "Making the 32x32 PNG icon from app/brevant.xpm"
        VERBATIM)
    add_custom_target(brevant_icon ALL DEPENDS ${BREVANT_ICON_PNG})

    install(FILES ${CMAKE_CURRENT_LIST_DIR}/brevant.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${BREVANT_ICON_PNG}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
endif()

set(CPACK_PACKAGE_NAME brevant)
set(CPACK_PACKAGE_VENDOR "brevant")
set(CPACK_PACKAGE_CONTACT "brevant maintainers <maintainers@users.noreply.c-seed-7f46c501.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "A small window that reads a mailing job (host, sender, \
subject, message and the list of addresses) from text files in the current folder and sends \
the message, with uuencoded attachments, to every address of the list over SMTP.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY brevant)
set(CPACK_STRIP_FILES ON)

if(UNIX AND NOT APPLE)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION mail)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # dpkg-shlibdeps finds the Qt and C++ runtime libraries the program links. Qt's platform
    # plugins are loaded at run time, so shlibdeps cannot see them: without them the window
    # cannot open at all.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
else()
    set(CPACK_GENERATOR ZIP)
endif()

include(CPack)
