#pragma once

#include <QString>
#include <QtGlobal>

// Windows accounts as their security identifiers in text ("S-1-5-19"), for
// the checks that on Unix compare user ids: who serves a pipe, who may read
// a file. Windows only.

// The account this program runs as; empty when it cannot be told.
QString thisAccountSid();
// The account that process `process` runs as; empty, with the reason, when
// it cannot be told (a process of another account is often closed to us).
QString processAccountSid(quint32 process, QString *why);
// "PC\bob", "NT AUTHORITY\LOCAL SERVICE"; the identifier itself when it
// names no account.
QString accountName(const QString &sid);
// Local System, Local Service, Network Service or a service's own account
// (NT SERVICE\...): what a service runs as.
bool isServiceAccount(const QString &sid);
