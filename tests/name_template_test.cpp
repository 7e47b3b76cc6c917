// Piece names from a --name template: the names each template gives and the files recognised as
// pieces by it, every refused template with its message, and the guard that spares the input
// under a template whose number is not at its end, in both modes.

#include "brevane.h"
#include "folder/name_template.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <vector>

namespace {

using brevane::detail::NameTemplate;

struct NameRow {
    const char* name;
    const char* nameTemplate;
    const char* stem;
    // Pieces 1, 9 and 1000.
    std::vector<const char*> names;
    // MP3 files in the folder that no piece of the template is named.
    std::vector<const char*> others;
};

void PrintTo(const NameRow& row, std::ostream* out) { *out << row.name; }

class NameTest : public ::testing::TestWithParam<NameRow> { };

TEST_P(NameTest, NamesEveryPieceAndKnowsItsFiles)
{
    const NameRow& row = GetParam();
    NameTemplate names;
    QString reason;
    ASSERT_TRUE(NameTemplate::parse(
        QString::fromUtf8(row.nameTemplate), QString::fromUtf8(row.stem), &names, &reason))
        << reason.toStdString();
    const std::vector<qsizetype> indices { 0, 8, 999 };
    for (std::size_t i = 0; i < indices.size(); ++i) {
        const QString name = QString::fromUtf8(row.names[i]);
        EXPECT_EQ(names.name(indices[i]), name);
        EXPECT_EQ(names.indexOf(name + ".mp3", "mp3"), indices[i]) << row.names[i];
        EXPECT_EQ(names.indexOf(name + ".mp3", "wav"), -1) << row.names[i];
    }
    for (const char* other : row.others)
        EXPECT_EQ(names.indexOf(QString::fromUtf8(other), "mp3"), -1) << other;
}

INSTANTIATE_TEST_SUITE_P(Templates, NameTest,
    ::testing::Values(
        NameRow { "Default", "part_{n}", "talk", { "part_001", "part_009", "part_1000" },
            { "part_0001.mp3", "part_000.mp3", "part_01.mp3", "part_001.mp3.mp3" } },
        // The stem holds what a pattern would take for its own syntax.
        NameRow { "StemThenWidth", "{stem} - {n:2}", "Book: A+B (2) [x]*",
            { "Book: A+B (2) [x]* - 01", "Book: A+B (2) [x]* - 09", "Book: A+B (2) [x]* - 1000" },
            { "Book: A+B (2) [x]* - 1.mp3", "Book: AAB (2) [x]* - 01.mp3",
                "Book: A+B (2) [x]* - 001.mp3" } },
        // The number first and mid-name.
        NameRow { "NumberFirst", "{n:1}. {stem} of book", "talk",
            { "1. talk of book", "9. talk of book", "1000. talk of book" },
            { "01. talk of book.mp3", "1. talk of bok.mp3", "0. talk of book.mp3" } },
        NameRow { "Braces", "{{{stem}}}_{n:4}", "a}b", { "{a}b}_0001", "{a}b}_0009", "{a}b}_1000" },
            { "{a}b}_001.mp3" } },
        // Two numbers side by side: only the reading that gives the whole name counts.
        NameRow { "TwoNumbers", "{n}{n:1}", "x", { "0011", "0099", "10001000" },
            { "00110.mp3", "0012.mp3", "1000100.mp3" } },
        NameRow { "Hidden", ".{n}", "x", { ".001", ".009", ".1000" }, { "001.mp3" } }),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedRow {
    const char* name;
    const char* nameTemplate;
    const char* reason;
};

void PrintTo(const RefusedRow& row, std::ostream* out) { *out << row.name; }

class RefusedNameTest : public ::testing::TestWithParam<RefusedRow> { };

TEST_P(RefusedNameTest, SaysWhy)
{
    const RefusedRow& row = GetParam();
    const QString nameTemplate = QString::fromUtf8(row.nameTemplate);
    QString error;
    EXPECT_FALSE(
        brevane::checkNameTemplate(nameTemplate, "/data/" + QString(200, u's') + ".mp3", &error));
    EXPECT_EQ(error, "Invalid value for --name: " + nameTemplate + ": " + row.reason);
}

INSTANTIATE_TEST_SUITE_P(Templates, RefusedNameTest,
    ::testing::Values(RefusedRow { "NoNumber", "part", "the name needs {n}" },
        RefusedRow { "BracesAreNoField", "{{n}}", "the name needs {n}" },
        RefusedRow { "UnknownField", "{n} {title}",
            "unknown field {title} (the fields are {n}, {n:W} and {stem})" },
        RefusedRow {
            "EmptyField", "{}{n}", "unknown field {} (the fields are {n}, {n:W} and {stem})" },
        RefusedRow { "Unclosed", "{n} {stem", "a { that is not closed (write {{ for a brace)" },
        RefusedRow { "LoneClosing", "{n}}", "a } that closes no field (write }} for a brace)" },
        RefusedRow { "Slash", "../{n}", "a name cannot hold /" },
        RefusedRow { "WidthZero", "{n:0}", "the width in {n:0} must be a digit from 1 to 9" },
        RefusedRow { "WidthTen", "{n:10}", "the width in {n:10} must be a digit from 1 to 9" },
        RefusedRow { "WidthNotANumber", "{n:x}", "the width in {n:x} must be a digit from 1 to 9" },
        // 200 bytes of stem, twice: its scratch files' names would pass 255 bytes.
        RefusedRow { "TooLongWithTheStem", "{stem} {stem}{n}",
            "the names are longer than a file name can be" }),
    [](const auto& info) { return std::string(info.param.name); });

// A NUL, which no C string of the table can hold.
TEST(NameRefusalTest, NulCharacter)
{
    const QString nameTemplate = QString("{n}") + QChar(0);
    QString error;
    EXPECT_FALSE(brevane::checkNameTemplate(nameTemplate, "in.wav", &error));
    EXPECT_EQ(error,
        "Invalid value for --name: " + nameTemplate + ": a name cannot hold a NUL character");
}

// The engine refuses such a template too, before it makes the output folder.
TEST(NameRefusalTest, SplitMakesNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::writeWav16(dir.filePath("in.wav"), 8000, 1, { 0, 0 }));
    brevane::SplitOptions options;
    options.nameTemplate = "part";
    QList<brevane::Segment> segments;
    QString error;
    EXPECT_FALSE(brevane::splitAudio(
        dir.filePath("in.wav"), dir.filePath("out"), 1, 0, options, &segments, &error));
    EXPECT_EQ(error.toStdString(), "Invalid value for --name: part: the name needs {n}");
    EXPECT_FALSE(QDir(dir.filePath("out")).exists());
}

// A piece of a template whose number stands mid-name, with characters a pattern would read as
// its own, or of one whose names are hidden, is another name of the input: refused in both
// modes before anything is written.
TEST(NameGuardTest, RefusesAPieceNamedAsTheInput)
{
    const std::vector<std::pair<QString, QString>> templates {
        { "({stem}) {n:2} of 3+", "(in) 02 of 3+.wav" }, { ".{n}", ".002.wav" }
    };
    for (const auto& [nameTemplate, inputName] : templates) {
        QTemporaryDir dir;
        ASSERT_TRUE(testsupport::writeWav16(
            dir.filePath("in.wav"), 8000, 1, std::vector<std::int16_t>(24000, 9000)));
        ASSERT_TRUE(QDir(dir.path()).mkdir("out"));
        ASSERT_EQ(::link(QFile::encodeName(dir.filePath("in.wav")).constData(),
                      QFile::encodeName(dir.filePath("out/" + inputName)).constData()),
            0);
        for (const QStringList& mode : { QStringList {}, QStringList { "--one-pass" } }) {
            const testsupport::ProcessResult run
                = testsupport::runProcess(testsupport::brevaneProgram(),
                    QStringList { "--input", "in.wav", "--out", "out", "--name", nameTemplate,
                        "--max", "1s", "--tolerance", "0s" }
                        + mode,
                    dir.path());
            SCOPED_TRACE((nameTemplate + ' ' + mode.join(' ')).toStdString());
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(run.standardError.toStdString(),
                ("Output file would overwrite the input: out/" + inputName + '\n').toStdString());
            EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden),
                QStringList { inputName });
        }
    }
}

// The one-pass writer's own WAV pieces take the template's names, as the lines print them.
TEST(NamedPiecesTest, OnePassWavPiecesTakeTheirNames)
{
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::writeWav16(
        dir.filePath("in.wav"), 8000, 1, std::vector<std::int16_t>(16000, 9000)));
    const testsupport::ProcessResult run = testsupport::runProcess(testsupport::brevaneProgram(),
        { "--input", "in.wav", "--out", "out", "--name", "{n:1}. {stem}", "--one-pass", "--max",
            "1s", "--tolerance", "0s" },
        dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
    EXPECT_EQ(run.standardOutput.toStdString(), "out/1. in.wav\t0s - 1s\nout/2. in.wav\t1s - 2s\n");
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden),
        QStringList({ "1. in.wav", "2. in.wav" }));
}

} // namespace
