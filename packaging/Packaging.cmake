# Installation beyond the program itself, and the package built by CPack.
#
# On Linux the program comes with a desktop entry and its icon in the hicolor theme, its manual
# page, AppStream metainfo, and the copyright file and changelog that Debian asks of every
# package; CPack builds a Debian package (cpack -G DEB in the build directory) that depends on
# Debian's own Qt 6 runtime packages. Elsewhere only the program is installed and CPack makes a
# ZIP.

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

    # The manual page and the changelog are installed compressed, as Debian wants them, with
    # gzip -9n: no name or time stamp in the archive, so every build makes the same bytes.
    find_program(BREVANT_GZIP gzip REQUIRED)
    set(BREVANT_GZIPPED)
    foreach(_doc ${PROJECT_SOURCE_DIR}/docs/brevant.1 ${CMAKE_CURRENT_LIST_DIR}/changelog)
        get_filename_component(_name ${_doc} NAME)
        set(_copy ${CMAKE_BINARY_DIR}/packaging/${_name})
        add_custom_command(
            OUTPUT ${_copy}.gz
            COMMAND ${CMAKE_COMMAND} -E copy ${_doc} ${_copy}
            COMMAND ${BREVANT_GZIP} -9nf ${_copy}
            DEPENDS ${_doc}
            COMMENT "Compressing ${_name}"
            VERBATIM)
        list(APPEND BREVANT_GZIPPED ${_copy}.gz)
    endforeach()
    add_custom_target(brevant_docs ALL DEPENDS ${BREVANT_GZIPPED})

    install(FILES ${CMAKE_CURRENT_LIST_DIR}/org.example.brevant.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${BREVANT_ICON_PNG}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/org.example.brevant.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/brevant.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME brevant)
set(CPACK_PACKAGE_VENDOR "brevant")
set(CPACK_PACKAGE_CONTACT "brevant maintainers <maintainers@users.noreply.c-seed-7f46c501.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The extended description, in lines that fit an 80-column terminal.
set(CPACK_PACKAGE_DESCRIPTION "\
A small window that reads a mailing job (host, sender, subject, message and\n\
the list of addresses) from text files in a job folder and sends the message,\n\
with uuencoded attachments, to every address of the list over SMTP.")
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
