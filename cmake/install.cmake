# Install layout, for `cmake --install` and the Debian package.
#
#   <sbindir>/torvane                     the server
#   <bindir>/torvane-ecf                  the settings file tool
#   <datadir>/torvane/auto/*.req.xml      request documents (read-only)
#   <datadir>/torvane/js_client/          the browser client (read-only);
#                                         jquery.js links to Debian's jQuery
#   <datadir>/torvane/define.ecf          default settings
#   <localstatedir>/lib/torvane/          the server's working directory:
#       cfg/define.ecf                    the settings in use (writable)
#       auto -> <datadir>/torvane/auto
#       tools/js_client -> <datadir>/torvane/js_client
#   <unit dir>/torvane.service            the systemd unit
#
# With the prefix /usr the state folder is /var/lib/torvane. The paths are
# fixed when the project is configured (-DCMAKE_INSTALL_PREFIX=/usr), as
# the unit and the links hold them.
include(GNUInstallDirs)

# The version is the package's: the first line of debian/changelog.
file(STRINGS ${CMAKE_SOURCE_DIR}/debian/changelog _torvane_changelog LIMIT_COUNT 1)
string(REGEX REPLACE "^[^(]*\\(([^)]*)\\).*$" "\\1" _torvane_version "${_torvane_changelog}")
set(TORVANE_VERSION "${_torvane_version}" CACHE STRING "Version printed at start-up")
set(TORVANE_JQUERY "/usr/share/javascript/jquery/jquery.min.js" CACHE FILEPATH
    "jQuery that the installed browser client loads (Debian's libjs-jquery)")
set(TORVANE_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit is installed (relative to the prefix, or absolute)")
option(TORVANE_INSTALL_SETTINGS
       "Copy the default settings into the state folder when it holds none (the Debian package does this in its postinst instead)"
       ON)

set(TORVANE_DATA_DIR "${CMAKE_INSTALL_FULL_DATADIR}/torvane")
set(TORVANE_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/torvane")
set(TORVANE_SERVER_PATH "${CMAKE_INSTALL_FULL_SBINDIR}/torvane")

target_compile_definitions(torvane PRIVATE TORVANE_VERSION="${TORVANE_VERSION}")

install(TARGETS torvane RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS torvane-ecf RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/auto/ DESTINATION ${CMAKE_INSTALL_DATADIR}/torvane/auto
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        FILES_MATCHING PATTERN "*.req.xml")
install(FILES ${CMAKE_SOURCE_DIR}/tools/js_client/index.html
        DESTINATION ${CMAKE_INSTALL_DATADIR}/torvane/js_client)
install(FILES ${CMAKE_SOURCE_DIR}/cfg/define.ecf DESTINATION ${CMAKE_INSTALL_DATADIR}/torvane)
install(FILES ${CMAKE_SOURCE_DIR}/dist/torvane.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/dist/torvane-ecf.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

configure_file(${CMAKE_SOURCE_DIR}/dist/torvane.service.in ${CMAKE_BINARY_DIR}/torvane.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/torvane.service DESTINATION ${TORVANE_SYSTEMD_UNIT_DIR})

# Links and the state folder. Paths are absolute here; dh_link makes the
# ones inside /usr relative in the package.
install(CODE "
  set(data \"\$ENV{DESTDIR}${TORVANE_DATA_DIR}\")
  set(state \"\$ENV{DESTDIR}${TORVANE_STATE_DIR}\")
  file(MAKE_DIRECTORY \"\${data}/js_client\" \"\${state}/cfg\" \"\${state}/tools\")
  foreach(pair \"${TORVANE_JQUERY}|\${data}/js_client/jquery.js\"
               \"${TORVANE_DATA_DIR}/auto|\${state}/auto\"
               \"${TORVANE_DATA_DIR}/js_client|\${state}/tools/js_client\")
    string(REPLACE \"|\" \";\" pair \"\${pair}\")
    list(GET pair 0 target)
    list(GET pair 1 link)
    if(IS_SYMLINK \"\${link}\" OR EXISTS \"\${link}\")
      file(REMOVE \"\${link}\")
    endif()
    message(STATUS \"Installing: \${link} -> \${target}\")
    file(CREATE_LINK \"\${target}\" \"\${link}\" SYMBOLIC)
  endforeach()
")
# Settings already in the state folder are the administrator's: kept.
if(TORVANE_INSTALL_SETTINGS)
  install(CODE "
    set(settings \"\$ENV{DESTDIR}${TORVANE_STATE_DIR}/cfg/define.ecf\")
    if(NOT EXISTS \"\${settings}\")
      message(STATUS \"Installing: \${settings}\")
      file(COPY \"${CMAKE_SOURCE_DIR}/cfg/define.ecf\" DESTINATION \"\$ENV{DESTDIR}${TORVANE_STATE_DIR}/cfg\")
    else()
      message(STATUS \"Keeping: \${settings}\")
    endif()
  ")
endif()

# The command-line client, when its libraries were there to build it.
if(TARGET torvanectl)
  install(TARGETS torvanectl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/dist/torvanectl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
