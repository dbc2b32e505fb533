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

// Where the ports come from: the query, which must be safe to run on any
// thread, and the folders in which a device appears or vanishes when an
// adapter is plugged in or pulled out (none where the system announces such
// changes by message instead). Tests swap in their own source, so that a
// window lists their pseudo-terminals instead of the machine's real ports; a
// source without a query restores the system's.
struct PortSource
{
    std::function<QStringList()> query;
    QStringList folders;
};
void setPortSource(PortSource source);
PortSource portSource();

// The first list of a window: the start-up query's answer when there is one.
QStringList listedPortNames();
