#pragma once

#include "link/commandintake.h"

#include <QObject>
#include <QString>

#include <functional>

class PlayerLink;
class PortWatcher;
class QSerialPort;

// The console's link to the player beyond the Open and Close buttons, without
// a widget: the one intake and link every command takes (the window's clicks
// and other programs' commands alike), the port opened by the operator or
// through the program that holds it, watched while open, awaited when it is
// lost or absent at start, and opened again when it is back while
// auto-connection is on. A port closed by the operator is never reopened by
// itself. The window shows what it says (statusChanged) and enables its
// controls by isOpen().
class ConsoleLink : public QObject
{
    Q_OBJECT

public:
    struct Choices
    {
        std::function<qint32()> baudRate;    // the rate chosen now
        std::function<bool()> autoReconnect; // auto-connection, as checked now
    };

    ConsoleLink(QSerialPort *port, Choices choices, QObject *parent = nullptr);

    CommandIntake *intake() const { return m_intake; }
    PortWatcher *watcher() const { return m_watcher; }
    bool isOpen() const;
    // Lost or absent, and looked for until it is back.
    bool isAwaited() const { return m_awaited; }
    // The port last opened or awaited, as the operator named it.
    QString portName() const { return m_portName; }

    // The operator's Open and Close; the status line's text for what happened.
    QString open(const QString &portName);
    QString close();
    // At start, once the system's first list came: the saved port if it is
    // there, else it is awaited ("Waiting for ttyUSB0") rather than some other
    // device opened.
    QString openAtStart(const QString &portName);

signals:
    // The link changed by itself: lost, awaited, reopened.
    void statusChanged(const QString &status);
    void openChanged();

private:
    bool openLink(const QString &portName, QString *error);
    QString openedText(const QString &opened) const;
    void await(const QString &portName);
    void lost();
    void showLost();
    void linkFailed();
    void reopenIfBack();

    QSerialPort *m_port;
    Choices m_choices;
    PortWatcher *m_watcher;
    PlayerLink *m_link;
    CommandIntake *m_intake;
    QString m_portName;
    bool m_awaited = false;
    bool m_pseudoTerminal = false; // the open port: never awaited once lost
};
