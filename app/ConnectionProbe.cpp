#include "ConnectionProbe.h"

#if defined(Q_OS_LINUX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

void ConnectionProbe::attach(qintptr descriptor)
{
    release();
    if (descriptor >= 0)
        m_descriptor = ::dup(int(descriptor));
}

bool ConnectionProbe::wasReset() const
{
    if (m_descriptor < 0)
        return false;
    // After an orderly close from the peer the connection waits in CLOSE_WAIT for our own
    // close; a reset takes it straight to CLOSE.
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(int(m_descriptor), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return false;
    return info.tcpi_state == TCP_CLOSE;
}

void ConnectionProbe::release()
{
    if (m_descriptor >= 0)
        ::close(int(m_descriptor));
    m_descriptor = -1;
}

#else

void ConnectionProbe::attach(qintptr)
{
}
bool ConnectionProbe::wasReset() const
{
    return false;
}
void ConnectionProbe::release()
{
}

#endif
