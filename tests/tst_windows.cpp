// What the Windows build adds, apart from the package (scripts/windows/check.sh
// runs that under Wine): the service's settings file read into the bridge's
// arguments (on every system), and on Windows the endpoint's pipe, made first
// and checked for its server's account, and the web remote's key kept
// private by its access list.
#include "tools/bridge/servicesettings.h"

#include <QTest>

#if defined(Q_OS_WIN)
#include "link/commandintake.h"
#include "link/playerlink.h"
#include "link/portendpoint.h"
#include "link/windowspipe.h"

#include <QDir>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#if defined(TUNARIS_WEB_REMOTE)
#include "remote/remotekey.h"
#include "remote/windowskeyfile.h"

#include <QFile>
#endif
#endif

class WindowsTest : public QObject
{
    Q_OBJECT

private slots:
    void serviceSettings_data();
    void serviceSettings();
#if defined(Q_OS_WIN)
    void pipeTakenFirstIsRefused();
    void pipeServerChecked();
#if defined(TUNARIS_WEB_REMOTE)
    void keyKeptPrivate();
#endif
#endif
};

// clang-format off
void WindowsTest::serviceSettings_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments"); // empty: refused
    QTest::addColumn<QString>("says");

    const QStringList defaults{"--port", "COM3", "--listen", "127.0.0.1:4001", "--web", "off"};
    QTest::newRow("the port alone") << QByteArray("PORT=COM3\n") << defaults << "";
    QTest::newRow("as Notepad saves it, with comments")
        << QByteArray("\xef\xbb\xbf# the shop's player\r\n\r\n; also a comment\r\n  PORT = COM3  \r\nWEB=\"0.0.0.0:8080\"\r\n")
        << QStringList{"--port", "COM3", "--listen", "127.0.0.1:4001", "--web", "0.0.0.0:8080"} << "";
    QTest::newRow("every setting, in the Linux unit's order")
        << QByteArray("OPTIONS=--allow 192.168.1.0/24 --allow fd00::/8\nLISTEN=0.0.0.0:4001\nPORT=COM12\n"
                      "MQTT_OPTIONS=--mqtt mqtts://broker.example.com --player shop-12 --mqtt-credentials "
                      "\"C:\\Windows\\ServiceProfiles\\LocalService\\AppData\\Local\\tunaris-bridge\\mqtt\"\n"
                      "WEB=off\n")
        << QStringList{"--port", "COM12", "--listen", "0.0.0.0:4001", "--web", "off", "--mqtt",
                       "mqtts://broker.example.com", "--player", "shop-12", "--mqtt-credentials",
                       "C:\\Windows\\ServiceProfiles\\LocalService\\AppData\\Local\\tunaris-bridge\\mqtt",
                       "--allow", "192.168.1.0/24", "--allow", "fd00::/8"} << "";
    QTest::newRow("options in quotes as a whole")
        << QByteArray("PORT=COM3\nOPTIONS=\"--allow 192.168.1.0/24\"\n")
        << defaults + QStringList{"--allow", "192.168.1.0/24"} << "";
    QTest::newRow("no port") << QByteArray("LISTEN=0.0.0.0:4001\n") << QStringList() << "no PORT= line";
    QTest::newRow("a name misspelt") << QByteArray("PORT=COM3\nLISTENS=0.0.0.0:4001\n") << QStringList()
                                     << "line 2: unknown setting 'LISTENS'";
    QTest::newRow("a name twice") << QByteArray("PORT=COM3\nPORT=COM4\n") << QStringList() << "line 2: PORT given twice";
    QTest::newRow("no equals sign") << QByteArray("PORT COM3\n") << QStringList() << "line 1: not NAME=value";
    QTest::newRow("two ports") << QByteArray("PORT=COM3 COM4\n") << QStringList() << "line 1: PORT takes one value";
    QTest::newRow("an empty port") << QByteArray("PORT=\n") << QStringList() << "line 1: PORT takes one value";
    QTest::newRow("control bytes") << QByteArray("PORT=COM3\nOPTIONS=--allow\x1b[2J\n") << QStringList()
                                   << "line 2: holds characters that are not text";
    QTest::newRow("not UTF-8") << QByteArray("PORT=COM3\xff\n") << QStringList()
                               << "line 1: holds characters that are not text";
    QTest::newRow("not a settings file") << QByteArray(65 * 1024, '#') << QStringList() << "larger than 64 KiB";
}
// clang-format on

void WindowsTest::serviceSettings()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, arguments);
    QFETCH(QString, says);
    QString error;
    QCOMPARE(serviceArguments(file, &error), arguments);
    QVERIFY2(says.isEmpty() ? error.isEmpty() : error.startsWith(says), qPrintable(error));
}

#if defined(Q_OS_WIN)

namespace {

// Wine makes a second "first instance" of a pipe and has one account for
// every program: what rests on those is checked on Windows only.
bool underWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

} // namespace

void WindowsTest::pipeTakenFirstIsRefused()
{
    if (underWine())
        QSKIP("Wine lets a second program make a pipe's first instance");
    const QString name = QStringLiteral("tunaris-console-COM%1").arg(GetCurrentProcessId());
    // Another program got there first, and lets anybody in.
    PSECURITY_DESCRIPTOR open = nullptr;
    QVERIFY(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;WD)", SDDL_REVISION_1, &open, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, open, FALSE};
    HANDLE squatter =
        CreateNamedPipeW(reinterpret_cast<const wchar_t *>((QLatin1String("\\\\.\\pipe\\") + name).utf16()),
                         PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 0, 0, 0, &attributes);
    LocalFree(open);
    QVERIFY(squatter != INVALID_HANDLE_VALUE);
    const PipeClaim claim(name);
    QCOMPARE(claim.refusal(), QStringLiteral("\\\\.\\pipe\\%1 is already served by another program").arg(name));
    CloseHandle(squatter);
    QCOMPARE(PipeClaim(name).refusal(), QString());
}

void WindowsTest::pipeServerChecked()
{
    // The endpoint of a port, served here: its server is this account's.
    const QString portName = QStringLiteral("COM%1").arg(GetCurrentProcessId() % 200 + 50);
    PlayerLink link(portName, PlayerLink::Options{});
    CommandIntake intake(&link);
    PortEndpoint endpoint(portName, &intake);
    QString error;
    QVERIFY2(endpoint.listen(&error), qPrintable(error));
    QLocalSocket owner;
    QString why;
    QCOMPARE(connectToOwner(portName, owner, 5000, &why), EndpointOwner::Found);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    // A handle whose server cannot be told is refused, in words.
    QTemporaryDir folder;
    const QString file = QDir::toNativeSeparators(folder.filePath(QStringLiteral("not-a-pipe")));
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(file.utf16()), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    QVERIFY(handle != INVALID_HANDLE_VALUE);
    const QString server = pipeServerOfAnotherAccount(reinterpret_cast<qintptr>(handle));
    CloseHandle(handle);
    QVERIFY2(server.startsWith(QLatin1String("a program that cannot be told")), qPrintable(server));
}

#if defined(TUNARIS_WEB_REMOTE)
void WindowsTest::keyKeptPrivate()
{
    QTemporaryDir folder;
    QString error;
    // A key file that everybody may read is refused, and nothing of it is said.
    const QByteArray planted(22, 'A');
    const QString open = folder.filePath(QStringLiteral("web-key"));
    QFile file(open);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(planted) == planted.size());
    file.close();
    PSECURITY_DESCRIPTOR everybody = nullptr;
    QVERIFY(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FR;;;WD)", SDDL_REVISION_1, &everybody, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    GetSecurityDescriptorDacl(everybody, &present, &list, &defaulted);
    const QString native = QDir::toNativeSeparators(open);
    QCOMPARE(SetNamedSecurityInfoW(const_cast<wchar_t *>(reinterpret_cast<const wchar_t *>(native.utf16())),
                                   SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, list, nullptr),
             DWORD(ERROR_SUCCESS));
    LocalFree(everybody);
    QVERIFY(loadOrMakeRemoteKey(open, &error).isEmpty());
    QVERIFY2(error.contains(QLatin1String("is not private to this account: Everyone may read or change it")),
             qPrintable(error));
    QVERIFY(!error.contains(QString::fromLatin1(planted)));

    if (underWine())
        QSKIP("Wine derives a file's access list from its Unix mode and keeps none of its own");
    // A key made here is this account's alone, and the next start reads it:
    // the file's modes, which say nothing here, are not what is checked.
    const QString path = folder.filePath(QStringLiteral("tunaris-bridge/web-key"));
    const QByteArray key = loadOrMakeRemoteKey(path, &error);
    QVERIFY2(!key.isEmpty(), qPrintable(error));
    QCOMPARE(keyFileExposure(path), QString());
    QCOMPARE(loadOrMakeRemoteKey(path, &error), key);
}
#endif
#endif

QTEST_GUILESS_MAIN(WindowsTest)
#include "tst_windows.moc"
