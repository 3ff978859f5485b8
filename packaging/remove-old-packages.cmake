# Run by CPack before it writes the packages: the folder then holds only this build's, one of each name.
file(GLOB old_packages "${CPACK_PACKAGE_DIRECTORY}/*.deb")
if(old_packages)
    file(REMOVE ${old_packages})
endif()
