# The Windows program's own resources: its icon, which Explorer, the taskbar and the Start menu
# show, and the version information of the file's properties. The icon is made from
# app/brevant.xpm at build time (32x32, with a 16x16 copy for small views), so there is one
# source image; ImageMagick's convert reads XPM and writes ICO.
find_program(BREVANT_CONVERT NAMES convert REQUIRED)

function(brevant_add_windows_resources target)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/windows)
    set(BREVANT_ICO ${dir}/brevant.ico)
    add_custom_command(
        OUTPUT ${BREVANT_ICO}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND ${BREVANT_CONVERT} ${PROJECT_SOURCE_DIR}/app/brevant.xpm
                "(" -clone 0 -resize 16x16 ")" ${BREVANT_ICO}
        DEPENDS ${PROJECT_SOURCE_DIR}/app/brevant.xpm
        COMMENT "Making the Windows icon from app/brevant.xpm"
        VERBATIM)
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/brevant.rc.in ${dir}/brevant.rc @ONLY)
    target_sources(${target} PRIVATE ${dir}/brevant.rc)
    # The resource compiler reads the icon: it must exist, and a new one rebuilds the resources.
    set_source_files_properties(${dir}/brevant.rc PROPERTIES OBJECT_DEPENDS ${BREVANT_ICO})
endfunction()
