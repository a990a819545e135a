// Arbitrary server bytes, cut into arbitrary pieces, through the reply assembler into the
// dialogue's step machine, as the window drives them.
//
// Input: the sender, the recipient, the subject, the body and the attachment block (each a
// one-byte length and its bytes), then operations until the input ends:
//   op % 4 == 0  feed: a one-byte count n and n bytes of server output
//   op % 4 == 1  run: a two-byte count n, a byte b and a byte p: n bytes b in pieces of
//                64 * (p + 1) bytes (reaches the reply size limit without a 64 KiB input)
//   op % 4 == 2  pull: a one-byte count k: take up to k chunks of message data, of op / 4 + 1
//                bytes each, as the socket would when it drains
//   op % 4 == 3  a new dialogue on the same objects, as the window starts the next message
//
// Checked after every step:
//   - the assembler hands out exactly the replies that are complete in the bytes fed so far,
//     whatever the pieces, each as received (cut at the size limit);
//   - a command is written only in answer to a complete reply, and it is the command that the
//     dialogue's step calls for; nothing is written once the dialogue has ended;
//   - no message data exists before the go-ahead; the data has no bare CR or LF and no line
//     that would end it early, and ends with the end mark;
//   - at most one delivery per dialogue, and only after the whole data has been handed out.
#include "FuzzInput.h"

#include "Reply.h"
#include "Session.h"

#include <QByteArray>

#include <deque>

namespace {

using Smtp::Outcome;

// The server's output cut into replies one byte at a time: the oracle for the assembler.
class ReferenceReplies
{
public:
    void push(char c)
    {
        if (m_current.size() < Smtp::ReplyAssembler::MaxReplyBytes)
            m_current.append(c);
        if (m_lineLength == 3)
            m_continues = c == '-';
        ++m_lineLength;
        if (c != '\n')
            return;
        if (!m_continues)
            m_complete.push_back(std::exchange(m_current, QByteArray()));
        m_lineLength = 0;
        m_continues = false;
    }
    void clear() { *this = ReferenceReplies(); }
    std::deque<QByteArray> &complete() { return m_complete; }

private:
    std::deque<QByteArray> m_complete;
    QByteArray m_current;
    qsizetype m_lineLength = 0;
    bool m_continues = false;
};

QByteArray spaceTrimmed(QByteArrayView text)
{
    while (!text.isEmpty() && text.front() == ' ')
        text = text.sliced(1);
    while (!text.isEmpty() && text.back() == ' ')
        text.chop(1);
    return text.toByteArray();
}

bool breaksALine(QByteArrayView field)
{
    return field.contains('\r') || field.contains('\n') || field.contains('\0');
}

bool accepted(QByteArrayView reply)
{
    return reply.startsWith("220") || reply.startsWith("250") || reply.startsWith("354");
}

// The message data as it leaves for the server, checked when it is complete.
void checkData(const QByteArray &data)
{
    FUZZ_CHECK(data.startsWith("Subject:"));
    FUZZ_CHECK(data.endsWith("\r\n.\r\n"));
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data[i] == '\r')
            FUZZ_CHECK(i + 1 < data.size() && data[i + 1] == '\n');
        if (data[i] == '\n')
            FUZZ_CHECK(i > 0 && data[i - 1] == '\r');
    }
    // The only line that is a lone dot is the end mark.
    FUZZ_CHECK(data.indexOf("\r\n.\r\n") == data.size() - 5);
}

class Dialogue
{
public:
    Dialogue(FuzzInput &in)
    {
        m_message.sender = in.shortString().toByteArray();
        m_recipient = in.shortString().toByteArray();
        m_message.subject = in.shortString().toByteArray();
        m_message.body = in.shortString().toByteArray();
        m_message.attachmentBlock = in.shortString().toByteArray();
        m_sender = spaceTrimmed(m_message.sender);
        begin();
    }

    void begin()
    {
        m_assembler.clear();
        m_reference.clear();
        m_data.clear();
        m_deliveries = 0;
        const Outcome outcome = m_session.begin(m_message);
        m_active = !breaksALine(m_sender);
        FUZZ_CHECK(outcome == (m_active ? Outcome::Continue : Outcome::InvalidSender));
        FUZZ_CHECK(m_session.active() == m_active);
        FUZZ_CHECK(m_session.step() == 0 && !m_session.delivered());
        m_step = 0;
    }

    void feed(QByteArrayView bytes)
    {
        m_assembler.feed(bytes);
        for (const char c : bytes)
            m_reference.push(c);
        // Exactly the replies completed so far, in order and as received.
        auto &expected = m_reference.complete();
        while (m_assembler.hasReply()) {
            FUZZ_CHECK(!expected.empty());
            const QByteArray reply = m_assembler.takeReply();
            FUZZ_CHECK(reply == expected.front());
            expected.pop_front();
            answer(reply);
        }
        FUZZ_CHECK(expected.empty());
        FUZZ_CHECK(m_assembler.takeReply().isEmpty());
    }

    void pull(int chunks, qsizetype size)
    {
        for (int i = 0; i < chunks; ++i) {
            const bool wasFinished = m_session.dataFinished();
            const QByteArray chunk = m_session.nextDataChunk(size);
            // Data exists only between the go-ahead and the end of the dialogue.
            if (!(m_active && m_step == 5))
                FUZZ_CHECK(chunk.isEmpty() && wasFinished);
            if (wasFinished) {
                FUZZ_CHECK(chunk.isEmpty());
                continue;
            }
            FUZZ_CHECK(!chunk.isEmpty() && chunk.size() <= size);
            m_data += chunk;
            if (m_session.dataFinished())
                checkData(m_data);
            else
                FUZZ_CHECK(chunk.size() == size); // only the last chunk may be short
        }
    }

private:
    void answer(const QByteArray &reply)
    {
        const int stepBefore = m_step;
        bool recipientAsked = false;
        const Smtp::Action action = m_session.onReply(reply, [&] {
            recipientAsked = true;
            return m_recipient;
        });
        FUZZ_CHECK(recipientAsked == (m_active && stepBefore == 2 && accepted(reply)));

        if (!m_active) {
            // The dialogue is over (or never began): nothing more goes out.
            FUZZ_CHECK(action.outcome == Outcome::Continue && action.send.isEmpty() &&
                       !action.startData && !action.close);
            FUZZ_CHECK(!m_session.active());
            return;
        }
        const auto ends = [&](Outcome outcome) {
            FUZZ_CHECK(action.outcome == outcome);
            FUZZ_CHECK(action.send.isEmpty() && !action.startData && action.close);
            FUZZ_CHECK(!m_session.active() && m_session.dataFinished());
            m_active = false;
        };
        if (stepBefore == 6) {
            ends(Outcome::Over);
            return;
        }
        const bool dataOut = m_data.endsWith("\r\n.\r\n");
        if (!accepted(reply) || (stepBefore == 5 && !dataOut)) {
            ends(Outcome::Refused);
            FUZZ_CHECK(action.reply == reply);
            return;
        }
        QByteArray command;
        switch (stepBefore) {
        case 0: {
            const qsizetype at = m_sender.indexOf('@');
            command = "HELO " + (at < 0 ? m_sender : m_sender.left(at)) + "\r\n";
            break;
        }
        case 1:
            command = "MAIL FROM:<" + m_sender + ">\r\n";
            break;
        case 2: {
            const QByteArray address = spaceTrimmed(m_recipient);
            if (breaksALine(address)) {
                ends(Outcome::InvalidRecipient);
                return;
            }
            command = "RCPT TO:<" + address + ">\r\n";
            break;
        }
        case 3:
            command = "DATA\r\n";
            break;
        case 4:
            FUZZ_CHECK(action.startData && !m_session.dataFinished());
            break;
        case 5:
            command = "QUIT\r\n";
            break;
        }
        FUZZ_CHECK(action.send == command && !action.close);
        FUZZ_CHECK(action.startData == (stepBefore == 4));
        if (stepBefore == 5) {
            FUZZ_CHECK(action.outcome == Outcome::Delivered);
            FUZZ_CHECK(++m_deliveries == 1);
        } else {
            FUZZ_CHECK(action.outcome == Outcome::Continue);
        }
        FUZZ_CHECK(m_session.delivered() == (m_deliveries == 1));
        m_step = stepBefore + 1;
        FUZZ_CHECK(m_session.step() == m_step);
        FUZZ_CHECK((m_session.replyTimeout() == Smtp::DataEndTimeout) == (m_step == 5));
    }

    Smtp::Message m_message;
    QByteArray m_sender;
    QByteArray m_recipient;
    Smtp::Session m_session;
    Smtp::ReplyAssembler m_assembler;
    ReferenceReplies m_reference;
    QByteArray m_data;
    int m_step = 0;
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
