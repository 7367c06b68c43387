#include "app/CommandLine.h"

#include <pwd.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifndef KVL_VERSION
#define KVL_VERSION "unknown"
#endif

namespace kvl {
namespace {

QString HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return QFile::decodeName(home);
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return QFile::decodeName(pw->pw_dir);
  return {};
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& args) {
  QCommandLineParser parser;
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
  const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, {});
  const QCommandLineOption dir(QStringLiteral("dir"), {}, QStringLiteral("DIR"));
  parser.addOptions({help, version, dir});

  CommandLine result;
  if (!parser.parse(args)) {
    result.action = CommandLine::Action::Fail;
    result.error = parser.errorText();
    if (!result.error.isEmpty()) result.error[0] = result.error[0].toLower();
    return result;
  }
  if (parser.isSet(help)) {
    result.action = CommandLine::Action::ShowHelp;
  } else if (parser.isSet(version)) {
    result.action = CommandLine::Action::ShowVersion;
  } else if (!parser.positionalArguments().isEmpty()) {
    result.action = CommandLine::Action::Fail;
    result.error = QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().first());
  } else if (parser.isSet(dir) && parser.value(dir).isEmpty()) {
    result.action = CommandLine::Action::Fail;
    result.error = QStringLiteral("--dir needs a directory.");
  } else {
    result.workDir = parser.value(dir);
  }
  return result;
}

QString UsageText() {
  return QStringLiteral(
      "Usage: kvlterm [--dir DIR]\n"
      "\n"
      "Service terminal for KVL GSM/GPRS telemetry modems over a serial port or TCP.\n"
      "\n"
      "Options:\n"
      "  --dir DIR      work in DIR, created when missing; \"~\" at its start stands\n"
      "                 for your home directory\n"
      "  -h, --help     show this help and exit\n"
      "  -v, --version  show the version and exit\n"
      "\n"
      "The settings file \"zel .ini\" lies in the working directory: the current\n"
      "directory, or DIR. Started from the desktop menu, the program works in ~/KVL.\n");
}

QString VersionText() { return QStringLiteral("kvlterm " KVL_VERSION "\n"); }

QString ExpandHome(const QString& dir, const QString& home) {
  if (home.isEmpty()) return dir;
  if (dir == QLatin1String("~")) return home;
  if (dir.startsWith(QLatin1String("~/"))) return home + dir.mid(1);
  return dir;
}

QString EnterWorkDir(const QString& dir) {
  const QString path = ExpandHome(dir, HomeDirectory());
  const QByteArray native = QFile::encodeName(path);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(native.toStdString()), ec);
  // An existing directory is no error; anything else shows at chdir, with
  // the reason of whichever step failed first.
  if (::chdir(native.constData()) == 0) return {};
  const int err = errno;
  const QString reason = QString::fromLocal8Bit(ec ? ec.message().c_str() : std::strerror(err));
  return QStringLiteral("cannot work in %1: %2").arg(path, reason);
}

bool DisplayConfigured(const QString& qpaPlatform, const QString& x11Display,
                       const QString& waylandDisplay) {
  return !qpaPlatform.isEmpty() || !x11Display.isEmpty() || !waylandDisplay.isEmpty();
}

QString NoDisplayLine(const QString& reason) {
  QString line = QStringLiteral("kvlterm: no display: start it from a desktop session");
  if (!reason.isEmpty()) line += QStringLiteral(" (%1)").arg(reason);
  return line;
}

QStringList InstalledPlatforms() {
  QStringList platforms;
  const QDir dir(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
  for (QString name : dir.entryList({QStringLiteral("libq*.so")}, QDir::Files)) {
    name = name.mid(4, name.size() - 7);  // libqxcb.so: xcb
    if (name == QLatin1String("wayland-generic")) name = QStringLiteral("wayland");
    platforms << name;
  }
  return platforms;
}

QString MissingPlatform(const QString& qpaPlatform, const QString& x11Display, const QString& waylandDisplay,
                        const QStringList& installed) {
  if (!qpaPlatform.isEmpty()) {
    // "wayland;xcb" tries each in turn; options follow a colon.
    QString first;
    for (const QString& choice : qpaPlatform.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      const QString name = choice.section(QLatin1Char(':'), 0, 0);
      if (installed.contains(name)) return {};
      if (first.isEmpty()) first = name;
    }
    return first;
  }
  if (x11Display.isEmpty() && !waylandDisplay.isEmpty() && !installed.contains(QStringLiteral("wayland")))
    return QStringLiteral("wayland");
  return {};
}

QString MissingPlatformLine(const QString& platform) {
  QString package;
  if (platform.startsWith(QLatin1String("wayland")))
    package = QStringLiteral("qt6-wayland");
  else if (QStringList{"xcb", "offscreen", "minimal", "minimalegl", "eglfs", "linuxfb", "vnc", "vkkhrdisplay"}
               .contains(platform))
    package = QStringLiteral("qt6-qpa-plugins");
  QString line = QStringLiteral("kvlterm: the Qt platform plugin \"%1\" is not installed").arg(platform);
  if (!package.isEmpty()) line += QStringLiteral(": install the package %1 (sudo apt install %1)").arg(package);
  return line;
}

QString PlatformOfPluginMessage(const QString& message) {
  static const QRegularExpression pattern(
      QStringLiteral("[Cc]ould not find the Qt platform plugin \"([^\"]*)\""));
  return pattern.match(message).captured(1);
}

}  // namespace kvl
