// The program's command line and the checks made before any window exists:
// --help and --version, the working directory of --dir, and whether there
// is a display to open.
#pragma once

#include <QString>
#include <QStringList>

namespace kvl {

struct CommandLine {
  enum class Action { Run, ShowHelp, ShowVersion, Fail };
  Action action = Action::Run;
  // --dir as given (empty: stay in the current directory).
  QString workDir;
  // For Fail: what was wrong with the arguments.
  QString error;
};

// args[0] is the program itself. Help wins over version, both over the rest.
CommandLine ParseCommandLine(const QStringList& args);

// What --help prints.
QString UsageText();
// What --version prints: "kvlterm " and the version.
QString VersionText();

// "~" alone or at the start of "~/..." stands for `home`; anything else is
// returned as it is. Desktop entries pass "~/KVL" literally.
QString ExpandHome(const QString& dir, const QString& home);

// Makes `dir` (with "~" expanded) the current directory, creating it and
// its parents when missing. Returns an empty text, or why it failed.
QString EnterWorkDir(const QString& dir);

// Whether Qt has a display to open: a platform is named, or an X11 or a
// Wayland display is set. Empty values count as unset.
bool DisplayConfigured(const QString& qpaPlatform, const QString& x11Display,
                       const QString& waylandDisplay);

// The one line printed when there is no display; `reason` (may be empty)
// is added in brackets.
QString NoDisplayLine(const QString& reason);

// The display platforms that Qt's installed plugins offer ("xcb",
// "wayland", "offscreen" ...), from the names of the plugin files.
QStringList InstalledPlatforms();

// The platform Qt is to use and that no installed plugin offers, or an
// empty text: QT_QPA_PLATFORM's choices (none of them installed), or
// Wayland when a Wayland display is the only one set.
QString MissingPlatform(const QString& qpaPlatform, const QString& x11Display, const QString& waylandDisplay,
                        const QStringList& installed);

// The one line printed when a platform's plugin is missing: it names the
// plugin and, for Qt's own, the Debian package that brings it.
QString MissingPlatformLine(const QString& platform);

// The platform named in Qt's message that it could not find a
// platform plugin; empty for any other message.
QString PlatformOfPluginMessage(const QString& message);

}  // namespace kvl
