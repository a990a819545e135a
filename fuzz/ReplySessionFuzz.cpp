// Catches: replies assembled differently depending on how the server's bytes are cut, a command
// written without a reply to answer, after the dialogue ended, or with a line break inside,
// message data with a bare line end or an early end mark, and a message counted twice or before
// all its data went out.
//
// Input: the sender, the recipient, the subject, the body and the attachment block (each a
// one-byte length and its bytes), then operations until the input ends:
//   op % 4 == 0  feed: a one-byte count n and n bytes of server output
//   op % 4 == 1  run: a two-byte count n, a byte b and a byte p: n bytes b in pieces of
//                64 * (p + 1) bytes (reaches the reply size limit without a 64 KiB input)
//   op % 4 == 2  pull: a one-byte count k: up to k chunks of message data of op / 4 + 1 bytes
//   op % 4 == 3  a new dialogue on the same objects, as the window starts the next message
#include "FuzzInput.h"
#include "Session.h"

namespace {

using Smtp::Outcome;

struct Dialogue
{
    Smtp::Message message;
    QByteArray recipient, data;
    Smtp::Session session;
    Smtp::ReplyAssembler whole, byByte;
    int deliveries = 0;

    void begin()
    {
        whole.clear();
        byByte.clear();
        data.clear();
        deliveries = 0;
        const Outcome outcome = session.begin(message);
        FUZZ_CHECK(session.active() == (outcome == Outcome::Continue) && session.step() == 0);
    }

    void feed(QByteArrayView bytes)
    {
        whole.feed(bytes); // however the bytes are cut, the same replies come out
        for (qsizetype i = 0; i < bytes.size(); ++i)
            byByte.feed(bytes.sliced(i, 1));
        while (whole.hasReply()) {
            const QByteArray reply = whole.takeReply();
            FUZZ_CHECK(reply == byByte.takeReply());
            answer(reply);
        }
        FUZZ_CHECK(!byByte.hasReply());
    }

    void answer(const QByteArray &reply)
    {
        const bool active = session.active();
        const int step = session.step();
        const Smtp::Action a = session.onReply(reply, [this] { return recipient; });
        const bool ends = a.outcome == Outcome::Refused || a.outcome == Outcome::Over ||
                          a.outcome == Outcome::InvalidRecipient;
        // A command is one line; nothing is written once the dialogue has ended.
        FUZZ_CHECK(a.send.isEmpty() || (a.send.endsWith("\r\n") && a.send.count('\r') == 1 &&
                                        a.send.count('\n') == 1 && active && !ends));
        FUZZ_CHECK(active || (a.outcome == Outcome::Continue && !a.startData));
        FUZZ_CHECK(a.startData == (active && !ends && step == 4));
        FUZZ_CHECK(session.step() == (active && !ends ? step + 1 : step));
        FUZZ_CHECK(session.active() == (active && !ends));
        if (a.outcome == Outcome::Delivered) // once, and only after all the data went out
            FUZZ_CHECK(++deliveries == 1 && data.endsWith("\r\n.\r\n"));
    }

    void pull(int chunks, qsizetype size)
    {
        for (int i = 0; i < chunks && !session.dataFinished(); ++i) {
            FUZZ_CHECK(session.active() && session.step() == 5); // data only after the go-ahead
            const QByteArray chunk = session.nextDataChunk(size);
            FUZZ_CHECK(chunk.size() == size || (session.dataFinished() && !chunk.isEmpty()));
            data += chunk;
        }
        if (!session.dataFinished() || !session.active() || session.step() != 5)
            return;
        // Complete: CR LF line ends only, and the only line that is a lone dot at its end.
        FUZZ_CHECK(data.startsWith("From: ") && data.indexOf("\r\n.\r\n") == data.size() - 5);
        for (qsizetype i = 0; i < data.size(); ++i) {
            FUZZ_CHECK((data[i] == '\r') == (i + 1 < data.size() && data[i + 1] == '\n'));
            FUZZ_CHECK(data[i] != '\n' || (i > 0 && data[i - 1] == '\r'));
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    FuzzInput in(bytes, size);
    Dialogue d;
    d.message = {in.shortString().toByteArray(), {}, {}, {}, {}, 0};
    d.recipient = in.shortString().toByteArray();
    d.message.subject = in.shortString().toByteArray();
    d.message.body = in.shortString().toByteArray();
    d.message.attachmentBlock = in.shortString().toByteArray();
    d.begin();
    // Runs beyond what it takes to pass the size limit twice only slow the search down.
    qsizetype runBudget = 2 * Smtp::ReplyAssembler::MaxReplyBytes + 1024;
    while (!in.atEnd()) {
        const std::uint8_t op = in.u8();
        if (op % 4 == 0) {
            d.feed(in.shortString());
        } else if (op % 4 == 1) {
            const qsizetype count = std::min<qsizetype>(in.u16(), runBudget);
            runBudget -= count;
            const QByteArray run(count, char(in.u8()));
            const qsizetype piece = (in.u8() + 1) * 64;
            for (qsizetype at = 0; at < run.size(); at += piece)
                d.feed(QByteArrayView(run).sliced(at, std::min(piece, run.size() - at)));
        } else if (op % 4 == 2) {
            d.pull(in.u8(), op / 4 + 1);
        } else {
            d.begin();
        }
    }
    return 0;
}
