# Runs at install time: writes the systemd user unit and the XDG autostart entry for the prefix
# being installed to. A system prefix (/usr) follows the distribution's places; any other prefix
# keeps both under itself (share/systemd/user is searched for ~/.local and /usr/local alike).
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${QORV_BINDIR}")
  set(QORV_EXEC "${QORV_BINDIR}/qorv-utility-service")
else()
  set(QORV_EXEC "${prefix}/${QORV_BINDIR}/qorv-utility-service")
endif()

# systemd: the path in double quotes with C escapes, "%" and "$" doubled so they are not read as
# specifiers or variables.
string(REPLACE "\\" "\\\\" unit_exec "${QORV_EXEC}")
string(REPLACE "\"" "\\\"" unit_exec "${unit_exec}")
string(REPLACE "%" "%%" unit_exec "${unit_exec}")
string(REPLACE "$" "$$" unit_exec "${unit_exec}")
set(QORV_UNIT_EXEC "\"${unit_exec}\"")

# Desktop entry: the path single-quoted for sh; the sh line inside the entry's double quotes, where
# backslash, double quote, backquote and dollar take a backslash; then the value's own escaping
# (backslash doubled) and "%" doubled so it is no field code.
string(REPLACE "'" "'\\''" sh_exec "${QORV_EXEC}")
set(sh_line "systemctl --user -q is-enabled qorv-utility-service.service 2>/dev/null || exec '${sh_exec}'")
string(REPLACE "\\" "\\\\" sh_line "${sh_line}")
string(REPLACE "\"" "\\\"" sh_line "${sh_line}")
string(REPLACE "`" "\\`" sh_line "${sh_line}")
string(REPLACE "$" "\\$" sh_line "${sh_line}")
string(REPLACE "\\" "\\\\" sh_line "${sh_line}")
string(REPLACE "%" "%%" QORV_DESKTOP_SH "${sh_line}")
if(prefix STREQUAL "/usr")
  set(unit_dir "/usr/lib/systemd/user")
  set(xdg_dir "/etc/xdg")
else()
  set(unit_dir "${prefix}/share/systemd/user")
  set(xdg_dir "${prefix}/etc/xdg")
endif()
set(autostart_dir "${xdg_dir}/autostart")

set(staging "${QORV_PACKAGING_BINARY_DIR}/session-files")
configure_file("${QORV_PACKAGING_SOURCE_DIR}/qorv-utility-service.service.in"
               "${staging}/qorv-utility-service.service" @ONLY)
configure_file("${QORV_PACKAGING_SOURCE_DIR}/qorv-utility-service.desktop.in"
               "${staging}/qorv-utility-service.desktop" @ONLY)
# file(INSTALL) adds DESTDIR and records the files in the install manifest.
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${staging}/qorv-utility-service.service")
file(INSTALL DESTINATION "${autostart_dir}" TYPE FILE FILES "${staging}/qorv-utility-service.desktop")
# Where the service looks after the user's own file ($XDG_CONFIG_DIRS, /etc/xdg by default).
file(INSTALL DESTINATION "${xdg_dir}/qorv-utility-service" TYPE FILE
     FILES "${QORV_PACKAGING_SOURCE_DIR}/config.ini")
