#include "app/LumivexDlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStatusBar>
#include <QToolButton>
#include <QUndoStack>

#include <cmath>

#include "app/AboutDlg.h"
#include "app/ApplyToMany.h"
#include "app/PreviewFrame.h"
#include "app/Resources.h"

namespace {

// The slider controls follow the rows of the adjustment table.
static_assert(kIdBandBrightnessSlider - kIdBrightnessSlider + 1 == kAdjustmentCount);

// Band k's swatch, in the order of the colour its button names.
const int32_t kBandBitmaps[6] = {kBitmapRed,  kBitmapYellow, kBitmapGreen,
                                 kBitmapCyan, kBitmapBlue,   kBitmapMagenta};

}  // namespace

CLumivexDlg::CLumivexDlg(UserPrompts* userPrompts)
    : QDialog(nullptr),
      prompts(userPrompts),
      remembered(
          std::make_unique<QSettings>(QStringLiteral("lumivex"), QStringLiteral("lumivex"))) {
    if (!prompts) {
        ownPrompts = std::make_unique<QtUserPrompts>();
        prompts = ownPrompts.get();
    }
    appIcon = LoadAppIcon();
    // Pictures come back on the renderer's thread and are shown on the window's; one for a
    // window already gone is dropped with the window.
    renderer = std::make_unique<PreviewRenderer>([this](RenderedPreview picture) {
        QMetaObject::invokeMethod(
            this, [this, picture] { OnPreviewRendered(picture); }, Qt::QueuedConnection);
    });
    history = new QUndoStack(this);
    setAcceptDrops(true);
    CreateFromTemplate();
    ConnectMessageMap();
    OnInitDialog();
    RestoreWindowState();
    EnableSave(false);
    FillRecentMenu();
}

CLumivexDlg::~CLumivexDlg() {
    // Stops the run before anything it reports to goes away.
    applyRun.reset();
    renderer.reset();
    client->removeEventFilter(this);
    previewFrame->SetPaintHook(nullptr);
}

void CLumivexDlg::CreateFromTemplate() {
    const DialogTemplate& dialog = kMainDialog;
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(dialog.caption));
    setFont(DialogFont(dialog.fontFace, dialog.pointSize));

    CreateMenus();

    // Template coordinates start below the menu bar, as client coordinates do.
    client = new QWidget(this);
    controls = CreateDialogControls(client, dialog, {{kIdPreviewFrame, new CPreviewFrame(client)}});
    const QRect size = MapDialogRect(controls.units, 0, 0, dialog.cx, dialog.cy);
    statusBar = new QStatusBar(this);
    zoomLabel = new QLabel(statusBar);
    compareButton = new QToolButton(statusBar);
    compareButton->setText(QStringLiteral("補正前と比較"));
    compareButton->setToolTip(QStringLiteral("押している間、補正前の写真を表示します (\\ キー)"));
    statusBar->addPermanentWidget(compareButton);
    statusBar->addPermanentWidget(zoomLabel);
    const int menuHeight = menuBar->sizeHint().height();
    const int statusHeight = statusBar->sizeHint().height();
    menuBar->setGeometry(0, 0, size.width(), menuHeight);
    client->setGeometry(0, menuHeight, size.width(), size.height());
    resize(size.width(), size.height() + menuHeight + statusHeight);
    // The controls scroll when the window is shorter than they are, so that it fits small and
    // scaled screens; the preview takes the rest, at least 60 dialog units wide.
    const int frameLeft = controls.Item(kIdPreviewFrame)->x();
    auto* pane = new QWidget;
    // Beside each slider, a number that reads its position and takes one typed.
    const int numberWidth = MapDialogRect(controls.units, 0, 0, 28, 0).width();
    pane->setFixedSize(frameLeft + numberWidth, size.height());
    const QObjectList children = client->children();  // a copy: reparenting changes the list
    for (QObject* child : children) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (!widget || widget == controls.Item(kIdPreviewFrame)) continue;
        widget->setParent(pane);
        widget->show();
    }
    for (const AdjustmentSpec& row : kAdjustments) {
        const QWidget* slider = controls.Item(kIdBrightnessSlider + static_cast<int32_t>(row.id));
        auto* number = new QSpinBox(pane);
        number->setRange(row.minimum, row.maximum);
        number->setKeyboardTracking(false);  // a typed number applies once, when it is whole
        number->setButtonSymbols(QAbstractSpinBox::NoButtons);
        number->setAlignment(Qt::AlignRight);
        const int height = number->sizeHint().height();
        number->setGeometry(frameLeft, slider->y() + (slider->height() - height) / 2,
                            numberWidth - 6, height);
        numberBoxes[static_cast<int32_t>(row.id)] = number;
    }
    controlsScroll = new QScrollArea(client);
    controlsScroll->setFrameShape(QFrame::NoFrame);
    controlsScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    controlsScroll->setWidget(pane);
    const int scrollBar = controlsScroll->verticalScrollBar()->sizeHint().width();
    setMinimumSize(
        pane->width() + scrollBar + MapDialogRect(controls.units, 0, 0, 60, 0).width(),
        menuHeight + statusHeight + MapDialogRect(controls.units, 0, 0, 0, 150).height());

    client->installEventFilter(this);
    for (QButtonGroup* group : controls.radioGroups) {
        if (group->button(kIdWbOff)) wbGroup = group;
    }
}

void CLumivexDlg::CreateMenus() {
    menuBar = new QMenuBar(this);
    menuBar->setNativeMenuBar(false);
    auto fill = [](QMenu* popup, const MenuTemplate& menu) {
        for (int32_t i = 0; i < menu.itemCount; ++i) {
            const MenuItemTemplate& item = menu.items[i];
            QAction* action = popup->addAction(QString::fromUtf8(item.text));
            action->setData(item.id);
            action->setCheckable(item.checkable);
            action->setChecked(item.checked);
            if (!item.shortcuts) continue;
            QList<QKeySequence> keys;
            for (const QString& key : QString::fromUtf8(item.shortcuts).split(QLatin1Char(';')))
                keys << QKeySequence(key);
            action->setShortcuts(keys);
        }
    };
    for (const MenuTemplate& menu : kMainMenus)
        fill(menuBar->addMenu(QString::fromUtf8(menu.popupText)), menu);
    QMenu* file = menuBar->actions().first()->menu();
    recentMenu = new QMenu(QStringLiteral("最近使ったファイル(&R)"), file);
    file->insertMenu(file->actions().at(1), recentMenu);
    connect(recentMenu, &QMenu::triggered, this, [this](QAction* action) {
        if (ConfirmSetAside()) OpenPhotoFile(action->data().toByteArray().toStdString());
    });
    // The version popup sits at the right end of the bar.
    auto* rightBar = new QMenuBar(menuBar);
    rightBar->setNativeMenuBar(false);
    fill(rightBar->addMenu(QString::fromUtf8(kRightMenu.popupText)), kRightMenu);
    menuBar->setCornerWidget(rightBar, Qt::TopRightCorner);
}

void CLumivexDlg::EnableSave(bool enable) {
    controls.Item(kIdSavePhoto)->setEnabled(enable);
    MenuAction(kIdSavePhoto)->setEnabled(enable);
}

QAction* CLumivexDlg::MenuAction(int32_t id) const {
    for (QAction* action : menuBar->findChildren<QAction*>()) {
        if (action->data().isValid() && action->data().toInt() == id) return action;
    }
    return nullptr;
}

// The message map: every command, scroll and window event and the handler it reaches.
// Paint, size, click and close arrive through the event overrides below.
void CLumivexDlg::ConnectMessageMap() {
    for (const auto& [id, control] : controls.byId) {
        if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            connect(button, &QAbstractButton::clicked, this, [this, id] { OnCommand(id); });
        }
    }
    for (QAction* action : menuBar->findChildren<QAction*>()) {
        if (!action->data().isValid()) continue;
        const int32_t id = action->data().toInt();
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    }
    for (const AdjustmentSpec& row : kAdjustments) {
        TrackBar* slider = Slider(row.id);
        connect(slider, &TrackBar::scrolled, this,
                [this, slider](int code) { OnHScroll(code, slider); });
        QSpinBox* number = numberBoxes[static_cast<int32_t>(row.id)];
        auto showPosition = [number](int position) {
            const QSignalBlocker quiet(number);
            number->setValue(position);
        };
        connect(slider, &QAbstractSlider::valueChanged, number, showPosition);
        connect(slider, &QAbstractSlider::sliderMoved, number, showPosition);
        // A number typed is applied as a release there.
        connect(number, &QSpinBox::valueChanged, this, [this, slider](int position) {
            slider->SetPos(position);
            OnHScroll(kScrollThumbPosition, slider);
        });
        // Back to neutral, applied as a release.
        connect(slider, &TrackBar::doubleClicked, this, [this, slider, neutral = row.neutral] {
            slider->SetPos(neutral);
            OnHScroll(kScrollThumbPosition, slider);
        });
    }
    connect(history, &QUndoStack::canUndoChanged, MenuAction(kIdUndo), &QAction::setEnabled);
    connect(history, &QUndoStack::canRedoChanged, MenuAction(kIdRedo), &QAction::setEnabled);
    MenuAction(kIdUndo)->setEnabled(false);
    MenuAction(kIdRedo)->setEnabled(false);
    auto* frame = static_cast<CPreviewFrame*>(controls.Item(kIdPreviewFrame));
    frame->SetPaintHook([this](QPainter& dc) { OnPaint(dc); });
    frame->viewChanged = [this] {
        ShowZoom();
        RequestPreview();
    };
    frame->clicked = [this](Point point) { OnLButtonDown(point); };
    for (const bool held : {true, false}) {
        connect(compareButton, held ? &QToolButton::pressed : &QToolButton::released, this,
                [this, held] {
                    originalKeyHeld = held;
                    RequestPreview();
                });
    }
    for (QLabel** label : {&beforeLabel, &afterLabel}) {
        *label = new QLabel(
            label == &beforeLabel ? QStringLiteral("補正前") : QStringLiteral("補正後"), frame);
        (*label)->setStyleSheet(
            QStringLiteral("background: rgba(0, 0, 0, 150); color: white; padding: 2px 6px;"));
        (*label)->hide();
    }
    frame->wheelZoom = [frame](bool up, QPointF at) { frame->SetZoom(frame->NextZoom(up), at); };
}

// Commands by control or menu ID. Enter and Esc arrive as kIdOk and kIdCancel and are
// swallowed, so only the close box ends the dialog.
void CLumivexDlg::OnCommand(int32_t id) {
    switch (id) {
        case kIdOk:
        case kIdCancel:
            return OnIgnoreCommand();
        case kIdOpenPhoto:
            return OnOpenPhoto();
        case kIdNextPhoto:
            return OnStepPhoto(1);
        case kIdPreviousPhoto:
            return OnStepPhoto(-1);
        case kIdSavePhoto:
            return OnSavePhoto();
        case kIdReset:
            return OnReset();
        case kIdAbout:
            return OnAbout();
        case kIdWbOff:
            return OnWbOff();
        case kIdWbAuto:
            return OnWbAuto();
        case kIdWbSpot:
            return OnWbSpot();
        case kIdUndo:
            return OnUndo();
        case kIdRedo:
            return OnRedo();
        case kIdExit:
            return OnExit();
        case kIdShowOriginal:
        case kIdSplitCompare:
            return OnShowOriginal();
        case kIdHistogram:
            return OnHistogram();
        case kIdColourManagement:
            return RequestPreview();
        case kIdExportSettings:
            return OnExportSettings();
        case kIdImportSettings:
            return OnImportSettings();
        case kIdApplyToMany:
            return OnApplyToMany();
        case kIdZoomFit:
        case kIdZoomActual:
        case kIdZoomIn:
        case kIdZoomOut:
            return OnZoom(id);
        case kIdTurnLeft:
            return OnTurn(kTurnLeft);
        case kIdTurnRight:
            return OnTurn(kTurnRight);
        case kIdMirror:
            return OnTurn(kMirror);
        default:
            if (id >= kIdBandRed && id < kIdBandRed + kColorBandCount)
                OnBandButton(id - kIdBandRed);
    }
}

void CLumivexDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            OnCommand(kIdOk);
            event->accept();
            return;
        case Qt::Key_Escape:
            OnCommand(kIdCancel);
            event->accept();
            return;
        // Reaching the window only when the focused control has no use for them.
        case Qt::Key_Space:
        case Qt::Key_Backspace:
            OnStepPhoto(event->key() == Qt::Key_Space ? 1 : -1);
            event->accept();
            return;
        case Qt::Key_Backslash:
            // Held down: the photo without corrections.
            if (!event->isAutoRepeat()) {
                originalKeyHeld = true;
                RequestPreview();
            }
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CLumivexDlg::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Backslash) return QDialog::keyReleaseEvent(event);
    if (!event->isAutoRepeat()) {
        originalKeyHeld = false;
        RequestPreview();
    }
    event->accept();
}

void CLumivexDlg::closeEvent(QCloseEvent* event) {
    if (!ConfirmSetAside()) {
        event->ignore();
        return;
    }
    SaveWindowState();
    OnClose();
    event->accept();
}

// A photo file dropped on the window opens as if chosen in the open dialog.
void CLumivexDlg::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.first().isLocalFile()) event->acceptProposedAction();
}

void CLumivexDlg::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile()) return;
    event->acceptProposedAction();
    if (ConfirmSetAside())
        OpenPhotoFile(QFile::encodeName(urls.first().toLocalFile()).toStdString());
}

// Linux offers no window menu that a program can extend; its item is offered here instead.
void CLumivexDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (!systemMenu) {
        QDialog::contextMenuEvent(event);
        return;
    }
    if (QAction* chosen = systemMenu->exec(event->globalPos())) {
        OnSysCommand(chosen->data().toInt());
    }
}

void CLumivexDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int menuHeight = menuBar->height();
    const int statusHeight = statusBar->sizeHint().height();
    menuBar->setGeometry(0, 0, width(), menuHeight);
    statusBar->setGeometry(0, height() - statusHeight, width(), statusHeight);
    client->setGeometry(0, menuHeight, width(), std::max(0, height() - menuHeight - statusHeight));
}

bool CLumivexDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == client && event->type() == QEvent::Resize) OnSize();
    return QDialog::eventFilter(watched, event);
}

void CLumivexDlg::DoDataExchange(int saveAndValidate) {
    if (!brightnessSlider) {
        TrackBar** sliders[] = {&brightnessSlider,    &vividnessSlider, &addLightSlider,
                                &suppressLightSlider, &bandHueSlider,   &bandVividnessSlider,
                                &bandBrightnessSlider};
        for (int32_t i = 0; i < 7; ++i) {
            *sliders[i] = static_cast<TrackBar*>(controls.Item(kIdBrightnessSlider + i));
        }
        previewFrame = static_cast<CPreviewFrame*>(controls.Item(kIdPreviewFrame));
        for (int32_t k = 0; k < 6; ++k) {
            bandButtons[k] = static_cast<QPushButton*>(controls.Item(kIdBandRed + k));
        }
    }
    if (saveAndValidate) {
        wbRadio = -1;
        for (int32_t i = 0; i < 3; ++i) {
            if (wbGroup->button(kIdWbOff + i)->isChecked()) wbRadio = i;
        }
    } else if (wbRadio >= 0 && wbRadio < 3) {
        wbGroup->button(kIdWbOff + wbRadio)->setChecked(true);
    }
}

int CLumivexDlg::UpdateData(int saveAndValidate) {
    DoDataExchange(saveAndValidate);
    return engine.selectedBand >= 0 && engine.selectedBand <= 5;
}

void CLumivexDlg::OnInitDialog() {
    UpdateData(0);

    const char* aboutText = LoadResourceString(kAboutMenuString);
    if (*aboutText) {
        systemMenu = new QMenu(this);
        systemMenu->addSeparator();
        QAction* about = systemMenu->addAction(QString::fromUtf8(aboutText));
        about->setData(kSysCommandAbout);
    }

    setWindowIcon(appIcon);

    for (const AdjustmentSpec& row : kAdjustments) {
        TrackBar* slider = Slider(row.id);
        slider->SetRange(row.minimum, row.maximum);
        for (int32_t i = 0; i < row.tickCount; ++i) slider->SetTic(row.ticks[i]);
        const QSignalBlocker quiet(numberBoxes[static_cast<int32_t>(row.id)]);
        numberBoxes[static_cast<int32_t>(row.id)]->setValue(slider->GetPos());
    }

    for (int32_t k = 0; k < 6; ++k) {
        // The button keeps its own copy of the swatch.
        const QPixmap swatch = LoadResourceBitmap(kBandBitmaps[k]);
        bandButtons[k]->setIcon(QIcon(swatch));
        bandButtons[k]->setIconSize(swatch.size());
        bandButtons[k]->setChecked(k == 0);
    }

    LayoutPreview();
    ResetAdjustments();
    UpdateData(0);
}

void CLumivexDlg::OnSysCommand(int32_t id) {
    if ((id & 0xFFF0) == kSysCommandAbout) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CLumivexDlg::OnClose() {
    UpdateData(1);
    done(QDialog::Accepted);
}

void CLumivexDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CLumivexDlg::InvalidateClientRect(const Rect& rect, int erase) {
    const QRect area(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    client->update(area);
    // Qt leaves children that paint every pixel themselves out of their parent's update, so
    // the preview frame is told directly.
    const QRect part = area.intersected(previewFrame->geometry());
    if (part.isEmpty()) return;
    if (erase) previewFrame->EraseOnNextPaint();
    previewFrame->update(part.translated(-previewFrame->pos()));
}

// Keys, clicks on the channel and the wheel apply the new position as a release does, so that
// thumb and picture always agree; such a step at the end of the range changes nothing.
void CLumivexDlg::OnHScroll(int code, TrackBar* scrollBar) {
    UpdateData(1);
    const int32_t final = code == kScrollThumbTrack ? 0 : 1;
    const int32_t position = scrollBar->GetPos();
    for (const AdjustmentSpec& row : kAdjustments) {
        if (scrollBar != Slider(row.id)) continue;
        if (code != kScrollThumbPosition && final && engine.AdjustmentPosition(row.id) == position)
            return;
        if (engine.OnAdjustmentChanged(row.id, final, position)) RequestPreview();
        if (final) CommitAdjustments();
        return;
    }
}

TrackBar* CLumivexDlg::Slider(AdjustmentId id) const {
    return static_cast<TrackBar*>(controls.Item(kIdBrightnessSlider + static_cast<int32_t>(id)));
}

void CLumivexDlg::OnBandButton(int32_t band) {
    UpdateData(1);
    engine.selectedBand = band;
    for (const AdjustmentSpec& row : kAdjustments) {
        if (row.perBand) Slider(row.id)->SetPos(engine.AdjustmentPosition(row.id));
    }
    UpdateData(0);
}

void CLumivexDlg::SelectWhiteBalance(WhiteBalanceMode mode) {
    UpdateData(1);
    engine.SetWhiteBalanceMode(mode);
    ShowSpotCursor();
    RequestPreview();
    CommitAdjustments();
}

void CLumivexDlg::OnWbOff() {
    SelectWhiteBalance(WhiteBalanceMode::Off);
}

void CLumivexDlg::OnWbAuto() {
    SelectWhiteBalance(WhiteBalanceMode::Automatic);
}

void CLumivexDlg::OnWbSpot() {
    SelectWhiteBalance(WhiteBalanceMode::Spot);
}

void CLumivexDlg::OnReset() {
    UpdateData(1);
    wbRadio = static_cast<int32_t>(WhiteBalanceMode::Off);
    ResetAdjustments();
    engine.needsApply = 1;
    RequestPreview();
    UpdateData(0);
    CommitAdjustments();
}

void CLumivexDlg::ResetAdjustments() {
    engine.ResetAdjustments();
    for (const AdjustmentSpec& row : kAdjustments) Slider(row.id)->SetPos(row.neutral);
}

void CLumivexDlg::OnLButtonDown(Point point) {
    UpdateData(1);
    if (wbRadio != static_cast<int32_t>(WhiteBalanceMode::Spot)) return;
    if (photoWidth == 0 || photoHeight == 0) return;
    Point pixel;
    if (!previewFrame->MapToPhoto(point, photoWidth, photoHeight, &pixel)) return;
    if (engine.PickSpotWhiteBalance(pixel.x, pixel.y)) {
        spotPixel = pixel;
        RequestPreview();
    }
    CommitAdjustments();
}

void CLumivexDlg::OnUndo() {
    history->undo();
}

void CLumivexDlg::OnRedo() {
    history->redo();
}

void CLumivexDlg::OnExit() {
    close();
}

void CLumivexDlg::OnShowOriginal() {
    RequestPreview();
}

void CLumivexDlg::OnHistogram() {
    previewFrame->ShowHistogram(MenuAction(kIdHistogram)->isChecked());
    RequestPreview();
}

void CLumivexDlg::OnZoom(int32_t id) {
    switch (id) {
        case kIdZoomFit:
            return previewFrame->SetZoom(0);
        case kIdZoomActual:
            // One photo pixel on one device pixel.
            return previewFrame->SetZoom(1.0 / previewFrame->devicePixelRatioF());
        case kIdZoomIn:
        case kIdZoomOut:
            return previewFrame->SetZoom(previewFrame->NextZoom(id == kIdZoomIn));
    }
}

void CLumivexDlg::OnTurn(ImageTurn step) {
    UpdateData(1);
    CorrectionSettings next = engine.Corrections();
    next.turn = next.turn.Then(step);
    TakeCorrections(next);
    CommitAdjustments();
}

CorrectionSettings CLumivexDlg::Snapshot() {
    return engine.Corrections();
}

void CLumivexDlg::CommitAdjustments() {
    const CorrectionSettings now = Snapshot();
    if (now == committed) return;
    history->push(new AdjustmentStep(committed, now,
                                     [this](const CorrectionSettings& s) { RestoreSnapshot(s); }));
    committed = now;
}

void CLumivexDlg::RestoreSnapshot(const CorrectionSettings& snapshot) {
    TakeCorrections(snapshot);
    committed = snapshot;
}

void CLumivexDlg::TakeCorrections(const CorrectionSettings& settings) {
    spotPixel.reset();  // the pick's place is not part of the corrections
    if (!TurnPhoto(settings.turn)) {
        prompts->ShowMessage(this, "メモリが足りないため写真を回転できませんでした");
        return;
    }
    if (engine.SetCorrections(settings)) ShowAdjustments();
}

bool CLumivexDlg::TurnPhoto(ImageTurn turn) {
    const std::shared_ptr<const SourcePhoto> photo = engine.photo;
    if (!photo || photo->Turn() == turn) return true;
    std::shared_ptr<const SourcePhoto> turned;
    RunWhileWindowPaints([&] { turned = photo->Turned(turn); });
    if (!turned) return false;
    engine.photo = turned;
    photoWidth = turned->Width();
    photoHeight = turned->Height();
    LayoutPreview();
    // A zoomed view starts again at the turned photo's centre.
    previewFrame->SetZoom(previewFrame->Zoom());
    return true;
}

void CLumivexDlg::ShowAdjustments() {
    for (const AdjustmentSpec& row : kAdjustments)
        Slider(row.id)->SetPos(engine.AdjustmentPosition(row.id));
    wbRadio = static_cast<int32_t>(engine.Corrections().wbMode);
    UpdateData(0);
    ShowSpotCursor();
    RequestPreview();
}

void CLumivexDlg::ShowSpotCursor() {
    if (engine.Corrections().wbMode == WhiteBalanceMode::Spot)
        previewFrame->setCursor(EyedropperCursor());
    else
        previewFrame->unsetCursor();
}

bool CLumivexDlg::ShowingOriginal() const {
    return originalKeyHeld || MenuAction(kIdShowOriginal)->isChecked();
}

void CLumivexDlg::RequestPreview() {
    if (!engine.photo) {
        shownPreview.reset();
        ShowCompareLabels(0);
        previewFrame->update();
        return;
    }
    const CPreviewFrame::Layout& g = previewFrame->Geometry();
    PreviewRequest request;
    request.photo = engine.photo;
    if (!ShowingOriginal()) request.plan = engine.Plan();
    if (MenuAction(kIdColourManagement)->isChecked()) request.colour = screenColour;
    request.size = previewFrame->size();
    request.zoom = previewFrame->Zoom();
    request.fitted = QRect(QPoint(g.imageRect.left, g.imageRect.top),
                           QPoint(g.imageRect.right, g.imageRect.bottom));
    request.left = previewFrame->ViewOrigin().x();
    request.top = previewFrame->ViewOrigin().y();
    // Zoomed in, the part on screen is smaller than the proxy: it comes from the photo itself.
    request.proxy = engine.useProxy && request.zoom == 0;
    request.histogram = previewFrame->HistogramShown();
    request.area = previewFrame->rect().adjusted(1, 1, -1, -1);
    if (request.plan && MenuAction(kIdSplitCompare)->isChecked()) {
        request.splitAt =
            request.zoom == 0 ? request.fitted.center().x() + 1 : request.size.width() / 2;
    }
    ShowCompareLabels(request.plan ? request.splitAt : -1);
    requestedPreview = renderer->Request(std::move(request));
    engine.needsApply = 0;
}

// splitAt: above 0 the column where the corrected picture starts; -1 the photo as loaded; 0 the
// corrected photo alone, unlabelled.
void CLumivexDlg::ShowCompareLabels(int splitAt) {
    const CPreviewFrame::Layout& g = previewFrame->Geometry();
    const int top = std::max(g.imageRect.top, 1) + 4;
    beforeLabel->move(std::max(g.imageRect.left, 1) + 4, top);
    beforeLabel->setVisible(splitAt != 0);
    afterLabel->adjustSize();
    afterLabel->move(
        std::min(g.imageRect.right, previewFrame->width() - 2) - 4 - afterLabel->width(), top);
    afterLabel->setVisible(splitAt > 0);
}

void CLumivexDlg::OnPreviewRendered(RenderedPreview picture) {
    if (picture.serial != requestedPreview) return;
    previewFrame->SetHistogram(picture.levels);
    shownPreview = std::move(picture);
    previewFrame->update();
}

void CLumivexDlg::ShowZoom() {
    if (!engine.photo) {
        zoomLabel->clear();
        return;
    }
    const auto percent = static_cast<int>(
        std::lround(previewFrame->ShownZoom() * previewFrame->devicePixelRatioF() * 100));
    zoomLabel->setText(previewFrame->Zoom() == 0 ? QStringLiteral("全体を表示 (%1%)").arg(percent)
                                                 : QStringLiteral("%1%").arg(percent));
}

void CLumivexDlg::RestoreWindowState() {
    if (!restoreGeometry(remembered->value(QStringLiteral("window/geometry")).toByteArray())) {
        // About four fifths of the screen, centred.
        const QRect screenArea = screen()->availableGeometry();
        const QSize size(std::max(minimumWidth(), screenArea.width() * 4 / 5),
                         std::max(minimumHeight(), screenArea.height() * 4 / 5));
        resize(size);
        move(screenArea.center() - QPoint(size.width() / 2, size.height() / 2));
    }
    previewFrame->SetZoom(remembered->value(QStringLiteral("window/zoom"), 0.0).toDouble());
}

void CLumivexDlg::SaveWindowState() {
    remembered->setValue(QStringLiteral("window/geometry"), saveGeometry());
    remembered->setValue(QStringLiteral("window/zoom"), previewFrame->Zoom());
}

void CLumivexDlg::LayoutPreview() {
    previewFrame->LayoutPreview(photoWidth, photoHeight);
}

void CLumivexDlg::OnSize() {
    if (!previewFrame) return;  // the controls are not bound yet
    // The controls' column, with a scroll bar when the client area is shorter than it; the frame
    // reaches the client area's right and bottom edges, and the photo is fitted into it.
    const QWidget* pane = controlsScroll->widget();
    const int column =
        pane->width() + (client->height() < pane->height()
                             ? controlsScroll->verticalScrollBar()->sizeHint().width()
                             : 0);
    controlsScroll->setGeometry(0, 0, column, client->height());
    previewFrame->setGeometry(column, previewFrame->y(), client->width() - column,
                              client->height() - previewFrame->y());
    LayoutPreview();
    ShowZoom();
    RequestPreview();
}

void CLumivexDlg::OnPaint(QPainter& frameDc) {
    if (!engine.photo) {
        previewFrame->PaintEmpty(frameDc);
        return;
    }
    previewFrame->PaintPhoto(frameDc, shownPreview ? shownPreview->picture : QImage());
    if (spotPixel && engine.Corrections().wbMode == WhiteBalanceMode::Spot)
        previewFrame->PaintSpotMark(
            frameDc, previewFrame->PhotoToFrame(*spotPixel, photoWidth, photoHeight));
}
