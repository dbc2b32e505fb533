#include "portquery.h"

#include <QSerialPortInfo>

#include <future>

namespace {

PortQuery &portQuery()
{
    static PortQuery query = systemPortNames;
    return query;
}

} // namespace

QStringList systemPortNames()
{
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        names << info.portName();
    return names;
}

void setPortQuery(PortQuery query)
{
    portQuery() = query ? std::move(query) : PortQuery(systemPortNames);
}

void startPortQuery()
{
    const std::shared_future<QStringList> answer = std::async(std::launch::async, systemPortNames).share();
    portQuery() = [answer] { return answer.get(); };
}

QStringList listedPortNames()
{
    return portQuery()();
}
