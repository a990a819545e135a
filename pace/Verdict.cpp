#include "Verdict.h"

#include "Reply.h"

namespace Pace {

Verdict verdictOf(const Failure &failure, bool inSeries, int deliveredInSeries)
{
    using Act = Verdict::Act;
    if (failure.deadAddress)
        return {Act::PassOver};
    if (!inSeries || deliveredInSeries < 1)
        return {Act::Box};
    switch (failure.kind) {
    case Failure::Kind::Network:
        return {Act::Wait, WaitKind::Network};
    case Failure::Kind::Reply:
        if (Smtp::isSendingLimit(failure.reply))
            return {Act::Wait, WaitKind::Limit};
        if (failure.reply.startsWith('4'))
            return {Act::Wait, WaitKind::Refusal};
        return {Act::Box};
    case Failure::Kind::Other:
        break;
    }
    return {Act::Box};
}

} // namespace Pace
