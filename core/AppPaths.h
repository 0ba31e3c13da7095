#pragma once

#include <QString>
#include <QStringList>

// Where the service and qorvctl find their files, both when run from the build folder and
// when installed (bin/ beside share/qorv-utility-service/).
namespace AppPaths {

// The user's own config.ini: $XDG_CONFIG_HOME/qorv-utility-service/config.ini
// (~/.config/... when unset).
QString UserConfigFile();

// The folders config.ini is looked for in, in order: $XDG_CONFIG_HOME's, each of
// $XDG_CONFIG_DIRS' (/etc/xdg when unset), each joined with "/qorv-utility-service/config.ini",
// then Config::DefaultPath() beside the executable.
QStringList ConfigCandidates();
// The first of ConfigCandidates() that is a file; empty when there is none (every key then has
// its default).
QString ConfigFile();

// The style sheets and images read at run time: "qss" beside the executable when present
// (build folder), else the installed share folder. Empty when neither exists.
QString QssFolder();
// The folder style sheets are named from: QssFolder(), or "qss" beside the executable when none
// was found (the window then shows without its style).
QString QssFolderOrDefault();

} // namespace AppPaths
