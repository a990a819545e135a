// How long each wait of one SMTP connection may last.
//
// The reply limits are the minimum client time-outs of RFC 5321 (4.5.3.2): five minutes for
// an ordinary reply and ten for the reply to the end of the message data. The reply to QUIT
// gets only a few seconds: the message has been delivered by then, and a server that stays
// silent must not hold up the next message of a series.
#pragma once

#include <chrono>

namespace Smtp {

struct Timeouts
{
    std::chrono::milliseconds connect{30'000};
    std::chrono::milliseconds reply{5 * 60'000};
    std::chrono::milliseconds dataEnd{10 * 60'000};
    std::chrono::milliseconds quit{5'000};
};

} // namespace Smtp
