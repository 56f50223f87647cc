// Settings and names files in both windows, and the file list frame.
#include "control/Guid.h"
#include "control/Open.h"
#include "control_fixture.h"
#include "ui_Guid.h"
#include "ui_Player.h"

#include <QListWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <sys/stat.h>

using namespace testing_support;

namespace {

class Settings : public ControlFixture {
protected:
    void SetUp() override {
        ControlFixture::SetUp();
        // These tests need no relays: a missing relay program starts fast.
        setenv("VORBELT_RELAY_PROGRAM", "/nonexistent/brellon", 1);
    }
    void TearDown() override {
        TFrame1::setDialogHook({});
        ControlFixture::TearDown();
    }
    void writeFile(const std::string& name, const std::string& bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    }
    std::string readFile(const std::string& name) {
        std::ifstream f(dir + "/" + name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    Ui::Form1& ui() { return *form->ui(); }
};

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

} // namespace

TEST_F(Settings, WithoutFilesTheDefaultsHold) {
    start();
    EXPECT_EQ(form->cameraCount(), 4);
    EXPECT_EQ(ui().Memo1->toPlainText(), "1. camera\n2. camera\n3. camera\n4. camera");
    const vorbelt::Settings s = form->settingsPanel().settings();
    EXPECT_EQ(vorbelt::encodeSettings(s), vorbelt::encodeSettings(vorbelt::Settings{}));
    EXPECT_FALSE(form->transparencyFlag);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Settings, AFiveByteFileSetsTheFirstFiveFields) {
    writeFile("setting.cfg", bytes({2, 0, 1, 0, 7}));
    start();
    EXPECT_TRUE(ui().RadioGroup1Item2->isChecked());
    EXPECT_FALSE(ui().CheckBox1->isChecked());
    EXPECT_TRUE(ui().CheckBox2->isChecked());
    EXPECT_FALSE(ui().CheckBox3->isChecked());
    EXPECT_EQ(ui().TrackBar2->value(), 7);
    EXPECT_FALSE(ui().CheckBox4->isChecked());
    EXPECT_FALSE(form->transparencyFlag);
    // The resolution read is the one the start-up sizing uses.
    EXPECT_EQ(form->width(), 1366);
    EXPECT_EQ(form->tileWidth, 1366 / 4);
    // Preview off: no label tile is shown.
    EXPECT_FALSE(form->labelTile(0)->isVisible());
}

TEST_F(Settings, StoredFileListAndHelpShowAtOnceAndTheEighthByteSetsTransparency) {
    writeFile("setting.cfg", bytes({7, 1, 0, 1, 200, 1, 1, 2}));
    start();
    EXPECT_TRUE(ui().RadioGroup1Item2->isChecked());
    EXPECT_EQ(ui().TrackBar2->value(), 10);
    EXPECT_TRUE(ui().Frame11->isVisible());
    EXPECT_FALSE(ui().ListBox1->isHidden()); // inside the hidden Settings panel
    EXPECT_TRUE(form->transparencyFlag);
    EXPECT_TRUE(ui().CheckBox6->isChecked());
}

TEST_F(Settings, AnUnreadableSettingsFileIsReportedAndStartUpGoesOn) {
    mkdir((dir + "/setting.cfg").c_str(), 0755); // exists, cannot be read as a file
    start();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "File Error: Can't perform one of the following file operations: Open, "
                        "Seek, Read, Close.");
    EXPECT_EQ(form->cameraCount(), 4);
}

TEST_F(Settings, FifosAreNoSettingsOrNamesFiles) {
    // Read, a FIFO would never end: it counts as unreadable.
    ASSERT_EQ(mkfifo((dir + "/setting.cfg").c_str(), 0600), 0);
    start();
    EXPECT_EQ(boxes, std::vector<std::string>{"File Error: " + kFileErrorText.toStdString()});
    form.reset();
    ASSERT_EQ(mkfifo((dir + "/nevek.txt").c_str(), 0600), 0);
    EXPECT_THROW(start(), std::runtime_error);
}

TEST_F(Settings, AnUnreadableNamesFileEndsStartUp) {
    mkdir((dir + "/nevek.txt").c_str(), 0755);
    EXPECT_THROW(start(), std::runtime_error);
}

TEST_F(Settings, ANamesFileBeyond64KiBIsNotReadWholeAndTheDefaultsServe) {
    // A huge file, and a link into the system's files that never end: at most 64 KiB of either
    // is read, a box says why, and the station starts with its four default cameras.
    writeFile("nevek.txt", std::string(64 * 1024 + 1, 'a'));
    start();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("nevek.txt\" is larger than 64 KiB"), std::string::npos) << boxes[0];
    EXPECT_EQ(form->cameraCount(), 4);
    form.reset();
    boxes.clear();
    unlink((dir + "/nevek.txt").c_str());
    ASSERT_EQ(symlink("/proc/self/pagemap", (dir + "/nevek.txt").c_str()), 0);
    start();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(form->cameraCount(), 4);
}

TEST_F(Settings, NamesWithCrLfAreReadAndWrittenBackWithLf) {
    writeFile("nevek.txt", "north\r\nsouth\r\nwest\r\n");
    start();
    EXPECT_EQ(form->cameraCount(), 3);
    EXPECT_EQ(form->tileWidth, 640);
    ui().Button2->click();
    EXPECT_EQ(readFile("nevek.txt"), "north\nsouth\nwest");
}

TEST_F(Settings, SavingTwiceWritesTwiceAndLeavesThePanelAsItWas) {
    writeFile("setting.cfg", bytes({1, 1, 0, 1, 1, 0, 0, 0, 9, 9, 9, 9}));
    start();
    EXPECT_FALSE(ui().GroupBox1->isVisible());
    ui().Button2->click();
    EXPECT_TRUE(ui().GroupBox1->isVisible());
    EXPECT_EQ(readFile("setting.cfg"), bytes({1, 1, 0, 1, 1, 0, 0, 0, 9, 9, 9, 9}));
    ui().CheckBox2->setChecked(true);
    ui().TrackBar2->setValue(4);
    ui().CheckBox6->setChecked(true);
    ui().Memo1->setPlainText("one\ntwo");
    ui().Button2->click();
    EXPECT_FALSE(ui().GroupBox1->isVisible());
    // Eight bytes replaced in place, the last four kept.
    EXPECT_EQ(readFile("setting.cfg"), bytes({1, 1, 1, 1, 4, 0, 0, 1, 9, 9, 9, 9}));
    EXPECT_EQ(readFile("nevek.txt"), "one\ntwo");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Settings, AFailedSettingsWriteIsShownInBothWindows) {
    start();
    mkdir((dir + "/setting.cfg").c_str(), 0755);
    ui().Button2->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].substr(0, 12), "File Error: ");
    EXPECT_TRUE(ui().GroupBox1->isVisible()) << "the panel is toggled all the same";
    EXPECT_EQ(readFile("nevek.txt"), "1. camera\n2. camera\n3. camera\n4. camera");

    TForm2 compact;
    compact.ui()->Button2->click();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].substr(0, 12), "File Error: ");
    EXPECT_FALSE(compact.ui()->GroupBox1->isHidden());
    EXPECT_EQ(readFile("nevek.txt"), "1. camera\n2. camera\n3. camera\n4. camera\n5. camera\n"
                                     "6. camera\n7. camera");
}

TEST_F(Settings, AFailedNamesWriteStopsTheSaveButNotThePanel) {
    start();
    mkdir((dir + "/nevek.txt").c_str(), 0755);
    ui().Button2->click();
    // The box names the whole path; the panel opens all the same.
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("\"" + dir + "/nevek.txt\""), std::string::npos) << boxes[0];
    EXPECT_TRUE(ui().GroupBox1->isVisible());
    struct stat st {};
    EXPECT_NE(stat((dir + "/setting.cfg").c_str(), &st), 0) << "settings not written";
}

TEST_F(Settings, CompactWindowSavesItsOwnValues) {
    start();
    TForm2 compact;
    compact.ui()->RadioGroup1Item0->setChecked(true);
    compact.ui()->CheckBox5->setChecked(true);
    compact.ui()->Button2->click();
    EXPECT_EQ(readFile("setting.cfg"), bytes({0, 1, 0, 1, 1, 0, 1, 0}));
    EXPECT_EQ(compact.windowTitle(), "Player_gui");
    EXPECT_EQ(compact.ui()->GroupBox1->title(), "GroupBox1");
}

TEST_F(Settings, MoreNamesThanTheMachineHoldsStartAtMost32Relays) {
    std::string names;
    for (int k = 0; k < 300; ++k)
        names += "c" + std::to_string(k) + "\n";
    writeFile("nevek.txt", names);
    start();
    EXPECT_EQ(form->cameraCount(), 300);
    EXPECT_EQ(form->relayProcessId[31], -1); // (these tests start no relay program)
    EXPECT_EQ(form->relayProcessId[32], 0);  // never tried
    EXPECT_EQ(boxes, (std::vector<std::string>{"Vorbelt Player: Only the first 32 camera names are "
                                               "used; the other 268 are ignored."}));
    EXPECT_FALSE(form->labelTile(0)->isVisible() && !form->labelTile(0)->pixmap().isNull());
}

// --- the file list --------------------------------------------------------------------------

TEST_F(Settings, FileListListsTheWholeSetInDigitOrder) {
    start();
    for (const char* f : {"take0_st.mpg", "take1_st.mpg", "take3_st.mpg", "take2_st.mpg"})
        writeFile(f, "");
    TFrame1::setDialogHook([&](QFileDialog& d) {
        EXPECT_EQ(d.windowTitle(), "Open");
        EXPECT_TRUE(d.nameFilters().join(' ').contains("*.mpg"));
        return QString::fromStdString(dir + "/take2_st.mpg");
    });
    QListWidget* list = form->ui()->Frame11->ListBox1();
    ui().Frame11->Button1()->click();
    ASSERT_EQ(list->count(), 4);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(list->item(k)->text().toStdString(),
                  dir + "/take" + std::to_string(k) + "_st.mpg");
    std::remove((dir + "/take1_st.mpg").c_str());
    ui().Frame11->Button1()->click();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(1)->text().toStdString(), dir + "/take2_st.mpg");
}

TEST_F(Settings, FileListEdgeCases) {
    start();
    QListWidget* list = form->ui()->Frame11->ListBox1();
    std::string chosen;
    TFrame1::setDialogHook([&](QFileDialog&) { return QString::fromStdString(chosen); });
    for (int k = 0; k < 10; ++k)
        writeFile("x" + std::to_string(k) + "_st.mpg", "");
    writeFile("5_st.mpg", "");
    writeFile("7_st.mpg", "");
    chosen = dir + "/x4_st.mpg";
    form->ui()->Frame11->Button1Click();
    EXPECT_EQ(list->count(), 10) << "never an eleventh";
    chosen = dir + "/5_st.mpg"; // eight characters: empty stem
    form->ui()->Frame11->Button1Click();
    EXPECT_EQ(list->count(), 2);
    chosen = dir + "/movie.mpg"; // stem "m": nothing unless m0_st.mpg ... exist
    form->ui()->Frame11->Button1Click();
    EXPECT_EQ(list->count(), 0);
    writeFile("m3_st.mpg", "");
    form->ui()->Frame11->Button1Click();
    EXPECT_EQ(list->count(), 1);
}

TEST_F(Settings, CancelKeepsTheListButStopsThePlayersAndResetsTheSeekBar) {
    start();
    writeFile("take0_st.mpg", "");
    QString answer = QString::fromStdString(dir + "/take0_st.mpg");
    TFrame1::setDialogHook([&](QFileDialog&) { return answer; });
    ui().Frame11->Button1()->click();
    ASSERT_EQ(form->ui()->Frame11->ListBox1()->count(), 1);
    // A player of an earlier load, and a seek bar that shows its length.
    const platform::ProcessId player = platform::createProcess("/bin/sleep", "sleep 30");
    form->vlcProcessId[0] = player;
    form->fileCount = 1;
    form->pollingFlag = true;
    ui().TrackBar1->setMaximum(300);
    ui().TrackBar1->setValue(12);
    ui().LCDNumber3->display("5");
    answer.clear(); // cancel
    ui().Frame11->Button1()->click();
    EXPECT_EQ(form->ui()->Frame11->ListBox1()->count(), 1);
    EXPECT_FALSE(form->pollingFlag);
    EXPECT_TRUE(waitUntil([&] { return !platform::processRunning(player); }));
    EXPECT_EQ(ui().TrackBar1->maximum(), 0);
    EXPECT_EQ(ui().TrackBar1->value(), 0);
    EXPECT_EQ(ui().LCDNumber3->intValue(), 0);
    EXPECT_EQ(ui().LCDNumber4->intValue(), 0);
}

TEST_F(Settings, ScreenshotOfTheControlWindow) {
    // Written for a person to look at: the control window with Settings, file list and help.
    start();
    ui().Button2->click();
    ui().CheckBox4->setChecked(true);
    ui().CheckBox5->setChecked(true);
    processFor(200);
    const QImage shot = form->grab(QRect(0, 0, 880, 480)).toImage();
    const std::string path = buildDirectory() + "screenshot-control-window.png";
    ASSERT_TRUE(shot.save(QString::fromStdString(path)));
    EXPECT_TRUE(ui().GroupBox1->isVisible());
    EXPECT_TRUE(ui().Frame11->isVisible());
}

TEST_F(Settings, EveryNameKeepsItsBytesThroughLoadAndSave) {
    // A Windows code page name, a no-break space, a line separator and a lone CR inside names,
    // and an empty last name: four cameras by the names format.
    const std::string names = "K\xE1mera 1\na\xC2\xA0"
                              "b\nx\xE2\x80\xA8y\r\nc\rd\n\n";
    writeFile("nevek.txt", names);
    start();
    EXPECT_EQ(form->cameraCount(), 5);
    EXPECT_EQ(ui().Memo1->document()->blockCount(), 5);
    ui().Button2->click();
    // The separators become single LFs with none after the last name; the names stay.
    EXPECT_EQ(readFile("nevek.txt"), "K\xE1mera 1\na\xC2\xA0"
                                     "b\nx\xE2\x80\xA8y\nc\rd\n");
    // An edited name is written as edited; the others keep their bytes.
    QTextCursor c(ui().Memo1->document()->findBlockByNumber(1));
    c.movePosition(QTextCursor::EndOfBlock);
    c.insertText("!");
    EXPECT_EQ(form->cameraCount(), 5);
    ui().Button2->click();
    EXPECT_EQ(readFile("nevek.txt"), "K\xE1mera 1\na\xC2\xA0"
                                     "b!\nx\xE2\x80\xA8y\nc\rd\n");
}

TEST_F(Settings, ThreeLinesEndingInEmptyOnesAreThreeCameras) {
    writeFile("nevek.txt", "cam1\n\n\n");
    start();
    EXPECT_EQ(form->cameraCount(), 3);
}

TEST_F(Settings, ANamesFileInAClosedFolderIsWrittenInPlace) {
    writeFile("nevek.txt", "a\nb");
    start();
    ui().Memo1->setPlainText("c\nd");
    chmod(dir.c_str(), 0555); // no new file beside it; as root the folder stays writable
    ui().Button2->click();
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(readFile("nevek.txt"), "c\nd");
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}
