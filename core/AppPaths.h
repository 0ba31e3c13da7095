#pragma once

#include <QString>

// Where the service and qorvctl find their files, both when run from the build folder and
// when installed (bin/ beside share/qorv-utility-service/).
namespace AppPaths {

// The user's own config.ini: $XDG_CONFIG_HOME/qorv-utility-service/config.ini
// (~/.config/... when unset).
QString UserConfigFile();

// The config.ini to read: the user's when it exists, else Config::DefaultPath() beside the
// executable (which may be missing too; then every key has its default).
QString ConfigFile();

// The style sheets and images read at run time: "qss" beside the executable when present
// (build folder), else the installed share folder. Empty when neither exists.
QString QssFolder();
// The folder style sheets are named from: QssFolder(), or "qss" beside the executable when none
// was found (the window then shows without its style).
QString QssFolderOrDefault();

} // namespace AppPaths
