# Install step of veskd@.service: fills in the directory of veskd as this
# install puts it (VESK_BINDIR, relative to the install prefix unless
# absolute) and installs the unit under PREFIX/lib/systemd/user.  The
# variables come from the install(CODE) step just before this one.
if(NOT IS_ABSOLUTE "${VESK_BINDIR}")
  set(VESK_BINDIR "${CMAKE_INSTALL_PREFIX}/${VESK_BINDIR}")
endif()
configure_file("${VESK_UNIT_TEMPLATE}" "${VESK_UNIT_STAGING}/veskd@.service" @ONLY)
file(INSTALL "${VESK_UNIT_STAGING}/veskd@.service"
  DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
