#pragma once

#include <QStringList>

#include <functional>

// The names the port list offers, in the order the system reports them.
QStringList systemPortNames();

// Runs the system's query on a worker thread from now on, so that it overlaps
// the toolkit's start-up; the first port list waits for its answer. The
// query reads the device database and costs more than the rest of the
// window's construction put together.
void startPortQuery();

// Tests swap in their own query, so that a window lists a pseudo-terminal
// instead of the machine's real ports; an empty query restores the system's.
using PortQuery = std::function<QStringList()>;
void setPortQuery(PortQuery query);
QStringList listedPortNames();
