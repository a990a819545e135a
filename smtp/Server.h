// Where the messages go, from the first line of smtp.txt:
//   host, host:25          plain SMTP to port 25: HELO, no TLS, no login
//   host:465               TLS from the first byte (RFC 8314), then the submission dialogue
//   host:PORT              any other port (587 above all): the submission dialogue with STARTTLS
//                          (RFC 3207), which is required
// An IPv6 address goes in brackets, "[2001:db8::1]:587"; without a port, brackets are optional.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace Smtp {

enum class Security {
    None,     // port 25: no TLS, no login
    StartTls, // plain until STARTTLS, then TLS; a login after it
    Implicit, // TLS from the first byte; a login
};

struct Server
{
    QByteArray host; // without brackets and spaces
    quint16 port = 25;
    Security security = Security::None;
    bool valid = true; // false for a port that is no number from 1 to 65535
};

// The server of a line of smtp.txt, spaces around it ignored.
Server server(QByteArrayView line);

} // namespace Smtp
