// The program on a desktop: files dropped on the window or handed over by a second start, the
// command line, where the settings live, the Tab chain, Qt's own texts in Russian, the file
// dialogs' size and the protocol's wrapping.
#include "test_mainsettings_support.h"

#include "Desktop.h"
#include "SendJournal.h"
#include "MyStringGrid.h"
#include "SingleInstance.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSpinBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>

namespace {

QString Touch(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write("x");
    return path;
}

// Pumps events until the condition holds; false after a generous watchdog.
bool WaitFor(const std::function<bool()> &done, int seconds = 30)
{
    QElapsedTimer watchdog;
    watchdog.start();
    while (!done()) {
        if (watchdog.elapsed() > seconds * 1000)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class DesktopTest : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        form = Start();
    }
    QString Folder() const { return QString::fromStdString(files.path()); }
    QStringList Rows() const { return form->FileListEmpty() ? QStringList() : form->gridFiles->Column(0); }

    // Sends a drag over `widget` and, when it is taken, the drop, as the desktop would: to the
    // nearest widget that takes drops. True when the drop was accepted.
    bool Drop(QWidget *widget, const QList<QUrl> &urls, Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction)
    {
        while (widget && !widget->acceptDrops())
            widget = widget->parentWidget();
        EXPECT_NE(widget, nullptr);
        QMimeData data;
        data.setUrls(urls);
        const QPoint at(5, 5);
        QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &enter);
        if (!enter.isAccepted())
            return false;
        EXPECT_NE(enter.dropAction(), Qt::MoveAction);
        QDropEvent drop(QPointF(at), actions, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &drop);
        QApplication::processEvents();
        EXPECT_NE(drop.dropAction(), Qt::MoveAction) << "a move would delete the user's files";
        return drop.isAccepted();
    }

    testsupport::TempDir files{"sendorix-desktop"};
};

// ---- drops -------------------------------------------------------------------------------

TEST_F(DesktopTest, DroppedFilesAndFoldersJoinTheListAnywhereOnTheWindow)
{
    const QString a = Touch(Folder() + "/a.txt");
    const QString b = Touch(Folder() + "/b.txt");
    // A folder stands for the files directly in it, by name; not its subfolders or hidden files.
    const QString dir = Folder() + "/photos";
    const QString p2 = Touch(dir + "/Two.jpg");
    const QString p1 = Touch(dir + "/one.jpg");
    Touch(dir + "/.hidden");
    Touch(dir + "/deeper/three.jpg");

    // On the file list.
    form->PageControl->setCurrentWidget(form->TabSheet3);
    EXPECT_TRUE(Drop(form->gridFiles->viewport(), {QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)}));
    EXPECT_EQ(Rows(), (QStringList{a, b}));
    EXPECT_EQ(form->lblFilesCount->text(), "Total: 2");

    // On the message text: the files join the list (same path as the dialog, duplicates and
    // all) instead of their URLs going into the text, and the files page comes forward.
    form->PageControl->setCurrentWidget(form->TabSheet2);
    form->memoText->setPlainText("Hello");
    EXPECT_TRUE(Drop(form->memoText->viewport(), {QUrl::fromLocalFile(dir), QUrl::fromLocalFile(a)}));
    EXPECT_EQ(form->memoText->toPlainText(), "Hello");
    EXPECT_EQ(Rows(), (QStringList{a, b, p1, p2, a}));
    EXPECT_EQ(form->PageControl->currentWidget(), form->TabSheet3);

    // On a recipient field and on the bare window.
    form->PageControl->setCurrentWidget(form->TabSheet1);
    EXPECT_TRUE(Drop(form->edtTo->lineEdit(), {QUrl::fromLocalFile(b)}));
    EXPECT_EQ(form->edtTo->currentText(), "");
    EXPECT_TRUE(Drop(form->Label15, {QUrl::fromLocalFile(a)}));
    EXPECT_EQ(Rows().size(), 7);
    EXPECT_EQ(form->lblFilesCount->text(), "Total: 7");
}

TEST_F(DesktopTest, DropsThatAreNotFilesOrComeDuringAJobAreRefused)
{
    const QString a = Touch(Folder() + "/a.txt");

    // A web link is no file: the window leaves it alone.
    EXPECT_FALSE(Drop(form->Label15, {QUrl("https://example.org/x.txt")}));
    // A source that only offers to move the files is refused rather than told to delete them.
    EXPECT_FALSE(Drop(form->Label15, {QUrl::fromLocalFile(a)}, Qt::MoveAction));
    EXPECT_TRUE(form->FileListEmpty());

    PretendJob job(*form);
    EXPECT_FALSE(Drop(form->Label15, {QUrl::fromLocalFile(a)}));
    EXPECT_FALSE(Drop(form->PageControl, {QUrl::fromLocalFile(a)}));
    job.End();
    QApplication::processEvents();
    EXPECT_TRUE(form->FileListEmpty()) << "a refused drop is not kept for later";

    // Mixed: the file is taken, the link ignored.
    EXPECT_TRUE(Drop(form->Label15, {QUrl("https://example.org/"), QUrl::fromLocalFile(a)}));
    EXPECT_EQ(Rows(), QStringList{a});
}

// ---- one window per user -------------------------------------------------------------------

class InstanceTest : public DesktopTest
{
protected:
    void SetUp() override
    {
        DesktopTest::SetUp();
        name = QStringLiteral("sendorix-test-%1-%2").arg(::getpid()).arg(++serial);
        instance = std::make_unique<TSingleInstance>(name);
        ASSERT_FALSE(instance->HandOverOrListen({}));
        ASSERT_TRUE(instance->Listening());
        instance->SetReceiver([this](const QStringList &f) { form->AcceptFilesFromOutside(f, true); });
    }
    void TearDown() override
    {
        instance.reset();
        DesktopTest::TearDown();
    }

    // Starts the real program as a second start, in `folder`, and waits for it to end while
    // this window keeps answering. Its exit code, or -1 when it did not end.
    int SecondStart(const QStringList &args, const QString &folder)
    {
        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SENDORIX_INSTANCE", name);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        second.setProcessEnvironment(env);
        second.setWorkingDirectory(folder);
        second.start(QStringLiteral(SENDORIX_PROGRAM), args);
        if (!second.waitForStarted(30000))
            return -1;
        const bool ended = WaitFor([&] { return second.state() == QProcess::NotRunning; });
        if (!ended) {
            second.kill();
            second.waitForFinished(10000);
            return -1;
        }
        return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
    }

    QString name;
    std::unique_ptr<TSingleInstance> instance;
    static inline int serial = 0;
};

TEST_F(InstanceTest, SecondStartHandsItsFilesToTheRunningWindowAndEnds)
{
    const QString a = Touch(Folder() + "/a.txt");
    const QString dir = Folder() + "/more";
    const QString c = Touch(dir + "/c.txt");
    // Relative names are the second start's own: taken in its working folder.
    EXPECT_EQ(SecondStart({"a.txt", "more", "--", "missing.txt"}, Folder()), 0);
    ASSERT_TRUE(WaitFor([&] { return Rows().size() == 2; }));
    EXPECT_EQ(Rows(), (QStringList{a, c}));
    EXPECT_EQ(form->PageControl->currentWidget(), form->TabSheet3);

    // Even without files a second start opens no window of its own.
    EXPECT_EQ(SecondStart({}, Folder()), 0);
    EXPECT_EQ(Rows().size(), 2);
}

TEST_F(InstanceTest, FilesHandedOverDuringAJobJoinTheListAfterIt)
{
    const QString a = Touch(Folder() + "/a.txt");
    PretendJob job(*form);
    form->PageControl->setCurrentWidget(form->TabSheet5);
    EXPECT_EQ(SecondStart({a}, Folder()), 0);
    EXPECT_TRUE(form->FileListEmpty()) << "the job's list must not change under it";
    job.End();
    ASSERT_TRUE(WaitFor([&] { return !form->FileListEmpty(); }));
    EXPECT_EQ(Rows(), QStringList{a});
    EXPECT_EQ(form->PageControl->currentWidget(), form->TabSheet5) << "the job's protocol stays in front";
}

// A client of this user that sends anything but a hand-over gets nothing and gives nothing.
TEST_F(InstanceTest, AStrangerOnTheSocketIsCutOffAndAHandOverStillWorks)
{
    int received = 0;
    instance->SetReceiver([&](const QStringList &) { ++received; });
    const QByteArray garbage[] = {QByteArray("GET / HTTP/1.0\r\n\r\n"), QByteArray(64, '\0'),
                                  QByteArray::fromHex("53445832000000ff")};
    for (const QByteArray &bytes : garbage) {
        QLocalSocket stranger;
        stranger.connectToServer(instance->Path());
        ASSERT_TRUE(stranger.waitForConnected(5000));
        stranger.write(bytes);
        stranger.flush();
        EXPECT_TRUE(WaitFor([&] { return stranger.state() == QLocalSocket::UnconnectedState; }))
            << "the window must hang up on " << bytes.toHex().toStdString();
        EXPECT_EQ(stranger.bytesAvailable(), 0) << "no acknowledgement for a stranger";
    }
    EXPECT_EQ(received, 0);
    const QString a = Touch(Folder() + "/a.txt");
    EXPECT_EQ(SecondStart({a}, Folder()), 0);
    EXPECT_TRUE(WaitFor([&] { return received == 1; }));
}

class PrivateFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        savedTmp = qgetenv("TMPDIR");
        savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        qunsetenv("XDG_RUNTIME_DIR");
        own = tmp.filePath(QStringLiteral("sendorix-%1").arg(::geteuid()));
    }
    void TearDown() override
    {
        Restore("TMPDIR", savedTmp);
        Restore("XDG_RUNTIME_DIR", savedRuntime);
    }
    static void Restore(const char *name, const QByteArray &value)
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    QTemporaryDir tmp;
    QByteArray savedTmp, savedRuntime;
    QString own;   // where the program keeps its socket when there is no runtime folder
};

TEST_F(PrivateFolderTest, MadeOwnerOnlyAndAStaleSocketIsReplacedAtOnce)
{
    QString why;
    ASSERT_EQ(TSingleInstance::PrivateFolder(&why), own) << why.toStdString();
    EXPECT_EQ(QFileInfo(own).permissions() & 0x0077, 0) << "nobody else may look in";

    // A socket file nobody listens on any more, as a killed program leaves it.
    const QString path = own + "/sendorix";
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, QFile::encodeName(path).constData(), sizeof addr.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);
    TSingleInstance instance(QStringLiteral("sendorix"));
    QElapsedTimer took;
    took.start();
    EXPECT_FALSE(instance.HandOverOrListen({}, 10000));
    EXPECT_TRUE(instance.Listening()) << instance.Problem().toStdString();
    EXPECT_LT(took.elapsed(), 5000) << "a stale socket is replaced without waiting out the timeout";
    EXPECT_EQ(instance.Path(), path);
}

// What another local user could prepare in the shared temporary folder before the first start:
// the program must use none of it, start on its own and hand no path to it.
TEST_F(PrivateFolderTest, AFolderPreparedByAnotherUserIsNeverUsed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    const QString decoy = tmp.filePath("decoy");
    ASSERT_TRUE(QDir().mkdir(decoy));
    struct Case {
        const char *what;
        std::function<void()> prepare;
        const char *reason;
    } cases[] = {
        {"another user's folder", [&] { QDir().mkdir(own); ::chown(QFile::encodeName(own), 65534, 65534);
                                         ::chmod(QFile::encodeName(own), 0777); }, "another user"},
        {"our folder, open to all", [&] { QDir().mkdir(own); ::chmod(QFile::encodeName(own), 0777); }, "writable by other users"},
        {"a link to a folder", [&] { QFile::link(decoy, own); }, "symbolic link"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(own);
        QDir(own).removeRecursively();
        c.prepare();
        // A squatter listening where the program would look.
        QLocalServer squatter;
        QLocalServer::removeServer(own + "/sendorix");
        squatter.listen(own + "/sendorix");
        int connections = 0;
        QObject::connect(&squatter, &QLocalServer::newConnection, [&] { ++connections; });

        TSingleInstance instance(QStringLiteral("sendorix"));
        EXPECT_FALSE(instance.HandOverOrListen({"/home/victim/private-report.pdf"}, 3000));
        EXPECT_FALSE(instance.Listening());
        EXPECT_TRUE(instance.Problem().contains(QLatin1String(c.reason))) << instance.Problem().toStdString();
        QApplication::processEvents();
        EXPECT_EQ(connections, 0) << "no path may reach the squatter";
        squatter.close();
    }
}

// A window of another user behind the socket (root can reach any socket): no path goes to it.
TEST(SingleInstance, HandsNoPathToAWindowOfAnotherUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to listen as another user";
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    ::chmod(QFile::encodeName(tmp.path()), 0777);
    const QByteArray path = QFile::encodeName(tmp.filePath("other"));
    int ready[2], result[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(result), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Another user's listener: counts what reaches it. Only async-signal-safe calls here.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, path.constData(), path.size());
        if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(s, 1) != 0)
            ::_exit(3);
        (void)!::write(ready[1], "r", 1);
        const int c = ::accept(s, nullptr, nullptr);
        long total = 0;
        char buf[512];
        for (ssize_t n; c >= 0 && (n = ::read(c, buf, sizeof buf)) > 0;)
            total += n;
        (void)!::write(result[1], &total, sizeof total);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(result[1]);
    char r = 0;
    ASSERT_EQ(::read(ready[0], &r, 1), 1) << "the other user's listener did not start";
    QString why;
    EXPECT_FALSE(TSingleInstance::HandOverTo(QFile::decodeName(path), {"/home/victim/private-report.pdf"}, 5000, &why));
    EXPECT_TRUE(why.contains(QLatin1String("another user"))) << why.toStdString();
    long total = -1;
    EXPECT_EQ(::read(result[0], &total, sizeof total), ssize_t(sizeof total));
    EXPECT_EQ(total, 0) << "not a byte of the hand-over may reach another user";
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ::close(ready[0]);
    ::close(result[0]);
}

// ---- command line --------------------------------------------------------------------------

TEST(CommandLine, OptionsAndFiles)
{
    struct Case {
        QStringList args;
        TCommandLine::TAction action;
        QStringList files;
    } cases[] = {
        {{}, TCommandLine::caRun, {}},
        {{"a.txt", "/abs/b.txt", "sub/../c.txt"}, TCommandLine::caRun, {"/work/a.txt", "/abs/b.txt", "/work/c.txt"}},
        {{"file:///abs/with%20blank.txt"}, TCommandLine::caRun, {"/abs/with blank.txt"}},
        {{"a.txt", "--help"}, TCommandLine::caHelp, {}},
        {{"-h"}, TCommandLine::caHelp, {}},
        {{"--version", "x"}, TCommandLine::caVersion, {}},
        {{"--", "--help", "-x"}, TCommandLine::caRun, {"/work/--help", "/work/-x"}},
        {{"-x"}, TCommandLine::caError, {}},
        {{"--files"}, TCommandLine::caError, {}},
    };
    for (const Case &c : cases) {
        const TCommandLine cl = ParseCommandLine(c.args, "/work");
        EXPECT_EQ(cl.Action, c.action) << c.args.join(' ').toStdString();
        EXPECT_EQ(cl.Files, c.files) << c.args.join(' ').toStdString();
        EXPECT_EQ(cl.Error.isEmpty(), c.action != TCommandLine::caError);
    }
    EXPECT_TRUE(ParseCommandLine({"-x"}, "/").Error.contains("-x"));
    EXPECT_TRUE(CommandLineHelp().contains("--version"));
    QString major, minor;
    MakeVersionTexts(FileVersionText(), major, minor);
    EXPECT_EQ(VersionLine(), "Sendorix " + major + "." + minor + " (" + FileVersionText() + ")\n");
}

// ---- where the settings live -------------------------------------------------------------
// Tests run as root, for whom every folder is writable: the writability check is injected.

TEST(SettingsLocation, BesideTheProgramOnlyForAPortableCopyOrItsBuildFolder)
{
    testsupport::TempDir tmp("sendorix-where");
    const QString root = QString::fromStdString(tmp.path());
    const QString config = root + "/config";
    auto yes = [](const QString &) { return true; };
    auto no = [](const QString &) { return false; };
    struct Place {
        const char *name;
        const char *marker;   // a file the folder holds ("": none)
        bool writable;
        bool beside;
    };
    const Place places[] = {
        {"installed into a prefix (writable, like ~/.local/bin)", "", true, false},
        {"build folder", "../CMakeCache.txt", true, true},
        {"read-only build folder", "../CMakeCache.txt", false, false},
        {"portable copy with its settings", "Sendorix.cfg", false, true},
    };
    for (const Place &p : places) {
        SCOPED_TRACE(p.name);
        const QString program = root + "/" + p.name + "/bin";
        QDir().mkpath(program);
        if (*p.marker)
            Touch(program + "/" + p.marker);
        EXPECT_EQ(ChooseSettingsFolder(program, config, p.writable ? yes : no),
                  p.beside ? program + "/" : config + "/sendorix/");
    }
}

TEST(SettingsLocation, InstalledProgramFolderIsNeverWrittenEvenByRoot)
{
    // The folder the install puts the program in (/usr/bin for the package): files left there
    // would outlive the package, so even root, who may write there, gets the config home.
    const QString installed = InstalledProgramFolder();
    ASSERT_TRUE(QDir::isAbsolutePath(installed)) << installed.toStdString();
    EXPECT_TRUE(installed.endsWith('/'));
    EXPECT_FALSE(SystemFolderWritable(installed));
    EXPECT_FALSE(SystemFolderWritable(installed + "."));
    const QString config = QDir::tempPath() + "/config";
    EXPECT_EQ(ChooseSettingsFolder(installed, config, SystemFolderWritable), config + "/sendorix/");

    // Any other folder is asked of the system: a folder of ours is writable, a missing one not.
    testsupport::TempDir tmp("sendorix-writable");
    const QString own = QString::fromStdString(tmp.path());
    EXPECT_TRUE(SystemFolderWritable(own));
    EXPECT_FALSE(SystemFolderWritable(own + "/missing"));
}

TEST(SettingsLocation, ConfigHomeFollowsXdgWhenAbsolute)
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const bool had = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/some/where/");
    EXPECT_EQ(ConfigHome(), "/some/where/");
    qputenv("XDG_CONFIG_HOME", "relative/dir");
    EXPECT_EQ(ConfigHome(), QDir::homePath() + "/.config/");
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(ConfigHome(), QDir::homePath() + "/.config/");
    if (had)
        qputenv("XDG_CONFIG_HOME", saved);
}

TEST_F(WindowTest, ReadOnlyProgramFolderKeepsSettingsInTheConfigHome)
{
    if (QFileInfo::exists(ProgramFolder() + "Sendorix.cfg"))
        GTEST_SKIP() << "a settings file beside the test program decides for it";
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const bool had = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(Dir() + "/xdg"));
    const QString program = ProgramFolder();
    SetFolderWritableCheck([program](const QString &f) { return QDir(f) != QDir(program); });

    form = Start();
    const QString folder = Dir() + "/xdg/sendorix/";
    EXPECT_EQ(form->SettingsFile, folder + "Sendorix.cfg");
    EXPECT_EQ(SettingsFolder(), folder);
    // Profiles start beside the settings; the user's files at home.
    TMainForm::FileDialogsTest::QueueCancel();
    form->btnLoadConfig->click();
    const auto shown = TMainForm::FileDialogsTest::TakeLog();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(QDir(shown[0].Folder), QDir(folder));
    TMainForm::FileDialogsTest::QueueCancel();
    form->btnLoad->click();
    EXPECT_EQ(QDir(TMainForm::FileDialogsTest::TakeLog().value(0).Folder), QDir::home());

    // What the program makes there is the user's alone.
    {
        TSendJournal journal;
        journal.Start(TMainForm::JournalFile(), "series", 2, {});
    }
    form->edtSubject->setEditText("kept");
    form->close();
    form.reset();
    EXPECT_TRUE(ReadText(folder + "Sendorix.cfg").contains("kept"));
    EXPECT_FALSE(QFileInfo::exists(program + "Sendorix.cfg"));
    const auto mode = [](const QString &path) {
        struct stat st{};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    };
    EXPECT_EQ(mode(folder), 0700);
    EXPECT_EQ(mode(folder + "Sendorix.cfg"), 0600);
    EXPECT_EQ(mode(folder + "Sendorix.job"), 0600);

    SetFolderWritableCheck(nullptr);
    if (had)
        qputenv("XDG_CONFIG_HOME", saved);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

// ---- keyboard ------------------------------------------------------------------------------

class TabChainTest : public DesktopTest
{
protected:
    QWidget *Focused() const
    {
        QWidget *f = QApplication::focusWidget();
        const QList<QWidget *> chain = form->TabChain();
        for (QWidget *w = f; w; w = w->parentWidget())
            if (chain.contains(w))
                return w;
        return f;
    }
    void Press(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QWidget *target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        QKeyEvent press(QEvent::KeyPress, key, mods);
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, key, mods);
        QApplication::sendEvent(target, &release);
    }
    QString Name(const QWidget *w) const { return w ? w->objectName() : QStringLiteral("(none)"); }
};

TEST_F(TabChainTest, TabVisitsEveryEnabledControlOnceAndShiftTabGoesBack)
{
    form->activateWindow();
    QApplication::setActiveWindow(form.get());
    for (int language : {0, 1}) {
        PickLanguage(language);
        for (QWidget *page : {form->TabSheet1, form->TabSheet2, form->TabSheet3, form->TabSheet5,
                              form->TabSheet4, form->TabSheet7, form->TabSheet6}) {
            form->PageControl->setCurrentWidget(page);
            QApplication::processEvents();
            const QList<QWidget *> chain = form->TabChain();
            const std::string where = (page->objectName() + (language ? " ru" : " en")).toStdString();

            // The fixed parts: mode button, the seven page buttons, the page, the commands.
            ASSERT_GE(chain.size(), 12) << where;
            EXPECT_EQ(chain[0], form->btnMail) << where;
            for (int i = 0; i < 7; ++i)
                EXPECT_EQ(chain[1 + i], form->PageTabGroup->button(i)) << where;
            for (QWidget *w : {static_cast<QWidget *>(form->btnSend), static_cast<QWidget *>(form->btnClose),
                               static_cast<QWidget *>(form->comboLanguage)})
                EXPECT_TRUE(chain.contains(w)) << where << " " << Name(w).toStdString();
            EXPECT_FALSE(chain.contains(form->btnNews)) << "disabled";
            EXPECT_FALSE(chain.contains(form->btnCancel)) << "disabled";
            for (QWidget *w : chain)
                EXPECT_TRUE(w->isVisible() && w->isEnabled()) << where << " " << Name(w).toStdString();

            // From every control, a full round of Tabs visits each once and comes back; the
            // same number of Shift+Tabs retraces it backwards.
            for (QWidget *start : chain) {
                start->setFocus(Qt::OtherFocusReason);
                ASSERT_EQ(Focused(), start) << where << " " << Name(start).toStdString();
                QList<QWidget *> visited;
                for (int i = 0; i < chain.size(); ++i) {
                    Press(Qt::Key_Tab);
                    visited << Focused();
                }
                QStringList names, chainNames;
                for (QWidget *w : visited)
                    names << Name(w);
                for (QWidget *w : chain)
                    chainNames << Name(w);
                EXPECT_EQ(visited.last(), start) << where << " from " << Name(start).toStdString() << "\n"
                                                 << names.join(' ').toStdString() << "\n" << chainNames.join(' ').toStdString();
                QList<QWidget *> sortedVisited = visited, sortedChain = chain;
                std::sort(sortedVisited.begin(), sortedVisited.end());
                std::sort(sortedChain.begin(), sortedChain.end());
                EXPECT_EQ(sortedVisited, sortedChain) << where << " from " << Name(start).toStdString();
                for (int i = chain.size() - 2; i >= 0; --i) {
                    Press(Qt::Key_Backtab, Qt::ShiftModifier);
                    EXPECT_EQ(Focused(), visited[i]) << where << " back from " << Name(start).toStdString();
                }
            }
        }
    }
}

TEST_F(TabChainTest, PagesAreVisitedInReadingOrder)
{
    auto order = [this](QWidget *page) {
        form->PageControl->setCurrentWidget(page);
        QApplication::processEvents();
        QList<QWidget *> inPage;
        for (QWidget *w : form->TabChain())
            if (page->isAncestorOf(w))
                inPage << w;
        return inPage;
    };
    EXPECT_EQ(order(form->TabSheet1),
              (QList<QWidget *>{form->edtTo, form->btnAddressBookTo, form->edtCC, form->btnAddressBookCc,
                                form->edBCC, form->btnAddressBookBcc, form->edtSubject, form->cbAddPartNo,
                                form->cbAddFileName, form->comboPriority}));
    // Tab leaves the message text instead of typing a tab into it.
    EXPECT_EQ(order(form->TabSheet2), (QList<QWidget *>{form->memoText, form->cbTextOnlyInFirst}));
    form->memoText->setFocus();
    Press(Qt::Key_Tab);
    EXPECT_EQ(form->memoText->toPlainText(), "");
    EXPECT_EQ(Focused(), form->cbTextOnlyInFirst);
    EXPECT_EQ(order(form->TabSheet3), (QList<QWidget *>{form->gridFiles, form->btnLoad, form->spinFilesInMessage}));
}

// ---- Qt's own texts, dialogs, protocol, title ------------------------------------------------

TEST_F(DesktopTest, QtsOwnTextsFollowTheInterfaceLanguage)
{
    QLabel *lookIn = form->FileDialog->findChild<QLabel *>("lookInLabel");
    ASSERT_NE(lookIn, nullptr);
    EXPECT_EQ(lookIn->text(), "Look in:");
    PickLanguage(1);
    QApplication::processEvents();   // the dialogs hear of the change through posted events
    EXPECT_NE(QCoreApplication::translate("QFileDialog", "Look in:"), "Look in:") << "qtbase_ru.qm missing?";
    EXPECT_EQ(lookIn->text(), QCoreApplication::translate("QFileDialog", "Look in:"));
    EXPECT_NE(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");
    PickLanguage(0);
    QApplication::processEvents();
    EXPECT_EQ(lookIn->text(), "Look in:");
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), "Look in:");
}

TEST_F(DesktopTest, FileDialogsOpenLargeEnoughAndKeepTheUsersSize)
{
    Touch(Folder() + "/a rather long file name for the name column.txt");
    QFileDialog *d = form->FileDialog;
    EXPECT_GT(d->width(), form->width());
    d->setDirectory(Folder());
    d->setViewMode(QFileDialog::Detail);
    d->show();
    ASSERT_TRUE(WaitFor([d] {
        QTreeView *view = d->findChild<QTreeView *>("treeView");
        return view && view->model() && view->model()->rowCount(view->rootIndex()) > 0;
    }));
    QTreeView *view = d->findChild<QTreeView *>("treeView");
    QHeaderView *header = view->header();
    // Size, type and date columns show their texts whole (the view's own measure, margins in).
    auto columnsFit = [&] {
        for (int column = 1; column < header->count(); ++column)
            if (!header->isSectionHidden(column) && header->sectionSize(column) < static_cast<QAbstractItemView *>(view)->sizeHintForColumn(column))
                return false;
        return true;
    };
    EXPECT_TRUE(WaitFor(columnsFit));
    for (int column = 1; column < header->count(); ++column) {
        const QString text = view->model()->index(0, column, view->rootIndex()).data().toString();
        EXPECT_GT(header->sectionSize(column), view->fontMetrics().horizontalAdvance(text))
            << "column " << column << ": " << text.toStdString();
    }
    EXPECT_LE(header->length() - header->sectionSize(0), view->viewport()->width());
    // The size the user gives a dialog stays with it, also in the next run.
    d->resize(d->width() - 40, d->height() - 30);
    const QSize given = d->size();
    d->hide();
    d->show();
    EXPECT_EQ(d->size(), given);
    d->hide();
    form.reset();
    form = Start();
    EXPECT_EQ(form->FileDialog->size(), given);
    EXPECT_NE(form->SaveLogDialog->size(), given) << "each dialog keeps its own";
}

TEST_F(DesktopTest, ProtocolWrapsLongLinesAndTheTitleHasNoTrailingBlank)
{
    EXPECT_FALSE(form->windowTitle().endsWith(' '));
    EXPECT_EQ(form->windowTitle(), ApplicationTitle);
    EXPECT_FALSE(form->windowIcon().isNull());

    form->PageControl->setCurrentWidget(form->TabSheet5);
    form->AddProtocolText("Error server connection: Socket error: " + QString(300, 'x') + " (-2), on API 'getaddrinfo'");
    QApplication::processEvents();
    EXPECT_EQ(form->memoProtocol->horizontalScrollBar()->maximum(), 0) << "the line runs off the page";
}

TEST(PluginFolders, BesideTheProgramFirst)
{
    const QStringList folders = PluginFolders();
    ASSERT_FALSE(folders.isEmpty());
    EXPECT_EQ(folders.first(), ProgramFolder());
    EXPECT_EQ(FindPluginFile("no-such-plugin.so"), ProgramFolder() + "no-such-plugin.so");
}

} // namespace
