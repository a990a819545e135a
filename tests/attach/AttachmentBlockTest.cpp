#include "AttachmentBlock.h"
#include "MUUEncode.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

using namespace testfiles;

namespace {

// A list box stand-in: the entries and the selection that BuildAttachmentBlock moves.
struct ListBox
{
    explicit ListBox(QStringList items) : entries(std::move(items)) {}

    QStringList entries;
    int selected = -1;
    std::vector<int> selections;

    AttachmentBlockResult build()
    {
        return BuildAttachmentBlock(int(entries.size()), [this](int i) {
            selections.push_back(i);
            selected = i;
            return entries.at(i);
        });
    }
};

class AttachmentBlockTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString abc = writeFile(dir, "abc.txt", "abc");
    QString empty = writeFile(dir, "e.txt", "");
    QString random = writeFile(dir, "random.bin", randomBytes(1000, 5));

    static QByteArray textOf(const QString &path)
    {
        const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
        EXPECT_TRUE(result.ok()) << qPrintable(result.error);
        return result.text;
    }
};

TEST_F(AttachmentBlockTest, EmptyListLeavesTheSelectionAlone)
{
    ListBox list({});
    list.selected = -1;
    AttachmentBlockResult result = list.build();
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(result.block.isEmpty());
    EXPECT_EQ(result.failedIndex, -1);
    EXPECT_TRUE(list.selections.empty());

    bool called = false;
    result = BuildAttachmentBlock(-1, [&](int) {
        called = true;
        return QString();
    });
    EXPECT_TRUE(result.ok() && result.block.isEmpty() && !called);
}

TEST_F(AttachmentBlockTest, OneEntry)
{
    ListBox list({abc});
    const AttachmentBlockResult result = list.build();
    ASSERT_TRUE(result.ok()) << qPrintable(result.error);
    EXPECT_EQ(result.block, "begin 664 abc.txt\n#86)C\n`\nend\n\r\n");
    EXPECT_EQ(list.selected, 0);
}

// Every entry in list order, each followed by CR LF, duplicates included; the last entry ends
// up selected.
TEST_F(AttachmentBlockTest, EntriesInListOrder)
{
    const std::vector<QStringList> lists = {
        {abc, random},
        {random, abc},
        {abc, abc},
        {empty, random, abc, random},
    };
    for (const QStringList &entries : lists) {
        SCOPED_TRACE(qPrintable(entries.join(' ')));
        ListBox list(entries);
        const AttachmentBlockResult result = list.build();
        ASSERT_TRUE(result.ok()) << qPrintable(result.error);
        QByteArray expected;
        for (const QString &path : entries)
            expected += textOf(path) + "\r\n";
        EXPECT_EQ(result.block, expected);
        std::vector<int> all(size_t(entries.size()));
        std::iota(all.begin(), all.end(), 0);
        EXPECT_EQ(list.selections, all);
        EXPECT_EQ(list.selected, entries.size() - 1);
    }
}

TEST_F(AttachmentBlockTest, EachBuildReadsTheFilesAgain)
{
    ListBox list({abc});
    const AttachmentBlockResult first = list.build();
    writeFile(dir, "abc.txt", "changed on disk");
    const AttachmentBlockResult second = list.build();
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(first.block, "begin 664 abc.txt\n#86)C\n`\nend\n\r\n");
    EXPECT_EQ(second.block, MUUEncode::encode("abc.txt", "changed on disk") + "\r\n");
}

// The build stops at the first file it cannot read: no block, and no later entry is touched.
TEST_F(AttachmentBlockTest, StopsAtTheFirstUnreadableEntry)
{
    const QString missing = dir.filePath("gone.bin");
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        ListBox list({abc, random, abc});
        list.entries[k] = missing;
        const AttachmentBlockResult result = list.build();
        EXPECT_FALSE(result.ok());
        EXPECT_TRUE(result.block.isEmpty());
        EXPECT_EQ(result.failedIndex, k);
        EXPECT_EQ(result.error, "«" + missing + "»: файл не найден");
        EXPECT_EQ(list.selections.back(), k);
        EXPECT_EQ(int(list.selections.size()), k + 1);
    }

    ListBox folder({abc, dir.path()});
    const AttachmentBlockResult result = folder.build();
    EXPECT_EQ(result.failedIndex, 1);
    EXPECT_EQ(result.error, "«" + dir.path() + "»: это папка, а не файл");
}

} // namespace
