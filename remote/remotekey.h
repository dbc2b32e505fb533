#pragma once

#include "link/commandlistener.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

// The web remote's key: a secret made once from the system's random source
// and kept in a file that only its user can read, so that a link handed out
// stays good across restarts until the file is removed. Whoever holds it
// may send commands; it is never written to a log.

// Where the key is kept: $STATE_DIRECTORY/web-key for a systemd service
// (its StateDirectory), else $XDG_CONFIG_HOME/tunaris-bridge/web-key
// (~/.config/tunaris-bridge/web-key); on Windows
// %LOCALAPPDATA%\tunaris-bridge\web-key of the account, whose access list
// is then what keeps it private (remote/windowskeyfile.h).
QString remoteKeyPath();
// The office's page's key, beside it and never the same: office-key.
QString officeKeyPath();

// The key kept at `path`, made there first when no file is. Empty, with the
// reason in words, when the file cannot be trusted or used: not a regular
// file of this user, readable or writable by others, holding no key, or
// not writable where it must be made.
QByteArray loadOrMakeRemoteKey(const QString &path, QString *error);

// Whether `given` is the key; as long whatever part of it is right.
bool isRemoteKey(const QByteArray &given, const QByteArray &key);

// The links that open the page with its key, for a server on `address`
// and `port`: that address, or for an any-address this machine's own in
// the networks served (all of them when none lies there, and the loopback
// address when only it is served). IPv4 first.
QStringList remoteLinks(const QHostAddress &address, quint16 port, const QList<CommandListener::Network> &allowed,
                        const QByteArray &key);

// `text` as a QR code for a terminal, two rows of modules per line in
// UTF-8 half blocks, dark on light whatever the terminal's own colours;
// empty when it does not fit in one.
QString terminalQrCode(const QByteArray &text);
