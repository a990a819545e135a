#include "Server.h"

#include "Fields.h"

namespace Smtp {

Server server(QByteArrayView line)
{
    const QByteArray text = trimmed(line);
    Server s;
    qsizetype colon = -1;                                // before the port
    if (text.startsWith('[') && text.indexOf(']') > 0) { // [address] or [address]:port
        const qsizetype close = text.indexOf(']');
        s.host = text.sliced(1, close - 1);
        colon = close + 1 < text.size() ? close + 1 : -1;
        s.valid = colon < 0 || text[colon] == ':';
    } else if (text.count(':') == 1) {
        colon = text.indexOf(':');
        s.host = text.first(colon);
    } else { // a name, or an IPv6 address without brackets (two colons or more)
        s.host = text;
    }
    if (colon >= 0) {
        const QByteArray port = text.sliced(colon + 1);
        bool number = false;
        const uint value = port.toUInt(&number);
        s.valid = s.valid && number && value >= 1 && value <= 65535 && port.size() <= 5 &&
                  port.front() >= '0' && port.front() <= '9';
        s.port = s.valid ? quint16(value) : 25;
    }
    s.security = s.port == 25    ? Security::None
                 : s.port == 465 ? Security::Implicit
                                 : Security::StartTls;
    return s;
}

} // namespace Smtp
