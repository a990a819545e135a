#include "MUUEncode.h"
#include "FileRead.h"
#include "TestFiles.h"

#include <QBuffer>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#include <unistd.h>
#endif

using namespace testfiles;

namespace {

QByteArray fullLine(const QByteArray &group)
{
    return "M" + group.repeated(15) + "\n";
}

// ---------------------------------------------------------------------------------------------
// Known texts.

struct Vector
{
    const char *what;
    QByteArray name;
    QByteArray data;
    QByteArray text;
};

std::vector<Vector> vectors()
{
    return {
        {"three bytes", "abc.txt", "abc", "begin 664 abc.txt\n#86)C\n`\nend\n"},
        {"empty file", "e.txt", "", "begin 664 e.txt\n`\n`\nend\n"},
        {"one byte, space padding", "a", "a", "begin 664 a\n!82`@\n`\nend\n"},
        {"byte 255", "ff", "\xff", "begin 664 ff\n!_R`@\n`\nend\n"},
        {"three zero bytes", "z", QByteArray(3, '\0'), "begin 664 z\n#````\n`\nend\n"},
        {"45 bytes", "a45", QByteArray(45, 'A'),
         "begin 664 a45\n" + fullLine("04%!") + "`\n`\nend\n"},
        {"46 bytes", "a46", QByteArray(46, 'A'),
         "begin 664 a46\n" + fullLine("04%!") + "!02`@\n`\nend\n"},
        {"90 bytes", "a90", QByteArray(90, 'A'),
         "begin 664 a90\n" + fullLine("04%!").repeated(2) + "`\n`\nend\n"},
        {"14 bytes, last line starts with a dot", "a14", QByteArray(14, 'A'),
         "begin 664 a14\n.04%!04%!04%!04%!04$@\n`\nend\n"},
        {"spaces in the name stay", "report 1.doc", "abc",
         "begin 664 report 1.doc\n#86)C\n`\nend\n"},
    };
}

TEST(UUEncodeVectors, InMemoryAndFromAFile)
{
    QTemporaryDir dir;
    for (const Vector &v : vectors()) {
        SCOPED_TRACE(v.what);
        EXPECT_EQ(MUUEncode::encode(v.name, v.data), v.text);
        EXPECT_EQ(MUUEncode::encodedSize(v.name.size(), v.data.size()), v.text.size());

        const QString path = writeFile(dir, QString::fromLatin1(v.name), v.data);
        const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
        ASSERT_TRUE(result.ok()) << qPrintable(result.error);
        EXPECT_EQ(result.text, v.text);
    }
}

TEST(UUEncodeVectors, EverySingleByteValue)
{
    const auto uu = [](unsigned value) { return value == 0 ? '`' : char(value + 32); };
    for (unsigned b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        // The two padding bytes are spaces: (b mod 4) * 16 + 2, then 0 and 32.
        const QByteArray expected =
            QByteArray("begin 664 x\n!") + uu(b >> 2) + uu((b & 3) << 4 | 2) + "`@\n`\nend\n";
        EXPECT_EQ(MUUEncode::encode("x", QByteArray(1, char(b))), expected);
    }
}

// ---------------------------------------------------------------------------------------------
// The format, over many lengths and contents.

std::vector<qsizetype> testLengths()
{
    std::vector<qsizetype> lengths;
    for (qsizetype n = 0; n <= 200; ++n)
        lengths.push_back(n);
    for (qsizetype n = 5; n <= 40; ++n) {
        lengths.push_back(45 * n);
        lengths.push_back(45 * n + 14);
    }
    lengths.insert(lengths.end(), {45 * 1000, 45 * 1000 + 14, 45 * 1000 + 44});
    return lengths;
}

// Everything that must hold for any text, checked line by line.
void expectWellFormed(const QByteArray &text, QByteArrayView name, qsizetype length)
{
    EXPECT_FALSE(text.contains('\r'));
    ASSERT_TRUE(text.endsWith('\n'));
    const QList<QByteArray> lines = text.chopped(1).split('\n');
    const qsizetype dataLines = length / 45 + 1;
    ASSERT_EQ(lines.size(), dataLines + 3);
    EXPECT_EQ(lines.front(), "begin 664 " + name.toByteArray());
    EXPECT_EQ(lines[lines.size() - 2], "`");
    EXPECT_EQ(lines.back(), "end");
    for (qsizetype i = 1; i <= dataLines; ++i) {
        const QByteArray &line = lines[i];
        const int count = i < dataLines ? 45 : int(length % 45);
        ASSERT_FALSE(line.isEmpty());
        EXPECT_EQ(line[0], count == 0 ? '`' : char(32 + count)) << "line " << i;
        EXPECT_EQ(line.size(), 1 + 4 * ((count + 2) / 3)) << "line " << i;
        for (char c : line)
            ASSERT_TRUE(uchar(c) >= 33 && uchar(c) <= 96) << "line " << i << " char " << int(c);
        // Only a 14-byte last block gives a line that starts with a dot.
        EXPECT_EQ(line[0] == '.', i == dataLines && count == 14) << "line " << i;
    }
}

TEST(UUEncodeFormat, ManyLengthsMatchTheLineByLineEncoder)
{
    for (qsizetype length : testLengths()) {
        SCOPED_TRACE(length);
        for (const QByteArray &data :
             {randomBytes(length, unsigned(length)), allByteValues(length, int(length % 3))}) {
            const QByteArray text = MUUEncode::encode("data.bin", data);
            EXPECT_EQ(text, referenceEncode("data.bin", data));
            EXPECT_EQ(text.size(), MUUEncode::encodedSize(8, length));
            expectWellFormed(text, "data.bin", length);
        }
    }
}

TEST(UUEncodeFormat, SizesAndOverflow)
{
    EXPECT_EQ(MUUEncode::encodedSize(7, 3), 30);
    EXPECT_EQ(MUUEncode::dataLinesSize(0), 2);
    EXPECT_EQ(MUUEncode::dataLinesSize(45), 64);
    EXPECT_EQ(MUUEncode::dataLinesSize(44), 62);
    EXPECT_EQ(MUUEncode::dataLinesSize(qint64(45) * 100'000'000'000),
              qint64(62) * 100'000'000'000 + 2);
    EXPECT_EQ(MUUEncode::dataLinesSize(-1), -1);
    EXPECT_EQ(MUUEncode::dataLinesSize(std::numeric_limits<qint64>::max()), -1);
    EXPECT_EQ(MUUEncode::encodedSize(-1, 0), -1);
    EXPECT_EQ(MUUEncode::encodedSize(0, std::numeric_limits<qint64>::max()), -1);
    EXPECT_EQ(MUUEncode::encodedSize(std::numeric_limits<qsizetype>::max(), 0), -1);
}

// The vectorised and the portable full-line encoders give the same text.
TEST(UUEncodeLines, BothFullLineEncodersAgree)
{
    constexpr qint64 lines = 2000;
    for (const QByteArray &data :
         {randomBytes(45 * lines, 7), allByteValues(45 * lines, 1), allByteValues(45 * lines, 2),
          QByteArray(45 * lines, '\0'), QByteArray(45 * lines, '\xff')}) {
        const auto *in = reinterpret_cast<const uchar *>(data.constData());
        QByteArray fast(62 * lines + 16, '#');
        QByteArray portable(62 * lines + 16, '#');
        EXPECT_EQ(MUUEncode::encodeFullLines(in, lines, fast.data()), fast.data() + 62 * lines);
        EXPECT_EQ(MUUEncode::encodeFullLinesPortable(in, lines, portable.data()),
                  portable.data() + 62 * lines);
        EXPECT_EQ(fast, portable);
        EXPECT_EQ(fast.right(16), QByteArray(16, '#')) << "wrote past the last line";
        EXPECT_EQ(MUUEncode::encode("n", data),
                  "begin 664 n\n" + fast.left(62 * lines) + "`\n`\nend\n");
    }
}

#ifdef Q_OS_LINUX
// Input that ends, and output that ends, right before a page the process may not touch: any
// read or write past the last line crashes.
TEST(UUEncodeLines, StayInsideInputAndOutput)
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const auto guarded = [page]() {
        void *area =
            mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(area, MAP_FAILED);
        EXPECT_EQ(mprotect(static_cast<char *>(area) + page, page, PROT_NONE), 0);
        return static_cast<char *>(area);
    };
    char *inArea = guarded();
    char *outArea = guarded();
    const QByteArray data = randomBytes(90, 3);
    const QByteArray expected = MUUEncode::encode("n", data).sliced(12, 124);
    for (qint64 lines : {1, 2}) {
        uchar *in = reinterpret_cast<uchar *>(inArea + page - 45 * lines);
        std::memcpy(in, data.constData(), size_t(45 * lines));
        char *out = outArea + page - 62 * lines;
        EXPECT_EQ(MUUEncode::encodeFullLines(in, lines, out), outArea + page);
        EXPECT_EQ(QByteArray(out, 62 * lines), expected.left(62 * lines));
        EXPECT_EQ(MUUEncode::encodeFullLinesPortable(in, lines, out), outArea + page);
    }
    for (int count = 0; count < 45; ++count) {
        uchar *in = reinterpret_cast<uchar *>(inArea + page - count);
        std::memcpy(in, data.constData(), size_t(count));
        char *line = outArea + page - (2 + 4 * ((count + 2) / 3));
        EXPECT_EQ(MUUEncode::encodeLastLine(in, count, line), outArea + page);
    }
    munmap(inArea, 2 * page);
    munmap(outArea, 2 * page);
}
#endif

// ---------------------------------------------------------------------------------------------
// The name in the header.

TEST(UUEncodeName, TextAfterTheLastSeparator)
{
    struct Case
    {
        QString path;
        QByteArray name;
    };
    const std::vector<Case> cases = {
        {"/home/user/report.doc", "report.doc"},
        {"report.doc", "report.doc"},
        {"/home/user/report 1.doc", "report 1.doc"},
        {"/home/user/", ""},
        {"/tmp/a.b/c", "c"},
        {QString::fromUtf8("/tmp/отчёт.txt"), "\xee\xf2\xf7\xb8\xf2.txt"},
        {QString::fromUtf8("/tmp/日本.txt"), "??.txt"},
        {"/tmp/two\r\nlines", "two??lines"},
#ifdef Q_OS_WIN
        {"C:\\docs\\abc.txt", "abc.txt"},
        {"C:/docs/abc.txt", "abc.txt"},
        {"D:\\mail\\report 1.doc", "report 1.doc"},
        {"C:\\a/b\\c.txt", "c.txt"},
#else
        // A backslash is an ordinary character of a POSIX file name.
        {"C:\\docs\\abc.txt", "C:\\docs\\abc.txt"},
        {"/tmp/back\\slash", "back\\slash"},
#endif
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(qPrintable(c.path));
        EXPECT_EQ(MUUEncode::fileNameOf(c.path), c.name);
    }
}

TEST(UUEncodeName, HeaderOfACyrillicFileName)
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, QString::fromUtf8("Отчёт за май.txt"), "abc");
    const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
    ASSERT_TRUE(result.ok()) << qPrintable(result.error);
    EXPECT_TRUE(
        result.text.startsWith("begin 664 \xce\xf2\xf7\xb8\xf2 \xe7\xe0 \xec\xe0\xe9.txt\n"));
}

// ---------------------------------------------------------------------------------------------
// Reading.

// The file is read in chunks of 2913 lines; lengths on both sides of the chunk ends.
TEST(UUEncodeFile, LengthsAroundTheReadChunks)
{
    QTemporaryDir dir;
    constexpr qsizetype chunk = 45 * 2913;
    for (qsizetype length :
         {chunk - 1, chunk, chunk + 1, chunk + 45, 2 * chunk, 2 * chunk + 14, qsizetype(3 << 20)}) {
        SCOPED_TRACE(length);
        const QByteArray data = randomBytes(length, unsigned(length));
        const QString path = writeFile(dir, "chunks.bin", data);
        const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
        ASSERT_TRUE(result.ok()) << qPrintable(result.error);
        EXPECT_TRUE(result.text == MUUEncode::encode("chunks.bin", data));
    }
}

// Files that cannot be read give an error naming the path and the reason, and no text.
TEST(UUEncodeFile, UnreadableFiles)
{
    QTemporaryDir dir;
    struct Case
    {
        QString path;
        QString reason;
    };
    std::vector<Case> cases = {
        {dir.filePath("missing.bin"), "файл не найден"},
        {dir.path(), "это папка, а не файл"},
        {"", "файл не найден"},
    };
#ifdef Q_OS_LINUX
    // Opens, but the first read fails (nothing is mapped at address 0).
    cases.push_back({"/proc/self/mem", "ошибка чтения"});
#endif
    for (const Case &c : cases) {
        SCOPED_TRACE(qPrintable(c.path));
        const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(c.path);
        EXPECT_FALSE(result.ok());
        EXPECT_TRUE(result.text.isEmpty());
        EXPECT_TRUE(result.error.startsWith("«" + c.path + "»: " + c.reason))
            << qPrintable(result.error);
    }
}

TEST(UUEncodeFile, NoPermission)
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, "secret.bin", "abc");
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::Permissions()));
    if (QFile file(path); file.open(QIODevice::ReadOnly))
        GTEST_SKIP() << "this user reads files without permission (root)";
    const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error, "«" + path + "»: нет прав на чтение");
}

#ifdef Q_OS_LINUX
// A file whose reported length (0) is shorter than what reading gives.
TEST(UUEncodeFile, LongerThanItsReportedLength)
{
    const QString path = "/proc/version";
    ASSERT_EQ(QFileInfo(path).size(), 0);
    const QByteArray data = readFile(path);
    ASSERT_FALSE(data.isEmpty());
    const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
    ASSERT_TRUE(result.ok()) << qPrintable(result.error);
    EXPECT_EQ(result.text, MUUEncode::encode("version", data));
}

// A length that cannot be held in memory is refused up front, before anything is read.
TEST(UUEncodeFile, TooLargeForMemory)
{
    if (readFile("/proc/sys/vm/overcommit_memory").trimmed() == "1")
        GTEST_SKIP() << "memory overcommit is unlimited: the allocation would not fail";
    QTemporaryDir dir;
    const QString path = dir.filePath("huge.bin");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    if (!file.resize(qint64(1) << 40)) // sparse: takes no disk space
        GTEST_SKIP() << "the file system holds no 1 TiB file";
    file.close();
    const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.text.isEmpty());
    EXPECT_EQ(result.error, "«" + path + "»: " + FileRead::outOfMemoryReason());
}

qint64 statusKiB(const char *field)
{
    const QList<QByteArray> lines = readFile("/proc/self/status").split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').front().toLongLong();
    }
    ADD_FAILURE() << field << " missing";
    return 0;
}

// A 64 MiB file costs little more than its text: the file is never held whole next to it.
TEST(UUEncodeFile, PeakMemoryOfALargeFile)
{
    QTemporaryDir dir;
    constexpr qsizetype length = 64 << 20;
    const QString path = writeFile(dir, "big.bin", randomBytes(length, 64));
    {
        QFile reset("/proc/self/clear_refs");
        if (!reset.open(QIODevice::WriteOnly) || reset.write("5") != 1)
            GTEST_SKIP() << "the peak memory cannot be reset here";
    }
    const qint64 before = statusKiB("VmRSS:");
    const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
    const qint64 peak = statusKiB("VmHWM:");
    ASSERT_TRUE(result.ok()) << qPrintable(result.error);
    EXPECT_LE(peak - before, result.text.size() / 1024 * 3 / 2)
        << "peak " << peak << " KiB, before " << before << " KiB";
    EXPECT_TRUE(result.text == MUUEncode::encode("big.bin", randomBytes(length, 64)));
}
#endif

// ---------------------------------------------------------------------------------------------
// Reading from a device whose length was taken wrongly or that fails.

// Hands out at most `step` bytes per read and fails once `failAt` bytes were given.
class TrickleDevice : public QIODevice
{
public:
    TrickleDevice(QByteArray data, qint64 step, qint64 failAt = -1)
        : m_data(std::move(data)), m_step(step), m_failAt(failAt)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_failAt >= 0 && m_pos >= m_failAt)
            return -1;
        const qint64 n = std::min({maxSize, m_step, m_data.size() - m_pos});
        std::memcpy(data, m_data.constData() + m_pos, size_t(n));
        m_pos += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_step;
    qint64 m_failAt;
    qint64 m_pos = 0;
};

TEST(UUEncodeDevice, EncodesExactlyTheBytesRead)
{
    const QByteArray data = randomBytes(3 * 1024 * 1024 + 14, 11);
    for (qint64 expected :
         {qint64(0), qint64(-5), qint64(100), qint64(data.size()), qint64(data.size()) * 3}) {
        SCOPED_TRACE(expected);
        QBuffer device;
        device.setData(data);
        ASSERT_TRUE(device.open(QIODevice::ReadOnly));
        QByteArray out = "kept\r\n";
        ASSERT_TRUE(MUUEncode::appendDeviceText(device, "d.bin", expected, out));
        EXPECT_TRUE(out == "kept\r\n" + MUUEncode::encode("d.bin", data));
    }
}

TEST(UUEncodeDevice, ShortReads)
{
    const QByteArray data = randomBytes(2 * 45 * 2913 + 100, 12);
    TrickleDevice device(data, 4093);
    QByteArray out;
    ASSERT_TRUE(MUUEncode::appendDeviceText(device, "t", data.size(), out));
    EXPECT_TRUE(out == MUUEncode::encode("t", data));
}

TEST(UUEncodeDevice, ReadErrorLeavesNoPartialText)
{
    const QByteArray data = randomBytes(3 * 1024 * 1024, 13);
    for (qint64 failAt : {qint64(0), qint64(1000), qint64(2 * 1024 * 1024)}) {
        SCOPED_TRACE(failAt);
        TrickleDevice device(data, 1 << 16, failAt);
        QByteArray out = "kept";
        EXPECT_FALSE(MUUEncode::appendDeviceText(device, "t", data.size(), out));
        EXPECT_EQ(out, "kept");
    }
}

} // namespace
