#include "ConnectionProbe.h"

#if defined(Q_OS_LINUX)
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

void ConnectionProbe::attach([[maybe_unused]] qintptr descriptor)
{
    release();
#if defined(Q_OS_LINUX)
    // Close-on-exec like Qt's own descriptor, so that no program started meanwhile inherits the
    // connection and holds it open.
    if (descriptor >= 0)
        m_descriptor = ::fcntl(int(descriptor), F_DUPFD_CLOEXEC, 0);
#endif
}

bool ConnectionProbe::wasReset() const
{
#if defined(Q_OS_LINUX)
    // After an orderly close from the peer the connection waits in CLOSE_WAIT for our own
    // close; a reset takes it straight to CLOSE.
    tcp_info info{};
    socklen_t size = sizeof info;
    return m_descriptor >= 0 &&
           ::getsockopt(int(m_descriptor), IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
           info.tcpi_state == TCP_CLOSE;
#else
    return false;
#endif
}

void ConnectionProbe::acknowledgeAtOnce()
{
#if defined(Q_OS_LINUX)
    const int on = 1;
    if (m_descriptor >= 0)
        ::setsockopt(int(m_descriptor), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

void ConnectionProbe::release()
{
#if defined(Q_OS_LINUX)
    if (m_descriptor >= 0)
        ::close(int(m_descriptor));
#endif
    m_descriptor = -1;
}
