// The monitor page on its own (no DTM): the trimming rule, the saved bytes, a failed save,
// the pause and the line copy, under the offscreen platform.

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "os/MessageBox.h"
#include "support/QtWait.h"
#include "support/TempDir.h"
#include "ui/CtlMonitor.h"
#include "ui/SaveDialog.h"

namespace {

using tivmate::ui::CtlMonitor;

using qttest::App;

std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ASSERT_EQ(CtlMonitor::createInstance(fdt::IMonitorView::iid, view_.putVoid()), com::S_OK);
        monitor_ = static_cast<CtlMonitor*>(view_.get());
        page_ = monitor_->Widget();
        box_ = page_->findChild<QPlainTextEdit*>("RichTextBoxComm");
        ASSERT_TRUE(box_);
    }
    void Lines(std::initializer_list<const char*> lines) {
        for (const char* l : lines) view_->MessageLine(l, 0xFF0000);
        monitor_->Flush();
    }
    QPushButton* Button(const char* name) { return page_->findChild<QPushButton*>(name); }

    com::ComPtr<fdt::IMonitorView> view_;
    CtlMonitor* monitor_ = nullptr;
    QWidget* page_ = nullptr;
    QPlainTextEdit* box_ = nullptr;
};

TEST_F(Monitor, TrimsTheOldestTwentyLinesOrUpToTheLastBreak) {
    std::vector<std::string> numbered;
    for (int i = 1; i <= 25; ++i) numbered.push_back(std::string(40, static_cast<char>('a' + i)));
    const std::string big(1200, 'x');
    const struct {
        std::vector<std::string> before;
        std::string first;  // the box's first line after one more line "new"
        int lines;          // lines left in the box
    } cases[] = {
        // 25 lines of 42 characters (1050) are over the limit less 1000: 20 breaks go.
        {numbered, numbered[19], 7},
        // Fewer breaks than that: everything up to the last one goes.
        {{big, "b", "c", "d", "e"}, "e", 2},
        // A line holding its own CR LF counts as two.
        {{big + "\r\ny", "z"}, "z", 2},
        // Under the limit nothing goes: the box still starts with an empty line.
        {{"a", "b", "c"}, "", 5},
    };
    for (const auto& c : cases) {
        Button("btnClear")->click();
        monitor_->SetMaxLength(CtlMonitor::kMaxLength);
        for (const auto& l : c.before) view_->MessageLine(l, 0);
        monitor_->Flush();
        monitor_->SetMaxLength(2000);
        Lines({"new"});
        SCOPED_TRACE(c.first);
        EXPECT_EQ(box_->toPlainText().section('\n', 0, 0).toStdString(), c.first);
        EXPECT_EQ(box_->document()->blockCount(), c.lines);
        // The count the rule works on follows the text (breaks as CR LF).
        EXPECT_EQ(monitor_->Length(), monitor_->SaveText().size() - 2);
    }
}

TEST_F(Monitor, SavesWholeOrNotAtAllAndSaysSo) {
    Lines({"one\ttab", "two\r\nembedded"});
    const std::string saved = "\r\none\ttab\r\ntwo\r\nembedded\r\n";
    testsupport::TempDir dir{"monitor-save"};
    const auto file = dir / "lines.txt";
    std::optional<std::filesystem::path> answer;
    tivmate::ui::SetSaveFileHandler([&](QWidget*) { return answer; });
    std::vector<std::string> boxes;
    os::ScopedMessageBoxHandler spy(
        [&](const std::string& text, const std::string&, std::uint32_t) {
            boxes.push_back(text);
            return os::IDOK;
        });

    Button("btnSave")->click();  // cancelled
    EXPECT_FALSE(std::filesystem::exists(file));
    answer = file;
    Button("btnSave")->click();
    EXPECT_EQ(ReadAll(file), saved);
    EXPECT_TRUE(boxes.empty());

    // A disk that fills up, and (unless root, who may write anyway) a read-only folder: the
    // old file stays whole and the user is told.
    Lines({std::string(200, 'z').c_str()});
    const auto fullDisk = [] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        rlimit tight = limit;
        tight.rlim_cur = 64;
        ::setrlimit(RLIMIT_FSIZE, &tight);
        return limit;
    };
    {
        const rlimit old = fullDisk();
        Button("btnSave")->click();
        ::setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(ReadAll(file), saved);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_NE(boxes[0].find(file.string()), std::string::npos);
    }
    if (::geteuid() != 0) {
        namespace fs = std::filesystem;
        fs::permissions(dir.path(), fs::perms::owner_write, fs::perm_options::remove);
        Button("btnSave")->click();
        fs::permissions(dir.path(), fs::perms::owner_write, fs::perm_options::add);
        EXPECT_EQ(ReadAll(file), saved);
        EXPECT_EQ(boxes.size(), 2u);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    tivmate::ui::SetSaveFileHandler({});
}

TEST_F(Monitor, PauseKeepsCollectingAndCopyTakesWholeLines) {
    Lines({"first", "second"});
    Button("btnPause")->click();
    view_->MessageLine("third", 0);
    QApplication::processEvents();
    EXPECT_EQ(box_->document()->blockCount(), 3);
    Button("btnPause")->click();
    EXPECT_EQ(box_->toPlainText().toStdString(), "\nfirst\nsecond\nthird");

    // A selection from inside "first" to inside "second" copies both lines whole.
    QTextCursor c(box_->document());
    c.setPosition(3);
    c.setPosition(9, QTextCursor::KeepAnchor);
    box_->setTextCursor(c);
    Button("btnCopy")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "first\r\nsecond");
}

TEST_F(Monitor, FindGoesOnFromTheLastMatchAndWrapsAround) {
    Lines({"alpha", "beta", "alpha 2"});
    auto* find = page_->findChild<QLineEdit*>("txtFind");
    QTest::keyClicks(find, "alpha");
    for (int expectedLine : {1, 3, 1}) {
        QTest::keyClick(find, Qt::Key_Return);
        EXPECT_EQ(box_->textCursor().blockNumber(), expectedLine);
        EXPECT_EQ(box_->textCursor().selectedText(), "alpha");
    }
}

TEST_F(Monitor, SaveButtonPaintsWhileHeld) {
    tivmate::ui::SetSaveFileHandler([](QWidget*) { return std::nullopt; });
    QPushButton* save = Button("btnSave");
    const auto colour = [&] { return save->palette().color(QPalette::Button); };
    EXPECT_EQ(colour(), QColor(230, 241, 250));
    QTest::mousePress(save, Qt::LeftButton);
    EXPECT_EQ(colour(), QColor(75, 115, 188));
    QTest::mouseRelease(save, Qt::RightButton);
    EXPECT_EQ(colour(), QColor(75, 115, 188));
    QTest::mouseRelease(save, Qt::LeftButton);
    EXPECT_EQ(colour(), QColor(230, 241, 250));
    tivmate::ui::SetSaveFileHandler({});
}

}  // namespace
