#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <xcb/xcb.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "about_dialog.h"
#include "dialog_units.h"
#include "encryption_app.h"
#include "fileops/file_format.h"
#include "fileops/file_operations.h"
#include "gui_test_support.h"
#include "main_dialog.h"
#include "support/child.h"
#include "support/headless_window.h"

using namespace Qt::StringLiterals;

namespace {

const QString kEnterKey = u"Please enter a key or select 'Generate Key'"_s;
const QString kInvalidKey = u"Invalid key format"_s;
const QString kNotEncrypted = u"This is not an encrypted file"_s;
const QString kEncrypted = u"Encryption complete. Please retain this key for future reference."_s;
const QString kDecrypted = u"Decryption complete"_s;
const QString kGoodKey = u"1234.5678.9ABC.DEFG"_s;
const QByteArray kMarker(reinterpret_cast<const char*>(EncryptedFileMarker.data()),
                         static_cast<qsizetype>(EncryptedFileMarker.size()));

qint64 EncryptedSize(qsizetype plainSize) {
    return static_cast<qint64>(EncryptedLength(static_cast<std::uint64_t>(plainSize)));
}

QByteArray RandomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : bytes) byte = static_cast<char>(generator.bounded(256));
    return bytes;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

// The file stream's box: no owner, no caption, OK and Cancel.
RecordedMessage StreamBox(const QString& text) {
    return {text, {}, nullptr, QMessageBox::Ok | QMessageBox::Cancel};
}

// Names each case of a table by its name.
const auto ByName = [](const auto& info) { return std::string(info.param.name); };

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { Open(); }
    // Starts the window as the program does, with startFile as its command line's FILE.
    void Open(const QString& startFile = QString()) {
        UiTestHooks().Reset();
        UiTestHooks().recording = true;
        ASSERT_TRUE(folder_.isValid());
        dialog_ = std::make_unique<CMainDialog>();
        if (!startFile.isEmpty()) dialog_->SelectStartFile(startFile);
        ASSERT_TRUE(ShowAndWaitForPage(*dialog_)) << "the page did not report in";
    }
    void TearDown() override {
        dialog_.reset();
        UiTestHooks().Reset();
    }

    CMainDialog& Dialog() { return *dialog_; }
    QString Path(const QString& name) const { return folder_.filePath(name); }
    QString WriteFile(const QString& name, const QByteArray& bytes) {
        QFile file(Path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        EXPECT_EQ(file.write(bytes), bytes.size());
        return file.fileName();
    }
    QString Value(const QString& id) { return PageValue(*dialog_, id); }
    void Click(const QString& id) { ClickElement(*dialog_, id); }

    // Select File, answered in advance with path.
    void SelectFile(const QString& path) {
        const int before = UiTestHooks().openFileRequests;
        UiTestHooks().openFileAnswers.push_back(path);
        Click(u"BOpenFile"_s);
        ASSERT_TRUE(WaitUntil([&] { return UiTestHooks().openFileRequests == before + 1; }));
        ASSERT_TRUE(WaitUntil([&] { return Value(u"input_file"_s) == path; }));
    }

    std::vector<RecordedMessage>& Messages() { return UiTestHooks().messages; }
    // A box of the window's own: owned by it, uncaptioned, with OK only.
    RecordedMessage OwnBox(const QString& text) {
        return {text, {}, dialog_.get(), QMessageBox::Ok};
    }
    // Clicks the button and waits for the operation to show a message and return.
    const RecordedMessage& RunUntilMessage(const QString& id) {
        const std::size_t before = Messages().size();
        Click(id);
        EXPECT_TRUE(WaitUntil(
            [&] { return Messages().size() > before && Dialog().RunningOperations() == 0; }));
        static const RecordedMessage none{};
        return Messages().size() > before ? Messages()[before] : none;
    }
    // Encrypts input with kGoodKey into reference.bin without the window, which tells what it saw.
    HeadlessWindow EncryptWithoutWindow(const QString& input) {
        HeadlessWindow headless;
        headless.SetPage(kGoodKey.toStdU16String(), input.toStdU16String(),
                         Path(u"reference.bin"_s).toStdU16String());
        EncryptFile(headless);
        return headless;
    }

    QTemporaryDir folder_;
    std::unique_ptr<CMainDialog> dialog_;
};

TEST_F(MainWindowTest, FrameHasCaptionFixedSizeMinimiseButNoMaximise) {
    EXPECT_EQ(Dialog().windowTitle(), u"VYX Encryption"_s);
    const QSize expected = CDialogUnits().Size(375, 225);
    EXPECT_EQ(Dialog().size(), expected);
    EXPECT_EQ(Dialog().minimumSize(), expected);
    EXPECT_EQ(Dialog().maximumSize(), expected);
    const Qt::WindowFlags flags = Dialog().windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Window);  // a window of its own, in the taskbar
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    const QList<QSize> sizes = Dialog().windowIcon().availableSizes();
    for (int side : {16, 32, 48}) EXPECT_TRUE(sizes.contains(QSize(side, side))) << side;
    // The page fills the whole client area.
    EXPECT_EQ(Dialog().View()->geometry(), Dialog().rect());
}

TEST_F(MainWindowTest, PageStartsEmptyWithItsCaptionsLabelsAndFonts) {
    // Font sizes to five characters; the buttons' font is Verdana in pixels, of any size.
    const QVariantMap page = RunScript(Dialog(), QStringLiteral(R"((function () {
        const byId = (id) => document.getElementById(id);
        const style = (element) => getComputedStyle(element);
        const label = (id) => document.querySelector('label[for="' + id + '"]');
        const result = { title: document.title, background: style(document.body).backgroundColor,
                         tables: document.querySelectorAll('table').length,
                         values: ['input_file', 'output_file', 'key', 'Complete', 'CompleteText'].map(
                             (id) => byId(id).tagName === 'INPUT' ? byId(id).value : byId(id).textContent).join(''),
                         labels: [byId(byId('input_file').getAttribute('aria-labelledby')), label('output_file'),
                                  label('key')].map((element) => element.textContent).join('|'),
                         sizes: byId('output_file').size + ' ' + byId('key').size,
                         labelFont: style(label('key')).fontFamily.split(',')[0] + ' ' + style(label('key')).fontSize.slice(0, 5),
                         inputFont: style(byId('key')).fontSize.slice(0, 5),
                         spanFont: style(byId('Complete')).fontSize.slice(0, 5),
                         aboutRight: byId('BHelpAbout').getBoundingClientRect().right > window.innerWidth / 2 };
        for (const id of ['BOpenFile', 'BHelpAbout', 'BGenerateKey', 'BEncrypt', 'BDecrypt', 'BExit']) {
            const font = style(byId(id)).fontFamily.split(',')[0] + ' ' + style(byId(id)).fontSize;
            result[id] = byId(id).textContent + ', ' + font.replace(/^(Verdana.*) [0-9.]+px$/, '$1 px') +
                (id === 'BHelpAbout' ? '' : ', ' + byId(id).offsetWidth);
        }
        return result;
    })())"))
                                 .toMap();
    const std::pair<const char*, QString> expected[] = {
        {"title", u""_s},
        {"background", u"rgb(211, 211, 211)"_s},
        {"tables", u"2"_s},
        {"values", u""_s},  // every field and status value empty
        {"labels", u"Input File|Ouput File|Key"_s},
        {"sizes", u"65 22"_s},
        {"labelFont", u"Arial 13.33"_s},  // 10 pt
        {"inputFont", u"10.66"_s},        // 8 pt
        {"spanFont", u"10.66"_s},
        {"aboutRight", u"true"_s},
        {"BOpenFile", u"Select File, Verdana px, 110"_s},
        {"BHelpAbout", u"About, Verdana px"_s},
        {"BGenerateKey", u"Generate Key, Verdana px, 110"_s},
        {"BEncrypt", u"Encrypt, Verdana px, 110"_s},
        {"BDecrypt", u"Decrypt, Verdana px, 110"_s},
        {"BExit", u"Exit, Verdana px, 110"_s}};
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(page.value(QString::fromUtf8(key), u"(none)"_s).toString(), value) << key;
    }
}

TEST_F(MainWindowTest, TabReachesEveryControlInPageOrder) {
    RunScript(Dialog(), u"document.activeElement.blur(); window.focus(); true"_s);
    QWidget* target = Dialog().View()->focusProxy();
    ASSERT_NE(target, nullptr);
    QStringList visited;
    for (int press = 0; press < 9; ++press) {
        QTest::keyClick(target, Qt::Key_Tab);
        QString id;
        WaitUntil(
            [&] {
                id = RunScript(Dialog(), u"document.activeElement.id"_s).toString();
                return !id.isEmpty() && !visited.contains(id);
            },
            5000);
        visited << id;
    }
    EXPECT_EQ(visited, (QStringList{"BOpenFile", "BHelpAbout", "BGenerateKey", "BEncrypt",
                                    "BDecrypt", "BExit", "input_file", "output_file", "key"}));
}

TEST_F(MainWindowTest, TypedKeysReachThePageValues) {
    RunScript(Dialog(), u"document.getElementById('key').focus(); true"_s);
    QTest::keyClicks(Dialog().View()->focusProxy(), kGoodKey);
    ASSERT_TRUE(WaitUntil([&] { return Value(u"key"_s) == kGoodKey; }));
    // The page has told every keystroke; a read now sees the whole text.
    ASSERT_TRUE(WaitUntil([&] {
        Dialog().ReadPageFields();
        return Dialog().Fields().key == kGoodKey.toStdU16String();
    }));
}

TEST_F(MainWindowTest, GenerateKeyFillsKeyAndRewritesEditedOutput) {
    const QString input = WriteFile(u"plain.txt"_s, "abc");
    SelectFile(input);
    const QString proposed = Path(u"plain_encr.txt"_s);
    TypeInto(Dialog(), u"output_file"_s, u"/somewhere/else"_s);
    Click(u"BGenerateKey"_s);
    const QRegularExpression keyText(u"^[0-9A-F]{4}(\\.[0-9A-F]{4}){3}$"_s);
    QString key;
    ASSERT_TRUE(WaitUntil([&] {
        key = Value(u"key"_s);
        return !key.isEmpty();
    }));
    EXPECT_TRUE(keyText.match(key).hasMatch()) << key.toStdString();
    EXPECT_EQ(Dialog().Fields().key, key.toStdU16String());
    // The page was not read first: the edited output went back to the held value.
    EXPECT_EQ(Value(u"output_file"_s), proposed);

    Click(u"BGenerateKey"_s);
    ASSERT_TRUE(WaitUntil([&] { return Value(u"key"_s) != key; }));
}

// The page is rewritten from the held values: a typed output and a typed key are replaced.
TEST_F(MainWindowTest, SelectFileProposesOutputAndRewritesThePage) {
    const std::pair<const char*, const char*> cases[] = {{"report.doc", "report_encr.doc"},
                                                         {"report_encr.doc", "report_decr.doc"},
                                                         {"notes", "notes_encr"}};
    for (const auto& [name, proposal] : cases) {
        const QString input = WriteFile(QString::fromUtf8(name), "x");
        TypeInto(Dialog(), u"output_file"_s, u"edited by hand"_s);
        TypeInto(Dialog(), u"key"_s, kGoodKey);
        SelectFile(input);
        EXPECT_EQ(Value(u"output_file"_s), Path(QString::fromUtf8(proposal)));
        EXPECT_EQ(Value(u"key"_s), QString());
        EXPECT_EQ(Dialog().Fields().inputFile, input.toStdU16String());
        EXPECT_EQ(Dialog().Fields().outputFile, Path(QString::fromUtf8(proposal)).toStdU16String());
    }
}

// Cancelled, it changes nothing: neither the typed values nor the held ones.
TEST_F(MainWindowTest, RealOpenFileDialogAsksForOneExistingFileAndCancels) {
    SelectFile(WriteFile(u"a.bin"_s, "a"));
    TypeInto(Dialog(), u"key"_s, kGoodKey);
    TypeInto(Dialog(), u"output_file"_s, u"typed"_s);
    const PageFields before = Dialog().Fields();
    const auto open = [&] { Click(u"BOpenFile"_s); };
    ASSERT_TRUE(AnswerModal<QFileDialog>(open, [&](QFileDialog& files) {
        EXPECT_EQ(files.fileMode(), QFileDialog::ExistingFile);
        EXPECT_EQ(files.acceptMode(), QFileDialog::AcceptOpen);
        EXPECT_EQ(files.nameFilters(), QStringList{u"All Files (*)"_s});
        EXPECT_EQ(files.parentWidget(), &Dialog());
        files.reject();
    }));
    EXPECT_EQ(Value(u"key"_s), kGoodKey);
    EXPECT_EQ(Value(u"output_file"_s), u"typed"_s);
    EXPECT_EQ(Value(u"input_file"_s), Path(u"a.bin"_s));
    EXPECT_EQ(Dialog().Fields().outputFile, before.outputFile);
    EXPECT_EQ(Dialog().Fields().key, before.key);
}

// The window turns its event loop and writes to the page on clocks, not at every value: the page
// still receives every status value the operation writes, in the order written.
TEST_F(MainWindowTest, EncryptThenDecryptRestoresTheFileShowingEveryStatusValue) {
    const QByteArray plain = RandomBytes(1 << 20, 7);
    const QString input = WriteFile(u"data.bin"_s, plain);
    QStringList expected;
    for (const std::u16string& value : EncryptWithoutWindow(input).StatusValues())
        expected << QString::fromStdU16String(value);
    SelectFile(input);
    Click(u"BGenerateKey"_s);
    ASSERT_TRUE(WaitUntil([&] { return !Value(u"key"_s).isEmpty(); }));
    RunScript(Dialog(), QStringLiteral(R"((function () {
        const row = document.getElementById('Complete');
        window.statusSeen = [];
        new MutationObserver(records => { for (const r of records)
            window.statusSeen.push([...r.addedNodes].map(n => n.textContent).join('')); })
            .observe(row, {childList: true});
    })())"));

    EXPECT_EQ(RunUntilMessage(u"BEncrypt"_s), OwnBox(kEncrypted));
    EXPECT_EQ(Value(u"CompleteText"_s), u"Complete"_s);
    EXPECT_EQ(RunScript(Dialog(), u"window.statusSeen"_s).toStringList(), expected);
    EXPECT_EQ(QFileInfo(Path(u"data_encr.bin"_s)).size(), EncryptedSize(plain.size()));

    SelectFile(Path(u"data_encr.bin"_s));
    EXPECT_EQ(RunUntilMessage(u"BDecrypt"_s), OwnBox(kDecrypted));
    EXPECT_EQ(Value(u"Complete"_s), u"100 %"_s);
    EXPECT_EQ(ReadAll(Path(u"data_decr.bin"_s)), plain);
}

struct Refusal {
    const char* name;
    const char* key;
    const char* button;
    bool encryptedInput;  // give the input the marker of an encrypted file
    QString message;
};

class RefusalTest : public MainWindowTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, ShowsItsMessageAndTouchesNoOutput) {
    const Refusal& c = GetParam();
    const QByteArray content =
        c.encryptedInput ? kMarker + QByteArray("payload") : QByteArray("plain");
    SelectFile(WriteFile(u"in.txt"_s, content));
    TypeInto(Dialog(), u"key"_s, QString::fromUtf8(c.key));
    RunUntilMessage(QString::fromUtf8(c.button));
    EXPECT_EQ(Messages(), std::vector{OwnBox(c.message)});
    EXPECT_FALSE(QFileInfo::exists(Path(u"in_encr.txt"_s)));
    EXPECT_EQ(Value(u"Complete"_s), QString());
    EXPECT_EQ(Value(u"CompleteText"_s), QString());
}

// Every refusal and its text is the operations' (their tests); here, each way one reaches the user.
INSTANTIATE_TEST_SUITE_P(
    Operations, RefusalTest,
    ::testing::Values(
        Refusal{"EncryptEmptyKey", "", "BEncrypt", false, kEnterKey},
        Refusal{"DecryptEmptyKey", "", "BDecrypt", true, kEnterKey},
        // The typed text reaches the operation as typed, not upper-cased.
        Refusal{"EncryptLowerCaseKey", "1234.5678.9abc.DEFG", "BEncrypt", false, kInvalidKey},
        Refusal{"DecryptPlainFile", "1234.5678.9ABC.DEFG", "BDecrypt", false, kNotEncrypted}),
    ByName);

TEST_F(MainWindowTest, RealMessageBoxIsModalOwnedAndUncaptioned) {
    UiTestHooks().recording = false;
    const auto open = [&] { Click(u"BEncrypt"_s); };
    ASSERT_TRUE(AnswerModal<QMessageBox>(open, [&](QMessageBox& box) {
        EXPECT_EQ(box.text(), kEnterKey);
        EXPECT_EQ(box.windowTitle(), QString());
        EXPECT_EQ(box.parentWidget(), &Dialog());
        box.button(QMessageBox::Ok)->click();
    }));
}

TEST_F(MainWindowTest, PageComesBackWithItsValuesAfterItsProcessDies) {
    const QString input = WriteFile(u"kept.txt"_s, "k");
    SelectFile(input);
    const qint64 renderer = Dialog().View()->page()->renderProcessPid();
    ASSERT_GT(renderer, 0);
    ::kill(static_cast<pid_t>(renderer), SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return !Dialog().IsPageReady(); }));
    ASSERT_TRUE(WaitUntil([&] { return Dialog().IsPageReady(); }));
    EXPECT_NE(Dialog().View()->page()->renderProcessPid(), renderer);
    EXPECT_EQ(Value(u"input_file"_s), input);
    EXPECT_EQ(Value(u"output_file"_s), Path(u"kept_encr.txt"_s));
    Click(u"BGenerateKey"_s);  // and the buttons work again
    ASSERT_TRUE(WaitUntil([&] { return !Value(u"key"_s).isEmpty(); }));
}

TEST_F(MainWindowTest, DroppedFileIsSelected) {
    const QString input = WriteFile(u"dropped.pdf"_s, "%PDF");
    QWidget* target = Dialog().View()->focusProxy();
    ASSERT_NE(target, nullptr);
    auto drop = [&](const QString& path, QEvent::Type type) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QDropEvent& event = type == QEvent::DragEnter ? enter : dropped;
        QApplication::sendEvent(target, &event);
        return event.isAccepted();
    };
    // A folder is no file to encrypt.
    EXPECT_FALSE(drop(folder_.path(), QEvent::DragEnter));
    EXPECT_FALSE(drop(folder_.path(), QEvent::Drop));
    EXPECT_TRUE(drop(input, QEvent::DragEnter));
    EXPECT_TRUE(drop(input, QEvent::Drop));
    ASSERT_TRUE(WaitUntil([&] { return Value(u"input_file"_s) == input; }));
    EXPECT_EQ(Value(u"output_file"_s), Path(u"dropped_encr.pdf"_s));
    // The page is still the program's own.
    EXPECT_EQ(Dialog().View()->url(), QUrl(u"qrc:/page/main.html"_s));
}

// Started with a FILE on the command line, as a file manager's "Open With" starts it.
class StartFileTest : public MainWindowTest {
  protected:
    void SetUp() override {}  // each test opens the window with its own FILE
    void ExpectEmpty(std::initializer_list<const char*> ids) {
        for (const char* id : ids) EXPECT_EQ(Value(QString::fromUtf8(id)), QString()) << id;
    }
};

TEST_F(StartFileTest, RelativeFileIsSelectedWithItsProposal) {
    const QString input = WriteFile(u"report.doc"_s, "r");
    const QString here = QDir::currentPath();
    QDir::setCurrent(folder_.path());
    Open(u"report.doc"_s);
    QDir::setCurrent(here);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(Value(u"input_file"_s), input);
    EXPECT_EQ(Value(u"output_file"_s), Path(u"report_encr.doc"_s));
    ExpectEmpty({"key", "Complete", "CompleteText"});
    EXPECT_TRUE(Messages().empty());
}

struct UnusableStart {
    const char* name;
    const char* path;  // %1: the test's folder
    const char* text;  // %1: the path
};

class UnusableStartTest : public StartFileTest,
                          public ::testing::WithParamInterface<UnusableStart> {};

// The stream's box has no owner and no caption, and offers Cancel (during a run too: LongRunTest).
TEST_P(UnusableStartTest, ShowsTheStreamsBoxAndStartsEmpty) {
    QString path = QString::fromUtf8(GetParam().path);
    if (path.contains(u"%1"_s)) path = path.arg(folder_.path());
    ASSERT_NO_FATAL_FAILURE(Open(path));
    ASSERT_TRUE(WaitUntil([&] { return !Messages().empty(); }));
    EXPECT_EQ(Messages(), std::vector{StreamBox(QString::fromUtf8(GetParam().text).arg(path))});
    ExpectEmpty({"input_file", "output_file", "key", "Complete", "CompleteText"});
    EXPECT_TRUE(Dialog().Fields().inputFile.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnusableStartTest,
    ::testing::Values(
        UnusableStart{"Missing", "%1/missing.bin", "File could not be opened: %1 was not found."},
        UnusableStart{"Folder", "%1", "File could not be opened: Access to %1 was denied."},
        UnusableStart{"Device", "/dev/null", "File could not be opened: Access to %1 was denied."}),
    ByName);

// A 300-character path keeps to one line with its file name shown, leaves every element inside
// the window, and is what the operation uses.
TEST_F(StartFileTest, LongPathKeepsThePageInsideTheWindow) {
    const QString name = u"/quarterly_report.doc"_s;
    QString folder = folder_.path();
    // Folders of 16 characters, then a last one of at least one that makes up the rest.
    while (folder.size() + name.size() + 16 + 2 <= 300) folder += u"/a_deeper_folder"_s;
    folder += u"/"_s + QString(300 - folder.size() - name.size() - 1, QChar(u'z'));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString input = folder + name;
    ASSERT_EQ(input.size(), 300);
    ASSERT_TRUE(QFile::copy(WriteFile(u"plain"_s, "long way down"), input));
    ASSERT_NO_FATAL_FAILURE(Open(input));
    TypeInto(Dialog(), u"key"_s, kGoodKey);
    EXPECT_EQ(RunUntilMessage(u"BEncrypt"_s), OwnBox(kEncrypted));
    EXPECT_EQ(ReadAll(folder + u"/quarterly_report_encr.doc"_s).size(), EncryptedSize(13));

    const QVariantMap page = RunScript(Dialog(), QStringLiteral(R"((function () {
        const span = document.getElementById('input_file');
        const [folders, name] = span.children.length === 2 ? span.children : [span, span];
        const outside = [...document.querySelectorAll('[id]')].filter((e) => {
            const box = e.getBoundingClientRect();
            return box.bottom > window.innerHeight || box.right > window.innerWidth;
        }).map((e) => e.id);
        return { text: span.textContent, title: span.title, outside: outside,
                 nameWhole: name.scrollWidth <= name.clientWidth,
                 foldersCut: folders.scrollWidth > folders.clientWidth };
    })())"))
                                 .toMap();
    EXPECT_EQ(page["text"].toString(), input);
    EXPECT_EQ(page["title"].toString(), input);
    EXPECT_EQ(page["outside"].toStringList(), QStringList());
    EXPECT_TRUE(page["nameWhole"].toBool());
    EXPECT_TRUE(page["foldersCut"].toBool());
    EXPECT_EQ(Value(u"Complete"_s), u"100 %"_s);
}

struct AboutCase {
    const char* name;
    int command;    // 0: the About button; otherwise the system command sent
    int closeWith;  // the key that closes the box, 0: the close box
    int result;
};

class AboutBoxTest : public MainWindowTest, public ::testing::WithParamInterface<AboutCase> {};

TEST_P(AboutBoxTest, ShowsTheSameBoxAndCloses) {
    const AboutCase& c = GetParam();
    int result = -1;
    const auto open = [&] {
        c.command == 0 ? Click(u"BHelpAbout"_s)
                       : Dialog().OnSysCommand(static_cast<unsigned>(c.command), 0);
    };
    ASSERT_TRUE(AnswerModal<CAboutDialog>(open, [&](CAboutDialog& about) {
        EXPECT_EQ(about.windowTitle(), u"Vyx Encryption"_s);
        QStringList texts;
        for (QLabel* label : about.findChildren<QLabel*>())
            if (!label->text().isEmpty()) texts << label->text();
        EXPECT_EQ(texts, (QStringList{u"VYX 128 bit data encryption\nVersion 1.02"_s,
                                      u"Encryption may assist in protecting the contents of a "
                                      "message. There is no guarantee that an orgininal message "
                                      "cannot be recovered from the encrypted data in part or in "
                                      "full."_s,
                                      u"This system should not be used in cases where loss or "
                                      "damage could occur should an original message be "
                                      "recovered."_s}));
        const QPushButton& ok = *about.OkButton();
        EXPECT_TRUE(ok.isDefault() && ok.text() == u"OK"_s);
        EXPECT_TRUE(ok.x() > about.width() / 2 && ok.y() < about.height() / 4);  // top right
        EXPECT_FALSE(about.IconLabel()->pixmap().isNull());
        QObject::connect(&about, &QDialog::finished, [&](int code) { result = code; });
        c.closeWith != 0 ? QTest::keyClick(&about, static_cast<Qt::Key>(c.closeWith))
                         : (void)about.close();
    }));
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(Dialog().isVisible());  // the main window stays
}

INSTANTIATE_TEST_SUITE_P(Openers, AboutBoxTest,
                         ::testing::Values(AboutCase{"ButtonEscape", 0, Qt::Key_Escape, 2},
                                           AboutCase{"ButtonEnter", 0, Qt::Key_Return, 1},
                                           AboutCase{"Command10CloseBox", 0x10, 0, 2},
                                           AboutCase{"Command13Enter", 0x13, Qt::Key_Enter, 1},
                                           AboutCase{"Command1FEscape", 0x1F, Qt::Key_Escape, 2}),
                         ByName);

TEST_F(MainWindowTest, OtherSystemCommandsOpenNoAboutBox) {
    for (unsigned command : {0x0000u, 0x000Fu, 0x0020u, 0x0110u, 0xF010u}) {
        bool opened = false;
        OnNextModal(
            [&](QWidget& box) {
                opened = true;
                return box.close();
            },
            200);
        Dialog().OnSysCommand(command, 0);
        WaitUntil([] { return false; }, 250);  // give a wrongly opened box the time to show
        EXPECT_FALSE(opened) << command;
        EXPECT_TRUE(Dialog().isVisible()) << command;
    }
}

// Exit ends the run with Cancel, as the program runs the window.
TEST(MainWindowModal, DoModalReturnsCancelAfterExit) {
    UiTestHooks().Reset();
    CMainDialog dialog;
    // Written before the page exists: the page shows it once it has loaded.
    dialog.Fields().key = u"KEPT.OVER.LOAD.0000";
    dialog.WritePageFields();
    QString keyShown;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!dialog.IsPageReady() || !keyShown.isEmpty()) return;
        keyShown = PageValue(dialog, u"key"_s);
        ClickElement(dialog, u"BExit"_s);
    });
    poll.start(20);
    QTimer::singleShot(60000, &dialog, [&] { dialog.EndDialog(-1); });  // a hung test ends
    EXPECT_EQ(dialog.DoModal(), 2);
    EXPECT_EQ(keyShown, u"KEPT.OVER.LOAD.0000"_s);
}

// Runs act once from inside the first pump of the operation started by clicking button.
class LongRunTest : public MainWindowTest {
  protected:
    static constexpr qsizetype kLargeFile = 48 * 1024 * 1024;

    void SetUp() override {
        MainWindowTest::SetUp();
        if (HasFatalFailure()) return;
        input_ = WriteFile(u"large.bin"_s, RandomBytes(kLargeFile, 3));
        SelectFile(input_);
        TypeInto(Dialog(), u"key"_s, kGoodKey);
    }

    // Clicks button; from inside the first pump that finds the run going, calls act and then lets
    // events through until arrived() holds, so what act sent reaches the window during the run.
    // The wait runs from a posted call, not from the polling timer itself: while a timer's own
    // handler is running, the event loop fires no other timers, the browser engine's included.
    void RunWith(const QString& button, const std::function<void()>& act,
                 const std::function<bool()>& arrived) {
        bool acted = false;
        bool arrivedDuringRun = false;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (acted || Dialog().RunningOperations() == 0 ||
                Dialog().Fields().completeText != u"Complete")
                return;
            acted = true;
            timer.stop();
            QMetaObject::invokeMethod(
                &Dialog(),
                [&] {
                    act();
                    arrivedDuringRun = WaitUntil(arrived, 30000);
                },
                Qt::QueuedConnection);
        });
        timer.start(1);
        Click(button);
        ASSERT_TRUE(WaitUntil([&] { return acted; }, 60000));
        ASSERT_TRUE(WaitUntil([&] { return Dialog().RunningOperations() == 0; }, 120000));
        EXPECT_TRUE(arrivedDuringRun);
    }
    // Clicks an element without waiting for the page's answer (the caller is inside a pump).
    void ClickSoon(const QString& id) {
        Dialog().View()->page()->runJavaScript(u"document.getElementById('%1').click()"_s.arg(id));
    }
    // Whether the run's output is what the operation makes of the input with the typed key.
    bool OutputIsTheOperations() {
        EncryptWithoutWindow(input_);
        return ReadAll(Path(u"reference.bin"_s)) == ReadAll(Path(u"large_encr.bin"_s));
    }

    QString input_;
};

// During a run, the close box (false) or a click on Exit (true) stops it, and no output stays.
class StopLongRunTest : public LongRunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StopLongRunTest, EndsTheRunWithCancelAndLeavesNoOutput) {
    RunWith(
        u"BEncrypt"_s, [&] { GetParam() ? ClickSoon(u"BExit"_s) : (void)Dialog().close(); },
        [&] { return Dialog().StopRequested(); });
    ASSERT_TRUE(WaitUntil([&] { return !Dialog().isVisible(); }));
    EXPECT_EQ(Dialog().result(), 2);
    EXPECT_FALSE(QFileInfo::exists(Path(u"large_encr.bin"_s)));
    EXPECT_TRUE(Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Ways, StopLongRunTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ExitClicked" : "CloseBox";
                         });

// The page's click reached the window and waits in the queue when the close comes: no run, and
// the window ends with Cancel as the close box does outside a run.
TEST_F(LongRunTest, ClickStillQueuedWhenTheCloseComesStartsNoRun) {
    auto* bridge = Dialog().findChild<CPageBridge*>();
    ASSERT_NE(bridge, nullptr);
    bridge->click(u"BEncrypt"_s, {}, 0);
    Dialog().close();
    WaitUntil([] { return false; }, 500);  // time for a wrongly started run to finish
    EXPECT_FALSE(Dialog().isVisible());
    EXPECT_EQ(Dialog().result(), 2);
    EXPECT_FALSE(QFileInfo::exists(Path(u"large_encr.bin"_s)));
    EXPECT_TRUE(Messages().empty());
}

// A run started from a pump reads the page, which every pump rewrites from the held values: it
// works on the same files, and the stream refuses it the output the outer run is writing.
TEST_F(LongRunTest, EncryptClickedDuringRunIsRefusedByTheStreamAndTheRunCompletes) {
    RunWith(
        u"BEncrypt"_s, [&] { ClickSoon(u"BEncrypt"_s); }, [&] { return !Messages().empty(); });
    const QString inUse =
        u"File could not be opened: A sharing violation occurred while "
        "accessing %1."_s.arg(Path(u"large_encr.bin"_s));
    EXPECT_EQ(Messages(), (std::vector{StreamBox(inUse), OwnBox(kEncrypted)}));
    EXPECT_TRUE(OutputIsTheOperations());
    EXPECT_EQ(Value(u"Complete"_s), u"100 %"_s);
    EXPECT_TRUE(Dialog().isVisible());
}

// Generate Key from a pump changes the page's key; the running operation keeps the key it read.
TEST_F(LongRunTest, GenerateKeyDuringRunLeavesTheRunsKey) {
    RunWith(
        u"BEncrypt"_s, [&] { ClickSoon(u"BGenerateKey"_s); },
        [&] { return Dialog().Fields().key != kGoodKey.toStdU16String(); });
    EXPECT_EQ(Messages(), std::vector{OwnBox(kEncrypted)});
    const QString newKey = Value(u"key"_s);
    EXPECT_NE(newKey, kGoodKey);
    EXPECT_EQ(newKey.size(), 19);
    EXPECT_EQ(Dialog().Fields().key, newKey.toStdU16String());
    EXPECT_TRUE(OutputIsTheOperations());
}

// --- The real program on an X server of its own, driven as a user drives it: clicks through the
// X test extension, the close message the title bar's close box sends, signals from outside. ---

// Where the page's buttons are, as the page lays itself out (the same in every window).
std::map<QString, QPoint> ButtonCentres() {
    static std::map<QString, QPoint> centres;
    if (!centres.empty()) return centres;
    UiTestHooks().Reset();
    CMainDialog dialog;
    if (!ShowAndWaitForPage(dialog)) return centres;
    const QVariantMap found = RunScript(dialog, QStringLiteral(R"((function () {
        const result = {};
        for (const id of ['BGenerateKey', 'BEncrypt', 'BDecrypt']) {
            const r = document.getElementById(id).getBoundingClientRect();
            result[id] = [Math.round(r.left + r.width / 2), Math.round(r.top + r.height / 2)];
        }
        return result;
    })())"))
                                  .toMap();
    for (auto it = found.begin(); it != found.end(); ++it) {
        const QVariantList xy = it.value().toList();
        centres[it.key()] = QPoint(xy.value(0).toInt(), xy.value(1).toInt());
    }
    return centres;
}

// Starts an X server of its own and returns its display (":N"), once a client can connect to it;
// empty when it did not come up within 30 s. Without -noreset the server resets each time its last
// client leaves (our probe below, every xdotool), and a client that connects during the reset is
// dropped: the program then dies with "could not connect to display".
QString StartXServer(QProcess& server) {
    server.start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s, u"-noreset"_s});
    QByteArray number;
    QDeadlineTimer deadline(30000);
    while (!number.endsWith('\n') && !deadline.hasExpired()) {
        if (server.waitForReadyRead(100)) number += server.readAllStandardOutput();
        if (server.state() == QProcess::NotRunning) return {};
    }
    QString display = u":"_s + QString::fromLatin1(number.trimmed());
    while (!deadline.hasExpired()) {
        xcb_connection_t* connection = xcb_connect(display.toLatin1().constData(), nullptr);
        const bool connected = xcb_connection_has_error(connection) == 0;
        xcb_disconnect(connection);
        if (connected) return display;
        QThread::msleep(50);
    }
    return {};
}

// The real program on an X server of its own, started as a desktop starts it: no signal blocked or
// ignored (a test runner may do either), its standard error kept in a file.
class XProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool"}) {
            if (QStandardPaths::findExecutable(QString::fromUtf8(tool)).isEmpty())
                GTEST_SKIP() << tool << " is missing: the window is driven on a real X server "
                             << "(packages xvfb, xdotool)";
        }
        display_ = StartXServer(server_);
        ASSERT_FALSE(display_.isEmpty()) << "Xvfb did not start";
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            WaitChild(pid_);
        }
        server_.kill();
        server_.waitForFinished(10000);
    }

    // Starts the program with file as its FILE; with diagnostics, it tells when its page is shown.
    void Start(const QString& file, bool diagnostics) {
        const char* diagnosticsVariable = CEncryptionApp::kDiagnosticsVariable;
        std::vector<std::string> environment =
            EnvironmentWithout({"DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR",
                                "DBUS_SESSION_BUS_ADDRESS", diagnosticsVariable});
        // A desktop session names its message bus, here one that is not there. With no name at
        // all, the accessibility bridge's bus connection forks a launcher off the program's
        // threads, and under the address sanitizer that child can hang on the sanitizer's lock
        // before it execs, with the program waiting on it before its first window.
        environment.insert(
            environment.end(),
            {"DISPLAY=" + display_.toStdString(), "QT_QPA_PLATFORM=xcb",
             "XDG_RUNTIME_DIR=" + runtime_.path().toStdString(),
             "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_.filePath(u"no-bus"_s).toStdString()});
        if (diagnostics) environment.push_back(std::string(diagnosticsVariable) + "=1");
        const int errors = ::open(Errors().toLocal8Bit().constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(errors, 0);
        pid_ = StartCommand({.args = {VYX_ENCRYPTION_PROGRAM, file.toStdString()},
                             .environment = environment,
                             .err = errors,
                             .defaultSignals = true});
        ::close(errors);
    }
    // Starts the program with file as its FILE, waits until its page is shown, then clicks
    // Generate Key and button.
    void LaunchAndClick(const QString& file, const QString& button) {
        buttons_ = ButtonCentres();
        ASSERT_EQ(buttons_.size(), 3u) << "the page did not report in";
        ASSERT_NO_FATAL_FAILURE(Start(file, true));
        ASSERT_TRUE(WaitUntil([&] { return ReadAll(Errors()).contains("page shown"); }, 60000))
            << "the page did not show";
        window_ = Tool(u"xdotool"_s, {u"search"_s, u"--sync"_s, u"--onlyvisible"_s, u"--name"_s,
                                      u"^VYX Encryption$"_s})
                      .section(u'\n', 0, 0)
                      .toUInt();
        ASSERT_NE(window_, 0u);
        Click(u"BGenerateKey"_s);
        Click(button);
    }
    QString Errors() const { return runtime_.filePath(u"stderr"_s); }
    // Makes input.bin in the test's folder, of size bytes that take no room (zero bytes).
    QString WriteInput(qint64 size) {
        QFile file(folder_.filePath(u"input.bin"_s));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(size));
        return file.fileName();
    }
    void Click(const QString& id) {
        const QPoint at = buttons_.at(id);
        Tool(u"xdotool"_s, {u"mousemove"_s, u"--window"_s, QString::number(window_),
                            QString::number(at.x()), QString::number(at.y()), u"click"_s, u"1"_s});
    }
    // The program's mapped top-level windows: the main window, and a box when one is up.
    QStringList VisibleWindows() {
        return Tool(u"xdotool"_s,
                    {u"search"_s, u"--onlyvisible"_s, u"--classname"_s, u"^vyx-encryption$"_s})
            .split(u'\n', Qt::SkipEmptyParts);
    }
    // The program's wait status once it has ended within timeoutMs, or nothing.
    std::optional<int> WaitForEnd(int timeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        do {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return status;
            }
            QThread::msleep(10);
        } while (!deadline.hasExpired());
        return std::nullopt;
    }

    // Sends the message of the title bar's close box as a window manager sends it: over a
    // connection that stays open until the server has taken the message. (The X server drops
    // what a client sent just before it hung up, if it had not read it yet.)
    void SendClose() const {
        xcb_connection_t* connection = xcb_connect(display_.toLocal8Bit().constData(), nullptr);
        ASSERT_EQ(xcb_connection_has_error(connection), 0);
        auto atom = [&](std::string_view name) {
            xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
                connection,
                xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()),
                                name.data()),
                nullptr);
            const xcb_atom_t value = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
            std::free(reply);
            return value;
        };
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window_;
        message.type = atom("WM_PROTOCOLS");
        message.data.data32[0] = atom("WM_DELETE_WINDOW");
        message.data.data32[1] = XCB_CURRENT_TIME;
        std::array<char, sizeof message> bytes{};
        std::memcpy(bytes.data(), &message, sizeof message);
        xcb_send_event(connection, 0, window_, XCB_EVENT_MASK_NO_EVENT, bytes.data());
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
        xcb_disconnect(connection);
    }

    QString Tool(const QString& tool, const QStringList& arguments) const {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DISPLAY"_s, display_);
        process.setProcessEnvironment(environment);
        process.start(tool, arguments);
        process.waitForFinished(20000);
        return QString::fromUtf8(process.readAllStandardOutput());
    }
    pid_t pid_ = 0;
    unsigned window_ = 0;
    // A desktop session has one, for its owner only (as a temporary folder is made); without it
    // the toolkit complains.
    QTemporaryDir runtime_;
    QTemporaryDir folder_;

  private:
    QProcess server_;
    QString display_;
    std::map<QString, QPoint> buttons_;
};

// Started with a missing FILE: the stream's box reaches the window manager with an empty caption,
// the window with its own, and nothing is printed.
TEST_F(XProgramTest, MissingFileStartIsSilentAndItsBoxUncaptioned) {
    if (QStandardPaths::findExecutable(u"xprop"_s).isEmpty())
        GTEST_SKIP() << "xprop is missing: it reads what a window manager reads (x11-utils)";
    ASSERT_NO_FATAL_FAILURE(Start(runtime_.filePath(u"missing.bin"_s), false));
    QStringList windows;
    ASSERT_TRUE(WaitUntil(
        [&] {
            windows = VisibleWindows();
            return windows.size() == 2;
        },
        90000))
        << "the box did not appear; mapped: " << windows.join(u' ').toStdString()
        << "; its errors: " << ReadAll(Errors()).toStdString();
    QStringList captions;
    for (const QString& id : windows) {
        captions << Tool(u"xprop"_s, {u"-id"_s, id, u"WM_NAME"_s, u"_NET_WM_NAME"_s}).simplified();
    }
    captions.sort();
    EXPECT_EQ(captions, (QStringList{
                            u"WM_NAME(STRING) = \"VYX Encryption\" "
                            "_NET_WM_NAME(UTF8_STRING) = \"VYX Encryption\""_s,
                            u"WM_NAME(STRING) = _NET_WM_NAME(UTF8_STRING) ="_s,
                        }));
    EXPECT_EQ(QString::fromUtf8(ReadAll(Errors())), QString());
}

QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

struct BoxCase {
    const char* name;
    int signal;
    const char* button;
    qsizetype inputSize;
    bool outputDirectory;  // a folder where the output would go: the stream's own box
    bool outputKept;       // the box came after the output was complete
};

class SignalDuringBoxTest : public XProgramTest, public ::testing::WithParamInterface<BoxCase> {};

// A termination signal while a run's box is up closes the box, and the program ends by the signal
// at once, leaving an output only where the run had completed it.
TEST_P(SignalDuringBoxTest, EndsTheProgramPromptlyByTheSignal) {
    const BoxCase& c = GetParam();
    const QString input = WriteInput(c.inputSize);
    const QString output = folder_.filePath(u"input_encr.bin"_s);
    ASSERT_TRUE(!c.outputDirectory || QDir().mkdir(output));
    const QStringList before = Entries(folder_.path());

    ASSERT_NO_FATAL_FAILURE(LaunchAndClick(input, QString::fromUtf8(c.button)));
    ASSERT_TRUE(WaitUntil([&] { return VisibleWindows().size() == 2; }, 30000)) << "no box came up";
    ::kill(pid_, c.signal);
    // Prompt is well under a second on a quiet machine; a loaded one may take a few to tear the
    // browser engine down. Unmended, the program waits for the box for as long as it is up.
    const std::optional<int> status = WaitForEnd(10000);

    ASSERT_TRUE(status.has_value()) << "still running 10 s after the signal";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == c.signal) << *status;
    EXPECT_EQ(Entries(folder_.path()),
              c.outputKept ? before + QStringList{u"input_encr.bin"_s} : before);
    if (c.outputKept) {
        EXPECT_EQ(QFileInfo(output).size(), EncryptedSize(c.inputSize));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, SignalDuringBoxTest,
    ::testing::Values(BoxCase{"TermOverCompletion", SIGTERM, "BEncrypt", 100000, false, true},
                      BoxCase{"IntOverEmptyInputWarning", SIGINT, "BDecrypt", 0, false, false},
                      BoxCase{"HupOverStreamsBox", SIGHUP, "BEncrypt", 100000, true, false}),
    ByName);

class CloseAfterClickTest : public XProgramTest, public ::testing::WithParamInterface<int> {};

// The close box pressed this many milliseconds after a click on Encrypt, before the run has
// started or while it runs: the run stops, and the program ends, leaving the folder as it was.
TEST_P(CloseAfterClickTest, EndsTheProgramAndLeavesNoOutput) {
    // Long enough that no run ends on its own in the test; small enough that the percentage, which
    // the window pumps at, changes often in a slow (sanitized) build too.
    const QString input = WriteInput(qint64{8} << 30);
    const QStringList before = Entries(folder_.path());

    ASSERT_NO_FATAL_FAILURE(LaunchAndClick(input, u"BEncrypt"_s));
    QThread::msleep(static_cast<unsigned long>(GetParam()));
    SendClose();
    const std::optional<int> status = WaitForEnd(10000);

    ASSERT_TRUE(status.has_value()) << "still running 10 s after the close";
    EXPECT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_EQ(Entries(folder_.path()), before);
}

// Fine steps over the moment the click is on its way to the run, where a lost close was seen.
INSTANTIATE_TEST_SUITE_P(Delays, CloseAfterClickTest,
                         ::testing::Values(0, 25, 50, 100, 200, 400, 800, 1500));

}  // namespace
