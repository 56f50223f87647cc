#include "control/Player.h"

#include "control/Guid.h"
#include "control/icons.h"
#include "control/station.h"
#include "core/geometry.h"
#include "core/keys.h"
#include "core/names.h"
#include "core/player_launch.h"
#include "core/relay_commands.h"
#include "core/reports.h"
#include "platform/qt/message_box.h"
#include "ui_Guid.h"
#include "ui_Player.h"

#include <QApplication>
#include <QBitmap>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <system_error>

namespace {

constexpr int kRelayWaitPolls = 100; // 100 polls of 100 ms before asking "Wait more?"
const QColor kRed(255, 0, 0);
const QColor kMaroon(128, 0, 0);
const QColor kGrey(192, 192, 192);

int lineCount(const QString& text) {
    return static_cast<int>(vorbelt::decodeNames(text.toStdString()).size());
}

bool askWaitMore(const QString& caption) {
    return messageBox("Wait more?", caption, BoxKind::Question) == BoxAnswer::Ok;
}

// Maximum, position and tick frequency; setting the position runs the target's change handler.
void copySeekBar(const QSlider& from, QSlider& to) {
    to.setMaximum(from.maximum());
    to.setValue(from.value());
    to.setTickInterval(from.tickInterval());
}

} // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent), ui_(new Ui::Form1) {
    // 1. The form from its description.
    ui_->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    QFont f = font();
    f.setPixelSize(16);
    f.setBold(true);
    setFont(f);
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
    connect(ui_->Button0, &QPushButton::clicked, this, &TForm1::Button0Click);
    connect(ui_->Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(ui_->Frame11->Button1(), &QPushButton::clicked, this, &TForm1::Frame11Button1Click);
    connect(ui_->Frame11->Button2(), &QPushButton::clicked, this, &TForm1::Frame11Button2Click);
    // Change handlers run whenever the value changes, also when the settings file sets it.
    connect(ui_->CheckBox3, &QCheckBox::toggled, this, &TForm1::CheckBox3Click);
    connect(ui_->CheckBox4, &QCheckBox::toggled, this, &TForm1::CheckBox4Click);
    connect(ui_->CheckBox5, &QCheckBox::toggled, this, &TForm1::CheckBox5Click);
    connect(ui_->CheckBox6, &QCheckBox::toggled, this, &TForm1::CheckBox6Click);
    connect(ui_->TrackBar2, &QSlider::valueChanged, this, &TForm1::TrackBar2Change);
    // The resolution is applied by the start-up sizing; later only the operator's choice acts.
    for (auto* item : {ui_->RadioGroup1Item0, ui_->RadioGroup1Item1, ui_->RadioGroup1Item2})
        connect(item, &QRadioButton::clicked, this, &TForm1::RadioGroup1Click);
    connect(ui_->Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
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
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* from, QWidget* to) {
        for (QWidget* panel :
             {static_cast<QWidget*>(ui_->Frame11), static_cast<QWidget*>(ui_->GroupBox1),
              static_cast<QWidget*>(ui_->Panel3)})
            if (from && panel->isAncestorOf(from) && !(to && panel->isAncestorOf(to)))
                PanelExit();
    });
    connect(ui_->Memo1, &QPlainTextEdit::textChanged, this,
            [this] { cameraCount_ = lineCount(ui_->Memo1->toPlainText()); });

    // 2. Report texts and the pipe name.
    for (auto& t : lastReportText)
        t.clear();
    pipeName = platform::kReportPipeName;

    // 3. Names: the names file replaces the memo's lines when it exists. Its line count fixes
    // the number of channels, at most as many as the channel table holds. A names file that
    // cannot be read ends start-up with the error.
    QStringList names;
    if (readNamesFile(names))
        settings_.setNameLines(names);
    cameraCount_ = lineCount(ui_->Memo1->toPlainText());
    const int n = std::min(cameraCount(), kTableRows);

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

    // 11, 12. Label tiles.
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
        messageBox("ThreadFail!", "Timer");
    }

    // 19.
    update();
}

TForm1::~TForm1() {
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
}

void TForm1::loadSettings() {
    if (!QFile::exists(kSettingsFile))
        return;
    vorbelt::Settings s = settings_.settings();
    const bool ok = readSettingsFile(s);
    settings_.apply(s);
    if (!ok)
        messageBox(kFileErrorText, "File Error");
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
    const QStringList names = ui_->Memo1->toPlainText().split('\n');
    for (int k = 0; k < cameraCount() && k < 8; ++k) {
        QLabel* tile = labelTile(k);
        tile->setVisible(ui_->CheckBox3->isChecked());
        QPixmap canvas(std::max(1, tile->width()), std::max(1, tile->height()));
        canvas.fill(kMaroon);
        QPainter painter(&canvas);
        painter.setPen(Qt::white);
        painter.setFont(font());
        painter.drawText(QRect(0, 0, canvas.width(), canvas.height()), Qt::AlignLeft | Qt::AlignTop,
                         k < names.size() ? names[k] : QString());
        painter.end();
        tile->setPixmap(canvas);
    }
}

// --- channel start ---------------------------------------------------------------------------

void TForm1::failedStart(int j) {
    if (relayProcessId[j] > 0) {
        if (platform::ProcessHandle h = platform::openProcess(relayProcessId[j])) {
            platform::terminateProcess(h, 0);
            platform::closeProcessHandle(h);
        }
    }
    relayProcessId[j] = -1;
    relayWindow[j] = 0;
}

TForm1::PipeWait TForm1::waitForRelayPipe(int j) {
    for (;;) {
        for (int poll = 0; poll < kRelayWaitPolls; ++poll) {
            switch (platform::connectNamedPipe(pipeInstance[j], 100)) {
            case platform::PipeConnect::Connected:
            case platform::PipeConnect::AlreadyConnected:
                return PipeWait::Connected;
            case platform::PipeConnect::Failed:
                return PipeWait::NotConnected;
            case platform::PipeConnect::TimedOut:
                break;
            }
            if (!platform::processRunning(relayProcessId[j]))
                return PipeWait::GaveUp;
        }
        if (!askWaitMore("Relay " + QString::number(j) + " Not Responding!"))
            return PipeWait::GaveUp;
    }
}

bool TForm1::waitForRelayWindow(int j) {
    waitFlag = true;
    int polls = 0;
    while (waitFlag) {
        platform::sleepMs(100);
        relayWindow[j] = platform::findWindow("Telnet");
        if (relayWindow[j] != 0) {
            waitFlag = false;
            break;
        }
        if (!platform::processRunning(relayProcessId[j]))
            return false;
        if (++polls % kRelayWaitPolls == 0 &&
            !askWaitMore("Relay " + QString::number(j) + " Not Responding!"))
            return false;
    }
    return true;
}

void TForm1::startChannel(int j) {
    // 1. The relay, with the one-word command line "Telnet".
    relayProcessId[j] = platform::createProcess(platform::relayProgram(), "Telnet");
    // 2. Its pipe instance.
    pipeInstance[j] = platform::createNamedPipe(pipeName);
    if (relayProcessId[j] == -1 || pipeInstance[j] == platform::kInvalidPipe) {
        // Nothing will ever connect: record a failed start at once instead of waiting.
        platform::closePipe(pipeInstance[j]);
        failedStart(j);
        return;
    }
    // 3, 4. Wait for the relay to connect, then read its reports on a thread of its own.
    const PipeWait wait = waitForRelayPipe(j);
    if (wait == PipeWait::Connected) {
        try {
            readerDone_[j] = false;
            readerThread[j] = std::thread(&TForm1::readerThreadMain, this, pipeInstance[j].load());
            readerThreadId[j] = static_cast<uint32_t>(readerThread[j].native_handle());
        } catch (const std::system_error&) {
            messageBox("ThreadFail!", "Guid");
        }
    } else {
        // Not connected: the instance is closed and no reader started. A relay that is gone,
        // or that the operator gave up on, gets the values of a failed start.
        platform::closePipe(pipeInstance[j]);
        if (wait == PipeWait::GaveUp) {
            failedStart(j);
            return;
        }
    }
    // 5. Its window, titled "Telnet" until it takes its channel number.
    if (!waitForRelayWindow(j)) {
        failedStart(j);
        return;
    }
    // 6. Channel index, local host, telnet port.
    const platform::WindowHandle w = relayWindow[j];
    platform::postMessage(w, vorbelt::kCommandMessage, 0, j);
    platform::postMessage(w, vorbelt::kCommandMessage, 1, 0);
    platform::postMessage(w, vorbelt::kCommandMessage, 2, 9000 + j);
}

// --- reports ---------------------------------------------------------------------------------

void TForm1::readerThreadMain(platform::PipeHandle instance) {
    int channel = 0;
    const int n = std::min(cameraCount(), kTableRows);
    for (int i = 0; i < n; ++i)
        if (pipeInstance[i] != 0 && pipeInstance[i] == instance)
            channel = i;
    char buffer[vorbelt::kReportBufferSize];
    for (;;) {
        const platform::PipeRead r = platform::readPipe(instance, buffer, sizeof buffer);
        if (!r.ok)
            break;
        if (r.length > sizeof buffer)
            continue; // an over-long message is dropped whole; the next one is read as usual
        reportHandling(buffer, r.bytes, channel);
    }
    readerDone_[channel] = true;
    platform::sleepMs(100);
    platform::flushPipe(instance);
    platform::disconnectNamedPipe(instance);
    platform::closePipe(instance);
}

void TForm1::reportHandling(const char* data, std::size_t length, int channel) {
    const auto value = vorbelt::reportValue(data, length, lastReportText[channel]);
    if (!value)
        return;
    // Widgets belong to the GUI thread; queued calls keep each channel's reports in order.
    // Whether it is a length is decided now, as it is read: Load ends the length phase while
    // the GUI thread is still busy, before the queued calls run.
    QMetaObject::invokeMethod(
        this,
        [this, channel, v = *value, length = lengthPhaseFlag.load()] {
            applyReport(channel, v, length);
        },
        Qt::QueuedConnection);
}

ReportView& TForm1::activeReportView() {
    if (Form2 && Form2->isVisible())
        return *Form2;
    return *this;
}

QSlider* TForm1::seekBar() const {
    return ui_->TrackBar1;
}
QLCDNumber* TForm1::lengthMinutes() const {
    return ui_->LCDNumber3;
}
QLCDNumber* TForm1::lengthSeconds() const {
    return ui_->LCDNumber4;
}
bool TForm1::alwaysPlay() const {
    return ui_->CheckBox2->isChecked();
}

void TForm1::applyReport(int channel, int32_t value, bool lengthPhase) {
    ReportView& view = activeReportView();
    if (lengthPhase) {
        const auto d = vorbelt::lengthPhase(view.seekBar()->maximum(), value);
        view.seekBar()->setMaximum(d.maximum);
        view.lengthMinutes()->display(QString::number(d.minutes));
        view.lengthSeconds()->display(QString::number(d.seconds));
        view.seekBar()->setTickInterval(d.tickEvery);
        return;
    }
    std::atomic<int32_t>& reference = view.reportReferenceTime();
    const vorbelt::PositionStep step =
        vorbelt::positionPhase(view.reportWindow(), channel == view.reportCurrentChannel(), value,
                               reference, view.alwaysPlay());
    if (step.setReference)
        reference = value;
    if (step.seekToReference)
        platform::postMessage(view.reportRelayWindow(channel), vorbelt::kCommandMessage, 20,
                              reference);
    view.repaintView();
}

void TForm1::timerThreadMain() {
    timerRunning_ = true;
    while (timerRunFlag) {
        platform::sleepMs(100);
        while (pollingFlag) {
            platform::sleepMs(1000);
            const int n = std::min(cameraCount(), kTableRows);
            for (int i = 0; i < n; ++i)
                if (channelState[i] != 0 && relayWindow[i] != 0)
                    platform::postMessage(relayWindow[i], vorbelt::kCommandMessage, 22, 0);
        }
    }
    timerRunning_ = false;
}

// --- settings and view options ---------------------------------------------------------------

void TForm1::Button2Click() {
    // The main window, too, tells the operator when the settings could not be saved.
    saveSettings(settings_, ui_->GroupBox1);
    drawingChanged();
    update();
}

void TForm1::RadioGroup1Click() {
    if (const auto size = tileSizeFromResolution())
        setGeometry(Tag, 0, size->width, size->height);
    if (vorbelt::layoutServes(cameraCount()))
        layOutLabelTiles();
    update();
}

void TForm1::TrackBar2Change() {
    setLayered(platform::LWA_ALPHA_FLAG, vorbelt::opacityAlpha(ui_->TrackBar2->value()));
}

void TForm1::CheckBox3Click() {
    for (int k = 0; k < 8; ++k)
        labelTile(k)->setVisible(ui_->CheckBox3->isChecked());
    drawingChanged();
    update();
}

void TForm1::CheckBox4Click() {
    ui_->Frame11->setVisible(ui_->CheckBox4->isChecked());
}
void TForm1::CheckBox5Click() {
    ui_->ListBox1->setVisible(ui_->CheckBox5->isChecked());
}
void TForm1::CheckBox6Click() {
    transparencyFlag = ui_->CheckBox6->isChecked();
}

// --- file list -------------------------------------------------------------------------------

void TForm1::Frame11Button1Click() {
    pollingFlag = false;
    platform::sleepMs(900);
    // The players of the previous load are stopped before the dialog, also if it is cancelled.
    for (int i = 0; i < fileCount; ++i)
        station::endProcess(vlcProcessId[i], 100);
    ui_->Frame11->Button1Click();
    ui_->TrackBar1->setValue(0);
    ui_->TrackBar1->setMaximum(0);
    ui_->LCDNumber3->display("0");
    ui_->LCDNumber4->display("0");
}

// --- loading the video players ----------------------------------------------------------------

void TForm1::Button1Click() {
    waitFlag = true;
    lengthPhaseFlag = true;
    ui_->Frame11->Button1()->click();
    fileCount = static_cast<uint8_t>(std::min(ui_->Frame11->ListBox1()->count(), kTableRows - 1));
    try {
        for (int i = 0; i < fileCount; ++i)
            loadFile(i);
    } catch (const std::exception& e) {
        // A file name without a camera digit ends the Load here; what was loaded stays.
        messageBox(QString::fromLocal8Bit(e.what()), "Vorbelt Player");
        return;
    }
    lengthPhaseFlag = false;
    platform::setForegroundWindow(mainWindowHandle);
    platform::sleepMs(900);
    pollingFlag = true;
    update();
}

void TForm1::loadFile(int i) {
    const std::string item = ui_->Frame11->ListBox1()->item(i)->text().toStdString();
    const auto digit = vorbelt::cameraNumber(item);
    if (!digit)
        throw std::invalid_argument("'" + item + "' has no camera digit before \"_st\"");
    vlcProcessId[i] = station::startVideoPlayer(i, ui_->CheckBox1->isChecked(), item);
    platform::sleepMs(100);
    vlcWindow[i] = station::awaitVideoWindow(1000, std::to_string(*digit));
    waitFlag = false;
    const platform::WindowHandle w = vlcWindow[i];
    if (w != 0) {
        platform::postMessage(w, platform::WM_KEYDOWN_MESSAGE, platform::VK_END_KEY, 0);
        platform::postMessage(w, platform::WM_KEYDOWN_MESSAGE, platform::VK_LEFT_KEY, 0);
    }
    const int n = cameraCount();
    tileSizeFromResolution();
    if (const auto r = vorbelt::tilePlacement(i, Tag, {tileWidth, tileHeight}, n))
        platform::setWindowPos(w, platform::HWND_TOP_WINDOW, r->left, r->top, r->width, r->height,
                               0x0010 /* SWP_NOACTIVATE */);
    platform::setForegroundWindow(w);
    if (w != 0) {
        platform::setWindowLong(w, platform::GWL_EXSTYLE_INDEX, platform::WS_EX_LAYERED_STYLE);
        platform::setLayeredWindowAttributes(w, 0, ui_->CheckBox3->isChecked() ? 255 : 1,
                                             platform::LWA_ALPHA_FLAG);
    }
    platform::sleepMs(300);
    if (relayWindow[i] != 0)
        platform::postMessage(relayWindow[i], vorbelt::kCommandMessage, 3, 0);
    platform::sleepMs(300);
    if (relayWindow[i] != 0)
        platform::postMessage(relayWindow[i], vorbelt::kCommandMessage, 23, 0);
    platform::sleepMs(300);
    waitFlag = true;
    channelState[i] = 1;
    update();
}

// --- activation, layering, repaint -------------------------------------------------------------

void TForm1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

void TForm1::FormActivate() {
    // Our own window, found by its caption; it exists, so the wait is short, and bounded.
    waitFlag = true;
    int polls = 0;
    while (waitFlag) {
        mainWindowHandle = platform::findWindow("VorbeltPlayer");
        platform::sleepMs(100);
        if (mainWindowHandle != 0 || ++polls >= 20)
            waitFlag = false;
    }
    if (mainWindowHandle == 0)
        mainWindowHandle = winId();
    platform::setColourKeyCutter(mainWindowHandle, [this](uint32_t, bool on) { cutOutRed(on); });
    platform::setWindowLong(mainWindowHandle, platform::GWL_EXSTYLE_INDEX,
                            platform::WS_EX_LAYERED_STYLE);
    drawingChanged();
    applyLayeredMode();
}

void TForm1::cutOutRed(bool on) {
    if (!on) {
        clearMask();
    } else {
        // The window as drawn now, without its red pixels.
        maskDirty_ = false;
        grabbing_ = true;
        const QImage image = grab().toImage();
        grabbing_ = false;
        const QBitmap keep =
            QBitmap::fromImage(image.createMaskFromColor(QColor(255, 0, 0).rgb(), Qt::MaskInColor));
        setMask(QRegion(keep));
    }
    // Qt sends a mask made after the window is shown only with its next request: send it now.
    station::flushWindowSystem();
}

void TForm1::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    FormPaint();
}

void TForm1::FormPaint() {
    recolourButtons();
    ui_->TrackBar1->setValue(referenceTime);
    // The layered mode is put back after the paint, not inside it: cutting out the red
    // pixels draws the window once more.
    if (mainWindowHandle != 0 && !layeredPending_ && !grabbing_) {
        layeredPending_ = true;
        QTimer::singleShot(0, this, [this] {
            layeredPending_ = false;
            applyLayeredMode();
        });
    }
}

void TForm1::recolourButtons() {
    for (int i = 0; i < cameraCount() && i <= 6; ++i)
        station::colourCameraButton(cameraButton(i + 1), channelState[i]);
}

void TForm1::applyLayeredMode() {
    setLayered(transparencyFlag ? platform::LWA_ALPHA_FLAG : platform::LWA_COLORKEY_FLAG,
               vorbelt::opacityAlpha(ui_->TrackBar2->value()));
}

void TForm1::setLayered(uint32_t mode, uint8_t alpha) {
    if (mainWindowHandle == 0)
        return;
    // The compact window may have changed this window's layered mode behind its back.
    if (Form2 && Form2->mainWindowLayeringChanged) {
        Form2->mainWindowLayeringChanged = false;
        appliedMode_ = 0;
    }
    const bool same = mode == appliedMode_ &&
                      (mode == platform::LWA_COLORKEY_FLAG ? !maskDirty_ : alpha == appliedAlpha_);
    if (same)
        return;
    appliedMode_ = mode;
    appliedAlpha_ = alpha;
    platform::setLayeredWindowAttributes(mainWindowHandle, 0x0000FF, alpha, mode);
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    drawingChanged();
}

// --- seek bar
// -------------------------------------------------------------------------------------

void TForm1::TrackBar1Change() {
    const int p = ui_->TrackBar1->value();
    station::showPosition(ui_->LCDNumber1, ui_->LCDNumber2, p);
    if (seekBarFocus)
        station::seekAll(relayWindow, fileCount, p);
}

// --- camera selection ----------------------------------------------------------------------------

void TForm1::LabelClick(int tag) {
    select(tag - 1, false);
}

void TForm1::ImageMouseDown(int tag) {
    select(tag, true);
}

void TForm1::select(int row, bool fromLabelTile) {
    const int n = cameraCount();
    const int old = currentChannel;
    const bool preview = ui_->CheckBox3->isChecked();
    const uint32_t key = fromLabelTile ? 0xFF0000 : 0;
    // 1 to 5: the current camera goes back into its tile.
    if (vlcWindow[old] != 0)
        platform::postMessage(vlcWindow[old], platform::WM_KEYDOWN_MESSAGE, platform::VK_END_KEY,
                              0);
    tileSizeFromResolution();
    if (old <= 7) {
        platform::setWindowPos(vlcWindow[old], platform::HWND_TOP_WINDOW, Tag + old * tileWidth,
                               n * tileHeight - tileHeight, tileWidth, tileHeight,
                               0x0010 /* SWP_NOACTIVATE */);
        if (!preview)
            platform::setLayeredWindowAttributes(vlcWindow[old], key, 1, platform::LWA_ALPHA_FLAG);
    }
    if (vlcWindow[old] != 0)
        channelState[old] = 1;
    // 6: the file list's selected row decides the new current channel.
    QListWidget* list = ui_->Frame11->ListBox1();
    if (row >= 0 && row < kTableRows && channelState[row] != 0)
        list->setCurrentRow(row);
    currentChannel = static_cast<uint8_t>(list->currentRow() < 0 ? 255 : list->currentRow());
    // 7: the new one full size, behind the tiles when they are previewed.
    const platform::WindowHandle w = vlcWindow[currentChannel];
    if (w != 0) {
        channelState[currentChannel] = 3;
        const bool huge = fullViewOrigin == -3840;
        platform::setWindowPos(w,
                               fromLabelTile || preview ? platform::HWND_BOTTOM_WINDOW
                                                        : platform::HWND_NOTOPMOST_WINDOW,
                               fullViewOrigin, 0, huge ? 3840 : n * tileWidth,
                               huge ? 2160 : n * tileHeight, 0x0200 /* SWP_NOOWNERZORDER */);
        platform::sleepMs(100);
        platform::setLayeredWindowAttributes(w, key, 255, platform::LWA_ALPHA_FLAG);
        if (ui_->CheckBox2->isChecked()) {
            platform::sleepMs(100);
            platform::postMessage(w, platform::WM_KEYDOWN_MESSAGE, platform::VK_HOME_KEY, 0);
        }
        platform::sleepMs(300);
    }
    // 8.
    platform::setForegroundWindow(mainWindowHandle);
    update();
}

void TForm1::Image7MouseDown(int x) {
    const int zone = vorbelt::transportZone(x);
    const platform::WindowHandle current = vlcWindow[currentChannel];
    if (zone == 0)
        station::playPause(current, relayWindow, fileCount, ui_->TrackBar1->value());
    else if (current != 0)
        station::keyToAll(vlcWindow, fileCount, vorbelt::transportKey(zone));
    setFocus();
}

// --- pointing ------------------------------------------------------------------------------------

void TForm1::setOthersAlpha(uint8_t alpha) {
    station::setAlphaExcept(vlcWindow, fileCount, currentChannel, alpha);
}

void TForm1::LabelMouseMove(int tag) {
    if (channelState[tag - 1] == 1) {
        channelState[tag - 1] = 2;
        recolourButtons();
    }
}

void TForm1::Panel1MouseMove() {
    for (int i = 0; i < std::min(cameraCount(), kTableRows); ++i)
        if (channelState[i] == 2)
            channelState[i] = 1;
    recolourButtons();
}

void TForm1::Image0MouseMove(int tag, int y) {
    if (hoverFlag) {
        hoverFlag = false;
        setLayered(platform::LWA_COLORKEY_FLAG, vorbelt::opacityAlpha(ui_->TrackBar2->value()));
    }
    // The tiles appear while the pointer rests on the lower part of the strip.
    if (y >= font().pixelSize() - 10 && fileCount > 0)
        setOthersAlpha(255);
    for (int i = 0; i < std::min(cameraCount(), kTableRows); ++i)
        if (channelState[i] == 2)
            channelState[i] = 1;
    if (channelState[tag] != 0 && channelState[tag] != 3)
        channelState[tag] = 2;
    update();
}

void TForm1::ImageMouseMove() {
    update();
    if (!hoverFlag) {
        setLayered(transparencyFlag ? platform::LWA_ALPHA_FLAG : platform::LWA_COLORKEY_FLAG,
                   vorbelt::opacityAlpha(ui_->TrackBar2->value()));
        setOthersAlpha(1);
    }
    hoverFlag = true;
    update();
}

void TForm1::Panel3MouseMove() {
    if (!hoverFlag)
        return;
    hoverFlag = false;
    setLayered(platform::LWA_COLORKEY_FLAG, vorbelt::opacityAlpha(ui_->TrackBar2->value()));
    setOthersAlpha(ui_->CheckBox3->isChecked() ? 255 : 1);
}

void TForm1::Frame11MouseMove() {
    if (!hoverFlag)
        return;
    hoverFlag = false;
    setLayered(platform::LWA_ALPHA_FLAG, vorbelt::opacityAlpha(ui_->TrackBar2->value()));
    setOthersAlpha(1);
}

void TForm1::PanelExit() {
    if (hoverFlag)
        return;
    hoverFlag = true;
    setLayered(transparencyFlag ? platform::LWA_ALPHA_FLAG : platform::LWA_COLORKEY_FLAG,
               vorbelt::opacityAlpha(ui_->TrackBar2->value()));
    setOthersAlpha(ui_->CheckBox3->isChecked() ? 255 : 1);
}

// --- keys ---------------------------------------------------------------------------------------

bool TForm1::event(QEvent* event) {
    // The form's own keys, Tab included (Qt would otherwise move the focus with it). A key
    // that an unbound control (the names memo, the radio group) leaves untaken travels on to
    // the form: it is not the form's.
    if (event->type() == QEvent::KeyPress) {
        QWidget* focus = QApplication::focusWidget();
        if (focus && focus != this && isAncestorOf(focus) && !keyBound_.contains(focus))
            return QWidget::event(event);
        return FormKeyDown(static_cast<QKeyEvent*>(event)->key());
    }
    // A move over a control that does not take it comes on here from the control: only a
    // move over the bare window is the window's own.
    if (event->type() == QEvent::MouseMove &&
        !childAt(static_cast<QMouseEvent*>(event)->position().toPoint()))
        ImageMouseMove();
    return QWidget::event(event);
}

bool TForm1::FormKeyDown(int key) {
    // Step 1: continue from where the compact window left off, or show the control panel.
    if (Form2 && Form2->isVisible())
        takeBackFromCompactWindow();
    else
        ui_->Panel3->setVisible(true);
    const vorbelt::KeyAction a = vorbelt::keyAction(key);
    switch (a.kind) {
    case vorbelt::KeyKind::Nothing:
        break;
    case vorbelt::KeyKind::CompactWindow:
        switchToCompactWindow();
        break;
    case vorbelt::KeyKind::Layout:
        screenLayout(a.layout);
        break;
    case vorbelt::KeyKind::Camera:
        cameraButton(a.camera)->click();
        currentChannel = static_cast<uint8_t>(a.camera - 1);
        break;
    case vorbelt::KeyKind::NextCamera:
        if (const auto tag = vorbelt::nextCameraButton(currentChannel, fileCount))
            cameraButton(*tag)->click();
        break;
    case vorbelt::KeyKind::PlayPause:
        station::playPause(vlcWindow[currentChannel], relayWindow, fileCount,
                           ui_->TrackBar1->value());
        break;
    case vorbelt::KeyKind::PostToAll:
        station::keyToAll(vlcWindow, fileCount, a.virtualKey);
        break;
    }
    return true;
}

void TForm1::switchToCompactWindow() {
    if (!Form2 || Form2->isVisible())
        return;
    Form2->show();
    station::flushWindowSystem();
    waitFlag = true;
    const platform::WindowHandle compact =
        station::awaitOwnWindow("Player_gui", kRelayWaitPolls, "Player Not Responding!");
    waitFlag = false;
    // The hand-over: always ten rows of the channel table, whatever the file count.
    TForm2& c = *Form2;
    for (int i = 0; i < TForm2::kRows; ++i) {
        c.vlcProcessId[i] = vlcProcessId[i];
        c.relayProcessId[i] = relayProcessId[i];
        c.relayWindow[i] = relayWindow[i];
        c.vlcWindow[i] = vlcWindow[i];
        c.channelState[i] = channelState[i];
        c.pipeInstance[i] = pipeInstance[i];
        c.readerThreadId[i] = readerThreadId[i];
    }
    c.pollingFlag = pollingFlag;
    c.fileCount = fileCount;
    c.currentChannel = currentChannel;
    copySeekBar(*ui_->TrackBar1, *c.ui()->TrackBar1);
    c.lengthPhaseFlag = lengthPhaseFlag;
    c.lengthMinutes()->display(ui_->LCDNumber3->intValue());
    c.lengthSeconds()->display(ui_->LCDNumber4->intValue());
    c.settingsPanel().setNameLines(settings_.nameLines());
    // Resolution, the five check boxes, the opacity step, the transparency flag and with it
    // "Transparent".
    c.settingsPanel().apply(settings_.settings());
    c.mainWindowHandle = mainWindowHandle;
    c.setFont(font());
    c.Tag = Tag;
    c.fullViewOrigin = fullViewOrigin;
    ui_->Panel3->setVisible(false);
    platform::setForegroundWindow(compact);
}

void TForm1::takeBackFromCompactWindow() {
    TForm2& c = *Form2;
    // The rows of the channels this window has, as far as the copy goes; the relay windows
    // stay this window's own.
    const int rows = std::min(cameraCount(), int(TForm2::kRows));
    for (int i = 0; i < rows; ++i) {
        vlcProcessId[i] = c.vlcProcessId[i];
        relayProcessId[i] = c.relayProcessId[i];
        vlcWindow[i] = c.vlcWindow[i];
        channelState[i] = c.channelState[i];
        pipeInstance[i] = c.pipeInstance[i];
        readerThreadId[i] = c.readerThreadId[i];
    }
    fileCount = c.fileCount;
    currentChannel = c.currentChannel;
    copySeekBar(*c.ui()->TrackBar1, *ui_->TrackBar1);
    ui_->LCDNumber3->display(c.lengthMinutes()->intValue());
    ui_->LCDNumber4->display(c.lengthSeconds()->intValue());
    settings_.setNameLines(c.settingsPanel().nameLines());
    settings_.apply(c.settingsPanel().settings());
    pollingFlag = c.pollingFlag;
    lengthPhaseFlag = c.lengthPhaseFlag;
}

void TForm1::screenLayout(int item) {
    const auto size = vorbelt::resolutionSize(item);
    const int n = cameraCount();
    const auto tile = vorbelt::tileSize(*size, n);
    if (!tile)
        return; // no camera names: nothing to lay out
    tileWidth = tile->width;
    tileHeight = tile->height;
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int desktopWidth = screen ? screen->virtualGeometry().width() : 1920;
    const vorbelt::LayoutOrigins o =
        vorbelt::layoutOrigins(item, desktopWidth, Tag, fullViewOrigin);
    Tag = o.leftOrigin;
    fullViewOrigin = o.fullViewOrigin;
    setGeometry(o.windowLeft, 0, size->width, size->height);
    if (vorbelt::layoutServes(n))
        layOutLabelTiles();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    // A panel or tile of the window shown or hidden changes what the colour key cuts out.
    if ((event->type() == QEvent::Show || event->type() == QEvent::Hide) &&
        watched->parent() == this) {
        drawingChanged();
        update();
    }
    if (event->type() == QEvent::KeyPress && keyBound_.contains(watched))
        return FormKeyDown(static_cast<QKeyEvent*>(event)->key());
    if (event->type() == QEvent::MouseButtonPress) {
        for (int k = 0; k < 8; ++k)
            if (watched == labelTile(k)) {
                ImageMouseDown(k);
                return true;
            }
        if (watched == ui_->Image7) {
            Image7MouseDown(static_cast<QMouseEvent*>(event)->position().toPoint().x());
            return true;
        }
    }
    if (event->type() == QEvent::MouseMove) {
        // A move that a control leaves untaken travels on to its parents; only the control
        // under the pointer is pointed at.
        if (auto* under = qobject_cast<QWidget*>(watched))
            if (under->childAt(static_cast<QMouseEvent*>(event)->position().toPoint()))
                return false;
        for (int tag = 1; tag <= 7; ++tag)
            if (watched == cameraButton(tag)) {
                LabelMouseMove(tag);
                return false;
            }
        for (int k = 0; k < 8; ++k)
            if (watched == labelTile(k)) {
                Image0MouseMove(k, static_cast<QMouseEvent*>(event)->position().toPoint().y());
                return false;
            }
        auto* w = qobject_cast<QWidget*>(watched);
        if (watched == ui_->Panel1)
            Panel1MouseMove();
        else if (watched == ui_->Frame11)
            Frame11MouseMove();
        else if (w && (ui_->Panel3->isAncestorOf(w) || w == ui_->Panel3 ||
                       ui_->GroupBox1->isAncestorOf(w) || w == ui_->GroupBox1 ||
                       ui_->Frame11->isAncestorOf(w)))
            Panel3MouseMove();
        return false;
    }
    if (watched == ui_->TrackBar1 && event->type() == QEvent::FocusIn)
        seekBarFocus = true; // TrackBar1Enter
    else if (watched == ui_->TrackBar1 && event->type() == QEvent::FocusOut)
        seekBarFocus = false; // TrackBar1Exit
    else if (watched == ui_->Panel3 && event->type() == QEvent::FocusIn)
        seekBarFocus = false; // Panel3Enter
    return QWidget::eventFilter(watched, event);
}

// --- shutdown --------------------------------------------------------------------------------

void TForm1::Button0Click() {
    close();
}
void TForm1::Frame11Button2Click() {
    close();
}

bool TForm1::FormCloseQuery() {
    pollingFlag = false;
    timerRunFlag = false;
    platform::sleepMs(900);
    platform::sleepMs(900);
    const int n = std::min(cameraCount(), kTableRows);
    for (int i = 0; i < n; ++i) {
        station::endProcess(vlcProcessId[i], 100);
        station::endProcess(relayProcessId[i], 100);
    }
    // Players started for files beyond the channels must not outlive the station either, nor
    // those that a Load in the compact window started and this window never took back.
    for (int i = n; i < fileCount; ++i)
        station::endProcess(vlcProcessId[i], 100);
    if (Form2)
        for (int i = 0; i < TForm2::kRows; ++i)
            if (platform::processRunning(Form2->vlcProcessId[i]))
                station::endProcess(Form2->vlcProcessId[i], 0);
    return true;
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (FormCloseQuery())
        event->accept();
    else
        event->ignore();
}
