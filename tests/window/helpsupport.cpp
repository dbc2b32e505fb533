#include "tests/window/helpsupport.h"

#include <QCoreApplication>
#include <QDesktopServices>

UrlCatcher::UrlCatcher(const QStringList &schemes)
    : m_schemes(schemes)
{
    for (const QString &scheme : m_schemes)
        QDesktopServices::setUrlHandler(scheme, this, "catchUrl");
}

UrlCatcher::~UrlCatcher()
{
    for (const QString &scheme : m_schemes)
        QDesktopServices::unsetUrlHandler(scheme);
}

void UrlCatcher::catchUrl(const QUrl &url)
{
    urls.append(url);
}

std::unique_ptr<QTranslator> installHelpTranslation()
{
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("help_texts_test"), QCoreApplication::applicationDirPath())
        || !QCoreApplication::installTranslator(translator.get()))
        return nullptr;
    return translator;
}
