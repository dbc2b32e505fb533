#pragma once

#include <QString>

// The web remote's key file on Windows, where a file's mode bits say nothing
// and its access list says who may read it. Windows only.

// Gives the (still empty) file at `path` an access list of its own, nothing
// inherited: full control for this account and nobody else, except that a
// service's account (Local Service, ...) also lets Administrators read it,
// so that an administrator can hand out the service's link. Empty when
// done, else why not.
QString keepKeyFilePrivate(const QString &path);

// Empty when the file at `path` belongs to this account, Administrators or
// Local System and nobody else may read or change it; else who may, in
// words ("BUILTIN\Users may read or change it").
QString keyFileExposure(const QString &path);
