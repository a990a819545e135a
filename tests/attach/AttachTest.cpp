// Catches: wrong or undecodable text, stale text, unreadable files passed, bad names, bad blocks.
#include "AttachmentBlock.h"
#include "MUUEncode.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#ifndef Q_OS_WIN // pipes, devices, /proc and other users' files: Linux only
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using MUUEncode::encode;

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

// The file is refused with "«path»: reason" and no text, alone and as the one entry of a block.
bool refused(const QString &path, const QString &reason)
{
    std::vector<int> selections;
    const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
    const AttachmentBlockResult block = build({path}, selections);
    return result.error.startsWith("«" + path + "»: " + reason) && result.text.isEmpty() &&
           block.error == result.error && block.block.isEmpty() && block.failedIndex == 0;
}

TEST(UUEncode, Examples)
{
    const QByteArray lineA = "M" + QByteArray("04%!").repeated(15) + "\n";
    TempDir dir;
    for (const auto &[name, data, text] : std::vector<std::array<QByteArray, 3>>{
             {"abc.txt", "abc", "begin 664 abc.txt\n#86)C\n`\nend\n"},
             {"e.txt", "", "begin 664 e.txt\n`\n`\nend\n"},
             {"z", QByteArray(3, '\0'), "begin 664 z\n#````\n`\nend\n"},
             {"A45", QByteArray(45, 'A'), "begin 664 A45\n" + lineA + "`\n`\nend\n"},
             {"a", "a", "begin 664 a\n!82`@\n`\nend\n"},
             {"ff", "\xff", "begin 664 ff\n!_R`@\n`\nend\n"},
             {"A46", QByteArray(46, 'A'), "begin 664 A46\n" + lineA + "!02`@\n`\nend\n"},
             {"A90", QByteArray(90, 'A'), "begin 664 A90\n" + lineA + lineA + "`\n`\nend\n"}}) {
        EXPECT_EQ(encode(name, data), text);
        EXPECT_EQ(MUUEncode::UUEncodeFile(dir.write(name, data)).text, text);
    }
    // The empty name of a path that ends in a separator leaves the header line whole.
    EXPECT_EQ(encode(QByteArrayView(), "abc"), "begin 664 \n#86)C\n`\nend\n");
    constexpr qsizetype kMax = std::numeric_limits<qsizetype>::max();
    EXPECT_EQ(MUUEncode::encodedSize(kMax - 19, 0), kMax); // and no byte more: overflow
    EXPECT_EQ(MUUEncode::encodedSize(kMax - 18, 0), -1);
    EXPECT_EQ(MUUEncode::encodedSize(0, kMax), -1);
    EXPECT_EQ(MUUEncode::encodedSize(-1, 0), -1);
}

// Every length up to 200, and around whole lines and the 128 KiB read chunks.
TEST(UUEncode, FilesDecodeBackWithGnuUudecode)
{
    std::vector<qsizetype> lengths(201);
    std::iota(lengths.begin(), lengths.end(), 0);
    for (qsizetype n : {5, 40, 2913, 5826})
        lengths.insert(lengths.end(), {45 * n - 1, 45 * n, 45 * n + 1, 45 * n + 14});
    TempDir in, out;
    std::mt19937 random(45);
    std::map<qsizetype, QByteArray> files;
    for (const qsizetype n : lengths) {
        std::generate_n(std::back_inserter(files[n]), n, [&] { return char(random()); });
        const QString name = "d" + QString::number(n);
        const auto result = MUUEncode::UUEncodeFile(in.write(name, files[n]));
        ASSERT_TRUE(result.text == encode(name.toLatin1(), files[n]))
            << n << qPrintable(result.error);
        ASSERT_EQ(result.text.size(), MUUEncode::encodedSize(name.size(), n));
        out.write(name + ".uu", result.text);
    }
    // uudecode takes the "`" line after the last data line for a missing "end" (exit 2) and
    // stops, yet has written the bytes: one call per file, and only the bytes compared.
#ifdef Q_OS_WIN
    GTEST_SKIP() << "no sh or GNU uudecode on Windows";
#endif
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
#ifdef Q_OS_WIN // where a backslash also separates folders
             {"C:\\Users\\a\\report.doc", "report.doc"},
             {"/tmp/back\\slash", "slash"}}) {
#else
             {"/tmp/back\\slash", "back\\slash"}}) {
#endif
        EXPECT_EQ(MUUEncode::fileNameOf(path), name) << qPrintable(path);
    }
}

// /proc gives more than the length it reports (0), /sys less (a page); /proc/kallsyms, megabytes
// of it, a page or so a read, so that a chunk is filled by many short reads.
TEST(UUEncode, EncodesTheBytesReadNotTheLengthTaken)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "no /proc or /sys on Windows";
#endif
    for (const QString path :
         {"/proc/version", "/sys/kernel/mm/transparent_hugepage/enabled", "/proc/kallsyms"}) {
        const QByteArray data = readFile(path);
        if (QFile(path).size() == data.size())
            GTEST_SKIP() << qPrintable(path) << " has its true length here";
        EXPECT_EQ(MUUEncode::UUEncodeFile(path).text, encode(MUUEncode::fileNameOf(path), data));
    }
}

TEST(UUEncode, UnreadableFiles)
{
    TempDir dir;
#ifndef Q_OS_WIN
    ASSERT_EQ(mkfifo(qPrintable(dir.filePath("pipe")), 0600), 0);
    ASSERT_TRUE(QFile::link("/dev/zero", dir.filePath("zero")));
#endif
    const QString notAFile = "это не обычный файл, а канал, устройство или сокет";
    std::vector<std::pair<QString, QString>> cases = {
        {dir.filePath("missing"), "файл не найден"},
        {dir.path(), "это папка, а не файл"},
        {dir.path() + "/", "это папка, а не файл"},
#ifndef Q_OS_WIN
        {dir.filePath("pipe"), notAFile},
        {dir.filePath("zero"), notAFile},
        {"/proc/self/mem", "ошибка чтения"}, // opens, then the first read fails
#endif
    };
    QFile huge(dir.filePath("huge")); // 1 TiB, sparse: its text fits in no memory
    if (readFile("/proc/sys/vm/overcommit_memory").trimmed() != "1" &&
        huge.open(QIODevice::WriteOnly) && huge.resize(qint64(1) << 40))
        cases.push_back({huge.fileName(), "файл слишком велик: не хватает памяти"});
    for (const auto &[path, reason] : cases)
        EXPECT_TRUE(refused(path, reason)) << qPrintable(path);
#ifndef Q_OS_WIN
    // Root reads any file: as root, this check runs in a child process as the user nobody.
    const QString secret = dir.write("secret", "abc");
    ASSERT_TRUE(QFile::setPermissions(secret, {}) && chmod(qPrintable(dir.path()), 0711) == 0);
    if (geteuid() != 0) {
        EXPECT_TRUE(refused(secret, "нет прав на чтение"));
    } else if (const pid_t child = fork(); child == 0) {
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && refused(secret, "нет прав на чтение")
                  ? 0
                  : 1);
    } else {
        int status = 0;
        EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0)
            << "as nobody";
    }
#endif
}

TEST(AttachmentBlock, EntriesInOrderEachReadAnew)
{
    TempDir dir;
    const QString abc = dir.write("abc.txt", "abc");
    const QString big = dir.write("big", QByteArray(300000, 'b'));
    const QString empty = dir.write("e", "");
    for (const QStringList &entries :
         {QStringList{}, {abc}, {abc, big}, {big, abc, big}, {empty, abc}}) {
        std::vector<int> selections, all(entries.size());
        std::iota(all.begin(), all.end(), 0);
        const AttachmentBlockResult result = build(entries, selections);
        QByteArray expected;
        for (const QString &path : entries)
            expected += encode(MUUEncode::fileNameOf(path), readFile(path)) + "\r\n";
        EXPECT_TRUE(result.ok() && result.failedIndex == -1 && result.block == expected);
        EXPECT_EQ(result.block.capacity(), result.block.size()) << "allocated more than needed";
        EXPECT_EQ(selections, all);
        dir.write("abc.txt", readFile(abc) + "+"); // what the next build must send
    }
}

// A missing file is found as it is selected, /proc/self/mem as it is read; no later entry is
// selected.
TEST(AttachmentBlock, StopsAtTheFirstFailure)
{
    TempDir dir;
    const QString abc = dir.write("abc.txt", "abc");
    for (const auto &[entries, selected] : std::vector<std::pair<QStringList, std::vector<int>>>{
             {{abc, dir.filePath("gone"), abc}, {0, 1}}, {{abc, "/proc/self/mem", abc}, {0, 1}}}) {
        std::vector<int> selections;
        const AttachmentBlockResult result = build(entries, selections);
        EXPECT_TRUE(result.block.isEmpty() && result.failedIndex == 1 &&
                    result.error.startsWith("«" + entries[1] + "»: "));
        EXPECT_EQ(selections, selected);
    }
}

} // namespace
