// Limits of one SMTP connection: the server port and how long each wait may last.
//
// The reply limits are the minimum client time-outs of RFC 5321 (4.5.3.2): five minutes for
// an ordinary reply and ten for the reply to the end of the message data.
#pragma once

#include <QtGlobal>

#include <chrono>

namespace Smtp {

inline constexpr quint16 Port = 25;

inline constexpr std::chrono::milliseconds ConnectTimeout{30'000};
inline constexpr std::chrono::milliseconds ReplyTimeout{5 * 60'000};
inline constexpr std::chrono::milliseconds DataEndTimeout{10 * 60'000};

} // namespace Smtp
