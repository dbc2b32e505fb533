#pragma once

#include <QStringList>

#include <functional>

// The names the port list offers, in the order the system reports them.
QStringList systemPortNames();

// Tests swap in their own query, so that a window lists a pseudo-terminal
// instead of the machine's real ports; an empty query restores the system's.
using PortQuery = std::function<QStringList()>;
void setPortQuery(PortQuery query);
QStringList listedPortNames();
