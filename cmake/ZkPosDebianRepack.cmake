# SPDX-License-Identifier: Apache-2.0
# Runs in CPack after the packages are made, to mend two things CPack does
# not do as Debian wants:
# - it puts a postrm that runs ldconfig for any library under /usr/lib in
#   place of ours; the JNI libraries are loaded by path, never through ld.so's
#   cache, so that would do nothing of use: ours goes back in its place;
# - its -dbgsym package lists absolute build paths in md5sums and has no
#   copyright: write the sums again, make the debug files 0644 as Debian's
#   own are, and let its doc folder link to that of the package it belongs
#   to (on which it depends exactly).
find_program(ZKPOS_DPKG_DEB dpkg-deb REQUIRED)

function(zkpos_repack package tree)
    execute_process(COMMAND ${ZKPOS_DPKG_DEB} --root-owner-group --build ${tree} ${package}
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/repack-tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND ${ZKPOS_DPKG_DEB} --raw-extract ${package} ${tree}
        COMMAND_ERROR_IS_FATAL ANY)
    if(package MATCHES "\\.deb$")
        file(REMOVE ${tree}/DEBIAN/postrm)
        file(COPY_FILE ${CPACK_ZKPOS_DEB_POSTRM} ${tree}/DEBIAN/postrm)
        file(CHMOD ${tree}/DEBIAN/postrm PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
            GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        zkpos_repack(${package} ${tree})
    elseif(package MATCHES "\\.ddeb$")
        file(MAKE_DIRECTORY ${tree}/usr/share/doc)
        file(CREATE_LINK ${CPACK_PACKAGE_NAME} ${tree}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym
            SYMBOLIC)
        file(GLOB_RECURSE debug_files RELATIVE ${tree} ${tree}/usr/lib/debug/*)
        list(SORT debug_files)
        set(sums "")
        foreach(file IN LISTS debug_files)
            file(CHMOD ${tree}/${file} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
            file(MD5 ${tree}/${file} sum)
            string(APPEND sums "${sum}  ${file}\n")
        endforeach()
        file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
        zkpos_repack(${package} ${tree})
    endif()
endforeach()
