#include "MailboxReader.h"

#include <QSslSocket>
#include <QTimer>

#include <algorithm>

MailboxReader::MailboxReader(QObject *parent) : MailboxReader(Timeouts(), parent)
{
}

MailboxReader::MailboxReader(Timeouts timeouts, QObject *parent)
    : QObject(parent), m_timeouts(timeouts), m_socket(new QSslSocket(this)),
      m_reply(new QTimer(this)), m_whole(new QTimer(this))
{
    qRegisterMetaType<QList<Mailbox::Finding>>();
    m_reply->setSingleShot(true);
    m_whole->setSingleShot(true);
    connect(m_reply, &QTimer::timeout, this, [this] {
        fail(m_connected
                 ? QStringLiteral("сервер не ответил за %1 с").arg(m_timeouts.reply.count() / 1000)
                 : QStringLiteral("сервер не ответил на соединение за %1 с")
                       .arg(m_timeouts.connect.count() / 1000));
    });
    connect(m_whole, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("чтение не закончилось за %1 мин")
                 .arg(m_timeouts.whole.count() / 60'000));
    });
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_connected = true;
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_reply->start(m_timeouts.reply);
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &MailboxReader::onReadyRead);
    connect(m_socket, &QSslSocket::encrypted, this, [this] {
        if (m_client.awaitingTls())
            carryOut(m_client.tlsUp());
        else
            onReadyRead(); // TLS from the first byte: the greeting may be waiting
    });
    connect(m_socket, &QSslSocket::sslErrors, this,
            [this](const QList<QSslError> &errors) { m_sslErrors = errors; }); // never ignored
    connect(m_socket, &QTcpSocket::errorOccurred, this, &MailboxReader::onSocketError);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        if (m_running)
            carryOut(m_client.closed());
    });
}

MailboxReader::~MailboxReader()
{
    m_socket->disconnect(this);
    m_socket->abort();
}

void MailboxReader::start(const QString &host, quint16 port, const QString &login,
                          const QString &password, const QDateTime &since)
{
    start(host, port, login, password, since, port == 993);
}

void MailboxReader::start(const QString &host, quint16 port, const QString &login,
                          const QString &password, const QDateTime &since, bool tlsFromStart)
{
    close();
    m_host = host;
    m_port = port;
    m_findings.clear();
    const QByteArray secret = password.toUtf8();
    m_secrets = {secret, secret.toBase64(), ('\0' + login.toUtf8() + '\0' + secret).toBase64()};
    m_client.begin({login.toUtf8(), secret, since.toUTC().date().addDays(-1), tlsFromStart,
                    Mailbox::ClassifyingFields, Mailbox::mayBeReport});
    m_running = true;
    m_connected = false;
    m_sslErrors.clear();
    if (tlsFromStart)
        m_socket->connectToHostEncrypted(host, port);
    else
        m_socket->connectToHost(host, port);
    m_reply->start(m_timeouts.connect);
    m_whole->start(m_timeouts.whole);
}

void MailboxReader::abort()
{
    close();
}

void MailboxReader::close()
{
    m_running = false;
    m_reply->stop();
    m_whole->stop();
    m_socket->abort();
    for (QByteArray &s : m_secrets)
        s.fill('\0');
    m_secrets.clear();
}

void MailboxReader::onReadyRead()
{
    if (!m_running || (m_socket->mode() != QSslSocket::UnencryptedMode && !m_socket->isEncrypted()))
        return;
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    m_reply->start(m_timeouts.reply);
    carryOut(m_client.feed(bytes));
}

void MailboxReader::carryOut(const Imap::Action &action)
{
    for (const Imap::Message &m : action.messages)
        if (std::optional<Mailbox::Finding> f =
                Mailbox::classify(m.head.isEmpty() ? m.headerFields : m.head))
            m_findings.append(*f);
    if (!action.send.isEmpty()) {
        m_socket->write(action.send);
        m_socket->flush();
    }
    const QString said = QString::fromUtf8(action.text).trimmed();
    switch (action.outcome) {
    case Imap::Outcome::Continue:
        return;
    case Imap::Outcome::StartTls:
        m_sslErrors.clear();
        m_socket->startClientEncryption();
        return;
    case Imap::Outcome::Done: {
        const QList<Mailbox::Finding> findings = m_findings;
        close();
        emit finished(findings);
        return;
    }
    case Imap::Outcome::ServerRefused:
        return fail(QStringLiteral("сервер ответил отказом: %1").arg(said));
    case Imap::Outcome::NoStartTls:
        return fail(QStringLiteral("сервер на порту %1 не предлагает шифрование (STARTTLS); "
                                   "логин и пароль не отправлены")
                        .arg(m_port));
    case Imap::Outcome::NoLoginMethod:
        return fail(QStringLiteral("сервер не позволяет войти по паролю (ни LOGIN, ни "
                                   "AUTHENTICATE PLAIN); пароль не отправлен"));
    case Imap::Outcome::LoginRefused:
        return fail(QStringLiteral("сервер не принял логин и пароль: %1").arg(said));
    case Imap::Outcome::Protocol:
        return fail(QStringLiteral("сервер ответил не по протоколу IMAP (%1)").arg(said));
    case Imap::Outcome::Dropped:
        return fail(QStringLiteral("сервер закрыл соединение, не закончив ответ"));
    }
}

void MailboxReader::onSocketError()
{
    if (!m_running)
        return;
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError && m_connected &&
        (m_socket->isEncrypted() || m_socket->mode() == QSslSocket::UnencryptedMode))
        return carryOut(m_client.closed()); // told as the scan sees it
    const auto has = [this](std::initializer_list<QSslError::SslError> kinds) {
        return std::any_of(m_sslErrors.begin(), m_sslErrors.end(), [&](const QSslError &e) {
            return std::find(kinds.begin(), kinds.end(), e.error()) != kinds.end();
        });
    };
    if (m_connected && !m_socket->isEncrypted() &&
        (m_client.awaitingTls() || m_socket->mode() == QSslSocket::SslClientMode)) {
        // The most basic fault first: of an unknown authority the name means nothing.
        if (has({QSslError::UnableToGetLocalIssuerCertificate,
                 QSslError::UnableToGetIssuerCertificate, QSslError::UnableToVerifyFirstCertificate,
                 QSslError::SelfSignedCertificate, QSslError::SelfSignedCertificateInChain,
                 QSslError::CertificateUntrusted}))
            return fail(QStringLiteral("сертификат сервера выдан неизвестным центром "
                                       "сертификации; логин и пароль не отправлены"));
        if (has({QSslError::CertificateExpired, QSslError::CertificateNotYetValid}))
            return fail(QStringLiteral("срок действия сертификата сервера истёк или ещё не "
                                       "начался; логин и пароль не отправлены"));
        if (has({QSslError::HostNameMismatch}))
            return fail(QStringLiteral("сертификат сервера выдан не на имя %1; логин и пароль "
                                       "не отправлены")
                            .arg(m_host));
        return fail(QStringLiteral("не удалось установить шифрованное соединение (%1)")
                        .arg(m_socket->errorString()));
    }
    switch (m_socket->error()) {
    case QAbstractSocket::HostNotFoundError:
        return fail(QStringLiteral("сервер не найден"));
    case QAbstractSocket::ConnectionRefusedError:
        return fail(QStringLiteral("сервер не принимает соединения на порту %1").arg(m_port));
    default:
        return fail(
            QStringLiteral("не удалось соединиться с сервером (%1)").arg(m_socket->errorString()));
    }
}

void MailboxReader::fail(const QString &why)
{
    if (!m_running)
        return;
    QString text =
        QStringLiteral("Не удалось прочитать почтовый ящик на сервере %1: %2.").arg(m_host, why);
    for (const QByteArray &secret : m_secrets) // a server may repeat what it was sent
        if (!secret.isEmpty())
            text.replace(QString::fromUtf8(secret), QStringLiteral("***"));
    close();
    emit failed(text);
}
