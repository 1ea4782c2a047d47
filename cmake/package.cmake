# Installation under a prefix and the Debian package (cpack -G DEB).

install(TARGETS halvern halvern-payload RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS hvn_netfence LIBRARY DESTINATION ${HALVERN_INSTALL_FENCEDIR})

# Manual pages, compressed as the distribution keeps them.
set(HVN_MAN_PAGES)
foreach(page halvern halvern-payload)
  set(gz ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/config/${page}.1 > ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/config/${page}.1 VERBATIM)
  list(APPEND HVN_MAN_PAGES ${gz})
endforeach()
add_custom_target(halvern_man ALL DEPENDS ${HVN_MAN_PAGES})
install(FILES ${HVN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES samples/sample.html DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Fonts that pages expect: metric-compatible replacements for the common
# document fonts, and Noto for the world's scripts and emoji.
set(HALVERN_FONT_PACKAGES fonts-liberation2 fonts-noto-core fonts-noto-cjk fonts-noto-color-emoji
  fonts-crosextra-carlito fonts-crosextra-caladea)
set(HALVERN_BROWSER_PACKAGE chromium-headless-shell CACHE STRING "Debian package that installs HALVERN_BROWSER")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvern)
set(CPACK_PACKAGE_CONTACT "Halvern developers <halvern@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "headless conversion of web pages to PDF and PNG")
set(CPACK_PACKAGE_DESCRIPTION "Renders one web page, or an HTML string, in an off-screen Chromium and
writes a PDF or PNG plus an optional output JSON; measures where printed
ink ends in a PDF. One process per conversion, for hosts that convert
pages unattended.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The libraries actually linked come from dpkg-shlibdeps; the browser is
# started, not linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${HALVERN_BROWSER_PACKAGE}, libcpp-httplib0.11")
string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS "${HALVERN_FONT_PACKAGES}")
include(CPack)
