#include "SmtpConnection.h"

#include <QSslSocket>
#include <QTimer>

#include <algorithm>

namespace {

// The message data goes to the socket in chunks as it drains, so that a large attachment is
// never held twice in memory.
constexpr qsizetype DataChunk = 256 * 1024;
constexpr qint64 DataHighWater = 1024 * 1024;

// The socket errors as the numbers and descriptions that users of the "Winsock Error" box know.
struct WinsockError
{
    int number;
    QString description;
};
const WinsockError TimedOut = {10060, QStringLiteral("Connection is timed out")};
const WinsockError ConnectionReset = {10054, QStringLiteral("Connection is reset by remote side")};

// `detail` is the socket's own error text, which tells a reset from an orderly close where the
// connection's state cannot, and describes rarer errors.
WinsockError winsockError(QAbstractSocket::SocketError error, const QString &detail)
{
    const bool reset = detail.contains(QLatin1String("reset"), Qt::CaseInsensitive);
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return {10061, QStringLiteral("Connection is forcefully rejected")};
    case QAbstractSocket::HostNotFoundError:
        return {11001, QStringLiteral("Authoritative answer: Host not found")};
    case QAbstractSocket::SocketTimeoutError:
        return TimedOut;
    case QAbstractSocket::RemoteHostClosedError: // a reset or the server closing mid-dialogue
        return reset ? ConnectionReset
                     : WinsockError{10053, QStringLiteral("Connection is aborted due to timeout "
                                                          "or other failure")};
    case QAbstractSocket::NetworkError:
        return reset
                   ? ConnectionReset
                   : WinsockError{10051, QStringLiteral("Network is unreachable (%1)").arg(detail)};
    case QAbstractSocket::SocketAccessError:
        return {10013, QStringLiteral("Permission denied (%1)").arg(detail)};
    case QAbstractSocket::SocketResourceError:
        return {10055, QStringLiteral("No buffer space is available (%1)").arg(detail)};
    default:
        return {10050, detail};
    }
}

} // namespace

SmtpConnection::SmtpConnection(Smtp::Timeouts timeouts, QObject *parent)
    : QObject(parent), m_timeouts(timeouts), m_timeout(new QTimer(this))
{
    m_timeout->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this,
            [this] { breakOff(TimedOut.number, TimedOut.description); });
}

// Made at the first send, not with the window: a TLS socket loads the system's TLS library
// (Schannel on Windows, OpenSSL on Linux), and the window's start need not wait for that.
void SmtpConnection::makeSocket()
{
    m_socket = new QSslSocket(this);
    m_socket->setObjectName(QStringLiteral("Winsock1"));
    connect(m_socket, &QTcpSocket::readyRead, this, &SmtpConnection::Winsock1_DataArrival);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &SmtpConnection::onSocketError);
    // An orderly close mid-dialogue arrives as an error first; this catches one without.
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        if (m_socket->error() == QAbstractSocket::UnknownSocketError)
            onSocketError();
    });
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_connected = true;
        // Commands are small and each waits for its reply: send them without delay.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_probe.attach(m_socket->socketDescriptor());
        // EHLO names this end of the connection by its address (RFC 5321, 4.1.3).
        const QHostAddress local = m_socket->localAddress();
        m_session.setClientName(local.protocol() == QAbstractSocket::IPv6Protocol
                                    ? "[IPv6:" + local.toString().toLatin1() + ']'
                                    : '[' + local.toString().toLatin1() + ']');
        m_timeout->start(m_session.replyTimeout(m_timeouts)); // for the greeting
    });
    connect(m_socket, &QSslSocket::encrypted, this, [this] { carryOut(m_session.tlsUp()); });
    connect(m_socket, &QSslSocket::sslErrors, this, &SmtpConnection::onSslErrors);
    // Every write that goes out feeds more data, if any waits, and restarts the wait for the
    // reply the dialogue now awaits.
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (!m_open)
            return;
        m_probe.acknowledgeAtOnce();
        pumpData();
        m_timeout->start(m_session.replyTimeout(m_timeouts));
    });
    connect(m_socket, &QSslSocket::encryptedBytesWritten, this,
            [this] { m_probe.acknowledgeAtOnce(); });
}

SmtpConnection::~SmtpConnection()
{
    // The socket goes down with this object's children, after this object has stopped being an
    // SmtpConnection: it must not report its close any more.
    m_probe.release();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void SmtpConnection::start(const QString &host, quint16 port, Smtp::Message message)
{
    close();
    if (!m_socket)
        makeSocket();
    const bool implicitTls = message.security == Smtp::Security::Implicit;
    m_sslErrors.clear(); // what a box says of a handshake is of this one only
    m_session.begin(std::move(message));
    m_open = true;
    if (implicitTls)
        m_socket->connectToHostEncrypted(host, port);
    else
        m_socket->connectToHost(host, port);
    m_timeout->start(m_timeouts.connect);
}

void SmtpConnection::Winsock1_DataArrival()
{
    m_replies.feed(m_socket->readAll());
    while (m_open && m_replies.hasReply()) {
        carryOut(m_session.onReply(m_replies.takeReply(),
                                   m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite()));
    }
}

void SmtpConnection::sendRecipient(QByteArrayView address)
{
    carryOut(m_session.recipient(address));
}

void SmtpConnection::carryOut(const Smtp::Action &action)
{
    switch (action.outcome) {
    case Smtp::Outcome::Delivered:
        emit delivered(action.reply); // before QUIT, which may be the last thing the line carries
        [[fallthrough]];
    case Smtp::Outcome::Continue:
        m_socket->write(action.send);
        if (action.startData)
            pumpData();
        else
            // A command goes to the system now rather than at the next turn of the event loop,
            // which saves a wait for every command of every message. The data is fed as the
            // socket drains.
            m_socket->flush();
        break;
    case Smtp::Outcome::RecipientWanted:
        emit recipientWanted();
        break;
    case Smtp::Outcome::StartTls:
        // Whatever came after the 220 came before TLS: it is dropped, never read as a reply.
        m_replies.clear();
        m_sslErrors.clear();
        m_socket->startClientEncryption();
        m_timeout->start(m_session.replyTimeout(m_timeouts));
        break;
    case Smtp::Outcome::NoStartTls:
    case Smtp::Outcome::NoLoginMethod:
        close();
        emit unsafe(action.outcome == Smtp::Outcome::NoStartTls ? Problem::NoStartTls
                                                                : Problem::NoLoginMethod,
                    QString::fromLatin1(action.reply).trimmed());
        break;
    case Smtp::Outcome::Over:
        close();
        emit over();
        break;
    case Smtp::Outcome::Refused:
    case Smtp::Outcome::DeadAddress:
    case Smtp::Outcome::LoginRefused:
        close();
        emit refused(action.reply, action.outcome);
        break;
    case Smtp::Outcome::InvalidRecipient:
        close();
        emit invalidRecipient();
        break;
    }
}

void SmtpConnection::pumpData()
{
    while (m_socket->bytesToWrite() < DataHighWater && !m_session.dataFinished())
        m_socket->write(m_session.nextDataChunk(DataChunk));
}

void SmtpConnection::close()
{
    m_open = m_connected = false;
    m_timeout->stop();
    m_replies.clear();
    m_probe.release();
    if (m_socket)
        m_socket->abort();
}

void SmtpConnection::onSocketError()
{
    if (!m_open)
        return; // a close after the dialogue has ended is no error
    // Before TLS is up every failure is the handshake's: told in plain words, not as a number.
    if (m_connected && !m_socket->isEncrypted() &&
        (m_session.awaitingTls() || m_socket->mode() == QSslSocket::SslClientMode)) {
        const QString detail = m_socket->errorString();
        // The most basic of the certificate's faults: of an unknown authority its name means
        // nothing, and an expired one is refused whatever name it bears.
        const auto has = [this](std::initializer_list<QSslError::SslError> kinds) {
            return std::any_of(m_sslErrors.begin(), m_sslErrors.end(), [&](const QSslError &e) {
                return std::find(kinds.begin(), kinds.end(), e.error()) != kinds.end();
            });
        };
        const Problem problem =
            has({QSslError::UnableToGetLocalIssuerCertificate,
                 QSslError::UnableToGetIssuerCertificate, QSslError::UnableToVerifyFirstCertificate,
                 QSslError::SelfSignedCertificate, QSslError::SelfSignedCertificateInChain,
                 QSslError::CertificateUntrusted})
                ? Problem::UnknownAuthority
            : has({QSslError::CertificateExpired, QSslError::CertificateNotYetValid})
                ? Problem::Expired
            : has({QSslError::HostNameMismatch}) ? Problem::OtherName
                                                 : Problem::Handshake;
        close();
        return emit unsafe(problem, detail);
    }
    // Read before the socket is closed: the probe sees the connection only while it is open.
    const WinsockError error = m_probe.wasReset()
                                   ? ConnectionReset
                                   : winsockError(m_socket->error(), m_socket->errorString());
    breakOff(error.number, error.description);
}

// A dialogue that broke off: the message is done if the server had already accepted it.
void SmtpConnection::breakOff(int number, const QString &description)
{
    if (!m_open)
        return;
    const bool delivered = m_session.delivered();
    close();
    if (delivered)
        emit over();
    else
        emit brokeOff(number, description);
}

void SmtpConnection::onSslErrors(const QList<QSslError> &errors)
{
    // Not ignored: the handshake fails, and onSocketError tells why.
    m_sslErrors = errors;
}
