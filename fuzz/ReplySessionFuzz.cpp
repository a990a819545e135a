// Catches: replies assembled differently depending on how the server's bytes are cut, a command
// written without a reply to answer or after the dialogue has ended, a command that carries a
// line break, message data with a bare line end or an early end mark, and a message counted
// twice or before all its data went out.
//
// Input: the sender, the recipient, the subject, the body and the attachment block (each a
// one-byte length and its bytes), then operations until the input ends:
//   op % 4 == 0  feed: a one-byte count n and n bytes of server output
//   op % 4 == 1  run: a two-byte count n, a byte b and a byte p: n bytes b in pieces of
//                64 * (p + 1) bytes (reaches the reply size limit without a 64 KiB input)
//   op % 4 == 2  pull: a one-byte count k: take up to k chunks of message data, of op / 4 + 1
//                bytes each, as the socket would when it drains
//   op % 4 == 3  a new dialogue on the same objects, as the window starts the next message
#include "FuzzInput.h"

#include "Reply.h"
#include "Session.h"

#include <QByteArray>

namespace {

using Smtp::Outcome;

// One line of text ended by CR LF, and nothing else.
bool isCommand(QByteArrayView text)
{
    return text.endsWith("\r\n") && text.indexOf('\r') == text.size() - 2 &&
           text.indexOf('\n') == text.size() - 1;
}

// Complete message data: CR LF line ends only, and the one line that is a lone dot at its end.
void checkData(const QByteArray &data)
{
    FUZZ_CHECK(data.startsWith("From: ") && data.endsWith("\r\n.\r\n"));
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data[i] == '\r')
            FUZZ_CHECK(i + 1 < data.size() && data[i + 1] == '\n');
        if (data[i] == '\n')
            FUZZ_CHECK(i > 0 && data[i - 1] == '\r');
    }
    FUZZ_CHECK(data.indexOf("\r\n.\r\n") == data.size() - 5);
}

class Dialogue
{
public:
    explicit Dialogue(FuzzInput &in)
    {
        m_message.sender = in.shortString().toByteArray();
        m_recipient = in.shortString().toByteArray();
        m_message.subject = in.shortString().toByteArray();
        m_message.body = in.shortString().toByteArray();
        m_message.attachmentBlock = in.shortString().toByteArray();
        begin();
    }

    void begin()
    {
        m_whole.clear();
        m_byByte.clear();
        m_data.clear();
        m_deliveries = 0;
        const Outcome outcome = m_session.begin(m_message);
        FUZZ_CHECK(outcome == Outcome::Continue || outcome == Outcome::InvalidSender ||
                   outcome == Outcome::EmptySender);
        m_active = outcome == Outcome::Continue;
        FUZZ_CHECK(m_session.active() == m_active && m_session.step() == 0);
    }

    void feed(QByteArrayView bytes)
    {
        // However the bytes are cut, the same replies come out.
        m_whole.feed(bytes);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            m_byByte.feed(bytes.sliced(i, 1));
        while (m_whole.hasReply()) {
            FUZZ_CHECK(m_byByte.hasReply());
            const QByteArray reply = m_whole.takeReply();
            FUZZ_CHECK(reply == m_byByte.takeReply());
            FUZZ_CHECK(reply.endsWith('\n') || reply.size() == Smtp::ReplyAssembler::MaxReplyBytes);
            answer(reply);
        }
        FUZZ_CHECK(!m_byByte.hasReply());
    }

    void pull(int chunks, qsizetype size)
    {
        for (int i = 0; i < chunks; ++i) {
            const bool wasFinished = m_session.dataFinished();
            const QByteArray chunk = m_session.nextDataChunk(size);
            FUZZ_CHECK(wasFinished == chunk.isEmpty());
            // Data exists only between the go-ahead and the end of the dialogue.
            FUZZ_CHECK(wasFinished || (m_active && m_session.step() == 5));
            FUZZ_CHECK(chunk.size() <= size);
            m_data += chunk;
            if (!wasFinished && m_session.dataFinished())
                checkData(m_data);
            else if (!wasFinished)
                FUZZ_CHECK(chunk.size() == size); // only the last chunk may be short
        }
    }

private:
    void answer(const QByteArray &reply)
    {
        const int stepBefore = m_session.step();
        const Smtp::Action action = m_session.onReply(reply, [this] { return m_recipient; });
        if (!m_active) {
            // The dialogue is over (or never began): nothing more goes out.
            FUZZ_CHECK(action.outcome == Outcome::Continue && action.send.isEmpty() &&
                       !action.startData);
            return;
        }
        const bool ends = action.outcome == Outcome::Refused || action.outcome == Outcome::Over ||
                          action.outcome == Outcome::InvalidRecipient;
        FUZZ_CHECK(ends ? action.send.isEmpty() : isCommand(action.send) || action.startData);
        FUZZ_CHECK(action.startData == (!ends && stepBefore == 4));
        FUZZ_CHECK(m_session.step() == (ends ? stepBefore : stepBefore + 1));
        FUZZ_CHECK(action.outcome != Outcome::Refused || action.reply == reply);
        if (action.outcome == Outcome::Delivered) {
            // Only once, and only when every byte of the data has gone out.
            FUZZ_CHECK(++m_deliveries == 1 && m_data.endsWith("\r\n.\r\n"));
            FUZZ_CHECK(action.send == "QUIT\r\n");
        }
        FUZZ_CHECK(m_session.delivered() == (m_deliveries == 1));
        m_active = !ends;
        FUZZ_CHECK(m_session.active() == m_active);
    }

    Smtp::Message m_message;
    QByteArray m_recipient;
    Smtp::Session m_session;
    Smtp::ReplyAssembler m_whole;
    Smtp::ReplyAssembler m_byByte;
    QByteArray m_data;
    int m_deliveries = 0;
    bool m_active = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput in(data, size);
    Dialogue dialogue(in);
    // Runs beyond what it takes to pass the size limit twice only slow the search down.
    qsizetype runBudget = 2 * Smtp::ReplyAssembler::MaxReplyBytes + 1024;
    while (!in.atEnd()) {
        const std::uint8_t op = in.u8();
        switch (op % 4) {
        case 0:
            dialogue.feed(in.shortString());
            break;
        case 1: {
            const qsizetype count = std::min<qsizetype>(in.u16(), runBudget);
            runBudget -= count;
            const QByteArray run(count, char(in.u8()));
            const qsizetype piece = (in.u8() + 1) * 64;
            for (qsizetype at = 0; at < run.size(); at += piece)
                dialogue.feed(QByteArrayView(run).sliced(at, std::min(piece, run.size() - at)));
            break;
        }
        case 2:
            dialogue.pull(in.u8(), op / 4 + 1);
            break;
        case 3:
            dialogue.begin();
            break;
        }
    }
    return 0;
}
