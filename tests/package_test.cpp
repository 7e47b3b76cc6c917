// The program as an administrator gets it: its version, its manual against its --help, and
// what `cmake --install` and the Debian package put on a machine. Installing and packaging
// work in temporary folders only.

#include "test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using testsupport::brevaneProgram;
using testsupport::ProcessResult;
using testsupport::runProcess;

const QByteArray versionLine = QByteArrayLiteral("brevane " BREVANE_VERSION "\n");
const QString manPageSource = QStringLiteral(BREVANE_MAN_PAGE_SOURCE);
const QString buildDir = QStringLiteral(BREVANE_BUILD_DIR);

// Runs a tool that the check needs and fails the test, naming the tool, if it cannot start or
// ends in failure.
ProcessResult runTool(const QString& program, const QStringList& arguments)
{
    const ProcessResult result = runProcess(program, arguments);
    EXPECT_TRUE(result.started) << program.toStdString() << " could not be started";
    EXPECT_EQ(result.exitStatus, QProcess::NormalExit) << program.toStdString();
    EXPECT_EQ(result.exitCode, 0) << program.toStdString() << ": "
                                  << result.standardError.toStdString();
    return result;
}

// Every file below root, as paths relative to it.
std::set<std::string> filesBelow(const QString& root)
{
    std::set<std::string> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.insert(QDir(root).relativeFilePath(it.next()).toStdString());
    return files;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// An installed program answers --version; its manual is the page kept with the sources.
void expectWorkingInstall(const QString& program, const QString& manPage)
{
    const ProcessResult version = runTool(program, { QStringLiteral("--version") });
    EXPECT_EQ(version.standardOutput.toStdString(), versionLine.toStdString());
    const ProcessResult page = runTool(QStringLiteral("gzip"), { QStringLiteral("-dc"), manPage });
    EXPECT_EQ(page.standardOutput.toStdString(), readFile(manPageSource).toStdString());
}

// The left column of --help ("-h, --help", "--input <file>"), without the angle brackets.
std::set<std::string> helpEntries()
{
    const ProcessResult help = runTool(brevaneProgram(), { QStringLiteral("--help") });
    const QRegularExpression entry(QStringLiteral("^  (-\\S.*?)(?:  |$)"));
    std::set<std::string> entries;
    for (const QString& line : QString::fromUtf8(help.standardOutput).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = entry.match(line);
        if (match.hasMatch())
            entries.insert(
                match.captured(1).remove(QLatin1Char('<')).remove(QLatin1Char('>')).toStdString());
    }
    return entries;
}

// The tags of the OPTIONS section as they print: ".BR \-h ", " \-\-help" joins its arguments
// into "-h, --help".
std::set<std::string> manualEntries()
{
    const QStringList lines = QString::fromUtf8(readFile(manPageSource)).split(QLatin1Char('\n'));
    const QRegularExpression argument(QStringLiteral("\"([^\"]*)\"|(\\S+)"));
    std::set<std::string> entries;
    bool inOptions = false;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].startsWith(QLatin1String(".SH ")))
            inOptions = lines[i] == QLatin1String(".SH OPTIONS");
        if (!inOptions || lines[i] != QLatin1String(".TP"))
            continue;
        QString tag;
        QRegularExpressionMatchIterator it = argument.globalMatch(lines[i + 1]);
        it.next(); // the font macro
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            tag += match.captured(1) + match.captured(2);
        }
        entries.insert(tag.replace(QLatin1String("\\-"), QLatin1String("-")).toStdString());
    }
    return entries;
}

TEST(PackageTest, VersionOptionsPrintTheProjectVersion)
{
    for (const QString& option : { QStringLiteral("--version"), QStringLiteral("-v") }) {
        SCOPED_TRACE(option.toStdString());
        const ProcessResult result = runProcess(brevaneProgram(), { option });
        EXPECT_EQ(result.exitStatus, QProcess::NormalExit);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.standardOutput.toStdString(), versionLine.toStdString());
        EXPECT_EQ(result.standardError.toStdString(), "");
    }
}

TEST(PackageTest, ManualListsExactlyTheOptionsOfTheHelp)
{
    const std::set<std::string> help = helpEntries();
    ASSERT_TRUE(help.count("--input file"));
    EXPECT_EQ(manualEntries(), help);
}

TEST(PackageTest, ManualRendersWithoutWarnings)
{
    const ProcessResult result = runTool(QStringLiteral("groff"),
        { QStringLiteral("-ww"), QStringLiteral("-man"), QStringLiteral("-z"), manPageSource });
    EXPECT_EQ(result.standardError.toStdString(), "");
}

TEST(PackageTest, InstallPutsOnlyTheProgramAndItsManualUnderThePrefix)
{
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    runTool(QStringLiteral(BREVANE_CMAKE_COMMAND),
        { QStringLiteral("--install"), buildDir, QStringLiteral("--prefix"), prefix.path() });

    const std::set<std::string> expected { "bin/brevane", "share/man/man1/brevane.1.gz" };
    EXPECT_EQ(filesBelow(prefix.path()), expected);
    expectWorkingInstall(prefix.filePath(QStringLiteral("bin/brevane")),
        prefix.filePath(QStringLiteral("share/man/man1/brevane.1.gz")));
}

// cpack packages what the build made; it builds nothing itself, so tests running from the same
// build folder meanwhile are not disturbed.
TEST(PackageTest, DebianPackageHoldsTheProgramItsManualAndTheirDependencies)
{
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    runTool(QStringLiteral(BREVANE_CPACK_COMMAND),
        { QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), work.path(),
            QStringLiteral("--config"), buildDir + QStringLiteral("/CPackConfig.cmake") });
    const QString architecture = QString::fromUtf8(
        runTool(QStringLiteral("dpkg"), { QStringLiteral("--print-architecture") })
            .standardOutput.trimmed());
    const QString package
        = work.filePath(QStringLiteral("brevane_" BREVANE_VERSION "_%1.deb").arg(architecture));
    ASSERT_TRUE(QFile::exists(package)) << package.toStdString();

    const ProcessResult control = runTool(
        QStringLiteral("dpkg-deb"), { QStringLiteral("-f"), package, QStringLiteral("Depends") });
    const QString depends = QString::fromUtf8(control.standardOutput);
    for (const char* name : { "ffmpeg", "libqt6core6", "libavformat", "libavutil" })
        EXPECT_TRUE(depends.contains(QRegularExpression(QStringLiteral("(^|, )%1").arg(name))))
            << name << " not in " << depends.toStdString();

    const QString root = work.filePath(QStringLiteral("root"));
    runTool(QStringLiteral("dpkg-deb"), { QStringLiteral("-x"), package, root });
    const std::set<std::string> expected { "usr/bin/brevane", "usr/share/man/man1/brevane.1.gz" };
    EXPECT_EQ(filesBelow(root), expected);
    expectWorkingInstall(root + QStringLiteral("/usr/bin/brevane"),
        root + QStringLiteral("/usr/share/man/man1/brevane.1.gz"));
}

} // namespace
