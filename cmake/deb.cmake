# The Debian package: the FHS layout, the package's settings, unit, log rotation,
# manual pages and maintainer scripts, built by CPack's DEB generator (`make deb`).
#
# Paths are absolute on purpose: the package installs to /usr, /etc and /lib whatever
# the prefix, and CPack stages them under its own root.
set(deb_stage ${CMAKE_BINARY_DIR}/deb-stage)
file(MAKE_DIRECTORY ${deb_stage})

# The package's settings: its own choices first, then the documented sample.
file(READ ${CMAKE_SOURCE_DIR}/etc/debian/tolvane.ini.head deb_ini_head)
file(READ ${CMAKE_SOURCE_DIR}/etc/tolvane.ini deb_ini_sample)
file(WRITE ${deb_stage}/tolvane.ini "${deb_ini_head}${deb_ini_sample}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/etc/debian/tolvane.ini.head ${CMAKE_SOURCE_DIR}/etc/tolvane.ini)

# The one systemd unit, filled in for the package: its own user and directories.
set(TOLVANE_UNIT_USER tolvane)
set(TOLVANE_UNIT_EXEC /usr/sbin/tolvane)
set(TOLVANE_UNIT_CONFIG /etc/tolvane/tolvane.ini)
set(TOLVANE_UNIT_HOME /var/lib/tolvane)
configure_file(${CMAKE_SOURCE_DIR}/etc/tolvane.service ${deb_stage}/tolvane.service @ONLY)

# Manual pages and the changelog are installed compressed, as Debian wants them.
find_program(GZIP gzip REQUIRED)
foreach(page man/tolvane.8 man/tolvane.ini.5 etc/debian/changelog)
  get_filename_component(name ${page} NAME)
  set(gz ${deb_stage}/${name}.gz)
  # A native package's changelog is changelog.gz.
  add_custom_command(OUTPUT ${gz}
    COMMAND ${GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/${page} > ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/${page} VERBATIM)
  list(APPEND deb_gz ${gz})
endforeach()
add_custom_target(deb_docs ALL DEPENDS ${deb_gz})

install(TARGETS tolvane DESTINATION /usr/sbin)
install(DIRECTORY etc/web/ DESTINATION /usr/share/tolvane/web
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                              WORLD_READ WORLD_EXECUTE)
install(PROGRAMS scripts/demo-robot DESTINATION /usr/share/tolvane)
install(FILES ${deb_stage}/tolvane.ini DESTINATION /etc/tolvane)
install(FILES etc/logrotate.d/tolvane DESTINATION /etc/logrotate.d)
install(FILES ${deb_stage}/tolvane.service DESTINATION /lib/systemd/system)
install(FILES ${deb_stage}/tolvane.8.gz DESTINATION /usr/share/man/man8)
install(FILES ${deb_stage}/tolvane.ini.5.gz DESTINATION /usr/share/man/man5)
install(FILES etc/debian/copyright ${deb_stage}/changelog.gz
        DESTINATION /usr/share/doc/tolvane)
install(FILES etc/debian/lintian-overrides DESTINATION /usr/share/lintian/overrides
        RENAME tolvane)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_SET_DESTDIR OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "tolvane maintainers <maintainers@tolvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gateway between e-mail and SMS")
# The summary is the synopsis line; this is the extended description below it.
set(CPACK_PACKAGE_DESCRIPTION "tolvane takes mail on its SMTP port and sends it as SMS through a GSM modem,
an SMPP centre, an e-mail-to-SMS provider or an external program; SMS that
arrive become mail relayed through an SMTP server. It has rate limits,
message records, a web administration channel and runs as a systemd service.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/etc/debian/conffiles ${CMAKE_SOURCE_DIR}/etc/debian/postinst
    ${CMAKE_SOURCE_DIR}/etc/debian/prerm ${CMAKE_SOURCE_DIR}/etc/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
