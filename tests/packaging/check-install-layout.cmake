# Installs the build into PREFIX and checks the installed layout; run by CTest.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
    OUTPUT_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
endif()

set(expected
    bin/quillora
    libexec/quillora/quillora
    share/applications/org.quillora.Quillora.desktop
    share/dbus-1/services/org.quillora.Quillora.service
    share/metainfo/org.quillora.Quillora.metainfo.xml
    share/icons/hicolor/scalable/apps/org.quillora.Quillora.svg
    share/man/man1/quillora.1.gz
    share/man/man1/quillora-service.1.gz)
foreach(size 16 22 24 32 48 64 128 256)
    list(APPEND expected share/icons/hicolor/${size}x${size}/apps/org.quillora.Quillora.png)
endforeach()
foreach(file IN LISTS expected)
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()

# The D-Bus activation file starts the installed program, wherever the prefix is.
file(READ "${PREFIX}/share/dbus-1/services/org.quillora.Quillora.service" service)
if(NOT service MATCHES "\nExec=${PREFIX}/bin/quillora\n")
    message(FATAL_ERROR "the D-Bus activation file does not start ${PREFIX}/bin/quillora:\n${service}")
endif()

# The installed launcher starts the installed program: Qt's options are the program's to take, and without a
# display it refuses them (not knowing -reverse), printing its usage.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
        XDG_CONFIG_HOME=${PREFIX}/config "${PREFIX}/bin/quillora" -reverse --version
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 2 OR NOT output MATCHES "Usage: quillora")
    message(FATAL_ERROR "bin/quillora did not start libexec/quillora/quillora (exit ${result}):\n${output}")
endif()

foreach(check
        "${DESKTOP_FILE_VALIDATE};${PREFIX}/share/applications/org.quillora.Quillora.desktop"
        "${APPSTREAMCLI};validate;--no-net;${PREFIX}/share/metainfo/org.quillora.Quillora.metainfo.xml")
    execute_process(COMMAND ${check} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${check}:\n${output}")
    endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
