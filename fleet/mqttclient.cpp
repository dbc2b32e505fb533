#include "fleet/mqttclient.h"

#include <QMetaObject>
#include <QRandomGenerator>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#if defined(Q_OS_WIN)
#include "fleet/windowscertificates.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

namespace {

// The library's thread wakes at least this often when idle; a publish or a
// stop wakes it at once.
constexpr int loopTimeoutMs = 5000;
constexpr int firstRetryMs = 1000;
constexpr int longestRetryMs = 30000;
// stop() waits this long for the broker to take our farewell.
constexpr int stopWaitMs = 3000;
constexpr int keptUserProperties = 8;
constexpr int keptLogLines = 4;

void initialiseLibraryOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// Pauses grow 1, 2, 4 ... 30 s, each with up to a quarter more at random,
// so that a fleet whose broker came back does not return all at once.
int retryDelayMs(int failures)
{
    const int base = std::min(longestRetryMs, firstRetryMs << std::min(failures, 5));
    return base + int(QRandomGenerator::global()->bounded(base / 4 + 1));
}

QByteArray kept(const void *data, int size, int limit)
{
    return QByteArray(static_cast<const char *>(data), std::min(size, limit));
}

static_assert(int(MqttClient::NoLocal) == int(MQTT_SUB_OPT_NO_LOCAL));
static_assert(int(MqttClient::RetainAsPublished) == int(MQTT_SUB_OPT_RETAIN_AS_PUBLISHED));
static_assert(int(MqttClient::SendRetainedNever) == int(MQTT_SUB_OPT_SEND_RETAIN_NEVER));
static_assert(MqttClient::NoMatchingSubscribers == MQTT_RC_NO_MATCHING_SUBSCRIBERS);

// The authorities the system trusts. libmosquitto's own choice reads
// OpenSSL's files, which are not where Windows keeps them: there the
// certificate store's go into a context of ours, which the library sets up
// as its own (the broker's name checked) when also given a folder of
// authorities: OpenSSL's own, which its choice would have added.
int trustSystemAuthorities(mosquitto *mosq, QString *error)
{
#if defined(Q_OS_WIN)
    SSL_CTX *context = windowsTrustContext(error);
    if (!context)
        return MOSQ_ERR_TLS;
    const int rc = mosquitto_void_option(mosq, MOSQ_OPT_SSL_CTX, context);
    SSL_CTX_free(context); // the library holds its own reference
    if (rc != MOSQ_ERR_SUCCESS)
        return rc;
    return mosquitto_tls_set(mosq, nullptr, X509_get_default_cert_dir(), nullptr, nullptr, nullptr);
#else
    Q_UNUSED(error)
    return mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
#endif
}

} // namespace

// What the library's thread shares with this object's: the handle, the stop
// request and the way back. The thread holds it too, so that it can outlive
// a client whose stop could not wait for it (a connection attempt the system
// has not given up yet).
struct MqttClient::Worker
{
    enum class Verdict { Asked, Connect, Wait };

    std::mutex mutex; // guards client, stopping, verdict, takenOver and failureTold
    std::condition_variable wake;
    MqttClient *client = nullptr; // null once the client is gone
    bool stopping = false;
    bool askFirst = false;
    Verdict verdict = Verdict::Connect;
    bool takenOver = false;
    mosquitto *mosq = nullptr;
    QByteArray host;
    int port = 0;
    QString address;
    int keptPayload = 0;
    mosquitto_property *connectProperties = nullptr;
    // What the library said while the attempt under way failed, and
    // whether a callback already reported the failure.
    QStringList log;
    bool failureTold = false;
    bool connectedOnce = false;
    bool started = false;
    QString setupError; // why the settings cannot be used, found before the thread starts
    std::promise<void> finished;

    ~Worker()
    {
        mosquitto_property_free_all(&connectProperties);
        mosquitto_destroy(mosq);
    }

    bool isStopping()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return stopping;
    }

    // Runs `call` on the client's thread, if the client is still there;
    // under the lock, so that it cannot go away while the call is posted.
    template<typename Call> void post(Call call)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (client)
            QMetaObject::invokeMethod(client, std::move(call), Qt::QueuedConnection);
    }

    void fail(const QString &reason)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            failureTold = true;
        }
        post([this, reason] {
            client->m_connected = false;
            emit client->connectionFailed(reason);
        });
    }

    // With askFirst: waits for the client's proceed().
    bool mayConnect()
    {
        if (!askFirst)
            return true;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            verdict = Verdict::Asked;
        }
        post([this] { emit client->aboutToConnect(); });
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [this] { return stopping || verdict != Verdict::Asked; });
        return !stopping && verdict == Verdict::Connect;
    }

    QString words(int rc, int error) const;
    void run();
};

// The reason for a failed attempt or a lost connection, in words: the
// library's code, the system's error, and what the library logged of TLS.
QString MqttClient::Worker::words(int rc, int error) const
{
    const QString tlsLog = log.join(QLatin1String("; "));
    // A check that fails while the handshake goes on in the loop comes back
    // as the system's error there (on Windows): the log still says which.
    if (tlsLog.contains(QLatin1String("host name verification failed")))
        return QStringLiteral("the broker's certificate is not made out to %1").arg(QString::fromUtf8(host));
    if (tlsLog.contains(QLatin1String("certificate verify failed")))
        return QStringLiteral("the broker's certificate is not signed by an authority trusted here "
                              "(the system's, or the one --mqtt-ca names)");
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return QString::fromLocal8Bit(std::strerror(error));
    case MOSQ_ERR_EAI:
        return QStringLiteral("the name %1 could not be looked up").arg(QString::fromUtf8(host));
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        return QStringLiteral("TLS failed%1").arg(tlsLog.isEmpty() ? QString() : QStringLiteral(": ") + tlsLog);
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("the broker stopped answering");
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
        return QStringLiteral("the connection was lost");
    default:
        return QString::fromUtf8(mosquitto_strerror(rc));
    }
}

void MqttClient::Worker::run()
{
    int failures = 0;
    bool addressed = false; // the library knows where to connect
    bool disconnectSent = false;
    for (;;) {
        int rc = MOSQ_ERR_NO_CONN;
        int error = 0;
        const bool allowed = mayConnect();
        if (allowed) {
            rc = addressed ? mosquitto_reconnect(mosq)
                           : mosquitto_connect_bind_v5(mosq, host.constData(), port, KeepAliveSeconds, nullptr,
                                                       connectProperties);
            error = errno;
            addressed = true;
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            do {
                // A stop asked for while a connection was being made.
                if (isStopping() && !disconnectSent) {
                    mosquitto_disconnect_v5(mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
                    disconnectSent = true;
                }
                rc = mosquitto_loop(mosq, loopTimeoutMs, 1);
            } while (rc == MOSQ_ERR_SUCCESS);
            error = errno;
        }
        bool told = false;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (stopping || takenOver)
                break;
            std::swap(told, failureTold);
            if (connectedOnce)
                failures = 0;
            connectedOnce = false;
        }
        // A refused attempt was told about by whoever refused it.
        if (!told && allowed)
            fail(QStringLiteral("cannot connect to %1: %2").arg(address, words(rc, error)));
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, std::chrono::milliseconds(retryDelayMs(failures++)), [this] { return stopping; });
            if (stopping)
                break;
            log.clear();
        }
    }
    finished.set_value();
}

MqttClient::MqttClient(const BrokerSettings &broker, const Session &session, QObject *parent)
    : QObject(parent)
    , m_worker(std::make_shared<Worker>())
{
    initialiseLibraryOnce();
    Worker &worker = *m_worker;
    worker.client = this;
    worker.host = broker.host.toUtf8();
    worker.port = broker.port;
    worker.address = broker.address();
    worker.keptPayload = session.keptPayload;
    worker.askFirst = session.askBeforeConnecting;
    const QByteArray id = session.clientId.toUtf8();
    worker.mosq = mosquitto_new(id.constData(), session.expirySeconds == 0, &worker);
    if (!worker.mosq)
        return;
    mosquitto_int_option(worker.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Commands and replies are a few bytes each: waiting to gather more only
    // delays them (by up to the peer's delayed acknowledgement, 40 ms).
    mosquitto_int_option(worker.mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_threaded_set(worker.mosq, true);
    if (broker.tls) {
        QString why;
        const int rc = broker.caFile.isEmpty() ? trustSystemAuthorities(worker.mosq, &why)
                                               : mosquitto_tls_set(worker.mosq, broker.caFile.toLocal8Bit().constData(),
                                                                   nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            worker.setupError = QStringLiteral("TLS cannot be set up: %1")
                                    .arg(why.isEmpty() ? QString::fromUtf8(mosquitto_strerror(rc)) : why);
    }
    if (broker.hasCredentials)
        mosquitto_username_pw_set(worker.mosq, broker.username.constData(), broker.password.constData());
    if (!session.willTopic.isEmpty()) {
        mosquitto_property *willProperties = nullptr;
        if (session.willExpirySeconds)
            mosquitto_property_add_int32(&willProperties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL,
                                         *session.willExpirySeconds);
        for (const auto &[name, value] : session.willUserProperties)
            mosquitto_property_add_string_pair(&willProperties, MQTT_PROP_USER_PROPERTY, name.constData(),
                                               value.constData());
        // The library owns the properties once they are taken.
        if (mosquitto_will_set_v5(worker.mosq, session.willTopic.constData(), int(session.willPayload.size()),
                                  session.willPayload.constData(), 1, true, willProperties)
            != MOSQ_ERR_SUCCESS)
            mosquitto_property_free_all(&willProperties);
    }
    mosquitto_property_add_int32(&worker.connectProperties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, session.expirySeconds);
    mosquitto_property_add_int32(&worker.connectProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE, MaxPacketBytes);

    // Every callback runs on the library's thread: copy what it hands over
    // and post it to this object's.
    mosquitto_log_callback_set(worker.mosq, [](mosquitto *, void *data, int level, const char *text) {
        auto *self = static_cast<Worker *>(data);
        if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) {
            const std::lock_guard<std::mutex> lock(self->mutex);
            self->log << QString::fromUtf8(text);
            while (self->log.size() > keptLogLines)
                self->log.removeFirst();
        }
    });
    mosquitto_connect_v5_callback_set(
        worker.mosq, [](mosquitto *, void *data, int rc, int flags, const mosquitto_property *) {
            auto *self = static_cast<Worker *>(data);
            if (rc != MQTT_RC_SUCCESS) {
                self->fail(QStringLiteral("%1 refused the connection: %2")
                               .arg(self->address, QString::fromUtf8(mosquitto_reason_string(rc))));
                return;
            }
            {
                const std::lock_guard<std::mutex> lock(self->mutex);
                self->connectedOnce = true;
                self->log.clear();
            }
            const bool sessionPresent = flags & 1;
            self->post([self, sessionPresent] {
                self->client->m_connected = true;
                emit self->client->connected(sessionPresent);
            });
        });
    mosquitto_disconnect_v5_callback_set(worker.mosq, [](mosquitto *, void *data, int rc, const mosquitto_property *) {
        auto *self = static_cast<Worker *>(data);
        const int error = errno;
        if (self->isStopping())
            return;
        // A broker's DISCONNECT carries an MQTT reason code (0x80 and
        // above); a failure of ours, the library's error code.
        const QString why = rc >= 0x80 ? QString::fromUtf8(mosquitto_reason_string(rc)) : self->words(rc, error);
        bool wasConnected = false;
        {
            const std::lock_guard<std::mutex> lock(self->mutex);
            wasConnected = self->connectedOnce;
            // Not every broker says so: Mosquitto 2.0 just closes the old
            // connection, and the bridge's check before it connects again
            // finds the new owner.
            if (rc == MQTT_RC_SESSION_TAKEN_OVER) {
                self->takenOver = true;
                self->failureTold = true;
            }
        }
        if (rc == MQTT_RC_SESSION_TAKEN_OVER) {
            self->post([self, why] {
                self->client->m_connected = false;
                emit self->client->takenOver(why);
            });
        } else if (wasConnected)
            self->fail(QStringLiteral("lost the connection to %1: %2").arg(self->address, why));
    });
    mosquitto_message_v5_callback_set(
        worker.mosq, [](mosquitto *, void *data, const mosquitto_message *in, const mosquitto_property *properties) {
            auto *self = static_cast<Worker *>(data);
            MqttMessage message;
            message.topic = QByteArray(in->topic);
            message.payload = kept(in->payload, in->payloadlen, self->keptPayload);
            message.size = in->payloadlen;
            message.mid = in->mid;
            message.qos = in->qos;
            message.retain = in->retain;
            char *text = nullptr;
            if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &text, false)) {
                message.responseTopic = kept(text, int(std::strlen(text)), MaxPropertyBytes);
                message.propertyTooLong = std::strlen(text) > size_t(MaxPropertyBytes);
                std::free(text);
            }
            void *binary = nullptr;
            uint16_t length = 0;
            if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &binary, &length, false)) {
                message.correlation = kept(binary, length, MaxPropertyBytes);
                message.propertyTooLong = message.propertyTooLong || length > MaxPropertyBytes;
                std::free(binary);
            }
            uint32_t expiry = 0;
            if (mosquitto_property_read_int32(properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false))
                message.expirySeconds = expiry;
            char *name = nullptr;
            char *value = nullptr;
            const mosquitto_property *pair =
                mosquitto_property_read_string_pair(properties, MQTT_PROP_USER_PROPERTY, &name, &value, false);
            while (pair) {
                if (message.userProperties.size() < keptUserProperties) {
                    message.userProperties << qMakePair(kept(name, int(std::strlen(name)), MaxPropertyBytes),
                                                        kept(value, int(std::strlen(value)), MaxPropertyBytes));
                }
                std::free(name);
                std::free(value);
                pair = mosquitto_property_read_string_pair(pair, MQTT_PROP_USER_PROPERTY, &name, &value, true);
            }
            self->post([self, message] { emit self->client->messageArrived(message); });
        });
    mosquitto_publish_v5_callback_set(
        worker.mosq, [](mosquitto *, void *data, int mid, int reasonCode, const mosquitto_property *) {
            auto *self = static_cast<Worker *>(data);
            self->post([self, mid, reasonCode] { emit self->client->published(mid, reasonCode); });
        });
    mosquitto_subscribe_v5_callback_set(
        worker.mosq, [](mosquitto *, void *data, int mid, int count, const int *granted, const mosquitto_property *) {
            auto *self = static_cast<Worker *>(data);
            QList<int> codes;
            for (int i = 0; i < count; ++i)
                codes << granted[i];
            self->post([self, mid, codes] { emit self->client->subscribed(mid, codes); });
        });
}

MqttClient::~MqttClient()
{
    bool running = false;
    {
        const std::lock_guard<std::mutex> lock(m_worker->mutex);
        m_worker->client = nullptr;
        running = m_worker->started && !m_worker->stopping;
        m_worker->stopping = true;
    }
    // The thread says goodbye to the broker on its own and ends; it holds
    // the library's handle until then.
    if (running) {
        m_worker->wake.notify_all();
        mosquitto_disconnect_v5(m_worker->mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    }
}

bool MqttClient::start(QString *error)
{
    if (!m_worker->mosq) {
        *error = QStringLiteral("the MQTT library could not make a client");
        return false;
    }
    if (!m_worker->setupError.isEmpty()) {
        *error = m_worker->setupError;
        return false;
    }
    m_worker->started = true;
    // Detached: a connection attempt the system has not given up yet must
    // not hold up a program that is leaving.
    std::thread([worker = m_worker] { worker->run(); }).detach();
    return true;
}

void MqttClient::stop()
{
    Worker &worker = *m_worker;
    {
        const std::lock_guard<std::mutex> lock(worker.mutex);
        if (worker.stopping || !worker.started)
            return;
        worker.stopping = true;
    }
    worker.wake.notify_all();
    // Also wakes the thread from its wait for the socket.
    mosquitto_disconnect_v5(worker.mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    worker.finished.get_future().wait_for(std::chrono::milliseconds(stopWaitMs));
    m_connected = false;
}

int MqttClient::publish(const MqttPublish &message, QString *error)
{
    mosquitto_property *properties = nullptr;
    if (!message.responseTopic.isEmpty())
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, message.responseTopic.constData());
    if (!message.correlation.isEmpty()) {
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, message.correlation.constData(),
                                      uint16_t(message.correlation.size()));
    }
    if (message.expirySeconds)
        mosquitto_property_add_int32(&properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, *message.expirySeconds);
    for (const auto &[name, value] : message.userProperties)
        mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, name.constData(), value.constData());
    int mid = 0;
    const int rc = mosquitto_publish_v5(m_worker->mosq, &mid, message.topic.constData(), int(message.payload.size()),
                                        message.payload.constData(), 1, message.retain, properties);
    mosquitto_property_free_all(&properties);
    // Not connected, the library keeps a QoS 1 message and sends it with
    // the next connection.
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        *error = QString::fromUtf8(mosquitto_strerror(rc));
        return 0;
    }
    return mid;
}

void MqttClient::proceed(bool connect)
{
    {
        const std::lock_guard<std::mutex> lock(m_worker->mutex);
        if (m_worker->verdict != Worker::Verdict::Asked)
            return;
        m_worker->verdict = connect ? Worker::Verdict::Connect : Worker::Verdict::Wait;
    }
    m_worker->wake.notify_all();
}

QString MqttClient::reasonText(int reasonCode)
{
    return QString::fromUtf8(mosquitto_reason_string(reasonCode));
}

bool MqttClient::isPublishTopic(const QByteArray &topic)
{
    return mosquitto_validate_utf8(topic.constData(), int(topic.size())) == MOSQ_ERR_SUCCESS
           && mosquitto_pub_topic_check2(topic.constData(), size_t(topic.size())) == MOSQ_ERR_SUCCESS;
}

int MqttClient::subscribe(const QList<QByteArray> &topics, int options)
{
    QList<char *> names;
    for (const QByteArray &topic : topics)
        names << const_cast<char *>(topic.constData());
    int mid = 0;
    const int rc =
        mosquitto_subscribe_multiple(m_worker->mosq, &mid, int(names.size()), names.data(), 1, options, nullptr);
    return rc == MOSQ_ERR_SUCCESS ? mid : 0;
}
