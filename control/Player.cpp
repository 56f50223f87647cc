// The main window's start-up: the form, the channels started one after the other, the
// settings, the window laid out for the chosen resolution, the timer thread.
#include "control/Player.h"

#include "control/icons.h"
#include "control/station.h"
#include "core/geometry.h"
#include "core/names.h"
#include "platform/qt/message_box.h"
#include "ui_Player.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <system_error>

namespace {

const QColor kRed(255, 0, 0);
const QColor kMaroon(128, 0, 0);
const QColor kGrey(192, 192, 192);

} // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent), ui_(new Ui::Form1) {
    // 1. The form from its description.
    ui_->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setFont(station::formFont());
    QPalette p = palette();
    p.setColor(QPalette::WindowText, kMaroon);
    setPalette(p);
    station::setBackground(this, kRed);
    station::setBackground(ui_->Panel3, kGrey);
    station::setBackground(ui_->GroupBox1, kGrey);
    station::setBackground(ui_->Frame11, Qt::black);
    for (auto* lcd : {ui_->LCDNumber1, ui_->LCDNumber2, ui_->LCDNumber3, ui_->LCDNumber4}) {
        QPalette lp = lcd->palette();
        lp.setColor(QPalette::WindowText, kMaroon);
        lcd->setPalette(lp);
    }
    // The embedded file list has its own arrangement inside the main window.
    ui_->Frame11->ListBox1()->setGeometry(8, 8, 300, 129);
    ui_->Frame11->Button1()->setGeometry(8, 142, 75, 25);
    ui_->Frame11->Button2()->setGeometry(232, 142, 75, 25);
    settings_ = settingsPanelOf(*ui_, &transparencyFlag);
    // Four names whole in the names memo: its text without a margin, the memo six pixels
    // taller than designed (still above "Double-Wide"), for the 16-pixel font.
    ui_->Memo1->document()->setDocumentMargin(0);
    connect(ui_->Button0, &QPushButton::clicked, this, &TForm1::Button0Click);
    connect(ui_->Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(ui_->Frame11->Button1(), &QPushButton::clicked, this, &TForm1::Frame11Button1Click);
    connect(ui_->Frame11->Button2(), &QPushButton::clicked, this, &TForm1::Frame11Button2Click);
    // Change handlers run whenever the value changes, also when the settings file sets it.
    connect(ui_->CheckBox3, &QCheckBox::toggled, this, &TForm1::CheckBox3Click);
    connect(ui_->CheckBox4, &QCheckBox::toggled, this, &TForm1::CheckBox4Click);
    connect(ui_->CheckBox5, &QCheckBox::toggled, this, &TForm1::CheckBox5Click);
    connect(ui_->CheckBox6, &QCheckBox::toggled, this, &TForm1::CheckBox6Click);
    sync_ = std::make_unique<station::SyncKeeper>(pollingFlag);
    sync_->setCameraLost(
        [this](int channel, platform::WindowHandle window, station::SyncKeeper::Loss how) {
            QMetaObject::invokeMethod(
                this,
                [this, channel, window, how] {
                    if (how == station::SyncKeeper::Loss::WindowGone)
                        videoWindowGone(channel, window);
                    else
                        cameraFroze(channel, window, how == station::SyncKeeper::Loss::FrozenAgain);
                },
                Qt::QueuedConnection);
        });
    connect(ui_->CheckBox7, &QCheckBox::toggled, this, &TForm1::CheckBox7Click);
    connect(ui_->TrackBar2, &QSlider::valueChanged, this, &TForm1::TrackBar2Change);
    // The resolution is applied by the start-up sizing; later only the operator's choice acts.
    for (auto* item : {ui_->RadioGroup1Item0, ui_->RadioGroup1Item1, ui_->RadioGroup1Item2})
        connect(item, &QRadioButton::clicked, this, &TForm1::RadioGroup1Click);
    connect(ui_->Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    seekBarMoves_ = new station::OperatorMoves(ui_->TrackBar1);
    connect(ui_->TrackBar1, &QSlider::valueChanged, this, &TForm1::TrackBar1Change);
    ui_->TrackBar1->installEventFilter(this);
    ui_->Panel3->installEventFilter(this);
    // Controls whose keys go to the key handler (the names memo and the radio group keep
    // theirs: typing there edits the names).
    keyBound_ = {ui_->Frame11->ListBox1(),
                 ui_->Frame11->Button1(),
                 ui_->Frame11->Button2(),
                 ui_->CheckBox1,
                 ui_->CheckBox2,
                 ui_->CheckBox3,
                 ui_->CheckBox4,
                 ui_->CheckBox5,
                 ui_->CheckBox6,
                 ui_->CheckBox7,
                 ui_->TrackBar2,
                 ui_->ListBox1,
                 ui_->Button3,
                 ui_->Button4,
                 ui_->Button5,
                 ui_->Button6,
                 ui_->Button7,
                 ui_->Button8,
                 ui_->Button9,
                 ui_->TrackBar1,
                 ui_->Button2,
                 ui_->Button1,
                 ui_->Button0};
    for (int tag = 1; tag <= 7; ++tag)
        connect(cameraButton(tag), &QPushButton::clicked, this, [this, tag] { LabelClick(tag); });
    for (int k = 0; k < 8; ++k)
        labelTile(k)->installEventFilter(this);
    // Pointer moves are followed over the window, the panels and their controls.
    setMouseTracking(true);
    for (QWidget* w : findChildren<QWidget*>()) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
    // Focus leaving the file list, the Settings panel or the control panel.
    focusLeaving_ = station::onFocusLeavingPanels(this, {ui_->Frame11, ui_->GroupBox1, ui_->Panel3},
                                                  [this] { PanelExit(); });
    connect(ui_->Memo1, &QPlainTextEdit::textChanged, this,
            [this] { cameraCount_ = settings_.nameCount(); });

    // 2. Report texts and the pipe name.
    for (auto& t : lastReportText)
        t.clear();
    pipeName = platform::kReportPipeName;
    // Without a safe place for the report pipe no relay can report: the operator is told why,
    // and every channel then fails to start as a relay without a pipe does.
    std::string refused;
    if (platform::pipePath(pipeName, &refused).empty())
        messageBox("The report pipe cannot be made: " + QString::fromStdString(refused) + ".",
                   "Report pipe", BoxKind::Warning);

    // 3. Names: the names file replaces the memo's lines when it exists. Its line count fixes
    // the number of channels, at most as many as the channel table holds. A names file that
    // cannot be read ends start-up with the error.
    std::vector<std::string> names;
    try {
        if (readNamesFile(names))
            settings_.setNameList(names);
    } catch (const NamesFileRefused& e) {
        messageBox(QString::fromStdString(e.what()), "Camera names", BoxKind::Warning);
    }
    cameraCount_ = settings_.nameCount();
    // One relay per camera, as many as the machine holds: a long names file must not start
    // hundreds of them (each a window of the display, each tens of MB).
    const int n = std::min(cameraCount(), kMaxCameras);
    if (cameraCount() > kMaxCameras)
        messageBox(QString("Only the first %1 camera names are used; the other %2 are ignored.")
                       .arg(kMaxCameras)
                       .arg(cameraCount() - kMaxCameras),
                   "Vorbelt Player", BoxKind::Information);
    // The players' private profiles, whose place every relay is told.
    station::openPlayerProfiles();

    // 4. Clear the rows that will be used.
    for (int i = 0; i < n; ++i) {
        lastReportText[i].clear();
        readerThreadId[i] = 0;
        pipeInstance[i] = 0;
        channelState[i] = 0;
    }

    // 5. Start every channel, one after the other.
    for (int j = 0; j < n; ++j)
        startChannel(j);
    startedChannels_ = n;

    // 6.
    waitFlag = true;
    seekBarFocus = false;
    move(0, 0);

    // 7. Settings from the settings file, when it exists.
    loadSettings();

    // 8.
    hoverFlag = true;

    // 9. Screen placement from the width of the whole desktop.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int desktopWidth = screen ? screen->virtualGeometry().width() : 1920;
    const vorbelt::ScreenPlacement place = vorbelt::screenPlacement(desktopWidth);
    fullViewOrigin = place.fullViewOrigin;
    Tag = place.leftOrigin;
    move(Tag, 0);

    // 10. Size for the chosen resolution.
    applyResolution();

    // 11, 12. Label tiles; those without a camera stay hidden (unlaid at the top of the window,
    // they would show nothing but the colour key).
    for (int k = std::min(cameraCount(), 8); k < 8; ++k)
        labelTile(k)->setVisible(false);
    const int cameras = cameraCount();
    if (vorbelt::layoutServes(cameras)) {
        layOutLabelTiles();
        drawLabelTiles();
    }
    // 13. Camera buttons, one per camera up to seven.
    for (int k = 0; k < vorbelt::cameraButtonCount(cameras); ++k)
        cameraButton(k + 1)->setVisible(true);

    // 14.
    ui_->Frame11->setVisible(ui_->CheckBox4->isChecked());
    ui_->ListBox1->setVisible(ui_->CheckBox5->isChecked());

    // 15. The red background is the window's own fill.

    // 16. Transport strip; the floor plan behind the camera buttons.
    ui_->Image7->setPixmap(icons::transportStrip());
    QPalette plan = ui_->Panel1->palette();
    plan.setBrush(QPalette::Window, QBrush(icons::floorPlan()));
    ui_->Panel1->setPalette(plan);

    // 17.
    fileCount = 0;
    pollingFlag = false;
    timerRunFlag = true;
    currentChannel = 0;
    lengthPhaseFlag = true;

    // 18. Timer thread.
    try {
        timerThread = std::thread(&TForm1::timerThreadMain, this);
        timerThreadId = static_cast<uint32_t>(timerThread.native_handle());
    } catch (const std::system_error&) {
        messageBox("ThreadFail!", "Timer", BoxKind::Warning);
    }

    // 19.
    update();
}

TForm1::~TForm1() {
    // The panels go with the form: no focus change may reach their handler from here on.
    disconnect(focusLeaving_);
    if (mainWindowHandle != 0)
        platform::setColourKeyCutter(mainWindowHandle, {});
    timerRunFlag = false;
    pollingFlag = false;
    if (timerThread.joinable())
        timerThread.join();
    // Reader threads end when their relays are gone; any that still wait are woken here,
    // so that none outlives the window whose table it reads.
    for (int i = 0; i < kTableRows; ++i) {
        if (!readerThread[i].joinable())
            continue;
        if (!readerDone_[i])
            platform::cancelPipeIo(pipeInstance[i]);
        readerThread[i].join();
    }
    // Fine Sync last: the readers fed it to the end.
    sync_.reset();
}

void TForm1::loadSettings() {
    // "Fine Sync", from a file of its own: what it holds does not depend on the record.
    vorbelt::Settings options = settings_.settings();
    readOptionsFile(options);
    ui_->CheckBox7->setChecked(options.fineSync);
    if (!QFile::exists(kSettingsFile))
        return;
    vorbelt::Settings s = settings_.settings();
    const bool ok = readSettingsFile(s);
    // The station never starts where its controls cannot be seen: "Transparent" with the
    // opacity at its left end would make the whole window all but invisible (alpha 1), with no
    // way back but editing the file. It starts at the least opacity that shows the controls;
    // the file keeps its values until the operator saves.
    if (s.transparent && s.opacityStep < kLeastVisibleOpacity)
        s.opacityStep = kLeastVisibleOpacity;
    settings_.apply(s);
    if (!ok)
        messageBox(kFileErrorText, "File Error", BoxKind::Warning);
}

QLabel* TForm1::labelTile(int channel) const {
    QLabel* tiles[] = {ui_->Image0, ui_->Image1, ui_->Image2, ui_->Image3,
                       ui_->Image4, ui_->Image5, ui_->Image6, ui_->Image8};
    return channel >= 0 && channel < 8 ? tiles[channel] : nullptr;
}

bool TForm1::Image7Empty() const {
    return ui_->Image7->pixmap().isNull();
}

QPushButton* TForm1::cameraButton(int tag) const {
    QPushButton* buttons[] = {ui_->Button3, ui_->Button4, ui_->Button5, ui_->Button6,
                              ui_->Button7, ui_->Button8, ui_->Button9};
    return tag >= 1 && tag <= 7 ? buttons[tag - 1] : nullptr;
}

std::optional<vorbelt::Size> TForm1::tileSizeFromResolution() {
    const auto size = vorbelt::resolutionSize(settings_.settings().resolution);
    // With no camera names (or no item chosen) the previous tile size stays.
    if (size)
        if (const auto tile = vorbelt::tileSize(*size, cameraCount())) {
            tileWidth = tile->width;
            tileHeight = tile->height;
        }
    return size;
}

void TForm1::applyResolution() {
    if (const auto size = tileSizeFromResolution())
        resize(size->width, size->height);
}

void TForm1::layOutLabelTiles() {
    const int cameras = cameraCount();
    for (int k = 0; k < cameras && k < 8; ++k) {
        const vorbelt::Rect r =
            vorbelt::labelTileRect(k, {tileWidth, tileHeight}, height(), font().pixelSize());
        labelTile(k)->setGeometry(r.left, r.top, r.width, r.height);
    }
    drawingChanged();
}

void TForm1::drawLabelTiles() {
    const std::vector<std::string> names = settings_.nameList();
    for (int k = 0; k < cameraCount() && k < 8; ++k) {
        QLabel* tile = labelTile(k);
        tile->setVisible(ui_->CheckBox3->isChecked());
        QPixmap canvas(std::max(1, tile->width()), std::max(1, tile->height()));
        canvas.fill(kMaroon);
        QPainter painter(&canvas);
        painter.setPen(Qt::white);
        painter.setFont(font());
        painter.drawText(QRect(0, 0, canvas.width(), canvas.height()), Qt::AlignLeft | Qt::AlignTop,
                         k < static_cast<int>(names.size())
                             ? SettingsPanel::shown(names[static_cast<std::size_t>(k)])
                             : QString());
        painter.end();
        tile->setPixmap(canvas);
    }
}
