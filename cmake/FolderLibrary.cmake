# Each folder under src/ is a static library of its own. Its headers are reached as "<folder>/name.h"
# through an include root that holds that folder alone, so a target sees only its own headers and those of
# the folders it links: an include the dependency graph does not allow fails to compile.
#
# quillora_folder_library(<folder> [USES <folders...>] [LINK <libraries...>] [PRIVATE_LINK <libraries...>])
#
# USES names the folders whose headers this one includes; they are also recorded for the include-rule test
# (tests/check-includes.cmake), which reads the graph from here.
function(quillora_folder_library folder)
    cmake_parse_arguments(ARG "" "" "USES;LINK;PRIVATE_LINK" ${ARGN})
    set(target quillora_${folder})
    add_library(${target} STATIC)
    set(root "${PROJECT_BINARY_DIR}/include-roots/${folder}")
    file(MAKE_DIRECTORY "${root}")
    file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}" "${root}/${folder}" SYMBOLIC)
    target_include_directories(${target} PUBLIC "${root}")
    list(TRANSFORM ARG_USES PREPEND quillora_ OUTPUT_VARIABLE used_targets)
    target_link_libraries(${target} PUBLIC ${used_targets} ${ARG_LINK} PRIVATE quillora_warnings ${ARG_PRIVATE_LINK})
    list(JOIN ARG_USES "," uses)
    set_property(GLOBAL APPEND PROPERTY QUILLORA_FOLDER_GRAPH "${folder}:${uses}")
endfunction()

# Compiles a folder's views into its library, loaded by their qrc URL (qrc:/Quillora/<folder>/<View>.qml).
# quillora_folder_views(<folder> QML_FILES <files...> [RESOURCES <files...>])
function(quillora_folder_views folder)
    cmake_parse_arguments(ARG "" "" "QML_FILES;RESOURCES" ${ARGN})
    qt_add_qml_module(quillora_${folder}
        URI Quillora.${folder}
        VERSION 1.0
        RESOURCE_PREFIX /
        NO_PLUGIN
        OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/qml/Quillora/${folder}
        QML_FILES ${ARG_QML_FILES}
        RESOURCES ${ARG_RESOURCES})
    # qmlcachegen's generated C++ is not ours to keep free of warnings.
    get_target_property(sources quillora_${folder} SOURCES)
    list(FILTER sources INCLUDE REGEX "/\\.rcc/qmlcache/.*_(qml|js)\\.cpp$")
    set_source_files_properties(${sources} PROPERTIES COMPILE_OPTIONS "-w")
endfunction()
