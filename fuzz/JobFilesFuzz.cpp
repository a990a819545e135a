// Arbitrary bytes as the job files: the line reader, the five loaders and the code page.
//
// Input: a byte whose low five bits say which job files exist (mail.txt, smtp.txt,
// sender.txt, tema.txt, message.txt, in that order) and whose high three bits pick where a
// line reader that is told to stop does stop; every file that exists holds the rest of the
// input.
//
// Checked: the lines are those of the line rule, worked out here one byte at a time; every
// loader keeps exactly what the rule gives (the list cut at the table's capacity, the first
// line of the single-line files, each message line behind a CR LF); a missing file is
// reported by name, in load order, and leaves its value empty; and every byte survives the
// round trip through the code page.
#include "FuzzInput.h"

#include "Cp1251.h"
#include "JobLines.h"
#include "MailingJob.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <vector>

namespace {

// The line rule: CR or CR LF ends a line, a bare LF is part of it, an empty line counts, and
// a terminator at the very end starts no further line.
std::vector<QByteArray> referenceLines(QByteArrayView data)
{
    std::vector<QByteArray> lines;
    lines.reserve(std::size_t(data.count('\r')) + 1);
    QByteArray line;
    bool open = false;
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data[i] != '\r') {
            line.append(data[i]);
            open = true;
            continue;
        }
        lines.push_back(std::exchange(line, QByteArray()));
        open = false;
        if (i + 1 < data.size() && data[i + 1] == '\n')
            ++i;
    }
    if (open)
        lines.push_back(line);
    return lines;
}

const char *const kFiles[] = {MailingJob::RecipientsFile, MailingJob::HostFile,
                              MailingJob::SenderFile, MailingJob::SubjectFile,
                              MailingJob::MessageFile};

QTemporaryDir &jobDirectory()
{
    static QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    return dir;
}

void checkLineReader(QByteArrayView data, const std::vector<QByteArray> &lines, unsigned stopAt)
{
    std::vector<QByteArray> seen;
    seen.reserve(lines.size());
    const std::size_t count = JobLines::forEachLine(data, [&](QByteArrayView line) {
        seen.push_back(line.toByteArray());
        return true;
    });
    FUZZ_CHECK(seen == lines);
    FUZZ_CHECK(count == lines.size());

    // Told to stop after `stopAt` lines, it passes exactly those and says how many.
    std::size_t calls = 0;
    const std::size_t stoppedAt = JobLines::forEachLine(data, [&](QByteArrayView line) {
        FUZZ_CHECK(line == lines[calls]);
        return ++calls < stopAt;
    });
    const std::size_t expected = std::min<std::size_t>(stopAt, lines.size());
    FUZZ_CHECK(calls == expected && stoppedAt == expected);

    FUZZ_CHECK(JobLines::firstLine(data) == (lines.empty() ? QByteArray() : lines.front()));
}

void checkLoadedJob(const MailingJob &job, unsigned present, const std::vector<QByteArray> &lines)
{
    const auto has = [present](int file) { return (present >> file & 1) != 0; };
    const QByteArray first = lines.empty() ? QByteArray() : lines.front();

    // Missing files, named in load order.
    QStringList missing;
    for (int file = 0; file < 5; ++file) {
        if (!has(file))
            missing << QString::fromLatin1(kFiles[file]);
    }
    QStringList reported;
    for (const JobFileProblem &problem : job.problems()) {
        reported << problem.fileName;
        FUZZ_CHECK(!problem.reason.isEmpty());
    }
    FUZZ_CHECK(reported == missing);

    // The list: every line up to the table's capacity, in place; the rest counted.
    const qsizetype listed = has(0) ? qsizetype(lines.size()) : 0;
    const qsizetype kept = std::min<qsizetype>(listed, MailingJob::RecipientCapacity);
    FUZZ_CHECK(job.LastIndex == kept - 1);
    FUZZ_CHECK(job.recipientsLeftOut() == listed - kept);
    for (qsizetype i = 0; i < kept; ++i)
        FUZZ_CHECK(job.recipientAt(int(i)) == lines[std::size_t(i)]);
    FUZZ_CHECK(job.recipientAt(int(kept)).isEmpty());
    FUZZ_CHECK(job.recipientAt(-1).isEmpty());

    FUZZ_CHECK(job.HostName == (has(1) ? first : QByteArray()));
    FUZZ_CHECK(job.SenderAddress == (has(2) ? first : QByteArray()));
    FUZZ_CHECK(job.SubjectLine == (has(3) ? first : QByteArray()));

    QByteArray message;
    if (has(4)) {
        for (const QByteArray &line : lines)
            message += "\r\n" + line;
    }
    FUZZ_CHECK(job.MessageText == message);
    const QByteArray notice =
        job.LastIndex > MailingJob::NoticeThreshold ? MailingJob::noticeBlock() : QByteArray();
    FUZZ_CHECK(job.MailBody == notice + message);
    FUZZ_CHECK(job.CurrentIndex == 0 && job.SentCount == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    FuzzInput in(bytes, size);
    const unsigned control = in.u8();
    const unsigned present = control & 31;
    const unsigned stopAt = (control >> 5) + 1;
    const QByteArrayView data = in.rest();

    const std::vector<QByteArray> lines = referenceLines(data);
    checkLineReader(data, lines, stopAt);

    // Every byte value has its own character, so the text boxes give back the file's bytes.
    const QString text = Cp1251::toUnicode(data);
    FUZZ_CHECK(text.size() == data.size());
    FUZZ_CHECK(Cp1251::fromUnicode(text) == data);

    const QDir dir(jobDirectory().path());
    for (int file = 0; file < 5; ++file) {
        QFile f(dir.filePath(QString::fromLatin1(kFiles[file])));
        if (present >> file & 1) {
            FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            FUZZ_CHECK(f.write(data.data(), data.size()) == data.size());
        } else if (f.exists()) {
            FUZZ_CHECK(f.remove());
        }
    }
    MailingJob job(dir.path());
    job.LoadAll();
    checkLoadedJob(job, present, lines);
    return 0;
}
