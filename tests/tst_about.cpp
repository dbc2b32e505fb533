// Help > About: the dialog's form, the information it shows for the program's
// own identity, the operating-system line, and that closed dialogs are released.
#include "about/aboutwindows.h"
#include "base/aboutinfo.h"
#include "base/identity.h"
#include "base/version.h"
#include "tests/window/helpsupport.h"
#include "tests/window/windowtesting.h"

#include <QAction>
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QOperatingSystemVersion>
#include <QPointer>
#include <QPushButton>
#include <QSysInfo>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QWindow>

#include <memory>

class AboutTest : public QObject, private WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void systemName_data();
    void systemName();
    void operatingSystemLine_data();
    void operatingSystemLine();
    void informationTextIsExact();
    void dialogParagraphs_data();
    void dialogParagraphs();
    void dialogForm_data();
    void dialogForm();
    void dialogIsModalAndFixedInSize();
    void linkOpensHomePage();
    void eachOpeningShowsCurrentValues();
    void dialogTexts_data();
    void dialogTexts();
    void systemLineFollowsTheTranslation();
    void closedDialogsAreReleased_data();
    void closedDialogsAreReleased();

private:
    AboutWindows *openAbout();
    static QList<AboutWindows *> aboutDialogs();
    static QString expectedSystemLine();

    std::unique_ptr<QTranslator> translator;
    std::unique_ptr<UrlCatcher> browser;
};

Q_DECLARE_METATYPE(QOperatingSystemVersion::OSType)

void AboutTest::init()
{
    startWindowTest();
    browser = std::make_unique<UrlCatcher>(QStringList{"http", "https"});
}

void AboutTest::cleanup()
{
    qDeleteAll(aboutDialogs());
    browser.reset();
    translator.reset();
    setApplicationIdentity();
    stopWindowTest();
}

AboutWindows *AboutTest::openAbout()
{
    child<QAction>(*window, "actionAbout")->trigger();
    const QList<AboutWindows *> dialogs = aboutDialogs();
    if (dialogs.size() != 1 || !QTest::qWaitForWindowExposed(dialogs.first()))
        return nullptr;
    return dialogs.first();
}

QList<AboutWindows *> AboutTest::aboutDialogs()
{
    QList<AboutWindows *> dialogs;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<AboutWindows *>(widget))
            dialogs.append(dialog);
    }
    return dialogs;
}

// What the About dialog should say about the system running this test.
QString AboutTest::expectedSystemLine()
{
#ifdef Q_OS_WIN
    // Every Windows this build runs on is newer than the versions named.
    const QString name = QStringLiteral("Microsoft OS");
#else
    const QString name = QSysInfo::prettyProductName();
#endif
    return name + (sizeof(void *) == 8 ? QLatin1String(" (64bit)") : QLatin1String(" (32bit)"));
}

// clang-format off
void AboutTest::systemName_data()
{
    QTest::addColumn<QOperatingSystemVersion::OSType>("type");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("prettyName");
    QTest::addColumn<QString>("expected");

    const auto windows = QOperatingSystemVersion::Windows;
    const QString pretty = QStringLiteral("Windows 10 Version 22H2");
    QTest::newRow("NT 4.0") << windows << 4 << 0 << pretty << "Microsoft Windows NT";
    QTest::newRow("2000") << windows << 5 << 0 << pretty << "Microsoft Windows 2000";
    QTest::newRow("XP") << windows << 5 << 1 << pretty << "Microsoft Windows XP";
    QTest::newRow("2003 and XP x64") << windows << 5 << 2 << pretty << "Microsoft Windows 2003";
    QTest::newRow("Vista") << windows << 6 << 0 << pretty << "Microsoft Windows Vista";
    QTest::newRow("Vista, minor version unknown") << windows << 6 << -1 << pretty << "Microsoft Windows Vista";
    QTest::newRow("7") << windows << 6 << 1 << pretty << "Microsoft Windows 7";
    QTest::newRow("NT 3.51") << windows << 3 << 51 << pretty << "Microsoft OS";
    QTest::newRow("8") << windows << 6 << 2 << pretty << "Microsoft OS";
    QTest::newRow("8.1") << windows << 6 << 3 << pretty << "Microsoft OS";
    QTest::newRow("10") << windows << 10 << 0 << pretty << "Microsoft OS";
    // Elsewhere the version numbers mean nothing to the Windows table.
    QTest::newRow("Linux") << QOperatingSystemVersion::Unknown << -1 << -1
                           << "Debian GNU/Linux 12 (bookworm)" << "Debian GNU/Linux 12 (bookworm)";
    QTest::newRow("macOS with XP's numbers") << QOperatingSystemVersion::MacOS << 5 << 1
                                             << "macOS Ventura (13.0)" << "macOS Ventura (13.0)";
}
// clang-format on

void AboutTest::systemName()
{
    QFETCH(QOperatingSystemVersion::OSType, type);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(QString, prettyName);
    QFETCH(QString, expected);
    QCOMPARE(AboutInfo::systemName(QOperatingSystemVersion(type, major, minor), prettyName), expected);
}

void AboutTest::operatingSystemLine_data()
{
    QTest::addColumn<QString>("systemName");
    QTest::addColumn<int>("wordSize");
    QTest::addColumn<QString>("expected");

    QTest::newRow("32-bit build") << "Microsoft Windows XP" << 32 << "Microsoft Windows XP (32bit)";
    // The suffix tells the program's build, not the edition of the system.
    QTest::newRow("64-bit build") << "Microsoft Windows 7" << 64 << "Microsoft Windows 7 (64bit)";
    QTest::newRow("unusual word size") << "Microsoft OS" << 16 << "Microsoft OS (16bit)";
    QTest::newRow("this build") << "Debian GNU/Linux 12 (bookworm)" << int(QSysInfo::WordSize)
                                << (sizeof(void *) == 8 ? "Debian GNU/Linux 12 (bookworm) (64bit)"
                                                        : "Debian GNU/Linux 12 (bookworm) (32bit)");
}

void AboutTest::operatingSystemLine()
{
    QFETCH(QString, systemName);
    QFETCH(int, wordSize);
    QFETCH(QString, expected);
    QCOMPARE(AboutInfo::operatingSystemLine(systemName, wordSize), expected);
}

void AboutTest::informationTextIsExact()
{
    const QString systemLine = QStringLiteral("Microsoft Windows XP (32bit)");
    QCOMPARE(AboutInfo::informationText(AboutInfo::currentIdentity(), systemLine),
             QStringLiteral("<p><b>Tunaris - Serial Console " TUNARIS_VERSION "</b></p>"
                            "<p>Tunaris Audio Systems</p>"
                            "<p><a href=\"http://tunaris.example.com\">tunaris.example.com</a></p>"
                            "<p>Microsoft Windows XP (32bit)</p>"));
}

void AboutTest::dialogParagraphs_data()
{
    QTest::addColumn<int>("paragraph");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<QString>("link");

    QTest::newRow("name and version") << 0 << "Tunaris - Serial Console " TUNARIS_VERSION << true << "";
    QTest::newRow("maker") << 1 << "Tunaris Audio Systems" << false << "";
    QTest::newRow("home page") << 2 << "tunaris.example.com" << false << "http://tunaris.example.com";
    QTest::newRow("system") << 3 << expectedSystemLine() << false << "";
}

void AboutTest::dialogParagraphs()
{
    QFETCH(int, paragraph);
    QFETCH(QString, text);
    QFETCH(bool, bold);
    QFETCH(QString, link);

    AboutWindows *dialog = openAbout();
    QVERIFY(dialog);
    auto *infos = child<QLabel>(*dialog, "label_infos");
    QVERIFY(Qt::mightBeRichText(infos->text()));
    QTextDocument document;
    document.setHtml(infos->text());
    QCOMPARE(document.blockCount(), 4);

    const QTextBlock block = document.findBlockByNumber(paragraph);
    QCOMPARE(block.text(), text);
    const QTextCharFormat format = block.begin().fragment().charFormat();
    QCOMPARE(format.fontWeight() >= QFont::Bold, bold);
    QCOMPARE(format.anchorHref(), link);
}

// clang-format off
void AboutTest::dialogForm_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("columnSpan");

    QTest::newRow("picture") << "label_Image" << "QLabel" << 0 << 0 << 1;
    QTest::newRow("information") << "label_infos" << "QLabel" << 0 << 1 << 1;
    QTest::newRow("button row") << "horizontalLayout" << "QHBoxLayout" << 2 << 0 << 2;
}
// clang-format on

// Where each piece of the form sits in the dialog's grid.
void AboutTest::dialogForm()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, columnSpan);

    AboutWindows dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("AboutWindows"));
    auto *grid = dialog.findChild<QGridLayout *>(QStringLiteral("gridLayout"));
    QVERIFY(grid);
    QCOMPARE(dialog.layout(), grid);
    QObject *piece = dialog.findChild<QObject *>(name);
    QVERIFY(piece);
    QCOMPARE(piece->metaObject()->className(), className.toLatin1());

    const int index = piece->isWidgetType() ? grid->indexOf(static_cast<QWidget *>(piece))
                                            : grid->indexOf(static_cast<QLayout *>(piece));
    QVERIFY(index >= 0);
    int itemRow, itemColumn, rowSpan, itemColumnSpan;
    grid->getItemPosition(index, &itemRow, &itemColumn, &rowSpan, &itemColumnSpan);
    QCOMPARE(itemRow, row);
    QCOMPARE(itemColumn, column);
    QCOMPARE(rowSpan, 1);
    QCOMPARE(itemColumnSpan, columnSpan);
}

void AboutTest::dialogIsModalAndFixedInSize()
{
    AboutWindows *dialog = openAbout();
    QVERIFY(dialog);
    QVERIFY(dialog->isModal());
    QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
    QCOMPARE(QApplication::activeModalWidget(), dialog);

    // The layout fixes the size: the operator cannot resize the dialog.
    QCOMPARE(dialog->layout()->sizeConstraint(), QLayout::SetFixedSize);
    QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
    QCOMPARE(dialog->size(), dialog->minimumSize());

    auto *picture = child<QLabel>(*dialog, "label_Image");
    QCOMPARE(picture->pixmap().size(), QSize(128, 192));
    QVERIFY(!picture->hasScaledContents());
    QVERIFY(!picture->openExternalLinks());
    QCOMPARE(picture->frameShape(), QFrame::NoFrame);
    QCOMPARE(picture->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QVERIFY(picture->width() >= 128 && picture->height() >= 192);

    auto *infos = child<QLabel>(*dialog, "label_infos");
    QCOMPARE(infos->alignment(), Qt::AlignCenter);
    QVERIFY(infos->openExternalLinks());
    QVERIFY(!infos->wordWrap());

    auto *close = child<QPushButton>(*dialog, "pushButton_close");
    QCOMPARE(close->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(close->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(close->layoutDirection(), Qt::RightToLeft);
    QCOMPARE(dialog->findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout"))->indexOf(close), 0);
}

// Clicks down the middle of the text, as the operator would aim at the link,
// until a click opens something.
void AboutTest::linkOpensHomePage()
{
    AboutWindows *dialog = openAbout();
    QVERIFY(dialog);
    auto *infos = child<QLabel>(*dialog, "label_infos");
    for (int y = 0; y < infos->height() && browser->urls.isEmpty(); y += 2)
        QTest::mouseClick(infos, Qt::LeftButton, {}, QPoint(infos->width() / 2, y));
    QCOMPARE(browser->urls, QList<QUrl>({QUrl(QStringLiteral("http://tunaris.example.com"))}));
}

void AboutTest::eachOpeningShowsCurrentValues()
{
    AboutWindows *first = openAbout();
    QVERIFY(first);
    QTest::mouseClick(child<QPushButton>(*first, "pushButton_close"), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QCoreApplication::setOrganizationName(QStringLiteral("Tunaris & Sons"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.1"));
    AboutWindows *second = openAbout();
    QVERIFY(second);
    QTextDocument document;
    document.setHtml(child<QLabel>(*second, "label_infos")->text());
    QCOMPARE(document.findBlockByNumber(0).text(), QStringLiteral("Tunaris - Serial Console 1.0.1"));
    QCOMPARE(document.findBlockByNumber(1).text(), QStringLiteral("Tunaris & Sons"));
}

// clang-format off
void AboutTest::dialogTexts_data()
{
    QTest::addColumn<bool>("translated");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("close");
    QTest::addColumn<QString>("suffix");

    const bool wide = sizeof(void *) == 8;
    QTest::newRow("English") << false << "About" << "Close" << (wide ? "(64bit)" : "(32bit)");
    QTest::newRow("translated") << true << "À propos" << "Fermer" << (wide ? "(64 bits)" : "(32 bits)");
}
// clang-format on

// The dialog takes its texts from the translation installed when it opens.
void AboutTest::dialogTexts()
{
    QFETCH(bool, translated);
    QFETCH(QString, title);
    QFETCH(QString, close);
    QFETCH(QString, suffix);

    if (translated) {
        translator = installHelpTranslation();
        QVERIFY(translator);
    }
    AboutWindows *dialog = openAbout();
    QVERIFY(dialog);
    QCOMPARE(dialog->windowTitle(), title);
    QCOMPARE(child<QPushButton>(*dialog, "pushButton_close")->text(), close);
    QCOMPARE(child<QLabel>(*dialog, "label_Image")->text(), QString());

    QTextDocument document;
    document.setHtml(child<QLabel>(*dialog, "label_infos")->text());
    QVERIFY(document.findBlockByNumber(3).text().endsWith(QLatin1Char(' ') + suffix));
    QCOMPARE(document.findBlockByNumber(2).begin().fragment().charFormat().anchorHref(),
             QStringLiteral("http://tunaris.example.com"));
}

void AboutTest::systemLineFollowsTheTranslation()
{
    translator = installHelpTranslation();
    QVERIFY(translator);
    const QOperatingSystemVersion xp(QOperatingSystemVersion::Windows, 5, 1);
    const QOperatingSystemVersion elsewhere(QOperatingSystemVersion::Unknown, -1);
    QCOMPARE(AboutInfo::systemName(xp, QString()), QStringLiteral("Microsoft Windows XP Édition familiale"));
    QCOMPARE(AboutInfo::systemName(QOperatingSystemVersion::Windows10, QString()), QStringLiteral("Système Microsoft"));
    QCOMPARE(AboutInfo::operatingSystemLine(QStringLiteral("Linux"), 32), QStringLiteral("Linux (32 bits)"));
    // The system's own name is not the program's to translate.
    QCOMPARE(AboutInfo::systemName(elsewhere, QStringLiteral("Linux")), QStringLiteral("Linux"));
}

void AboutTest::closedDialogsAreReleased_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Close button") << "button";
    QTest::newRow("Escape key") << "escape";
    QTest::newRow("close box") << "close box";
}

void AboutTest::closedDialogsAreReleased()
{
    QFETCH(QString, how);

    for (int opening = 0; opening < 30; ++opening) {
        AboutWindows *dialog = openAbout();
        QVERIFY2(dialog, qPrintable(QString::number(opening)));
        QVERIFY(dialog->isVisible());
        QPointer<AboutWindows> guard(dialog);

        if (how == QLatin1String("button"))
            QTest::mouseClick(child<QPushButton>(*dialog, "pushButton_close"), Qt::LeftButton);
        else if (how == QLatin1String("escape"))
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            dialog->windowHandle()->close();

        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY2(guard.isNull(), qPrintable(QString::number(opening)));
    }
    QVERIFY(aboutDialogs().isEmpty());
    // Nothing blocks the main window any more.
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

QTEST_MAIN(AboutTest)
#include "tst_about.moc"
