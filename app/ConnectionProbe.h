// Tells whether the peer ended a TCP connection with a reset rather than an orderly close.
//
// Qt reports both as RemoteHostClosedError and closes its descriptor before saying so. The
// probe keeps a second descriptor of the same connection while it is open, and asks the
// system for the connection's state when Qt reports the close. It is the program's only
// piece of platform code; where the system offers no such state it always answers "no".
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
    // Stops watching. Must run whenever the connection is closed, or the close would wait
    // for this second descriptor.
    void release();

private:
    qintptr m_descriptor = -1;
};
