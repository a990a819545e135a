#include "WinsockErrors.h"

namespace WinsockErrors {

Error timedOut()
{
    return {TimedOut, QStringLiteral("Connection is timed out")};
}

Error connectionReset()
{
    return {ConnectionReset, QStringLiteral("Connection is reset by remote side")};
}

Error fromSocketError(QAbstractSocket::SocketError error, const QString &detail)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return {ConnectionRefused, QStringLiteral("Connection is forcefully rejected")};
    case QAbstractSocket::HostNotFoundError:
        return {HostNotFound, QStringLiteral("Authoritative answer: Host not found")};
    case QAbstractSocket::SocketTimeoutError:
        return timedOut();
    case QAbstractSocket::RemoteHostClosedError:
        // Qt reports a reset and an orderly close under the same code; its text tells them apart.
        if (detail.contains(QLatin1String("reset"), Qt::CaseInsensitive))
            return connectionReset();
        return {ConnectionAborted,
                QStringLiteral("Connection is aborted due to timeout or other failure")};
    case QAbstractSocket::NetworkError:
        if (detail.contains(QLatin1String("reset"), Qt::CaseInsensitive))
            return connectionReset();
        return {10051, QStringLiteral("Network is unreachable (%1)").arg(detail)};
    case QAbstractSocket::SocketAccessError:
        return {10013, QStringLiteral("Permission denied (%1)").arg(detail)};
    case QAbstractSocket::SocketResourceError:
        return {10055, QStringLiteral("No buffer space is available (%1)").arg(detail)};
    default:
        return {10050, detail};
    }
}

} // namespace WinsockErrors
