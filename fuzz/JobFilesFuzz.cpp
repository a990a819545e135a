// Catches: a line reader that loses, repeats or misplaces bytes, a UTF-8 conversion that disagrees
// with Qt's decoder or alters a Windows-1251 file, and a loader that stores something other than
// the lines or chokes on any input.
//
// Input: a byte whose low five bits say which job files exist (mail.txt, smtp.txt, sender.txt,
// tema.txt, message.txt, in that order); every file that exists holds the rest of the input.
#include "FuzzInput.h"

#include "Cp1251.h"
#include "JobEncoding.h"
#include "JobLines.h"
#include "MailingJob.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    static QTemporaryDir dir;
    FuzzInput in(bytes, size);
    const unsigned present = in.u8() & 31;
    const QByteArrayView data = in.rest();

    // Windows-1251 stays as it is; valid UTF-8 becomes what Qt's decoder gives, character by
    // character (after a byte-order mark, what replaces bad bytes is our own choice).
    const JobEncoding::Text text = JobEncoding::toCp1251(data.toByteArray());
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder(data.startsWith("\xEF\xBB\xBF") ? data.sliced(3) : data);
    QByteArray expected = text.fromUtf8 ? QByteArray() : data.toByteArray();
    for (const char32_t ch : text.fromUtf8 ? decoded.toUcs4() : QList<uint>())
        expected += Cp1251::byteOf(ch) < 0 ? '?' : char(Cp1251::byteOf(ch));
    FUZZ_CHECK(text.bytes == expected || (data.startsWith("\xEF\xBB\xBF") && decoder.hasError()));

    // The lines lie in order in the text, with exactly one terminator between two of them.
    QList<QByteArray> lines;
    qsizetype end = 0;
    JobLines::forEachLine(text.bytes, [&](QByteArrayView line) {
        const QByteArrayView gap(text.bytes.constData() + end,
                                 line.data() - text.bytes.constData() - end);
        FUZZ_CHECK(lines.isEmpty() ? gap.isEmpty() : gap == "\r\n" || gap == "\r" || gap == "\n");
        FUZZ_CHECK(!line.contains('\r') && !line.contains('\n'));
        lines << line.toByteArray();
        end = line.data() + line.size() - text.bytes.constData();
        return true;
    });
    const QByteArrayView tail = QByteArrayView(text.bytes).sliced(end);
    FUZZ_CHECK(tail.isEmpty() || tail == "\r\n" || tail == "\r" || tail == "\n");

    int file = 0;
    for (const char *name : {"mail.txt", "smtp.txt", "sender.txt", "tema.txt", "message.txt"}) {
        QFile f(QDir(dir.path()).filePath(name));
        if (present >> file++ & 1)
            FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                       f.write(data.data(), data.size()) == data.size());
        else
            f.remove();
    }
    MailingJob job(dir.path());
    job.LoadAll();
    // Each missing file is reported, in order; the loaders keep the lines as they are.
    FUZZ_CHECK(job.problems().size() == 5 - qPopulationCount(present));
    const qsizetype kept =
        present & 1 ? std::min<qsizetype>(lines.size(), MailingJob::RecipientCapacity) : 0;
    FUZZ_CHECK(job.LastIndex == kept - 1 &&
               job.recipientsLeftOut() == (present & 1 ? lines.size() - kept : 0));
    for (qsizetype i = 0; i < kept; ++i)
        FUZZ_CHECK(job.recipientAt(int(i)) == lines[i]);
    FUZZ_CHECK(job.SubjectLine == (present & 8 ? lines.value(0) : QByteArray()));
    QByteArray message;
    for (qsizetype i = 0; present & 16 && i < lines.size(); ++i)
        message += "\r\n" + lines[i];
    FUZZ_CHECK(job.MessageText == message);
    return 0;
}
