// Catches: wrong text for a length or a byte, text GNU uudecode does not turn back into the file,
// stale or mis-sized text of changing files, unreadable files passed or hanging, names breaking
// the header, and attachment blocks out of order, partial, selecting wrongly or reallocated.
#include "AttachmentBlock.h"
#include "MUUEncode.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using MUUEncode::encode;

QString writeFile(const QString &path, QByteArrayView data)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) &&
                file.write(data.data(), data.size()) == data.size());
    return path;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : "(unreadable)";
}

// Builds the block of `entries`; `selections` gets every entry selected, in order.
AttachmentBlockResult build(const QStringList &entries, std::vector<int> &selections)
{
    return BuildAttachmentBlock(int(entries.size()), [&](int i) {
        selections.push_back(i);
        return entries[i];
    });
}

TEST(UUEncode, Examples)
{
    const QByteArray lineA = "M" + QByteArray("04%!").repeated(15) + "\n";
    QTemporaryDir dir;
    for (const auto &[name, data, text] : std::vector<std::array<QByteArray, 3>>{
             {"abc.txt", "abc", "begin 664 abc.txt\n#86)C\n`\nend\n"},
             {"e.txt", "", "begin 664 e.txt\n`\n`\nend\n"},
             {"a", "a", "begin 664 a\n!82`@\n`\nend\n"},
             {"ff", "\xff", "begin 664 ff\n!_R`@\n`\nend\n"},
             {"z", QByteArray(3, '\0'), "begin 664 z\n#````\n`\nend\n"},
             {"A45", QByteArray(45, 'A'), "begin 664 A45\n" + lineA + "`\n`\nend\n"}}) {
        EXPECT_EQ(encode(name, data), text);
        EXPECT_EQ(MUUEncode::UUEncodeFile(writeFile(dir.filePath(name), data)).text, text);
    }
    // The empty name of a path that ends in a separator leaves the header line whole.
    EXPECT_EQ(encode(QByteArrayView(), "abc"), "begin 664 \n#86)C\n`\nend\n");
    constexpr qsizetype kMax = std::numeric_limits<qsizetype>::max();
    EXPECT_EQ(MUUEncode::encodedSize(kMax - 19, 0), kMax);
    for (const auto &[name, data] : {std::pair<qsizetype, qint64>{kMax - 18, 0},
                                     {-1, 0},
                                     {0, -1},
                                     {0, std::numeric_limits<qint64>::max()}})
        EXPECT_EQ(MUUEncode::encodedSize(name, data), -1) << name << " " << data;
}

// Every length up to 200, and around whole lines and the 128 KiB read chunks.
TEST(UUEncode, FilesDecodeBackWithGnuUudecode)
{
    std::vector<qsizetype> lengths(201);
    std::iota(lengths.begin(), lengths.end(), 0);
    for (qsizetype n : {5, 40, 2913, 5826})
        lengths.insert(lengths.end(), {45 * n - 1, 45 * n, 45 * n + 1, 45 * n + 14});
    QTemporaryDir in, out;
    std::mt19937 random(45);
    std::map<qsizetype, QByteArray> files;
    for (const qsizetype n : lengths) {
        std::generate_n(std::back_inserter(files[n]), n, [&] { return char(random()); });
        const QString name = "d" + QString::number(n);
        const auto result = MUUEncode::UUEncodeFile(writeFile(in.filePath(name), files[n]));
        ASSERT_TRUE(result.text == encode(name.toLatin1(), files[n]))
            << n << qPrintable(result.error);
        ASSERT_EQ(result.text.size(), MUUEncode::encodedSize(name.size(), n));
        writeFile(out.filePath(name + ".uu"), result.text);
    }
    // uudecode takes the "`" line after the last data line for a missing "end" (exit 2) and
    // stops, yet has written the bytes: one call per file, and only the bytes compared.
    std::system(
        qPrintable("cd '" + out.path() + "' && for f in *.uu; do uudecode $f; done 2>/dev/null"));
    for (const auto &[n, data] : files)
        EXPECT_TRUE(readFile(out.filePath("d" + QString::number(n))) == data) << n;
}

TEST(UUEncode, FileNames)
{
    for (const auto &[path, name] : std::vector<std::pair<QString, QByteArray>>{
             {"/home/user/report 1.doc", "report 1.doc"},
             {"report.doc", "report.doc"},
             {"/tmp/dir/", ""},
             {QString::fromUtf8("/tmp/Отчёт.txt"), "\xce\xf2\xf7\xb8\xf2.txt"},
             {QString::fromUtf8("/tmp/日本.txt"), "??.txt"},
             {"/tmp/two\r\nlines", "two??lines"},
#ifdef Q_OS_WIN
             {"C:\\docs\\a.txt", "a.txt"}}) {
#else
             {"/tmp/back\\slash", "back\\slash"}}) {
#endif
        EXPECT_EQ(MUUEncode::fileNameOf(path), name) << qPrintable(path);
    }
}

// /proc gives more than the length it reports (0), /sys less (a page).
TEST(UUEncode, EncodesTheBytesReadNotTheLengthTaken)
{
    for (const QString path : {"/proc/version", "/sys/kernel/mm/transparent_hugepage/enabled"}) {
        const QByteArray data = readFile(path);
        if (QFileInfo(path).size() == data.size())
            GTEST_SKIP() << qPrintable(path) << " has its true length here";
        EXPECT_EQ(MUUEncode::UUEncodeFile(path).text, encode(MUUEncode::fileNameOf(path), data));
    }
}

TEST(UUEncode, UnreadableFiles)
{
    QTemporaryDir dir;
    ASSERT_EQ(mkfifo(qPrintable(dir.filePath("pipe")), 0600), 0);
    ASSERT_TRUE(QFile::link("/dev/zero", dir.filePath("zero")));
    const QString notAFile = "это не обычный файл, а канал, устройство или сокет";
    std::vector<std::pair<QString, QString>> cases = {
        {dir.filePath("missing"), "файл не найден"},
        {dir.path(), "это папка, а не файл"},
        {dir.path() + "/", "это папка, а не файл"},
        {dir.filePath("pipe"), notAFile},
        {dir.filePath("zero"), notAFile},
        {"/proc/self/mem", "ошибка чтения"}, // opens, then the first read fails
    };
    QFile huge(dir.filePath("huge")); // 1 TiB, sparse: its text fits in no memory
    if (readFile("/proc/sys/vm/overcommit_memory").trimmed() != "1" &&
        huge.open(QIODevice::WriteOnly) && huge.resize(qint64(1) << 40))
        cases.push_back({huge.fileName(), "файл слишком велик: не хватает памяти"});
    for (const auto &[path, reason] : cases) {
        const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
        EXPECT_TRUE(result.error.startsWith("«" + path + "»: " + reason) && result.text.isEmpty())
            << qPrintable(result.error);
        std::vector<int> selections;
        const AttachmentBlockResult block = build({path}, selections);
        EXPECT_TRUE(block.error == result.error && block.block.isEmpty() && block.failedIndex == 0);
    }
}

// Root reads any file: as root, the check runs in a child process as the user nobody.
TEST(UUEncode, NoPermission)
{
    QTemporaryDir dir;
    const QString path = writeFile(dir.filePath("secret"), "abc");
    ASSERT_TRUE(QFile::setPermissions(path, {}) && chmod(qPrintable(dir.path()), 0711) == 0);
    const auto refused = [&] {
        std::vector<int> selections;
        const QString error = "«" + path + "»: нет прав на чтение";
        return MUUEncode::UUEncodeFile(path).error == error &&
               build({path}, selections).error == error;
    };
    if (geteuid() != 0) {
        EXPECT_TRUE(refused());
    } else if (const pid_t child = fork(); child == 0) {
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && refused() ? 0 : 1);
    } else {
        int status = 0;
        EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0);
    }
}

TEST(AttachmentBlock, EntriesInOrder)
{
    QTemporaryDir dir;
    const QString abc = writeFile(dir.filePath("abc.txt"), "abc");
    const QString big = writeFile(dir.filePath("big"), QByteArray(300000, 'b'));
    const QString empty = writeFile(dir.filePath("e"), "");
    for (const QStringList &entries :
         {QStringList{}, {abc}, {abc, big}, {big, abc, big}, {empty, abc}}) {
        std::vector<int> selections, all;
        const AttachmentBlockResult result = build(entries, selections);
        QByteArray expected;
        for (const QString &path : entries) {
            expected += encode(MUUEncode::fileNameOf(path), readFile(path)) + "\r\n";
            all.push_back(int(all.size()));
        }
        EXPECT_TRUE(result.ok() && result.failedIndex == -1 && result.block == expected);
        EXPECT_EQ(result.block.capacity(), result.block.size()) << "allocated more than once";
        EXPECT_EQ(selections, all);
    }
}

TEST(AttachmentBlock, StopsAtTheFirstFailureAndReadsFilesAnew)
{
    QTemporaryDir dir;
    const QString abc = writeFile(dir.filePath("abc.txt"), "abc"), gone = dir.filePath("gone");
    std::vector<int> selections;
    const AttachmentBlockResult failed = build({abc, gone, abc}, selections);
    EXPECT_TRUE(failed.block.isEmpty() && failed.failedIndex == 1);
    EXPECT_EQ(failed.error, "«" + gone + "»: файл не найден");
    EXPECT_EQ(selections, std::vector<int>({0, 1}));

    writeFile(gone, "here");
    const QByteArray abcText = encode("abc.txt", "abc") + "\r\n";
    EXPECT_EQ(build({abc, gone}, selections).block, abcText + encode("gone", "here") + "\r\n");
    writeFile(abc, "changed");
    EXPECT_EQ(build({abc}, selections).block, encode("abc.txt", "changed") + "\r\n");
}

} // namespace
