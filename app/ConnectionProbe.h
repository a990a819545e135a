// Two things of a TCP connection that Qt does not offer, the program's only platform code; where
// the system offers neither, the probe answers "no" and does nothing.
//
// Whether the peer ended the connection with a reset rather than an orderly close: Qt reports
// both as RemoteHostClosedError and closes its descriptor before saying so. The probe keeps a
// second descriptor of the same connection while it is open, and asks the system for the
// connection's state when Qt reports the close.
//
// Acknowledging at once what arrives: the system delays an acknowledgement up to 40 ms in the
// hope of sending it with data, and a server that holds its reply until the data before it is
// acknowledged (Nagle's algorithm; Postfix's after its TLS 1.3 session tickets, for one) then
// waits that long on every exchange.
#pragma once

#include <QtGlobal>

class ConnectionProbe
{
public:
    ConnectionProbe() = default;
    ConnectionProbe(const ConnectionProbe &) = delete;
    ConnectionProbe &operator=(const ConnectionProbe &) = delete;
    ~ConnectionProbe() { release(); }

    // Starts watching the connected socket `descriptor`.
    void attach(qintptr descriptor);
    // True when the watched connection was ended by a reset from the peer.
    bool wasReset() const;
    // Acknowledges without delay what arrives next (TCP_QUICKACK, which the system drops again
    // as the connection goes on: asked after every write).
    void acknowledgeAtOnce();
    // Stops watching. Must run whenever the connection is closed, or the close would wait
    // for this second descriptor.
    void release();

private:
    qintptr m_descriptor = -1;
};
