#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The settings of tunaris-bridge as a Windows service, from the one file an
// administrator edits: the settings of the Linux service's
// /etc/default/tunaris-bridge-<instance> file, and the port, which there is
// the instance's name.
//     PORT=COM3                  the player's port; required
//     LISTEN=127.0.0.1:4001      where show-control systems reach it (this when not given)
//     WEB=off                    the venue's remote's address (off, the default: none)
//     OPTIONS=--allow 192.168.1.0/24
//     MQTT_OPTIONS=--mqtt mqtts://broker.example.com --player shop-12 --group shops
// One NAME=value a line, each name once; blank lines and lines that begin
// with # or ; are comments. A value may stand in double quotes; OPTIONS and
// MQTT_OPTIONS are split into words as a command prompt splits them, so a
// path with spaces goes in quotes.

// The bridge's arguments from the file's text, in the Linux service's order:
// --port PORT --listen LISTEN --web WEB, then MQTT_OPTIONS, then OPTIONS.
// Empty, with the reason ("line 3: ..."), when the text is not such a file.
QStringList serviceArguments(const QByteArray &settings, QString *error);
