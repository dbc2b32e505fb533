#pragma once

#include "fleet/fleettopics.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

class MqttClient;
struct MqttMessage;

// Reads the players' retained states on a connected client: subscribes to
// `filter` (every state, or one player's) and to a marker topic of its own,
// then has the broker echo a marker there. The broker sends the retained
// states right after it confirms the subscription, and handles what we
// publish next only after that: the marker coming back says that every state
// is here. A state published while reading is taken too. Watching, it goes on
// after that: each state published later is told as it comes.
class StateReader : public QObject
{
    Q_OBJECT

public:
    static constexpr int ReadWithinMs = 5000;

    enum class Mode { Once, Watch };

    StateReader(MqttClient *client, const QByteArray &filter, QObject *parent = nullptr, Mode mode = Mode::Once);
    // Once; finished() or failed() tells how it went, within ReadWithinMs.
    void start();

    // The state a message holds, as the broker handed it over.
    static SeenState seen(const MqttMessage &message);

signals:
    void finished(const QMap<QString, SeenState> &states);
    void failed(const QString &reason);
    // Watching, after finished(): a state published, or removed (an empty
    // retained message).
    void changed(const QString &player, const SeenState &seen);
    void removed(const QString &player);

private:
    MqttClient *m_client;
    QByteArray m_filter;
    QByteArray m_markerTopic;
    QByteArray m_marker;
    int m_subscription = 0;
    bool m_subscribed = false;
    bool m_done = false;
    Mode m_mode;
    bool m_watching = false; // listed, and watching on
    QMap<QString, SeenState> m_states;
    QTimer m_timeout;
};
