#include "app/portquery.h"

#include <QSerialPortInfo>

#include <future>
#include <optional>

namespace {

PortSource systemSource()
{
#if defined(Q_OS_UNIX)
    // Device nodes come and go in /dev; udev adds its stable names below
    // /dev/serial a moment later.
    return {systemPortNames,
            {QStringLiteral("/dev"), QStringLiteral("/dev/serial"), QStringLiteral("/dev/serial/by-id"),
             QStringLiteral("/dev/serial/by-path")}};
#else
    return {systemPortNames, {}};
#endif
}

struct PortQueryState
{
    PortSource source = systemSource();
    std::optional<std::shared_future<QStringList>> startUpAnswer;
};

PortQueryState &state()
{
    static PortQueryState current;
    return current;
}

} // namespace

QStringList systemPortNames()
{
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        names << info.portName();
    return names;
}

void startPortQuery()
{
    state().startUpAnswer = std::async(std::launch::async, systemPortNames).share();
}

void setPortSource(PortSource source)
{
    state().source = source.query ? std::move(source) : systemSource();
    state().startUpAnswer.reset();
}

PortSource portSource()
{
    return state().source;
}

QStringList listedPortNames()
{
    if (state().startUpAnswer) {
        const QStringList answer = state().startUpAnswer->get();
        state().startUpAnswer.reset();
        return answer;
    }
    return state().source.query();
}
