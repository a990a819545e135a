// The socket errors as the numbers and descriptions that users of the "Winsock Error" box know.
#pragma once

#include <QAbstractSocket>
#include <QString>

namespace WinsockErrors {

constexpr int ConnectionAborted = 10053; // the server closed the connection mid-dialogue
constexpr int ConnectionReset = 10054;
constexpr int TimedOut = 10060;
constexpr int ConnectionRefused = 10061;
constexpr int HostNotFound = 11001;

struct Error
{
    int number;
    QString description;
};

// Maps a Qt socket error to its Winsock number and description. `detail` is the socket's own
// error text, used to tell a reset from an orderly close and to describe rarer errors.
Error fromSocketError(QAbstractSocket::SocketError error, const QString &detail);

// The error of a connection attempt or a reply that took too long.
Error timedOut();

// The error of a connection that the server reset.
Error connectionReset();

} // namespace WinsockErrors
