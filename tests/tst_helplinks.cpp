// The Help menu's links: the home page and the support e-mail reach the
// desktop whole, whatever characters a translation puts into them.
#include "base/aboutinfo.h"
#include "base/version.h"
#include "tests/window/helpsupport.h"
#include "tests/window/windowtesting.h"

#include <QAction>
#include <QTest>

#include <memory>

// A mailto: URL read as a mail program reads it: the address before "?",
// then "&"-separated name=value fields, each percent-decoded. Nothing after
// a "#" belongs to the message.
struct MailMessage
{
    QString scheme;
    QString to;
    QStringList fieldNames;
    QString subject;
    QString body;
    bool hasFragment = false;
};

static MailMessage readMailUrl(const QByteArray &encoded)
{
    MailMessage message;
    const int colon = encoded.indexOf(':');
    message.scheme = QString::fromLatin1(encoded.left(colon));
    QByteArray rest = encoded.mid(colon + 1);
    const int hash = rest.indexOf('#');
    message.hasFragment = hash >= 0;
    if (message.hasFragment)
        rest.truncate(hash);

    const int question = rest.indexOf('?');
    message.to = QUrl::fromPercentEncoding(rest.left(question));
    for (const QByteArray &field : rest.mid(question + 1).split('&')) {
        const int equals = field.indexOf('=');
        const QString name = QUrl::fromPercentEncoding(field.left(equals));
        const QString value = QUrl::fromPercentEncoding(field.mid(equals + 1));
        message.fieldNames.append(name);
        if (name == QLatin1String("subject"))
            message.subject = value;
        else if (name == QLatin1String("body"))
            message.body = value;
    }
    return message;
}

class HelpLinksTest : public QObject, private WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void homePage();
    void supportMail_data();
    void supportMail();
    void mailTextsSurviveAsValues_data();
    void mailTextsSurviveAsValues();

private:
    void trigger(const char *action) { child<QAction>(*window, action)->trigger(); }

    std::unique_ptr<QTranslator> translator;
    std::unique_ptr<UrlCatcher> desktop;
};

void HelpLinksTest::init()
{
    startWindowTest();
    desktop = std::make_unique<UrlCatcher>(QStringList{"http", "https", "mailto"});
}

void HelpLinksTest::cleanup()
{
    desktop.reset();
    translator.reset();
    stopWindowTest();
}

void HelpLinksTest::homePage()
{
    trigger("actionVeldo_Home_Page");
    QCOMPARE(desktop->urls.size(), 1);
    QCOMPARE(desktop->urls.first().toString(QUrl::FullyEncoded), QStringLiteral("http://tunaris.example.com"));
}

// clang-format off
void HelpLinksTest::supportMail_data()
{
    QTest::addColumn<bool>("translated");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("body");

    QTest::newRow("English") << false << "Subject: Veldo Support Request (From: Tunaris - Serial Console - " TUNARIS_VERSION ")"
                             << "Here: your question...";
    QTest::newRow("translation with & # % = +")
        << true << "Objet : demande #7 & 100% d'aide Veldo %41=B+C (De : Tunaris - Serial Console - " TUNARIS_VERSION ")"
        << "Ici : votre question & la suite ?a=b#fin\ndeuxième ligne 50 %20";
}
// clang-format on

void HelpLinksTest::supportMail()
{
    QFETCH(bool, translated);
    QFETCH(QString, subject);
    QFETCH(QString, body);

    if (translated) {
        translator = installHelpTranslation();
        QVERIFY(translator);
    }
    trigger("actionContact_Technical_Support");
    QCOMPARE(desktop->urls.size(), 1);

    const MailMessage message = readMailUrl(desktop->urls.first().toEncoded());
    QCOMPARE(message.scheme, QStringLiteral("mailto"));
    QCOMPARE(message.to, QStringLiteral("support@tunaris.example.com"));
    QCOMPARE(message.fieldNames, QStringList({"subject", "body"}));
    QCOMPARE(message.subject, subject);
    QCOMPARE(message.body, body);
    QVERIFY(!message.hasFragment);
}

void HelpLinksTest::mailTextsSurviveAsValues_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("plain") << "Question";
    QTest::newRow("empty") << "";
    QTest::newRow("ampersand and field") << "A & body=B";
    QTest::newRow("hash") << "#1 issue #2";
    QTest::newRow("percent sign") << "100% sure";
    QTest::newRow("valid percent escapes") << "%41%20%25";
    QTest::newRow("broken percent escapes") << "%41%2%zz%";
    QTest::newRow("plus is no space") << "a+b c";
    QTest::newRow("question mark and equals") << "?subject=x";
    QTest::newRow("line breaks") << "line 1\r\nline 2\nline 3";
    QTest::newRow("non-ASCII") << "Réponse, 日本語, ü";
}

void HelpLinksTest::mailTextsSurviveAsValues()
{
    QFETCH(QString, text);

    const QUrl url = AboutInfo::supportMailUrl(text, text);
    QVERIFY(url.isValid());
    const MailMessage message = readMailUrl(url.toEncoded());
    QCOMPARE(message.to, QStringLiteral("support@tunaris.example.com"));
    QCOMPARE(message.fieldNames, QStringList({"subject", "body"}));
    QCOMPARE(message.subject, text);
    QCOMPARE(message.body, text);
    QVERIFY(!message.hasFragment);
}

QTEST_MAIN(HelpLinksTest)
#include "tst_helplinks.moc"
