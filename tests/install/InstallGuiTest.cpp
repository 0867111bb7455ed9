// The installation: `cmake --install` of this build into a fresh prefix lays the programs, the user
// guide, the menu entry, the icons and the manual pages out as a Linux desktop expects, and the
// installed window's link leads to the installed guide.
#include "tests/support/WaitUntil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gmock/gmock.h>

#include <chrono>
#include <memory>

namespace
{

// Lets a process run to its end, at most `timeoutMs`; returns whether it ended with exit code 0.
bool RunToEnd(QProcess& process, int timeoutMs = 60000)
{
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// One installation for every test of the suite: installing copies the programs, which takes the
// longest, and nothing here changes the installed files.
class Installation : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        Prefix = std::make_unique<QTemporaryDir>();
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(LINTAKER_CMAKE),
                      {QStringLiteral("--install"), QStringLiteral(LINTAKER_BUILD_DIR),
                       QStringLiteral("--prefix"), Prefix->path()});
        Installed = Prefix->isValid() && RunToEnd(install);
        InstallOutput = QString::fromLocal8Bit(install.readAll());
    }

    static void TearDownTestSuite() { Prefix.reset(); }

    void SetUp() override { ASSERT_TRUE(Installed) << InstallOutput.toStdString(); }

    /// The absolute path of `relative` in the installation, with links resolved as the running
    /// program sees its own folder.
    static QString InPrefix(const QString& relative)
    {
        return QDir(QFileInfo(Prefix->path()).canonicalFilePath()).filePath(relative);
    }

    static QStringList Entries(const QString& relative, QDir::Filters filters)
    {
        return QDir(InPrefix(relative)).entryList(filters | QDir::NoDotAndDotDot, QDir::Name);
    }

    static inline std::unique_ptr<QTemporaryDir> Prefix;
    static inline bool Installed = false;
    static inline QString InstallOutput;
};

TEST_F(Installation, TheProgramsAloneGoToBin)
{
    // Anything else in bin/ (the guide, its pictures) would be documentation in a folder of programs.
    EXPECT_THAT(Entries(QStringLiteral("bin"), QDir::AllEntries),
                testing::ElementsAre(QStringLiteral("lintaker"), QStringLiteral("lintaker-sim")));
    for (const char* program : {"bin/lintaker", "bin/lintaker-sim"})
        EXPECT_TRUE(QFileInfo(InPrefix(QString::fromLatin1(program))).isExecutable()) << program;
}

TEST_F(Installation, TheGuideHasItsPicturesAndTheCopyrightBesideIt)
{
    const QString guidePath = InPrefix(QStringLiteral("share/doc/lintaker/UserGuide.html"));
    QFile guide(guidePath);
    ASSERT_TRUE(guide.open(QIODevice::ReadOnly)) << guidePath.toStdString();
    const QString html = QString::fromUtf8(guide.readAll());
    const QRegularExpression image(QStringLiteral("<img[^>]*\\ssrc=\"([^\"]+)\""));
    int pictures = 0;
    for (const QRegularExpressionMatch& match : image.globalMatch(html)) {
        ++pictures;
        EXPECT_TRUE(QFileInfo(QFileInfo(guidePath).dir(), match.captured(1)).isFile())
            << "the guide shows a picture that is not installed: " << match.captured(1).toStdString();
    }
    EXPECT_GT(pictures, 0);
    EXPECT_THAT(Entries(QStringLiteral("share/doc/lintaker"), QDir::Files),
                testing::IsSupersetOf({QStringLiteral("copyright"), QStringLiteral("changelog.gz")}));
}

TEST_F(Installation, TheMenuEntryStartsTheInstalledProgramWithAnIconInEverySize)
{
    const QString entry = InPrefix(QStringLiteral("share/applications/lintaker.desktop"));
    ASSERT_TRUE(QFileInfo::exists(entry));
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    ASSERT_FALSE(validator.isEmpty()) << "desktop-file-validate is missing (scripts/deps.sh installs it)";
    QProcess validate;
    validate.setProcessChannelMode(QProcess::MergedChannels);
    validate.start(validator, {entry});
    EXPECT_TRUE(RunToEnd(validate)) << validate.readAll().toStdString();

    const QSettings desktop(entry, QSettings::IniFormat);
    const QString exec = desktop.value(QStringLiteral("Desktop Entry/Exec")).toString();
    const QString program = exec.section(QLatin1Char(' '), 0, 0);
    EXPECT_TRUE(QFileInfo(InPrefix(QStringLiteral("bin/") + program)).isExecutable())
        << "Exec=" << exec.toStdString();

    // Every size folder of the icon theme holds the icon the entry names, drawn in that size; the
    // theme requires 48x48 of every application.
    const QString icon =
        desktop.value(QStringLiteral("Desktop Entry/Icon")).toString() + QStringLiteral(".png");
    const QStringList sizes = Entries(QStringLiteral("share/icons/hicolor"), QDir::Dirs);
    EXPECT_TRUE(sizes.contains(QStringLiteral("48x48"))) << sizes.join(QLatin1Char(' ')).toStdString();
    for (const QString& size : sizes) {
        const QImage picture(InPrefix(QStringLiteral("share/icons/hicolor/%1/apps/%2").arg(size, icon)));
        ASSERT_FALSE(picture.isNull()) << size.toStdString() << "/apps/" << icon.toStdString();
        EXPECT_EQ(QStringLiteral("%1x%2").arg(picture.width()).arg(picture.height()), size);
        EXPECT_TRUE(picture.hasAlphaChannel()) << size.toStdString() << ": the icon needs a clear ground";
    }
}

TEST_F(Installation, EachProgramHasACompressedManualPage)
{
    for (const char* program : {"lintaker", "lintaker-sim"}) {
        SCOPED_TRACE(program);
        QProcess gunzip;
        gunzip.start(QStringLiteral("gzip"),
                     {QStringLiteral("-dc"),
                      InPrefix(QStringLiteral("share/man/man1/%1.1.gz").arg(QString::fromLatin1(program)))});
        ASSERT_TRUE(RunToEnd(gunzip));
        const QString page = QString::fromUtf8(gunzip.readAllStandardOutput());
        // The page is roff, and under NAME it names its own program ("lintaker\-sim").
        EXPECT_TRUE(page.contains(QStringLiteral("\n.TH "))) << page.left(200).toStdString();
        const QString name = QString::fromLatin1(program).replace(QStringLiteral("-"), QStringLiteral("\\-"));
        EXPECT_TRUE(page.contains(QStringLiteral(".SH NAME\n") + name + QStringLiteral(" \\- ")));
    }
}

TEST_F(Installation, TheInstalledWindowLinksToTheInstalledGuide)
{
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    // The link opens its caption with the desktop's opener; this one writes down what it was given.
    const QString opened = work.filePath(QStringLiteral("opened.txt"));
    const QString opener = work.filePath(QStringLiteral("open.sh"));
    {
        QFile script(opener);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\nprintf '%s' \"$1\" > '%1.tmp' && mv '%1.tmp' '%1'\n")
                         .arg(opened)
                         .toLocal8Bit());
        script.close();
        ASSERT_TRUE(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    // The probe plugin reports the link's caption and clicks it once the window is shown.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(LINTAKER_PROBE_PLUGINS));
    environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"), QStringLiteral("lintakerguideprobe"));
    environment.insert(QStringLiteral("LINTAKER_OPEN_COMMAND"), opener);
    environment.insert(QStringLiteral("LINTAKER_DEVICE_MAP"), work.filePath(QStringLiteral("devices")));
    QProcess window;
    window.setProcessEnvironment(environment);
    window.start(InPrefix(QStringLiteral("bin/lintaker")), {});
    const bool ended = RunToEnd(window, 30000);
    const QString output = QString::fromUtf8(window.readAllStandardOutput());
    ASSERT_TRUE(ended) << "the installed window did not end cleanly:\n"
                       << output.toStdString() << window.readAllStandardError().toStdString();

    const QString guide = InPrefix(QStringLiteral("share/doc/lintaker/UserGuide.html"));
    EXPECT_THAT(output.toStdString(), testing::HasSubstr("caption: " + guide.toStdString() + "\n"));
    // The opener runs on its own, detached from the window, and may finish after it.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return QFileInfo::exists(opened); }, std::chrono::seconds(10)))
        << "clicking the link opened nothing";
    QFile record(opened);
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromLocal8Bit(record.readAll()), guide);
}

} // namespace
