# SPDX-License-Identifier: BSD-2-Clause
# Run by cpack on its staged tree before it builds the package: adds what
# only the Debian package carries and makes the tree as Debian expects it.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
# Without dpkg-shlibdeps cpack writes an unversioned libc6 dependency, and a
# package built on a newer release installs on an older one and fails there.
cmake_policy(SET CMP0109 NEW)
find_program(MORLVANE_SHLIBDEPS dpkg-shlibdeps)
if(NOT MORLVANE_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps not found (Debian: dpkg-dev); it gives the package its libc6 version")
endif()

set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr")
set(src "${CPACK_MORLVANE_SOURCE_DIR}/packaging/deb")

# gzip -9n: the most compression and no time stamp, as Debian's tools do.
function(gzip_into file)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endfunction()

gzip_into("${usr}/share/man/man8/morlvane.8")

file(MAKE_DIRECTORY "${usr}/share/doc/morlvane")
file(COPY "${src}/copyright" DESTINATION "${usr}/share/doc/morlvane")
file(COPY "${src}/changelog" DESTINATION "${usr}/share/doc/morlvane")
gzip_into("${usr}/share/doc/morlvane/changelog")

# An absolute link: systemd-sysctl reads it where nothing in /etc/sysctl.d
# has the same name, and no package of Debian 12 or 13 ships this path.
file(MAKE_DIRECTORY "${usr}/lib/sysctl.d")
file(CREATE_LINK /etc/sysctl.conf "${usr}/lib/sysctl.d/99-sysctl.conf" SYMBOLIC)

# The hardened build of the tool, where the tree has one.
if(CPACK_MORLVANE_BINARY)
  file(COPY_FILE "${CPACK_MORLVANE_BINARY}" "${usr}/sbin/morlvane")
endif()
# As Debian's own packages are stripped: no comment or note sections.
execute_process(COMMAND strip --remove-section=.comment --remove-section=.note
                        "${usr}/sbin/morlvane" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "strip morlvane failed")
endif()
