#include "control/Guid.h"

#include "control/Open.h"
#include "control/icons.h"
#include "control/station.h"
#include "core/geometry.h"
#include "core/keys.h"
#include "core/relay_commands.h"
#include "core/settings.h"
#include "platform/qt/message_box.h"
#include "ui_Guid.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>

#include <algorithm>

namespace {

constexpr uint32_t kNoActivate = 0x0010; // SWP_NOACTIVATE
constexpr uint32_t kRed = 0x0000FF;      // the main window's colour key
constexpr int kOwnWindowPolls = 100;     // polls before "Wait more?"
constexpr int kPlayerWindowPolls = 100;

} // namespace

TForm2::TForm2(QWidget* parent) : QWidget(parent), ui_(new Ui::Form2) {
    // 1, 2. Hidden, at the top left.
    ui_->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    move(0, 0);
    // The main window hands its font over; until then the same.
    setFont(station::formFont());
    station::setBackground(this, Qt::black);
    station::setBackground(ui_->Panel3, QColor(192, 192, 192));
    station::setBackground(ui_->GroupBox1, QColor(192, 192, 192));
    for (auto* lcd : {ui_->LCDNumber1, ui_->LCDNumber2, ui_->LCDNumber3, ui_->LCDNumber4}) {
        QPalette lp = lcd->palette();
        lp.setColor(QPalette::WindowText, QColor(128, 0, 0));
        lcd->setPalette(lp);
    }
    // 3. The transport strip; the camera layout behind the buttons.
    ui_->Image7->setPixmap(icons::transportStrip());
    QPalette plan = ui_->Panel1->palette();
    plan.setBrush(QPalette::Window, QBrush(icons::cameraLayout()));
    ui_->Panel1->setPalette(plan);
    // 4. The initial values are the members' own.

    settings_ = settingsPanelOf(*ui_, &transparencyFlag);
    connect(ui_->Button0, &QPushButton::clicked, this, &TForm2::Button0Click);
    connect(ui_->Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
    connect(ui_->Button2, &QPushButton::clicked, this, &TForm2::Button2Click);
    connect(ui_->CheckBox5, &QCheckBox::toggled, this, &TForm2::CheckBox5Click);
    connect(ui_->CheckBox6, &QCheckBox::toggled, this, &TForm2::CheckBox6Click);
    connect(ui_->CheckBox7, &QCheckBox::toggled, this, &TForm2::CheckBox7Click);
    seekBarMoves_ = new station::OperatorMoves(ui_->TrackBar1);
    connect(ui_->TrackBar1, &QSlider::valueChanged, this, &TForm2::TrackBar1Change);
    connect(ui_->TrackBar2, &QSlider::valueChanged, this, &TForm2::TrackBar2Change);
    for (int tag = 1; tag <= 7; ++tag)
        connect(cameraButton(tag), &QPushButton::clicked, this, [this, tag] { ButtonClick(tag); });
    // Controls whose keys go to the key handler; the names memo, the radio group, the panels
    // and the label keep theirs.
    keyBound_ = {ui_->ListBox1,  ui_->TrackBar1, ui_->TrackBar2, ui_->Button0,   ui_->Button1,
                 ui_->Button2,   ui_->CheckBox1, ui_->CheckBox2, ui_->CheckBox3, ui_->CheckBox4,
                 ui_->CheckBox5, ui_->CheckBox6, ui_->CheckBox7};
    for (int tag = 1; tag <= 7; ++tag)
        keyBound_.insert(cameraButton(tag));
    setMouseTracking(true);
    for (QWidget* w : findChildren<QWidget*>()) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
    // Focus leaving the control panel or the Settings panel.
    focusLeaving_ =
        station::onFocusLeavingPanels(this, {ui_->Panel3, ui_->GroupBox1}, [this] { PanelExit(); });
}

TForm2::~TForm2() {
    // The panels go with the form: no focus change may reach their handler from here on.
    disconnect(focusLeaving_);
}

QPushButton* TForm2::cameraButton(int tag) const {
    QPushButton* buttons[] = {ui_->Button3, ui_->Button4, ui_->Button5, ui_->Button6,
                              ui_->Button7, ui_->Button8, ui_->Button9};
    return tag >= 1 && tag <= 7 ? buttons[tag - 1] : nullptr;
}

QSlider* TForm2::seekBar() const {
    return ui_->TrackBar1;
}
QLCDNumber* TForm2::lengthMinutes() const {
    return ui_->LCDNumber3;
}
QLCDNumber* TForm2::lengthSeconds() const {
    return ui_->LCDNumber4;
}
bool TForm2::alwaysPlay() const {
    return ui_->CheckBox2->isChecked();
}

// --- activation and repaint ----------------------------------------------------------------

void TForm2::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

void TForm2::FormActivate() {
    ownWindowHandle = station::awaitOwnWindow("Player_gui", kOwnWindowPolls, "GUI Not Responding!");
    platform::setWindowLong(ownWindowHandle, platform::GWL_EXSTYLE_INDEX,
                            platform::WS_EX_LAYERED_STYLE);
    // Unlike the main window, no colour key: only the alpha, and only when asked for.
    if (transparencyFlag)
        platform::setLayeredWindowAttributes(ownWindowHandle, kRed,
                                             vorbelt::opacityAlpha(ui_->TrackBar2->value()),
                                             platform::LWA_ALPHA_FLAG);
}

void TForm2::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    FormPaint();
}

void TForm2::FormPaint() {
    recolourButtons();
    ui_->TrackBar1->setValue(referenceTime);
    mainWindowAlpha();
}

void TForm2::recolourButtons() {
    for (int i = 0; i < std::min<int>(fileCount, 7); ++i)
        station::colourCameraButton(cameraButton(i + 1), channelState[i]);
}

void TForm2::setMainWindowLayered(uint32_t mode) {
    const uint8_t alpha = vorbelt::opacityAlpha(ui_->TrackBar2->value());
    if (mainLayering_)
        mainLayering_(mode, alpha);
    else
        platform::setLayeredWindowAttributes(mainWindowHandle, kRed, alpha, mode);
}

void TForm2::mainWindowAlpha() {
    if (transparencyFlag)
        setMainWindowLayered(platform::LWA_ALPHA_FLAG);
}

void TForm2::cellSizeFromResolution() {
    if (const auto cell = vorbelt::cellSize(settings_.settings().resolution)) {
        cellWidth = cell->width;
        cellHeight = cell->height;
    }
}

// --- Load ----------------------------------------------------------------------------------

void TForm2::Button1Click() {
    pollingFlag = false;
    // The reports that follow are lengths, whatever a Load before this one left.
    lengthPhaseFlag = true;
    // The players of the previous load end at once, and any other the station started; the
    // relays stay, to connect to the new ones.
    station::takeSnapshots(); // (the players' homes go with them)
    for (int i = 0; i < rows(); ++i)
        station::endProcess(vlcProcessId[i], 0);
    station::endVideoPlayers(0);
    if (Frame1)
        Frame1->Button1Click();
    const station::BusyCursor busy;
    ui_->TrackBar1->setValue(0);
    ui_->TrackBar1->setMaximum(0);
    const int items = Frame1 ? Frame1->ListBox1()->count() : 0;
    // The table copy has ten rows: files beyond them are not started. Rows beyond the new
    // files are no longer loaded.
    fileCount = static_cast<uint8_t>(std::min(items, kRows));
    for (int i = fileCount; i < kRows; ++i)
        station::unload(vlcProcessId[i], vlcWindow[i], channelState[i]);
    QStringList files;
    for (int j = 0; j < fileCount; ++j)
        files << Frame1->ListBox1()->item(j)->text();
    const std::vector<bool> play =
        station::filesToPlay(files, [this](int j) { return relayWindow[j] != 0; });
    for (int j = 0; j < fileCount; ++j) {
        if (play[static_cast<std::size_t>(j)])
            loadFile(j);
        else
            station::unload(vlcProcessId[j], vlcWindow[j], channelState[j]);
    }
    if (sync_)
        station::syncLoaded(*sync_, relayWindow, vlcWindow, channelState, files, fileCount,
                            currentChannel, ui_->TrackBar1->maximum());
    pollingFlag = true;
    lengthPhaseFlag = false;
    // The players' windows were brought forward as they were placed: the keys come back here,
    // as they do to the main window after its Load.
    platform::setForegroundWindow(ownWindowHandle != 0 ? ownWindowHandle : winId());
}

void TForm2::loadFile(int j, bool askLength) {
    loadFiles({j}, askLength);
}

void TForm2::loadFiles(const std::vector<int>& rows, bool askLength) {
    std::vector<station::PlayerRequest> requests;
    for (int j : rows) // titled by its row, not by its camera digit
        requests.push_back(
            {j, Frame1->ListBox1()->item(j)->text().toStdString(), std::to_string(j)});
    const std::vector<station::PlayerWindow> players =
        station::startAndAwaitPlayers(requests, ui_->CheckBox1->isChecked(), 0, kPlayerWindowPolls);
    // Each player found is placed and layered; the waits that follow are shared.
    const std::vector<int> placed =
        station::enterNewPlayers(rows, players, vlcProcessId, vlcWindow, channelState);
    for (int j : placed) {
        const platform::WindowHandle w = vlcWindow[j];
        cellSizeFromResolution();
        const auto cell = vorbelt::cellPlacement(j, settings_.settings().resolution, Tag);
        if (cell)
            platform::setWindowPos(w, platform::HWND_TOP_WINDOW, cell->left, cell->top, cellWidth,
                                   cellHeight, kNoActivate);
        platform::setWindowLong(w, platform::GWL_EXSTYLE_INDEX, platform::WS_EX_LAYERED_STYLE);
        platform::setLayeredWindowAttributes(w, 0, ui_->CheckBox3->isChecked() ? 255 : 1,
                                             platform::LWA_ALPHA_FLAG);
    }
    if (placed.empty())
        return;
    station::connectNewPlayers(placed, relayWindow, askLength);
    for (int j : placed)
        channelState[j] = 1;
}

std::vector<platform::WindowHandle> TForm2::restartCameras(const std::vector<int>& rows) {
    std::vector<int> valid;
    for (int j : rows)
        if (j >= 0 && j < this->rows() && Frame1 && j < Frame1->ListBox1()->count())
            valid.push_back(j);
    std::vector<platform::WindowHandle> fresh(rows.size(), 0);
    if (valid.empty())
        return fresh;
    const station::BusyCursor busy;
    loadFiles(valid, false);
    // (The keys back here first: lowered while it was still the active window, a new player's
    // window was seen to stay above the others.) The current camera's full view stands as a
    // selection leaves it.
    platform::setForegroundWindow(ownWindowHandle != 0 ? ownWindowHandle : winId());
    const bool anyPlaced =
        std::any_of(valid.begin(), valid.end(), [this](int j) { return vlcWindow[j] != 0; });
    if (anyPlaced && currentChannel < this->rows() && vlcWindow[currentChannel] != 0) {
        platform::sleepMs(100);
        if (std::find(valid.begin(), valid.end(), int(currentChannel)) != valid.end())
            channelState[currentChannel] = 3;
        showFullView(vlcWindow[currentChannel]);
    }
    recolourButtons();
    update();
    for (std::size_t k = 0; k < rows.size(); ++k)
        if (std::find(valid.begin(), valid.end(), rows[k]) != valid.end())
            fresh[k] = vlcWindow[rows[k]];
    return fresh;
}

void TForm2::showFullView(platform::WindowHandle w) {
    const vorbelt::Rect full = vorbelt::compactFullView(fullViewOrigin, {cellWidth, cellHeight});
    platform::setWindowPos(w,
                           ui_->CheckBox3->isChecked() ? platform::HWND_BOTTOM_WINDOW
                                                       : platform::HWND_NOTOPMOST_WINDOW,
                           full.left, full.top, full.width, full.height, kNoActivate);
    platform::sleepMs(100);
    platform::setLayeredWindowAttributes(w, 0, 255, platform::LWA_ALPHA_FLAG);
}

// --- keys ------------------------------------------------------------------------------------

bool TForm2::event(QEvent* event) {
    // The form's own keys (Tab included, which Qt would otherwise take to move the focus) and
    // the pointer over the bare window.
    if (const auto taken = station::formEvent(
            this, event, keyBound_, [this](int key) { return FormKeyDown(key); },
            [this] { FormMouseMove(); }))
        return *taken;
    return QWidget::event(event);
}

bool TForm2::FormKeyDown(int key) {
    const vorbelt::KeyAction a = vorbelt::keyAction(key);
    switch (a.kind) {
    case vorbelt::KeyKind::Nothing:
    case vorbelt::KeyKind::Layout: // no screen layouts here
        break;
    case vorbelt::KeyKind::CompactWindow:
        // Back to the main window: the keys posted to it arrive after this window is hidden,
        // so they only show its control panel again.
        if (isVisible()) {
            handingBack_ = true;
            platform::postMessage(mainWindowHandle, platform::WM_KEYDOWN_MESSAGE,
                                  platform::VK_SPACE_KEY, 0);
            hide();
            // The window system must see this window go before the main window is brought
            // forward (another connection): else the keyboard falls back to nothing.
            station::flushWindowSystem();
            platform::setForegroundWindow(mainWindowHandle);
            platform::postMessage(mainWindowHandle, platform::WM_KEYDOWN_MESSAGE,
                                  platform::VK_SPACE_KEY, 0);
        }
        break;
    case vorbelt::KeyKind::Camera:
        cameraButton(a.camera)->click();
        currentChannel = static_cast<uint8_t>(a.camera - 1);
        if (sync_)
            sync_->setCurrent(currentChannel);
        break;
    case vorbelt::KeyKind::NextCamera:
        if (const auto tag = vorbelt::nextCameraButton(currentChannel, fileCount))
            cameraButton(*tag)->click();
        break;
    case vorbelt::KeyKind::PlayPause:
        Image7MouseDown(0);
        break;
    case vorbelt::KeyKind::PostToAll:
        station::transportKey(sync_, vlcWindow, rows(), a.virtualKey);
        break;
    }
    return true;
}

// --- camera buttons ----------------------------------------------------------------------------

void TForm2::ButtonClick(int tag) {
    const station::BusyCursor busy;
    const int resolution = settings_.settings().resolution;
    const bool preview = ui_->CheckBox3->isChecked();
    // With Fine Sync every camera keeps playing on the current camera's timeline: a selection
    // neither pauses, seeks nor toggles any of them.
    const bool keepPlaying = fineSync();
    // 1 to 4: the current camera back into its cell.
    if (currentChannel < kRows && vlcWindow[currentChannel] != 0 && !keepPlaying)
        platform::postMessage(vlcWindow[currentChannel], platform::WM_KEYDOWN_MESSAGE,
                              platform::VK_END_KEY, 0);
    cellSizeFromResolution();
    if (const auto cell = vorbelt::cellPlacement(currentChannel, resolution, Tag))
        platform::setWindowPos(vlcWindow[currentChannel], platform::HWND_TOP_WINDOW, cell->left,
                               cell->top, cellWidth, cellHeight, kNoActivate);
    if (!preview && currentChannel < kRows)
        platform::setLayeredWindowAttributes(vlcWindow[currentChannel], 0, 1,
                                             platform::LWA_ALPHA_FLAG);
    if (currentChannel < kRows)
        channelState[currentChannel] = 1;
    // 5. Only a loaded camera becomes current.
    if (tag - 1 < fileCount)
        currentChannel = static_cast<uint8_t>(tag - 1);
    if (currentChannel < kRows)
        channelState[currentChannel] = 3;
    // 6. The new one at the seek bar's second, full size.
    const platform::WindowHandle w = currentChannel < kRows ? vlcWindow[currentChannel] : 0;
    if (w != 0) {
        platform::sleepMs(100);
        if (!keepPlaying)
            platform::postMessage(relayWindow[currentChannel], vorbelt::kCommandMessage, 20,
                                  ui_->TrackBar1->value());
        platform::sleepMs(300);
        showFullView(w);
        if (ui_->CheckBox2->isChecked()) {
            platform::sleepMs(100);
            if (!keepPlaying)
                platform::postMessage(w, platform::WM_KEYDOWN_MESSAGE, platform::VK_HOME_KEY, 0);
        }
        platform::sleepMs(300);
    }
    if (sync_)
        sync_->setCurrent(currentChannel);
    // 7.
    recolourButtons();
    update();
}

void TForm2::ButtonMouseMove(int tag) {
    if (tag - 1 < kRows && channelState[tag - 1] == 1) {
        channelState[tag - 1] = 2;
        station::colourCameraButton(cameraButton(tag), 2);
    }
}

void TForm2::Panel1MouseMove() {
    bool changed = false;
    for (int i = 0; i < rows(); ++i)
        if (channelState[i] == 2) {
            channelState[i] = 1;
            changed = true;
        }
    recolourButtons();
    setMainWindowLayered(transparencyFlag ? platform::LWA_ALPHA_FLAG : platform::LWA_COLORKEY_FLAG);
    // The picture is drawn again only when a camera stopped being pointed at: a pointer
    // crossing it costs next to nothing.
    if (changed)
        ui_->Panel1->update();
}

// --- transport strip and seek bar ----------------------------------------------------------

void TForm2::Image7MouseDown(int x) {
    const int zone = vorbelt::transportZone(x);
    const platform::WindowHandle current = currentChannel < kRows ? vlcWindow[currentChannel] : 0;
    if (zone == 0)
        station::playPause(sync_, currentChannel, current, relayWindow, rows(),
                           ui_->TrackBar1->value());
    else if (current != 0)
        station::transportKey(sync_, vlcWindow, rows(), vorbelt::transportKey(zone));
}

void TForm2::TrackBar1Change() {
    const int p = ui_->TrackBar1->value();
    station::showPosition(ui_->LCDNumber1, ui_->LCDNumber2, p);
    // Only the operator's own moves seek; the repaint and the hand-over move it silently.
    if (seekBarMoves_->take() && seekBarFocus)
        station::seekAll(sync_, relayWindow, rows(), p);
}

// --- hover -------------------------------------------------------------------------------------

void TForm2::setOthersAlpha(uint8_t alpha) {
    station::setAlphaExcept(vlcWindow, rows(), currentChannel, alpha);
}

void TForm2::FormMouseMove() {
    update();
    if (hoverFlag == 0) {
        mainWindowAlpha();
        setOthersAlpha(1);
    }
    update();
    hoverFlag = 1;
}

void TForm2::Panel3MouseMove() {
    if (hoverFlag != 1)
        return;
    hoverFlag = 0;
    mainWindowAlpha();
    setOthersAlpha(ui_->CheckBox3->isChecked() ? 255 : 1);
}

void TForm2::PanelExit() {
    if (hoverFlag == 1)
        return;
    hoverFlag = 1;
    mainWindowAlpha();
    setOthersAlpha(ui_->CheckBox3->isChecked() ? 255 : 1);
}

// --- settings, transparency, help ------------------------------------------------------------

void TForm2::Button2Click() {
    saveSettings(settings_, ui_->GroupBox1);
}

void TForm2::CheckBox6Click() {
    transparencyFlag = ui_->CheckBox6->isChecked();
}

void TForm2::CheckBox7Click() {
    if (sync_)
        sync_->setEnabled(ui_->CheckBox7->isChecked());
}

void TForm2::TrackBar2Change() {
    setMainWindowLayered(platform::LWA_ALPHA_FLAG);
}

void TForm2::CheckBox5Click() {
    const bool help = ui_->CheckBox5->isChecked();
    ui_->ListBox1->setVisible(help);
    ui_->Panel3->resize(ui_->Panel3->width(), help ? 345 : 220);
    ui_->TrackBar1->resize(ui_->TrackBar1->width(), help ? 337 : 212);
    for (QWidget* lcd : {ui_->LCDNumber3, ui_->LCDNumber4})
        lcd->move(lcd->x(), help ? 306 : 188);
}

// --- pointer and key routing ---------------------------------------------------------------------

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && keyBound_.contains(watched))
        return FormKeyDown(static_cast<QKeyEvent*>(event)->key());
    if (station::isPress(event) && watched == ui_->Image7) {
        Image7MouseDown(static_cast<QMouseEvent*>(event)->position().toPoint().x());
        // The keys must keep reaching the key handler: the help list takes the focus, or
        // where it is hidden the window itself.
        if (ui_->ListBox1->isVisible())
            ui_->ListBox1->setFocus();
        else
            setFocus();
        return true;
    }
    if (event->type() == QEvent::MouseMove) {
        if (station::passedOn(watched, event))
            return false;
        for (int tag = 1; tag <= 7; ++tag)
            if (watched == cameraButton(tag)) {
                ButtonMouseMove(tag);
                return false;
            }
        auto* w = qobject_cast<QWidget*>(watched);
        if (watched == ui_->Panel1)
            Panel1MouseMove();
        else if (w && w != ui_->Image7 && w != ui_->TrackBar1 && w != ui_->TrackBar2 &&
                 w != ui_->RadioGroup1 && !ui_->RadioGroup1->isAncestorOf(w) &&
                 (w == ui_->Panel3 || ui_->Panel3->isAncestorOf(w) || w == ui_->GroupBox1 ||
                  ui_->GroupBox1->isAncestorOf(w)))
            Panel3MouseMove();
        return false;
    }
    if (watched == ui_->TrackBar1 && event->type() == QEvent::FocusIn)
        seekBarFocus = true; // TrackBar1Enter
    else if (watched == ui_->TrackBar1 && event->type() == QEvent::FocusOut)
        seekBarFocus = false; // TrackBar1Exit
    else if (watched == ui_->Panel1 && event->type() == QEvent::FocusIn)
        seekBarFocus = false; // Panel1Enter
    return QWidget::eventFilter(watched, event);
}

// --- Exit
// ------------------------------------------------------------------------------------------

void TForm2::Button0Click() {
    close();
}

bool TForm2::FormCloseQuery() {
    pollingFlag = false;
    for (int i = 0; i < kRows; ++i)
        station::endProcess(vlcProcessId[i], 0);
    station::endVideoPlayers(0);
    // The main window then closes and ends the station.
    platform::postMessage(mainWindowHandle, platform::WM_CLOSE_MESSAGE, 0, 0);
    return true;
}

void TForm2::closeEvent(QCloseEvent* event) {
    if (FormCloseQuery())
        event->accept();
    else
        event->ignore();
}
