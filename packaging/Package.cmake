# The .deb: `cpack -G DEB` in a tree configured with the package preset (prefix
# /usr, where the compiled-in helper and worker paths and polkit expect them).
set(CPACK_PACKAGE_NAME "brightfold-recover")
set(CPACK_PACKAGE_VENDOR "Brightfold")
set(CPACK_PACKAGE_CONTACT "Brightfold <recover@brightfold.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "get photos back from deleted, formatted or failing cards")
set(CPACK_PACKAGE_DESCRIPTION "Brightfold Recover finds photos, videos and documents on memory cards,\n\
disks and disk images by their content, even after the card was formatted\n\
or its file system was damaged, and saves them to another disk. It never\n\
writes to the card it reads.\n\
\n\
This package holds the desktop application and the brightfold command.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://brightfold.org/recover")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Programs run through dlopen or by name, which dpkg-shlibdeps cannot see: polkit
# to raise the helper, Qt's image plugins for previews of less common formats.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec, qt6-image-formats-plugins")
# lintian wants directories owned by root and files without group write.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
