// What a failed message means for a series. A person who has just pressed a button sees every
// problem at once in a box; but once a series has delivered at least one message, a refusal for
// now (any 4xx), a sending limit of the account, a socket error or a time-out are what a night
// through a provider brings: the series waits and tries again instead of asking. A dead address
// is passed over in either case.
#pragma once

#include <QByteArray>

namespace Pace {

struct Failure
{
    enum class Kind {
        Reply,   // the server refused: `reply`
        Network, // a socket error or a time-out
        Other,   // anything else: no safe way to log in, a field that cannot be sent
    };
    Kind kind = Kind::Other;
    QByteArray reply;
    bool deadAddress = false; // the reply to RCPT TO says the address takes no mail
};

// What refused, so that further refusals of the same kind wait longer.
enum class WaitKind { Limit, Refusal, Network };

struct Verdict
{
    enum class Act { Box, Wait, PassOver };
    Act act = Act::Box;
    WaitKind wait = WaitKind::Refusal; // for Act::Wait
};

// `inSeries`: a series sends; `deliveredInSeries`: how many it has delivered since it started.
Verdict verdictOf(const Failure &failure, bool inSeries, int deliveredInSeries);

} // namespace Pace
