#pragma once

#include <QList>
#include <QObject>
#include <QStringList>
#include <QTranslator>
#include <QUrl>

#include <memory>

// Stands in for the system browser and mail program: while it lives, the
// URLs the program hands to the desktop for its schemes end up in `urls`.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    explicit UrlCatcher(const QStringList &schemes);
    ~UrlCatcher() override;

    QList<QUrl> urls;

public slots:
    void catchUrl(const QUrl &url);

private:
    QStringList m_schemes;
};

// Installs the tests' translation of the Help texts, built by lrelease beside
// the test programs; it is removed again when the translator is destroyed.
// Null if the file cannot be loaded.
std::unique_ptr<QTranslator> installHelpTranslation();
