#pragma once

// How the program starts: the values it runs with, and the strip library it
// loads before its first window opens.

#include "net/serversettings.h"

#include <QString>

class AmbrelFactory;

/// The values a running copy works with. The program uses
/// Startup::defaultSettings(); tests give their own program folder, address
/// and directory host.
using ProgramSettings = ServerSettings;

namespace Startup {

/// The fixed values of the program: its own folder, this machine's address
/// and the directory host it was built for.
ProgramSettings defaultSettings(const QString &directoryHost);

/// The name the strip control is registered under.
inline constexpr char AmbrelName[] = "Ambrelbar.Ambrel";

/// Where the strip library is looked for: beside the program.
QString ambrelPath(const QString &programFolder);

/// Loads the strip library from the program folder. Returns nullptr and a
/// one-line reason in error when it cannot be loaded. The library stays
/// loaded for the life of the process.
AmbrelFactory *loadAmbrel(const QString &programFolder, QString *error);

} // namespace Startup
