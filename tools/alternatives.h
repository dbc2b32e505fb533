#pragma once

#include <QString>
#include <QStringList>

// "a, b or c": how the tools' help and error texts list the accepted words.
inline QString alternatives(const QStringList &words)
{
    if (words.size() < 2)
        return words.join(QString());
    return words.mid(0, words.size() - 1).join(QLatin1String(", ")) + QLatin1String(" or ") + words.last();
}
