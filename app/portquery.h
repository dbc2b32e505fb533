#pragma once

#include <QStringList>

#include <functional>

// The names the port list offers, in the order the system reports them.
QStringList systemPortNames();

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
