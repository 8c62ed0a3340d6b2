# Run when installing (install(SCRIPT) in CMakeLists.txt): the service files for
# the prefix installed to. The Debian package (prefix /usr) gets the unit as it is,
# in /usr/lib/systemd/system, and the defaults file and logrotate snippet in /etc;
# any other prefix, /usr/local say, keeps all three under it (PREFIX/etc, as
# GNUInstallDirs has it) and its unit names that prefix's binary and defaults file.
# Needs PORTSIFT_SOURCE_DIR, PORTSIFT_STAGE_DIR and PORTSIFT_BINDIR.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(etc /etc)
else()
  set(etc ${CMAKE_INSTALL_PREFIX}/etc)
endif()
file(READ ${PORTSIFT_SOURCE_DIR}/dist/systemd/portsift.service unit)
string(REPLACE "/usr/bin/portsift" "${CMAKE_INSTALL_PREFIX}/${PORTSIFT_BINDIR}/portsift" unit "${unit}")
string(REPLACE "/etc/default/" "${etc}/default/" unit "${unit}")
string(REPLACE "/etc/logrotate.d/" "${etc}/logrotate.d/" unit "${unit}")
file(WRITE ${PORTSIFT_STAGE_DIR}/portsift.service "${unit}")
file(INSTALL ${PORTSIFT_STAGE_DIR}/portsift.service DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${PORTSIFT_SOURCE_DIR}/dist/default/portsift DESTINATION ${etc}/default
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${PORTSIFT_SOURCE_DIR}/dist/logrotate/portsift DESTINATION ${etc}/logrotate.d
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
