#pragma once

#include "base/interfacelanguage.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

class QIODevice;

// The four settings the console keeps from one run to the next.
struct Configuration
{
    QString port;
    QString baudRate;
    bool autoConnect = false;
    Language language = Language::Default;
};

// The settings in the lines of a configuration file, or nothing when the
// first line lacks the file identifier "QRB1" or the format version "1.00".
// Values are found by their line number alone; a missing line reads as empty.
std::optional<Configuration> parseConfiguration(const QStringList &lines);

// The lines of the file that hold settings, without their line ends (LF or
// CR LF). Reading stops after them and cuts over-long lines, so a huge or
// binary file costs no more than the program's own.
QStringList readConfigurationLines(QIODevice &device);

// The file's text: 19 lines, each ending in a line feed.
QByteArray configurationText(const Configuration &configuration);

// The settings in the file at the path; nothing when there is no regular
// file there, it cannot be read or it is not a configuration file.
std::optional<Configuration> readConfigurationFile(const QString &path);

// Replaces the file at the path as a whole. When anything fails, the file
// stays as it was and the result is false; so it does when the path leads
// to something other than a regular file (a folder, a pipe, a device).
bool writeConfigurationFile(const QString &path, const Configuration &configuration);

struct ConfigurationPaths
{
    QString readPath;
    QString savePath;
};

// Whether a program's folder is a portable copy of this user's (a build tree,
// an unpacked archive): a folder the user owns and may write. A system's
// program folder (/usr, /opt, Program Files, Windows) never is, whoever runs
// the program, root included; nor, on Unix, is an installed tree under any
// prefix.
bool isPortableFolder(const QString &directory);

// The file lies beside the executable, named after the application, when
// the executable's folder is portable. An installed program saves it in the
// user's configuration folder instead (nowhere when there is none), and reads
// it from there once it exists, else from beside the executable.
ConfigurationPaths configurationPaths();

// The item a stored value selects in a list: the last item that equals it
// exactly, else the first.
int indexForStoredValue(const QStringList &items, const QString &value);
