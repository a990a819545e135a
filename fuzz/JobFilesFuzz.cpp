// Catches: a line reader that loses, repeats or misplaces bytes, or stops in the wrong place; a
// UTF-8 conversion that disagrees with Qt's decoder or corrupts a Windows-1251 file; a loader
// that stores something other than the lines, or chokes on any input.
//
// Input: a byte whose low five bits say which job files exist (mail.txt, smtp.txt, sender.txt,
// tema.txt, message.txt, in that order) and whose high three bits pick where a line reader
// that is told to stop does stop; every file that exists holds the rest of the input.
#include "FuzzInput.h"

#include "Cp1251.h"
#include "JobEncoding.h"
#include "JobLines.h"
#include "MailingJob.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <vector>

namespace {

const char *const kFiles[] = {MailingJob::RecipientsFile, MailingJob::HostFile,
                              MailingJob::SenderFile, MailingJob::SubjectFile,
                              MailingJob::MessageFile};

bool isTerminator(QByteArrayView between)
{
    return between == "\r\n" || between == "\r" || between == "\n";
}

// The lines are views into `data`: no line holds a line end, and what lies between two lines
// (and after the last) is one terminator, so together they are the whole input.
std::vector<QByteArrayView> checkedLines(QByteArrayView data, unsigned stopAt)
{
    std::vector<QByteArrayView> lines;
    JobLines::forEachLine(data, [&](QByteArrayView line) {
        FUZZ_CHECK(!line.contains('\r') && !line.contains('\n'));
        const qsizetype at = line.data() - data.data();
        const qsizetype from =
            lines.empty() ? 0 : lines.back().data() + lines.back().size() - data.data();
        FUZZ_CHECK(lines.empty() ? at == 0 : isTerminator(data.sliced(from, at - from)));
        lines.push_back(line);
        return true;
    });
    const qsizetype tail =
        lines.empty() ? 0 : lines.back().data() + lines.back().size() - data.data();
    FUZZ_CHECK(tail == data.size() || isTerminator(data.sliced(tail)));
    FUZZ_CHECK(!lines.empty() || data.isEmpty());
    FUZZ_CHECK(JobLines::firstLine(data) == (lines.empty() ? QByteArrayView() : lines.front()));

    // Told to stop after `stopAt` lines, it passes exactly those and says how many.
    std::size_t calls = 0;
    const std::size_t stoppedAt =
        JobLines::forEachLine(data, [&](QByteArrayView) { return ++calls < stopAt; });
    FUZZ_CHECK(calls == stoppedAt && calls == std::min<std::size_t>(stopAt, lines.size()));
    return lines;
}

// The conversion: Windows-1251 and ASCII stay as they are; valid UTF-8 becomes what Qt's own
// decoder gives, character by character.
void checkEncoding(QByteArrayView data)
{
    const JobEncoding::Text text = JobEncoding::toCp1251(data.toByteArray());
    if (!text.fromUtf8) {
        FUZZ_CHECK(text.bytes == data);
        return;
    }
    if (data.startsWith("\xEF\xBB\xBF"))
        data = data.sliced(3);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder(data);
    if (decoder.hasError())
        return; // only after a byte-order mark; what replaces bad bytes is our own choice
    QByteArray expected;
    for (const char32_t ch : decoded.toUcs4()) {
        const int b = Cp1251::byteOf(ch);
        expected += b < 0 ? '?' : char(b);
    }
    FUZZ_CHECK(text.bytes == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    static QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    FuzzInput in(bytes, size);
    const unsigned control = in.u8();
    const unsigned present = control & 31;
    const QByteArrayView data = in.rest();

    checkEncoding(data);
    const JobEncoding::Text text = JobEncoding::toCp1251(data.toByteArray());
    const std::vector<QByteArrayView> lines = checkedLines(text.bytes, (control >> 5) + 1);

    for (int file = 0; file < 5; ++file) {
        QFile f(QDir(dir.path()).filePath(QString::fromLatin1(kFiles[file])));
        if (present >> file & 1) {
            FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            FUZZ_CHECK(f.write(data.data(), data.size()) == data.size());
        } else if (f.exists()) {
            FUZZ_CHECK(f.remove());
        }
    }
    MailingJob job(dir.path());
    job.LoadAll();

    // Each file that exists loads without a problem; each that does not is reported, in order.
    const auto has = [present](int file) { return (present >> file & 1) != 0; };
    qsizetype reported = 0;
    for (int file = 0; file < 5; ++file) {
        if (!has(file)) {
            FUZZ_CHECK(reported < job.problems().size());
            FUZZ_CHECK(job.problems()[reported++].fileName == QLatin1String(kFiles[file]));
        }
    }
    FUZZ_CHECK(reported == job.problems().size());

    // The loaders keep the lines as they are: the list up to the table's capacity, the first
    // line of the single-line files, and every message line behind a CR LF.
    const QByteArray first = lines.empty() ? QByteArray() : lines.front().toByteArray();
    const qsizetype kept =
        has(0) ? std::min<qsizetype>(qsizetype(lines.size()), MailingJob::RecipientCapacity) : 0;
    FUZZ_CHECK(job.LastIndex == kept - 1);
    FUZZ_CHECK(job.recipientsLeftOut() == (has(0) ? qsizetype(lines.size()) - kept : 0));
    for (qsizetype i = 0; i < kept; ++i)
        FUZZ_CHECK(job.recipientAt(int(i)) == lines[std::size_t(i)]);
    FUZZ_CHECK(job.HostName == (has(1) ? first : QByteArray()));
    FUZZ_CHECK(job.SubjectLine == (has(3) ? first : QByteArray()));
    QByteArray message;
    for (std::size_t i = 0; has(4) && i < lines.size(); ++i)
        message += "\r\n" + lines[i].toByteArray();
    FUZZ_CHECK(job.MessageText == message);
    return 0;
}
